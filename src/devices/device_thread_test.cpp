// The device thread base on its own: per-device module registries, the modem node and the
// module threads of a launched modem, their order, and the closer.

#include "devices/device_thread.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "devices/closer_thread.h"
#include "devices/device_test_fixture.h"
#include "platform/assert.h"
#include "platform/thread_context.h"

namespace {

using namespace device_testing;

std::mutex g_eventsMutex;
std::vector<std::string> g_events;
// Every module thread that ran its set-up, so that each test can wait for all of its module
// threads to end: they quit asynchronously, and a late clean-up must not land in the events
// of the next test.
std::vector<std::weak_ptr<QPX_Framework_Thread>> g_modules;

void Event(const std::string& event) {
  std::lock_guard<std::mutex> hold(g_eventsMutex);
  g_events.push_back(event);
}
std::vector<std::string> Events() {
  std::lock_guard<std::mutex> hold(g_eventsMutex);
  return g_events;
}

// A module that notes its set-up and clean-up and answers its current modem.
template <class Kind, int N>
class Module final : public Kind {
 public:
  static inline std::atomic<bool> fail{false};
  Module() { this->on("Current Modem", &Module::HandleCurrentModem); }
  bool QPX_Framework_Thread_Setup() override {
    {
      std::lock_guard<std::mutex> hold(g_eventsMutex);
      g_modules.push_back(this->shared_from_this());
    }
    if (!Kind::QPX_Framework_Thread_Setup()) return false;
    if (fail.load()) return false;
    Event("setup " + std::to_string(N));
    return true;
  }
  void QPX_Framework_Thread_Cleanup() override {
    Event("cleanup " + std::to_string(N));
    Kind::QPX_Framework_Thread_Cleanup();
  }
  Value HandleCurrentModem(const Value&) {
    const auto node = platform::CurrentThreadContext()
                          .dictionary.get("QPX Current Modem")
                          .template objectAs<QPX_Framework_Storage>();
    return node ? Value(node->GetPath()) : Value("none");
  }
};
using ATModule1 = Module<QPX_Framework_Thread_Device_AT, 1>;
using ATModule2 = Module<QPX_Framework_Thread_Device_AT, 2>;
using WebModule = Module<QPX_Framework_Thread_Device_HuaweiHTTP, 3>;
using AllModule = Module<QPX_Framework_Thread_Device_All, 4>;

class DeviceThreadTest : public DeviceLayerTest {
 protected:
  void SetUp() override {
    DeviceLayerTest::SetUp();
    QPX_Framework_PerDeviceClasses_Clear();
    {
      std::lock_guard<std::mutex> hold(g_eventsMutex);
      g_events.clear();
    }
    Register<ATModule1, QPX_Framework_Thread_Device_AT>("Test_Module_AT1", "QPX_Framework_Thread_Device_AT");
    Register<ATModule2, QPX_Framework_Thread_Device_AT>("Test_Module_AT2", "QPX_Framework_Thread_Device_AT");
    Register<WebModule, QPX_Framework_Thread_Device_HuaweiHTTP>("Test_Module_Web",
                                                                "QPX_Framework_Thread_Device_HuaweiHTTP");
    Register<AllModule, QPX_Framework_Thread_Device_All>("Test_Module_All",
                                                         "QPX_Framework_Thread_Device_All");
  }
  void TearDown() override {
    JoinModules();
    DeviceLayerTest::TearDown();
    QPX_Framework_PerDeviceClasses_Clear();
    for (const char* name : {"Test_Module_AT1", "Test_Module_AT2", "Test_Module_Web", "Test_Module_All"})
      QPX_Framework_ClassRegistry::Unregister(name);
    ATModule2::fail = false;
  }

  template <class T, class Kind>
  static void Register(const std::string& name, const std::string& kind) {
    QPX_Framework_ClassRegistry::Register(QPX_Framework_PerDeviceClassEntry<T, Kind>(name, kind));
  }
  static void Init(const std::string& name) {
    const auto entry = QPX_Framework_ClassRegistry::Find(name);
    ASSERT_TRUE(entry && entry->init(name));
  }

  static QPX_Framework_DeviceRecordPtr NewRecord(const std::string& key) {
    return QPX_Framework_DeviceRecord::Make(Value{{"Key", Value(key)}});
  }

  // The module threads of a record, in start order.
  static std::vector<std::shared_ptr<QPX_Framework_Thread>> ModuleThreads(
      const QPX_Framework_DeviceRecordPtr& main) {
    std::vector<std::shared_ptr<QPX_Framework_Thread>> threads;
    const Value list = main->Get("Per Device Threads");
    for (const Value& thread : list.array()) threads.push_back(thread.objectAs<QPX_Framework_Thread>());
    return threads;
  }

