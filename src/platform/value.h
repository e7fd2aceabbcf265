#pragma once
// Value: the one record type that crosses module boundaries. It holds what a property list
// holds (numbers, strings, dates, data, arrays, dictionaries), plus a set and an `object`
// kind for live C++ objects carried in records (threads, storage nodes, callbacks).
//
// Copies share their payload and copy on write: passing a Value between threads is cheap
// and safe, and changing one copy never changes another. A Value object itself is not
// synchronised; two threads must not change the same Value object at once.

#include <compare>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Base of every C++ object that travels inside a Value. Compared by identity.
class ValueObject {
 public:
  virtual ~ValueObject() = default;
  // Shown where a record is logged or described.
  virtual std::string Description() const;
};

class Value {
 public:
  enum class Kind { Null, Number, String, Date, Data, Array, Set, Dictionary, Object };
  // A number remembers how it was made; every typed getter accepts every number kind.
  enum class NumberKind { Integer, Unsigned, Real, Boolean };

  using Array = std::vector<Value>;
  using Dictionary = std::map<std::string, Value, std::less<>>;
  using Bytes = std::vector<std::uint8_t>;

  Value() noexcept = default;  // null
  Value(std::nullptr_t) noexcept {}
  Value(bool b);
  Value(int i);
  Value(long i);
  Value(long long i);
  Value(unsigned u);
  Value(unsigned long u);
  Value(unsigned long long u);
  Value(double d);
  Value(const char* s);  // null pointer gives null
  Value(std::string s);
  Value(std::string_view s);
  Value(Array a);
  Value(Dictionary d);
  Value(std::initializer_list<std::pair<const std::string, Value>> dictionary);

  // Seconds since 2001-01-01 00:00:00 UTC, as property lists count.
  static Value Date(double secondsSince2001);
  static Value DateFromUnix(double secondsSince1970);
  static Value Data(Bytes bytes);
  static Value Data(std::string_view bytes);
  static Value EmptyArray();
  static Value EmptyDictionary();
  static Value EmptySet();
  static Value Set(const Array& members);  // duplicates are dropped
  static Value Object(std::shared_ptr<ValueObject> object);  // null pointer gives null

  static constexpr double kUnixToReferenceDate = 978307200.0;

  Kind kind() const noexcept;
  bool isNull() const noexcept { return kind() == Kind::Null; }
  bool isNumber() const noexcept { return kind() == Kind::Number; }
  bool isString() const noexcept { return kind() == Kind::String; }
  bool isDate() const noexcept { return kind() == Kind::Date; }
  bool isData() const noexcept { return kind() == Kind::Data; }
  bool isArray() const noexcept { return kind() == Kind::Array; }
  bool isSet() const noexcept { return kind() == Kind::Set; }
  bool isDictionary() const noexcept { return kind() == Kind::Dictionary; }
  bool isObject() const noexcept { return kind() == Kind::Object; }
  explicit operator bool() const noexcept { return !isNull(); }

  // Numbers. On a value that is not a number these answer the fallback.
  NumberKind numberKind() const noexcept;  // Integer when not a number
  bool isBoolean() const noexcept;
  bool isReal() const noexcept;
  std::int64_t toInt64(std::int64_t fallback = 0) const noexcept;
  std::uint64_t toUInt64(std::uint64_t fallback = 0) const noexcept;
  int toInt(int fallback = 0) const noexcept;
  double toDouble(double fallback = 0) const noexcept;
  bool toBool(bool fallback = false) const noexcept;

  // Strings. Empty string (or the fallback) when not a string.
  // The accessors that hand out a reference into the payload answer a copy when called on a
  // temporary, so `node.Get("Key").string()` or a loop over `record.get("List").array()` never
  // refers into a Value that is already gone.
  const std::string& string() const& noexcept;
  std::string string() && { return string_copy(); }
  std::string stringOr(std::string fallback) const;
  std::optional<std::string> optString() const;

  // Dates: seconds since 2001-01-01 UTC; 0 when not a date.
  double dateValue() const noexcept;
  double unixTime() const noexcept { return dateValue() + kUnixToReferenceDate; }

  // Data. Empty when not data.
  const Bytes& data() const& noexcept;
  Bytes data() && { return data_copy(); }

  // Arrays and sets share the element accessors; members of a set come in no defined order.
  const Array& array() const& noexcept;  // empty when neither array nor set
  Array array() && { return array_copy(); }
  std::size_t size() const noexcept;    // arrays, sets and dictionaries; 0 otherwise
  bool empty() const noexcept { return size() == 0; }
  // A null Value becomes an empty array on append, insertAt and mutableArray; other kinds
  // that are not arrays assert (a set also asserts on mutableArray, which could duplicate).
  Value at(std::size_t index) const;          // null when out of range
  void append(Value v);                       // array: appends; set: inserts unless present
  void insertAt(std::size_t index, Value v);  // index <= size(); on a set, an insert
  void removeAt(std::size_t index);           // index < size()
  bool containsMember(const Value& v) const;  // arrays and sets
  bool removeMember(const Value& v);          // removes the first equal member
  Array& mutableArray();                      // detaches

  // Dictionaries.
  const Dictionary& dictionary() const& noexcept;  // empty when not a dictionary
  Dictionary dictionary() && { return dictionary_copy(); }
  Value get(std::string_view key) const;          // null when absent or not a dictionary
  Value operator[](std::string_view key) const { return get(key); }
  bool contains(std::string_view key) const;
  // Sets or, with a null value, removes the key. A null Value becomes an empty dictionary
  // first; any other kind asserts.
  void set(std::string_view key, Value v);
  bool remove(std::string_view key);
  Dictionary& mutableDictionary();  // detaches; a null Value becomes an empty dictionary
  std::vector<std::string> keys() const;

  // Objects.
  const std::shared_ptr<ValueObject>& object() const noexcept;  // null when not an object
  template <class T>
  std::shared_ptr<T> objectAs() const {
    return std::dynamic_pointer_cast<T>(object());
  }

  // Deep equality: numbers by numeric value across number kinds, objects by identity,
  // dictionaries and arrays member by member, sets regardless of order.
  friend bool operator==(const Value& a, const Value& b);
  friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

  // The "comparable" rule: numbers with numbers, strings with strings (byte order of UTF-8,
  // which is code point order), dates with dates. Any other pair is unordered.
  static std::partial_ordering Compare(const Value& a, const Value& b);

  // A readable rendering for logs ("%@"), in the old-style property-list text form:
  // `{ key = value; }`, `( a, b )`, `{( a, b )}` for a set, `<0a0b0c0d 0e>` for data, dates
  // as ISO 8601 UTC, booleans as 1/0. A string on its own reads as itself; inside a
  // container it is quoted where the text form needs it.
  std::string Description() const;

  struct Payload;  // defined in value.cpp

 private:
  std::string string_copy() const { return string(); }
  Bytes data_copy() const { return data(); }
  Array array_copy() const { return array(); }
  Dictionary dictionary_copy() const { return dictionary(); }

  std::shared_ptr<Payload> payload_;  // null for a null Value
  Payload& detach();
};

}  // namespace platform

using platform::Value;
