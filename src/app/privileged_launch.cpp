#include "app/privileged_launch.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/privileged_pipe.h"
#include "app/privileged_process.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "platform/bundle.h"
#include "platform/unix_socket.h"

extern char** environ;

namespace {

int SpawnStarter(pid_t* pid, const char* path, char* const argv[], char* const envp[]) {
  return posix_spawn(pid, path, nullptr, nullptr, argv, envp);
}

std::atomic<QPX_Framework_Privileged_SpawnFunction> g_spawn{&SpawnStarter};

[[noreturn]] void FailStart(const char* what, int error) {
  QPX_Log(QPX_LOG_ERROR, "Unable to start the privileged process: %s: %s", what, std::strerror(error));
  // The process ends here: the reason must be seen even with the debug log off.
  std::fprintf(stderr, "Unable to start the privileged process: %s: %s\n", what, std::strerror(error));
  std::fflush(nullptr);
  _exit(1);
}

}  // namespace

QPX_Framework_Privileged_SpawnFunction QPX_Framework_Privileged_SetSpawnFunction(
    QPX_Framework_Privileged_SpawnFunction spawn) {
  return g_spawn.exchange(spawn != nullptr ? spawn : &SpawnStarter);
}

bool QPX_Framework_Privileged_IsRootInstance(int fd) {
  return geteuid() == 0 && platform::IsUnixStreamSocket(fd);
}

void QPX_Framework_Privileged_BecomeRootInstance(int fd) {
  QPX_Framework_IsPrivileged = true;
  _QPX_Framework_Fd = fd;
  // The root instance never shows a window: an assertion is logged and ends it with status 1.
  QPX_Framework_Assert_Alert = nullptr;
  // The descriptor must not leak into programs the privileged commands start.
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  QPX_Framework_Log_Internal_Privileged = &QPX_Framework_Privileged_LogRelay;
  // "Running" is the first message: nothing may be logged (and so sent) before it.
  _QPX_Framework_Privileged_Send(fd, Value(_QPX_Framework_Privileged_StartupString));
  QPX_Framework_Privileged_Main();
  std::fflush(nullptr);
  _exit(1);
}

std::string QPX_Framework_Privileged_StarterPath() {
  auto bundle = platform::Bundle::Main();
  if (!bundle) return {};
  const Value executable = bundle->objectForInfoKey("CFBundleExecutable");
  if (!executable.isString() || executable.string().empty()) return {};
  return bundle->bundlePath() + "/Contents/MacOS/" + executable.string() + " Starter";
}

void QPX_Framework_LaunchPrivileged() {
  const int inherited = _QPX_Framework_Privileged_GetFd();
  if (QPX_Framework_Privileged_IsRootInstance(inherited))
    QPX_Framework_Privileged_BecomeRootInstance(inherited);

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) FailStart("socketpair", errno);
  const int own = pair[0];
  const int childEnd = pair[1];

  if (QPX_Framework_Application_RunMode == 2) setsid();

  const std::string starter = QPX_Framework_Privileged_StarterPath();
  if (starter.empty()) FailStart("no Starter", ENOENT);

  // Everything the child needs is made before it starts: the arguments as this process got
  // them, and the environment with the handle of the child's end.
  std::vector<char*> argv;
  if (_QPX_Framework_Argv != nullptr) {
    for (int i = 0; i < _QPX_Framework_Argc; ++i) argv.push_back(_QPX_Framework_Argv[i]);
  } else {
    argv.push_back(const_cast<char*>(starter.c_str()));
  }
  argv.push_back(nullptr);
  const std::string handlePrefix = std::string(_QPX_Framework_Privileged_HandleVariable) + "=";
  const std::string childHandle = handlePrefix + std::to_string(childEnd);
  std::vector<char*> envp;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
    if (std::strncmp(*entry, handlePrefix.c_str(), handlePrefix.size()) != 0) envp.push_back(*entry);
  envp.push_back(const_cast<char*>(childHandle.c_str()));
  envp.push_back(nullptr);

  // Only the child's end crosses into the Starter.
  fcntl(childEnd, F_SETFD, 0);
  pid_t pid = 0;
  const int spawnError = g_spawn.load()(&pid, starter.c_str(), argv.data(), envp.data());
  close(childEnd);
  if (spawnError != 0) FailStart(starter.c_str(), spawnError);

  _QPX_Framework_Fd = own;
  setenv(_QPX_Framework_Privileged_HandleVariable, std::to_string(own).c_str(), 1);

  // No answer (the Starter refused or failed) ends this process with status 1 in Receive.
  const Value first = _QPX_Framework_Privileged_Receive(own);
  QPX_Assert_Detail(first.isString(), Value(privileged_pipe::Describe(first)));
  QPX_Assert_Detail(first.string() == _QPX_Framework_Privileged_StartupString, first);
  QPX_Log(QPX_LOG_MILESTONE, "Privileged process (%d) answered \"%s\"", int(pid), first.string().c_str());
}
