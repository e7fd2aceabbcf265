// Runs the built executable from its bundle, as the launch agent and the user would.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// The environment of a run: this process's, with HOME pointing at `home`, no launch command,
// windows drawn offscreen and, with a snapshot folder, pictures of the windows written there
// once start-up has settled, after which the program ends by itself.
std::vector<std::string> ProgramEnvironment(const std::string& home, const std::string& snapshotFolder) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (variable.rfind("HOME=", 0) == 0 || variable.rfind("QPX_LAUNCH_COMMAND=", 0) == 0 ||
        variable.rfind("DASHBOARD_SNAPSHOT_DIR=", 0) == 0 || variable.rfind("QT_QPA_PLATFORM=", 0) == 0)
      continue;
    environment.push_back(variable);
  }
  environment.push_back("HOME=" + home);
  environment.push_back("QT_QPA_PLATFORM=offscreen");
  if (!snapshotFolder.empty()) environment.push_back("DASHBOARD_SNAPSHOT_DIR=" + snapshotFolder);
  return environment;
}

// Runs the program with argument 0 as given (see ProgramEnvironment) until it ends.
RunResult RunProgram(const std::string& program, const std::string& argv0, const std::string& home,
                     const std::string& snapshotFolder) {
  std::vector<std::string> environment = ProgramEnvironment(home, snapshotFolder);
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
  testing_support::TempDir snapshots_;
};

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Whether the process catches the signal (its handler is installed), from /proc.
bool CatchesSignal(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (signal - 1)) & 1;
  }
  return false;
}

const std::string kExecutable = DASHBOARD_EXECUTABLE;

TEST_F(DashboardExecutable, StartsInApplicationAndLauncherModes) {
  for (const std::string& argv0 : {kExecutable, kExecutable + " Launcher"}) {
    const RunResult result = RunProgram(kExecutable, argv0, home_.path(), snapshots_.path());
    EXPECT_EQ(result.status, 0) << argv0 << "\n" << result.standardError;
    EXPECT_EQ(result.standardError.find("|Error|"), std::string::npos) << result.standardError;
    EXPECT_EQ(result.standardError.find("Assertion"), std::string::npos) << result.standardError;
  }
}

TEST_F(DashboardExecutable, TheApplicationShowsItsMainWindowAndTheDebuggerWhenAsked) {
  // The debugger exists only with "Talvoro-Debug" set.
  ASSERT_TRUE(platform::plist::WriteFileAtomically(home_ / ".config/net.tamsel.dashboard.plist",
                                                   Value{{"Talvoro-Logging", Value(0)}, {"Talvoro-Debug", Value(true)}}));
  const RunResult result = RunProgram(kExecutable, kExecutable, home_.path(), snapshots_.path());
  EXPECT_EQ(result.status, 0) << result.standardError;
  const std::vector<std::string> files = FilesIn(snapshots_.path());
  ASSERT_EQ(files.size(), 2u) << result.standardError;
  EXPECT_NE(files[0].find("Debugging Options"), std::string::npos) << files[0];
  EXPECT_NE(files[1].find("Dashboard"), std::string::npos) << files[1];
}

TEST_F(DashboardExecutable, ATerminationSignalEndsTheApplicationCleanly) {
  std::vector<std::string> environment = ProgramEnvironment(home_.path(), "");
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string arg0 = kExecutable;
  char* argv[] = {arg0.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, kExecutable.c_str(), &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  // The main thread watches for the signal once it runs; until then the signal would end
  // the process the hard way. The limit only keeps a broken start from hanging the test.
  bool ready = false;
  for (int i = 0; i < 6000 && !ready; ++i) {
    ready = CatchesSignal(pid, SIGTERM);
    if (!ready) usleep(10000);
  }
  EXPECT_TRUE(ready);
  kill(pid, SIGTERM);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
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

  const RunResult result = RunProgram(copy, copy, home_.path(), snapshots_.path());
  EXPECT_EQ(result.status, 1) << result.standardError;
  EXPECT_NE(result.standardError.find("QPX Build Time"), std::string::npos) << result.standardError;
}

}  // namespace
