#pragma once
// Test fixture of the device layer: a main run loop on a hand-moved clock, the simulated
// USB registry and disk arbitration of the platform layer, a kernel-driver service and a
// privileged process that tests control, a progress hook that records every report, and
// stand-in modem thread classes that behave as the real ones do at start and unplug (they
// store themselves in the record, stop their module threads and remove the modem node when
// they end).

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devices/device_base.h"
#include "devices/device_hooks.h"
#include "devices/device_storage.h"
#include "devices/device_thread.h"
#include "devices/devices.h"
#include "framework/core/class_registry.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "framework/util/xml.h"
#include "platform/clock.h"
#include "platform/device_sim.h"
#include "platform/kmod.h"
#include "platform/run_loop.h"

namespace device_testing {

// Drivers as the tests want them: a set of loaded driver paths and a set of installed names.
class FakeKmod final : public platform::kmod::Service {
 public:
  platform::kmod::Status GetStatus(const std::string&, const std::string& driverPath) override {
    std::lock_guard<std::mutex> hold(mutex);
    if (unknown.count(driverPath)) return platform::kmod::Status::Unknown;
    return loaded.count(driverPath) ? platform::kmod::Status::Loaded : platform::kmod::Status::NotLoaded;
  }
  bool IsInstalled(const std::string& name) override {
    std::lock_guard<std::mutex> hold(mutex);
    return installed.count(name) != 0;
  }
  bool Load(const std::string&, const std::string& driverPath) override {
    std::lock_guard<std::mutex> hold(mutex);
    return loaded.insert(driverPath).second;
  }
  bool Unload(const std::string&, const std::string& driverPath) override {
    std::lock_guard<std::mutex> hold(mutex);
    return loaded.erase(driverPath) != 0;
  }
  std::mutex mutex;
  std::set<std::string> loaded;
  std::set<std::string> installed;
  std::set<std::string> unknown;
};

// A modem thread as the device layer sees one: it keeps itself in the record and, when it
// ends, stops the module threads and removes the modem node.
template <int Kind>
class FakeModemThread final : public QPX_Framework_DeviceThread_Base {
 public:
  static inline std::atomic<bool> failSetup{false};
  static inline std::mutex mutex;
  static inline std::vector<std::weak_ptr<FakeModemThread>> made;

  bool QPX_Framework_Thread_Modem_Init(const QPX_Framework_DeviceRecordPtr& main) override {
    if (!QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Init(main)) return false;
    main->Set(Kind == 0 ? QPX_Device_Key_ModemThread : QPX_Device_Key_HuaweiHTTPThread,
              Value::Object(shared_from_this()));
    std::lock_guard<std::mutex> hold(mutex);
    made.push_back(std::static_pointer_cast<FakeModemThread>(shared_from_this()));
    return true;
  }
  bool QPX_Framework_Thread_Setup() override {
    if (failSetup.load()) return false;
    return QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Setup();
  }
  void QPX_Framework_Thread_Cleanup() override {
    _KillThreads();
    if (const auto node = Main_->GetObject<QPX_Framework_Storage>(QPX_Device_Key_ModemStorage)) {
      node->removeObjectForKey(QPX_Framework_ModemNode_ModemDevice);
      node->RemoveNode();
    }
    Main_->Remove(Kind == 0 ? QPX_Device_Key_ModemThread : QPX_Device_Key_HuaweiHTTPThread);
    QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Cleanup();
  }

