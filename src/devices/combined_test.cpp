// Combined modules on the combined device thread of a modem.

#include "devices/combined.h"

#include <gtest/gtest.h>

#include <atomic>

#include "devices/modem_at_test_support.h"
#include "platform/assert.h"

namespace {

using namespace at_testing;

std::atomic<int> cleanups{0};

// A module that polls while the SIM is usable and answers "Module State" and "Ping".
class PollingModule : public QPX_Framework_Thread_Device_Combined_Module {
 public:
  PollingModule() {
    on("Module State", &PollingModule::HandleState);
    on("Ping", &PollingModule::HandlePing);
  }
  bool QPX_Framework_Module_Init() override {
    if (!QPX_Framework_Thread_Device_Combined_Module::QPX_Framework_Module_Init()) return false;
    Subscriptions.push_back(ModemStorage->Subscribe("Test Element"));
    DeviceModulePollingEnable();
    return true;
  }
  // Long enough that only the immediate first steps happen during a test.
  double DeviceModulePollingInterval() override { return 3600; }
  void DeviceModulePollingPerform() override { ++polls; }
  void QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr&, const std::string& element,
                                             const Value& value) override {
    if (element == "Test Element" && !value.isNull()) lastSeen = value.string();
  }
  void Cleanup() override { ++cleanups; }

  Value HandleState(const Value&) {
    return Value{{"Polls", Value(polls)},
                 {"Running", Value(DeviceModulePollingIsRunning())},
                 {"Seen", Value(lastSeen)},
                 {"Node", Value(ModemStorage->GetPath())}};
  }
  Value HandlePing(const Value&) { return Value("Pong"); }

  int polls = 0;
  std::string lastSeen;
};

class DerivedModule final : public PollingModule {};

class CombinedTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    QPX_Framework_Combined_RegisterClasses();
    QPX_Framework_Modem_RegisterPerDeviceModule_AT("QPX_Framework_Thread_Device_Combined_AT");
    QPX_Framework_Thread_Device_Combined_AT::Classes().Clear();
  }
  void TearDown() override {
    QPX_Framework_Thread_Device_Combined_AT::Classes().Clear();
    QPX_Framework_PerDeviceClasses_Clear();
    EngineTest::TearDown();
  }

  // The modem thread starts the per-device threads after its own set-up.
  static std::shared_ptr<QPX_Framework_Thread_Device_Base> Combined(const QPX_Framework_StoragePtr& node) {
    std::shared_ptr<QPX_Framework_Thread_Device_Base> thread;
    WaitFor([&] { return (thread = QPX_Framework_Modem_GetCombinedThread(node)) != nullptr; });
    return thread;
  }

  static Value Ask(const QPX_Framework_StoragePtr& node, const char* command) {
    auto thread = Combined(node);
    if (!thread) return Value();
    return thread->QPX_Framework_Thread_RunCommand(QPX_Framework_MakeCommand(command));
  }
};

