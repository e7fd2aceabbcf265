#include "framework/util/regex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "framework/core/log.h"
#include "framework/util/misc.h"

namespace {

// The cache and the one lock that guards it and every execution of a cached expression.
// Made on first use and deliberately never destroyed: modem threads may still be matching
// while the process exits, and the patterns are a fixed set of program constants.
struct RegexCache {
  std::mutex lock;
  std::unordered_map<std::string, std::unique_ptr<regex_t>> compiled;
};

RegexCache& Cache() {
  static RegexCache* cache = new RegexCache;
  return *cache;
}

// Under the cache lock.
const regex_t& CompiledLocked(RegexCache& cache, const char* pattern) {
  std::string key(pattern);
  auto found = cache.compiled.find(key);
  if (found != cache.compiled.end()) return *found->second;
  auto expression = std::make_unique<regex_t>();
  int status = regcomp(expression.get(), pattern, REG_EXTENDED | REG_ICASE);
  if (status != 0) {
    char message[256];
    regerror(status, expression.get(), message, sizeof message);
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                Value("regcomp(\"" + key + "\"): " + message));
  }
  // The result has one slot per group plus the whole match; more groups than that would be
  // silently cut off, so such a pattern is refused like one that does not compile.
  if (expression->re_nsub + 1 > static_cast<std::size_t>(QPX_Framework_Regex_MaxMatches)) {
    regfree(expression.get());
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                Value("too many groups in \"" + key + "\""));
  }
  const regex_t& result = *expression;
  cache.compiled.emplace(std::move(key), std::move(expression));
  return result;
}

void CheckPattern(const char* pattern) {
  QPX_Assert(pattern != nullptr);
  QPX_Assert_Detail(QPX_Framework_IsValidUTF8(pattern), Value("pattern is not UTF-8"));
}

// The entry of a match result, checking the caller's side of the contract.
Value GroupEntry(const Value& match, std::size_t index) {
  QPX_Assert_Detail(match.isArray(), Value("no match result"));
  QPX_Assert_Detail(index < match.size(), Value("group index out of range"));
  return match.at(index);
}

// The matched bytes of an entry, without the terminating zero byte.
std::string_view EntryBytes(const Value& entry) {
  const Value::Bytes& bytes = entry.data();
  std::size_t length = bytes.size();
  if (length > 0 && bytes[length - 1] == 0) --length;
  return {reinterpret_cast<const char*>(bytes.data()), length};
}

}  // namespace

const regex_t& QPX_Framework_GetCompiledRegex(const char* pattern) {
  CheckPattern(pattern);
  RegexCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  return CompiledLocked(cache, pattern);
}

Value QPX_Framework_Regex_Match_CString(const char* pattern, const char* subject) {
  QPX_Assert(subject != nullptr);
  CheckPattern(pattern);
  regmatch_t slots[QPX_Framework_Regex_MaxMatches];
  std::size_t groups;
  {
    RegexCache& cache = Cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    const regex_t& expression = CompiledLocked(cache, pattern);
    if (regexec(&expression, subject, QPX_Framework_Regex_MaxMatches, slots, REG_NOTEOL) != 0) return Value();
    groups = expression.re_nsub;
  }
  Value result = Value::EmptyArray();
  Value::Array& entries = result.mutableArray();
  entries.reserve(groups + 1);
  for (std::size_t i = 0; i <= groups; ++i) {
    if (slots[i].rm_so < 0 || slots[i].rm_eo < slots[i].rm_so) {
      entries.emplace_back();
      continue;
    }
    Value::Bytes bytes(subject + slots[i].rm_so, subject + slots[i].rm_eo);
    bytes.push_back(0);
    entries.push_back(Value::Data(std::move(bytes)));
  }
  return result;
}

