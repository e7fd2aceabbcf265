#include "framework/util/launch_agent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "framework/core/startup.h"
#include "platform/launch_agent.h"
#include "platform/plist.h"
#include "platform/run_loop.h"
#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_ = std::make_shared<platform::SimulatedLaunchAgentService>();
    platform::LaunchAgentService::SetDefault(service_);
  }
  void TearDown() override { platform::LaunchAgentService::SetDefault(nullptr); }

  void Install(int storedMode = -1, bool monitor = false, int defaultMode = -1) {
    if (monitor) fixture_.SetInfo("QPX Uninstaller Launcher", Value(true));
    if (defaultMode >= 0) fixture_.SetPreferencesDefault("QPX Launcher Mode", Value(defaultMode));
    fixture_.Install();
    if (storedMode >= 0) fixture_.defaults()->setObject("QPX Launcher Mode", Value(storedMode));
  }
  std::string PlistPath() const {
    return fixture_.homePath() + "/Library/LaunchAgents/net.tamsel.dashboard.plist";
  }
  bool Loaded() const { return service_->IsLoaded("net.tamsel.dashboard"); }
  Value Stored() const { return fixture_.defaults()->persistentObjectForKey("QPX Launcher Mode"); }

  testing_support::BundleFixture fixture_;
  std::shared_ptr<platform::SimulatedLaunchAgentService> service_;
};

TEST_F(LauncherTest, ModeNames) {
  const std::pair<int, const char*> cases[] = {
      {0, "None"},         {1, "Device"},      {2, "Login"},
      {3, "Device/Login"}, {128, "Uninstall"}, {131, "Device/Login/Uninstall"},
  };
  for (const auto& [mode, text] : cases) EXPECT_EQ(QPX_Framework_Launcher::StringForMode(mode), text) << mode;
}

TEST_F(LauncherTest, StoredModeWithForeignBitsReadsAsZero) {
  const std::pair<Value, int> cases[] = {
      {Value(3), 3}, {Value(6), 0}, {Value(128), 0}, {Value("1"), 0}, {Value(), 0}};
  Install();
  for (const auto& [stored, mode] : cases) {
    fixture_.defaults()->setObject("QPX Launcher Mode", stored);
    EXPECT_EQ(QPX_Framework_Launcher::CurrentMode(), mode) << stored.Description();
  }
}

TEST_F(LauncherTest, DeviceModeWritesAndLoadsAnAgentThatStartsTheHeavyLauncher) {
  Install(0);
  QPX_Framework_Launcher::SetMode(QPX_Framework_Launcher_Mode_Device);
  EXPECT_EQ(Stored(), Value(1));
  ASSERT_TRUE(QPX_Framework_Launcher::HasPList());
  EXPECT_TRUE(Loaded());
  const auto list = platform::plist::ReadFile(PlistPath());
  ASSERT_TRUE(list);
  EXPECT_EQ(list->get("Label"), Value("net.tamsel.dashboard"));
  EXPECT_EQ(list->get("WorkingDirectory"), Value(fixture_.bundlePath()));
  EXPECT_EQ(list->get("LimitLoadToSessionType"), Value("Aqua"));
  EXPECT_EQ(list->get("RunAtLoad"), Value(true));
  EXPECT_EQ(list->get("KeepAlive"), Value(true));
  EXPECT_EQ(list->get("Disabled"), Value(false));
  // The program the agent runs is the one start-up takes for the heavy launcher, also when
  // the display name differs from the executable's name.
  const std::string program = list->get("Program").string();
  EXPECT_EQ(program, fixture_.bundlePath() + "/Contents/MacOS/Dashboard Launcher");
  EXPECT_EQ(QPX_Framework_SelectRunMode(nullptr, program.c_str(), "Dashboard"), 3);

  // Off again: stopped, forgotten and deleted.
  QPX_Framework_Launcher::SetMode(0);
  EXPECT_EQ(Stored(), Value(0));
  EXPECT_FALSE(testing_support::FileExists(PlistPath()));
  EXPECT_FALSE(service_->Known("net.tamsel.dashboard"));
}

