// The simulated driver service: markers for loaded drivers, and a state folder that another
// user may have prepared in a shared folder.

#include "platform/kmod.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "testing/test_support.h"

namespace {

using platform::kmod::Status;

class SimulatedKmod : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFile(dir_ / "Drivers/Vendor/modem.ko", "driver");
    testing_support::WriteFile(dir_ / "Drivers/...", "driver");
    testing_support::WriteFile(dir_ / "Drivers/..x", "driver");
  }
  std::string Drivers() const { return dir_ / "Drivers"; }

  testing_support::TempDir dir_;
};

TEST_F(SimulatedKmod, LoadsOnceAndUnloads) {
  const auto service = platform::kmod::MakeSimulated(dir_ / "state");
  EXPECT_EQ(service->GetStatus(Drivers(), "Vendor/modem.ko"), Status::NotLoaded);
  EXPECT_TRUE(service->Load(Drivers(), "Vendor/modem.ko"));
  EXPECT_EQ(service->GetStatus(Drivers(), "Vendor/modem.ko"), Status::Loaded);
  EXPECT_FALSE(service->Load(Drivers(), "Vendor/modem.ko"));
  EXPECT_TRUE(service->Unload(Drivers(), "Vendor/modem.ko"));
  EXPECT_FALSE(service->Unload(Drivers(), "Vendor/modem.ko"));
  EXPECT_EQ(service->GetStatus(Drivers(), "Vendor/modem.ko"), Status::NotLoaded);
  EXPECT_EQ(service->GetStatus(Drivers(), "Vendor/missing.ko"), Status::Unknown);
  struct stat info {};
  ASSERT_EQ(stat((dir_ / "state/loaded").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(SimulatedKmod, NamesWhoseIdentifierIsNoFileNameAreRefused) {
  // "..." and "..x" are file names, but their identifiers ("..", ".") name folders.
  const auto service = platform::kmod::MakeSimulated(dir_ / "state");
  for (const char* name : {"...", "..x", "../Drivers/Vendor/modem.ko", ""}) {
    EXPECT_FALSE(service->Load(Drivers(), name)) << name;
    EXPECT_FALSE(service->Unload(Drivers(), name)) << name;
  }
}

TEST_F(SimulatedKmod, PreparedStateFolderDoesNotRedirectMarkers) {
  // What another user could have left in a shared folder before the privileged process
  // first ran: "loaded" as a link to a folder of value, or the state folder as such a link.
  const std::string victims = dir_ / "victims";
  testing_support::WriteFile(victims + "/modem", "precious");
  struct Case {
    const char* name;
    std::function<void(const std::string& state)> prepare;
  };
  const Case cases[] = {
      {"loaded is a link",
       [&](const std::string& state) {
         std::filesystem::create_directories(state);
         std::filesystem::create_directory_symlink(victims, state + "/loaded");
       }},
      {"state folder is a link",
       [&](const std::string& state) { std::filesystem::create_directory_symlink(victims, state); }},
      {"loaded is writable by all",
       [&](const std::string& state) {
         std::filesystem::create_directories(state + "/loaded");
         chmod((state + "/loaded").c_str(), 0777);
       }},
      {"folder above is writable by all",
       [&](const std::string& state) {
         std::filesystem::create_directories(state);
         chmod(std::filesystem::path(state).parent_path().c_str(), 0777);
       }},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string shared = dir_ / ("shared" + std::to_string(number++));
    std::filesystem::create_directories(shared);
    chmod(shared.c_str(), 0755);
    const std::string state = shared + "/state";
    c.prepare(state);
    const auto service = platform::kmod::MakeSimulated(state);
    EXPECT_FALSE(service->Unload(Drivers(), "Vendor/modem.ko"));
    EXPECT_EQ(testing_support::ReadFile(victims + "/modem"), "precious");
    EXPECT_FALSE(service->Load(Drivers(), "Vendor/modem.ko"));
    EXPECT_EQ(testing_support::ReadFile(victims + "/modem"), "precious");
    std::filesystem::remove(victims + "/modem");
    EXPECT_FALSE(service->Load(Drivers(), "Vendor/modem.ko"));
    EXPECT_FALSE(testing_support::FileExists(victims + "/modem"));
    testing_support::WriteFile(victims + "/modem", "precious");
  }
}

}  // namespace
