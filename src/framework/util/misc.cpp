#include "framework/util/misc.h"

#include <sys/stat.h>

#include <cmath>
#include <ctime>
#include <mutex>

#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "platform/user_defaults.h"

namespace {

// The user's persistent settings: through the storage tree once it exists, else straight
// from the defaults domain (the same file) for code that runs before start-up made it.
Value PreferenceValue(std::string_view key) {
  if (const QPX_Framework_StoragePtr preferences = QPX_Framework_Preferences)
    return preferences->objectForKey(key);
  if (const auto defaults = platform::UserDefaults::Standard()) return defaults->objectForKey(key);
  return Value();
}

struct ResourceBranchCache {
  bool read = false;
  std::optional<std::string> branch;
};

ResourceBranchCache& BranchCache() {
  static ResourceBranchCache cache;
  return cache;
}

std::string& BuildTimeCache() {
  static std::string text;
  return text;
}

}  // namespace

// --- Command lines shown to people ---------------------------------------------------------

std::string QPX_Framework_SystemFilename(std::string_view path) {
  std::string quoted;
  quoted.reserve(path.size() + 2);
  quoted.push_back('\'');
  for (char c : path) {
    if (c == '\'') {
      quoted.append("'\\''");
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  return quoted;
}

// --- Resource branches -----------------------------------------------------------------------

std::optional<std::string> QPX_Framework_GetResourceBranch() {
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  ResourceBranchCache& cache = BranchCache();
  if (!cache.read) {
    cache.read = true;
    const Value value = PreferenceValue("QPX Resource Branch");
    if (value.isString()) {
      cache.branch = value.string();
    } else if (!value.isNull()) {
      // The settings file is the user's; a wrong entry there must not end the program.
      QPX_Log(QPX_LOG_ERROR, "QPX Resource Branch is not a string: %s", value.Description().c_str());
    }
  }
  return cache.branch;
}

void _QPX_Framework_ResourceBranch_Reset() {
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  BranchCache() = ResourceBranchCache();
}

std::string QPX_Framework_ResourceBranchName(const std::string& path) {
  std::string chosen = path;
  if (const std::optional<std::string> branch = QPX_Framework_GetResourceBranch()) {
    // The last component ignores trailing slashes, as path names do.
    std::size_t end = path.find_last_not_of('/');
    if (end != std::string::npos) {
      const std::size_t slash = path.rfind('/', end);
      const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
      const std::string name = path.substr(start, end + 1 - start);
      const std::string newName = "[" + *branch + "] " + name;
      const std::string candidate = path.substr(0, start) + newName;
      QPX_Log(QPX_LOG_TRACE, "\"%s\", \"%s\"", newName.c_str(), candidate.c_str());
      struct stat st {};
      if (::stat(candidate.c_str(), &st) == 0) chosen = candidate;
    }
  }
  QPX_Log(QPX_LOG_TRACE, "\"%s\" -> \"%s\"", path.c_str(), chosen.c_str());
  return chosen;
}

// --- Build time ------------------------------------------------------------------------------

std::string QPX_Framework_BuildTimeText(double unixTime) {
  const std::time_t seconds = static_cast<std::time_t>(std::floor(unixTime));
  std::tm parts{};
  if (!::gmtime_r(&seconds, &parts)) return std::string();
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%y%m%d.%H%M%S", &parts);
  return std::string(text, length);
}

std::string QPX_Framework_BuildTime_Compat() {
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  std::string& cached = BuildTimeCache();
  if (cached.empty()) {
    const Value& buildTime = QPX_Framework_ApplicationInfo.buildTime;
    if (buildTime.isDate()) cached = QPX_Framework_BuildTimeText(buildTime.unixTime());
  }
  return cached;
}

void _QPX_Framework_BuildTime_Reset() {
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  BuildTimeCache().clear();
}

// --- Property lists --------------------------------------------------------------------------

void QPX_Framework_DictionaryOverride(Value& target, const Value& overrides) {
  QPX_Assert(overrides.isDictionary());
  QPX_Assert(target.isNull() || target.isDictionary());
  if (target.isNull()) target = Value::EmptyDictionary();
  for (const auto& [key, value] : overrides.dictionary()) {
    QPX_Assert_Detail(!value.isNull(), Value(key));
    if (!value.isDictionary()) {
      target.set(key, value);
      continue;
    }
    Value existing = target.get(key);
    if (!existing.isDictionary()) {
      target.set(key, value);
      continue;
    }
    QPX_Framework_DictionaryOverride(existing, value);
    target.set(key, existing);
  }
}

Value QPX_Framework_PList_MutableDeepCopy(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Dictionary: {
      Value::Dictionary copy;
      for (const auto& [key, member] : value.dictionary())
        copy.emplace(key, QPX_Framework_PList_MutableDeepCopy(member));
      return Value(std::move(copy));
    }
    case Value::Kind::Array: {
      Value::Array copy;
      copy.reserve(value.size());
      for (const Value& member : value.array()) copy.push_back(QPX_Framework_PList_MutableDeepCopy(member));
      return Value(std::move(copy));
    }
    case Value::Kind::Set: {
      Value copy = Value::EmptySet();
      for (const Value& member : value.array()) copy.append(QPX_Framework_PList_MutableDeepCopy(member));
      return copy;
    }
    case Value::Kind::String:
      return Value(value.string());
    case Value::Kind::Data:
      return Value::Data(value.data());
    default:
      return value;
  }
}

// --- Modems ----------------------------------------------------------------------------------

bool QPX_Framework_Modem_DisconnectOnQuit(const std::shared_ptr<QPX_Framework_Storage>& modem) {
  if (!modem) return false;
  const Value ability = modem->objectForKey("QPX Disconnect Ability");
  return ability.isNumber() && !ability.isBoolean() && ability.toDouble() == 2.0;
}

// --- Text ------------------------------------------------------------------------------------

std::string QPX_Framework_String_ReplaceNul(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\0') {
      out.append("\u2400");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

namespace {

// Decodes one UTF-8 sequence at p; answers its length, or 0 when none starts there.
std::size_t DecodeUTF8(const unsigned char* p, const unsigned char* end, std::uint32_t& codePoint) {
  const unsigned char c = *p;
  const int extra = c < 0x80             ? 0
                    : (c & 0xE0) == 0xC0 ? 1
                    : (c & 0xF0) == 0xE0 ? 2
                    : (c & 0xF8) == 0xF0 ? 3
                                         : -1;
  if (extra < 0 || end - p <= extra) return 0;
  std::uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1Fu) : extra == 2 ? (c & 0x0Fu) : (c & 0x07u);
  for (int i = 1; i <= extra; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3Fu);
  }
  static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  codePoint = cp;
  return static_cast<std::size_t>(extra) + 1;
}

}  // namespace