TEST_F(LauncherTest, LoginOnlyKeepsTheAgentOnDiskUnloaded) {
  Install(0);
  QPX_Framework_Launcher::SetMode(QPX_Framework_Launcher_Mode_Login);
  EXPECT_TRUE(QPX_Framework_Launcher::HasPList());
  EXPECT_FALSE(Loaded());
  EXPECT_FALSE(service_->Known("net.tamsel.dashboard"));
}

TEST_F(LauncherTest, UninstallWatchIsAddedButNeverStored) {
  Install(0, true);
  EXPECT_TRUE(QPX_Framework_Launcher::QPX_Framework_Init("QPX_Framework_Launcher"));
  EXPECT_TRUE(QPX_Framework_Launcher::HasPList());
  EXPECT_TRUE(Loaded());
  EXPECT_EQ(Stored(), Value(0));
  EXPECT_EQ(QPX_Framework_Launcher::RealCurrentMode(), 128);
  // Asking for the mode it already has changes nothing.
  QPX_Framework_Launcher::SetMode(0);
  EXPECT_TRUE(Loaded());
}

TEST_F(LauncherTest, InitialisationFollowsThePreferredMode) {
  // Nothing stored; the bundle's default asks for the device mode.
  Install(-1, false, 1);
  QPX_Framework_Launcher::QPX_Framework_Init("QPX_Framework_Launcher");
  EXPECT_EQ(Stored(), Value(1));
  EXPECT_TRUE(Loaded());

  // An agent file that went missing is written again by the next start.
  fs::remove(PlistPath());
  service_->Remove("net.tamsel.dashboard");
  QPX_Framework_Launcher::QPX_Framework_Init("QPX_Framework_Launcher");
  EXPECT_TRUE(QPX_Framework_Launcher::HasPList());
  EXPECT_TRUE(Loaded());

  // The debug switch removes the agent and keeps the mode.
  fixture_.defaults()->setObject("QPX disable launcher", Value(true));
  QPX_Framework_Launcher::QPX_Framework_Init("QPX_Framework_Launcher");
  EXPECT_FALSE(testing_support::FileExists(PlistPath()));
  EXPECT_FALSE(Loaded());
  EXPECT_EQ(Stored(), Value(1));

  // Reset forgets the user's choice and returns to the bundle's default.
  fixture_.defaults()->setObject("QPX disable launcher", Value());
  QPX_Framework_Launcher::SetMode(QPX_Framework_Launcher_Mode_Login);
  EXPECT_FALSE(Loaded());
  QPX_Framework_Launcher::Reset();
  EXPECT_EQ(Stored(), Value(1));
  EXPECT_TRUE(Loaded());
}

TEST_F(LauncherTest, MoveRecreatesTheAgentForTheNewPlace) {
  Install(0);
  QPX_Framework_Launcher::SetMode(QPX_Framework_Launcher_Mode_Device);
  auto list = platform::plist::ReadFile(PlistPath());
  ASSERT_TRUE(list);
  list->set("Program", Value("/Old/Place/Dashboard.app/Contents/MacOS/Dashboard Launcher"));
  ASSERT_TRUE(platform::plist::WriteFileAtomically(PlistPath(), *list));
  QPX_Framework_Launcher::Move();
  EXPECT_EQ(platform::plist::ReadFile(PlistPath())->get("Program"),
            Value(QPX_Framework_Launcher::LauncherProgramPath()));
  EXPECT_TRUE(Loaded());
  EXPECT_EQ(service_->Known("net.tamsel.dashboard")->program, QPX_Framework_Launcher::LauncherProgramPath());
  EXPECT_EQ(Stored(), Value(1));
}

