#include "devices/device_base.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <thread>

#include "devices/device_hooks.h"
#include "devices/device_ports.h"
#include "devices/device_progress.h"
#include "devices/device_storage.h"
#include "devices/device_thread.h"
#include "devices/devices.h"
#include "devices/io_object.h"
#include "devices/ndis.h"
#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/util/devices_xml.h"
#include "framework/util/regex.h"

const char* const QPX_Framework_ModemThreadClass_AT = "QPX_Framework_Thread_Modem";
const char* const QPX_Framework_ModemThreadClass_HuaweiHTTP = "QPX_Framework_Thread_HuaweiHTTP";

namespace {

std::string Attribute(const QPX_Framework_XML_Element& element, std::string_view name) {
  return element.QPX_Framework_XML_Element_GetAttributeValue(name).value_or("");
}

std::shared_ptr<QPX_Framework_NDIS> NDISInstance(const QPX_Framework_DeviceRecordPtr& main) {
  return main->Get(QPX_Device_Key_NDIS).get("Instance").objectAs<QPX_Framework_NDIS>();
}

void InvalidateTimerKey(const QPX_Framework_DeviceRecordPtr& main, std::string_view key) {
  if (const auto timer = QPX_Framework_DeviceTimer_From(main->Get(key))) timer->Invalidate();
  main->Remove(key);
}

// The tables shared by all USB watchers. Touched on the main thread; the mutex only keeps
// a stray reader on another thread from seeing a table half changed.
struct USBTables {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<QPX_Framework_Device_USB>> instances;  // registration key -> watcher
  std::map<std::string, QPX_Framework_DeviceRecordPtr> records;              // instance key -> record
};
USBTables& Tables() {
  static USBTables tables;
  return tables;
}

std::atomic<double> g_retryPause{0.1};

void Pause() {
  const double seconds = g_retryPause.load();
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::optional<std::int64_t> NumberAttribute(const QPX_Framework_XML_Element& element, std::string_view name) {
  const std::optional<std::string> text = element.QPX_Framework_XML_Element_GetAttributeValue(name);
  if (!text) return std::nullopt;
  const Value number = QPX_Framework_StringToNumber(Value(*text));
  if (!number.isNumber()) return std::nullopt;
  return number.toInt64();
}

}  // namespace

// ------------------------------------------------------------------------------------------
// QPX_Framework_Device_Base

bool QPX_Framework_Device_Base::QPX_Framework_Device_Init(
    const QPX_Framework_XML_Element& entry, const std::shared_ptr<QPX_Framework_Device_Common>& common) {
  Entry_ = entry;
  Common_ = common;
  const QPX_Framework_XML_Element sources[] = {common ? common->XML.Device : QPX_Framework_XML_Element(),
                                               entry};
  for (const QPX_Framework_XML_Element& source : sources) {
    for (const QPX_Framework_XML_Element& quirks : source.QPX_Framework_XML_Element_GetChildren("Quirks")) {
      for (const QPX_Framework_XML_Element& quirk : quirks.QPX_Framework_XML_Element_GetChildren()) {
        const std::string name = quirk.Name();
        QPX_Assert_Detail(!name.empty(), Value("a quirk without a name"));
        if (Quirks_.isNull()) Quirks_ = Value::EmptyDictionary();
        Quirks_.set(name, QPX_Framework_XML_ElementValue(quirk));
      }
    }
  }
  return true;
}

std::shared_ptr<QPX_Framework_Device_Common> QPX_Framework_Device_GetCommon(
    const QPX_Framework_Device_Base& device) {
  return device.Common();
}

const Value& QPX_Framework_Device_GetQuirks(const QPX_Framework_Device_Base& device) {
  return device.Quirks();
}

void QPX_Framework_Device_Base::QPX_Framework_Device_AddSerialPort(
    const std::string& path, int type, const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Assert_Detail(IsUSBWatcher(), Value("a serial port added to a watcher that is not a USB watcher"));
  const char* key = QPX_Framework_Device_Ports::QPX_Framework_Device_Port_Key(type);
  QPX_Assert_Detail(key != nullptr, Value("a serial port of type " + std::to_string(type)));
  main->Set(key, Value(path));
  if (Common_) Common_->QPX_Framework_Device_Common_StopDriverTimer(main);
  LaunchModem(main);
}

void QPX_Framework_Device_Base::QPX_Framework_Device_AddEthernet(const std::string& bsdName,
                                                                 const QPX_Framework_DeviceRecordPtr& main) {
  if (Common_ && Common_->XML.Device.QPX_Framework_XML_Element_GetChild("HuaweiHTTP")) {
    QPX_Log(QPX_LOG_TRACE, "Found a Huawei HTTP device at %s", bsdName.c_str());
    main->Set(QPX_Device_Key_HuaweiHTTPBSDName, Value(bsdName));
    QPX_Framework_Device_LaunchModem(main, QPX_Framework_ModemThreadClass_HuaweiHTTP);
    return;
  }
  const auto ndis = NDISInstance(main);
  if (!ndis) return;
  QPX_Log(QPX_LOG_TRACE, "Found an NDIS interface %s for %s", bsdName.c_str(), main->Key().c_str());
  ndis->SetEthernet(bsdName);
  InvalidateTimerKey(main, QPX_Device_Key_NDISDelayTimer);
  const double delay = ndis->OnlyIfRequired() ? 1.0 : 0.0;
  std::weak_ptr<QPX_Framework_Device_Base> weakSelf = shared_from_this();
  std::weak_ptr<QPX_Framework_DeviceRecord> weakMain = main;
  auto timer =
      QPX_Framework_Devices_MainRunLoop()->AddTimer(delay, [weakSelf, weakMain](platform::Timer& fired) {
        const auto self = weakSelf.lock();
        const auto record = weakMain.lock();
        if (!self || !record || !QPX_Framework_Device_USB::IsRegistered(record)) return;
        self->NDISEthernetModemStart(fired.shared_from_this(), record);
      });
  main->Set(QPX_Device_Key_NDISDelayTimer, QPX_Framework_DeviceTimer_Value(timer));
}

void QPX_Framework_Device_Base::LaunchModem(const QPX_Framework_DeviceRecordPtr& main) {
  unsigned mask = 0;
  if (Common_) {
    for (const QPX_Framework_XML_Element& port :
         Common_->XML.Device.QPX_Framework_XML_Element_GetChildren("Port")) {
      const int type = QPX_Framework_Device_Ports::QPX_Framework_Device_Port_Type(port);
      const char* key = QPX_Framework_Device_Ports::QPX_Framework_Device_Port_Key(type);
      if (key && main->Contains(key)) mask |= 1u << type;
    }
  }
  const auto ndis = NDISInstance(main);
  if (!main->Contains(QPX_Device_Key_NDISDelayTimer) && ndis && ndis->GetEthernet()) mask |= 8;

  if ((mask & 2) && (mask & (4 | 8))) {
    if ((mask & 6) == 6 && ndis && ndis->OnlyIfRequired()) {
      QPX_Log(QPX_LOG_TRACE, "Removing NDIS");
      main->Remove(QPX_Device_Key_NDIS);
    }
    QPX_Log(QPX_LOG_TRACE, "Detected required ports");
    InvalidateTimerKey(main, QPX_Device_Key_NDISDelayTimer);
    QPX_Framework_Device_LaunchModem(main, QPX_Framework_ModemThreadClass_AT);
  } else {
    QPX_Log(QPX_LOG_TRACE, "Required ports not yet detected");
  }
}

void QPX_Framework_Device_Base::NDISEthernetModemStart(const std::shared_ptr<platform::Timer>& timer,
                                                       const QPX_Framework_DeviceRecordPtr& main) {
  const auto current = QPX_Framework_DeviceTimer_From(main->Get(QPX_Device_Key_NDISDelayTimer));
  QPX_Assert_Detail(current && current->timer() == timer, Value("a foreign NDIS delay timer"));
  main->Remove(QPX_Device_Key_NDISDelayTimer);
  LaunchModem(main);
}

void QPX_Framework_Device_Base::UnregisterDevice(const platform::usb::EntryPtr& /*object*/,
                                                 const QPX_Framework_DeviceRecordPtr& main) {
  InvalidateTimerKey(main, QPX_Device_Key_NDISDelayTimer);
  // The linked-storage wait ends with its device too.
  InvalidateTimerKey(main, QPX_Device_Key_EjectTimer);
}

std::string QPX_Framework_Device_Base::Description() const {
  return "<device watcher " +
         (Common_ ? Attribute(Common_->XML.Device, "Name") : std::string("(singleton)")) + ">";
}

bool QPX_Framework_Device_LaunchModem(const QPX_Framework_DeviceRecordPtr& main,
                                      const std::string& threadClass) {
  if (main->Contains(QPX_Device_Key_ModemStorage)) {
    QPX_Log(QPX_LOG_TRACE, "Modem is already launched");
    return false;
  }
  main->Set(QPX_Device_Key_Mutex, Value::Object(std::make_shared<QPX_Framework_Lock>()));
  return QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Start(threadClass, main);
}

// ------------------------------------------------------------------------------------------
// QPX_Framework_Device

void QPX_Framework_Device::QPX_Framework_Device_PublishMain(const platform::usb::EntryPtr& /*object*/,
                                                            const QPX_Framework_DeviceRecordPtr& /*main*/) {}
void QPX_Framework_Device::QPX_Framework_Device_TerminateMain(const platform::usb::EntryPtr& /*object*/,
                                                              const QPX_Framework_DeviceRecordPtr& /*main*/) {
}
void QPX_Framework_Device::QPX_Framework_Device_Publish(const platform::usb::EntryPtr& /*object*/) {}
void QPX_Framework_Device::QPX_Framework_Device_Terminate(const platform::usb::EntryPtr& /*object*/) {}

bool QPX_Framework_Device_RegisterNotification(const Value& matching, QPX_Framework_Device& watcher) {
  return watcher.QPX_Framework_Device_RegisterNotification(matching);
}

bool QPX_Framework_Device::QPX_Framework_Device_RegisterNotification(const Value& matching) {
  QPX_Assert_Detail(QPX_Framework_Devices_IsMainThread(),
                    Value("device notifications are registered on the main thread"));
  if (matching.isNull()) return true;
  const auto service = platform::usb::CurrentService();
  platform::RunLoop* loop = QPX_Framework_Devices_MainRunLoop();
  if (!service || !loop) return false;
  std::weak_ptr<QPX_Framework_Device> weak =
      std::static_pointer_cast<QPX_Framework_Device>(shared_from_this());

  auto terminate = service->AddMatchingNotification(
      platform::usb::NoticeKind::Terminate, matching, *loop,
      [weak](const std::vector<platform::usb::EntryPtr>& objects) {
        if (const auto self = weak.lock()) self->QPX_Framework_Devices_Terminate(objects);
      },
      nullptr);
  std::vector<platform::usb::EntryPtr> present;
  auto publish = service->AddMatchingNotification(
      platform::usb::NoticeKind::Publish, matching, *loop,
      [weak](const std::vector<platform::usb::EntryPtr>& objects) {
        if (const auto self = weak.lock()) self->QPX_Framework_Devices_Publish(objects);
      },
      &present);
  if (terminate) Notifications_.push_back(terminate);
  if (publish) Notifications_.push_back(publish);
  // Devices already there are reported now.
  if (publish) QPX_Framework_Devices_Publish(present);
  return terminate && publish;
}

void QPX_Framework_Device::QPX_Framework_Devices_Publish(
    const std::vector<platform::usb::EntryPtr>& objects) {
  for (const platform::usb::EntryPtr& object : objects) {
    QPX_Log(QPX_LOG_CALLS, "%s", object->Description().c_str());
    if (RespondsToPublishMain()) {
      if (const auto main = QPX_Framework_Devices::QPX_Framework_Devices_FindMain(object, true))
        QPX_Framework_Device_PublishMain(object, main);
    }
    QPX_Framework_Device_Publish(object);
  }
}

void QPX_Framework_Device::QPX_Framework_Devices_Terminate(
    const std::vector<platform::usb::EntryPtr>& objects) {
  for (const platform::usb::EntryPtr& object : objects) {
    QPX_Log(QPX_LOG_CALLS, "%s", object->Description().c_str());
    if (RespondsToTerminateMain()) {
      if (const auto main = QPX_Framework_Devices::QPX_Framework_Devices_FindMain(object, false))
        QPX_Framework_Device_TerminateMain(object, main);
    }
    QPX_Framework_Device_Terminate(object);
  }
}

void QPX_Framework_Device::CancelNotifications() {
  for (const auto& notification : Notifications_) notification->Cancel();
  Notifications_.clear();
}

// ------------------------------------------------------------------------------------------
// QPX_Framework_Device_USB

bool QPX_Framework_Device_USB::QPX_Framework_Device_Init(
    const QPX_Framework_XML_Element& entry, const std::shared_ptr<QPX_Framework_Device_Common>& common) {
  QPX_Framework_Device_Base::QPX_Framework_Device_Init(entry, common);
  const std::optional<std::int64_t> vendor = NumberAttribute(entry, "Vendor");
  const std::optional<std::int64_t> product = NumberAttribute(entry, "Product");
  if (!vendor || !product) {
    QPX_Log(QPX_LOG_ERROR, "A USB entry of \"%s\" lacks Vendor or Product",
            common ? Attribute(common->XML.Device, "Name").c_str() : "?");
    return false;
  }
  std::optional<std::uint32_t> release;
  if (const auto text = entry.QPX_Framework_XML_Element_GetAttributeValue("bcdDevice"))
    release = ParseReleaseNumber(*text);

  char key[48];
  std::snprintf(key, sizeof key, "USB %04x:%04x", static_cast<unsigned>(*vendor),
                static_cast<unsigned>(*product));
  RegistrationKey_ = key;
  if (release) {
    std::snprintf(key, sizeof key, ":%04x", *release);
    RegistrationKey_ += key;
  }
  {
    std::lock_guard<std::mutex> hold(Tables().mutex);
    const auto it = Tables().instances.find(RegistrationKey_);
    QPX_Assert_Detail(it == Tables().instances.end() || it->second.expired(),
                      Value("two USB entries for " + RegistrationKey_));
    Tables().instances[RegistrationKey_] =
        std::static_pointer_cast<QPX_Framework_Device_USB>(shared_from_this());
  }
  QPX_Log(QPX_LOG_TRACE, "%s", RegistrationKey_.c_str());

  Value matching = Value::EmptyDictionary();
  matching.set(platform::usb::kProviderClassKey, Value(platform::usb::kClassUSBDevice));
  matching.set("idVendor", Value(static_cast<long long>(*vendor)));
  matching.set("idProduct", Value(static_cast<long long>(*product)));
  if (release) matching.set("bcdDevice", Value(static_cast<long long>(*release)));
  const bool registered = QPX_Framework_Device_RegisterNotification(matching);
  if (registered)
    QPX_Framework_Device_Storage::QPX_Framework_Device_Storage_Init(common ? common->XML.Storage
                                                                           : QPX_Framework_XML_Element());
  return registered;
}

std::optional<std::uint32_t> QPX_Framework_Device_USB::ParseReleaseNumber(const std::string& text) {
  // Up to three dot-separated decimal numbers a.b.c, read as a*256 + b*16 + c.
  static const unsigned weights[] = {256, 16, 1};
  std::uint32_t value = 0;
  std::size_t position = 0;
  for (int part = 0; part < 3; ++part) {
    if (position >= text.size() || text[position] < '0' || text[position] > '9') return std::nullopt;
    std::uint32_t number = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
      number = number * 10 + static_cast<std::uint32_t>(text[position] - '0');
      if (number > 0xffff) return std::nullopt;
      ++position;
    }
    value += number * weights[part];
    if (position == text.size()) return value;
    if (text[position] != '.') return std::nullopt;
    ++position;
  }
  return std::nullopt;  // a fourth part, or a trailing point
}

