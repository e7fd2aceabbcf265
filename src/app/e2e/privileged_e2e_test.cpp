// Starts the built Dashboard for real: the application starts its Starter, the Starter the
// root instance, and the two talk over the socket pair. Tests that need root skip without it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/privileged_pipe.h"
#include "platform/plist.h"
#include "starter/test_processes.h"
#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;
using privileged_pipe::ReadMessage;
using privileged_pipe::Status;
using privileged_pipe::WriteMessage;
using starter_testing::EnvironmentWith;
using starter_testing::IsRoot;
using starter_testing::ProgramResult;
using starter_testing::RunProgram;

const std::string kExecutable = DASHBOARD_EXECUTABLE;
const std::string kBuiltBundle = fs::path(kExecutable).parent_path().parent_path().parent_path();

// A copy of the built bundle in a temporary folder, root-owned and readable by everyone
// when made by root, so it can be given to another user or written by the root instance.
class BundleCopy {
 public:
  explicit BundleCopy(bool withStarter = true) {
    chmod(dir_.path().c_str(), 0755);
    fs::create_directories(macos());
    fs::copy(kBuiltBundle + "/Contents/Info.plist", contents() + "/Info.plist");
    fs::copy(kBuiltBundle + "/Contents/Resources", contents() + "/Resources", fs::copy_options::recursive);
    fs::copy_file(kExecutable, executable());
    if (withStarter) fs::copy_file(kBuiltBundle + "/Contents/MacOS/Dashboard Starter", starter());
    for (const std::string& folder : {bundle(), contents(), macos()}) chmod(folder.c_str(), 0755);
  }
  std::string bundle() const { return dir_ / "Dashboard.app"; }
  std::string contents() const { return bundle() + "/Contents"; }
  std::string macos() const { return contents() + "/MacOS"; }
  std::string executable() const { return macos() + "/Dashboard"; }
  std::string starter() const { return macos() + "/Dashboard Starter"; }
  const std::string& root() const { return dir_.path(); }

 private:
  testing_support::TempDir dir_;
};

std::vector<std::string> ApplicationEnvironment(const std::string& home) {
  return EnvironmentWith({"HOME=" + home}, {"QPX_LAUNCH_COMMAND", _QPX_Framework_Privileged_HandleVariable});
}

TEST(PrivilegedEndToEnd, ApplicationStartsItsRootInstanceWhichEndsWithIt) {
  if (!IsRoot()) GTEST_SKIP() << "the Starter of the build tree has no set-user-ID bit; needs root";
  testing_support::TempDir home;
  const ProgramResult result = RunProgram({kExecutable}, ApplicationEnvironment(home.path()));
  EXPECT_EQ(result.status, 0) << result.output;
  // The output closes only when the root instance, which shares it, has ended too.
  EXPECT_FALSE(result.timedOut) << result.output;
  EXPECT_EQ(result.output.find("Assertion"), std::string::npos) << result.output;
}

TEST(PrivilegedEndToEnd, NoRunningMeansStatusOne) {
  struct Case {
    const char* name;
    const char* starterScript;  // null: no Starter at all
    const char* expected;
  };
  const Case cases[] = {
      {"missing Starter", nullptr, "Unable to start the privileged process"},
      {"Starter that gives up", "#!/bin/sh\nexit 1\n", "end of the pipe"},
  };
  for (const Case& c : cases) {
    BundleCopy copy(false);
    if (c.starterScript != nullptr) {
      testing_support::WriteFile(copy.starter(), c.starterScript);
      chmod(copy.starter().c_str(), 0755);
    }
    testing_support::TempDir home;
    const ProgramResult result = RunProgram({copy.executable()}, ApplicationEnvironment(home.path()));
    EXPECT_EQ(result.status, 1) << c.name << "\n" << result.output;
    EXPECT_NE(result.output.find(c.expected), std::string::npos) << c.name << "\n" << result.output;
    EXPECT_FALSE(result.timedOut) << c.name;
  }
}

// The test plays the application: it opens the pair and starts the root instance directly,
// as the Starter would.
class RootInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!IsRoot()) GTEST_SKIP() << "the root instance needs root";
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    fd_ = pair[0];
    const int childEnd = pair[1];
    fcntl(childEnd, F_SETFD, 0);
    std::vector<std::string> environment =
        EnvironmentWith({"HOME=" + home_.path(), std::string(_QPX_Framework_Privileged_HandleVariable) + "=" +
                                                     std::to_string(childEnd)});
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = copy_.executable();
    char* argv[] = {program.data(), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    close(childEnd);
    // A guard against a hung instance: killing it ends the pipe, which fails the test.
    watchdog_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!done_cv_.wait_for(lock, std::chrono::seconds(60), [this] { return done_; })) kill(pid_, SIGKILL);
    });
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
  }

  // Sends the request; answers the reply and counts the logging records before it.
  Value Ask(const Value& request, std::vector<Value>* records = nullptr) {
    EXPECT_EQ(WriteMessage(fd_, request), Status::Ok);
    for (;;) {
      privileged_pipe::ReadResult message = ReadMessage(fd_);
      if (message.status != Status::Ok) {
        ADD_FAILURE() << privileged_pipe::StatusText(message.status);
        return Value();
      }
      const Value record = message.value.get("Logging");
      if (record.isNull()) return message.value;
      if (records) records->push_back(record);
    }
  }

  BundleCopy copy_;
  testing_support::TempDir home_;
  int fd_ = -1;
  pid_t pid_ = -1;
  std::thread watchdog_;
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
};

