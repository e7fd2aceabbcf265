#include "devices/device_storage.h"

#include <strings.h>

#include <atomic>
#include <mutex>

#include "devices/device_hooks.h"
#include "devices/device_progress.h"
#include "devices/devices.h"
#include "devices/io_object.h"
#include "devices/switching.h"
#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/util/devices_xml.h"
#include "platform/ports.h"

namespace {

std::mutex& InstanceMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<QPX_Framework_Device_Storage>& StorageInstance() {
  static std::shared_ptr<QPX_Framework_Device_Storage> instance;
  return instance;
}
std::shared_ptr<QPX_Framework_Device_DiskArbitration>& DAInstance() {
  static std::shared_ptr<QPX_Framework_Device_DiskArbitration> instance;
  return instance;
}
bool& DATried() {
  static bool tried = false;
  return tried;
}

std::atomic<double> g_linkedWaitLimit{10.0};

bool EqualsIgnoringCase(const std::optional<std::string>& text, const char* wanted) {
  return text && ::strcasecmp(text->c_str(), wanted) == 0;
}

// The model's "Storage" element of a record, or null.
QPX_Framework_XML_Element StorageElement(const QPX_Framework_DeviceRecordPtr& main) {
  const auto watcher = main->GetObject<QPX_Framework_Device_Base>(QPX_Device_Key_Instance);
  return watcher && watcher->Common() ? watcher->Common()->XML.Storage : QPX_Framework_XML_Element();
}

std::string BSDName(const platform::usb::EntryPtr& media) {
  return media ? media->Property(platform::ports::kBSDNameKey).stringOr("(none)") : "(none)";
}

platform::RunLoop& MainLoop() {
  platform::RunLoop* loop = QPX_Framework_Devices_MainRunLoop();
  QPX_Assert_Detail(loop != nullptr, Value("the device layer has no main run loop"));
  return *loop;
}

double WallNow() { return MainLoop().clock()->WallNow(); }

}  // namespace

// ------------------------------------------------------------------------------------------
// The storage watcher

void QPX_Framework_Device_Storage::QPX_Framework_Device_Storage_Init(
    const QPX_Framework_XML_Element& storage) {
  std::lock_guard<std::mutex> hold(InstanceMutex());
  if (!StorageInstance()) StorageInstance() = std::make_shared<QPX_Framework_Device_Storage>();
  QPX_Framework_Device_Storage& watcher = *StorageInstance();
  if (!storage || !EqualsIgnoringCase(storage.QPX_Framework_XML_Element_GetAttributeValue("Type"), "CD"))
    return;
  if (watcher.MatchingDicts.CD.isNull())
    watcher.MatchingDicts.CD = Value{{platform::usb::kProviderClassKey, Value(platform::usb::kClassCDMedia)}};
  if (watcher.MatchingDicts.Other.isNull() &&
      EqualsIgnoringCase(storage.QPX_Framework_XML_Element_GetAttributeValue("Other"), "Linked"))
    watcher.MatchingDicts.Other =
        Value{{platform::usb::kProviderClassKey, Value(platform::usb::kClassMedia)}};
}

void QPX_Framework_Device_Storage::QPX_Framework_Device_Storage_Start() {
  QPX_Framework_Device_DiskArbitration::GetInstance();
  std::shared_ptr<QPX_Framework_Device_Storage> watcher;
  {
    std::lock_guard<std::mutex> hold(InstanceMutex());
    if (!StorageInstance()) StorageInstance() = std::make_shared<QPX_Framework_Device_Storage>();
    watcher = StorageInstance();
  }
  watcher->QPX_Framework_Device_RegisterNotification(watcher->MatchingDicts.Other);
  watcher->QPX_Framework_Device_RegisterNotification(watcher->MatchingDicts.CD);
}

std::shared_ptr<QPX_Framework_Device_Storage> QPX_Framework_Device_Storage::Instance() {
  std::lock_guard<std::mutex> hold(InstanceMutex());
  return StorageInstance();
}

double QPX_Framework_Device_Storage::SetLinkedWaitLimit(double seconds) {
  return g_linkedWaitLimit.exchange(seconds);
}

void QPX_Framework_Device_Storage::_Reset() {
  std::shared_ptr<QPX_Framework_Device_Storage> watcher;
  {
    std::lock_guard<std::mutex> hold(InstanceMutex());
    watcher = std::move(StorageInstance());
  }
  if (watcher) watcher->CancelNotifications();
  QPX_Framework_Device_DiskArbitration::_Reset();
}

