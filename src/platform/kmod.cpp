#include "platform/kmod.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/device_sim.h"

namespace platform::kmod {

namespace {

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

class FdHolder {
 public:
  explicit FdHolder(int fd = -1) : fd_(fd) {}
  ~FdHolder() { Reset(-1); }
  FdHolder(const FdHolder&) = delete;
  FdHolder& operator=(const FdHolder&) = delete;
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// A folder on the way to the state folder: no one but root or this user may have put it
// there or may change what it holds, except in a folder with the sticky bit (such as /tmp),
// where others cannot touch what belongs to us. Our own folders are ours alone.
bool IsTrustedFolder(const struct stat& info, bool ours) {
  const uid_t self = ::geteuid();
  if (!S_ISDIR(info.st_mode)) return false;
  if (ours) return info.st_uid == self && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  if (info.st_uid != 0 && info.st_uid != self) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (info.st_mode & S_ISVTX) != 0;
}

// Opens the folder `path` (absolute; the last `ownCount` components are created when
// missing, mode 0700), component by component without following links, and checks every
// folder on the way. The state folder lies in a folder every user may write to (/tmp for
// the privileged process), so a link or a folder planted there by someone else must not
// make root create or delete files elsewhere. -1 when the way is not trusted.
int OpenStateFolder(const std::string& path, std::size_t ownCount) {
  if (path.empty() || path.front() != '/') return -1;
  std::vector<std::string> parts;
  for (std::size_t start = 1; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") return -1;
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  FdHolder folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return -1;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool ours = i + ownCount >= parts.size();
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int next = ::openat(folder.get(), parts[i].c_str(), flags);
    if (next < 0 && errno == ENOENT && ours) {
      if (::mkdirat(folder.get(), parts[i].c_str(), 0700) != 0 && errno != EEXIST) return -1;
      next = ::openat(folder.get(), parts[i].c_str(), flags);
    }
    if (next < 0) return -1;
    folder.Reset(next);
    struct stat info {};
    if (::fstat(folder.get(), &info) != 0 || !IsTrustedFolder(info, ours)) return -1;
  }
  return folder.Release();
}

// A marker name: the identifier of a driver, a plain file name.
bool IsMarkerName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A driver path that stays inside the drivers folder: no empty, "." or ".." components.
bool IsContainedPath(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = path.find('/', start);
    const std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return true;
}

class Simulated final : public Service {
 public:
  explicit Simulated(std::string folder) : folder_(std::move(folder)) {}

  Status GetStatus(const std::string& driversFolder, const std::string& driverPath) override {
    if (!IsContainedPath(driverPath) || !Exists(driversFolder + "/" + driverPath)) return Status::Unknown;
    return Exists(LoadedMarker(driverPath)) ? Status::Loaded : Status::NotLoaded;
  }

  bool IsInstalled(const std::string& name) override {
    if (!IsContainedPath(name) || name.find('/') != std::string::npos) return false;
    return Exists(folder_ + "/installed/" + name);
  }

  bool Load(const std::string& driversFolder, const std::string& driverPath) override {
    std::lock_guard<std::mutex> hold(mutex_);
    const std::string name = DriverIdentifier(driverPath);
    if (!IsContainedPath(driverPath) || !IsMarkerName(name) || !Exists(driversFolder + "/" + driverPath))
      return false;
    const FdHolder loaded(OpenStateFolder(folder_ + "/loaded", 2));
    if (loaded.get() < 0) return false;
    // An existing marker means the driver is loaded already: the tool refuses.
    const int fd =
        ::openat(loaded.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }

  bool Unload(const std::string& driversFolder, const std::string& driverPath) override {
    std::lock_guard<std::mutex> hold(mutex_);
    (void)driversFolder;
    const std::string name = DriverIdentifier(driverPath);
    if (!IsContainedPath(driverPath) || !IsMarkerName(name)) return false;
    const FdHolder loaded(OpenStateFolder(folder_ + "/loaded", 2));
    return loaded.get() >= 0 && ::unlinkat(loaded.get(), name.c_str(), 0) == 0;
  }

 private:
  std::string LoadedMarker(const std::string& driverPath) const {
    return folder_ + "/loaded/" + DriverIdentifier(driverPath);
  }

  std::mutex mutex_;
  const std::string folder_;
};

std::mutex& ServiceMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<Service>& Installed() {
  static std::shared_ptr<Service> service;
  return service;
}

}  // namespace

std::string DriverIdentifier(const std::string& driverPath) {
  const std::size_t slash = driverPath.rfind('/');
  std::string name = slash == std::string::npos ? driverPath : driverPath.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

std::shared_ptr<Service> MakeSimulated(const std::string& stateFolder) {
  return std::make_shared<Simulated>(stateFolder);
}

std::shared_ptr<Service> CurrentService() {
  std::lock_guard<std::mutex> hold(ServiceMutex());
  if (!Installed()) Installed() = MakeSimulated(SimulatedDevices::DefaultFolder() + "/kmod");
  return Installed();
}

void SetService(std::shared_ptr<Service> service) {
  std::lock_guard<std::mutex> hold(ServiceMutex());
  Installed() = std::move(service);
}

}  // namespace platform::kmod
