#include "app/privileged_launch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "app/privileged_pipe.h"
#include "framework/core/startup.h"
#include "platform/assert.h"
#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace {

TEST(PrivilegedRootRole, OnlyRootWithAStreamSocketTakesIt) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  int datagrams[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, datagrams), 0);
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  EXPECT_EQ(QPX_Framework_Privileged_IsRootInstance(pair[0]), geteuid() == 0);
  EXPECT_FALSE(QPX_Framework_Privileged_IsRootInstance(datagrams[0]));
  EXPECT_FALSE(QPX_Framework_Privileged_IsRootInstance(pipeFds[0]));
  EXPECT_FALSE(QPX_Framework_Privileged_IsRootInstance(-1));
  const int closed = dup(pair[1]);
  close(closed);
  EXPECT_FALSE(QPX_Framework_Privileged_IsRootInstance(closed));
  for (int fd : {pair[0], pair[1], datagrams[0], datagrams[1], pipeFds[0], pipeFds[1]}) close(fd);
}

// A bundle whose Starter is a script that writes the given first message on the handle it
// gets and then waits for the pipe to end.
class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  void InstallStarter(const Value* firstMessage) {
    std::string script = "#!/bin/bash\n";
    if (firstMessage != nullptr) {
      std::string wire;
      ASSERT_EQ(privileged_pipe::Encode(*firstMessage, wire), privileged_pipe::Status::Ok);
      const std::string bytes = fixture_.rootPath() + "/first";
      testing_support::WriteFile(bytes, wire);
      script += "cat '" + bytes + "' >&$_QPX_FRAMEWORK_PRIVILEGED_HANDLE\n";
      script += "cat <&$_QPX_FRAMEWORK_PRIVILEGED_HANDLE >/dev/null\n";
    }
    fixture_.AddFile("Contents/MacOS/Dashboard Starter", script, 0755);
    fixture_.Install();
  }

  static void Reap() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }

  testing_support::BundleFixture fixture_;
};

TEST_F(LaunchTest, RunningStartsTheApplicationSide) {
  const Value running("Running");
  InstallStarter(&running);
  const int savedFd = _QPX_Framework_Fd;
  QPX_Framework_LaunchPrivileged();
  const int fd = _QPX_Framework_Fd;
  EXPECT_GE(fd, 0);
  EXPECT_EQ(_QPX_Framework_Privileged_GetFd(), fd);
  // The application's end does not leak into programs it starts.
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  close(fd);
  _QPX_Framework_Fd = savedFd;
  unsetenv(_QPX_Framework_Privileged_HandleVariable);
  wait(nullptr);
}

TEST_F(LaunchTest, FirstMessageOtherThanRunningIsAnAssertion) {
  const Value answers[] = {Value("Stopped"), Value(1), Value::EmptyDictionary()};
  for (const Value& answer : answers) {
    InstallStarter(&answer);
    const int savedFd = _QPX_Framework_Fd;
    EXPECT_THROW(QPX_Framework_LaunchPrivileged(), platform::AssertionFailure) << answer.Description();
    close(_QPX_Framework_Fd);
    _QPX_Framework_Fd = savedFd;
    wait(nullptr);
  }
  unsetenv(_QPX_Framework_Privileged_HandleVariable);
}

TEST_F(LaunchTest, NoAnswerEndsWithStatusOne) {
  InstallStarter(nullptr);
  EXPECT_EXIT(QPX_Framework_LaunchPrivileged(), ::testing::ExitedWithCode(1), "end of the pipe");
  Reap();
}

TEST_F(LaunchTest, MissingStarterEndsWithStatusOne) {
  fixture_.Install();
  EXPECT_EXIT(QPX_Framework_LaunchPrivileged(), ::testing::ExitedWithCode(1), "");
}

int FailingSpawn(pid_t*, const char*, char* const[], char* const[]) { return EAGAIN; }

TEST_F(LaunchTest, FailedStartEndsWithStatusOne) {
  const Value running("Running");
  InstallStarter(&running);
  EXPECT_EXIT(
      {
        QPX_Framework_Privileged_SetSpawnFunction(&FailingSpawn);
        QPX_Framework_LaunchPrivileged();
      },
      ::testing::ExitedWithCode(1), "");
}

TEST_F(LaunchTest, FailedSocketPairEndsWithStatusOne) {
  const Value running("Running");
  InstallStarter(&running);
  EXPECT_EXIT(
      {
        // Room for one more descriptor only: the pair needs two.
        const int probe = open("/dev/null", O_RDONLY);
        close(probe);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = rlim_t(probe + 1);
        setrlimit(RLIMIT_NOFILE, &limit);
        QPX_Framework_LaunchPrivileged();
      },
      ::testing::ExitedWithCode(1), "socketpair");
}

TEST_F(LaunchTest, StarterPathFollowsTheBundle) {
  fixture_.SetInfo("CFBundleExecutable", Value("Tamsel"));
  fixture_.Install();
  EXPECT_EQ(QPX_Framework_Privileged_StarterPath(), fixture_.bundlePath() + "/Contents/MacOS/Tamsel Starter");
  fixture_.SetInfo("CFBundleExecutable", Value());
  fixture_.Install();
  EXPECT_EQ(QPX_Framework_Privileged_StarterPath(), "");
}

}  // namespace