void QPX_Framework_Device_USB::QPX_Framework_Device_Publish(const platform::usb::EntryPtr& object) {
  RegisterDevice(object);
}

void QPX_Framework_Device_USB::QPX_Framework_Device_Terminate(const platform::usb::EntryPtr& object) {
  UnregisterDeviceObject(object);
}

std::optional<std::string> QPX_Framework_Device_USB::MakeDeviceKey(const platform::usb::EntryPtr& device,
                                                                   Value* appInfo) {
  if (!device) return std::nullopt;
  const Value vendor = device->Property("idVendor");
  const Value product = device->Property("idProduct");
  if (!vendor.isNumber() || !product.isNumber()) return std::nullopt;
  const auto v = static_cast<std::uint32_t>(vendor.toInt64());
  const auto p = static_cast<std::uint32_t>(product.toInt64());
  if (appInfo) {
    appInfo->set("Vendor", Value(v));
    appInfo->set("Product", Value(p));
  }
  char key[32];
  std::snprintf(key, sizeof key, "USB %04x:%04x", v, p);
  return std::string(key);
}

std::optional<std::string> QPX_Framework_Device_USB::MakeInstanceKey(const platform::usb::EntryPtr& device,
                                                                     Value* appInfo) {
  const std::optional<std::string> deviceKey = MakeDeviceKey(device, appInfo);
  if (!deviceKey) return std::nullopt;
  const Value session = device->Property("sessionID");
  if (!session.isNumber()) return std::nullopt;
  if (appInfo) appInfo->set("SessionID", session);
  return *deviceKey + " (" + std::to_string(session.toUInt64()) + ")";
}

