#pragma once
// Combined modules and the combined device threads.
//
// Most modem features (registration, signal, operator, network mode, SIM state, SMS store,
// USSD ...) are small and mostly idle, so they share one thread per modem, "Device
// Combined", instead of one thread each. Such a feature is a combined module: a subclass of
// QPX_Framework_Thread_Device_Combined_Module, registered once with RegisterModule; every
// running modem then gets one instance of it, made on that modem's combined thread.
//
//   class SignalModule : public QPX_Framework_Thread_Device_Combined_Module {
//    public:
//     SignalModule() { on("Refresh", &SignalModule::HandleRefresh); }
//     bool QPX_Framework_Module_Init() override {
//       if (!QPX_Framework_Thread_Device_Combined_Module::QPX_Framework_Module_Init()) return false;
//       Subscriptions.push_back(ModemStorage->Subscribe("QPX Operator"));
//       DeviceModulePollingEnable();      // poll while the SIM is usable
//       return true;
//     }
//     void DeviceModulePollingPerform() override { QPX_Framework_Modem_RunCommand("AT+CSQ"); }
//   };
//   QPX_Framework_Thread_Device_Combined_AT::RegisterModule<SignalModule>();
//
// Everything a module does (its commands, storage notices and timers) runs on its modem's
// combined thread, one module at a time; other threads reach a module through command
// packages sent to that thread, or FindModule.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <vector>

#include "devices/device_thread.h"
#include "framework/core/command.h"
#include "framework/core/storage.h"
#include "framework/core/subscription.h"
#include "platform/run_loop.h"
#include "platform/value.h"

// "QPX Combined Device Thread": the modem node's key for its combined thread.
extern const char* const QPX_Framework_CombinedDeviceThread_Key;
// "Device Combined": the name of a combined thread.
extern const char* const QPX_Framework_CombinedDeviceThread_Name;
// "QPX SIM": the SIM state element of a modem node; 3 is a usable SIM.
extern const char* const QPX_Framework_ModemSIM_Key;

class QPX_Framework_Thread_Device_Combined_Module
    : public platform::ValueObject,
      public QPX_Framework_CommandReceiver,
      public std::enable_shared_from_this<QPX_Framework_Thread_Device_Combined_Module> {
 public:
  QPX_Framework_Thread_Device_Combined_Module() = default;
  // Stops polling and ends every subscription.
  ~QPX_Framework_Thread_Device_Combined_Module() override;

  // Runs on the combined thread right after the module was made: binds the module to the
  // thread's current modem, then DeviceModulePollingInit. Subclasses call this first and
  // then subscribe (adding each subscription to Subscriptions or GlobalSubscriptions).
  // False: the module is not used for this modem.
  virtual bool QPX_Framework_Module_Init();
  virtual void DeviceModulePollingInit() {}
  // Sends the notices of both subscription sets to QPX_Framework_Storage_NotificationFor.
  virtual void DivertSubscriptions();
  // The command table of the module: YES when it took the package.
  virtual bool QPX_Framework_Thread_ExecuteCommandPackage(const QPX_Framework_Package& package);
  virtual void QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr& node,
                                                     const std::string& element, const Value& value);
  // Called for every module when the combined thread ends.
  virtual void Cleanup() {}

  // ---- Polling while the SIM is usable ----
  virtual double DeviceModulePollingInterval() { return 1.0; }
  virtual void DeviceModulePollingPerform() {}
  // What drives polling: by default the modem node's "QPX SIM".
  virtual void DeviceModulePollingAddSubscriptions(std::vector<QPX_Framework_SubscriptionPtr>& subscriptions);
  // Whether polling should run now: by default "QPX SIM" is 3.
  virtual bool DeviceModulePollingCheck();

  void DeviceModulePollingEnable();
  void DeviceModulePollingDisable();
  void DeviceModulePollingStart();
  void DeviceModulePollingStop();
  void DeviceModulePollingNotification(const QPX_Framework_StoragePtr& node, const Value& element,
                                       const Value& value);
  void DeviceModulePollingTimerFire(platform::Timer& timer);
  bool DeviceModulePollingIsEnabled() const { return DeviceModulePolling.enabled; }
  bool DeviceModulePollingIsRunning() const { return DeviceModulePolling.Timer != nullptr; }

  const QPX_Framework_StoragePtr& GetModemStorage() const { return ModemStorage; }

  // The module of exactly class T (subclasses do not count) on the modem (null: the calling
  // thread's current modem), asked of that modem's combined thread; null when there is none.
  template <class T>
  static std::shared_ptr<T> FindModule(const QPX_Framework_StoragePtr& modem = nullptr) {
    return std::static_pointer_cast<T>(FindModuleOfType(typeid(T), modem));
  }
  static std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module> FindModuleOfType(
      std::type_index type, const QPX_Framework_StoragePtr& modem);

  std::string Description() const override;

 protected:
  QPX_Framework_StoragePtr ModemStorage;
  std::vector<QPX_Framework_SubscriptionPtr> Subscriptions;        // on the modem node
  std::vector<QPX_Framework_SubscriptionPtr> GlobalSubscriptions;  // on other nodes

 private:
  struct {
    bool enabled = false;
    std::vector<QPX_Framework_SubscriptionPtr> Subscriptions;
    std::shared_ptr<platform::Timer> Timer;
  } DeviceModulePolling;
};

