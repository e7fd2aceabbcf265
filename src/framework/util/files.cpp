#include "framework/util/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/core/storage.h"
#include "framework/util/misc.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/plist.h"
#include "platform/user_defaults.h"

// --- Options ---------------------------------------------------------------------------------

namespace {

// The option and whether the bundle (our own data) or the user's settings gave it.
Value LookUpOption(std::string_view key, bool& fromBundle) {
  fromBundle = false;
  if (const auto bundle = platform::Bundle::Main()) {
    const Value value = bundle->objectForInfoKey("QPX Options").get(key);
    if (!value.isNull()) {
      fromBundle = true;
      return value;
    }
  }
  // Through the storage tree once start-up made it; before that straight from the defaults
  // domain, which is the same file.
  if (const QPX_Framework_StoragePtr preferences = QPX_Framework_Preferences)
    return preferences->objectForKey(key);
  if (const auto defaults = platform::UserDefaults::Standard()) return defaults->objectForKey(key);
  return Value();
}

}  // namespace

Value QPX_Framework_Option_Get(std::string_view key) {
  bool fromBundle = false;
  return LookUpOption(key, fromBundle);
}

bool QPX_Framework_Option_GetBool(std::string_view key, bool defaultValue) {
  bool fromBundle = false;
  const Value value = LookUpOption(key, fromBundle);
  if (value.isNull()) return defaultValue;
  if (!value.isNumber()) {
    QPX_Assert_Detail(!fromBundle, value);
    QPX_Log(QPX_LOG_ERROR, "Option %s is not a number: %s", std::string(key).c_str(),
            value.Description().c_str());
    return defaultValue;
  }
  return value.toBool();
}

// --- File names and folders ------------------------------------------------------------------

bool QPX_Framework_CheckSafeFilename(std::string_view path, bool allowDirs) {
  bool safe = true;
  std::size_t parts = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view part =
        path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
    ++parts;
    if (part.empty() || part == "." || part == "..") safe = false;
    for (char c : part) {
      const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == ' ' || c == '_' || c == '.' || c == '-';
      if (!allowed) safe = false;
    }
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (!allowDirs && parts != 1) safe = false;
  QPX_Log(QPX_LOG_TRACE, "\"%s\"(%s) %s", std::string(path).c_str(), allowDirs ? " (allow dirs)" : "",
          safe ? "accepted" : "rejected");
  return safe;
}

Value QPX_Framework_ListUsers(bool includeSystemUsers) {
  // Regular accounts start here on this system ("UID_MIN"); "nobody" is the overflow ID.
  constexpr uid_t kFirstRegularUser = 1000;
  constexpr uid_t kNobody = 65534;
  // The enumeration position of the user database is process-wide.
  static std::mutex enumerationMutex;
  std::lock_guard<std::mutex> lock(enumerationMutex);

  Value users = Value::EmptySet();
  std::vector<char> buffer(16384);
  ::setpwent();
  int error = 0;
  for (;;) {
    struct passwd record {};
    struct passwd* found = nullptr;
    error = ::getpwent_r(&record, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      // The entry did not fit; the database stays at that entry, so it is read again.
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || !found) break;
    if (!includeSystemUsers && (found->pw_uid < kFirstRegularUser || found->pw_uid == kNobody)) continue;
    users.append(Value{
        {"name", Value(found->pw_name ? found->pw_name : "")},
        {"uid", Value(std::to_string(found->pw_uid))},
        {"gid", Value(std::to_string(found->pw_gid))},
        {"dir", Value(found->pw_dir ? found->pw_dir : "")},
        {"shell", Value(found->pw_shell ? found->pw_shell : "")},
        {"gecos", Value(found->pw_gecos ? found->pw_gecos : "")},
    });
  }
  ::endpwent();
  if (error != 0 && error != ENOENT) {
    QPX_Log(QPX_LOG_ERROR, "Unable to list users: %s", std::strerror(error));
    return Value();
  }
  return users;
}

