#pragma once
// Kernel drivers shipped in the bundle's "Drivers" folder: whether one is loaded, whether a
// system driver is installed, and loading and unloading (which only the privileged process
// does). A driver is named by its path below the "Drivers" folder; its identifier is the
// last path component without its extension ("Huawei/HuaweiDataCard.ko" is
// "HuaweiDataCard").
//
// The simulated back-end keeps its state in a folder (by default "kmod" inside the device
// announcement folder of device_sim.h), so the application and the privileged process,
// two processes, see the same drivers: "<folder>/loaded/<identifier>" exists while the driver
// is loaded, "<folder>/installed/<name>" marks a driver installed with the system. The
// privileged process finds that folder below /tmp, where every user may write, so loading
// and unloading change markers only when no folder on the way is a link or can be changed
// by another user, and the state folder and "loaded" belong to this user alone; otherwise
// they fail.

#include <memory>
#include <string>

namespace platform::kmod {

enum class Status { Unknown = 0, Loaded = 1, NotLoaded = 2 };

class Service {
 public:
  virtual ~Service() = default;
  // Unknown when the driver file does not exist below the drivers folder.
  virtual Status GetStatus(const std::string& driversFolder, const std::string& driverPath) = 0;
  virtual bool IsInstalled(const std::string& name) = 0;
  // True when the tool succeeded. `driverPath` is relative to `driversFolder`; dependencies
  // are looked for beside the driver.
  virtual bool Load(const std::string& driversFolder, const std::string& driverPath) = 0;
  virtual bool Unload(const std::string& driversFolder, const std::string& driverPath) = 0;
};

// The identifier of a driver path.
std::string DriverIdentifier(const std::string& driverPath);

// The simulated back-end with its state folder.
std::shared_ptr<Service> MakeSimulated(const std::string& stateFolder);
// The installed service (by default the simulated one in the announcement folder's "kmod").
std::shared_ptr<Service> CurrentService();
void SetService(std::shared_ptr<Service> service);

}  // namespace platform::kmod