QPX_Framework_DeviceRecordPtr QPX_Framework_Device_USB::QPX_Framework_Devices_FindDevice(
    const platform::usb::EntryPtr& device, bool create) {
  const std::optional<std::string> instanceKey = MakeInstanceKey(device, nullptr);
  if (!instanceKey) return nullptr;
  std::shared_ptr<QPX_Framework_Device_USB> watcher;
  {
    std::lock_guard<std::mutex> hold(Tables().mutex);
    const auto it = Tables().records.find(*instanceKey);
    if (it != Tables().records.end()) return it->second;
    if (!create) return nullptr;
  }
  QPX_Log(QPX_LOG_TRACE, "Instances: %s", instanceKey->c_str());
  const std::optional<std::string> deviceKey = MakeDeviceKey(device, nullptr);
  QPX_Log(QPX_LOG_CALLS, "DeviceKey: %s", deviceKey ? deviceKey->c_str() : "(none)");
  if (deviceKey) {
    std::lock_guard<std::mutex> hold(Tables().mutex);
    const auto it = Tables().instances.find(*deviceKey);
    if (it != Tables().instances.end()) watcher = it->second.lock();
  }
  if (!watcher) return nullptr;
  QPX_Log(QPX_LOG_CALLS, "Instance: %s", watcher->RegistrationKey().c_str());
  return watcher->RegisterDevice(device);
}

