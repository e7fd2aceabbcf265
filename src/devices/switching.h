#pragma once
// Switching methods: what turns a modem's virtual CD into a modem. The storage watcher runs
// the method the model's "Storage" element names ("Method", compared case-insensitively),
// on the main thread, between its "PreSwitchDelay" and "PostSwitchDelay" pauses.
//
//   "Eject"         QPX_Framework_Switching_EjectCD      unmount and eject the CD
//   "Load Drivers"  QPX_Framework_Switching_LoadDrivers  the model's driver timer
//   "Run Program"   QPX_Framework_Switching_RunProgram   the model's switching program
//   "Longcheer"     QPX_Framework_Switching_Longcheer    the vendor CD driver's mode switch
//   "Huawei HTTP"   QPX_Framework_Switching_HuaweiHTTP   the vendor service, through the
//                                                        privileged process

#include <string>

#include "devices/device_record.h"
#include "platform/usb.h"

// A switching method: (medium, main device record).
using QPX_Framework_Switching_Protocol = void (*)(const platform::usb::EntryPtr& media,
                                                  const QPX_Framework_DeviceRecordPtr& main);

// The method of that name, or null.
QPX_Framework_Switching_Protocol QPX_Framework_Switching_Find(const std::string& method);
// Runs it; false for an unknown method (which does nothing).
bool QPX_Framework_Switching_Run(const std::string& method, const platform::usb::EntryPtr& media,
                                 const QPX_Framework_DeviceRecordPtr& main);

class QPX_Framework_Switching_LoadDrivers {
 public:
  static void QPX_Framework_Switching_Do(const platform::usb::EntryPtr& media,
                                         const QPX_Framework_DeviceRecordPtr& main);
};

class QPX_Framework_Switching_RunProgram {
 public:
  // Runs "<bundle>/Contents/Resources/Drivers/<driver directory>/<Program>" and waits for it;
  // a folder is an application bundle whose executable is run.
  static void QPX_Framework_Switching_Do(const platform::usb::EntryPtr& media,
                                         const QPX_Framework_DeviceRecordPtr& main);
};

class QPX_Framework_Switching_Longcheer {
 public:
  // The entry class of the vendor's CD driver.
  static constexpr const char* kDriverClass = "com_lct_driver_LJACDDriver";
  static void QPX_Framework_Switching_Do(const platform::usb::EntryPtr& media,
                                         const QPX_Framework_DeviceRecordPtr& main);
};

class QPX_Framework_Switching_HuaweiHTTP {
 public:
  // Asks the privileged process to start the vendor's switching service.
  static void QPX_Framework_Switching_Do(const platform::usb::EntryPtr& media,
                                         const QPX_Framework_DeviceRecordPtr& main);
};