namespace {

// Removes everything inside the open folder (the descriptor is taken over). Failures are
// logged; the caller learns of them when it removes the folder itself.
void RemoveContents(int folderFd, const std::string& path) {
  DIR* folder = ::fdopendir(folderFd);
  if (!folder) {
    QPX_Log(QPX_LOG_ERROR, "opendir(%s): %s", path.c_str(), std::strerror(errno));
    ::close(folderFd);
    return;
  }
  // Names first, removals after: removing entries while the folder is being read may make
  // some file systems skip others.
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
  }
  const int fd = ::dirfd(folder);
  for (const std::string& name : names) {
    const std::string child = path + "/" + name;
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) QPX_Log(QPX_LOG_ERROR, "stat(%s): %s", child.c_str(), std::strerror(errno));
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      // Opened relative to the folder and without following links, so a folder swapped for
      // a link meanwhile leads nowhere outside the tree.
      const int childFd = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (childFd >= 0) RemoveContents(childFd, child);
      if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0)
        QPX_Log(QPX_LOG_ERROR, "rmdir(%s): %s", child.c_str(), std::strerror(errno));
    } else if (::unlinkat(fd, name.c_str(), 0) != 0) {
      QPX_Log(QPX_LOG_ERROR, "unlink(%s): %s", child.c_str(), std::strerror(errno));
    }
  }
  ::closedir(folder);
}

}  // namespace

bool QPX_Framework_RemoveDirectory(const char* path) {
  if (!path || !*path) return false;
  struct stat st {};
  if (::lstat(path, &st) != 0) {
    if (errno == ENOENT) return true;
    QPX_Log(QPX_LOG_ERROR, "stat(%s): %s", path, std::strerror(errno));
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) RemoveContents(fd, path);
    if (::rmdir(path) != 0) {
      QPX_Log(QPX_LOG_ERROR, "rmdir(%s): %s", path, std::strerror(errno));
      return false;
    }
    return true;
  }
  if (::unlink(path) != 0) {
    QPX_Log(QPX_LOG_ERROR, "unlink(%s): %s", path, std::strerror(errno));
    return false;
  }
  return true;
}

Value QPX_Framework_ReadDir(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return Value();
  Value files = Value::EmptyArray();
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0) {
        QPX_Log(QPX_LOG_ERROR, "Unable to read dir \"%s\": %s", folder.c_str(), std::strerror(errno));
        ::closedir(dir);
        return Value();
      }
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    const std::string path = folder + "/" + entry->d_name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      QPX_Log(QPX_LOG_ERROR, "Unable to stat \"%s\": %s", path.c_str(), std::strerror(errno));
      continue;
    }
    if (S_ISREG(st.st_mode)) files.append(Value(path));
  }
  ::closedir(dir);
  return files;
}

// --- Property lists --------------------------------------------------------------------------

namespace {

// Why the value cannot be written as a property list; empty when it can.
std::string NotAPropertyList(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null:
      return "a null value";
    case Value::Kind::Object:
      return "an object " + value.Description();
    case Value::Kind::String:
      return QPX_Framework_IsValidUTF8(value.string()) ? std::string() : "a text that is not UTF-8";
    case Value::Kind::Array:
    case Value::Kind::Set:
      for (const Value& member : value.array()) {
        if (std::string why = NotAPropertyList(member); !why.empty()) return why;
      }
      return std::string();
    case Value::Kind::Dictionary:
      for (const auto& [key, member] : value.dictionary()) {
        if (!QPX_Framework_IsValidUTF8(key)) return "a key that is not UTF-8";
        if (std::string why = NotAPropertyList(member); !why.empty()) return why + " under \"" + key + "\"";
      }
      return std::string();
    default:
      return std::string();
  }
}

}  // namespace

Value QPX_Framework_DecodePList(std::string_view bytes) {
  std::optional<Value> plist = platform::plist::Parse(bytes);
  if (!plist) {
    QPX_Log(QPX_LOG_ERROR, "%s", ("No property list in " + std::to_string(bytes.size()) + " bytes").c_str());
    return Value();
  }
  return *plist;
}

std::optional<std::string> QPX_Framework_CreatePList(const Value& plist) {
  std::string why = NotAPropertyList(plist);
  std::string bytes;
  if (why.empty()) {
    bytes = platform::plist::ToXml(plist);
    if (bytes.empty()) why = "the encoder failed";
  }
  if (!why.empty()) {
    QPX_Log(QPX_LOG_ERROR, "%s -> %s", plist.Description().c_str(),
            ("Not a property list: holds " + why).c_str());
    return std::nullopt;
  }
  return bytes;
}

