#pragma once
// The simulated back-end of the USB registry (usb.h) and of disk arbitration (disk.h): real
// state for plugged devices, their interfaces, serial ports, network interfaces and media,
// with the behaviour the device layer relies on (a refused mount stays unmounted, an
// ejected CD goes away or switches its device to modem mode, a re-enumerated device comes
// back under a new session, a device can vanish at any moment).
//
// Devices are announced from outside the process: every file in the announcement folder is
// one plugged device. Writing a file (atomically: write a temporary name that starts with
// "." and rename it) plugs the device, replacing one plugged earlier from the same file
// name; removing the file unplugs it. Files whose name starts with "." are ignored. The
// folder is $DASHBOARD_DEVICE_FOLDER when set, else "$XDG_RUNTIME_DIR/dashboard-devices",
// else "/tmp/dashboard-devices-<uid>".
//
// Announcement format: a property list (XML or binary) holding one dictionary:
//
//   idVendor            integer, required       USB vendor ID
//   idProduct           integer, required       USB product ID
//   bcdDevice           integer                 release number (0x0100 for 1.0.0)
//   USB Vendor Name     string                  the device's vendor string
//   USB Product Name    string                  the device's product string
//   Properties          dictionary              further properties of the USB device entry
//   Interfaces          array of dictionaries, one per USB interface:
//     bInterfaceNumber  integer                 (default: the position in the array)
//     Properties        dictionary              further properties of the interface entry
//     Serial            dictionary: a serial port on this interface
//       Callout         string, required        the path to open (a pseudo-terminal's slave)
//       Dialin          string                  (default: Callout)
//       TTY Base Name   string                  "IOTTYBaseName"
//       TTY Suffix      string                  "IOTTYSuffix"
//       Driver Class    string                  class of the driver entry between interface
//                                               and port (default "IOSerialDriverSync")
//       Driver Properties dictionary
//       Properties      dictionary              further properties of the port entry
//     Ethernet          dictionary: a network interface on this interface
//       BSD Name        string, required        the interface name ("usb0")
//       Properties      dictionary
//     Media             dictionary: a storage medium on this interface
//       Kind            "CD" or "Disk" (default "Disk")
//       BSD Name        string, required        the whole disk's name ("sr1")
//       Volume Name     string
//       Driver Class    string                  class of a vendor driver entry between the
//                                               interface and the medium
//       Mount           boolean                 offered for mounting (default yes)
//       Busy            boolean                 an unmount is refused as busy
//   Open Busy           integer                 the first n opens of the device interface
//                                               fail with "exclusive access"
//   Switch              dictionary: how the device switches to modem mode, and what it is
//                       afterwards (a whole announcement of its own, Switch included):
//     Trigger           "Eject"        ejecting one of its media
//                       "Reenumerate"  a re-enumeration through the device interface
//                       "Property"     setting the property named by "Trigger Key" on any
//                                      of its entries
//     Trigger Key       string
//     Device            dictionary              the announcement after the switch
//
// A switched device leaves (terminate notices) and comes back as the "Device" of its
// "Switch" under a new session ID, still belonging to the same file. Without a "Switch" an
// ejected medium just goes away and a re-enumerated device comes back as it was.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "platform/run_loop.h"
#include "platform/usb.h"
#include "platform/value.h"

namespace platform {

class SimulatedDevices final : public usb::Service,
                               public disk::Session,
                               public std::enable_shared_from_this<SimulatedDevices> {
 public:
  SimulatedDevices();
  ~SimulatedDevices() override;

  // The shared instance that CurrentService / CurrentSession answer by default.
  static std::shared_ptr<SimulatedDevices> Shared();
  // $DASHBOARD_DEVICE_FOLDER, "$XDG_RUNTIME_DIR/dashboard-devices" or
  // "/tmp/dashboard-devices-<uid>".
  static std::string DefaultFolder();

  // Plugs a device from an announcement; answers its device number (0 when the
  // announcement is unusable, which is logged to standard error). `source` names the file.
  std::uint64_t Plug(const Value& announcement, const std::string& source = "");
  // Unplugs the device (its current incarnation, switched or not). False when unknown.
  bool Unplug(std::uint64_t device);
  bool UnplugSource(const std::string& source);
  void UnplugAll();

  // Reads every announcement in the folder (creating it, mode 0700, when missing) and then
  // follows changes with inotify on `loop`. False when the folder cannot be watched.
  bool WatchFolder(const std::string& folder, RunLoop& loop);
  void StopWatching();

  // --- Inspection ---
  std::size_t DeviceCount() const;
  std::size_t NotificationCount() const;
  // The USB device entry of a device number (its current incarnation), or null.
  usb::EntryPtr DeviceEntry(std::uint64_t device) const;
  bool IsMounted(const std::string& bsdName) const;
  // Every disk that was ejected, in order.
  std::vector<std::string> EjectedDisks() const;
  // How many mounts the approval refused.
  std::size_t RefusedMounts() const;

  // --- usb::Service ---
  std::shared_ptr<usb::Notification> AddMatchingNotification(usb::NoticeKind kind, const Value& matching,
                                                             RunLoop& loop, Callback callback,
                                                             std::vector<usb::EntryPtr>* initial) override;
  std::vector<usb::EntryPtr> MatchingEntries(const Value& matching) override;
  std::unique_ptr<usb::DeviceInterface> CreateDeviceInterface(const usb::EntryPtr& device,
                                                              int* error) override;
  int SetProperties(const usb::EntryPtr& entry, const Value& properties) override;

  // --- disk::Session ---
  void SetMountApproval(RunLoop* loop, Approval approval) override;
  void Unmount(const std::string& bsdName, unsigned options, RunLoop& loop, Completion completion) override;
  void Eject(const std::string& bsdName, RunLoop& loop, Completion completion) override;
  std::string WholeDiskBSDName(const usb::EntryPtr& media) override;

  struct Impl;

 private:
  friend class SimDeviceInterface;
  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
