#pragma once
// Test support for the Starter and the privileged process: running a program (optionally as
// another user) with a chosen environment, and creating throw-away users and groups where
// the machine allows it (root with useradd). Header-only, shared by the test executables of
// src/starter and src/app.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace starter_testing {

inline bool IsRoot() { return geteuid() == 0; }

struct Identity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

struct ProgramResult {
  int status = -1;  // exit status; -1 when it did not exit normally (or was not started)
  int signal = 0;   // the signal that ended it
  bool timedOut = false;
  std::string output;  // standard output and standard error together
};

// Runs argv with exactly the given environment, as `identity` when given (the caller must be
// root then), in a process group of its own. Waits for it to end and for its output to
// close; after `limitSeconds` (a guard against a hung program, not a measurement) the whole
// group is killed. Nothing it started is left running.
inline ProgramResult RunProgram(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment,
                                const std::optional<Identity>& identity = std::nullopt,
                                const std::string& workingDirectory = "", int limitSeconds = 60,
                                const std::vector<int>& keepOpen = {}) {
  ProgramResult result;
  std::vector<std::string> args = argv;
  std::vector<std::string> env = environment;
  std::vector<char*> argp, envp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid < 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  if (pid == 0) {
    setpgid(0, 0);
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    const int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    for (int fd : keepOpen) {
      const int flags = fcntl(fd, F_GETFD);
      if (flags >= 0) fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
    }
    if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(126);
    if (identity) {
      if (setgroups(identity->groups.size(), identity->groups.data()) != 0 || setgid(identity->gid) != 0 ||
          setuid(identity->uid) != 0)
        _exit(126);
    }
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);
  close(out[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
  bool exited = false;
  int status = 0;
  bool open = true;
  while (open || !exited) {
    if (!exited) {
      const pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) exited = true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      if (!exited) waitpid(pid, &status, 0);
      exited = true;
      break;
    }
    if (open) {
      pollfd entry{out[0], POLLIN, 0};
      if (poll(&entry, 1, 50) > 0) {
        char buffer[4096];
        const ssize_t count = read(out[0], buffer, sizeof buffer);
        if (count > 0)
          result.output.append(buffer, static_cast<std::size_t>(count));
        else if (count == 0 || errno != EINTR)
          open = false;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  close(out[0]);
  // Whatever the program left behind in its group goes with it.
  kill(-pid, SIGKILL);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

// The calling process's environment, with the named variables replaced (or, with an empty
// value in `remove`, taken out).
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& set,
                                                const std::vector<std::string>& remove = {}) {
  std::vector<std::string> result;
  auto named = [](const std::string& entry, const std::string& name) {
    return entry.rfind(name + "=", 0) == 0;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    bool drop = false;
    for (const std::string& name : remove) drop = drop || named(variable, name);
    for (const std::string& assignment : set)
      drop = drop || named(variable, assignment.substr(0, assignment.find('=')));
    if (!drop) result.push_back(variable);
  }
  result.insert(result.end(), set.begin(), set.end());
  return result;
}

// Runs a system tool quietly; its exit status, -1 when it could not be run.
inline int RunTool(const std::vector<std::string>& argv) {
  for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    const std::string path = folder + argv[0];
    if (access(path.c_str(), X_OK) != 0) continue;
    std::vector<std::string> full = argv;
    full[0] = path;
    return RunProgram(full, {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}).status;
  }
  return -1;
}

// Account tools take a lock on the account files; another test process may hold it for a moment.
inline int RunAccountTool(const std::vector<std::string>& argv) {
  int status = -1;
  for (int attempt = 0; attempt < 50; ++attempt) {
    status = RunTool(argv);
    if (status == 0 || status == -1 || status == 9 /* name in use */) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return status;
}

// A group that exists for the life of the object: an existing group of that name is used;
// otherwise one is created, and removed again by the last user of it.
//
// Test processes run side by side (ctest -j) and share the machine's group database, so one
// process must not remove the group while another still relies on it. Every object holds a
// shared lock on a holders file for its life; the group is created and removed only under an
// exclusive guard lock (no holder can come or go meanwhile), by the last holder, and only
// when tests made it (a marker file says so, also after a test process died).
class ScopedGroup {
 public:
  explicit ScopedGroup(std::string name) : name_(std::move(name)) {
    if (!IsRoot()) {
      Look();
      return;
    }
    const std::string base = "/tmp/dashboard-test-group-" + name_;
    made_ = base + ".made";
    guard_ = open((base + ".guard").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    holders_ = open((base + ".holders").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (guard_ < 0 || holders_ < 0 || flock(guard_, LOCK_EX) != 0) return;
    flock(holders_, LOCK_SH);
    if (getgrnam(name_.c_str()) == nullptr && RunAccountTool({"groupadd", name_}) == 0) {
      const int marker = open(made_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (marker >= 0) close(marker);
    }
    Look();
    flock(guard_, LOCK_UN);
  }
  ~ScopedGroup() {
    if (guard_ >= 0 && holders_ >= 0 && flock(guard_, LOCK_EX) == 0) {
      flock(holders_, LOCK_UN);
      if (flock(holders_, LOCK_EX | LOCK_NB) == 0 && access(made_.c_str(), F_OK) == 0 &&
          RunAccountTool({"groupdel", name_}) == 0)
        unlink(made_.c_str());
      flock(holders_, LOCK_UN);
      flock(guard_, LOCK_UN);
    }
    if (holders_ >= 0) close(holders_);
    if (guard_ >= 0) close(guard_);
  }
  ScopedGroup(const ScopedGroup&) = delete;
  ScopedGroup& operator=(const ScopedGroup&) = delete;
  bool valid() const { return valid_; }
  gid_t gid() const { return gid_; }
  const std::string& name() const { return name_; }

 private:
  void Look() {
    if (const group* entry = getgrnam(name_.c_str())) {
      gid_ = entry->gr_gid;
      valid_ = true;
    }
  }

  std::string name_;
  std::string made_;
  int guard_ = -1;
  int holders_ = -1;
  gid_t gid_ = 0;
  bool valid_ = false;
};

// A throw-away user (no home folder, no login shell), optionally in extra groups; removed
// when the object goes. valid() is false where users cannot be created.
class ScopedUser {
 public:
  ScopedUser(std::string name, const std::vector<std::string>& groups) : name_(std::move(name)) {
    if (!IsRoot()) return;
    std::vector<std::string> argv{"useradd", "-M", "-N", "-s", "/usr/sbin/nologin"};
    if (!groups.empty()) {
      std::string list;
      for (const std::string& g : groups) list += (list.empty() ? "" : ",") + g;
      argv.insert(argv.end(), {"-G", list});
    }
    argv.push_back(name_);
    if (RunAccountTool(argv) != 0) return;
    created_ = true;
    const passwd* entry = getpwnam(name_.c_str());
    if (entry == nullptr) return;
    identity_.uid = entry->pw_uid;
    identity_.gid = entry->pw_gid;
    identity_.groups.push_back(entry->pw_gid);
    for (const std::string& g : groups)
      if (const group* extra = getgrnam(g.c_str())) identity_.groups.push_back(extra->gr_gid);
    valid_ = true;
  }
  ~ScopedUser() {
    if (created_) RunAccountTool({"userdel", name_});
  }
  ScopedUser(const ScopedUser&) = delete;
  ScopedUser& operator=(const ScopedUser&) = delete;
  bool valid() const { return valid_; }
  const Identity& identity() const { return identity_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  Identity identity_;
  bool valid_ = false;
  bool created_ = false;
};

// A short unique account name for this test process.
inline std::string UniqueName(const char* prefix) {
  return std::string(prefix) + std::to_string(getpid() % 100000);
}

}  // namespace starter_testing
