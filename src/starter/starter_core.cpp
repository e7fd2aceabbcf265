#include "starter/starter_core.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/unix_socket.h"

namespace starter {

const char* const kRepairArgument = "--repair-starter-rights";
const char* const kRepairedVariable = "_QPX_STARTER_REPAIRED";
const char* const kCleanPath = "/usr/sbin:/usr/bin:/sbin:/bin";

namespace {

constexpr const char* kHandleVariable = "_QPX_FRAMEWORK_PRIVILEGED_HANDLE";
constexpr const char* kStarterEnding = " Starter";
constexpr const char* kExecutableFolder = "/Contents/MacOS/";

const AlertStrings kAlertStrings[] = {
    {"en", "This application requires administrative privileges to complete installation", "Quit"},
    {"de", "Diese Anwendung benötigt Administratorrechte um die Installation abzuschliessen", "Beenden"},
};

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool IsLocaleVariable(const std::string& name) {
  return name == "LANG" || name == "LANGUAGE" || StartsWith(name, "LC_");
}

std::string ParentFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

// One entry of the chain: root-owned, a plain file or folder (no link), not writable by group
// or others unless it is a folder with the sticky bit.
bool CheckEntry(const std::string& path, bool mustBeFolder, std::string& problem) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    problem = path + " is a symbolic link";
    return false;
  }
  const bool isFolder = S_ISDIR(info.st_mode);
  if (mustBeFolder ? !isFolder : !S_ISREG(info.st_mode)) {
    problem = path + (mustBeFolder ? " is not a folder" : " is not a regular file");
    return false;
  }
  if (info.st_uid != 0) {
    problem = path + " is not owned by root";
    return false;
  }
  const bool sticky = isFolder && (info.st_mode & S_ISVTX) != 0;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
    problem = path + " is writable by group or others";
    return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> CleanEnvironment(char* const* environment) {
  std::vector<std::string> result;
  for (char* const* entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    const std::size_t equals = variable.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = variable.substr(0, equals);
    const std::string value = variable.substr(equals + 1);
    if (name == kHandleVariable) {
      result.push_back(variable);
    } else if (IsLocaleVariable(name) && value.find('/') == std::string::npos) {
      result.push_back(variable);
    }
  }
  result.push_back(std::string("PATH=") + kCleanPath);
  return result;
}

std::string TargetExecutable(const std::string& starterPath) {
  const std::string ending = kStarterEnding;
  if (starterPath.size() <= ending.size() ||
      starterPath.compare(starterPath.size() - ending.size(), ending.size(), ending) != 0)
    return {};
  const std::string target = starterPath.substr(0, starterPath.size() - ending.size());
  const std::size_t slash = target.rfind('/');
  if (slash == std::string::npos || slash + 1 == target.size()) return {};
  const std::string folder = target.substr(0, slash + 1);
  const std::string marker = kExecutableFolder;
  if (folder.size() <= marker.size() ||
      folder.compare(folder.size() - marker.size(), marker.size(), marker) != 0)
    return {};
  return target;
}

std::string OwnExecutablePath() {
  char buffer[PATH_MAX + 1];
  const ssize_t length = readlink("/proc/self/exe", buffer, PATH_MAX);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
}

bool CheckFolderChain(const std::string& path, std::string& problem) {
  if (path.empty() || path[0] != '/') {
    problem = "\"" + path + "\" is not an absolute path";
    return false;
  }
  std::string folder = path;
  do {
    folder = ParentFolder(folder);
    if (!CheckEntry(folder, true, problem)) return false;
  } while (folder != "/");
  return true;
}

bool CheckOwnershipChain(const std::string& path, std::string& problem) {
  return CheckFolderChain(path, problem) && CheckEntry(path, false, problem);
}

bool IsMemberOfGroup(uid_t user, const std::string& groupName) {
  const struct group* entry = getgrnam(groupName.c_str());
  if (entry == nullptr) return false;
  const gid_t wanted = entry->gr_gid;
  const passwd* account = getpwuid(user);
  if (account == nullptr) return false;
  if (account->pw_gid == wanted) return true;
  const std::string name = account->pw_name;
  const gid_t primary = account->pw_gid;
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  while (getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) {
    if (count <= static_cast<int>(groups.size())) return false;
    groups.resize(static_cast<std::size_t>(count));
  }
  for (int i = 0; i < count; ++i)
    if (groups[static_cast<std::size_t>(i)] == wanted) return true;
  return false;
}

AlertStrings GetStrings(const std::vector<std::string>& preferredLanguages) {
  for (const std::string& language : preferredLanguages) {
    // "de_DE.UTF-8@euro" is German; "C" and "POSIX" name no language.
    const std::string code = language.substr(0, language.find_first_of("_.@-"));
    for (const AlertStrings& row : kAlertStrings)
      if (code == row.language) return row;
  }
  return kAlertStrings[0];
}

std::vector<std::string> PreferredLanguagesFromEnvironment() {
  std::vector<std::string> languages;
  if (const char* list = std::getenv("LANGUAGE"); list != nullptr) {
    std::string text = list;
    std::size_t start = 0;
    while (start <= text.size()) {
      const std::size_t colon = text.find(':', start);
      const std::string item =
          text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
      if (!item.empty()) languages.push_back(item);
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') languages.emplace_back(value);
  }
  return languages;
}

bool RepairRights(const std::string& path, std::string& problem, const struct stat* mustBe) {
  if (!CheckFolderChain(path, problem)) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  bool repaired = false;
  if (fstat(fd, &info) != 0) {
    problem = path + ": " + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    problem = path + " is not a regular file";
  } else if (mustBe != nullptr && (info.st_dev != mustBe->st_dev || info.st_ino != mustBe->st_ino)) {
    problem = path + " is no longer the program that asked for the repair";
  } else if (fchown(fd, 0, 0) != 0 || fchmod(fd, 04755) != 0) {
    problem = path + ": " + std::strerror(errno);
  } else {
    repaired = true;
  }
  close(fd);
  return repaired;
}

int ParseHandle(const char* value) {
  if (value == nullptr || *value == '\0') return -1;
  long number = 0;
  for (const char* c = value; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return -1;
    number = number * 10 + (*c - '0');
    if (number > 1000000000L) return -1;
  }
  return static_cast<int>(number);
}

bool IsUnixStreamSocket(int fd) { return platform::IsUnixStreamSocket(fd); }

namespace {

// Closes the descriptors from `first` to `last` (both included).
void CloseRange(unsigned first, unsigned last) {
  if (first > last) return;
  if (close_range(first, last, 0) == 0) return;
  // Kernels without close_range: one by one, up to the highest number this process may use.
  long highest = sysconf(_SC_OPEN_MAX);
  if (highest < 0 || highest > 1048576) highest = 1048576;
  for (long fd = first; fd < highest && fd <= static_cast<long>(last); ++fd) close(static_cast<int>(fd));
}

}  // namespace

bool ResetProcessState(int keep, std::string& problem) {
  constexpr unsigned kFirstOther = 3;
  if (keep >= static_cast<int>(kFirstOther)) {
    CloseRange(kFirstOther, static_cast<unsigned>(keep) - 1);
    CloseRange(static_cast<unsigned>(keep) + 1, ~0U);
  } else {
    CloseRange(kFirstOther, ~0U);
  }
  umask(022);
  if (chdir("/") != 0) {
    problem = std::string("unable to change to \"/\": ") + std::strerror(errno);
    return false;
  }
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  // Numbers the C library keeps for itself (and SIGKILL, SIGSTOP) refuse a new disposition.
  for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0) {
    problem = std::string("unable to unblock signals: ") + std::strerror(errno);
    return false;
  }
  const rlimit noCore{0, 0};
  if (setrlimit(RLIMIT_CORE, &noCore) != 0) {
    problem = std::string("unable to turn core files off: ") + std::strerror(errno);
    return false;
  }
  const rlimit anySize{RLIM_INFINITY, RLIM_INFINITY};
  if (setrlimit(RLIMIT_FSIZE, &anySize) != 0) {
    // Without the right to raise a hard limit (a container), the hard limit stands, as an
    // administrator set it; the caller's own lower soft limit does not.
    rlimit size{};
    if (getrlimit(RLIMIT_FSIZE, &size) != 0) {
      problem = std::string("unable to read the file size limit: ") + std::strerror(errno);
      return false;
    }
    size.rlim_cur = size.rlim_max;
    if (setrlimit(RLIMIT_FSIZE, &size) != 0) {
      problem = std::string("unable to set the file size limit: ") + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace starter
