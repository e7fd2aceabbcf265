#include "platform/user_defaults.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/bundle.h"
#include "platform/plist.h"

namespace platform {
namespace {

constexpr unsigned kFileMode = 0600;
constexpr mode_t kFolderMode = 0700;

std::mutex& StandardMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<UserDefaults>& StandardDefaults() {
  static std::shared_ptr<UserDefaults> defaults;
  return defaults;
}

std::string ParentOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates the folder and any missing parents; the ones made here get the given mode.
bool MakeFolders(const std::string& folder, mode_t mode) {
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  std::string parent = ParentOf(folder);
  if (parent != folder && !MakeFolders(parent, mode)) return false;
  return ::mkdir(folder.c_str(), mode) == 0 || errno == EEXIST;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && *result->pw_dir) {
    return result->pw_dir;
  }
  return "/tmp";
}

// Serialises read-merge-write cycles of all processes sharing the folder. A lock on the
// folder itself leaves no lock file behind.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

// The file's bytes, or nullopt with errno set.
std::optional<std::string> ReadAll(int fd) {
  std::string bytes;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

UserDefaults::UserDefaults(std::string path, Value registeredDefaults)
    : path_(std::move(path)),
      domain_(Value::EmptyDictionary()),
      registered_(registeredDefaults.isDictionary() ? std::move(registeredDefaults)
                                                    : Value::EmptyDictionary()) {
  std::lock_guard<std::mutex> lock(mutex_);
  readLocked();
}

std::string UserDefaults::PathForBundle(const Bundle& bundle) {
  std::string identifier = bundle.bundleIdentifier();
  if (identifier.empty() || identifier.find('/') != std::string::npos || identifier.front() == '.' ||
      identifier.find('\0') != std::string::npos) {
    identifier = "dashboard";
  }
  return HomeFolder() + "/.config/" + identifier + ".plist";
}

std::shared_ptr<UserDefaults> UserDefaults::ForBundle(const Bundle& bundle) {
  return std::make_shared<UserDefaults>(PathForBundle(bundle),
                                        bundle.objectForInfoKey("QPX Preferences Defaults"));
}

std::shared_ptr<UserDefaults> UserDefaults::Standard() {
  std::lock_guard<std::mutex> lock(StandardMutex());
  std::shared_ptr<UserDefaults>& standard = StandardDefaults();
  if (!standard) standard = ForBundle(*Bundle::Main());
  return standard;
}

void UserDefaults::SetStandard(std::shared_ptr<UserDefaults> defaults) {
  std::lock_guard<std::mutex> lock(StandardMutex());
  StandardDefaults() = std::move(defaults);
}

Value UserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  Value value = domain_.get(key);
  return value.isNull() ? registered_.get(key) : value;
}

Value UserDefaults::persistentObjectForKey(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return domain_.get(key);
}

bool UserDefaults::setObject(std::string_view key, const Value& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.insert_or_assign(std::string(key), value);
  domain_.set(key, value);
  return writeLocked();
}

Value UserDefaults::persistentDomain() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return domain_;
}

Value UserDefaults::registeredDefaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registered_;
}

void UserDefaults::registerDefaults(const Value& defaults) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [key, value] : defaults.dictionary()) registered_.set(key, value);
}

void UserDefaults::reload() {
  std::lock_guard<std::mutex> lock(mutex_);
  readLocked();
}

bool UserDefaults::removePersistentDomain() {
  std::lock_guard<std::mutex> lock(mutex_);
  FolderLock folderLock(ParentOf(path_));
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    std::fprintf(stderr, "UserDefaults: cannot delete %s: %s\n", path_.c_str(), std::strerror(errno));
    return false;
  }
  domain_ = Value::EmptyDictionary();
  pending_.clear();
  corrupt_ = false;
  return true;
}

Value UserDefaults::readFileLocked(bool& corrupt, bool log) const {
  corrupt = false;
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // No file (or no folder for it yet) is an empty domain, not a broken one.
    if (errno == ENOENT || errno == ENOTDIR) return Value::EmptyDictionary();
    if (log) std::fprintf(stderr, "UserDefaults: cannot open %s: %s\n", path_.c_str(), std::strerror(errno));
    corrupt = true;
    return Value::EmptyDictionary();
  }
  std::optional<std::string> bytes = ReadAll(fd);
  ::close(fd);
  std::optional<Value> parsed;
  if (bytes) parsed = plist::Parse(*bytes);
  if (!parsed || !parsed->isDictionary()) {
    if (log) {
      std::fprintf(stderr,
                   "UserDefaults: %s is not a property-list dictionary; using an empty domain. The "
                   "file stays until a setting changes and is then kept as %s.corrupt\n",
                   path_.c_str(), path_.c_str());
    }
    corrupt = true;
    return Value::EmptyDictionary();
  }
  return *parsed;
}

void UserDefaults::readLocked() {
  domain_ = readFileLocked(corrupt_, true);
  for (const auto& [key, value] : pending_) domain_.set(key, value);
}

bool UserDefaults::setAsideCorruptFileLocked() const {
  std::string target = path_ + ".corrupt";
  // An older copy set aside earlier is kept as well.
  for (int n = 1; n < 1000 && ::access(target.c_str(), F_OK) == 0; ++n) {
    target = path_ + ".corrupt." + std::to_string(n);
  }
  if (::rename(path_.c_str(), target.c_str()) == 0) {
    std::fprintf(stderr, "UserDefaults: moved unreadable %s to %s\n", path_.c_str(), target.c_str());
  } else if (errno != ENOENT) {
    std::fprintf(stderr, "UserDefaults: cannot move unreadable %s aside to %s: %s; not overwriting it\n",
                 path_.c_str(), target.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

bool UserDefaults::writeLocked() {
  std::string folder = ParentOf(path_);
  if (!MakeFolders(folder, kFolderMode)) {
    std::fprintf(stderr, "UserDefaults: cannot create %s: %s\n", folder.c_str(), std::strerror(errno));
    return false;
  }
  FolderLock folderLock(folder);
  // Start from the file as it is now, so keys another process wrote since this one read
  // it are kept; this process's changes go on top.
  Value onDisk = readFileLocked(corrupt_, false);
  domain_ = onDisk;
  bool changesFile = false;
  for (const auto& [key, value] : pending_) {
    if (!value.isNull() || onDisk.contains(key)) changesFile = true;
    domain_.set(key, value);
  }
  // Removing what is not there changes nothing; above all it must not replace a file that
  // could not be read.
  if (!changesFile) {
    pending_.clear();
    return true;
  }
  if (corrupt_ && !setAsideCorruptFileLocked()) return false;
  if (!plist::WriteFileAtomically(path_, domain_, plist::Format::Xml, kFileMode)) {
    std::fprintf(stderr, "UserDefaults: cannot write %s: %s\n", path_.c_str(), std::strerror(errno));
    return false;
  }
  pending_.clear();
  corrupt_ = false;
  return true;
}

}  // namespace platform
