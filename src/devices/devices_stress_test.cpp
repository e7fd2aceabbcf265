// Plugging and unplugging modems at every stage of their detection, switching and launch
// leaves nothing behind: no record, timer, modem node, modem thread, driver pass or
// descriptor.

#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "devices/device_test_fixture.h"

namespace {

using namespace device_testing;

const char* const kDevicesXML = R"(<?xml version="1.0"?>
<Devices Bundle="yes">
  <Device Name="Eject Modem" Directory="Eject">
    <USB Vendor="0x1111" Product="0x0001"/>
    <USB Vendor="0x1111" Product="0x0002"/>
    <Storage Type="CD" Method="Eject"/>
    <Port Type="Modem"><Match Property="bInterfaceNumber" Value="0" Parent="2"/></Port>
    <Port Type="Application"><Match Property="bInterfaceNumber" Value="1" Parent="2"/></Port>
  </Device>
  <Device Name="Linked Modem" Directory="Linked">
    <USB Vendor="0x6666" Product="0x0001"/>
    <Storage Type="CD" Method="Eject" Other="Linked"/>
  </Device>
</Devices>)";

// The open descriptors and what each refers to. Compared as a whole rather than counted:
// threads of earlier tests may still be ending and closing theirs while this test runs.
std::set<std::string> OpenDescriptors() {
  std::set<std::string> open;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
      const std::string path = std::string("/proc/self/fd/") + entry->d_name;
      char target[PATH_MAX];
      const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
      open.insert(std::string(entry->d_name) + " -> " +
                  (length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string("?")));
    }
    ::closedir(dir);
  }
  return open;
}

// Those open now that were not open before.
std::vector<std::string> NewDescriptors(const std::set<std::string>& before) {
  std::vector<std::string> added;
  for (const std::string& descriptor : OpenDescriptors())
    if (!before.count(descriptor)) added.push_back(descriptor);
  return added;
}

class DevicesStressTest : public DeviceLayerTest {};

TEST_F(DevicesStressTest, PlugAndUnplugAtEveryStageLeavesNothingBehind) {
  ASSERT_TRUE(MakeDevices(kDevicesXML));
  const std::size_t nodesBefore = QPX_Framework_Modem_Storage->GetChildCount();
  const std::set<std::string> descriptorsBefore = OpenDescriptors();
  const std::size_t notificationsBefore = sim_->NotificationCount();
  std::mt19937 random(20240611);
  std::vector<std::shared_ptr<platform::Timer>> timers;
  std::vector<std::weak_ptr<QPX_Framework_DeviceRecord>> records;
  int launched = 0;  // rounds pulled after the launch
  int ejecting = 0;  // rounds pulled while the CD was being ejected

  for (int round = 0; round < 200; ++round) {
    const Value modem =
        Announcement(0x1111, 0x0002, {Serial(0, "/dev/stress-modem"), Serial(1, "/dev/stress-app")});
    const auto cd = sim_->Plug(
        WithSwitch(Announcement(0x1111, 0x0001, {Media(0, "sr" + std::to_string(round))}), "Eject", modem));
    const auto linked =
        sim_->Plug(Announcement(0x6666, 0x0001, {Media(0, "sd" + std::to_string(round), "Disk")}));
    // Stop somewhere between the first notice and the launched modem.
    const int turns = static_cast<int>(random() % 12);
    for (int turn = 0; turn < turns; ++turn) loop_->RunOnce(0);
    for (const auto& record : QPX_Framework_Device_USB::Records()) {
      records.push_back(record);
      if (record->Contains("Modem Storage")) ++launched;
      if (record->Contains("DA Did Eject")) ++ejecting;
      for (const char* key : {"Load Driver Timer", "QPX Eject Timer", "NDIS Delay Timer"})
        if (const auto timer = QPX_Framework_DeviceTimer_From(record->Get(key)))
          timers.push_back(timer->timer());
    }
    if (random() % 2) {
      sim_->Unplug(cd);
      sim_->Unplug(linked);
    } else {
      sim_->UnplugAll();
    }
    Pump();
  }
  Settle();
  for (const auto& thread : FakeATThread::Alive()) thread->WaitUntilFinished();
  EXPECT_GT(launched, 0);
  EXPECT_GT(ejecting, 0);

  EXPECT_TRUE(QPX_Framework_Device_USB::Records().empty());
  EXPECT_EQ(sim_->DeviceCount(), 0u);
  EXPECT_EQ(QPX_Framework_Modem_Storage->GetChildCount(), nodesBefore);
  EXPECT_TRUE(FakeATThread::Alive().empty());
  EXPECT_EQ(QPX_Framework_Device_Common::ActiveDriverPasses(), 0);
  EXPECT_EQ(sim_->NotificationCount(), notificationsBefore);
  for (const auto& timer : timers) EXPECT_FALSE(timer->IsValid());
  std::size_t alive = 0;
  for (const auto& record : records) alive += record.expired() ? 0 : 1;
  EXPECT_EQ(alive, 0u);  // no timer, thread or node keeps a record of an unplugged device
  EXPECT_EQ(NewDescriptors(descriptorsBefore), std::vector<std::string>());
  EXPECT_EQ(loop_->RunOnce(0), platform::RunLoop::RunResult::TimedOut);
}

}  // namespace
