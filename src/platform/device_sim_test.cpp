// The simulated USB registry and disk arbitration: devices announced through files in a
// watched folder, matching notifications, mounting, eject and re-enumeration with their
// switches.

#include "platform/device_sim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "platform/plist.h"
#include "platform/ports.h"
#include "testing/test_support.h"

namespace {

using platform::SimulatedDevices;
using platform::usb::EntryPtr;

Value Modem(unsigned product, const std::string& port) {
  Value serial = Value{{"Callout", Value(port)}, {"TTY Suffix", Value("Modem")}};
  Value interfaces = Value::EmptyArray();
  interfaces.append(Value{{"Serial", serial}});
  interfaces.append(
      Value{{"Media", Value{{"Kind", Value("CD")}, {"BSD Name", Value("sr" + std::to_string(product))}}}});
  return Value{{"idVendor", Value(0x12d1)}, {"idProduct", Value(product)}, {"Interfaces", interfaces}};
}

class DeviceSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_shared<SimulatedDevices>();
    publish_ = sim_->AddMatchingNotification(
        platform::usb::NoticeKind::Publish, Value{{"IOProviderClass", Value("IOService")}}, loop_,
        [this](const std::vector<EntryPtr>& entries) {
          for (const EntryPtr& entry : entries) published_.push_back(entry);
        },
        &initial_);
    terminate_ = sim_->AddMatchingNotification(
        platform::usb::NoticeKind::Terminate, Value{{"IOProviderClass", Value("IOService")}}, loop_,
        [this](const std::vector<EntryPtr>& entries) {
          for (const EntryPtr& entry : entries) terminated_.push_back(entry);
        },
        nullptr);
  }
  void TearDown() override {
    sim_->StopWatching();
    publish_->Cancel();
    terminate_->Cancel();
  }
  void Pump() {
    while (loop_.RunOnce(0) != platform::RunLoop::RunResult::TimedOut) {
    }
  }
  bool WaitFor(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > giveUp) return false;
      loop_.RunOnce(0.01);
    }
    return true;
  }
  std::size_t Count(const std::vector<EntryPtr>& entries, const char* className) {
    std::size_t n = 0;
    for (const EntryPtr& entry : entries) n += entry->ConformsTo(className) ? 1 : 0;
    return n;
  }

  platform::RunLoop loop_;
  std::shared_ptr<SimulatedDevices> sim_;
  std::shared_ptr<platform::usb::Notification> publish_, terminate_;
  std::vector<EntryPtr> initial_, published_, terminated_;
};

TEST_F(DeviceSimTest, AnnouncementFilesPlugAndUnplugDevices) {
  testing_support::TempDir folder;
  // A device announced before the folder is watched is there at once.
  ASSERT_TRUE(platform::plist::WriteFileAtomically(folder / "first", Modem(0x1001, "/dev/pts/91")));
  testing_support::WriteFile(folder / ".partial", "ignored");
  testing_support::WriteFile(folder / "broken", "not a property list");
  ASSERT_TRUE(sim_->WatchFolder(folder.path(), loop_));
  EXPECT_EQ(sim_->DeviceCount(), 1u);
  Pump();
  EXPECT_EQ(Count(published_, "IOUSBDevice"), 1u);
  EXPECT_EQ(Count(published_, "IOSerialBSDClient"), 1u);
  EXPECT_EQ(Count(published_, "IOCDMedia"), 1u);

  // Written later: plugged; rewritten: replaced; removed: unplugged.
  ASSERT_TRUE(platform::plist::WriteFileAtomically(folder / "second", Modem(0x1436, "/dev/pts/92")));
  ASSERT_TRUE(WaitFor([&] { return sim_->DeviceCount() == 2; }));
  ASSERT_TRUE(platform::plist::WriteFileAtomically(folder / "second", Modem(0x1506, "/dev/pts/93")));
  ASSERT_TRUE(WaitFor(
      [&] { return Count(terminated_, "IOUSBDevice") == 1 && Count(published_, "IOUSBDevice") == 3; }));
  EXPECT_EQ(sim_->DeviceCount(), 2u);
  EXPECT_EQ(sim_->MatchingEntries(Value{{"idProduct", Value(0x1506)}}).size(), 1u);
  EXPECT_TRUE(sim_->MatchingEntries(Value{{"idProduct", Value(0x1436)}}).empty());
  ASSERT_EQ(::unlink((folder / "first").c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return sim_->DeviceCount() == 1; }));
  Pump();
  // Children leave before their device.
  ASSERT_GE(terminated_.size(), 2u);
  EXPECT_TRUE(terminated_.back()->ConformsTo("IOUSBDevice"));
  EXPECT_TRUE(terminated_.back()->IsTerminated());
}

