#pragma once
// Typed access to dictionary records (command dictionaries, property lists, storage
// values), URL query building, HTML escaping, keeping handles in a set, and sort orders
// written as text. All are free functions over Value and std::string.
//
// A missing value is never an error; a present value of the wrong class is a programming
// error and ends in an assertion.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

// --- strings -------------------------------------------------------------------------------

// Appends `prefix` as given (such as "&build=") and then `value` escaped as a query
// component: everything but A-Z a-z 0-9 - . _ ~ becomes %XX of its UTF-8 bytes, so "&", "="
// "+" and "#" in the value cannot end the parameter. A null value appends nothing; a value
// that is not a string is an assertion.
void AddURLParameter(std::string& target, std::string_view prefix, const Value& value);

// '"' → "&quot;", '&' → "&amp;", '<' → "&lt;", '>' → "&gt;"; everything else as it is.
std::string QPX_Framework_EscapeHTML(std::string_view text);

// --- dictionaries, reading -----------------------------------------------------------------

// The string under the key, or none when absent.
std::optional<std::string> stringForKey(const Value& dictionary, std::string_view key);
// The number under the key, or null when absent.
Value numberForKey(const Value& dictionary, std::string_view key);
// Absent: the default. A number: its value. A string: its floating-point value (leading
// white space skipped, as much of a number as it starts with, 0 when none).
double QPX_Framework_GetDouble(const Value& dictionary, std::string_view key, double defaultValue);
// The value under the key when it is of that kind, else null.
Value QPX_Framework_GetObjectForKey(const Value& dictionary, std::string_view key, Value::Kind ifClass);
// The object under the key when it is a T (or derives from it), else null.
template <class T>
std::shared_ptr<T> QPX_Framework_GetObjectForKey(const Value& dictionary, std::string_view key) {
  return dictionary.get(key).template objectAs<T>();
}

// --- dictionaries, writing (a null dictionary becomes an empty one) ------------------------

void QPX_Framework_SetInt(Value& dictionary, std::int32_t value, std::string_view key);
void QPX_Framework_SetDouble(Value& dictionary, double value, std::string_view key);
void QPX_Framework_SetBool(Value& dictionary, bool value, std::string_view key);
void QPX_Framework_SetUnsignedLongLong(Value& dictionary, std::uint64_t value, std::string_view key);
// Stores the UTF-8 text (which must be given) and answers it.
std::string QPX_Framework_SetCString(Value& dictionary, const char* text, std::string_view key);
// Stores the value, or removes the key for a null value.
void QPX_Framework_SetObject(Value& dictionary, const Value& value, std::string_view key);
// Copies other's value for the key, or removes the key when other has none; answers it.
Value QPX_Framework_Copy(Value& dictionary, std::string_view key, const Value& other);

// --- sets ----------------------------------------------------------------------------------

// Inserts the object (which must be given) into the set, which from then on keeps it: a
// module keeps its subscription handles this way and ends them all by emptying the set.
// A null set becomes an empty set first.
void addObjectRelease(Value& set, Value object);

// --- sort orders ---------------------------------------------------------------------------

// The sort order of one column: its key and direction.
struct QPX_Framework_SortDescriptor {
  std::string key;
  bool ascending = true;
  friend bool operator==(const QPX_Framework_SortDescriptor&, const QPX_Framework_SortDescriptor&) = default;
};

// "A:<key>" for ascending, "D:<key>" for descending.
std::string QPX_framework_EncodeAsString(const QPX_Framework_SortDescriptor& descriptor);
// The reverse of the above; none unless the text is "A:" or "D:" followed by a key.
std::optional<QPX_Framework_SortDescriptor> QPX_Framework_InitWithString(std::string_view text);
// The encodings joined by U+FFFD.
std::string QPX_Framework_EncodeDescriptorArrayAsString(
    const std::vector<QPX_Framework_SortDescriptor>& descriptors);
// One descriptor per piece between U+FFFD characters; none when any piece does not decode
// (so the empty text gives none).
std::optional<std::vector<QPX_Framework_SortDescriptor>> QPX_Framework_DecodeDescriptorArrayFromString(
    std::string_view text);
