#pragma once
// Device watchers. QPX_Framework_Device_Base keeps a watcher's XML entry, its model and its
// quirks, attaches serial ports and Ethernet interfaces to main device records and decides
// when a record's modem is launched. QPX_Framework_Device adds the registry notifications
// every watcher uses (publish and terminate of matching entries, dispatched on the main
// thread with or without the entry's main device record). QPX_Framework_Device_USB is the
// watcher of one USB identity of a model: a plugged device of that identity gets its main
// device record; its departure removes the record and stops the modem behind it.
//
// Everything here runs on the main thread (QPX_Framework_Devices_BindMainThread).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/device_common.h"
#include "devices/device_record.h"
#include "framework/util/xml.h"
#include "platform/run_loop.h"
#include "platform/usb.h"
#include "platform/value.h"

// The modem thread classes the launch starts.
extern const char* const QPX_Framework_ModemThreadClass_AT;          // "QPX_Framework_Thread_Modem"
extern const char* const QPX_Framework_ModemThreadClass_HuaweiHTTP;  // "QPX_Framework_Thread_HuaweiHTTP"

class QPX_Framework_Device_Base : public platform::ValueObject,
                                  public std::enable_shared_from_this<QPX_Framework_Device_Base> {
 public:
  QPX_Framework_Device_Base() = default;
  ~QPX_Framework_Device_Base() override = default;

  // Keeps the entry and the model and collects the quirks: the model's first, then the
  // entry's, so the USB entry overrides its model.
  virtual bool QPX_Framework_Device_Init(const QPX_Framework_XML_Element& entry,
                                         const std::shared_ptr<QPX_Framework_Device_Common>& common);

  const QPX_Framework_XML_Element& Entry() const { return Entry_; }
  const std::shared_ptr<QPX_Framework_Device_Common>& Common() const { return Common_; }
  // Quirk name -> quirk element value; null before the first quirk.
  const Value& Quirks() const { return Quirks_; }

  // Sets the record's port key to the callout path, stops the driver timer and re-runs the
  // launch decision. Only USB watchers take ports; type 0 is an assertion.
  void QPX_Framework_Device_AddSerialPort(const std::string& path, int type,
                                          const QPX_Framework_DeviceRecordPtr& main);
  // A web-interface model launches its web-interface thread; an NDIS record arms its NDIS
  // delay timer.
  void QPX_Framework_Device_AddEthernet(const std::string& bsdName,
                                        const QPX_Framework_DeviceRecordPtr& main);
  // The launch decision.
  void LaunchModem(const QPX_Framework_DeviceRecordPtr& main);
  // The NDIS delay timer fired; it must be the record's (assertion).
  void NDISEthernetModemStart(const std::shared_ptr<platform::Timer>& timer,
                              const QPX_Framework_DeviceRecordPtr& main);
  // The device went away: stops the NDIS delay timer.
  virtual void UnregisterDevice(const platform::usb::EntryPtr& object,
                                const QPX_Framework_DeviceRecordPtr& main);

  virtual bool IsUSBWatcher() const { return false; }

  std::string Description() const override;

 protected:
  QPX_Framework_XML_Element Entry_;
  std::shared_ptr<QPX_Framework_Device_Common> Common_;
  Value Quirks_;
};

std::shared_ptr<QPX_Framework_Device_Common> QPX_Framework_Device_GetCommon(
    const QPX_Framework_Device_Base& device);
const Value& QPX_Framework_Device_GetQuirks(const QPX_Framework_Device_Base& device);

// Starts the record's modem with the named modem thread class unless it was launched
// already ("Modem Storage" present): sets "Mutex" and calls the class's start.
bool QPX_Framework_Device_LaunchModem(const QPX_Framework_DeviceRecordPtr& main,
                                      const std::string& threadClass);