QPX_Framework_DeviceRecordPtr QPX_Framework_Device_USB::RegisterDevice(
    const platform::usb::EntryPtr& device) {
  Value info = Value::EmptyDictionary();
  const std::optional<std::string> key = MakeInstanceKey(device, &info);
  if (!key) return nullptr;
  info.set("Key", Value(*key));
  QPX_Framework_Device_AppInfo::ReportProgress(QPX_DeviceProgress_Detected, info);
  Value ioObject = QPX_Framework_IOObject::Make(device);
  {
    std::lock_guard<std::mutex> hold(Tables().mutex);
    const auto it = Tables().records.find(*key);
    if (it != Tables().records.end()) return it->second;
  }
  QPX_Framework_Device_AppInfo::ReportProgress(QPX_DeviceProgress_Registered, info);

  auto main = QPX_Framework_DeviceRecord::Make();
  main->Set(QPX_Device_Key_Instance, Value::Object(shared_from_this()));
  main->Set(QPX_Device_Key_Key, Value(*key));
  main->Set(QPX_Device_Key_IOObject, ioObject);
  // The strings come from the device: one that is not a string is logged and left out.
  for (const auto& [property, recordKey] : {std::pair{"USB Vendor Name", QPX_Device_Key_VendorString},
                                            std::pair{"USB Product Name", QPX_Device_Key_ProductString}}) {
    const Value text = device->Property(property);
    if (text.isString())
      main->Set(recordKey, text);
    else if (!text.isNull())
      QPX_Log(QPX_LOG_ERROR, "Device %s: \"%s\" is not a string", key->c_str(), property);
  }

  std::string ndisText = "no NDIS";
  const std::optional<std::string> ndisType = Entry_.QPX_Framework_XML_Element_GetAttributeValue("NDIS");
  if (ndisType && *ndisType != "no" && Common_ && Common_->XML.NDIS.contains(*ndisType)) {
    Value row = Common_->XML.NDIS.get(*ndisType);
    const Value className = row.get("Class");
    if (className.isString()) {
      std::shared_ptr<QPX_Framework_NDIS> ndis;
      if (const auto entry = QPX_Framework_ClassRegistry::Find(className.string()); entry && entry->create)
        ndis = std::dynamic_pointer_cast<QPX_Framework_NDIS>(entry->create());
      if (ndis) {
        if (Attribute(Entry_, "NDISMode") == "allow") ndis->SetOnlyIfRequired();
        row.set("Instance", Value::Object(ndis));
      } else {
        QPX_Log(QPX_LOG_ERROR, "NDIS class \"%s\" could not be made", className.string().c_str());
      }
    }
    main->Set(QPX_Device_Key_NDIS, row);
    ndisText = "'" + *ndisType + "' NDIS";
  }
  QPX_Log(QPX_LOG_MILESTONE, "New device: %s (%s)", key->c_str(), ndisText.c_str());

  if (QPX_Framework_Application_RunMode == 3) {
    if (const auto launch = QPX_Framework_Devices_GetLaunchAppForDeviceHook()) launch();
  }
  {
    std::lock_guard<std::mutex> hold(Tables().mutex);
    Tables().records[*key] = main;
  }
  if (Common_ && !Common_->DriverInfo.isNull())
    main->Set(QPX_Device_Key_BundledDriverInfo, Common_->DriverInfo);
  if (Common_) Common_->QPX_Framework_Device_Common_StartDriverTimer(main);
  return main;
}