bool QPX_Framework_IsValidUTF8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    std::uint32_t cp = 0;
    const std::size_t length = DecodeUTF8(p, end, cp);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

std::u16string QPX_Framework_UTF8ToUTF16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    std::uint32_t cp = 0;
    std::size_t length = DecodeUTF8(p, end, cp);
    if (length == 0) {
      cp = 0xFFFD;
      length = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    p += length;
  }
  return out;
}

std::string QPX_Framework_Base64_Encode(const std::uint8_t* bytes, std::size_t length) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  QPX_Assert(bytes != nullptr || length == 0);
  const std::size_t expected = 4 * ((length + 2) / 3);
  std::string out;
  out.reserve(expected);
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const std::uint32_t n =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(kAlphabet[(n >> 6) & 63]);
    out.push_back(kAlphabet[n & 63]);
  }
  if (const std::size_t left = length - i; left > 0) {
    std::uint32_t n = std::uint32_t{bytes[i]} << 16;
    if (left == 2) n |= std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(left == 2 ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
  QPX_Assert(out.size() == expected);
  return out;
}

std::string QPX_Framework_Base64_Encode_String(std::string_view text) {
  return QPX_Framework_Base64_Encode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// --- System ----------------------------------------------------------------------------------

double QPX_Framework_GetSystemUptime() {
  struct timespec now {};
  if (::clock_gettime(CLOCK_BOOTTIME, &now) != 0) return 0.0;
  const double uptime = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  if (uptime > 0) QPX_Log(QPX_LOG_TRACE, "%g", uptime);
  return uptime;
}