TEST_F(CombinedTest, OneInstancePerModemEachOnItsOwnNode) {
  QPX_Framework_Thread_Device_Combined_AT::RegisterModule<PollingModule>();
  QPX_Framework_Thread_Device_Combined_AT::RegisterModule<PollingModule>();  // kept once
  cleanups = 0;
  {
    ModemUnderTest first;
    ModemUnderTest second;
    auto one = Combined(first.node);
    auto two = Combined(second.node);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_NE(one, two);
    // The thread is in the node from its set-up on and makes its modules just after, on
    // itself: asked there, the count is the one the modules were made with.
    std::size_t modules = 0;
    one->PerformSelector(
        [&] { modules = dynamic_cast<QPX_Framework_CombinedModuleHost&>(*one).ModuleCount(); }, true);
    EXPECT_EQ(modules, 1u);
    EXPECT_EQ(one->QPX_Framework_Thread_Name().rfind("Device Combined", 0), 0u);

    auto moduleOne = QPX_Framework_Thread_Device_Combined_Module::FindModule<PollingModule>(first.node);
    auto moduleTwo = QPX_Framework_Thread_Device_Combined_Module::FindModule<PollingModule>(second.node);
    ASSERT_NE(moduleOne, nullptr);
    ASSERT_NE(moduleTwo, nullptr);
    EXPECT_NE(moduleOne, moduleTwo);
    EXPECT_EQ(Ask(first.node, "Module State").get("Node").string(), first.node->GetPath());
    EXPECT_EQ(Ask(second.node, "Module State").get("Node").string(), second.node->GetPath());

    // Commands go to the module that has them; others are not taken (nil reply).
    EXPECT_EQ(Ask(first.node, "Ping"), Value("Pong"));
    EXPECT_TRUE(Ask(first.node, "Nobody Has This").isNull());

    // Storage notices of the module's own subscriptions reach it.
    first.node->setObject(Value("hello"), "Test Element");
    EXPECT_TRUE(WaitFor([&] { return Ask(first.node, "Module State").get("Seen").string() == "hello"; }));
    EXPECT_EQ(Ask(second.node, "Module State").get("Seen").string(), "");

    // A subclass instance is no instance of its base, and the other way round.
    EXPECT_EQ(QPX_Framework_Thread_Device_Combined_Module::FindModule<DerivedModule>(first.node), nullptr);
    first.thread->QPX_Framework_Thread_Quit();
    first.thread->WaitUntilFinished();
    EXPECT_TRUE(WaitFor([&] { return QPX_Framework_Modem_GetCombinedThread(first.node) == nullptr; }));
    EXPECT_EQ(QPX_Framework_Thread_Device_Combined_Module::FindModule<PollingModule>(first.node), nullptr);
    EXPECT_TRUE(WaitFor([&] { return cleanups == 1; }));
    one->WaitUntilFinished();
  }
  EXPECT_TRUE(WaitFor([&] { return cleanups == 2; }));
}

TEST_F(CombinedTest, PollingRunsOnlyWhileTheSIMIsUsable) {
  QPX_Framework_Thread_Device_Combined_AT::RegisterModule<PollingModule>();
  ModemUnderTest modem;
  auto state = [&] { return Ask(modem.node, "Module State"); };
  ASSERT_FALSE(state().isNull());
  EXPECT_EQ(state().get("Polls").toInt(), 0);
  EXPECT_FALSE(state().get("Running").toBool());

  modem.node->setInteger(3, "QPX SIM");
  ASSERT_TRUE(WaitFor([&] { return state().get("Polls").toInt() == 1; }));  // the first step at once
  EXPECT_TRUE(state().get("Running").toBool());

  modem.node->setInteger(1, "QPX SIM");
  ASSERT_TRUE(WaitFor([&] { return !state().get("Running").toBool(); }));
  modem.node->setInteger(3, "QPX SIM");
  ASSERT_TRUE(WaitFor([&] { return state().get("Polls").toInt() == 2; }));
  EXPECT_TRUE(state().get("Running").toBool());
}

TEST_F(CombinedTest, SIMAlreadyUsableWhenPollingIsEnabled) {
  QPX_Framework_Thread_Device_Combined_AT::RegisterModule<DerivedModule>();
  ModemUnderTest modem({}, true,
                       [](const QPX_Framework_StoragePtr& node) { node->setInteger(3, "QPX SIM"); });
  ASSERT_TRUE(WaitFor([&] { return Ask(modem.node, "Module State").get("Polls").toInt() == 1; }));
  EXPECT_NE(QPX_Framework_Thread_Device_Combined_Module::FindModule<DerivedModule>(modem.node), nullptr);
  EXPECT_EQ(QPX_Framework_Thread_Device_Combined_Module::FindModule<PollingModule>(modem.node), nullptr);
}

TEST_F(CombinedTest, NoCombinedThread) {
  auto node = QPX_Framework_Storage_CreateNode("/Modems/no-combined-thread");
  EXPECT_EQ(QPX_Framework_Modem_GetCombinedThread(node), nullptr);
  EXPECT_EQ(QPX_Framework_Thread_Device_Combined_Module::FindModule<PollingModule>(node), nullptr);
  node->setObject(Value("not a thread"), "QPX Combined Device Thread");
  EXPECT_THROW(QPX_Framework_Modem_GetCombinedThread(node), platform::AssertionFailure);
  QPX_Framework_Storage_RemoveNode("/Modems/no-combined-thread");
}

}  // namespace