// What both combined thread classes offer to FindModule.
class QPX_Framework_CombinedModuleHost {
 public:
  virtual ~QPX_Framework_CombinedModuleHost() = default;
  // On the combined thread: the first module whose class is exactly `type`, or null.
  virtual std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module> FindModuleOfClass(
      std::type_index type) = 0;
  virtual std::size_t ModuleCount() const = 0;
};

// The module classes of one combined thread class: a factory per class, each class once.
class QPX_Framework_CombinedModuleClasses {
 public:
  using Factory = std::function<std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module>()>;
  // A class registered twice is kept once.
  void Register(std::type_index type, Factory factory);
  std::vector<Factory> Factories() const;
  std::size_t Count() const;
  // Empties the list (tests).
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::type_index, Factory>> classes_;
};

// The combined thread of one modem kind (Kind: QPX_Framework_Thread_Device_AT or
// QPX_Framework_Thread_Device_HuaweiHTTP).
template <class Kind>
class QPX_Framework_Thread_Device_Combined : public Kind, public QPX_Framework_CombinedModuleHost {
 public:
  // Names the thread "Device Combined" and publishes it in the modem node.
  bool QPX_Framework_Thread_Setup() override;
  // Makes one instance of every registered module class, on this thread.
  void QPX_Framework_Thread_PrepareRun() override;
  // The thread's own table first, then each module until one takes the package.
  bool QPX_Framework_Thread_ExecuteCommandPackage(const QPX_Framework_Package& package) override;
  void QPX_Framework_Thread_Cleanup() override;

  std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module> FindModuleOfClass(
      std::type_index type) override;
  std::size_t ModuleCount() const override { return Modules.size(); }

 protected:
  virtual QPX_Framework_CombinedModuleClasses& ModuleClasses() const = 0;

  std::vector<std::shared_ptr<QPX_Framework_Thread_Device_Combined_Module>> Modules;
};

class QPX_Framework_Thread_Device_Combined_AT final
    : public QPX_Framework_Thread_Device_Combined<QPX_Framework_Thread_Device_AT> {
 public:
  static QPX_Framework_CombinedModuleClasses& Classes();
  template <class T>
  static void RegisterModule() {
    Classes().Register(typeid(T), [] { return std::make_shared<T>(); });
  }
  std::string Description() const override;

 protected:
  QPX_Framework_CombinedModuleClasses& ModuleClasses() const override { return Classes(); }
};

class QPX_Framework_Thread_Device_Combined_HuaweiHTTP final
    : public QPX_Framework_Thread_Device_Combined<QPX_Framework_Thread_Device_HuaweiHTTP> {
 public:
  static QPX_Framework_CombinedModuleClasses& Classes();
  template <class T>
  static void RegisterModule() {
    Classes().Register(typeid(T), [] { return std::make_shared<T>(); });
  }
  std::string Description() const override;

 protected:
  QPX_Framework_CombinedModuleClasses& ModuleClasses() const override { return Classes(); }
};

// The combined thread of the modem (null: the calling thread's current modem), or null.
std::shared_ptr<QPX_Framework_Thread_Device_Base> QPX_Framework_Modem_GetCombinedThread(
    const QPX_Framework_StoragePtr& modem = nullptr);

// Enters both combined thread classes into the class registry (as per-device modules of
// their modem kinds).
void QPX_Framework_Combined_RegisterClasses();
