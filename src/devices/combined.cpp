#include "devices/combined.h"

#include <array>
#include <typeinfo>

#include "devices/at_command.h"
#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/core/thread.h"

const char* const QPX_Framework_CombinedDeviceThread_Key = "QPX Combined Device Thread";
const char* const QPX_Framework_CombinedDeviceThread_Name = "Device Combined";
const char* const QPX_Framework_ModemSIM_Key = "QPX SIM";

namespace {

constexpr int kSIMReady = 3;

// Diverts a subscription's notices to a member of the module, skipped once the module is gone.
template <class Function>
void Divert(const QPX_Framework_SubscriptionPtr& subscription,
            const std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module>& module, Function function) {
  if (!subscription) return;
  std::weak_ptr<QPX_Framework_Thread_Device_Combined_Module> weak = module;
  subscription->SetInvocation(
      QPX_Framework_Invocation::Make(module, [weak, function](QPX_Framework_Invocation::Arguments a) {
        auto self = weak.lock();
        if (!self) return Value();
        const Value node = a.size() > 0 ? a[0] : Value();
        const Value element = a.size() > 1 ? a[1] : Value();
        const Value value = a.size() > 2 ? a[2] : Value();
        function(*self, node.objectAs<QPX_Framework_Storage>(), element, value);
        return Value();
      }));
}

}  // namespace

// ------------------------------------------------------------------------------------------
// Module base

QPX_Framework_Thread_Device_Combined_Module::~QPX_Framework_Thread_Device_Combined_Module() {
  DeviceModulePollingDisable();
}

bool QPX_Framework_Thread_Device_Combined_Module::QPX_Framework_Module_Init() {
  ModemStorage = QPX_Framework_GetModem();
  DeviceModulePollingInit();
  return ModemStorage != nullptr;
}

void QPX_Framework_Thread_Device_Combined_Module::DivertSubscriptions() {
  auto self = shared_from_this();
  auto deliver = [](QPX_Framework_Thread_Device_Combined_Module& module, const QPX_Framework_StoragePtr& node,
                    const Value& element, const Value& value) {
    module.QPX_Framework_Storage_NotificationFor(node, element.string(), value);
  };
  for (const auto& subscription : GlobalSubscriptions) Divert(subscription, self, deliver);
  for (const auto& subscription : Subscriptions) Divert(subscription, self, deliver);
}

bool QPX_Framework_Thread_Device_Combined_Module::QPX_Framework_Thread_ExecuteCommandPackage(
    const QPX_Framework_Package& package) {
  return QPX_Framework_ExecutePackageOnObject(package, *this);
}

void QPX_Framework_Thread_Device_Combined_Module::QPX_Framework_Storage_NotificationFor(
    const QPX_Framework_StoragePtr&, const std::string&, const Value&) {}

void QPX_Framework_Thread_Device_Combined_Module::DeviceModulePollingAddSubscriptions(
    std::vector<QPX_Framework_SubscriptionPtr>& subscriptions) {
  if (ModemStorage) subscriptions.push_back(ModemStorage->Subscribe(QPX_Framework_ModemSIM_Key));
}

bool QPX_Framework_Thread_Device_Combined_Module::DeviceModulePollingCheck() {
  return ModemStorage && ModemStorage->integerForKey(QPX_Framework_ModemSIM_Key) == kSIMReady;
}

void QPX_Framework_Thread_Device_Combined_Module::DeviceModulePollingEnable() {
  if (DeviceModulePolling.enabled) return;
  DeviceModulePolling.enabled = true;
  DeviceModulePollingAddSubscriptions(DeviceModulePolling.Subscriptions);
  // A new subscription reports its current value first, so the first decision follows at once.
  for (const auto& subscription : DeviceModulePolling.Subscriptions)
    Divert(subscription, shared_from_this(),
           [](QPX_Framework_Thread_Device_Combined_Module& module, const QPX_Framework_StoragePtr& node,
              const Value& element,
              const Value& value) { module.DeviceModulePollingNotification(node, element, value); });
}

void QPX_Framework_Thread_Device_Combined_Module::DeviceModulePollingDisable() {
  if (!DeviceModulePolling.enabled) return;
  DeviceModulePollingStop();
  DeviceModulePolling.Subscriptions.clear();
  DeviceModulePolling.enabled = false;
}

