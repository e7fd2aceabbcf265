#pragma once
// Device progress reports: a code 0 to 8 with an information dictionary, posted at each
// step of a device's detection and switching and delivered on the main thread to the
// project's optional hook (QPX_Framework_Devices_SetProgressHook), so an operator
// application can show progress.
//
//   0 a USB device of a known model is published or looked up   "Vendor", "Product", "SessionID", "Key"
//   1 its main device record is being created                    "Vendor", "Product", "SessionID", "Key"
//   2 its record is removed after the device left                "Vendor", "Product", "SessionID"
//   3 its CD is about to be switched                             "Key"
//   4 the switching method starts                                "Key", "Switching Method"
//   5 a storage medium of the device is gone                     "Key"
//   6 a serial port of the device was published                  "Key", "Port Type" when identified
//   7 a serial port of the device is gone                        "Key"
//   8 a driver load request was sent                             "Driver Path"

#include "platform/value.h"

enum QPX_Framework_DeviceProgress : int {
  QPX_DeviceProgress_Detected = 0,
  QPX_DeviceProgress_Registered = 1,
  QPX_DeviceProgress_Removed = 2,
  QPX_DeviceProgress_SwitchingCD = 3,
  QPX_DeviceProgress_SwitchingMethod = 4,
  QPX_DeviceProgress_StorageLost = 5,
  QPX_DeviceProgress_PortDetected = 6,
  QPX_DeviceProgress_PortLost = 7,
  QPX_DeviceProgress_DriverLoaded = 8,
};

class QPX_Framework_Device_AppInfo {
 public:
  // Any thread. Without a hook nothing is built; otherwise the main thread runs
  // ReportProgressMain at its next turn, so reports from one thread keep their order and
  // never run on the caller's stack.
  static void ReportProgress(int code, const Value& info);
  // Main thread: {"Progress": code, "Info": information} to the hook.
  static void ReportProgressMain(const Value& report);
};