  // Asks every module thread still alive to quit and waits until each has ended. One whose
  // object is gone has ended already (the body holds it until then).
  static void JoinModules() {
    std::vector<std::weak_ptr<QPX_Framework_Thread>> modules;
    {
      std::lock_guard<std::mutex> hold(g_eventsMutex);
      modules.swap(g_modules);
    }
    for (const auto& weak : modules) {
      if (const auto thread = weak.lock()) {
        thread->QPX_Framework_Thread_Quit();
        thread->WaitUntilFinished();
      }
    }
  }
};

TEST_F(DeviceThreadTest, RegistriesKeepEachClassOnceAndAllJoinsBoth) {
  Init("Test_Module_AT1");
  Init("Test_Module_AT1");
  Init("Test_Module_AT2");
  Init("Test_Module_Web");
  Init("Test_Module_All");
  EXPECT_EQ(QPX_Framework_PerDeviceClassNames(PerDeviceClasses_AT()),
            (std::vector<std::string>{"Test_Module_AT1", "Test_Module_AT2", "Test_Module_All"}));
  EXPECT_EQ(QPX_Framework_PerDeviceClassNames(PerDeviceClasses_HuaweiHTTP()),
            (std::vector<std::string>{"Test_Module_Web", "Test_Module_All"}));
  // The kinds' own initialisers register nothing.
  EXPECT_TRUE(QPX_Framework_Thread_Device_AT::QPX_Framework_Init("QPX_Framework_Thread_Device_AT"));
  EXPECT_EQ(PerDeviceClasses_AT().count, 3u);
  // Only per-device thread classes may join.
  EXPECT_THROW(QPX_Framework_Modem_RegisterPerDeviceModule_AT("QPX_Framework_Thread_Modem"),
               platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Modem_RegisterPerDeviceModule_AT("No_Such_Class"), platform::AssertionFailure);
  EXPECT_EQ(PerDeviceClasses_AT().count, 3u);
}

TEST_F(DeviceThreadTest, ModemStartMakesAFreshNodeAndStartsModulesInOrderAndStopsThemLastFirst) {
  Init("Test_Module_AT1");
  Init("Test_Module_AT2");
  Init("Test_Module_Web");
  Init("Test_Module_All");
  const auto main = NewRecord("USB 0001:0002 (1)");
  ASSERT_TRUE(QPX_Framework_Device_LaunchModem(main, QPX_Framework_ModemThreadClass_AT));
  const std::string id = main->Get("Modem ID").string();
  const auto node = main->GetObject<QPX_Framework_Storage>("Modem Storage");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetPath(), id);
  EXPECT_NE(main->GetObject<QPX_Framework_Lock>("Mutex"), nullptr);
  EXPECT_EQ(QPX_Framework_DeviceRecord::From(node->objectForKey("Modem Device")), main);

  ASSERT_TRUE(WaitFor([&] { return ModuleThreads(main).size() == 3; }));
  const auto modules = ModuleThreads(main);
  for (const auto& module : modules)
    EXPECT_EQ(module->QPX_Framework_Thread_RunCommand(Value{{"Command", Value("Current Modem")}}), Value(id));
  EXPECT_EQ(Events(), (std::vector<std::string>{"setup 1", "setup 2", "setup 4"}));

  // A second launch is refused while the first stands.
  EXPECT_FALSE(QPX_Framework_Device_LaunchModem(main, QPX_Framework_ModemThreadClass_AT));

  // Unplug: the modem thread quits; its clean-up stops the modules last first and removes
  // the node.
  const auto thread = main->GetObject<QPX_Framework_Thread>("Modem Thread");
  ASSERT_NE(thread, nullptr);
  QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Unplugged(main);
  thread->WaitUntilFinished();
  for (const auto& module : modules) module->WaitUntilFinished();
  // They are asked to quit last first; each then ends on its own thread.
  const std::vector<std::string> events = Events();
  std::vector<std::string> stops(events.begin() + 3, events.end());
  std::sort(stops.begin(), stops.end());
  EXPECT_EQ(stops, (std::vector<std::string>{"cleanup 1", "cleanup 2", "cleanup 4"}));
  EXPECT_EQ(QPX_Framework_Storage_GetNode(id), nullptr);
  EXPECT_TRUE(main->Get("Per Device Threads").empty());
  // The next modem takes the next free number; a node that exists already is passed over.
  QPX_Framework_PerDeviceClasses_Clear();
  const unsigned number = std::stoul(id.substr(std::string("/Modems/").size()), nullptr, 16);
  char taken[32];
  std::snprintf(taken, sizeof taken, "/Modems/%08x", number + 1);
  ASSERT_NE(QPX_Framework_Storage_CreateNode(taken), nullptr);
  const auto second = NewRecord("USB 0001:0002 (2)");
  ASSERT_TRUE(QPX_Framework_Device_LaunchModem(second, QPX_Framework_ModemThreadClass_AT));
  char expected[32];
  std::snprintf(expected, sizeof expected, "/Modems/%08x", number + 2);
  EXPECT_EQ(second->Get("Modem ID").string(), expected);
  QPX_Framework_Storage_RemoveNode(taken);

