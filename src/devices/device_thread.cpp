#include "devices/device_thread.h"

#include <cinttypes>
#include <cstdio>

#include "devices/device_base.h"
#include "devices/ndis.h"
#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/util/devices_xml.h"
#include "platform/thread_context.h"

QPX_Framework_StoragePtr QPX_Framework_Modem_Storage;
const char* const QPX_Framework_Modems_Path = "/Modems";
const char* const QPX_Framework_ModemNode_ModemDevice = "Modem Device";
const char* const QPX_Framework_CurrentModem_Key = "QPX Current Modem";

namespace {

// Grows by one for every node name tried, so numbers are never reused.
std::atomic<std::uint32_t> g_modemCounter{0};

std::shared_ptr<QPX_Framework_Lock> RecordLock(const QPX_Framework_DeviceRecordPtr& main) {
  return main->GetObject<QPX_Framework_Lock>(QPX_Device_Key_Mutex);
}

// Runs the function under the record's "Mutex" (the record's own mutex when it has none).
template <class F>
void UnderRecordLock(const QPX_Framework_DeviceRecordPtr& main, F&& function) {
  if (const auto lock = RecordLock(main)) {
    std::lock_guard<QPX_Framework_Lock> hold(*lock);
    function();
  } else {
    std::lock_guard<std::recursive_mutex> hold(main->Mutex());
    function();
  }
}

}  // namespace

// ------------------------------------------------------------------------------------------
// Modem threads

bool QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Init(
    const QPX_Framework_DeviceRecordPtr& main) {
  Main_ = main;
  return main != nullptr;
}

void QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Run() {
  if (!_LaunchThreads()) {
    QPX_Log(QPX_LOG_ERROR, "Per-device threads of %s failed to start", Main_ ? Main_->Key().c_str() : "?");
    QPX_Framework_Thread_Quit();
    return;
  }
  QPX_Framework_Thread::QPX_Framework_Thread_Run();
}

bool QPX_Framework_DeviceThread_Base::_LaunchThreads() {
  if (!Main_) return false;
  QPX_Framework_PerDeviceClasses& registry = Main_->Contains(QPX_Device_Key_HuaweiHTTPThread)
                                                 ? PerDeviceClasses_HuaweiHTTP()
                                                 : PerDeviceClasses_AT();
  return QPX_Framework_LaunchPerDeviceThreads(Main_, registry);
}

void QPX_Framework_DeviceThread_Base::_KillThreads() {
  if (Main_) QPX_Framework_KillPerDeviceThreads(Main_);
}

bool QPX_Framework_DeviceThread_Base::QPX_Framework_Init(const std::string& /*className*/) {
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  if (!QPX_Framework_Modem_Storage)
    QPX_Framework_Modem_Storage = QPX_Framework_Storage_CreateNode(QPX_Framework_Modems_Path);
  return QPX_Framework_Modem_Storage != nullptr;
}