TEST_F(DeviceSimTest, RefusedMountsEjectAndSwitch) {
  std::vector<std::string> offered;
  sim_->SetMountApproval(&loop_, [&](const Value& description, const EntryPtr& media) {
    offered.push_back(description.get("DAMediaBSDName").string());
    EXPECT_TRUE(media->ConformsTo("IOCDMedia"));
    return std::optional<platform::disk::Dissent>(
        platform::disk::Dissent{platform::disk::kDAReturnExclusiveAccess, "no"});
  });
  Value before = Modem(0x1446, "/dev/pts/94");
  before.set("Switch", Value{{"Trigger", Value("Eject")}, {"Device", Modem(0x1001, "/dev/pts/95")}});
  const auto device = sim_->Plug(before);
  ASSERT_NE(device, 0u);
  Pump();
  EXPECT_EQ(offered, std::vector<std::string>{"sr5190"});
  EXPECT_FALSE(sim_->IsMounted("sr5190"));
  EXPECT_EQ(sim_->RefusedMounts(), 1u);

  std::optional<platform::disk::Dissent> unmounted = platform::disk::Dissent{};
  sim_->Unmount("sr5190", platform::disk::kDAUnmountOptionForce, loop_,
                [&](const auto& d) { unmounted = d; });
  std::optional<platform::disk::Dissent> ejected = platform::disk::Dissent{};
  sim_->Eject("sr5190", loop_, [&](const auto& d) { ejected = d; });
  Pump();
  EXPECT_FALSE(unmounted);
  EXPECT_FALSE(ejected);
  // The device left and came back in modem mode, under a new session.
  const EntryPtr now = sim_->DeviceEntry(device);
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->Property("idProduct").toInt(), 0x1001);
  EXPECT_EQ(Count(terminated_, "IOUSBDevice"), 1u);
  std::optional<platform::disk::Dissent> missing;
  sim_->Eject("sr404", loop_, [&](const auto& d) { missing = d; });
  Pump();
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, platform::disk::kDAReturnNotFound);
}

TEST_F(DeviceSimTest, ReenumerationRetriesAndComesBackUnderANewSession) {
  Value announcement = Modem(0x1003, "/dev/pts/96");
  announcement.set("Open Busy", Value(2));
  const auto device = sim_->Plug(announcement);
  Pump();
  const EntryPtr entry = sim_->DeviceEntry(device);
  const auto session = entry->Property("sessionID");
  int error = 0;
  auto interface = sim_->CreateDeviceInterface(entry, &error);
  ASSERT_TRUE(interface);
  EXPECT_EQ(interface->ReEnumerate(0), platform::usb::kIOReturnNotOpen);
  EXPECT_EQ(interface->Open(), platform::usb::kIOReturnExclusiveAccess);
  EXPECT_EQ(interface->Open(), platform::usb::kIOReturnExclusiveAccess);
  EXPECT_EQ(interface->Open(), platform::usb::kIOReturnSuccess);
  EXPECT_EQ(interface->ReEnumerate(0), platform::usb::kIOReturnSuccess);
  interface->Close();
  Pump();
  EXPECT_TRUE(entry->IsTerminated());
  const EntryPtr again = sim_->DeviceEntry(device);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again->Property("sessionID"), session);
  // A device that is gone has no interface.
  sim_->Unplug(device);
  EXPECT_FALSE(sim_->CreateDeviceInterface(again, &error));
  EXPECT_EQ(error, platform::usb::kIOReturnNoDevice);
}

TEST_F(DeviceSimTest, UnusableAnnouncementsPlugNothing) {
  const Value cases[] = {
      Value("text"),
      Value{{"idVendor", Value(1)}},
      Value{{"idVendor", Value(1)}, {"idProduct", Value("2")}},
      Value{{"idVendor", Value(1)},
            {"idProduct", Value(2)},
            {"Interfaces", Value(std::vector<Value>{Value(3)})}},
      Value{{"idVendor", Value(1)},
            {"idProduct", Value(2)},
            {"Interfaces", Value(std::vector<Value>{Value{{"Serial", Value::EmptyDictionary()}}})}},
  };
  for (const Value& announcement : cases)
    EXPECT_EQ(sim_->Plug(announcement), 0u) << announcement.Description();
  EXPECT_EQ(sim_->DeviceCount(), 0u);
  EXPECT_TRUE(initial_.empty());
}

}  // namespace
