// The device layer's privileged commands: driver loads and unloads from the bundle's
// drivers folder, hostile driver names, and the detached start of the vendor's switching
// service.

#include "app/privileged_drivers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/kmod.h"
#include "testing/test_support.h"

namespace {

Value Request(const char* command, const Value& kext) {
  Value request = Value{{"Command", Value(command)}};
  if (!kext.isNull()) request.set("Kext", kext);
  return request;
}

class PrivilegedDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile(folder_ / "Drivers/Vendor/modem.ko", "driver");
    testing_support::WriteFile(folder_ / "Drivers/top.ko", "driver");
    platform::kmod::SetService(platform::kmod::MakeSimulated(folder_ / "state"));
  }
  void TearDown() override { platform::kmod::SetService(nullptr); }

  testing_support::TempDir folder_;
};

TEST_F(PrivilegedDriverTest, LoadsAndUnloadsDriversBelowTheDriversFolder) {
  QPX_Framework_Privileged_Driver driver(folder_ / "Drivers");
  const auto service = platform::kmod::CurrentService();
  EXPECT_EQ(service->GetStatus(folder_ / "Drivers", "Vendor/modem.ko"), platform::kmod::Status::NotLoaded);
  EXPECT_EQ(driver.QPX_Framework_Privileged_Process(Request("Load Driver", Value("Vendor/modem.ko"))),
            Value::EmptyDictionary());
  EXPECT_EQ(service->GetStatus(folder_ / "Drivers", "Vendor/modem.ko"), platform::kmod::Status::Loaded);
  // A second load fails in the tool; the reply is the same.
  EXPECT_EQ(driver.QPX_Framework_Privileged_Process(Request("Load Driver", Value("Vendor/modem.ko"))),
            Value::EmptyDictionary());
  EXPECT_EQ(driver.QPX_Framework_Privileged_Process(Request("Unload Driver", Value("Vendor/modem.ko"))),
            Value::EmptyDictionary());
  EXPECT_EQ(service->GetStatus(folder_ / "Drivers", "Vendor/modem.ko"), platform::kmod::Status::NotLoaded);
  EXPECT_EQ(driver.QPX_Framework_Privileged_Process(Request("Load Driver", Value("top.ko"))),
            Value::EmptyDictionary());
  EXPECT_EQ(service->GetStatus(folder_ / "Drivers", "top.ko"), platform::kmod::Status::Loaded);
  EXPECT_EQ(service->GetStatus(folder_ / "Drivers", "missing.ko"), platform::kmod::Status::Unknown);
}

TEST_F(PrivilegedDriverTest, HostileNamesAreAnsweredAsFailedAndOtherRequestsAreNotTaken) {
  QPX_Framework_Privileged_Driver driver(folder_ / "Drivers");
  const Value failed = Value{{"Failed", Value(true)}};
  const Value names[] = {Value("../state/x.ko"),
                         Value("/etc/passwd"),
                         Value("Vendor//modem.ko"),
                         Value("Vendor/./modem.ko"),
                         Value("a;b.ko"),
                         Value(""),
                         Value(3),
                         Value("Nowhere/modem.ko")};
  for (const Value& name : names) {
    SCOPED_TRACE(name.Description());
    EXPECT_EQ(driver.QPX_Framework_Privileged_Process(Request("Load Driver", name)), failed);
    EXPECT_EQ(driver.QPX_Framework_Privileged_Process(Request("Unload Driver", name)), failed);
  }
  EXPECT_TRUE(driver.QPX_Framework_Privileged_Process(Request("Load Driver", Value())).isNull());
  EXPECT_TRUE(driver.QPX_Framework_Privileged_Process(Request("load driver", Value("top.ko"))).isNull());
  EXPECT_TRUE(driver.QPX_Framework_Privileged_Process(Request("Switch HuaweiHTTP", Value())).isNull());
}

TEST(PrivilegedHuaweiHTTPTest, StartsTheServiceDetachedByItsAbsolutePath) {
  testing_support::TempDir bundle;
  const std::string marker = bundle / "started";
  const std::string program = bundle / QPX_Framework_MBBService_RelativePath;
  // A descriptor of ours that the service must not inherit.
  const int ours = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(ours, 3);
  testing_support::WriteFile(program,
                             "#!/bin/sh\n"
                             "if [ -e /proc/$$/fd/" +
                                 std::to_string(ours) +
                                 " ]; then fd=open; else fd=closed; fi\n"
                                 "echo \"$0|$#|$(pwd)|${HOME-unset}|$fd\" > '" +
                                 marker +
                                 ".tmp'\n"
                                 "exec /bin/mv '" +
                                 marker + ".tmp' '" + marker + "'\n");
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

  QPX_Framework_Privileged_HuaweiHTTP_Switching switching(bundle.path());
  EXPECT_TRUE(switching.QPX_Framework_Privileged_Process(Value{{"Command", Value("Switch")}}).isNull());
  EXPECT_EQ(switching.QPX_Framework_Privileged_Process(Value{{"Command", Value("Switch HuaweiHTTP")}}),
            Value::EmptyDictionary());
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!testing_support::FileExists(marker) && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ::close(ours);
  EXPECT_EQ(testing_support::ReadFile(marker), program + "|0|/tmp|unset|closed\n");
}

TEST(PrivilegedHuaweiHTTPTest, AMissingServiceIsStillAnsweredEmpty) {
  testing_support::TempDir bundle;
  QPX_Framework_Privileged_HuaweiHTTP_Switching switching(bundle.path());
  EXPECT_FALSE(switching.RunMBBService());
  EXPECT_EQ(switching.QPX_Framework_Privileged_Process(Value{{"Command", Value("Switch HuaweiHTTP")}}),
            Value::EmptyDictionary());
}

}  // namespace
