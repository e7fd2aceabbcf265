// Runs the built Starter programs in a bundle laid out in a temporary folder, with a probe
// in place of the main executable that reports what it was started with.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "starter/starter_core.h"
#include "starter/test_processes.h"
#include "testing/test_support.h"

namespace {

using starter_testing::EnvironmentWith;
using starter_testing::IsRoot;
using starter_testing::ProgramResult;
using starter_testing::RunProgram;

struct ProbeReport {
  bool ran = false;
  std::string uid, euid, gid;
  std::vector<std::string> args;
  std::vector<std::string> env;
  // The process state it was started with.
  std::vector<std::string> fds;
  std::string umask, cwd, sigign, sigblk, core, fsize;
};

ProbeReport ReadReport(const std::string& path) {
  ProbeReport report;
  if (!testing_support::FileExists(path)) return report;
  report.ran = true;
  std::string text = testing_support::ReadFile(path);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = line.find('=');
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "uid") report.uid = value;
    if (key == "euid") report.euid = value;
    if (key == "gid") report.gid = value;
    if (key == "arg") report.args.push_back(value);
    if (key == "env") report.env.push_back(value);
    if (key == "fd") report.fds.push_back(value);
    if (key == "umask") report.umask = value;
    if (key == "cwd") report.cwd = value;
    if (key == "sigign") report.sigign = value;
    if (key == "sigblk") report.sigblk = value;
    if (key == "core") report.core = value;
    if (key == "fsize") report.fsize = value;
  }
  std::sort(report.env.begin(), report.env.end());
  return report;
}

bool SetUserIDWorksIn(const std::string& path) {
  struct statvfs info {};
  return statvfs(path.c_str(), &info) == 0 && (info.f_flag & ST_NOSUID) == 0;
}

// <dir>/Dashboard.app/Contents/MacOS/{Dashboard Starter, Dashboard (the probe)}, root-owned
// and readable by everyone.
class StarterProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    chmod(dir_.path().c_str(), 0755);
    macos_ = dir_ / "Dashboard.app/Contents/MacOS";
    std::filesystem::create_directories(macos_);
    for (std::string folder = macos_; folder != dir_.path();
         folder = std::filesystem::path(folder).parent_path())
      chmod(folder.c_str(), 0755);
    starter_ = macos_ + "/Dashboard Starter";
    std::filesystem::copy_file(STARTER_PROBE, macos_ + "/Dashboard");
    chmod((macos_ + "/Dashboard").c_str(), 0755);
    report_ = dir_ / "report";
    // The application's end of the pipe stays here; the other end is the handle.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ownEnd_ = pair[0];
    handle_ = pair[1];
  }
  void TearDown() override {
    if (ownEnd_ >= 0) close(ownEnd_);
    if (handle_ >= 0) close(handle_);
  }

  void InstallStarter(const char* program, unsigned mode) {
    std::filesystem::copy_file(program, starter_, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(chmod(starter_.c_str(), mode), 0);
  }

  // The throw-away accounts: a member of the Starter's group and a user outside it. Where
  // they cannot be made the test is skipped; the caller then returns (IsSkipped()).
  void NeedUsers() {
    if (!IsRoot()) GTEST_SKIP() << "creating users needs root";
    if (!SetUserIDWorksIn(dir_.path())) GTEST_SKIP() << "the temporary folder ignores set-user-ID bits";
    group_ = std::make_unique<starter_testing::ScopedGroup>(DASHBOARD_STARTER_GROUP);
    if (!group_->valid()) GTEST_SKIP() << "no group " << DASHBOARD_STARTER_GROUP;
    member_ = std::make_unique<starter_testing::ScopedUser>(
        starter_testing::UniqueName("dbsm"), std::vector<std::string>{DASHBOARD_STARTER_GROUP});
    outsider_ = std::make_unique<starter_testing::ScopedUser>(starter_testing::UniqueName("dbso"),
                                                              std::vector<std::string>{});
    if (!member_->valid() || !outsider_->valid()) GTEST_SKIP() << "users cannot be created here";
  }

  // Starts the Starter; the handle's descriptor is inherited (under its own number) like
  // the application's end of a real pipe.
  ProgramResult Run(const std::vector<std::string>& environment,
                    const std::optional<starter_testing::Identity>& identity) {
    return RunProgram({starter_, report_}, environment, identity, "/", 60, {handle_});
  }

  std::string HandleVariable() const { return "_QPX_FRAMEWORK_PRIVILEGED_HANDLE=" + std::to_string(handle_); }

  std::vector<std::string> HostileEnvironment() const {
    return {"LANG=en_US.UTF-8",        "LD_LIBRARY_PATH=/nowhere",
            "QT_PLUGIN_PATH=/nowhere", "GCONV_PATH=/nowhere",
            "PATH=/nowhere",           "HOME=/nowhere",
            "LC_ALL=/nowhere",         HandleVariable()};
  }
  std::vector<std::string> CleanEnvironment() const {
    return {"LANG=en_US.UTF-8", std::string("PATH=") + starter::kCleanPath, HandleVariable()};
  }

  // Starts the Starter through a caller that sets up a hostile process state (in a folder
  // of its own as working folder) and checks that none of it reaches the started program.
  void ExpectNoStateOfTheCaller(const std::optional<starter_testing::Identity>& identity) {
    const std::string caller = dir_ / "hostile_caller";
    std::filesystem::copy_file(STARTER_HOSTILE_CALLER, caller,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(chmod(caller.c_str(), 0755), 0);
    std::filesystem::remove(report_);
    const ProgramResult result =
        RunProgram({caller, starter_, report_}, HostileEnvironment(), identity, dir_.path(), 60, {handle_});
    EXPECT_EQ(result.status, 0) << result.output;
    const ProbeReport report = ReadReport(report_);
    ASSERT_TRUE(report.ran) << result.output;
    EXPECT_EQ(report.euid, "0");
    // The standard three and the pipe; not the caller's descriptor 42, nor the one the test
    // harness leaves open for standard input.
    EXPECT_EQ(report.fds, (std::vector<std::string>{"0", "1", "2", std::to_string(handle_)}));
    EXPECT_EQ(report.umask, "022");
    EXPECT_EQ(report.cwd, "/");
    EXPECT_EQ(report.sigign, "0000000000000000");
    EXPECT_EQ(report.sigblk, "0000000000000000");
    EXPECT_EQ(report.core, "0");
    rlimit size{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &size), 0);
    EXPECT_EQ(report.fsize, size.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(size.rlim_max));
  }

  testing_support::TempDir dir_;
  int ownEnd_ = -1, handle_ = -1;
  std::string macos_, starter_, report_;
  std::unique_ptr<starter_testing::ScopedGroup> group_;
  std::unique_ptr<starter_testing::ScopedUser> member_, outsider_;
};