bool QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Start(
    const std::string& className, const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Assert_Detail(main != nullptr, Value("a modem start needs its device record"));
  QPX_Framework_StoragePtr modems;
  {
    // Made by the class initialiser of the modem thread classes; made here when no such
    // class took part in start-up.
    std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
    if (!QPX_Framework_Modem_Storage) QPX_Framework_Init(className);
    modems = QPX_Framework_Modem_Storage;
  }
  QPX_Assert_Detail(modems != nullptr, Value("\"/Modems\" could not be made"));

  // A fresh node: a name that already exists is passed over.
  std::string path;
  QPX_Framework_StoragePtr node;
  for (;;) {
    char name[16];
    std::snprintf(name, sizeof name, "%08x", g_modemCounter.fetch_add(1));
    bool created = false;
    node = modems->GetNode(name, true, Value(), false, &created);
    if (node && created) {
      path = std::string(QPX_Framework_Modems_Path) + "/" + name;
      break;
    }
  }
  QPX_Log(QPX_LOG_MILESTONE, "Launching modem \"%s\" on device \"%s\"", path.c_str(), main->Key().c_str());
  main->Set(QPX_Device_Key_ModemID, Value(path));
  main->Set(QPX_Device_Key_ModemStorage, Value::Object(node));

  const Value ndisObject = main->Get(QPX_Device_Key_NDIS).get("Instance");
  if (!ndisObject.isNull()) {
    const auto ndis = ndisObject.objectAs<QPX_Framework_NDIS>();
    QPX_Assert_Detail(ndis != nullptr,
                      Value("the NDIS instance is no QPX_Framework_NDIS: " + ndisObject.Description()));
    ndis->SetStorage(node);
  }
  QPX_Log(QPX_LOG_TRACE, "%s", main->DescribeContents().c_str());

  std::shared_ptr<QPX_Framework_DeviceThread_Base> thread;
  if (const auto entry = QPX_Framework_ClassRegistry::Find(className); entry && entry->create)
    thread = std::dynamic_pointer_cast<QPX_Framework_DeviceThread_Base>(entry->create());
  if (!thread) QPX_Log(QPX_LOG_ERROR, "No modem thread class \"%s\"", className.c_str());
  if (thread && !thread->QPX_Framework_Thread_Modem_Init(main)) thread.reset();

  bool launched = false;
  if (thread) {
    node->setObject(main->AsValue(), QPX_Framework_ModemNode_ModemDevice);
    Value quirks;
    if (const auto watcher = main->GetObject<QPX_Framework_Device_Base>(QPX_Device_Key_Instance))
      quirks = watcher->Quirks();
    node->setObject(quirks, QPX_Framework_ModemQuirks_Key);
    QPX_Log(QPX_LOG_TRACE, "Quirks: %s", quirks.Description().c_str());
    launched = thread->QPX_Framework_Thread_Launch();
  }
  if (!launched) {
    // Nothing of the failed start stays behind, so a later port may launch the modem again.
    QPX_Log(QPX_LOG_ERROR, "Modem thread for \"%s\" failed to launch", main->Key().c_str());
    node->removeObjectForKey(QPX_Framework_ModemNode_ModemDevice);
    node->RemoveNode();
    main->With([&](Value& record) {
      record.remove(QPX_Device_Key_ModemID);
      record.remove(QPX_Device_Key_ModemStorage);
      for (const char* key : {QPX_Device_Key_ModemThread, QPX_Device_Key_HuaweiHTTPThread})
        if (thread && record.get(key).object() == std::static_pointer_cast<platform::ValueObject>(thread))
          record.remove(key);
    });
  }
  return launched;
}

void QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Unplugged(
    const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Log(QPX_LOG_CALLS, "%s", main ? main->Key().c_str() : "(no record)");
  if (!main || !main->Contains(QPX_Device_Key_ModemStorage)) return;
  auto thread = main->GetObject<QPX_Framework_Thread>(QPX_Device_Key_HuaweiHTTPThread);
  if (!thread) thread = main->GetObject<QPX_Framework_Thread>(QPX_Device_Key_ModemThread);
  if (thread) thread->QPX_Framework_Thread_Quit();
}

std::string QPX_Framework_DeviceThread_Base::Description() const {
  return "<modem thread " + QPX_Framework_Thread_Name() + (Main_ ? " of " + Main_->Key() : std::string()) +
         ">";
}

// ------------------------------------------------------------------------------------------
// Per-device module threads

bool QPX_Framework_Thread_Device_Base::QPX_Framework_DeviceThread_Init(
    const QPX_Framework_DeviceRecordPtr& main) {
  if (!main) return false;
  ModemDevice_ = main;
  ModemStorage_ = main->GetObject<QPX_Framework_Storage>(QPX_Device_Key_ModemStorage);
  Subscriptions_.clear();
  if (!ModemStorage_) {
    QPX_Log(QPX_LOG_ERROR, "Device \"%s\" has no modem node", main->Key().c_str());
    return false;
  }
  return true;
}

