#include "platform/value.h"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <type_traits>
#include <typeinfo>
#include <variant>

#include "platform/assert.h"

namespace platform {

std::string ValueObject::Description() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled) ? demangled : mangled;
  std::free(demangled);
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return "<" + name + ": " + address + ">";
}

// One payload holds one kind. Arrays and sets share the vector storage; the kind tells
// them apart. Booleans are stored as Integer 0/1 with their own number kind.
struct Value::Payload {
  struct Number {
    NumberKind kind = NumberKind::Integer;
    std::int64_t i = 0;   // Integer, Boolean
    std::uint64_t u = 0;  // Unsigned (only above INT64_MAX)
    double d = 0;         // Real
  };
  struct DateSeconds {
    double seconds = 0;
  };
  using Storage = std::variant<std::monostate, Number, std::string, DateSeconds, Bytes, Array, Dictionary,
                               std::shared_ptr<ValueObject>>;

  Kind kind = Kind::Null;
  Storage storage;

  // Built in place: a Storage temporary moved into place trips GCC 12's maybe-uninitialized
  // analysis at -O3.
  template <class T>
  Payload(Kind k, T&& value)
      : kind(k), storage(std::in_place_type<std::decay_t<T>>, std::forward<T>(value)) {}
};

namespace {

using Number = Value::Payload::Number;

constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

const std::string& EmptyString() {
  static const std::string empty;
  return empty;
}
const Value::Bytes& EmptyBytes() {
  static const Value::Bytes empty;
  return empty;
}
const Value::Array& EmptyArrayStorage() {
  static const Value::Array empty;
  return empty;
}
const Value::Dictionary& EmptyDictionaryStorage() {
  static const Value::Dictionary empty;
  return empty;
}
const std::shared_ptr<ValueObject>& EmptyObject() {
  static const std::shared_ptr<ValueObject> empty;
  return empty;
}

std::shared_ptr<Value::Payload> MakeNumber(Number n) {
  return std::make_shared<Value::Payload>(Value::Kind::Number, n);
}

std::shared_ptr<Value::Payload> MakeSigned(std::int64_t i) {
  Number n;
  n.kind = Value::NumberKind::Integer;
  n.i = i;
  return MakeNumber(n);
}

// Unsigned values that fit are stored as Integer, so that one number has one form and a
// round trip through a property list (which keeps no such distinction) is exact.
std::shared_ptr<Value::Payload> MakeUnsigned(std::uint64_t u) {
  if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return MakeSigned(static_cast<std::int64_t>(u));
  }
  Number n;
  n.kind = Value::NumberKind::Unsigned;
  n.u = u;
  return MakeNumber(n);
}

bool IsIntegral(const Number& n) { return n.kind != Value::NumberKind::Real; }

std::partial_ordering CompareIntegral(const Number& a, const Number& b) {
  using NK = Value::NumberKind;
  const bool aU = a.kind == NK::Unsigned;
  const bool bU = b.kind == NK::Unsigned;
  if (aU && bU) return a.u <=> b.u;
  if (aU) {
    if (b.i < 0) return std::partial_ordering::greater;
    return a.u <=> static_cast<std::uint64_t>(b.i);
  }
  if (bU) {
    if (a.i < 0) return std::partial_ordering::less;
    return static_cast<std::uint64_t>(a.i) <=> b.u;
  }
  return a.i <=> b.i;
}

// Orders a real against an integral number exactly (no rounding of large integers).
std::partial_ordering CompareRealToIntegral(double d, const Number& n) {
  if (std::isnan(d)) return std::partial_ordering::unordered;
  const double fraction = d - std::trunc(d);
  if (n.kind == Value::NumberKind::Unsigned) {
    if (d < 0) return std::partial_ordering::less;
    if (d >= kTwoTo64) return std::partial_ordering::greater;
    const auto t = static_cast<std::uint64_t>(d);
    if (t != n.u) return t <=> n.u;
    return fraction <=> 0.0;
  }
  if (d < -kTwoTo63) return std::partial_ordering::less;
  if (d >= kTwoTo63) return std::partial_ordering::greater;
  const auto t = static_cast<std::int64_t>(d);
  if (t != n.i) return t <=> n.i;
  return fraction <=> 0.0;
}

std::partial_ordering Reverse(std::partial_ordering o) {
  if (o == std::partial_ordering::less) return std::partial_ordering::greater;
  if (o == std::partial_ordering::greater) return std::partial_ordering::less;
  return o;
}

