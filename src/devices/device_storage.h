#pragma once
// Storage media of known modems. Many USB modems first show a virtual CD-ROM with the
// vendor's installer and only show their modem after that CD is ejected or another
// switching action ran. The storage watcher sees the media of known devices and starts the
// switching method the model names; the disk arbitration session refuses the mount of a
// known modem's CD and unmounts and ejects it. Both live on the main thread, outside run
// mode 3.

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "devices/device_base.h"
#include "platform/disk.h"

class QPX_Framework_Device_Storage final : public QPX_Framework_Device {
 public:
  struct {
    Value CD;     // {"IOProviderClass": "IOCDMedia"} once a model switches CDs
    Value Other;  // {"IOProviderClass": "IOMedia"} once a model links a second medium
  } MatchingDicts;

  // Creates the watcher once and notes what the model's "Storage" element needs watching.
  static void QPX_Framework_Device_Storage_Init(const QPX_Framework_XML_Element& storage);
  // Creates the disk arbitration session, then registers for "IOMedia" and "IOCDMedia".
  static void QPX_Framework_Device_Storage_Start();
  static std::shared_ptr<QPX_Framework_Device_Storage> Instance();

  bool RespondsToPublishMain() const override { return true; }
  bool RespondsToTerminateMain() const override { return true; }
  void QPX_Framework_Device_PublishMain(const platform::usb::EntryPtr& object,
                                        const QPX_Framework_DeviceRecordPtr& main) override;
  void QPX_Framework_Device_TerminateMain(const platform::usb::EntryPtr& object,
                                          const QPX_Framework_DeviceRecordPtr& main) override;

  // Linked storages: switches once both media are there (the CD alone after one pass).
  void TryLinkedEject(const QPX_Framework_DeviceRecordPtr& main, bool trial);
  void EjectTimerFire(const std::shared_ptr<platform::Timer>& timer,
                      const QPX_Framework_DeviceRecordPtr& main);
  void MyEject(const platform::usb::EntryPtr& media, const QPX_Framework_DeviceRecordPtr& main);
  // Runs the model's switching method (at most once in 300 s for "Eject").
  void EjectStorage(const platform::usb::EntryPtr& media, const QPX_Framework_DeviceRecordPtr& main,
                    Value info);

  // How long a linked storage waits for its CD before giving up (10 s). Answers the old value.
  static double SetLinkedWaitLimit(double seconds);
  static void _Reset();

 private:
  // Media being handled: a CD matches both registrations and is taken once.
  std::set<std::uint64_t> Media_;
};

class QPX_Framework_Device_DiskArbitration final
    : public platform::ValueObject,
      public std::enable_shared_from_this<QPX_Framework_Device_DiskArbitration> {
 public:
  ~QPX_Framework_Device_DiskArbitration() override;
  // The session, created on first use (under the framework's global lock) on the main run
  // loop; null when there is no disk arbitration.
  static std::shared_ptr<QPX_Framework_Device_DiskArbitration> GetInstance();

  // Runs PerformDeviceEject at the next main run-loop turn.
  void QueueDeviceEject(const QPX_Framework_DeviceRecordPtr& main);
  // Unmounts (forced, whole disk) and ejects once both a request ("DA Perform Eject") and a
  // BSD name are known; at most once per record.
  void PerformDeviceEject(const QPX_Framework_DeviceRecordPtr& main);
  // "DA BSD Name", else the whole disk of "DA Service Object" (then kept as "DA BSD Name").
  std::optional<std::string> GetBSDName(const QPX_Framework_DeviceRecordPtr& main);

  // The mount approval: refuses the CD of a known device.
  std::optional<platform::disk::Dissent> ApproveMount(const Value& description,
                                                      const platform::usb::EntryPtr& media);

  static void _Reset();

 private:
  platform::RunLoop* RunLoop_ = nullptr;
  std::shared_ptr<platform::disk::Session> Session_;
};

class QPX_Framework_Switching_EjectCD {
 public:
  static void QPX_Framework_Switching_Do(const platform::usb::EntryPtr& media,
                                         const QPX_Framework_DeviceRecordPtr& main);
};