TEST_F(StarterProgram, RootCallerStartsTheProgramWithACleanEnvironment) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  InstallStarter(STARTER_PROGRAM, 0755);
  const ProgramResult result = Run(HostileEnvironment(), std::nullopt);
  EXPECT_EQ(result.status, 0) << result.output;
  const ProbeReport report = ReadReport(report_);
  ASSERT_TRUE(report.ran) << result.output;
  EXPECT_EQ(report.uid, "0");
  EXPECT_EQ(report.euid, "0");
  // The arguments pass unchanged, argument 0 included.
  EXPECT_EQ(report.args, (std::vector<std::string>{starter_, report_}));
  EXPECT_EQ(report.env, CleanEnvironment());
}

TEST_F(StarterProgram, RootCallerLeavesNoProcessStateToTheProgram) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  InstallStarter(STARTER_PROGRAM, 0755);
  ExpectNoStateOfTheCaller(std::nullopt);
}

TEST_F(StarterProgram, MemberLeavesNoProcessStateToTheProgram) {
  NeedUsers();
  if (IsSkipped()) return;
  InstallStarter(STARTER_PROGRAM, 04755);
  ExpectNoStateOfTheCaller(member_->identity());
}

TEST_F(StarterProgram, MemberWithoutAPipeIsRefused) {
  // Without a socket to serve, the root instance would run as a whole application.
  NeedUsers();
  if (IsSkipped()) return;
  InstallStarter(STARTER_PROGRAM, 04755);
  const int notASocket = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(notASocket, 0);
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"no handle", {"LANG=en_US.UTF-8"}},
      {"a file", {"_QPX_FRAMEWORK_PRIVILEGED_HANDLE=" + std::to_string(notASocket)}},
      {"a closed descriptor", {"_QPX_FRAMEWORK_PRIVILEGED_HANDLE=999"}},
      {"not a number", {HandleVariable() + "x"}},
  };
  for (const auto& [name, environment] : cases) {
    SCOPED_TRACE(name);
    const ProgramResult result =
        RunProgram({starter_, report_}, environment, member_->identity(), "/", 60, {handle_, notASocket});
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("does not name an open socket"), std::string::npos) << result.output;
    EXPECT_FALSE(ReadReport(report_).ran);
  }
  close(notASocket);
}

TEST_F(StarterProgram, WithoutRootRightsOrConsentItShowsTheAlert) {
  // The bundle's own Starter without its bit, as a plain user: no pkexec, or no consent.
  NeedUsers();
  if (IsSkipped()) return;
  InstallStarter(STARTER_PROGRAM, 0755);
  const ProgramResult result = Run({"LANG=de_DE.UTF-8", HandleVariable()}, member_->identity());
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_NE(result.output.find("Beenden"), std::string::npos) << result.output;
  EXPECT_FALSE(ReadReport(report_).ran);
}