  static std::vector<std::shared_ptr<FakeModemThread>> Alive() {
    std::lock_guard<std::mutex> hold(mutex);
    std::vector<std::shared_ptr<FakeModemThread>> alive;
    for (const auto& weak : made)
      if (auto thread = weak.lock()) alive.push_back(thread);
    return alive;
  }
};
using FakeATThread = FakeModemThread<0>;
using FakeWebThread = FakeModemThread<1>;

struct Report {
  int code;
  Value info;
};

class DeviceLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    QPX_Framework_Application_RunMode = 1;
    clock_ = std::make_shared<platform::ManualClock>();
    loop_ = std::make_unique<platform::RunLoop>(clock_);
    QPX_Framework_Devices_BindMainThread(*loop_);
    sim_ = std::make_shared<platform::SimulatedDevices>();
    platform::usb::SetService(sim_);
    platform::disk::SetSession(sim_);
    kmod_ = std::make_shared<FakeKmod>();
    platform::kmod::SetService(kmod_);
    QPX_Framework_Devices_SetProgressHook([this](int code, const Value& info) {
      reports_.push_back({code, info});
    });
    QPX_Framework_Devices_SetPrivilegedExecute([this](const Value& request) {
      {
        std::lock_guard<std::mutex> hold(requestsMutex_);
        requests_.push_back(request);
      }
      if (request.get("Command").string() == "Load Driver") kmod_->Load("", request.get("Kext").string());
      if (request.get("Command").string() == "Unload Driver") kmod_->Unload("", request.get("Kext").string());
      return Value::EmptyDictionary();
    });
    QPX_Framework_ClassRegistry::Register(
        QPX_Framework_ModemThreadClassEntry<FakeATThread>(QPX_Framework_ModemThreadClass_AT));
    QPX_Framework_ClassRegistry::Register(
        QPX_Framework_ModemThreadClassEntry<FakeWebThread>(QPX_Framework_ModemThreadClass_HuaweiHTTP));
    ASSERT_TRUE(QPX_Framework_DeviceThread_Base::QPX_Framework_Init(QPX_Framework_ModemThreadClass_AT));
    previousPause_ = QPX_Framework_Device_USB::SetRetryPause(0);
  }

  void TearDown() override {
    sim_->UnplugAll();
    Pump();
    QPX_Framework_Devices::_Reset();
    for (const auto& thread : FakeATThread::Alive()) thread->QPX_Framework_Thread_Quit();
    for (const auto& thread : FakeWebThread::Alive()) thread->QPX_Framework_Thread_Quit();
    for (const auto& thread : FakeATThread::Alive()) thread->WaitUntilFinished();
    for (const auto& thread : FakeWebThread::Alive()) thread->WaitUntilFinished();
    WaitFor([] { return QPX_Framework_Device_Common::ActiveDriverPasses() == 0; });
    Pump();
    FakeATThread::failSetup = false;
    QPX_Framework_ClassRegistry::Unregister(QPX_Framework_ModemThreadClass_AT);
    QPX_Framework_ClassRegistry::Unregister(QPX_Framework_ModemThreadClass_HuaweiHTTP);
    QPX_Framework_Devices_SetProgressHook(nullptr);
    QPX_Framework_Devices_SetPrivilegedExecute(nullptr);
    QPX_Framework_Device_USB::SetRetryPause(previousPause_);
    platform::usb::SetService(nullptr);
    platform::disk::SetSession(nullptr);
    platform::kmod::SetService(nullptr);
    QPX_Framework_Devices_UnbindMainThread();
    loop_.reset();
  }

  // Runs the main loop until nothing is left to do now.
  void Pump() {
    for (int turn = 0; turn < 10000; ++turn)
      if (loop_->RunOnce(0) == platform::RunLoop::RunResult::TimedOut) return;
  }
  // Moves the clock and runs what fell due.
  void Advance(double seconds) {
    clock_->Advance(seconds);
    Pump();
  }
  // Runs the main loop until the condition holds (work of other threads posts to it); false
  // when it never did (bounded).
  bool WaitFor(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > giveUp) return false;
      loop_->RunOnce(0.005);
    }
    return true;
  }
  // Driver passes end and their reports are run.
  void Settle() {
    WaitFor([] { return QPX_Framework_Device_Common::ActiveDriverPasses() == 0; });
    Pump();
  }

  bool MakeDevices(const std::string& xml) {
    QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString(xml);
    if (!root) return false;
    const bool made = QPX_Framework_Devices::Create({root});
    Pump();
    return made;
  }

  static QPX_Framework_DeviceRecordPtr RecordOf(unsigned vendor, unsigned product) {
    for (const auto& record : QPX_Framework_Device_USB::Records()) {
      const auto entry = QPX_Framework_Devices::QPX_Framework_IOObjectForDeivce(record);
      if (entry && entry->Property("idVendor").toInt64() == vendor &&
          entry->Property("idProduct").toInt64() == product)
        return record;
    }
    return nullptr;
  }

  std::vector<int> ReportCodes() const {
    std::vector<int> codes;
    for (const Report& report : reports_) codes.push_back(report.code);
    return codes;
  }
  std::vector<Value> Requests() {
    std::lock_guard<std::mutex> hold(requestsMutex_);
    return requests_;
  }

  std::shared_ptr<platform::ManualClock> clock_;
  std::unique_ptr<platform::RunLoop> loop_;
  std::shared_ptr<platform::SimulatedDevices> sim_;
  std::shared_ptr<FakeKmod> kmod_;
  std::vector<Report> reports_;
  std::mutex requestsMutex_;
  std::vector<Value> requests_;
  double previousPause_ = 0.1;
};

// --- Announcements ---

inline Value Serial(int interface, const std::string& callout, const std::string& suffix = "") {
  Value serial = Value{{"Callout", Value(callout)}};
  if (!suffix.empty()) serial.set("TTY Suffix", Value(suffix));
  return Value{{"bInterfaceNumber", Value(interface)}, {"Serial", serial}};
}
inline Value Media(int interface, const std::string& bsdName, const std::string& kind = "CD",
                   const std::string& driverClass = "") {
  Value media =
      Value{{"Kind", Value(kind)}, {"BSD Name", Value(bsdName)}, {"Volume Name", Value("Installer")}};
  if (!driverClass.empty()) media.set("Driver Class", Value(driverClass));
  return Value{{"bInterfaceNumber", Value(interface)}, {"Media", media}};
}
inline Value Ethernet(int interface, const std::string& name) {
  return Value{{"bInterfaceNumber", Value(interface)}, {"Ethernet", Value{{"BSD Name", Value(name)}}}};
}
inline Value Announcement(unsigned vendor, unsigned product, std::vector<Value> interfaces) {
  Value array = Value::EmptyArray();
  for (Value& interface : interfaces) array.append(std::move(interface));
  return Value{{"idVendor", Value(vendor)},
               {"idProduct", Value(product)},
               {"USB Vendor Name", Value("Test Maker")},
               {"USB Product Name", Value("Test Stick")},
               {"Interfaces", array}};
}
inline Value WithSwitch(Value before, const std::string& trigger, Value after, const std::string& key = "") {
  Value sw = Value{{"Trigger", Value(trigger)}, {"Device", std::move(after)}};
  if (!key.empty()) sw.set("Trigger Key", Value(key));
  before.set("Switch", sw);
  return before;
}

}  // namespace device_testing