TEST_F(RootInstance, AnswersRunningThenRequestsWithRelayedLogging) {
  privileged_pipe::ReadResult first = ReadMessage(fd_);
  ASSERT_EQ(first.status, Status::Ok);
  EXPECT_EQ(first.value, Value("Running"));

  const Value settings{{"Password", Value("hunter2")}, {"Name", Value("Tamsel")}};
  const std::string xml = platform::plist::ToXml(settings);
  std::vector<Value> records;
  EXPECT_EQ(Ask(Value{{"Command", Value("Save Data")},
                      {"Filename", Value("Settings.plist")},
                      {"Data", Value::Data(xml)}},
                &records),
            Value::EmptyDictionary());
  const std::string saved = copy_.bundle() + "/Contents/Resources/QPX/Settings.plist";
  EXPECT_EQ(testing_support::ReadFile(saved), xml);
  struct stat info {};
  ASSERT_EQ(stat(saved.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  // The request and the reply are logged over the pipe, in order, before the reply.
  ASSERT_FALSE(records.empty());
  bool sawRequest = false;
  for (const Value& record : records) {
    const std::string message = record.get("Message").string();
    sawRequest = sawRequest || message.rfind("Received: ", 0) == 0;
    EXPECT_EQ(message.find("hunter2"), std::string::npos) << message;
    EXPECT_TRUE(record.get("Source file").isData());
    EXPECT_TRUE(record.get("Entry class").isNumber());
    EXPECT_GT(record.get("Time").toInt64(), 0);
  }
  EXPECT_TRUE(sawRequest);

  // Hostile requests are answered, and the instance goes on serving.
  const Value failed{{"Failed", Value(true)}};
  EXPECT_EQ(Ask(Value{{"Command", Value("Save Data")},
                      {"Filename", Value("../../Info.plist")},
                      {"Data", Value::Data("x")}}),
            failed);
  EXPECT_EQ(Ask(Value{{"Command", Value("Format Disk")}}), failed);
  EXPECT_EQ(Ask(Value("Save Data")), failed);
  EXPECT_EQ(Ask(Value()), failed);
  EXPECT_EQ(
      Ask(Value{{"Command", Value("Save Data")}, {"Filename", Value("Again")}, {"Data", Value::Data("y")}}),
      Value::EmptyDictionary());

  // Closing the application's end ends the instance with status 1.
  close(fd_);
  fd_ = -1;
  int status = 0;
  ASSERT_EQ(waitpid(pid_, &status, 0), pid_);
  pid_ = -1;
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

// The application run by an ordinary user, with a set-user-ID Starter as an installation has it.
class UnprivilegedUser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!IsRoot()) GTEST_SKIP() << "creating users needs root";
    struct statvfs info {};
    if (statvfs(copy_.root().c_str(), &info) != 0 || (info.f_flag & ST_NOSUID) != 0)
      GTEST_SKIP() << "the temporary folder ignores set-user-ID bits";
    group_ = std::make_unique<starter_testing::ScopedGroup>(DASHBOARD_STARTER_GROUP);
    if (!group_->valid()) GTEST_SKIP() << "no group " << DASHBOARD_STARTER_GROUP;
    member_ = std::make_unique<starter_testing::ScopedUser>(
        starter_testing::UniqueName("dbam"), std::vector<std::string>{DASHBOARD_STARTER_GROUP});
    outsider_ = std::make_unique<starter_testing::ScopedUser>(starter_testing::UniqueName("dbao"),
                                                              std::vector<std::string>{});
    if (!member_->valid() || !outsider_->valid()) GTEST_SKIP() << "users cannot be created here";
    ASSERT_EQ(chmod(copy_.starter().c_str(), 04755), 0);
  }

  ProgramResult RunAs(const starter_testing::ScopedUser& user) {
    testing_support::TempDir home;
    EXPECT_EQ(chown(home.path().c_str(), user.identity().uid, user.identity().gid), 0);
    return RunProgram({copy_.executable()}, ApplicationEnvironment(home.path()), user.identity(),
                      home.path());
  }

  BundleCopy copy_;
  std::unique_ptr<starter_testing::ScopedGroup> group_;
  std::unique_ptr<starter_testing::ScopedUser> member_, outsider_;
};

TEST_F(UnprivilegedUser, MemberGetsItsPrivilegedProcess) {
  const ProgramResult result = RunAs(*member_);
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_FALSE(result.timedOut) << result.output;
}

TEST_F(UnprivilegedUser, StarterRefusesOutsiderSoTheApplicationEnds) {
  const ProgramResult result = RunAs(*outsider_);
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_NE(result.output.find("not a member"), std::string::npos) << result.output;
  EXPECT_FALSE(result.timedOut) << result.output;
}

}  // namespace
