#include "framework/core/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "framework/core/class_registry.h"
#include "framework/core/class_table.h"
#include "framework/core/log.h"
#include "platform/assert.h"
#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace {

QPX_Framework_ClassEntry Entry(const std::string& name,
                               std::function<bool(const std::string&)> init = nullptr) {
  QPX_Framework_ClassEntry entry;
  entry.name = name;
  entry.init = std::move(init);
  return entry;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(saved_ ? saved_->c_str() : nullptr); }
  void Set(const char* value) {
    if (value)
      setenv(name_.c_str(), value, 1);
    else
      unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// A null-ended argument vector that owns its strings.
class Args {
 public:
  explicit Args(std::vector<std::string> args) : strings_(std::move(args)) {
    for (std::string& arg : strings_) pointers_.push_back(arg.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return int(strings_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

// Saves and restores the process-wide start-up state the tests change.
class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedInfo_ = QPX_Framework_ApplicationInfo;
    savedMode_ = QPX_Framework_Application_RunMode;
    savedArgc_ = _QPX_Framework_Argc;
    savedArgv_ = _QPX_Framework_Argv;
  }
  void TearDown() override {
    for (const std::string& name : registered_) QPX_Framework_ClassRegistry::Unregister(name);
    QPX_Framework_SetLaunchPrivileged(nullptr);
    for (const auto& [className, operation] : operations_)
      QPX_Framework_SetClassOperation(className, operation, nullptr);
    QPX_Framework_ApplicationInfo = savedInfo_;
    QPX_Framework_Application_RunMode = savedMode_;
    _QPX_Framework_Argc = savedArgc_;
    _QPX_Framework_Argv = savedArgv_;
  }

  void Register(const std::string& name, bool answer = true) {
    registered_.push_back(name);
    QPX_Framework_ClassRegistry::Register(Entry(name, [this, answer](const std::string& className) {
      events_.push_back("init " + className);
      return answer;
    }));
  }
  void SetOperation(const std::string& className, const std::string& operation) {
    operations_.emplace_back(className, operation);
    QPX_Framework_SetClassOperation(className, operation, [this, className, operation] {
      events_.push_back(operation + " " + className);
    });
  }
  int Main(std::vector<std::string> args) {
    Args vector(std::move(args));
    return QPX_Framework_Main(vector.argc(), vector.argv());
  }

  testing_support::BundleFixture bundle_;
  ScopedEnv launchCommand_{"QPX_LAUNCH_COMMAND", nullptr};
  std::vector<std::string> events_;
  std::vector<std::string> registered_;
  std::vector<std::pair<std::string, std::string>> operations_;
  QPX_Framework_ApplicationInfo_Record savedInfo_;
  int savedMode_ = 0;
  int savedArgc_ = 0;
  char** savedArgv_ = nullptr;
};

TEST_F(StartupTest, CheckCommandComparesTheLaunchCommand) {
  EXPECT_TRUE(CheckCommand(nullptr));  // both absent
  EXPECT_FALSE(CheckCommand("Trashed"));
  launchCommand_.Set("Trashed");
  EXPECT_TRUE(CheckCommand("Trashed"));
  EXPECT_FALSE(CheckCommand("Trash"));
  EXPECT_FALSE(CheckCommand("Moved"));
  EXPECT_FALSE(CheckCommand(nullptr));
}

TEST_F(StartupTest, RunModeSelection) {
  struct Case {
    const char* command;
    const char* argv0;
    std::string executable;
    bool uninstaller;
    int mode;
  };
  const Case cases[] = {
      {nullptr, "/Applications/Dashboard.app/Contents/MacOS/Dashboard", "Dashboard", false, 1},
      {nullptr, "/x/Dashboard.app/Contents/MacOS/Dashboard Launcher", "Dashboard", false, 3},
      {nullptr, "Dashboard Launcher", "Dashboard", false, 3},
      {nullptr, "/x/Dashboard Launcher/", "Dashboard", false, 3},
      {nullptr, "/x/Dashboard Launcher/Dashboard", "Dashboard", false, 1},
      {nullptr, "/x/Dashboard  Launcher", "Dashboard", false, 1},
      {nullptr, "/x/Dashboard Launcherx", "Dashboard", false, 1},
      {nullptr, "/x/Dashboard Launcher", "", false, 1},  // no executable name: no launcher
      {nullptr, nullptr, "Dashboard", false, 1},         // no arguments
      {"Trashed", "/x/Dashboard", "Dashboard", true, 2},
      {"Trashed", "/x/Dashboard", "Dashboard", false, 1},  // no uninstaller: stays the application
      {"Trashed", "/x/Dashboard Launcher", "Dashboard", false, 3},
      {"Trashed", "/x/Dashboard Launcher", "Dashboard", true, 2},
      {"Moved", "/x/Dashboard", "Dashboard", true, 1},
      {nullptr, "/x/Dashboard", "Dashboard", true, 1},
  };
  for (const Case& c : cases) {
    if (c.uninstaller)
      QPX_Framework_ClassRegistry::Register(Entry("QPX_Framework_Uninstaller"));
    else
      QPX_Framework_ClassRegistry::Unregister("QPX_Framework_Uninstaller");
    EXPECT_EQ(QPX_Framework_SelectRunMode(c.command, c.argv0, c.executable), c.mode)
        << (c.command ? c.command : "(none)") << " " << (c.argv0 ? c.argv0 : "(none)") << " "
        << c.uninstaller;
  }
  QPX_Framework_ClassRegistry::Unregister("QPX_Framework_Uninstaller");
}

TEST_F(StartupTest, CheckHeavyLauncherUsesTheBundleExecutable) {
  bundle_.SetInfo("CFBundleExecutable", Value("Tool"));
  bundle_.Install();
  Args launcher({"/x/Tool Launcher"});
  _QPX_Framework_Argc = launcher.argc();
  _QPX_Framework_Argv = launcher.argv();
  QPX_Framework_Application_RunMode = 1;
  CheckHeavyLauncher();
  EXPECT_EQ(QPX_Framework_Application_RunMode, 3);

  Args plain({"/x/Dashboard Launcher"});
  _QPX_Framework_Argv = plain.argv();
  QPX_Framework_Application_RunMode = 1;
  CheckHeavyLauncher();
  EXPECT_EQ(QPX_Framework_Application_RunMode, 1);
}

TEST_F(StartupTest, MainWalksTheTableOfTheChosenMode) {
  bundle_.Install();
  for (const char* name :
       {"QPX_Framework_Debugger", "QPX_Framework_Thread", "QPX_Project", "QPX_Project_HeavyLauncher",
        "QPX_Framework_Storage", "QPX_Framework_Project_Logging", "QPX_Framework_Devices",
        "QPX_Framework_Thread_Privileged", "QPX_Framework_Uninstaller", "QPX_Framework_Phonebook"})
    Register(name);
  SetOperation("QPX_Project", "run");
  SetOperation("QPX_Project_HeavyLauncher", "run");
  QPX_Framework_SetLaunchPrivileged([this] { events_.push_back("privileged"); });

  EXPECT_EQ(Main({"/x/Dashboard"}), 0);
  EXPECT_EQ(QPX_Framework_Application_RunMode, 1);
  EXPECT_EQ(events_,
            (std::vector<std::string>{
                "privileged", "init QPX_Framework_Debugger", "init QPX_Framework_Thread", "init QPX_Project",
                "init QPX_Framework_Storage", "init QPX_Framework_Project_Logging",
                "init QPX_Framework_Thread_Privileged", "init QPX_Framework_Devices",
                "init QPX_Framework_Phonebook", "init QPX_Framework_Uninstaller", "run QPX_Project"}));
  EXPECT_TRUE(QPX_Framework_IsMainThread());

  events_.clear();
  launchCommand_.Set("Trashed");
  EXPECT_EQ(Main({"/x/Dashboard"}), 0);
  EXPECT_EQ(QPX_Framework_Application_RunMode, 2);
  EXPECT_EQ(events_,
            (std::vector<std::string>{"privileged", "init QPX_Framework_Debugger",
                                      "init QPX_Framework_Thread", "init QPX_Project",
                                      "init QPX_Framework_Storage", "init QPX_Framework_Thread_Privileged",
                                      "init QPX_Framework_Uninstaller", "run QPX_Project"}));

  events_.clear();
  launchCommand_.Set(nullptr);
  EXPECT_EQ(Main({"/x/Dashboard Launcher"}), 0);
  EXPECT_EQ(QPX_Framework_Application_RunMode, 3);
  EXPECT_EQ(events_, (std::vector<std::string>{
                         "privileged", "init QPX_Framework_Thread", "init QPX_Project_HeavyLauncher",
                         "init QPX_Framework_Storage", "init QPX_Framework_Project_Logging",
                         "init QPX_Framework_Devices", "run QPX_Project_HeavyLauncher"}));
}

TEST_F(StartupTest, FailedInitialisationEndsWithStatusOne) {
  bundle_.Install();
  Register("QPX_Framework_Thread");
  Register("QPX_Framework_Storage", false);
  Register("QPX_Framework_Devices");
  SetOperation("QPX_Project", "run");
  Register("QPX_Project");
  SetOperation("QPX_Project_HeavyLauncher", "run");
  Register("QPX_Project_HeavyLauncher");

  EXPECT_EQ(Main({"/x/Dashboard"}), 1);
  EXPECT_EQ(events_, (std::vector<std::string>{"init QPX_Framework_Thread", "init QPX_Project",
                                               "init QPX_Framework_Storage"}));
  events_.clear();
  EXPECT_EQ(Main({"/x/Dashboard Launcher"}), 1);
  EXPECT_EQ(events_, (std::vector<std::string>{"init QPX_Framework_Thread", "init QPX_Project_HeavyLauncher",
                                               "init QPX_Framework_Storage"}));
}

TEST_F(StartupTest, MovedBundleOnlyMovesTheLaunchAgent) {
  bundle_.Install();
  Register("QPX_Framework_Thread");
  Register("QPX_Framework_Launcher");
  SetOperation("QPX_Framework_Launcher", "Move");
  launchCommand_.Set("Moved");
  EXPECT_EQ(Main({"/x/Dashboard"}), 0);
  EXPECT_EQ(events_, (std::vector<std::string>{"Move QPX_Framework_Launcher"}));

  events_.clear();
  QPX_Framework_ClassRegistry::Unregister("QPX_Framework_Launcher");
  EXPECT_EQ(Main({"/x/Dashboard"}), 0);  // without a launcher class the command means nothing
  EXPECT_EQ(events_, (std::vector<std::string>{"init QPX_Framework_Thread"}));
}

TEST_F(StartupTest, MainLogsTheTableWalk) {
  bundle_.Install();
  bundle_.defaults()->setObject("Talvoro-Logging", Value(0));
  testing_support::TempDir logs;
  const std::string savedPath = QPX_Framework_Log_FilePath();
  QPX_Framework_Log_SetFilePath(logs / "Talvoro.Log");
  QPX_Framework_Log_ResetState();
  const int status = Main({"/x/Dashboard"});
  QPX_Framework_Log_SetFilePath(savedPath);
  QPX_Framework_Log_ResetState();

  EXPECT_EQ(status, 0);
  const std::string log = testing_support::ReadFile(logs / "Talvoro.Log");
  EXPECT_NE(log.find("in run mode 1"), std::string::npos) << log;
  EXPECT_NE(log.find("QPX_Framework_Debugger not present"), std::string::npos) << log;
  EXPECT_NE(log.find("Class table walked in run mode 1"), std::string::npos) << log;
}

TEST_F(StartupTest, MissingRequiredKeyEndsWithStatusOne) {
  for (const char* key :
       {"QPX Build ID", "CFBundleIdentifier", "QPX VOQ product", "QPX VOQ release", "QPX Build Time"}) {
    testing_support::BundleFixture bundle;
    bundle.SetInfo(key, Value());
    bundle.Install();
    Register("QPX_Framework_Thread");
    EXPECT_EQ(Main({"/x/Dashboard"}), 1) << key;
    EXPECT_TRUE(events_.empty()) << key;  // nothing was started
  }
  testing_support::BundleFixture wrongType;
  wrongType.SetInfo("QPX Build ID", Value(12));
  wrongType.Install();
  EXPECT_EQ(Main({"/x/Dashboard"}), 1);
}

TEST_F(StartupTest, ArgumentVectorMustBeNullEnded) {
  bundle_.Install();
  char arg0[] = "/x/Dashboard";
  char* argv[] = {arg0, arg0};
  EXPECT_THROW(QPX_Framework_Main(1, argv), platform::AssertionFailure);
}

TEST(ApplicationInfo, ReadsKeysAndFallsBackForNames) {
  Value info = testing_support::BundleFixture::DefaultInfo();
  info.set("QPX VOQ release", Value("7"));  // a text entry counts by its integer value
  QPX_Framework_ApplicationInfo_Record record;
  ASSERT_TRUE(QPX_Framework_ApplicationInfo_FromInfo(info, record));
  EXPECT_EQ(record.displayName, "Tamsel Dashboard");
  EXPECT_EQ(record.name, "Dashboard");
  EXPECT_EQ(record.bundleIdentifier, "net.tamsel.dashboard");
  EXPECT_EQ(record.buildID, "1.0.0");
  EXPECT_EQ(record.productNumber, 1201);
  EXPECT_EQ(record.releaseNumber, 7);
  EXPECT_TRUE(record.buildTime.isDate());

  struct Case {
    const char* displayName;
    const char* name;
    std::string expectedDisplayName;
    std::string expectedName;
  };
  const Case cases[] = {
      {nullptr, "Dashboard", "Dashboard", "Dashboard"},
      {"Tamsel Dashboard", nullptr, "Tamsel Dashboard", "Tamsel Dashboard"},
      {nullptr, nullptr, "Unknown QPX App", "Unknown QPX App"},
  };
  for (const Case& c : cases) {
    info.set("CFBundleDisplayName", Value(c.displayName));
    info.set("CFBundleName", Value(c.name));
    ASSERT_TRUE(QPX_Framework_ApplicationInfo_FromInfo(info, record));
    EXPECT_EQ(record.displayName, c.expectedDisplayName);
    EXPECT_EQ(record.name, c.expectedName);
  }

  QPX_Framework_ApplicationInfo_Record untouched = record;
  info.set("QPX Build Time", Value());
  EXPECT_FALSE(QPX_Framework_ApplicationInfo_FromInfo(info, record));
  EXPECT_EQ(record.buildID, untouched.buildID);
}

TEST(SystemVersion, FromKernelRelease) {
  struct Case {
    std::string release;
    uint32_t major, minor, bugfix;
    std::string text;
  };
  const Case cases[] = {
      {"6.1.0-18-amd64", 6, 1, 0, "Linux 6.1.0"},
      {"5.15.133.1-microsoft-standard-WSL2", 5, 15, 133, "Linux 5.15.133"},
      {"6.8", 6, 8, 0, "Linux 6.8.0"},
      {"4", 4, 0, 0, "Linux 4.0.0"},
      {"4.19.300", 4, 19, 255, "Linux 4.19.255"},  // each component fits its 8 bits
      {"6.1-rc3", 6, 1, 0, "Linux 6.1.0"},
      {"6..2", 6, 0, 0, "Linux 6.0.0"},
  };
  for (const Case& c : cases) {
    QPX_Framework_SystemVersion_Record record;
    ASSERT_TRUE(QPX_Framework_SystemVersion_FromRelease("Linux", c.release, record)) << c.release;
    EXPECT_EQ(record.major, c.major) << c.release;
    EXPECT_EQ(record.minor, c.minor) << c.release;
    EXPECT_EQ(record.bugfix, c.bugfix) << c.release;
    EXPECT_EQ(record.combined, (c.major << 8) + c.minor) << c.release;
    EXPECT_EQ(record.string, c.text);
  }
  QPX_Framework_SystemVersion_Record record;
  EXPECT_FALSE(QPX_Framework_SystemVersion_FromRelease("Linux", "", record));
  EXPECT_FALSE(QPX_Framework_SystemVersion_FromRelease("Linux", "unknown", record));

  EXPECT_EQ(QPX_Framework_SystemVersion_Is64Bit("x86_64"), 1);
  EXPECT_EQ(QPX_Framework_SystemVersion_Is64Bit("aarch64"), 1);
  EXPECT_EQ(QPX_Framework_SystemVersion_Is64Bit("i686"), 0);
  EXPECT_EQ(QPX_Framework_SystemVersion_Is64Bit("i386"), 0);
  EXPECT_EQ(QPX_Framework_SystemVersion_Is64Bit("mips"), std::nullopt);

  ASSERT_TRUE(_QPX_Framework_SystemVersion_Init());
  EXPECT_EQ(QPX_Framework_SystemVersion.string.rfind("Linux ", 0), 0u);
}

class UserFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedInfo_ = QPX_Framework_ApplicationInfo;
    QPX_Framework_ApplicationInfo.bundleIdentifier = "net.tamsel.dashboard";
    savedMask_ = umask(022);
  }
  void TearDown() override {
    umask(savedMask_);
    QPX_Framework_ApplicationInfo = savedInfo_;
  }
  testing_support::TempDir home_;
  ScopedEnv homeVariable_{"HOME", home_.path().c_str()};
  QPX_Framework_ApplicationInfo_Record savedInfo_;
  mode_t savedMask_ = 0;
};

TEST_F(UserFileTest, MakeUserFilePath) {
  EXPECT_EQ(QPX_Framework_MakeUserFilePath(), home_.path() + "/.net.tamsel.dashboard");
  EXPECT_EQ(QPX_Framework_MakeUserFilePath(std::string("/root")), "/root/.net.tamsel.dashboard");
  EXPECT_EQ(QPX_Framework_MakeUserFilePath(std::string("/home/anna/")), "/home/anna/.net.tamsel.dashboard");
  for (const char* bad : {"/", "//", "", "relative/home"})
    EXPECT_THROW(QPX_Framework_MakeUserFilePath(std::string(bad)), platform::AssertionFailure) << bad;
  QPX_Framework_ApplicationInfo.bundleIdentifier = "a.b.c";
  EXPECT_THROW(QPX_Framework_MakeUserFilePath(), platform::AssertionFailure);
}

TEST_F(UserFileTest, UserFilePathCreatesTheFolder) {
  const std::string folder = home_.path() + "/.net.tamsel.dashboard";
  EXPECT_EQ(QPX_Framework_UserFilePath(), folder);
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_EQ(QPX_Framework_UserFilePath(), folder);  // an existing folder is fine
  EXPECT_EQ(QPX_Framework_UserFilePath("Installed.plist"), folder + "/Installed.plist");
}

TEST_F(UserFileTest, UserFilePathFailsCleanly) {
  testing_support::WriteFile(home_.path() + "/.net.tamsel.dashboard", "a file in the way");
  EXPECT_EQ(QPX_Framework_UserFilePath("x"), std::nullopt);

  ScopedEnv missingHome("HOME", (home_.path() + "/gone").c_str());
  EXPECT_EQ(QPX_Framework_UserFilePath(), std::nullopt);
}

}  // namespace
