#include "devices/device_common.h"

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "devices/device_base.h"
#include "devices/device_hooks.h"
#include "devices/device_progress.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "platform/kmod.h"

namespace {

std::atomic<int> g_activePasses{0};

std::mutex& Kernel64Mutex() {
  static std::mutex mutex;
  return mutex;
}
std::optional<bool>& Kernel64Override() {
  static std::optional<bool> value;
  return value;
}

bool Kernel64Bit() {
  std::lock_guard<std::mutex> hold(Kernel64Mutex());
  if (Kernel64Override()) return *Kernel64Override();
  if (QPX_Framework_SystemVersion.string.empty()) return sizeof(void*) == 8;
  return QPX_Framework_SystemVersion.is64Bit != 0;
}

std::string DriversFolder() { return QPX_Framework_Application_Resources() + "/Drivers"; }

std::string Attribute(const QPX_Framework_XML_Element& element, std::string_view name) {
  return element.QPX_Framework_XML_Element_GetAttributeValue(name).value_or("");
}

// The record, when it is still plugged; a report for a device that left is dropped and its
// driver timer stopped.
QPX_Framework_DeviceRecordPtr StillPlugged(const std::weak_ptr<QPX_Framework_DeviceRecord>& weak,
                                           QPX_Framework_Device_Common& common, const char* what) {
  const QPX_Framework_DeviceRecordPtr main = weak.lock();
  if (main && QPX_Framework_Device_USB::IsRegistered(main)) return main;
  QPX_Log(QPX_LOG_TRACE, "%s for a device that is gone is ignored", what);
  if (main) common.QPX_Framework_Device_Common_StopDriverTimer(main);
  return nullptr;
}

}  // namespace

void QPX_Framework_Device_SetKernel64Bit(std::optional<bool> is64Bit) {
  std::lock_guard<std::mutex> hold(Kernel64Mutex());
  Kernel64Override() = is64Bit;
}

bool QPX_Framework_Device_Common::QPX_Framework_Device_Common_Init(const QPX_Framework_XML_Element& device,
                                                                   const Value& ndis, bool bundle,
                                                                   const Value& driverInfo) {
  XML.Device = device;
  XML.NDIS = ndis;
  DriverInfo = driverInfo;
  BundledDrivers = bundle;
  if (bundle && QPX_Framework_Application_RunMode != 3)
    XML.Storage = device.QPX_Framework_XML_Element_GetChild("Storage");
  XML.Drivers = ChooseDrivers(device, QPX_Framework_SystemVersion.major, QPX_Framework_SystemVersion.minor);
  return true;
}

QPX_Framework_XML_Element QPX_Framework_Device_Common::ChooseDrivers(const QPX_Framework_XML_Element& device,
                                                                     std::uint32_t major,
                                                                     std::uint32_t minor) {
  QPX_Framework_XML_Element choice;
  bool sawUnversioned = false;
  std::optional<unsigned> lowerMinor;
  for (const QPX_Framework_XML_Element& drivers : device.QPX_Framework_XML_Element_GetChildren("Drivers")) {
    const std::optional<std::string> version =
        drivers.QPX_Framework_XML_Element_GetAttributeValue("SystemVersion");
    if (!version) {
      choice = drivers;
      sawUnversioned = true;
      continue;
    }
    unsigned elementMajor = 0;
    unsigned elementMinor = 0;
    if (std::sscanf(version->c_str(), "%u.%u", &elementMajor, &elementMinor) != 2) continue;
    if (elementMajor != major) continue;
    if (elementMinor == minor) return drivers;
    if (elementMinor < minor && !sawUnversioned && (!lowerMinor || *lowerMinor < elementMinor)) {
      choice = drivers;
      lowerMinor = elementMinor;
    }
  }
  return choice;
}

std::string QPX_Framework_Device_Common::QPX_Framework_Device_Common_DriverDir() const {
  if (auto dir = XML.Drivers.QPX_Framework_XML_Element_GetAttributeValue("Directory")) return *dir;
  if (auto dir = XML.Device.QPX_Framework_XML_Element_GetAttributeValue("Directory")) return *dir;
  if (auto name = XML.Device.QPX_Framework_XML_Element_GetAttributeValue("Name")) return *name;
  return ".";
}

void QPX_Framework_Device_Common::RunOnInvocationThread(std::function<void()> function) {
  g_activePasses.fetch_add(1);
  std::thread([function = std::move(function)] {
    function();
    g_activePasses.fetch_sub(1);
  }).detach();
}

int QPX_Framework_Device_Common::ActiveDriverPasses() { return g_activePasses.load(); }

