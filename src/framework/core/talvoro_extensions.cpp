#include "framework/core/talvoro_extensions.h"

#include <charconv>

#include "framework/core/log.h"

namespace {

// U+FFFD in UTF-8: the separator of encoded sort orders, a character no key holds.
constexpr std::string_view kDescriptorSeparator = "\xEF\xBF\xBD";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::string KindMismatch(std::string_view key, const char* expected, const Value& found) {
  return "value for key \"" + std::string(key) + "\" is not " + expected + ": " + found.Description();
}

// The floating-point value a text starts with, as text fields answer it: leading white
// space skipped, then as much of a number as there is; 0 when there is none.
double FloatingValueOfText(const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  while (begin < end && (*begin == ' ' || *begin == '\t' || *begin == '\n' || *begin == '\r')) ++begin;
  if (begin < end && *begin == '+') ++begin;
  double result = 0;
  if (std::from_chars(begin, end, result).ec != std::errc()) return 0;
  return result;
}

}  // namespace

void AddURLParameter(std::string& target, std::string_view prefix, const Value& value) {
  if (value.isNull()) return;
  QPX_Assert_Detail(value.isString(), Value("URL parameter value is not a string: " + value.Description()));
  target += prefix;
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : value.string()) {
    if (IsUnreserved(c)) {
      target += static_cast<char>(c);
    } else {
      target += '%';
      target += kHex[c >> 4];
      target += kHex[c & 0x0F];
    }
  }
}

std::string QPX_Framework_EscapeHTML(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"':
        result += "&quot;";
        break;
      case '&':
        result += "&amp;";
        break;
      case '<':
        result += "&lt;";
        break;
      case '>':
        result += "&gt;";
        break;
      default:
        result += c;
    }
  }
  return result;
}

std::optional<std::string> stringForKey(const Value& dictionary, std::string_view key) {
  Value value = dictionary.get(key);
  if (value.isNull()) return std::nullopt;
  QPX_Assert_Detail(value.isString(), Value(KindMismatch(key, "a string", value)));
  return value.string();
}

Value numberForKey(const Value& dictionary, std::string_view key) {
  Value value = dictionary.get(key);
  if (value.isNull()) return value;
  QPX_Assert_Detail(value.isNumber(), Value(KindMismatch(key, "a number", value)));
  return value;
}

double QPX_Framework_GetDouble(const Value& dictionary, std::string_view key, double defaultValue) {
  Value value = dictionary.get(key);
  if (value.isNull()) return defaultValue;
  if (value.isNumber()) return value.toDouble();
  QPX_Assert_Detail(value.isString(), Value(KindMismatch(key, "a number", value)));
  return FloatingValueOfText(value.string());
}

Value QPX_Framework_GetObjectForKey(const Value& dictionary, std::string_view key, Value::Kind ifClass) {
  Value value = dictionary.get(key);
  return value.kind() == ifClass ? value : Value();
}

void QPX_Framework_SetInt(Value& dictionary, std::int32_t value, std::string_view key) {
  dictionary.set(key, Value(static_cast<int>(value)));
}

void QPX_Framework_SetDouble(Value& dictionary, double value, std::string_view key) {
  dictionary.set(key, Value(value));
}

void QPX_Framework_SetBool(Value& dictionary, bool value, std::string_view key) {
  dictionary.set(key, Value(value));
}

void QPX_Framework_SetUnsignedLongLong(Value& dictionary, std::uint64_t value, std::string_view key) {
  dictionary.set(key, Value(static_cast<unsigned long long>(value)));
}

std::string QPX_Framework_SetCString(Value& dictionary, const char* text, std::string_view key) {
  QPX_Assert(text != nullptr);
  std::string stored(text);
  dictionary.set(key, Value(stored));
  return stored;
}

void QPX_Framework_SetObject(Value& dictionary, const Value& value, std::string_view key) {
  dictionary.set(key, value);
}

Value QPX_Framework_Copy(Value& dictionary, std::string_view key, const Value& other) {
  Value value = other.get(key);
  dictionary.set(key, value);
  return value;
}

void addObjectRelease(Value& set, Value object) {
  QPX_Assert(!object.isNull());
  if (set.isNull()) set = Value::EmptySet();
  QPX_Assert_Detail(set.isSet(),
                    Value("addObjectRelease on a value that is not a set: " + set.Description()));
  set.append(std::move(object));
}

std::string QPX_framework_EncodeAsString(const QPX_Framework_SortDescriptor& descriptor) {
  return std::string(descriptor.ascending ? "A:" : "D:") + descriptor.key;
}

std::optional<QPX_Framework_SortDescriptor> QPX_Framework_InitWithString(std::string_view text) {
  if (text.size() < 3 || text[1] != ':') return std::nullopt;
  if (text[0] != 'A' && text[0] != 'D') return std::nullopt;
  return QPX_Framework_SortDescriptor{std::string(text.substr(2)), text[0] == 'A'};
}

std::string QPX_Framework_EncodeDescriptorArrayAsString(
    const std::vector<QPX_Framework_SortDescriptor>& descriptors) {
  std::string result;
  for (std::size_t i = 0; i < descriptors.size(); ++i) {
    if (i > 0) result += kDescriptorSeparator;
    result += QPX_framework_EncodeAsString(descriptors[i]);
  }
  return result;
}

std::optional<std::vector<QPX_Framework_SortDescriptor>> QPX_Framework_DecodeDescriptorArrayFromString(
    std::string_view text) {
  std::vector<QPX_Framework_SortDescriptor> result;
  while (true) {
    std::size_t separator = text.find(kDescriptorSeparator);
    std::optional<QPX_Framework_SortDescriptor> descriptor =
        QPX_Framework_InitWithString(text.substr(0, separator));
    if (!descriptor) return std::nullopt;
    result.push_back(std::move(*descriptor));
    if (separator == std::string_view::npos) break;
    text.remove_prefix(separator + kDescriptorSeparator.size());
  }
  return result;
}