bool QPX_Framework_WritePList(const Value& plist, const std::string& path) {
  QPX_Assert(!path.empty());
  // Checked first, so a value that cannot be written leaves the old file as it was.
  const bool written =
      QPX_Framework_CreatePList(plist).has_value() && platform::plist::WriteFileAtomically(path, plist);
  if (written) {
    QPX_Log(QPX_LOG_TRACE, "Wrote %s", path.c_str());
  } else {
    QPX_Log(QPX_LOG_ERROR, "Failed to write %s", path.c_str());
  }
  return written;
}

// --- Comparisons -----------------------------------------------------------------------------

namespace {

bool SameValue(const Value& a, const Value& b) {
  if (a == b) return true;
  if (a.isDictionary() && b.isDictionary()) return QPX_Framework_IdenticalDictionaries(a, b);
  return Value::Compare(a, b) == std::partial_ordering::equivalent;
}

}  // namespace

bool QPX_Framework_IdenticalDictionaries(const Value& first, const Value& second) {
  QPX_Assert(first.isDictionary());
  QPX_Assert(second.isDictionary());
  Value remaining = second;
  for (const auto& [key, value] : first.dictionary()) {
    const Value other = remaining.get(key);
    if (other.isNull() || !SameValue(value, other)) return false;
    remaining.remove(key);
  }
  return remaining.empty();
}

bool QPX_Framework_SameObject(const Value& first, const Value& second) {
  if (first.isNull() || second.isNull()) return first.isNull() && second.isNull();
  const std::partial_ordering order = Value::Compare(first, second);
  // Kinds without an order (dictionaries, arrays, data, objects) are compared in depth
  // rather than refused.
  if (order == std::partial_ordering::unordered) return first == second;
  return order == std::partial_ordering::equivalent;
}

bool QPX_Framework_SamePhoneNumber(std::string_view first, std::string_view second) {
  if (first == second) return true;
  const std::u16string a = QPX_Framework_UTF8ToUTF16(first);
  const std::u16string b = QPX_Framework_UTF8ToUTF16(second);
  if (a.size() < 6 || b.size() < 6) return false;
  std::size_t common = 0;
  while (common < a.size() && common < b.size() && a[a.size() - 1 - common] == b[b.size() - 1 - common])
    ++common;
  const std::u16string headA = a.substr(0, a.size() - common);
  const std::u16string headB = b.substr(0, b.size() - common);
  const auto isLocal = [](const std::u16string& head) { return head.empty() || head == u"0"; };
  const auto isCountry = [](const std::u16string& head) {
    return head.size() >= 2 && head.size() <= 6 && head[0] == u'+';
  };
  if (isLocal(headA)) return isCountry(headB);
  if (isLocal(headB)) return isCountry(headA);
  return false;
}

bool QPX_Framework_IsCGMI(const std::shared_ptr<QPX_Framework_Storage>& modem,
                          std::string_view manufacturer) {
  if (!modem) return false;
  const Value cgmi = modem->objectForKey("QPX CGMI");
  return cgmi.isString() && cgmi.string() == manufacturer;
}

// --- Identifiers -----------------------------------------------------------------------------

namespace {

struct UniqueIDState {
  std::shared_ptr<platform::Clock> clock;
  std::uint64_t last = 0;
};

UniqueIDState& IDState() {
  static UniqueIDState state;
  return state;
}

}  // namespace

void _QPX_Framework_UniqueID_SetClock(std::shared_ptr<platform::Clock> clock) {
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  IDState().clock = std::move(clock);
  IDState().last = 0;
}

std::string QPX_Framework_UniqueID(const char* prefix) {
  std::uint64_t value = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
    UniqueIDState& state = IDState();
    const std::shared_ptr<platform::Clock> clock = state.clock ? state.clock : platform::Clock::System();
    const double micros = std::floor(clock->WallNow() * 1e6);
    value = micros > 0 ? static_cast<std::uint64_t>(micros) : 0;
    if (value <= state.last) value = state.last + 1;
    state.last = value;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%016" PRIx64, value);
  return prefix ? std::string(prefix) + " " + text : std::string(text);
}

std::string QPX_Framework_KernelErrorString(std::uint32_t code) {
  switch (code) {
    case 0:
      return "kIOReturnSuccess";
    case 0xE00002BE:
      return "kIOReturnNoResources";
    case 0xE00002C0:
      return "kIOReturnNoDevice";
    case 0xE00002C5:
      return "kIOReturnExclusiveAccess";
    case 0xE00002CD:
      return "kIOReturnNotOpen";
    default:
      break;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIx32, code);
  return text;
}