void QPX_Framework_Device_Storage::QPX_Framework_Device_PublishMain(
    const platform::usb::EntryPtr& media, const QPX_Framework_DeviceRecordPtr& main) {
  if (!media->Property(platform::ports::kWholeKey).toBool()) return;
  if (!Media_.insert(media->ID()).second) return;  // already seen through the other registration
  const QPX_Framework_XML_Element storage = StorageElement(main);
  const bool linked =
      EqualsIgnoringCase(storage.QPX_Framework_XML_Element_GetAttributeValue("Other"), "Linked");
  const bool cd = media->ConformsTo(platform::usb::kClassCDMedia);
  QPX_Log(QPX_LOG_MILESTONE, "Detected %s storage %s on device %s%s", cd ? "CD" : "non-CD",
          BSDName(media).c_str(), main->Key().c_str(), linked ? " (linked storages)" : "");
  if (linked) {
    main->Set(cd ? QPX_Device_Key_CDObject : QPX_Device_Key_OtherObject, QPX_Framework_IOObject::Make(media));
    TryLinkedEject(main, true);
  } else if (cd) {
    MyEject(media, main);
  }
}

void QPX_Framework_Device_Storage::QPX_Framework_Device_TerminateMain(
    const platform::usb::EntryPtr& media, const QPX_Framework_DeviceRecordPtr& main) {
  // A CD comes through both registrations; it is reported lost once.
  if (Media_.erase(media->ID()) == 0) return;
  QPX_Log(QPX_LOG_MILESTONE, "Lost storage on device: \"%s\"", main->Key().c_str());
  QPX_Framework_Device_AppInfo::ReportProgress(QPX_DeviceProgress_StorageLost,
                                               Value{{"Key", Value(main->Key())}});
}

void QPX_Framework_Device_Storage::TryLinkedEject(const QPX_Framework_DeviceRecordPtr& main, bool trial) {
  const platform::usb::EntryPtr cd = QPX_Framework_IOObject::From(main->Get(QPX_Device_Key_CDObject));
  const platform::usb::EntryPtr other = QPX_Framework_IOObject::From(main->Get(QPX_Device_Key_OtherObject));
  QPX_Log(QPX_LOG_TRACE, "CD: %s, Other: %s", BSDName(cd).c_str(), BSDName(other).c_str());
  if (cd && other) {
    MyEject(other, main);
    return;
  }
  if (cd && !trial) {
    MyEject(cd, main);
    return;
  }
  // Wait one run-loop pass for the partner medium; without the CD keep looking, but only
  // for a bounded time.
  platform::RunLoop& loop = MainLoop();
  if (const auto timer = QPX_Framework_DeviceTimer_From(main->Get(QPX_Device_Key_EjectTimer));
      timer && timer->IsValid()) {
    timer->timer()->SetFireDate(loop.clock()->Now() + 0.01);
    return;
  }
  const double deadline = loop.clock()->Now() + g_linkedWaitLimit.load();
  std::weak_ptr<QPX_Framework_Device_Storage> weakSelf =
      std::static_pointer_cast<QPX_Framework_Device_Storage>(shared_from_this());
  std::weak_ptr<QPX_Framework_DeviceRecord> weakMain = main;
  auto timer = loop.AddTimer(
      0.01,
      [weakSelf, weakMain, deadline](platform::Timer& fired) {
        const auto self = weakSelf.lock();
        const auto record = weakMain.lock();
        if (!self || !record || !QPX_Framework_Device_USB::IsRegistered(record)) {
          fired.Invalidate();
          return;
        }
        if (MainLoop().clock()->Now() >= deadline) {
          QPX_Log(QPX_LOG_ERROR, "The CD of linked storages on %s never appeared; not switching",
                  record->Key().c_str());
          fired.Invalidate();
          record->Remove(QPX_Device_Key_EjectTimer);
          return;
        }
        self->EjectTimerFire(fired.shared_from_this(), record);
      },
      255.0);
  main->Set(QPX_Device_Key_EjectTimer, QPX_Framework_DeviceTimer_Value(timer));
}

void QPX_Framework_Device_Storage::EjectTimerFire(const std::shared_ptr<platform::Timer>& timer,
                                                  const QPX_Framework_DeviceRecordPtr& main) {
  const auto current = QPX_Framework_DeviceTimer_From(main->Get(QPX_Device_Key_EjectTimer));
  if (!current || current->timer() != timer) {
    timer->Invalidate();
    return;
  }
  TryLinkedEject(main, false);
}