void QPX_Framework_Device_USB::UnregisterDeviceObject(const platform::usb::EntryPtr& device) {
  Value info = Value::EmptyDictionary();
  const std::optional<std::string> key = MakeInstanceKey(device, &info);
  if (!key) return;
  QPX_Framework_DeviceRecordPtr main;
  {
    std::lock_guard<std::mutex> hold(Tables().mutex);
    const auto it = Tables().records.find(*key);
    if (it == Tables().records.end()) return;
    main = it->second;
  }
  QPX_Log(QPX_LOG_MILESTONE, "Removing device: %s", key->c_str());
  if (Common_) Common_->QPX_Framework_Device_Common_StopDriverTimer(main);
  if (const auto watcher = main->GetObject<QPX_Framework_Device_Base>(QPX_Device_Key_Instance))
    watcher->UnregisterDevice(device, main);
  QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Unplugged(main);
  {
    std::lock_guard<std::mutex> hold(Tables().mutex);
    Tables().records.erase(*key);
  }
  QPX_Framework_Device_AppInfo::ReportProgress(QPX_DeviceProgress_Removed, info);
}

double QPX_Framework_Device_USB::SetRetryPause(double seconds) { return g_retryPause.exchange(seconds); }

bool QPX_Framework_Device_USB::QPX_Framework_Device_Reenumerate(const platform::usb::EntryPtr& device) {
  const auto service = platform::usb::CurrentService();
  if (!device || !service) return false;
  std::unique_ptr<platform::usb::DeviceInterface> interface;
  int attemptsLeft = 40;
  while (attemptsLeft-- > 0) {
    int error = platform::usb::kIOReturnSuccess;
    interface = service->CreateDeviceInterface(device, &error);
    if (interface) break;
    QPX_Log(QPX_LOG_ERROR, "IOCreatePlugInInterfaceForService: %08lx",
            static_cast<unsigned long>(static_cast<unsigned>(error)));
    if (error == platform::usb::kIOReturnUnsupported && attemptsLeft > 5) attemptsLeft = 5;
    // A device that has left will not come back under this entry.
    if (device->IsTerminated()) break;
    Pause();
  }
  if (!interface) {
    QPX_Log(QPX_LOG_ERROR, "Reenumeration failed: %s",
            platform::usb::ErrorText(platform::usb::kIOReturnNoDevice).c_str());
    return false;
  }
  int result = interface->Open();
  for (int retry = 0; result == platform::usb::kIOReturnExclusiveAccess && retry < 10; ++retry) {
    QPX_Log(QPX_LOG_ERROR, "USBDeviceOpen failed: %s", platform::usb::ErrorText(result).c_str());
    Pause();
    result = interface->Open();
  }
  if (result == platform::usb::kIOReturnSuccess) result = interface->ReEnumerate(0);
  interface->Close();
  if (result == platform::usb::kIOReturnSuccess) {
    QPX_Log(QPX_LOG_MILESTONE, "Reenumerated Device");
    return true;
  }
  QPX_Log(QPX_LOG_ERROR, "Reenumeration failed: %s", platform::usb::ErrorText(result).c_str());
  return false;
}

void QPX_Framework_Device_USB::QPX_Framework_Device_Reenumerate(const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Framework_Device_Reenumerate(QPX_Framework_IOObject::From(main->Get(QPX_Device_Key_IOObject)));
}

bool QPX_Framework_Device_USB::IsRegistered(const QPX_Framework_DeviceRecordPtr& main) {
  if (!main) return false;
  const std::string key = main->Key();
  std::lock_guard<std::mutex> hold(Tables().mutex);
  const auto it = Tables().records.find(key);
  return it != Tables().records.end() && it->second == main;
}

std::vector<QPX_Framework_DeviceRecordPtr> QPX_Framework_Device_USB::Records() {
  std::vector<QPX_Framework_DeviceRecordPtr> records;
  std::lock_guard<std::mutex> hold(Tables().mutex);
  for (const auto& [key, record] : Tables().records) records.push_back(record);
  return records;
}

void QPX_Framework_Device_USB::_ResetTables() {
  std::lock_guard<std::mutex> hold(Tables().mutex);
  Tables().instances.clear();
  Tables().records.clear();
}
