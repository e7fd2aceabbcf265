// A simulated modem plugged in through the device layer's simulated USB back-end is
// launched end to end: its node under "/Modems", its AT modem thread on its two ports, its
// combined thread and its per-device module threads; unplugging at any stage removes all of
// them.

#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "devices/at_command.h"
#include "devices/combined.h"
#include "devices/device_test_fixture.h"
#include "devices/modem_at.h"
#include "devices/modem_at_test_support.h"

namespace {

using namespace device_testing;
using at_testing::Client;
using at_testing::Lines;
using StringList = std::vector<std::string>;

const char* const kDevicesXML = R"(<?xml version="1.0"?>
<Devices Bundle="yes">
  <Device Name="Sim Modem" Directory="Sim">
    <USB Vendor="0x7777" Product="0x0001"/>
    <USB Vendor="0x7777" Product="0x0002"/>
    <Storage Type="CD" Method="Eject"/>
    <Port Type="Modem"><Match Property="bInterfaceNumber" Value="0" Parent="2"/></Port>
    <Port Type="Application"><Match Property="bInterfaceNumber" Value="2" Parent="2"/></Port>
  </Device>
</Devices>)";

std::atomic<int> modulesRunning{0};

// A per-device module as the initialisation module is one: it talks to its modem from its
// own thread as soon as it runs.
class TestInitModule final : public QPX_Framework_Thread_Device_AT {
 public:
  bool QPX_Framework_Thread_Setup() override {
    if (!QPX_Framework_Thread_Device_AT::QPX_Framework_Thread_Setup()) return false;
    ++modulesRunning;  // a successful set-up is always followed by the clean-up
    return true;
  }
  void QPX_Framework_Thread_PrepareRun() override {
    QPX_Framework_Thread_Device_AT::QPX_Framework_Thread_PrepareRun();
    const Value reply = QPX_Framework_Modem_RunCommand_Response("AT+CGMI", 1);
    if (!reply.isNull()) ModemStorage()->setObject(reply.at(0), "Test Manufacturer");
  }
  void QPX_Framework_Thread_Cleanup() override {
    --modulesRunning;
    QPX_Framework_Thread_Device_AT::QPX_Framework_Thread_Cleanup();
  }
};

class ModemLaunchTest : public DeviceLayerTest {
 protected:
  void SetUp() override {
    DeviceLayerTest::SetUp();
    savedCloseDelay_ = QPX_Framework_CloserThread::SetCloseDelay(0);
    // The real AT modem thread in place of the fixture's stand-in.
    QPX_Framework_Devices_AT_RegisterClasses();
    QPX_Framework_ClassRegistry::Register(
        QPX_Framework_PerDeviceClassEntry<TestInitModule, QPX_Framework_Thread_Device_AT>(
            "Test_InitModule", "QPX_Framework_Thread_Device_AT"));
    QPX_Framework_PerDeviceClasses_Clear();
    QPX_Framework_Thread_Device_Combined_AT::Classes().Clear();
    ASSERT_TRUE(QPX_Framework_Thread_Device_AT::QPX_Framework_Init("Test_InitModule"));
    ASSERT_TRUE(
        QPX_Framework_Thread_Device_AT::QPX_Framework_Init("QPX_Framework_Thread_Device_Combined_AT"));
    ASSERT_TRUE(MakeDevices(kDevicesXML));
    // The process-wide threads that live for ever exist before anything is counted.
    ASSERT_TRUE(_QPX_Framework_SerialPort::QPX_Framework_Init());
    QPX_Framework_CloserThread::PendingCount();
  }
  void TearDown() override {
    sim_->UnplugAll();
    Pump();
    WaitForModemThreadsToEnd();
    DeviceLayerTest::TearDown();
    QPX_Framework_ClassRegistry::Unregister("Test_InitModule");
    QPX_Framework_PerDeviceClasses_Clear();
    QPX_Framework_CloserThread::SetCloseDelay(savedCloseDelay_);
  }