bool QPX_Framework_Thread_Device_Base::QPX_Framework_Thread_Setup() {
  if (!QPX_Framework_Thread::QPX_Framework_Thread_Setup()) return false;
  platform::CurrentThreadContext().dictionary.set(QPX_Framework_CurrentModem_Key,
                                                  Value::Object(ModemStorage_));
  return true;
}

void QPX_Framework_Thread_Device_Base::QPX_Framework_Thread_Cleanup() {
  ReleaseSubscriptions();
  platform::CurrentThreadContext().dictionary.remove(QPX_Framework_CurrentModem_Key);
  QPX_Framework_Thread::QPX_Framework_Thread_Cleanup();
}

void QPX_Framework_Thread_Device_Base::addObjectRelease(QPX_Framework_SubscriptionPtr subscription) {
  if (subscription) Subscriptions_.push_back(std::move(subscription));
}

void QPX_Framework_Thread_Device_Base::ReleaseSubscriptions() { Subscriptions_.clear(); }

std::shared_ptr<QPX_Framework_Thread_Device_Base>
QPX_Framework_Thread_Device_Base::QPX_Framework_DeviceThread_LaunchClass(
    const std::string& className, const QPX_Framework_DeviceRecordPtr& main) {
  const auto entry = QPX_Framework_ClassRegistry::Find(className);
  if (!entry || !entry->create) {
    QPX_Log(QPX_LOG_ERROR, "No per-device class \"%s\"", className.c_str());
    return nullptr;
  }
  auto thread = std::dynamic_pointer_cast<QPX_Framework_Thread_Device_Base>(entry->create());
  if (!thread) {
    QPX_Log(QPX_LOG_ERROR, "\"%s\" is no per-device thread", className.c_str());
    return nullptr;
  }
  if (!thread->QPX_Framework_DeviceThread_Init(main)) return nullptr;
  if (!thread->QPX_Framework_Thread_Launch()) {
    QPX_Log(QPX_LOG_ERROR, "Per-device thread \"%s\" failed to launch", className.c_str());
    return nullptr;
  }
  return thread;
}

std::string QPX_Framework_Thread_Device_Base::Description() const {
  return "<per-device thread " + QPX_Framework_Thread_Name() + ">";
}

bool QPX_Framework_Thread_Device_AT::QPX_Framework_Init(const std::string& className) {
  if (className != "QPX_Framework_Thread_Device_AT")
    QPX_Framework_Modem_RegisterPerDeviceModule_AT(className);
  return true;
}

bool QPX_Framework_Thread_Device_HuaweiHTTP::QPX_Framework_Init(const std::string& className) {
  if (className != "QPX_Framework_Thread_Device_HuaweiHTTP")
    QPX_Framework_Modem_RegisterPerDeviceModule_HuaweiHTTP(className);
  return true;
}

bool QPX_Framework_Thread_Device_All::QPX_Framework_Init(const std::string& className) {
  if (className != "QPX_Framework_Thread_Device_All") {
    QPX_Framework_Modem_RegisterPerDeviceModule_AT(className);
    QPX_Framework_Modem_RegisterPerDeviceModule_HuaweiHTTP(className);
  }
  return true;
}

// ------------------------------------------------------------------------------------------
// Registries

QPX_Framework_PerDeviceClasses& PerDeviceClasses_AT() {
  static QPX_Framework_PerDeviceClasses registry;
  return registry;
}

QPX_Framework_PerDeviceClasses& PerDeviceClasses_HuaweiHTTP() {
  static QPX_Framework_PerDeviceClasses registry;
  return registry;
}

std::mutex& QPX_Framework_PerDeviceClasses_Lock() {
  static std::mutex* lock = [] {
    std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
    return new std::mutex;
  }();
  return *lock;
}

