// Runs the built executable from its bundle, as the launch agent and the user would.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/plist.h"
#include "testing/test_support.h"

extern char** environ;

namespace {

struct RunResult {
  int status = -1;  // exit status; -1 when the process did not exit normally
  std::string standardError;
};

// Runs the program with argument 0 as given, HOME pointing at `home` and no launch command.
RunResult RunProgram(const std::string& program, const std::string& argv0, const std::string& home) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (variable.rfind("HOME=", 0) == 0 || variable.rfind("QPX_LAUNCH_COMMAND=", 0) == 0) continue;
    environment.push_back(variable);
  }
  environment.push_back("HOME=" + home);
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string arg0 = argv0;
  char* argv[] = {arg0.data(), nullptr};

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  pid_t pid = 0;
  const int spawnError = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  RunResult result;
  if (spawnError != 0) {
    close(pipeFds[0]);
    result.standardError = std::strerror(spawnError);
    return result;
  }
  char buffer[4096];
  ssize_t count;
  while ((count = read(pipeFds[0], buffer, sizeof buffer)) > 0)
    result.standardError.append(buffer, size_t(count));
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

class DashboardExecutable : public ::testing::Test {
 protected:
  void SetUp() override {
    // All debug log levels on, so start-up writes every entry it has.
    std::filesystem::create_directories(home_ / ".config");
    ASSERT_TRUE(platform::plist::WriteFileAtomically(home_ / ".config/net.tamsel.dashboard.plist",
                                                     Value{{"Talvoro-Logging", Value(0)}}))
        << std::strerror(errno);
  }
  testing_support::TempDir home_;
};

const std::string kExecutable = DASHBOARD_EXECUTABLE;

TEST_F(DashboardExecutable, StartsInApplicationAndLauncherModes) {
  for (const std::string& argv0 : {kExecutable, kExecutable + " Launcher"}) {
    const RunResult result = RunProgram(kExecutable, argv0, home_.path());
    EXPECT_EQ(result.status, 0) << argv0 << "\n" << result.standardError;
    EXPECT_EQ(result.standardError.find("|Error|"), std::string::npos) << result.standardError;
    EXPECT_EQ(result.standardError.find("Assertion"), std::string::npos) << result.standardError;
  }
}

TEST_F(DashboardExecutable, BundleWithoutRequiredKeyDoesNotStart) {
  // A copy of the executable in a bundle whose information lacks the build time.
  testing_support::TempDir root;
  const std::string bundle = root / "Dashboard.app";
  std::filesystem::create_directories(bundle + "/Contents/MacOS");
  const std::string copy = bundle + "/Contents/MacOS/Dashboard";
  std::filesystem::copy_file(kExecutable, copy);
  const std::string original = std::filesystem::path(kExecutable).parent_path().parent_path() / "Info.plist";
  auto info = platform::plist::ReadFile(original);
  ASSERT_TRUE(info && info->isDictionary());
  info->set("QPX Build Time", Value());
  ASSERT_TRUE(platform::plist::WriteFileAtomically(bundle + "/Contents/Info.plist", *info));

  const RunResult result = RunProgram(copy, copy, home_.path());
  EXPECT_EQ(result.status, 1) << result.standardError;
  EXPECT_NE(result.standardError.find("QPX Build Time"), std::string::npos) << result.standardError;
}

}  // namespace
