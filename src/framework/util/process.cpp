#include "framework/util/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "framework/core/log.h"
#include "framework/util/misc.h"

extern char** environ;

namespace {

// posix_spawn's attributes and file actions, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    attrOK_ = ::posix_spawnattr_init(&attr_) == 0;
    actionsOK_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSetup() {
    if (attrOK_) ::posix_spawnattr_destroy(&attr_);
    if (actionsOK_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard input from /dev/null, standard output into the pipe, default signal handling,
  // an empty signal mask, and no other descriptor of ours. Answers 0 or an errno.
  int Prepare(int outputFd) {
    if (!attrOK_ || !actionsOK_) return ENOMEM;
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    int error = ::posix_spawnattr_setsigdefault(&attr_, &all);
    if (error == 0) error = ::posix_spawnattr_setsigmask(&attr_, &none);
    if (error == 0)
      error = ::posix_spawnattr_setflags(&attr_,
                                         static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
    if (error == 0)
      error = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (error == 0) error = ::posix_spawn_file_actions_adddup2(&actions_, outputFd, STDOUT_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors of other threads that lack close-on-exec (sockets to the privileged side,
    // serial ports) must not live on in the child.
    if (error == 0) error = ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
#endif
    return error;
  }

  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attr_{};
  posix_spawn_file_actions_t actions_{};
  bool attrOK_ = false;
  bool actionsOK_ = false;
};

}  // namespace

bool QPX_Framework_ProcessResult::exited() const { return started && WIFEXITED(rawStatus); }

int QPX_Framework_ProcessResult::exitCode() const { return exited() ? WEXITSTATUS(rawStatus) : -1; }

int QPX_Framework_ProcessResult::terminatingSignal() const {
  return started && WIFSIGNALED(rawStatus) ? WTERMSIG(rawStatus) : 0;
}

QPX_Framework_ProcessResult QPX_Framework_Process_Run(const std::vector<std::string>& argv) {
  QPX_Assert(!argv.empty() && !argv[0].empty());
  QPX_Framework_ProcessResult result;

  // Everything the child needs is made before it starts.
  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.startError = errno;
    return result;
  }
  SpawnSetup setup;
  int error = setup.Prepare(fds[1]);
  pid_t pid = -1;
  if (error == 0)
    error = ::posix_spawnp(&pid, arguments[0], setup.actions(), setup.attr(), arguments.data(), environ);
  ::close(fds[1]);
  if (error != 0) {
    ::close(fds[0]);
    result.startError = error;
    return result;
  }
  result.started = true;

  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(fds[0], buffer, sizeof buffer);
    if (count > 0) {
      result.output.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0) {
      break;
    } else if (errno != EINTR) {
      result.readFailed = true;
      result.readError = errno;
      break;
    }
  }
  // Closing our end first lets a child still writing end on a broken pipe instead of
  // blocking, so the wait below cannot hang after a read error.
  ::close(fds[0]);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      // The child was reaped elsewhere (SIGCHLD ignored); its status is unknown.
      status = 127 << 8;  // counts as a failed run
      break;
    }
  }
  result.rawStatus = status;
  return result;
}

std::optional<std::string> QPX_Framework_RunCommand_Sync(const std::vector<std::string>& argv) {
  const QPX_Framework_ProcessResult result = QPX_Framework_Process_Run(argv);
  if (!result.started) {
    QPX_Log(QPX_LOG_ERROR, "%s: %s", QPX_Framework_CommandLineForDisplay(argv).c_str(),
            std::strerror(result.startError));
    return std::nullopt;
  }
  if (result.readFailed) {
    QPX_Log(QPX_LOG_ERROR, "%s: %s", QPX_Framework_CommandLineForDisplay(argv).c_str(),
            std::strerror(result.readError));
    return std::nullopt;
  }
  if (!result.exited() || result.exitCode() != 0) {
    QPX_Log(QPX_LOG_ERROR, "Status: %s -> %d", QPX_Framework_CommandLineForDisplay(argv).c_str(),
            result.rawStatus);
    return std::nullopt;
  }
  if (!QPX_Framework_IsValidUTF8(result.output)) {
    QPX_Log(QPX_LOG_ERROR, "%s: output is not UTF-8", QPX_Framework_CommandLineForDisplay(argv).c_str());
    return std::nullopt;
  }
  return result.output;
}

std::string QPX_Framework_QuoteArgument(std::string_view argument) {
  return QPX_Framework_SystemFilename(argument);
}

std::string QPX_Framework_CommandLineForDisplay(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& argument : argv) {
    if (!line.empty()) line.push_back(' ');
    line += QPX_Framework_QuoteArgument(argument);
  }
  return line;
}