void QPX_Framework_Device_Common::QPX_Framework_Device_Common_StartDriverTimer(
    const QPX_Framework_DeviceRecordPtr& main) {
  if (!BundledDrivers || QPX_Framework_Application_RunMode == 3 || !main) return;
  const Value safe = GetSafeMain(main);
  std::weak_ptr<QPX_Framework_DeviceRecord> weak = main;
  auto self = shared_from_this();
  RunOnInvocationThread([self, weak, safe] { self->StartDriverTimer(weak, safe); });
}

void QPX_Framework_Device_Common::StartDriverTimer(const std::weak_ptr<QPX_Framework_DeviceRecord>& main,
                                                   const Value& safe) {
  QPX_Assert_Detail(!QPX_Framework_Devices_IsMainThread(), Value("driver check on the main thread"));
  const double delay = LoadDrivers(safe, true, main) ? 5.0 : 1.0;
  auto self = shared_from_this();
  QPX_Framework_Devices_PerformOnMain([self, main, delay] {
    if (const auto record = StillPlugged(main, *self, "A driver check"))
      self->QPX_Framework_Device_Common_StartDriverTimer(record, delay);
  });
}

void QPX_Framework_Device_Common::QPX_Framework_Device_Common_StartDriverTimer(
    const QPX_Framework_DeviceRecordPtr& main, double delay) {
  QPX_Assert_Detail(QPX_Framework_Devices_IsMainThread(),
                    Value("the driver timer belongs to the main thread"));
  QPX_Framework_Device_Common_StopDriverTimer(main);
  QPX_Log(QPX_LOG_CALLS, "%s Delay:%g", main->Key().c_str(), delay);
  std::weak_ptr<QPX_Framework_DeviceRecord> weak = main;
  auto self = shared_from_this();
  auto timer = QPX_Framework_Devices_MainRunLoop()->AddTimer(delay, [self, weak](platform::Timer&) {
    if (const auto record = StillPlugged(weak, *self, "A driver timer")) self->DriverTimerFire(record);
  });
  main->Set(QPX_Device_Key_LoadDriverTimer, QPX_Framework_DeviceTimer_Value(timer));
}

void QPX_Framework_Device_Common::QPX_Framework_Device_Common_StopDriverTimer(
    const QPX_Framework_DeviceRecordPtr& main) {
  if (!main) return;
  if (const auto timer = QPX_Framework_DeviceTimer_From(main->Get(QPX_Device_Key_LoadDriverTimer)))
    timer->Invalidate();
  main->Remove(QPX_Device_Key_LoadDriverTimer);
}

void QPX_Framework_Device_Common::DriverTimerFire(const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Assert_Detail(QPX_Framework_Devices_IsMainThread(),
                    Value("the driver timer fired off the main thread"));
  main->Remove(QPX_Device_Key_LoadDriverTimer);
  const Value safe = GetSafeMain(main);
  std::weak_ptr<QPX_Framework_DeviceRecord> weak = main;
  auto self = shared_from_this();
  RunOnInvocationThread([self, weak, safe] { self->PerformLoadDrivers(weak, safe); });
}

void QPX_Framework_Device_Common::PerformLoadDrivers(const std::weak_ptr<QPX_Framework_DeviceRecord>& main,
                                                     const Value& safe) {
  LoadDrivers(safe, false, main);
}

bool QPX_Framework_Device_Common::LoadDrivers(const Value& safe, bool checkInstallOnly,
                                              const std::weak_ptr<QPX_Framework_DeviceRecord>& realMain) {
  QPX_Assert_Detail(!QPX_Framework_Devices_IsMainThread(), Value("driver pass on the main thread"));
  if (!XML.Drivers) return true;
  const std::string dir = QPX_Framework_Device_Common_DriverDir();
  bool sent = false;
  if (!checkInstallOnly)
    for (const QPX_Framework_XML_Element& unload :
         XML.Drivers.QPX_Framework_XML_Element_GetChildren("Unload"))
      sent |= LoadDriver(unload, dir, true);

  const bool hasNDIS = safe.contains("NDIS");
  const Value ndisType = safe.get("NDIS").get("Type");
  for (const QPX_Framework_XML_Element& driver :
       XML.Drivers.QPX_Framework_XML_Element_GetChildren("Driver")) {
    const std::optional<std::string> ndis = driver.QPX_Framework_XML_Element_GetAttributeValue("NDIS");
    bool applies = true;
    if (ndis) {
      if (*ndis == "no")
        applies = !hasNDIS;
      else
        applies = ndisType.isString() && ndisType.string() == *ndis;
    }
    if (!applies) continue;
    const std::optional<std::string> when = driver.QPX_Framework_XML_Element_GetAttributeValue("When");
    if (checkInstallOnly) {
      if (when && *when != "Install") return false;
      const std::optional<std::string> kext = driver.QPX_Framework_XML_Element_GetAttributeValue("KEXT");
      if (kext && !CheckKextInstalled(*kext)) return false;
    } else {
      if (when && *when != "Load") continue;
      sent |= LoadDriver(driver, dir, false);
    }
  }
  if (checkInstallOnly) return true;

  const std::optional<std::string> reenumerate =
      XML.Drivers.QPX_Framework_XML_Element_GetAttributeValue("Reenumerate");
  if (sent && (!reenumerate || ::strcasecmp(reenumerate->c_str(), "yes") == 0)) {
    auto self = shared_from_this();
    QPX_Framework_Devices_PerformOnMain([self, realMain] {
      if (const auto record = StillPlugged(realMain, *self, "A re-enumeration request"))
        self->PerformReenumerate(record);
    });
  }
  return true;
}