TEST_F(StarterProgram, MemberGetsTheProgramStartedAsRoot) {
  NeedUsers();
  if (IsSkipped()) return;
  InstallStarter(STARTER_PROGRAM, 04755);
  const ProgramResult result = Run(HostileEnvironment(), member_->identity());
  EXPECT_EQ(result.status, 0) << result.output;
  const ProbeReport report = ReadReport(report_);
  ASSERT_TRUE(report.ran) << result.output;
  EXPECT_EQ(report.uid, "0");
  EXPECT_EQ(report.euid, "0");
  EXPECT_EQ(report.gid, "0");
  EXPECT_EQ(report.env, CleanEnvironment());
}

TEST_F(StarterProgram, UserOutsideTheGroupIsRefused) {
  NeedUsers();
  if (IsSkipped()) return;
  InstallStarter(STARTER_PROGRAM, 04755);
  const ProgramResult result = Run(HostileEnvironment(), outsider_->identity());
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_NE(result.output.find("not a member"), std::string::npos) << result.output;
  EXPECT_FALSE(ReadReport(report_).ran);
}

TEST_F(StarterProgram, GroupWritableFolderIsRefusedStickyRootFolderIsNot) {
  NeedUsers();
  if (IsSkipped()) return;
  InstallStarter(STARTER_PROGRAM, 04755);
  const std::string contents = dir_ / "Dashboard.app/Contents";
  chmod(contents.c_str(), 0775);
  ProgramResult result = Run(HostileEnvironment(), member_->identity());
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_NE(result.output.find("writable by group or others"), std::string::npos) << result.output;
  EXPECT_FALSE(ReadReport(report_).ran);

  chmod(contents.c_str(), 0755);
  chmod(dir_.path().c_str(), 01777);
  result = Run(HostileEnvironment(), member_->identity());
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(ReadReport(report_).ran) << result.output;
}

class StarterRepair : public StarterProgram {
 protected:
  // The test's authorisation service: set-user-ID root, usable by the Starter's group only.
  std::string InstallElevator() {
    const std::string elevator = dir_ / "elevator";
    std::filesystem::copy_file(STARTER_ELEVATOR, elevator);
    EXPECT_EQ(chown(elevator.c_str(), 0, group_->gid()), 0);
    EXPECT_EQ(chmod(elevator.c_str(), 04750), 0);
    return elevator;
  }
};

TEST_F(StarterRepair, ConsentRepairsTheRightsAndStartsTheProgram) {
  NeedUsers();
  if (IsSkipped()) return;
  InstallStarter(STARTER_TEST_PROGRAM, 0755);
  const std::string elevator = InstallElevator();
  std::vector<std::string> environment = HostileEnvironment();
  environment.insert(environment.end(),
                     {"DASHBOARD_TEST_CONSENT=grant", "DASHBOARD_TEST_ELEVATOR=" + elevator});
  const ProgramResult result = Run(environment, member_->identity());
  EXPECT_EQ(result.status, 0) << result.output;
  struct stat info {};
  ASSERT_EQ(stat(starter_.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(info.st_mode & 07777, 04755u);
  const ProbeReport report = ReadReport(report_);
  ASSERT_TRUE(report.ran) << result.output;
  EXPECT_EQ(report.uid, "0");
  EXPECT_EQ(report.euid, "0");
  // Neither the consent switches nor the repair marker reach the root process.
  EXPECT_EQ(report.env, CleanEnvironment());
}

TEST_F(StarterRepair, RefusedConsentEndsInTheAlert) {
  NeedUsers();
  if (IsSkipped()) return;
  InstallStarter(STARTER_TEST_PROGRAM, 0755);
  const std::string elevator = InstallElevator();
  const ProgramResult result = Run({"LANG=en_US.UTF-8", HandleVariable(), "DASHBOARD_TEST_CONSENT=deny",
                                    "DASHBOARD_TEST_ELEVATOR=" + elevator},
                                   member_->identity());
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_NE(result.output.find("administrative privileges"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("[Quit]"), std::string::npos) << result.output;
  struct stat info {};
  ASSERT_EQ(stat(starter_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_FALSE(ReadReport(report_).ran);
}

TEST_F(StarterRepair, RepairThatDoesNotTakeIsNotRepeated) {
  // Granted, but the "service" runs the repair without root rights: it fails, and the
  // Starter gives up with the alert instead of asking again.
  NeedUsers();
  if (IsSkipped()) return;
  InstallStarter(STARTER_TEST_PROGRAM, 0755);
  const ProgramResult result =
      Run({"LANG=en_US.UTF-8", HandleVariable(), "DASHBOARD_TEST_CONSENT=grant"}, member_->identity());
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_NE(result.output.find("[Quit]"), std::string::npos) << result.output;
  EXPECT_FALSE(ReadReport(report_).ran);
}

}  // namespace
