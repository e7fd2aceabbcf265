// The set-user-ID Starter: starts the main executable beside it again as root. See
// starter_core.h for what it checks before it does.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/authorization.h"
#include "starter/starter_core.h"

#ifndef DASHBOARD_STARTER_GROUP
#define DASHBOARD_STARTER_GROUP "netdev"
#endif

namespace {

constexpr const char* kHandleVariable = "_QPX_FRAMEWORK_PRIVILEGED_HANDLE";

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::unique_ptr<platform::Authorization> MakeAuthorization() {
#ifdef DASHBOARD_STARTER_TEST_BUILD
  // Only the copy built for the tests has a simulated consent; the Starter in the bundle
  // has no way to select it.
  const char* consent = std::getenv("DASHBOARD_TEST_CONSENT");
  const char* elevator = std::getenv("DASHBOARD_TEST_ELEVATOR");
  return std::make_unique<platform::SimulatedAuthorization>(
      consent != nullptr && std::strcmp(consent, "grant") == 0, elevator != nullptr ? elevator : "");
#else
  return platform::MakePolkitAuthorization();
#endif
}

// Without a window system of its own (a set-user-ID program must not load a toolkit), the
// alert goes to standard error, in the user's language.
void ShowAlert(const std::string& title, const std::string& detail) {
  const starter::AlertStrings strings = starter::GetStrings(starter::PreferredLanguagesFromEnvironment());
  if (!detail.empty()) std::fprintf(stderr, "%s: %s\n", title.c_str(), detail.c_str());
  std::fprintf(stderr, "%s: %s [%s]\n", title.c_str(), strings.message, strings.button);
}

std::string Title(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  return slash == std::string::npos ? target : target.substr(slash + 1);
}

// Has the rights repaired by an administrator and starts the Starter again; returns only on
// failure, after the alert.
void FixSetuid(char** argv, const std::string& self, const std::string& title) {
  if (std::getenv(starter::kRepairedVariable) != nullptr) {
    ShowAlert(title, "the repaired rights did not take effect");
    return;
  }
  std::unique_ptr<platform::Authorization> authorization = MakeAuthorization();
  if (!authorization || !authorization->Obtain()) {
    ShowAlert(title,
              authorization ? "authorization refused" : "no authorization service (pkexec) is installed");
    return;
  }
  const int status = authorization->ExecuteWithPrivileges(self, {starter::kRepairArgument});
  if (status != 0) {
    ShowAlert(title, "the rights could not be repaired");
    return;
  }
  setenv(starter::kRepairedVariable, "1", 1);
  execv(self.c_str(), argv);
  ShowAlert(title, std::string("unable to start ") + self + ": " + std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 0 || argv[argc] != nullptr) {
    std::fputs("argv[argc]==NULL\n", stderr);
    std::abort();
  }
  const std::string self = starter::OwnExecutablePath();
  const std::string target = starter::TargetExecutable(self);
  if (self.empty() || target.empty()) {
    std::fprintf(stderr, "Starter: unable to find the program to start from \"%s\"\n", self.c_str());
    return 1;
  }
  const std::string title = Title(target);

  // Started as root by the authorisation service, only to repair the rights.
  if (argc == 2 && std::strcmp(argv[1], starter::kRepairArgument) == 0) {
    // Without root rights there is nothing to repair with; going on would ask again.
    if (getuid() != 0 || geteuid() != 0) {
      std::fputs("Starter: repairing the rights needs root\n", stderr);
      return 1;
    }
    // The file repaired is the one running here, whatever its name points to by now.
    struct stat running {};
    if (stat("/proc/self/exe", &running) != 0) {
      std::perror("Starter: /proc/self/exe");
      return 1;
    }
    std::string problem;
    if (!starter::RepairRights(self, problem, &running)) {
      std::fprintf(stderr, "Starter: %s\n", problem.c_str());
      return 1;
    }
    return 0;
  }

  // A real root caller may start what it likes; everyone else only the protected program,
  // and only as a member of the group.
  if (getuid() != 0) {
    if (!starter::IsMemberOfGroup(getuid(), DASHBOARD_STARTER_GROUP)) {
      std::fprintf(stderr, "Starter: the user is not a member of the group \"%s\"\n",
                   DASHBOARD_STARTER_GROUP);
      return 1;
    }
    std::string problem;
    if (!starter::CheckOwnershipChain(target, problem)) {
      std::fprintf(stderr, "Starter: refusing to start \"%s\": %s\n", target.c_str(), problem.c_str());
      return 1;
    }
    // Without its pipe the root instance would carry on as a whole application running as
    // root; only a caller that brings the pipe gets one.
    if (!starter::IsUnixStreamSocket(starter::ParseHandle(std::getenv(kHandleVariable)))) {
      std::fprintf(stderr, "Starter: %s does not name an open socket\n", kHandleVariable);
      return 1;
    }
  }

  if (geteuid() == 0) {
    // Wholly root: the user's groups and IDs stay behind.
    if (setgroups(0, nullptr) != 0 || setgid(0) != 0 || setuid(0) != 0) {
      std::perror("Starter: unable to become root");
      return 1;
    }
    std::vector<std::string> environment = starter::CleanEnvironment(environ);
    std::vector<char*> envp = Pointers(environment);
    std::string problem;
    if (!starter::ResetProcessState(starter::ParseHandle(std::getenv(kHandleVariable)), problem)) {
      std::fprintf(stderr, "Starter: %s\n", problem.c_str());
      return 1;
    }
    execve(target.c_str(), argv, envp.data());
    std::fprintf(stderr, "Starter: unable to start \"%s\": %s\n", target.c_str(), std::strerror(errno));
    return 1;
  }

  FixSetuid(argv, self, title);
  return 1;
}
