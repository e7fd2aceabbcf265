#pragma once
// One modem model of the devices XML ("Device" element): its storage description, the
// "Drivers" element chosen for the running system, the root's NDIS type table and driver
// package. It checks, loads and unloads the model's kernel drivers through the privileged
// process, runs the per-device driver timer and asks for USB re-enumeration after a driver
// change.
//
// Threads: timers and record changes belong to the main thread; the driver passes run on
// short-lived threads that see only a safe copy of the record and report back by asking
// the main thread to run an operation. A report for a device that was unplugged meanwhile
// is dropped.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "devices/device_record.h"
#include "framework/util/xml.h"
#include "platform/value.h"

class QPX_Framework_Storage;

// Port types.
enum QPX_Framework_PortType : int {
  QPX_PortType_None = 0,
  QPX_PortType_Application = 1,
  QPX_PortType_Modem = 2
};

class QPX_Framework_Device_Common final : public platform::ValueObject,
                                          public std::enable_shared_from_this<QPX_Framework_Device_Common> {
 public:
  struct XMLRefs {
    QPX_Framework_XML_Element Device;
    QPX_Framework_XML_Element Storage;  // only with the bundle flag, outside run mode 3
    QPX_Framework_XML_Element Drivers;  // the chosen "Drivers" element, or null
    Value NDIS;                         // type name -> {"Type", "Class"}; null when none
  };
  XMLRefs XML;
  bool BundledDrivers = false;
  Value DriverInfo;  // {"Name", "Version"} or null

  QPX_Framework_Device_Common() = default;
  // Keeps the references and chooses the "Drivers" element for the running system.
  bool QPX_Framework_Device_Common_Init(const QPX_Framework_XML_Element& device, const Value& ndis,
                                        bool bundle, const Value& driverInfo);
  // The "Drivers" element for a system version: an exact "major.minor" wins; else the last
  // element without "SystemVersion" before any exact match; else the highest lower minor of
  // the same major (the first of equals); else null.
  static QPX_Framework_XML_Element ChooseDrivers(const QPX_Framework_XML_Element& device, std::uint32_t major,
                                                 std::uint32_t minor);

  // "Drivers"/"Directory", else "Device"/"Directory", else "Device"/"Name", else ".".
  std::string QPX_Framework_Device_Common_DriverDir() const;

  // --- The driver timer (models with bundled drivers, never in run mode 3) ---
  // Main thread: checks the drivers on a new thread, which then arms the timer.
  void QPX_Framework_Device_Common_StartDriverTimer(const QPX_Framework_DeviceRecordPtr& main);
  // Worker: the check pass, then the timer (5.0 s when every driver is in place, else 1.0 s).
  void StartDriverTimer(const std::weak_ptr<QPX_Framework_DeviceRecord>& main, const Value& safe);
  // Main thread: (re)arms the one-shot "Load Driver Timer".
  void QPX_Framework_Device_Common_StartDriverTimer(const QPX_Framework_DeviceRecordPtr& main, double delay);
  void QPX_Framework_Device_Common_StopDriverTimer(const QPX_Framework_DeviceRecordPtr& main);
  // Main thread: the timer fired: loads the drivers on a new thread.
  void DriverTimerFire(const QPX_Framework_DeviceRecordPtr& main);
  // Worker: the load pass.
  void PerformLoadDrivers(const std::weak_ptr<QPX_Framework_DeviceRecord>& main, const Value& safe);

  // Worker (never the main thread: assertion). Check mode answers whether every applicable
  // driver is installed and meant for install only; load mode unloads, loads and asks for
  // re-enumeration when a request was sent, and answers YES.
  bool LoadDrivers(const Value& safe, bool checkInstallOnly,
                   const std::weak_ptr<QPX_Framework_DeviceRecord>& realMain);
  // One "Driver" or "Unload" element; YES when a request was sent.
  bool LoadDriver(const QPX_Framework_XML_Element& driver, const std::string& driverDir, bool unload);
  // 0 unknown, 1 loaded, 2 not loaded.
  int GetKextStatus(const std::string& driverPath);
  bool CheckKextInstalled(const std::string& name);
  // "Bits" absent, or matching the kernel; a value other than "32"/"64" is an assertion.
  static bool CheckDriverBits(const QPX_Framework_XML_Element& driver);
  // Main thread: {"NDIS": {"Type": ...}} (or {"NDIS": {}}, or {}).
  static Value GetSafeMain(const QPX_Framework_DeviceRecordPtr& main);
  // Main thread: re-enumerates the record's USB device.
  void PerformReenumerate(const QPX_Framework_DeviceRecordPtr& main);

  // Driver passes still running (tests wait for none).
  static int ActiveDriverPasses();

  std::string Description() const override;

 private:
  // Runs the function on a short-lived thread, counted in ActiveDriverPasses.
  void RunOnInvocationThread(std::function<void()> function);
};

// The driver info entries of every root that has one.
Value QPX_Framework_BundledDriverInfo();
// The "Bundled Driver Info" of the record of a modem node (its "Modem Device").
Value QPX_Framework_BundledDriverInfoForModem(const std::shared_ptr<QPX_Framework_Storage>& modem);

// Whether the kernel is 64-bit, for "Bits" (tests set it; default: the running system).
void QPX_Framework_Device_SetKernel64Bit(std::optional<bool> is64Bit);
