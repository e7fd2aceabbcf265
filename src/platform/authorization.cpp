#include "platform/authorization.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace platform {

const char* const kPkexecPath = "/usr/bin/pkexec";

int RunAndWait(const std::vector<std::string>& argv, char* const* environment) {
  if (argv.empty()) return -1;
  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0].c_str(), nullptr, nullptr, arguments.data(), environment) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

class PolkitAuthorization : public Authorization {
 public:
  // pkexec asks while it runs; there is nothing to ask for in advance.
  bool Obtain() override { return access(kPkexecPath, X_OK) == 0; }

  int ExecuteWithPrivileges(const std::string& program, const std::vector<std::string>& arguments) override {
    std::vector<std::string> argv{kPkexecPath, program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // pkexec clears the environment of what it runs itself; the session's variables are
    // what its authentication agent needs.
    return RunAndWait(argv, environ);
  }
};

}  // namespace

std::unique_ptr<Authorization> MakePolkitAuthorization() {
  if (access(kPkexecPath, X_OK) != 0) return nullptr;
  return std::make_unique<PolkitAuthorization>();
}

SimulatedAuthorization::SimulatedAuthorization(bool grant, std::string elevator)
    : grant_(grant), elevator_(std::move(elevator)) {}

bool SimulatedAuthorization::Obtain() {
  ++obtainCount_;
  granted_ = grant_;
  return granted_;
}

int SimulatedAuthorization::ExecuteWithPrivileges(const std::string& program,
                                                  const std::vector<std::string>& arguments) {
  // Like the real service: nothing runs without a granted consent.
  if (!granted_) return -1;
  std::vector<std::string> argv;
  if (!elevator_.empty()) argv.push_back(elevator_);
  argv.push_back(program);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunAndWait(argv, environ);
}

}  // namespace platform