void QPX_Framework_Device_Storage::MyEject(const platform::usb::EntryPtr& media,
                                           const QPX_Framework_DeviceRecordPtr& main) {
  const auto watcher = main->GetObject<QPX_Framework_Device_Base>(QPX_Device_Key_Instance);
  if (watcher && watcher->Common() && watcher->Common()->BundledDrivers) {
    Value info = Value{{"Key", Value(main->Key())}};
    QPX_Framework_Device_AppInfo::ReportProgress(QPX_DeviceProgress_SwitchingCD, info);
    EjectStorage(media, main, info);
  }
  if (const auto timer = QPX_Framework_DeviceTimer_From(main->Get(QPX_Device_Key_EjectTimer)))
    timer->Invalidate();
  main->With([](Value& record) {
    record.remove(QPX_Device_Key_CDObject);
    record.remove(QPX_Device_Key_OtherObject);
    record.remove(QPX_Device_Key_EjectTimer);
  });
}

void QPX_Framework_Device_Storage::EjectStorage(const platform::usb::EntryPtr& media,
                                                const QPX_Framework_DeviceRecordPtr& main, Value info) {
  QPX_Log(QPX_LOG_CALLS, "%s", main->Key().c_str());
  const Value didSwitch = main->Get(QPX_Device_Key_DidSwitch);
  if (didSwitch.isDate() && WallNow() - didSwitch.unixTime() < 300.0) return;
  const QPX_Framework_XML_Element storage = StorageElement(main);
  const std::optional<std::string> method = storage.QPX_Framework_XML_Element_GetAttributeValue("Method");
  if (!EqualsIgnoringCase(storage.QPX_Framework_XML_Element_GetAttributeValue("Type"), "CD") || !method)
    return;
  info.set("Switching Method", Value(*method));
  QPX_Framework_Device_AppInfo::ReportProgress(QPX_DeviceProgress_SwitchingMethod, info);
  _QPX_Framework_XMLDelay(storage, "PreSwitchDelay");
  if (QPX_Framework_Switching_Run(*method, media, main) && ::strcasecmp(method->c_str(), "Eject") == 0)
    main->Set(QPX_Device_Key_DidSwitch, Value::DateFromUnix(WallNow()));
  _QPX_Framework_XMLDelay(storage, "PostSwitchDelay");
}

// ------------------------------------------------------------------------------------------
// Disk arbitration

std::shared_ptr<QPX_Framework_Device_DiskArbitration> QPX_Framework_Device_DiskArbitration::GetInstance() {
  std::lock_guard<std::recursive_mutex> global(QPX_Framework_GlobalMutex());
  {
    std::lock_guard<std::mutex> hold(InstanceMutex());
    if (DAInstance() || DATried()) return DAInstance();
    DATried() = true;
  }
  auto session = platform::disk::CurrentSession();
  platform::RunLoop* loop = QPX_Framework_Devices_MainRunLoop();
  if (!session || !loop) return nullptr;
  auto instance = std::make_shared<QPX_Framework_Device_DiskArbitration>();
  instance->RunLoop_ = loop;
  instance->Session_ = session;
  std::weak_ptr<QPX_Framework_Device_DiskArbitration> weak = instance;
  session->SetMountApproval(loop, [weak](const Value& description, const platform::usb::EntryPtr& media) {
    const auto self = weak.lock();
    return self ? self->ApproveMount(description, media) : std::optional<platform::disk::Dissent>();
  });
  std::lock_guard<std::mutex> hold(InstanceMutex());
  DAInstance() = instance;
  return instance;
}

QPX_Framework_Device_DiskArbitration::~QPX_Framework_Device_DiskArbitration() {
  if (Session_) Session_->SetMountApproval(nullptr, nullptr);
}

void QPX_Framework_Device_DiskArbitration::_Reset() {
  std::shared_ptr<QPX_Framework_Device_DiskArbitration> instance;
  {
    std::lock_guard<std::mutex> hold(InstanceMutex());
    instance = std::move(DAInstance());
    DATried() = false;
  }
  if (instance && instance->Session_) instance->Session_->SetMountApproval(nullptr, nullptr);
}