  // The modem in modem mode, its ports on the simulator's pseudo-terminals.
  static Value ModemMode(const modem_sim::Modem& modem) {
    return Announcement(0x7777, 0x0002,
                        {Serial(0, modem.PortPath(1)), Serial(1, "/dev/sim-diag-does-not-exist"),
                         Serial(2, modem.PortPath(0))});
  }
  static Value CDMode(const modem_sim::Modem& modem, int round) {
    return WithSwitch(Announcement(0x7777, 0x0001, {Media(0, "sr" + std::to_string(round))}), "Eject",
                      ModemMode(modem));
  }

  // Remembers every modem thread and module thread launched so far.
  void Track() {
    for (const auto& record : QPX_Framework_Device_USB::Records()) {
      if (auto thread = record->GetObject<QPX_Framework_Thread>("Modem Thread")) threads_.push_back(thread);
      for (const Value& module : record->Get("Per Device Threads").array())
        if (auto thread = module.objectAs<QPX_Framework_Thread>()) threads_.push_back(thread);
    }
  }
  void WaitForModemThreadsToEnd() {
    Track();
    for (const auto& weak : threads_)
      if (auto thread = weak.lock()) thread->WaitUntilFinished();
    at_testing::WaitFor([] { return modulesRunning == 0; });
  }

  std::vector<std::weak_ptr<QPX_Framework_Thread>> threads_;
  double savedCloseDelay_ = 0;
};

TEST_F(ModemLaunchTest, PluggedModemIsLaunchedEndToEndAndUnplugRemovesEverything) {
  modem_sim::Modem modem;
  const std::size_t nodesBefore = QPX_Framework_Modem_Storage->GetChildCount();
  const auto device = sim_->Plug(ModemMode(modem));
  QPX_Framework_DeviceRecordPtr main;
  ASSERT_TRUE(WaitFor([&] {
    main = RecordOf(0x7777, 0x0002);
    return main && main->Contains("Modem Thread");
  }));
  const auto node = main->GetObject<QPX_Framework_Storage>("Modem Storage");
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetParent(), QPX_Framework_Modem_Storage);

  // The AT modem thread runs on both ports, named after the device.
  auto thread = main->GetObject<QPX_Framework_Thread_Modem>("Modem Thread");
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(thread->QPX_Framework_Thread_Name(), main->Key());
  auto modemPort = node->objectForKey("Modem Port").objectAs<_QPX_Framework_SerialPort>();
  ASSERT_NE(modemPort, nullptr);
  EXPECT_EQ(modemPort->QPX_Framework_SerialPort_Path(), modem.PortPath(1));

  // The module thread talked to the modem; the combined thread is there.
  ASSERT_TRUE(at_testing::WaitFor([&] {
    return node->objectForKey("Test Manufacturer") == Value::Data(std::string_view("Simulated\0", 10));
  }));
  ASSERT_TRUE(at_testing::WaitFor([&] { return QPX_Framework_Modem_GetCombinedThread(node) != nullptr; }));
  EXPECT_EQ(main->Get("Per Device Threads").size(), 2u);
  Track();

  // Any thread with the node as its current modem uses it.
  auto client = Client::Start(node);
  client->Run([] {
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT")), StringList{"OK"});
    QPX_Framework_Modem_SetPort(2);
    EXPECT_EQ(Lines(QPX_Framework_Modem_RunCommand("AT+CGMM")), (StringList{"SIM-MODEM", "OK"}));
    QPX_Framework_Modem_ResetPort();
  });

  sim_->Unplug(device);
  Pump();
  WaitForModemThreadsToEnd();
  EXPECT_EQ(QPX_Framework_Modem_Storage->GetChildCount(), nodesBefore);
  EXPECT_TRUE(node->objectForKey("QPX Combined Device Thread").isNull());
  EXPECT_TRUE(node->objectForKey("Modem Device").isNull());
  EXPECT_EQ(modulesRunning, 0);
  client->Run([] { EXPECT_TRUE(QPX_Framework_Modem_RunCommand("AT").isNull()); });
  client->Stop();
}