Value QPX_Framework_Regex_Match_Data(const char* pattern, std::string_view subject) {
  if (!subject.empty() && subject.back() == '\0')
    return QPX_Framework_Regex_Match_CString(pattern, subject.data());
  std::string terminated(subject);  // std::string keeps a zero byte after its contents
  return QPX_Framework_Regex_Match_CString(pattern, terminated.c_str());
}

Value QPX_Framework_Regex_Match_Data(const char* pattern, const Value::Bytes& subject) {
  return QPX_Framework_Regex_Match_Data(
      pattern, std::string_view(reinterpret_cast<const char*>(subject.data()), subject.size()));
}

std::optional<std::uint64_t> QPX_Framework_Regex_GetInteger(const Value& match, std::size_t index) {
  Value entry = GroupEntry(match, index);
  if (entry.isNull()) {
    QPX_Log(QPX_LOG_ERROR, "Group %zu did not take part in the match; no number", index);
    return std::nullopt;
  }
  std::string text(EntryBytes(entry));
  // strtoull would accept a minus sign and wrap the value around; a group read as an
  // unsigned number must not turn "-1" into a huge one.
  std::size_t start = text.find_first_not_of(" \t");
  bool hasDigits = start != std::string::npos && text[start] != '-';
  errno = 0;
  char* end = nullptr;
  unsigned long long number = hasDigits ? std::strtoull(text.c_str(), &end, 10) : 0;
  if (!hasDigits || end == text.c_str() || *end != '\0' || errno == ERANGE ||
      text.size() != std::strlen(text.c_str())) {
    QPX_Log(QPX_LOG_ERROR, "Group %zu is not an unsigned decimal number: \"%s\"", index,
            QPX_Framework_Log_ModemData(EntryBytes(entry)).c_str());
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(number);
}

std::optional<std::string> QPX_Framework_Regex_GetString(const Value& match, std::size_t index) {
  Value entry = GroupEntry(match, index);
  if (entry.isNull()) return std::nullopt;
  std::string_view bytes = EntryBytes(entry);
  if (!QPX_Framework_IsValidUTF8(bytes)) {
    QPX_Log(QPX_LOG_ERROR, "Group %zu is not UTF-8: \"%s\"", index,
            QPX_Framework_Log_ModemData(bytes).c_str());
    return std::nullopt;
  }
  return std::string(bytes);
}

Value QPX_Framework_ParseList(std::string_view text) {
  auto malformed = [&text](const char* why) {
    QPX_Log(QPX_LOG_ERROR, "Malformed list (%s): \"%s\"", why, QPX_Framework_Log_ModemData(text).c_str());
    return Value();
  };
  if (!QPX_Framework_IsValidUTF8(text)) return malformed("not UTF-8");
  Value result = Value::EmptySet();
  std::optional<std::string> item;  // the open item, between its quotes
  bool commaPending = false;
  // Quotes, commas and blanks are ASCII, and bytes of a multi-byte character never are, so
  // walking bytes finds the same structure as walking characters.
  for (char c : text) {
    if (item) {
      if (c == '"') {
        result.append(Value(std::move(*item)));
        item.reset();
        commaPending = false;
      } else {
        item->push_back(c);
      }
    } else if (c == ' ' || c == '\t') {
      continue;
    } else if (c == '"') {
      item.emplace();
    } else if (c == ',') {
      if (result.empty()) return malformed("comma before the first item");
      if (commaPending) return malformed("two commas");
      commaPending = true;
    } else {
      return malformed("character outside quotes");
    }
  }
  if (item) return malformed("unclosed quote");
  if (commaPending) return malformed("trailing comma");
  return result;
}

Value QPX_Framework_StringToNumber(const Value& object) {
  if (!object.isString()) return object;
  const std::string& text = object.string();
  errno = 0;
  char* end = nullptr;
  long number = std::strtol(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE || text.size() != std::strlen(text.c_str())) {
    QPX_Log(QPX_LOG_ERROR, "Not a number: \"%s\"", text.c_str());
    return Value();
  }
  return Value(number);
}