bool QPX_Framework_Device_Common::LoadDriver(const QPX_Framework_XML_Element& driver,
                                             const std::string& driverDir, bool unload) {
  QPX_Log(QPX_LOG_CALLS, "%s", driverDir.c_str());
  if (!CheckDriverBits(driver)) return false;
  const std::optional<std::string> kext = driver.QPX_Framework_XML_Element_GetAttributeValue("KEXT");
  if (!kext) {
    QPX_Log(QPX_LOG_ERROR, "A driver of \"%s\" names no KEXT", driverDir.c_str());
    return false;
  }
  const std::string path = driverDir + "/" + *kext;
  const int status = GetKextStatus(path);
  if (unload ? status == 2 : status != 2) return false;
  Value request = Value::EmptyDictionary();
  request.set("Command", Value(unload ? "Unload Driver" : "Load Driver"));
  request.set("Kext", Value(path));
  // The reply is not examined: the driver's status is read again at the next pass.
  QPX_Framework_Devices_PrivilegedExecute(request);
  if (!unload)
    QPX_Framework_Device_AppInfo::ReportProgress(QPX_DeviceProgress_DriverLoaded,
                                                 Value{{"Driver Path", Value(path)}});
  return true;
}

int QPX_Framework_Device_Common::GetKextStatus(const std::string& driverPath) {
  const platform::kmod::Status status =
      platform::kmod::CurrentService()->GetStatus(DriversFolder(), driverPath);
  const char* text = status == platform::kmod::Status::Loaded      ? "Looaded"
                     : status == platform::kmod::Status::NotLoaded ? "Not loaded"
                                                                   : "Unknown";
  QPX_Log(QPX_LOG_TRACE, "%s -> %s", driverPath.c_str(), text);
  return static_cast<int>(status);
}

bool QPX_Framework_Device_Common::CheckKextInstalled(const std::string& name) {
  const bool installed = platform::kmod::CurrentService()->IsInstalled(name);
  QPX_Log(QPX_LOG_CALLS, "%s -> %sinstalled", name.c_str(), installed ? "" : "not ");
  return installed;
}

bool QPX_Framework_Device_Common::CheckDriverBits(const QPX_Framework_XML_Element& driver) {
  const std::optional<std::string> bits = driver.QPX_Framework_XML_Element_GetAttributeValue("Bits");
  if (!bits) return true;
  QPX_Assert_Detail(*bits == "32" || *bits == "64", Value("driver Bits \"" + *bits + "\""));
  return (*bits == "64") == Kernel64Bit();
}

Value QPX_Framework_Device_Common::GetSafeMain(const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Assert_Detail(QPX_Framework_Devices_IsMainThread(),
                    Value("a safe device copy is taken on the main thread"));
  Value safe = Value::EmptyDictionary();
  const Value ndis = main->Get(QPX_Device_Key_NDIS);
  if (ndis.isNull()) return safe;
  Value copy = Value::EmptyDictionary();
  if (ndis.contains("Type")) copy.set("Type", ndis.get("Type"));
  safe.set("NDIS", copy);
  return safe;
}

void QPX_Framework_Device_Common::PerformReenumerate(const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Assert_Detail(QPX_Framework_Devices_IsMainThread(), Value("re-enumeration off the main thread"));
  if (const auto watcher = main->GetObject<QPX_Framework_Device_USB>(QPX_Device_Key_Instance))
    watcher->QPX_Framework_Device_Reenumerate(main);
}

std::string QPX_Framework_Device_Common::Description() const {
  return "<device model " + Attribute(XML.Device, "Name") + ">";
}

Value QPX_Framework_BundledDriverInfoForModem(const std::shared_ptr<QPX_Framework_Storage>& modem) {
  if (!modem) return Value();
  const auto main = QPX_Framework_DeviceRecord::From(modem->objectForKey("Modem Device"));
  return main ? main->Get(QPX_Device_Key_BundledDriverInfo) : Value();
}