std::optional<platform::disk::Dissent> QPX_Framework_Device_DiskArbitration::ApproveMount(
    const Value& description, const platform::usb::EntryPtr& media) {
  if (description.get(platform::disk::kDescriptionProtocol).string() != "USB" || !media) return std::nullopt;
  QPX_Log(QPX_LOG_TRACE, "%s", media->ClassName().c_str());
  if (!media->ConformsTo(platform::usb::kClassCDMedia)) return std::nullopt;
  const auto main = QPX_Framework_Devices::QPX_Framework_Devices_FindMain(media, true);
  if (!main) return std::nullopt;
  main->Set(QPX_Device_Key_DABSDName, Value(Session_->WholeDiskBSDName(media)));
  QPX_Log(QPX_LOG_TRACE, "Disapproving mount for %s",
          description.get(platform::disk::kDescriptionVolumeName).string().c_str());
  QueueDeviceEject(main);
  return platform::disk::Dissent{platform::disk::kDAReturnExclusiveAccess, "Suppressed device storage"};
}

void QPX_Framework_Device_DiskArbitration::QueueDeviceEject(const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Log(QPX_LOG_TRACE, "%s", main->Key().c_str());
  std::weak_ptr<QPX_Framework_Device_DiskArbitration> weakSelf = shared_from_this();
  std::weak_ptr<QPX_Framework_DeviceRecord> weakMain = main;
  RunLoop_->Post([weakSelf, weakMain] {
    const auto self = weakSelf.lock();
    const auto record = weakMain.lock();
    if (self && record && QPX_Framework_Device_USB::IsRegistered(record)) self->PerformDeviceEject(record);
  });
}

void QPX_Framework_Device_DiskArbitration::PerformDeviceEject(const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Log(QPX_LOG_TRACE, "%s", main->Key().c_str());
  if (main->Get(QPX_Device_Key_DADidEject).toBool()) return;
  if (!main->Get(QPX_Device_Key_DAPerformEject).toBool()) return;
  const std::optional<std::string> bsdName = GetBSDName(main);
  if (!bsdName) return;
  main->Remove(QPX_Device_Key_DAServiceObject);
  const std::string name = *bsdName;
  std::shared_ptr<platform::disk::Session> session = Session_;
  platform::RunLoop* loop = RunLoop_;
  session->Unmount(name, platform::disk::kDAUnmountOptionForce | platform::disk::kDAUnmountOptionWhole, *loop,
                   [session, loop, name](const std::optional<platform::disk::Dissent>& dissent) {
                     QPX_Log(QPX_LOG_TRACE, "Unmount %s: %s", name.c_str(),
                             dissent ? platform::disk::DissentText(*dissent).c_str() : "");
                     if (dissent) return;
                     session->Eject(name, *loop,
                                    [name](const std::optional<platform::disk::Dissent>& ejected) {
                                      QPX_Log(QPX_LOG_TRACE, "Eject %s: %s", name.c_str(),
                                              ejected ? platform::disk::DissentText(*ejected).c_str() : "");
                                    });
                   });
  main->Set(QPX_Device_Key_DADidEject, Value(true));
}

std::optional<std::string> QPX_Framework_Device_DiskArbitration::GetBSDName(
    const QPX_Framework_DeviceRecordPtr& main) {
  Value name = main->Get(QPX_Device_Key_DABSDName);
  if (!name.isString()) {
    const platform::usb::EntryPtr media =
        QPX_Framework_IOObject::From(main->Get(QPX_Device_Key_DAServiceObject));
    if (media) {
      const std::string whole = Session_->WholeDiskBSDName(media);
      if (!whole.empty()) {
        name = Value(whole);
        main->Set(QPX_Device_Key_DABSDName, name);
      }
    }
  }
  QPX_Log(QPX_LOG_TRACE, "Disk: %s", name.isString() ? name.string().c_str() : "(none)");
  if (!name.isString()) return std::nullopt;
  return name.string();
}

void QPX_Framework_Switching_EjectCD::QPX_Framework_Switching_Do(const platform::usb::EntryPtr& media,
                                                                 const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Log(QPX_LOG_TRACE, "%s", main->Key().c_str());
  main->Set(QPX_Device_Key_DAServiceObject, QPX_Framework_IOObject::Make(media));
  main->Set(QPX_Device_Key_DAPerformEject, Value(true));
  if (const auto da = QPX_Framework_Device_DiskArbitration::GetInstance()) da->QueueDeviceEject(main);
}