void QPX_Framework_RegisterPerDeviceModule(const std::string& className,
                                           QPX_Framework_PerDeviceClasses& registry) {
  QPX_Log(QPX_LOG_CALLS, "%s", className.c_str());
  const auto entry = QPX_Framework_ClassRegistry::Find(className);
  QPX_Assert_Detail(entry != nullptr, Value("per-device class \"" + className + "\" is not registered"));
  QPX_Assert_Detail(
      QPX_Framework_ClassRegistry::IsKindOf(className, "QPX_Framework_Thread") &&
          QPX_Framework_ClassRegistry::IsKindOf(className, "QPX_Framework_Thread_Device_Base") &&
          entry->create != nullptr,
      Value("\"" + className + "\" is no per-device thread class"));
  std::lock_guard<std::mutex> hold(QPX_Framework_PerDeviceClasses_Lock());
  for (std::uint32_t i = 0; i < registry.count; ++i)
    if (registry.classes[i] == className) return;
  if (registry.count >= QPX_Framework_PerDeviceClasses::kCapacity) {
    QPX_Log(QPX_LOG_ERROR, "Per-device registry full; \"%s\" is not registered", className.c_str());
    return;
  }
  registry.classes[registry.count++] = className;
}

void QPX_Framework_Modem_RegisterPerDeviceModule_AT(const std::string& className) {
  QPX_Framework_RegisterPerDeviceModule(className, PerDeviceClasses_AT());
}

void QPX_Framework_Modem_RegisterPerDeviceModule_HuaweiHTTP(const std::string& className) {
  QPX_Framework_RegisterPerDeviceModule(className, PerDeviceClasses_HuaweiHTTP());
}

std::vector<std::string> QPX_Framework_PerDeviceClassNames(const QPX_Framework_PerDeviceClasses& registry) {
  std::lock_guard<std::mutex> hold(QPX_Framework_PerDeviceClasses_Lock());
  return std::vector<std::string>(registry.classes.begin(), registry.classes.begin() + registry.count);
}

void QPX_Framework_PerDeviceClasses_Clear() {
  std::lock_guard<std::mutex> hold(QPX_Framework_PerDeviceClasses_Lock());
  for (QPX_Framework_PerDeviceClasses* registry : {&PerDeviceClasses_AT(), &PerDeviceClasses_HuaweiHTTP()}) {
    for (std::uint32_t i = 0; i < registry->count; ++i) registry->classes[i].clear();
    registry->count = 0;
  }
}

bool QPX_Framework_LaunchPerDeviceThreads(const QPX_Framework_DeviceRecordPtr& main,
                                          QPX_Framework_PerDeviceClasses& registry) {
  QPX_Log(QPX_LOG_CALLS, "%s", main->Key().c_str());
  UnderRecordLock(main, [&] {
    if (!main->Contains(QPX_Device_Key_PerDeviceThreads))
      main->Set(QPX_Device_Key_PerDeviceThreads, Value::EmptyArray());
  });
  bool all = true;
  std::lock_guard<std::mutex> hold(QPX_Framework_PerDeviceClasses_Lock());
  for (std::uint32_t i = 0; i < registry.count; ++i) {
    const auto thread =
        QPX_Framework_Thread_Device_Base::QPX_Framework_DeviceThread_LaunchClass(registry.classes[i], main);
    if (!thread) {
      all = false;
      break;
    }
    UnderRecordLock(main, [&] {
      Value threads = main->Get(QPX_Device_Key_PerDeviceThreads);
      threads.append(Value::Object(thread));
      main->Set(QPX_Device_Key_PerDeviceThreads, threads);
    });
  }
  return all;
}

void QPX_Framework_KillPerDeviceThreads(const QPX_Framework_DeviceRecordPtr& main) {
  if (!main) return;
  QPX_Log(QPX_LOG_CALLS, "%s", main->Key().c_str());
  UnderRecordLock(main, [&] {
    Value threads = main->Get(QPX_Device_Key_PerDeviceThreads);
    while (!threads.empty()) {
      if (const auto thread = threads.at(threads.size() - 1).objectAs<QPX_Framework_Thread>())
        thread->QPX_Framework_Thread_Quit();
      threads.removeAt(threads.size() - 1);
      main->Set(QPX_Device_Key_PerDeviceThreads, threads);
    }
  });
}
