#include "platform/kmod.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/device_sim.h"

namespace platform::kmod {

namespace {

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  return false;
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
    if (!IsContainedPath(driverPath) || !Exists(driversFolder + "/" + driverPath)) return false;
    const std::string marker = LoadedMarker(driverPath);
    if (Exists(marker)) return false;  // already loaded: the tool refuses
    if (!MakeFolder(folder_) || !MakeFolder(folder_ + "/loaded")) return false;
    const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }

  bool Unload(const std::string& driversFolder, const std::string& driverPath) override {
    std::lock_guard<std::mutex> hold(mutex_);
    (void)driversFolder;
    if (!IsContainedPath(driverPath)) return false;
    return ::unlink(LoadedMarker(driverPath).c_str()) == 0;
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
