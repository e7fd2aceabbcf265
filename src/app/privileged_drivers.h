#pragma once
// Privileged commands of the device layer: loading and unloading the kernel drivers shipped
// in the bundle's "Drivers" folder ("Load Driver", "Unload Driver") and starting the modem
// vendor's switching service for web-interface modems ("Switch HuaweiHTTP").
//
// Requests come from a process that is not trusted: a driver name that is not a safe
// relative path, or one whose folder does not exist, is answered {"Failed": YES} and
// logged; nothing a request holds ends the privileged process.

#include <string>

#include "app/privileged_process.h"
#include "platform/value.h"

// "Load Driver" / "Unload Driver" with "Kext": the driver's path below the drivers folder
// (sub-folders allowed; dependencies are looked for beside it). Answers {} whatever the
// tool's result (the device layer reads the driver's state itself); without "Kext" the
// request is not this class's.
class QPX_Framework_Privileged_Driver : public QPX_Framework_PrivilegedCommand {
 public:
  // The drivers folder; empty: "<resources>/Drivers" of the running application.
  explicit QPX_Framework_Privileged_Driver(std::string driversFolder = {});
  Value QPX_Framework_Privileged_Process(const Value& request) override;

 private:
  std::string driversFolder_;
};

// "Switch HuaweiHTTP": starts "<bundle>/Contents/Resources/Drivers/Huawei HTTP/mbbservice"
// by its absolute path, detached (double fork, new session), in "/tmp", with its path as
// its only argument, an empty environment and none of this process's descriptors beyond
// the standard three. Always answers {}: the application learns of success from the modem
// reappearing as a network device.
class QPX_Framework_Privileged_HuaweiHTTP_Switching : public QPX_Framework_PrivilegedCommand {
 public:
  // The bundle; empty: the running application's.
  explicit QPX_Framework_Privileged_HuaweiHTTP_Switching(std::string bundlePath = {});
  Value QPX_Framework_Privileged_Process(const Value& request) override;
  // Starts the service; false (logged) when it could not be started.
  bool RunMBBService();

 private:
  std::string bundlePath_;
};

// "Contents/Resources/Drivers/Huawei HTTP/mbbservice"
extern const char* const QPX_Framework_MBBService_RelativePath;

// Registers both command classes with the privileged process's command table.
void QPX_Framework_Privileged_Drivers_RegisterCommands();