TEST_F(ModemLaunchTest, PlugAndUnplugTwoHundredTimesLeavesNothingBehind) {
  modem_sim::Modem modem;
  modem.On("AT+SLOW",
           [](const modem_sim::Command&, modem_sim::Response& r) { r.Pause(0.002).Info("+SLOW: 1").Ok(); });
  const std::size_t nodesBefore = QPX_Framework_Modem_Storage->GetChildCount();
  const std::size_t servedBefore = _QPX_Framework_SerialPort::ServedPortCount();
  const std::set<int> threadsBefore = at_testing::SystemThreadIDs();
  const std::set<int> descriptorsBefore = at_testing::OpenDescriptors();
  std::vector<std::weak_ptr<QPX_Framework_DeviceRecord>> records;
  std::mt19937 random(20240612);
  int launched = 0, midCommand = 0;

  for (int round = 0; round < 200; ++round) {
    const int stage = static_cast<int>(random() % 4);
    const auto device = stage == 0 ? sim_->Plug(CDMode(modem, round)) : sim_->Plug(ModemMode(modem));
    std::shared_ptr<Client> client;
    std::future<void> commands;
    if (stage == 0) {
      // Somewhere in the switch.
      const int turns = static_cast<int>(random() % 12);
      for (int turn = 0; turn < turns; ++turn) loop_->RunOnce(0);
    } else if (stage >= 2) {
      ASSERT_TRUE(WaitFor([&] {
        auto main = RecordOf(0x7777, 0x0002);
        return main && main->Contains("Modem Thread");
      }));
      ++launched;
      if (stage == 3) {
        // A client in the middle of commands when the device goes.
        auto node = RecordOf(0x7777, 0x0002)->GetObject<QPX_Framework_Storage>("Modem Storage");
        client = Client::Start(node);
        commands = client->Async([] {
          for (int i = 0; i < 1000; ++i)
            if (QPX_Framework_Modem_RunCommand("AT+SLOW").isNull()) return;
        });
        ASSERT_TRUE(at_testing::WaitFor([&] { return modem.CommandCount() > 0; }));
        ++midCommand;
      }
    } else {
      Pump();  // plugged, maybe launched
    }
    for (const auto& record : QPX_Framework_Device_USB::Records()) records.push_back(record);
    Track();
    sim_->Unplug(device);
    Pump();
    if (client) {
      // The client's command ends (with no reply) once the modem thread is gone.
      ASSERT_EQ(commands.wait_for(std::chrono::seconds(20)), std::future_status::ready);
      client->Stop();
    }
  }
  Settle();
  WaitForModemThreadsToEnd();
  EXPECT_GT(launched, 0);
  EXPECT_GT(midCommand, 0);

  EXPECT_TRUE(QPX_Framework_Device_USB::Records().empty());
  EXPECT_EQ(QPX_Framework_Modem_Storage->GetChildCount(), nodesBefore);
  // Module threads still ending when the modem thread has gone let go of the record last.
  auto alive = [&] {
    std::size_t count = 0;
    for (const auto& record : records) count += record.expired() ? 0 : 1;
    for (const auto& weak : threads_) count += weak.expired() ? 0 : 1;
    return count;
  };
  EXPECT_TRUE(at_testing::WaitFor([&] { return alive() == 0; }));
  EXPECT_EQ(alive(), 0u);
  EXPECT_EQ(_QPX_Framework_SerialPort::ServedPortCount(), servedBefore);
  EXPECT_TRUE(at_testing::WaitFor([&] { return at_testing::NewSystemThreads(threadsBefore).empty(); }));
  EXPECT_EQ(at_testing::NewSystemThreads(threadsBefore), std::set<int>{});
  EXPECT_EQ(at_testing::NewDescriptors(descriptorsBefore), std::set<int>{});
  EXPECT_EQ(loop_->RunOnce(0), platform::RunLoop::RunResult::TimedOut);
}

}  // namespace