std::partial_ordering CompareNumbers(const Number& a, const Number& b) {
  if (IsIntegral(a) && IsIntegral(b)) return CompareIntegral(a, b);
  if (!IsIntegral(a) && !IsIntegral(b)) return a.d <=> b.d;
  if (!IsIntegral(a)) return CompareRealToIntegral(a.d, b);
  return Reverse(CompareRealToIntegral(b.d, a));
}

bool NumbersEqual(const Number& a, const Number& b) {
  // Deep equality treats NaN as equal to NaN so that a value always equals its copy;
  // ordering (Compare) still leaves NaN unordered.
  if (a.kind == Value::NumberKind::Real && b.kind == Value::NumberKind::Real && std::isnan(a.d) &&
      std::isnan(b.d)) {
    return true;
  }
  return CompareNumbers(a, b) == std::partial_ordering::equivalent;
}

std::string FormatReal(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buffer[40];
  // The shortest text that reads back to the same double.
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, d);
    if (std::strtod(buffer, nullptr) == d) break;
  }
  return buffer;
}

std::string FormatDate(double secondsSince2001) {
  if (!std::isfinite(secondsSince2001)) return FormatReal(secondsSince2001);
  const double unix = secondsSince2001 + Value::kUnixToReferenceDate;
  const double whole = std::floor(unix);
  auto micros = static_cast<long>(std::llround((unix - whole) * 1e6));
  auto seconds = static_cast<std::time_t>(whole);
  if (micros >= 1000000) {
    micros -= 1000000;
    ++seconds;
  }
  std::tm tm{};
  if (!gmtime_r(&seconds, &tm)) return FormatReal(secondsSince2001);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string text = buffer;
  if (micros != 0) {
    std::snprintf(buffer, sizeof buffer, ".%06ld", micros);
    std::string fraction = buffer;
    while (fraction.back() == '0') fraction.pop_back();
    text += fraction;
  }
  return text + "Z";
}

bool NeedsQuotes(std::string_view s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '$' || c == '/' || c == ':' || c == '.' || c == '-';
    if (!plain) return true;
  }
  return false;
}

