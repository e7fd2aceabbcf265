#include "framework/core/strings.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "platform/bundle.h"
#include "platform/plist.h"

const char* const QPX_Framework_FallbackLanguage = "en";

namespace {

const char* const kStringsFile = "Strings";
const char* const kMissingText = "???";
// References nest this deep at most; a chain that goes further is treated like a cycle.
constexpr std::size_t kMaxReferenceDepth = 16;

// Everything below is guarded by QPX_Framework_GlobalMutex.
struct StringState {
  bool loaded = false;
  Value localized;
  Value english;
  // Raw text -> its full expansion. Only expansions that were not cut short (by a cycle or
  // the depth limit) are kept, since those alone do not depend on where they were asked for.
  std::map<std::string, const std::string*, std::less<>> cache;
  // Every text ever handed out, never freed: callers keep references for the process's
  // life, also across a reset.
  std::set<std::string, std::less<>> interned;
};

StringState& State() {
  static StringState state;
  return state;
}

const std::string& Intern(StringState& state, std::string text) {
  return *state.interned.insert(std::move(text)).first;
}

std::optional<std::string> FilePath(const char* name, bool englishOnly) {
  if (name == nullptr || *name == '\0') return std::nullopt;
  auto bundle = platform::Bundle::Main();
  if (!bundle) return std::nullopt;
  std::vector<std::string> languages;
  if (!englishOnly) {
    languages = bundle->preferredLocalizations();
    languages.push_back(QPX_Framework_FallbackLanguage);
  }
  languages.push_back("en");
  return bundle->pathForResource(name, languages);
}

Value LoadTable(bool englishOnly, std::vector<std::string>& warnings) {
  const auto path = FilePath(kStringsFile, englishOnly);
  if (!path) return Value::EmptyDictionary();
  auto table = platform::plist::ReadFile(*path);
  if (!table || !table->isDictionary()) {
    warnings.push_back("Unreadable string table \"" + *path + "\"");
    return Value::EmptyDictionary();
  }
  return *table;
}

void LoadTables(StringState& state, std::vector<std::string>& warnings) {
  if (state.loaded) return;
  state.localized = LoadTable(false, warnings);
  state.english = LoadTable(true, warnings);
  state.loaded = true;
}

// The text of an entry; numbers are accepted as their decimal text.
std::optional<std::string> EntryText(const Value& entry) {
  if (entry.isString()) return entry.string();
  if (entry.isNumber() && !entry.isReal() && !entry.isBoolean()) return std::to_string(entry.toInt64());
  return std::nullopt;
}

// Reads an integer the way texts are read as numbers: leading blanks, an optional sign,
// then digits up to the first other character. nullopt without digits or beyond int.
std::optional<int> LeadingInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  std::size_t digits = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

const std::string& Lookup(StringState& state, int stringID, std::vector<int>& chain, bool& cut,
                          std::vector<std::string>& warnings);

// Replaces every "$$<id>$$" by the expanded text of that ID. A reference that does not name
// a valid ID, or that would close a cycle or nest too deeply, is left as it stands.
const std::string& Expand(StringState& state, const std::string& raw, std::vector<int>& chain, bool& cut,
                          std::vector<std::string>& warnings) {
  if (auto hit = state.cache.find(raw); hit != state.cache.end()) return *hit->second;

  std::string text = raw;
  bool wasCut = false;
  std::size_t from = 0;
  for (;;) {
    const std::size_t open = text.find("$$", from);
    if (open == std::string::npos) break;
    const std::size_t close = text.find("$$", open + 2);
    if (close == std::string::npos) break;  // an unclosed "$$" stays as it is
    const std::size_t end = close + 2;
    const auto number = LeadingInteger(std::string_view(text).substr(open + 2, close - open - 2));
    if (!number || *number == 0) {
      warnings.push_back("String reference \"" + text.substr(open, end - open) + "\" names no string");
      from = end;
      continue;
    }
    bool inChain = false;
    for (int id : chain) inChain = inChain || id == *number;
    if (inChain || chain.size() >= kMaxReferenceDepth) {
      warnings.push_back("String reference \"" + text.substr(open, end - open) +
                         (inChain ? "\" refers to itself" : "\" nests too deeply"));
      wasCut = true;
      from = end;
      continue;
    }
    bool innerCut = false;
    const std::string& replacement = Lookup(state, *number, chain, innerCut, warnings);
    wasCut = wasCut || innerCut;
    text.replace(open, end - open, replacement);
    // The inserted text is fully expanded already; a "$$" left in it must not pair up with
    // one of the surrounding text.
    from = open + replacement.size();
  }

  const std::string& result = Intern(state, std::move(text));
  if (wasCut)
    cut = true;
  else
    state.cache.emplace(raw, &result);
  return result;
}

const std::string& Lookup(StringState& state, int stringID, std::vector<int>& chain, bool& cut,
                          std::vector<std::string>& warnings) {
  LoadTables(state, warnings);
  const std::string key = std::to_string(stringID);
  auto raw = EntryText(state.localized.get(key));
  if (!raw) raw = EntryText(state.english.get(key));
  if (raw) {
    chain.push_back(stringID);
    const std::string& result = Expand(state, *raw, chain, cut, warnings);
    chain.pop_back();
    return result;
  }
  if (stringID == -100 && !QPX_Framework_ApplicationInfo.displayName.empty())
    return Intern(state, QPX_Framework_ApplicationInfo.displayName);
  return Intern(state, kMissingText);
}

void LogWarnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) QPX_Log(QPX_LOG_ERROR, "%s", warning.c_str());
}

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// "STRING:<id>" with optional blanks around the parts; the ID when the whole text is one.
std::optional<std::string_view> StringReference(std::string_view text) {
  static constexpr std::string_view kPrefix = "STRING:";
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (text.substr(i, kPrefix.size()) != kPrefix) return std::nullopt;
  i += kPrefix.size();
  while (i < text.size() && IsBlank(text[i])) ++i;
  const std::size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t digitsStart = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digitsStart) return std::nullopt;
  const std::size_t stop = i;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i != text.size()) return std::nullopt;
  return text.substr(start, stop - start);
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// An escape "U+<hex digits>;" at `at`: its UTF-16 code unit and the position after the ";".
// Digits beyond the fourth shift the earlier ones out; no digits at all give unit 0.
std::optional<std::pair<uint32_t, std::size_t>> EscapeAt(std::string_view text, std::size_t at) {
  if (text.substr(at, 2) != "U+") return std::nullopt;
  uint32_t unit = 0;
  std::size_t i = at + 2;
  for (; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
    const char c = text[i];
    const uint32_t digit = std::isdigit(static_cast<unsigned char>(c)) ? uint32_t(c - '0')
                                                                       : uint32_t(std::tolower(c) - 'a' + 10);
    unit = ((unit << 4) | digit) & 0xFFFF;
  }
  if (i >= text.size() || text[i] != ';') return std::nullopt;
  return std::make_pair(unit, i + 1);
}