void QPX_Framework_Thread_Device_Combined_Module::DeviceModulePollingStart() {
  DeviceModulePollingStop();
  std::weak_ptr<QPX_Framework_Thread_Device_Combined_Module> weak = weak_from_this();
  DeviceModulePolling.Timer = platform::RunLoop::Current().AddTimer(
      0,
      [weak](platform::Timer& timer) {
        if (auto self = weak.lock()) self->DeviceModulePollingTimerFire(timer);
      },
      DeviceModulePollingInterval());
}

void QPX_Framework_Thread_Device_Combined_Module::DeviceModulePollingStop() {
  if (DeviceModulePolling.Timer) DeviceModulePolling.Timer->Invalidate();
  DeviceModulePolling.Timer = nullptr;
}

void QPX_Framework_Thread_Device_Combined_Module::DeviceModulePollingNotification(
    const QPX_Framework_StoragePtr&, const Value&, const Value&) {
  if (!DeviceModulePolling.enabled) return;
  if (DeviceModulePollingCheck()) {
    if (!DeviceModulePolling.Timer) DeviceModulePollingStart();
  } else {
    DeviceModulePollingStop();
  }
}

void QPX_Framework_Thread_Device_Combined_Module::DeviceModulePollingTimerFire(platform::Timer& timer) {
  QPX_Assert_Detail(DeviceModulePolling.Timer.get() == &timer,
                    Value("a polling timer that is not the module's"));
  DeviceModulePollingPerform();
}

std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module>
QPX_Framework_Thread_Device_Combined_Module::FindModuleOfType(std::type_index type,
                                                              const QPX_Framework_StoragePtr& modem) {
  std::shared_ptr<QPX_Framework_Thread_Device_Base> thread = QPX_Framework_Modem_GetCombinedThread(modem);
  auto* host = dynamic_cast<QPX_Framework_CombinedModuleHost*>(thread.get());
  if (!host) return nullptr;
  std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module> found;
  thread->PerformSelector([&] { found = host->FindModuleOfClass(type); }, true);
  QPX_Log(QPX_LOG_TRACE, "%s -> %s", type.name(), found ? found->Description().c_str() : "(none)");
  return found;
}

std::string QPX_Framework_Thread_Device_Combined_Module::Description() const {
  return std::string("<") + typeid(*this).name() + " of " + (ModemStorage ? ModemStorage->GetPath() : "?") +
         ">";
}

// ------------------------------------------------------------------------------------------
// Module classes

void QPX_Framework_CombinedModuleClasses::Register(std::type_index type, Factory factory) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : classes_)
    if (entry.first == type) return;
  classes_.emplace_back(type, std::move(factory));
}

std::vector<QPX_Framework_CombinedModuleClasses::Factory> QPX_Framework_CombinedModuleClasses::Factories()
    const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Factory> factories;
  for (const auto& entry : classes_) factories.push_back(entry.second);
  return factories;
}

std::size_t QPX_Framework_CombinedModuleClasses::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return classes_.size();
}

void QPX_Framework_CombinedModuleClasses::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  classes_.clear();
}

// ------------------------------------------------------------------------------------------
// Combined threads

template <class Kind>
bool QPX_Framework_Thread_Device_Combined<Kind>::QPX_Framework_Thread_Setup() {
  if (!Kind::QPX_Framework_Thread_Setup()) return false;
  // Thread names are unique: with several modems, the later combined threads carry their
  // modem's node name as well.
  std::string name = QPX_Framework_CombinedDeviceThread_Name;
  if (auto holder = QPX_Framework_Thread::QPX_Framework_Thread_Find(name); holder && holder.get() != this) {
    const auto& nodeName = this->ModemStorage_ ? this->ModemStorage_->GetNodeName() : std::nullopt;
    name += " " + (nodeName ? *nodeName : this->QPX_Framework_Thread_ID());
  }
  this->QPX_Framework_Thread_SetName(name);
  if (this->ModemStorage_)
    this->ModemStorage_->setObject(Value::Object(this->shared_from_this()),
                                   QPX_Framework_CombinedDeviceThread_Key);
  return true;
}