std::string Quoted(std::string_view s) {
  if (!NeedsQuotes(s)) return std::string(s);
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\%03o", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

// ---- construction ----

Value::Value(bool b) {
  Number n;
  n.kind = NumberKind::Boolean;
  n.i = b ? 1 : 0;
  payload_ = MakeNumber(n);
}
Value::Value(int i) : payload_(MakeSigned(i)) {}
Value::Value(long i) : payload_(MakeSigned(i)) {}
Value::Value(long long i) : payload_(MakeSigned(i)) {}
Value::Value(unsigned u) : payload_(MakeUnsigned(u)) {}
Value::Value(unsigned long u) : payload_(MakeUnsigned(u)) {}
Value::Value(unsigned long long u) : payload_(MakeUnsigned(u)) {}
Value::Value(double d) {
  Number n;
  n.kind = NumberKind::Real;
  n.d = d;
  payload_ = MakeNumber(n);
}
Value::Value(const char* s) {
  if (s) payload_ = std::make_shared<Payload>(Kind::String, std::string(s));
}
Value::Value(std::string s) : payload_(std::make_shared<Payload>(Kind::String, std::move(s))) {}
Value::Value(std::string_view s) : payload_(std::make_shared<Payload>(Kind::String, std::string(s))) {}
Value::Value(Array a) : payload_(std::make_shared<Payload>(Kind::Array, std::move(a))) {}
Value::Value(Dictionary d) : payload_(std::make_shared<Payload>(Kind::Dictionary, std::move(d))) {}
Value::Value(std::initializer_list<std::pair<const std::string, Value>> dictionary)
    : payload_(std::make_shared<Payload>(Kind::Dictionary, Dictionary(dictionary))) {}

Value Value::Date(double secondsSince2001) {
  Value v;
  v.payload_ = std::make_shared<Payload>(Kind::Date, Payload::DateSeconds{secondsSince2001});
  return v;
}

Value Value::DateFromUnix(double secondsSince1970) { return Date(secondsSince1970 - kUnixToReferenceDate); }

Value Value::Data(Bytes bytes) {
  Value v;
  v.payload_ = std::make_shared<Payload>(Kind::Data, std::move(bytes));
  return v;
}

Value Value::Data(std::string_view bytes) { return Data(Bytes(bytes.begin(), bytes.end())); }

Value Value::EmptyArray() { return Value(Array{}); }
Value Value::EmptyDictionary() { return Value(Dictionary{}); }

Value Value::EmptySet() {
  Value v;
  v.payload_ = std::make_shared<Payload>(Kind::Set, Array{});
  return v;
}

Value Value::Set(const Array& members) {
  Value v = EmptySet();
  for (const Value& m : members) v.append(m);
  return v;
}

Value Value::Object(std::shared_ptr<ValueObject> object) {
  Value v;
  if (object) v.payload_ = std::make_shared<Payload>(Kind::Object, std::move(object));
  return v;
}

Value::Payload& Value::detach() {
  // use_count() is exact enough here: only this Value object may change payload_, and the
  // caller owns it, so a count of 1 cannot grow behind our back.
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer cannot see the fence below; copying every time is always correct, only
  // slower, and the sanitizer then checks everything else about the sharing.
  payload_ = std::make_shared<Payload>(*payload_);
#else
  if (payload_.use_count() != 1) {
    payload_ = std::make_shared<Payload>(*payload_);
  } else {
    // The last other owner may have just let go on another thread; its reads of the payload
    // must be complete before we write (the count is read relaxed, its decrement releases).
    std::atomic_thread_fence(std::memory_order_acquire);
  }
#endif
  return *payload_;
}

// ---- kinds and numbers ----

Value::Kind Value::kind() const noexcept { return payload_ ? payload_->kind : Kind::Null; }

namespace {
const Number* AsNumber(const std::shared_ptr<Value::Payload>& p) {
  return p ? std::get_if<Number>(&p->storage) : nullptr;
}
}  // namespace

Value::NumberKind Value::numberKind() const noexcept {
  const Number* n = AsNumber(payload_);
  return n ? n->kind : NumberKind::Integer;
}

bool Value::isBoolean() const noexcept {
  const Number* n = AsNumber(payload_);
  return n && n->kind == NumberKind::Boolean;
}

bool Value::isReal() const noexcept {
  const Number* n = AsNumber(payload_);
  return n && n->kind == NumberKind::Real;
}

std::int64_t Value::toInt64(std::int64_t fallback) const noexcept {
  const Number* n = AsNumber(payload_);
  if (!n) return fallback;
  switch (n->kind) {
    case NumberKind::Integer:
    case NumberKind::Boolean:
      return n->i;
    case NumberKind::Unsigned:
      return n->u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? std::numeric_limits<std::int64_t>::max()
                 : static_cast<std::int64_t>(n->u);
    case NumberKind::Real:
      if (std::isnan(n->d)) return 0;
      if (n->d >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
      if (n->d < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
      return static_cast<std::int64_t>(n->d);
  }
  return fallback;
}

std::uint64_t Value::toUInt64(std::uint64_t fallback) const noexcept {
  const Number* n = AsNumber(payload_);
  if (!n) return fallback;
  switch (n->kind) {
    case NumberKind::Integer:
    case NumberKind::Boolean:
      return static_cast<std::uint64_t>(n->i);
    case NumberKind::Unsigned:
      return n->u;
    case NumberKind::Real:
      if (std::isnan(n->d)) return 0;
      if (n->d >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
      if (n->d >= 0) return static_cast<std::uint64_t>(n->d);
      return static_cast<std::uint64_t>(toInt64());
  }
  return fallback;
}

int Value::toInt(int fallback) const noexcept {
  if (!isNumber()) return fallback;
  const std::int64_t v = toInt64();
  return static_cast<int>(
      std::clamp<std::int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

double Value::toDouble(double fallback) const noexcept {
  const Number* n = AsNumber(payload_);
  if (!n) return fallback;
  switch (n->kind) {
    case NumberKind::Integer:
    case NumberKind::Boolean:
      return static_cast<double>(n->i);
    case NumberKind::Unsigned:
      return static_cast<double>(n->u);
    case NumberKind::Real:
      return n->d;
  }
  return fallback;
}

bool Value::toBool(bool fallback) const noexcept {
  const Number* n = AsNumber(payload_);
  if (!n) return fallback;
  switch (n->kind) {
    case NumberKind::Integer:
    case NumberKind::Boolean:
      return n->i != 0;
    case NumberKind::Unsigned:
      return n->u != 0;
    case NumberKind::Real:
      return n->d != 0;
  }
  return fallback;
}

// ---- strings, dates, data ----

const std::string& Value::string() const& noexcept {
  if (payload_ && payload_->kind == Kind::String) return std::get<std::string>(payload_->storage);
  return EmptyString();
}

std::string Value::stringOr(std::string fallback) const {
  if (isString()) return string();
  return fallback;
}

std::optional<std::string> Value::optString() const {
  if (isString()) return string();
  return std::nullopt;
}

double Value::dateValue() const noexcept {
  if (payload_ && payload_->kind == Kind::Date) {
    return std::get<Payload::DateSeconds>(payload_->storage).seconds;
  }
  return 0;
}

const Value::Bytes& Value::data() const& noexcept {
  if (payload_ && payload_->kind == Kind::Data) return std::get<Bytes>(payload_->storage);
  return EmptyBytes();
}

// ---- arrays and sets ----

const Value::Array& Value::array() const& noexcept {
  if (payload_ && (payload_->kind == Kind::Array || payload_->kind == Kind::Set)) {
    return std::get<Array>(payload_->storage);
  }
  return EmptyArrayStorage();
}

std::size_t Value::size() const noexcept {
  if (!payload_) return 0;
  switch (payload_->kind) {
    case Kind::Array:
    case Kind::Set:
      return std::get<Array>(payload_->storage).size();
    case Kind::Dictionary:
      return std::get<Dictionary>(payload_->storage).size();
    default:
      return 0;
  }
}

Value Value::at(std::size_t index) const {
  const Array& a = array();
  return index < a.size() ? a[index] : Value();
}

void Value::append(Value v) {
  if (!payload_) payload_ = std::make_shared<Payload>(Kind::Array, Array{});
  PLATFORM_ASSERT(isArray() || isSet());
  if (isSet() && containsMember(v)) return;
  std::get<Array>(detach().storage).push_back(std::move(v));
}

void Value::insertAt(std::size_t index, Value v) {
  if (isSet()) {
    append(std::move(v));
    return;
  }
  if (!payload_) payload_ = std::make_shared<Payload>(Kind::Array, Array{});
  PLATFORM_ASSERT(isArray());
  PLATFORM_ASSERT(index <= size());
  Array& a = std::get<Array>(detach().storage);
  a.insert(a.begin() + static_cast<std::ptrdiff_t>(index), std::move(v));
}

void Value::removeAt(std::size_t index) {
  PLATFORM_ASSERT(isArray() || isSet());
  PLATFORM_ASSERT(index < size());
  Array& a = std::get<Array>(detach().storage);
  a.erase(a.begin() + static_cast<std::ptrdiff_t>(index));
}

bool Value::containsMember(const Value& v) const {
  const Array& a = array();
  return std::find(a.begin(), a.end(), v) != a.end();
}

bool Value::removeMember(const Value& v) {
  const Array& a = array();
  auto it = std::find(a.begin(), a.end(), v);
  if (it == a.end()) return false;
  const auto index = it - a.begin();
  Array& mutableA = std::get<Array>(detach().storage);
  mutableA.erase(mutableA.begin() + index);
  return true;
}

Value::Array& Value::mutableArray() {
  if (!payload_) payload_ = std::make_shared<Payload>(Kind::Array, Array{});
  PLATFORM_ASSERT(isArray());
  return std::get<Array>(detach().storage);
}

// ---- dictionaries ----

const Value::Dictionary& Value::dictionary() const& noexcept {
  if (payload_ && payload_->kind == Kind::Dictionary) {
    return std::get<Dictionary>(payload_->storage);
  }
  return EmptyDictionaryStorage();
}

Value Value::get(std::string_view key) const {
  const Dictionary& d = dictionary();
  auto it = d.find(key);
  return it == d.end() ? Value() : it->second;
}

bool Value::contains(std::string_view key) const {
  const Dictionary& d = dictionary();
  return d.find(key) != d.end();
}

void Value::set(std::string_view key, Value v) {
  if (v.isNull()) {
    if (!payload_) payload_ = std::make_shared<Payload>(Kind::Dictionary, Dictionary{});
    PLATFORM_ASSERT(isDictionary());
    remove(key);
    return;
  }
  Dictionary& d = mutableDictionary();
  auto it = d.find(key);
  if (it != d.end()) {
    it->second = std::move(v);
  } else {
    d.emplace(std::string(key), std::move(v));
  }
}

bool Value::remove(std::string_view key) {
  if (!contains(key)) return false;
  Dictionary& d = std::get<Dictionary>(detach().storage);
  d.erase(d.find(key));
  return true;
}

Value::Dictionary& Value::mutableDictionary() {
  if (!payload_) payload_ = std::make_shared<Payload>(Kind::Dictionary, Dictionary{});
  PLATFORM_ASSERT(isDictionary());
  return std::get<Dictionary>(detach().storage);
}

std::vector<std::string> Value::keys() const {
  std::vector<std::string> out;
  const Dictionary& d = dictionary();
  out.reserve(d.size());
  for (const auto& [key, value] : d) out.push_back(key);
  return out;
}

// ---- objects ----

const std::shared_ptr<ValueObject>& Value::object() const noexcept {
  if (payload_ && payload_->kind == Kind::Object) {
    return std::get<std::shared_ptr<ValueObject>>(payload_->storage);
  }
  return EmptyObject();
}

// ---- equality and ordering ----

bool operator==(const Value& a, const Value& b) {
  if (a.payload_ == b.payload_) return true;
  const Value::Kind kind = a.kind();
  if (kind != b.kind()) return false;
  switch (kind) {
    case Value::Kind::Null:
      return true;
    case Value::Kind::Number:
      return NumbersEqual(std::get<Number>(a.payload_->storage), std::get<Number>(b.payload_->storage));
    case Value::Kind::String:
      return a.string() == b.string();
    case Value::Kind::Date:
      return a.dateValue() == b.dateValue();
    case Value::Kind::Data:
      return a.data() == b.data();
    case Value::Kind::Array:
      return a.array() == b.array();
    case Value::Kind::Set: {
      // Members are unique on both sides, so same size and inclusion one way is enough.
      if (a.size() != b.size()) return false;
      for (const Value& m : a.array()) {
        if (!b.containsMember(m)) return false;
      }
      return true;
    }
    case Value::Kind::Dictionary:
      return a.dictionary() == b.dictionary();
    case Value::Kind::Object:
      return a.object() == b.object();
  }
  return false;
}

std::partial_ordering Value::Compare(const Value& a, const Value& b) {
  const Kind kind = a.kind();
  if (kind != b.kind()) return std::partial_ordering::unordered;
  switch (kind) {
    case Kind::Number:
      return CompareNumbers(std::get<Number>(a.payload_->storage), std::get<Number>(b.payload_->storage));
    case Kind::String: {
      const int c = a.string().compare(b.string());
      return c < 0 ? std::partial_ordering::less
                   : (c > 0 ? std::partial_ordering::greater : std::partial_ordering::equivalent);
    }
    case Kind::Date:
      return a.dateValue() <=> b.dateValue();
    default:
      return std::partial_ordering::unordered;
  }
}

// ---- description ----

namespace {

void Describe(const Value& v, std::string& out, bool nested) {
  switch (v.kind()) {
    case Value::Kind::Null:
      out += "(null)";
      return;
    case Value::Kind::Number:
      switch (v.numberKind()) {
        case Value::NumberKind::Integer:
        case Value::NumberKind::Boolean:
          out += std::to_string(v.toInt64());
          return;
        case Value::NumberKind::Unsigned:
          out += std::to_string(v.toUInt64());
          return;
        case Value::NumberKind::Real:
          out += FormatReal(v.toDouble());
          return;
      }
      return;
    case Value::Kind::String:
      // A string on its own reads as itself, as a log line expects; inside a container it
      // is quoted where the text form needs it.
      out += nested ? Quoted(v.string()) : v.string();
      return;
    case Value::Kind::Date:
      out += FormatDate(v.dateValue());
      return;
    case Value::Kind::Data: {
      static const char* const kHex = "0123456789abcdef";
      out += '<';
      const auto& bytes = v.data();
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 4 == 0) out += ' ';
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0xf];
      }
      out += '>';
      return;
    }
    case Value::Kind::Array:
    case Value::Kind::Set: {
      const bool set = v.isSet();
      if (v.empty()) {
        out += set ? "{()}" : "()";
        return;
      }
      out += set ? "{( " : "( ";
      bool first = true;
      for (const Value& m : v.array()) {
        if (!first) out += ", ";
        first = false;
        Describe(m, out, true);
      }
      out += set ? " )}" : " )";
      return;
    }
    case Value::Kind::Dictionary: {
      if (v.empty()) {
        out += "{}";
        return;
      }
      out += "{ ";
      for (const auto& [key, member] : v.dictionary()) {
        out += Quoted(key);
        out += " = ";
        Describe(member, out, true);
        out += "; ";
      }
      out += '}';
      return;
    }
    case Value::Kind::Object:
      out += v.object()->Description();
      return;
  }
}

}  // namespace

std::string Value::Description() const {
  std::string out;
  Describe(*this, out, false);
  return out;
}

}  // namespace platform