// Replaces the escapes. UTF-8 cannot hold a lone surrogate, so a high surrogate written
// directly before a low one becomes the one character the pair stands for, and a surrogate
// without its partner becomes U+FFFD.
std::string ReplaceEscapes(const std::string& text) {
  if (text.find("U+") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto escape = EscapeAt(text, i);
    if (!escape) {
      out.push_back(text[i]);
      ++i;
      continue;
    }
    uint32_t unit = escape->first;
    i = escape->second;
    if (IsHighSurrogate(unit)) {
      auto low = EscapeAt(text, i);
      if (low && IsLowSurrogate(low->first)) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low->first - 0xDC00));
        i = low->second;
        continue;
      }
      unit = 0xFFFD;
    } else if (IsLowSurrogate(unit)) {
      unit = 0xFFFD;
    }
    AppendUtf8(out, unit);
  }
  return out;
}

}  // namespace

std::optional<std::string> QPX_Framework_FilePath(const char* name) { return FilePath(name, false); }

std::optional<std::string> QPX_Framework_FilePathString(const std::string& name) {
  return FilePath(name.c_str(), false);
}

std::optional<std::string> QPX_Framework_Localization_GetStringsLanguage() {
  const auto path = FilePath(kStringsFile, false);
  if (!path) return std::nullopt;
  const std::size_t slash = path->rfind('/');
  if (slash == std::string::npos || slash == 0) return std::nullopt;
  const std::size_t parentStart = path->rfind('/', slash - 1);
  const std::string folder = path->substr(parentStart == std::string::npos ? 0 : parentStart + 1,
                                          slash - (parentStart == std::string::npos ? 0 : parentStart + 1));
  static constexpr std::string_view kSuffix = ".lproj";
  if (folder.size() <= kSuffix.size() ||
      folder.compare(folder.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
    return std::nullopt;
  return folder.substr(0, folder.size() - kSuffix.size());
}

const std::string& QPX_Framework_GetString(int stringID) {
  QPX_Assert_Detail(stringID != 0, Value("String ID 0"));
  std::vector<std::string> warnings;
  const std::string* result;
  {
    std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
    std::vector<int> chain;
    bool cut = false;
    result = &Lookup(State(), stringID, chain, cut, warnings);
  }
  // Logged outside the lock, so the log never waits on it.
  LogWarnings(warnings);
  return *result;
}

int QPX_Framework_LanguageID() { return LeadingInteger(QPX_Framework_GetString(-1)).value_or(0); }

std::string QPX_Framework_LanguageCode() { return QPX_Framework_GetString(-2); }

std::string QPX_Framework_LocalizedString(const std::string& text) {
  if (auto reference = StringReference(text)) {
    const auto stringID = LeadingInteger(*reference);
    // A description naming no valid ID shows the missing-text marker rather than stopping.
    if (!stringID || *stringID == 0) {
      QPX_Log(QPX_LOG_ERROR, "\"%s\" names no string", text.c_str());
      return kMissingText;
    }
    return QPX_Framework_GetString(*stringID);
  }
  return ReplaceEscapes(text);
}

std::optional<std::string> QPX_Framework_LocalizedString(const char* text) {
  if (text == nullptr) return std::nullopt;
  return QPX_Framework_LocalizedString(std::string(text));
}

void _QPX_Framework_Strings_Reset() {
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  StringState& state = State();
  state.loaded = false;
  state.localized = Value();
  state.english = Value();
  state.cache.clear();
}