template <class Kind>
void QPX_Framework_Thread_Device_Combined<Kind>::QPX_Framework_Thread_PrepareRun() {
  Kind::QPX_Framework_Thread_PrepareRun();
  Modules.clear();
  for (const auto& factory : ModuleClasses().Factories()) {
    std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module> module = factory ? factory() : nullptr;
    if (!module || !module->QPX_Framework_Module_Init()) continue;
    module->DivertSubscriptions();
    Modules.push_back(std::move(module));
  }
}

template <class Kind>
bool QPX_Framework_Thread_Device_Combined<Kind>::QPX_Framework_Thread_ExecuteCommandPackage(
    const QPX_Framework_Package& package) {
  if (Kind::QPX_Framework_Thread_ExecuteCommandPackage(package)) return true;
  for (const auto& module : Modules)
    if (module->QPX_Framework_Thread_ExecuteCommandPackage(package)) return true;
  return false;
}

template <class Kind>
void QPX_Framework_Thread_Device_Combined<Kind>::QPX_Framework_Thread_Cleanup() {
  for (const auto& module : Modules) module->Cleanup();
  if (this->ModemStorage_) {
    const Value current = this->ModemStorage_->objectForKey(QPX_Framework_CombinedDeviceThread_Key);
    if (current.object().get() == static_cast<platform::ValueObject*>(this))
      this->ModemStorage_->removeObjectForKey(QPX_Framework_CombinedDeviceThread_Key);
  }
  Modules.clear();
  Kind::QPX_Framework_Thread_Cleanup();
}

template <class Kind>
std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module>
QPX_Framework_Thread_Device_Combined<Kind>::FindModuleOfClass(std::type_index type) {
  for (const auto& module : Modules)
    if (std::type_index(typeid(*module)) == type) return module;
  return nullptr;
}

template class QPX_Framework_Thread_Device_Combined<QPX_Framework_Thread_Device_AT>;
template class QPX_Framework_Thread_Device_Combined<QPX_Framework_Thread_Device_HuaweiHTTP>;

QPX_Framework_CombinedModuleClasses& QPX_Framework_Thread_Device_Combined_AT::Classes() {
  static QPX_Framework_CombinedModuleClasses* classes = new QPX_Framework_CombinedModuleClasses;
  return *classes;
}

QPX_Framework_CombinedModuleClasses& QPX_Framework_Thread_Device_Combined_HuaweiHTTP::Classes() {
  static QPX_Framework_CombinedModuleClasses* classes = new QPX_Framework_CombinedModuleClasses;
  return *classes;
}

std::string QPX_Framework_Thread_Device_Combined_AT::Description() const {
  return "<QPX_Framework_Thread_Device_Combined_AT " + QPX_Framework_Thread_Name() + ">";
}

std::string QPX_Framework_Thread_Device_Combined_HuaweiHTTP::Description() const {
  return "<QPX_Framework_Thread_Device_Combined_HuaweiHTTP " + QPX_Framework_Thread_Name() + ">";
}

std::shared_ptr<QPX_Framework_Thread_Device_Base> QPX_Framework_Modem_GetCombinedThread(
    const QPX_Framework_StoragePtr& modem) {
  QPX_Framework_StoragePtr node = modem ? modem : QPX_Framework_GetModem();
  if (!node) return nullptr;
  const Value value = node->objectForKey(QPX_Framework_CombinedDeviceThread_Key);
  if (value.isNull()) return nullptr;
  auto thread = value.objectAs<QPX_Framework_Thread_Device_Base>();
  QPX_Assert_Detail(thread != nullptr, Value("\"QPX Combined Device Thread\" holds " + value.Description()));
  return thread;
}

void QPX_Framework_Combined_RegisterClasses() {
  QPX_Framework_ClassRegistry::Register(
      QPX_Framework_PerDeviceClassEntry<QPX_Framework_Thread_Device_Combined_AT,
                                        QPX_Framework_Thread_Device_AT>(
          "QPX_Framework_Thread_Device_Combined_AT", "QPX_Framework_Thread_Device_AT"));
  QPX_Framework_ClassRegistry::Register(
      QPX_Framework_PerDeviceClassEntry<QPX_Framework_Thread_Device_Combined_HuaweiHTTP,
                                        QPX_Framework_Thread_Device_HuaweiHTTP>(
          "QPX_Framework_Thread_Device_Combined_HuaweiHTTP", "QPX_Framework_Thread_Device_HuaweiHTTP"));
}