TEST(LauncherTrash, TrashFolders) {
  EXPECT_TRUE(QPX_Framework_Launcher_IsTrashPath("/home/a/.Trash/Dashboard.app"));
  EXPECT_TRUE(QPX_Framework_Launcher_IsTrashPath("/home/a/.local/share/Trash/files/Dashboard.app"));
  EXPECT_TRUE(QPX_Framework_Launcher_IsTrashPath("/media/usb/.Trash-1000/files/Dashboard.app"));
  EXPECT_FALSE(QPX_Framework_Launcher_IsTrashPath("/opt/Trash Can/Dashboard.app"));
  EXPECT_FALSE(QPX_Framework_Launcher_IsTrashPath("/opt/Dashboard.app"));
}

// The background instance, with a stand-in application that records how it was started.
class LauncherStuffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    record_ = fixture_.rootPath() + "/started";
    fixture_.AddFile(
        "Contents/MacOS/Dashboard",
        "#!/bin/sh\necho \"${QPX_LAUNCH_COMMAND:-none} $QPX_Was_Launched\" >> '" + record_ + "'\n", 0755);
  }
  void TearDown() override {
    if (saved_ >= 0) {
      EXPECT_EQ(fchdir(saved_), 0);
      close(saved_);
    }
    unsetenv("QPX Was Launched");
  }
  // Waits (with a generous guard, not a measurement) until the stand-in wrote `lines` lines.
  std::string WaitForStarts(std::size_t lines) {
    for (int i = 0; i < 500; ++i) {
      const std::string text = testing_support::ReadFile(record_);
      if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) return text;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return testing_support::ReadFile(record_);
  }

  testing_support::BundleFixture fixture_;
  std::string record_;
  int saved_ = -1;
};

TEST_F(LauncherStuffTest, LoginModeStartsTheApplicationFromTheBundle) {
  fixture_.Install();
  fixture_.defaults()->setObject("QPX Launcher Mode", Value(2));
  auto stuff = QPX_Framework_LauncherStuff::Create();
  ASSERT_TRUE(stuff);
  EXPECT_STREQ(std::getenv("QPX Was Launched"), "yes");
  EXPECT_EQ(stuff->LastApplicationPath(), fs::canonical(fixture_.bundlePath()).string());
  EXPECT_EQ(WaitForStarts(1), "none \n");
}

TEST_F(LauncherStuffTest, DeviceStartOnlyInDeviceMode) {
  fixture_.Install();
  auto stuff = QPX_Framework_LauncherStuff::Create();
  ASSERT_TRUE(stuff);
  stuff->LaunchAppForDevice();
  // The mode is read from disk each time: another process changes it.
  platform::UserDefaults other(fixture_.defaultsPath(), Value());
  other.setObject("QPX Launcher Mode", Value(1));
  stuff->LaunchAppForDevice();
  EXPECT_EQ(WaitForStarts(1), "none \n");
}

TEST_F(LauncherStuffTest, MovingOrTrashingTheBundleStartsTheApplication) {
  fixture_.SetInfo("QPX Uninstaller Launcher", Value(true));
  fixture_.Install();
  auto stuff = QPX_Framework_LauncherStuff::Create();
  ASSERT_TRUE(stuff);
  platform::RunLoop& loop = platform::RunLoop::Current();
  const std::string before = stuff->LastApplicationPath();

  const std::string moved = fixture_.rootPath() + "/Applications/Dashboard.app";
  fs::create_directories(fixture_.rootPath() + "/Applications");
  fs::rename(fixture_.bundlePath(), moved);
  for (int i = 0; i < 100 && stuff->LastApplicationPath() == before; ++i) loop.RunOnce(0.1);
  EXPECT_EQ(stuff->LastApplicationPath(), fs::canonical(moved).string());
  EXPECT_EQ(WaitForStarts(1), "Moved \n");

  const std::string trashed = fixture_.rootPath() + "/.Trash/Dashboard.app";
  fs::create_directories(fixture_.rootPath() + "/.Trash");
  fs::rename(moved, trashed);
  for (int i = 0; i < 100 && stuff->LastApplicationPath() != fs::canonical(trashed).string(); ++i)
    loop.RunOnce(0.1);
  EXPECT_EQ(WaitForStarts(2), "Moved \nTrashed \n");
  // Put back for the fixture's clean-up.
  fs::rename(trashed, fixture_.bundlePath());
}

}  // namespace