  const auto secondThread = second->GetObject<QPX_Framework_Thread>("Modem Thread");
  QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Unplugged(second);
  secondThread->WaitUntilFinished();
}

TEST_F(DeviceThreadTest, WebInterfaceModemsGetTheirOwnRegistry) {
  Init("Test_Module_AT1");
  Init("Test_Module_Web");
  Init("Test_Module_All");
  const auto main = NewRecord("USB 0003:0004 (1)");
  ASSERT_TRUE(QPX_Framework_Device_LaunchModem(main, QPX_Framework_ModemThreadClass_HuaweiHTTP));
  ASSERT_TRUE(WaitFor([&] { return ModuleThreads(main).size() == 2; }));
  EXPECT_EQ(Events(), (std::vector<std::string>{"setup 3", "setup 4"}));
  const auto modules = ModuleThreads(main);
  const auto thread = main->GetObject<QPX_Framework_Thread>("HuaweiHTTP Thread");
  QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Unplugged(main);
  thread->WaitUntilFinished();
  for (const auto& module : modules) module->WaitUntilFinished();
}

TEST_F(DeviceThreadTest, AModuleThatFailsStopsTheRestAndTheModemThread) {
  Init("Test_Module_AT1");
  Init("Test_Module_AT2");
  Init("Test_Module_All");
  ATModule2::fail = true;
  const auto main = NewRecord("USB 0005:0006 (1)");
  ASSERT_TRUE(QPX_Framework_Device_LaunchModem(main, QPX_Framework_ModemThreadClass_AT));
  const std::string id = main->Get("Modem ID").string();
  // The modem thread quits by itself, possibly before the launch has returned, and leaves
  // the record as its clean-up ends; that clean-up asks module 1 to quit, which then ends on
  // its own thread.
  ASSERT_TRUE(WaitFor([&] { return !main->Contains("Modem Thread"); }));
  for (const auto& modem : FakeATThread::Alive()) modem->WaitUntilFinished();
  JoinModules();
  // Module 1 started and was stopped again; module 4 never started.
  EXPECT_EQ(Events(), (std::vector<std::string>{"setup 1", "cleanup 1"}));
  EXPECT_EQ(QPX_Framework_Storage_GetNode(id), nullptr);
}

TEST_F(DeviceThreadTest, AFailedModemStartLeavesNothingAndMayBeRetried) {
  const auto main = NewRecord("USB 0007:0008 (1)");
  const std::size_t nodes = QPX_Framework_Modem_Storage->GetChildCount();
  EXPECT_FALSE(QPX_Framework_Device_LaunchModem(main, "No_Such_Modem_Thread"));
  EXPECT_FALSE(main->Contains("Modem ID"));
  EXPECT_FALSE(main->Contains("Modem Storage"));
  EXPECT_EQ(QPX_Framework_Modem_Storage->GetChildCount(), nodes);
  ASSERT_TRUE(QPX_Framework_Device_LaunchModem(main, QPX_Framework_ModemThreadClass_AT));
  const auto thread = main->GetObject<QPX_Framework_Thread>("Modem Thread");
  QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Unplugged(main);
  thread->WaitUntilFinished();
}

TEST_F(DeviceThreadTest, UnplugOfAModemThatNeverStartedDoesNothing) {
  const auto main = NewRecord("USB 0009:000a (1)");
  QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Unplugged(main);
  QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Unplugged(nullptr);
  EXPECT_FALSE(main->Contains("Modem Storage"));
}

TEST(CloserThreadTest, ClosesEachQueuedDescriptorOnce) {
  const double previous = QPX_Framework_CloserThread::SetCloseDelay(0);
  int first[2];
  int second[2];
  ASSERT_EQ(::pipe(first), 0);
  ASSERT_EQ(::pipe(second), 0);
  QPX_Framework_CloserThread::CloseHandle(first[0]);
  QPX_Framework_CloserThread::CloseHandle(first[1]);
  QPX_Framework_CloserThread::CloseHandle(first[1]);
  QPX_Framework_CloserThread::CloseHandle(second[0]);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto open = [](int fd) { return ::fcntl(fd, F_GETFD) != -1; };
  while ((open(first[0]) || open(first[1]) || open(second[0]) ||
          QPX_Framework_CloserThread::PendingCount() != 0) &&
         std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_FALSE(open(first[0]));
  EXPECT_FALSE(open(first[1]));
  EXPECT_FALSE(open(second[0]));
  EXPECT_TRUE(open(second[1]));
  ::close(second[1]);
  QPX_Framework_CloserThread::SetCloseDelay(previous);
}

}  // namespace
