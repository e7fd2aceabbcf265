// Stands in for the main executable in the Starter's tests: writes what it was started with
// (user and group IDs, arguments, environment, and the process state a caller could have
// set: descriptors, file mode mask, working folder, ignored and blocked signals, core and
// file-size limits) to the file named by its first argument.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Limit(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0) return "?";
  return limit.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(limit.rlim_cur);
}

// The value of one "Name:\tvalue" line of /proc/self/status.
std::string StatusField(const char* name) {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return "?";
  char line[512];
  std::string value = "?";
  const std::size_t length = std::strlen(name);
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
      value = line + length + 1;
      value.erase(0, value.find_first_not_of(" \t"));
      value.erase(value.find_last_not_of("\r\n") + 1);
      break;
    }
  }
  std::fclose(status);
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  // The state first, before this program opens anything of its own.
  std::vector<int> descriptors;
  if (DIR* folder = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(folder)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::atoi(entry->d_name);
      if (fd != dirfd(folder)) descriptors.push_back(fd);
    }
    closedir(folder);
  }
  const mode_t mask = umask(0);
  umask(mask);
  char cwd[4096] = "?";
  if (getcwd(cwd, sizeof cwd) == nullptr) std::strcpy(cwd, "?");
  const std::string ignored = StatusField("SigIgn"), blocked = StatusField("SigBlk");

  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 3;
  std::fprintf(out, "uid=%d\neuid=%d\ngid=%d\negid=%d\n", int(getuid()), int(geteuid()), int(getgid()),
               int(getegid()));
  for (int i = 0; i < argc; ++i) std::fprintf(out, "arg=%s\n", argv[i]);
  for (char** entry = environ; *entry != nullptr; ++entry) std::fprintf(out, "env=%s\n", *entry);
  for (int fd : descriptors) std::fprintf(out, "fd=%d\n", fd);
  std::fprintf(out, "umask=%03o\ncwd=%s\nsigign=%s\nsigblk=%s\ncore=%s\nfsize=%s\n", unsigned(mask), cwd,
               ignored.c_str(), blocked.c_str(), Limit(RLIMIT_CORE).c_str(), Limit(RLIMIT_FSIZE).c_str());
  std::fclose(out);
  return 0;
}