// The notification plumbing of all watchers.
class QPX_Framework_Device : public QPX_Framework_Device_Base {
 public:
  // Optional operations: a watcher that takes records answers true from the RespondsTo
  // function, so that records are looked up (and created) only for it.
  virtual bool RespondsToPublishMain() const { return false; }
  virtual bool RespondsToTerminateMain() const { return false; }
  virtual void QPX_Framework_Device_PublishMain(const platform::usb::EntryPtr& object,
                                                const QPX_Framework_DeviceRecordPtr& main);
  virtual void QPX_Framework_Device_TerminateMain(const platform::usb::EntryPtr& object,
                                                  const QPX_Framework_DeviceRecordPtr& main);
  virtual void QPX_Framework_Device_Publish(const platform::usb::EntryPtr& object);
  virtual void QPX_Framework_Device_Terminate(const platform::usb::EntryPtr& object);

  // Main thread only (assertion). Registers for terminate, then publish notices of entries
  // that fit the matching dictionary (null: nothing to register, YES); entries present now
  // are dispatched at once.
  bool QPX_Framework_Device_RegisterNotification(const Value& matching);

  // Dispatch of notices (main thread).
  void QPX_Framework_Devices_Publish(const std::vector<platform::usb::EntryPtr>& objects);
  void QPX_Framework_Devices_Terminate(const std::vector<platform::usb::EntryPtr>& objects);

  // Ends this watcher's notifications (the manager's reset).
  void CancelNotifications();

 private:
  std::vector<std::shared_ptr<platform::usb::Notification>> Notifications_;
};

// Registers the watcher (see QPX_Framework_Device::QPX_Framework_Device_RegisterNotification).
bool QPX_Framework_Device_RegisterNotification(const Value& matching, QPX_Framework_Device& watcher);

class QPX_Framework_Device_USB final : public QPX_Framework_Device {
 public:
  // Enters the watcher under its registration key and registers for its USB identity;
  // false when the entry lacks "Vendor" or "Product" or the registration failed.
  bool QPX_Framework_Device_Init(const QPX_Framework_XML_Element& entry,
                                 const std::shared_ptr<QPX_Framework_Device_Common>& common) override;
  bool IsUSBWatcher() const override { return true; }

  void QPX_Framework_Device_Publish(const platform::usb::EntryPtr& object) override;
  void QPX_Framework_Device_Terminate(const platform::usb::EntryPtr& object) override;

  // The record of a plugged device (a known one is answered as it is).
  QPX_Framework_DeviceRecordPtr RegisterDevice(const platform::usb::EntryPtr& device);
  // Removes the record of a device that went away.
  void UnregisterDeviceObject(const platform::usb::EntryPtr& device);

  // The record of a USB device entry; with `create`, a known model's device gets one.
  static QPX_Framework_DeviceRecordPtr QPX_Framework_Devices_FindDevice(const platform::usb::EntryPtr& device,
                                                                        bool create);
  // "USB %04x:%04x"; fills "Vendor" and "Product" into the information when given.
  static std::optional<std::string> MakeDeviceKey(const platform::usb::EntryPtr& device, Value* appInfo);
  // "%@ (%@)" with the session ID; adds "SessionID".
  static std::optional<std::string> MakeInstanceKey(const platform::usb::EntryPtr& device, Value* appInfo);
  // "a.b.c" as a*256 + b*16 + c; none unless the whole text is read.
  static std::optional<std::uint32_t> ParseReleaseNumber(const std::string& text);

  // Opens the device and asks it to re-enumerate; YES on success.
  static bool QPX_Framework_Device_Reenumerate(const platform::usb::EntryPtr& device);
  // The same for the record's "IOObject".
  void QPX_Framework_Device_Reenumerate(const QPX_Framework_DeviceRecordPtr& main);
  // The pause between attempts (0.1 s); tests shorten it. Answers the old value.
  static double SetRetryPause(double seconds);

  // True while the record is in the record table (its device is plugged).
  static bool IsRegistered(const QPX_Framework_DeviceRecordPtr& main);
  // Every record (tests).
  static std::vector<QPX_Framework_DeviceRecordPtr> Records();
  // The registration key of this watcher.
  const std::string& RegistrationKey() const { return RegistrationKey_; }
  // Forgets both tables (the manager's reset).
  static void _ResetTables();

 private:
  std::string RegistrationKey_;
};
