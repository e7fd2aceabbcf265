#include "platform/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>

#include "platform/assert.h"

namespace {

using platform::AssertionFailure;
using platform::ValueObject;

constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kUInt64Max = std::numeric_limits<std::uint64_t>::max();

class Thing : public ValueObject {
 public:
  std::string Description() const override { return "<thing>"; }
};

TEST(ValueNumbers, KindsAreRemembered) {
  EXPECT_EQ(Value(true).numberKind(), Value::NumberKind::Boolean);
  EXPECT_TRUE(Value(false).isBoolean());
  EXPECT_EQ(Value(7).numberKind(), Value::NumberKind::Integer);
  EXPECT_EQ(Value(2.5).numberKind(), Value::NumberKind::Real);
  EXPECT_TRUE(Value(2.5).isReal());
  // An unsigned number that fits a signed one has one form only.
  EXPECT_EQ(Value(7u).numberKind(), Value::NumberKind::Integer);
  EXPECT_EQ(Value(static_cast<unsigned long long>(kInt64Max)).numberKind(), Value::NumberKind::Integer);
  EXPECT_EQ(Value(kUInt64Max).numberKind(), Value::NumberKind::Unsigned);
  EXPECT_EQ(Value("7").numberKind(), Value::NumberKind::Integer);  // not a number at all
  EXPECT_FALSE(Value("7").isBoolean());
}

TEST(ValueNumbers, TypedGettersAcceptEveryNumberKind) {
  struct Case {
    Value value;
    std::int64_t i64;
    std::uint64_t u64;
    int i;
    double d;
    bool b;
  };
  const Case cases[] = {
      {Value(true), 1, 1, 1, 1.0, true},
      {Value(false), 0, 0, 0, 0.0, false},
      {Value(-3), -3, static_cast<std::uint64_t>(-3), -3, -3.0, true},
      {Value(2.9), 2, 2, 2, 2.9, true},
      {Value(-2.9), -2, static_cast<std::uint64_t>(-2), -2, -2.9, true},
      {Value(0.25), 0, 0, 0, 0.25, true},  // a fraction is not zero
      {Value(1e300), kInt64Max, kUInt64Max, std::numeric_limits<int>::max(), 1e300, true},
      {Value(-1e300), kInt64Min, static_cast<std::uint64_t>(kInt64Min), std::numeric_limits<int>::min(),
       -1e300, true},
      {Value(kUInt64Max), kInt64Max, kUInt64Max, std::numeric_limits<int>::max(), 18446744073709551615.0,
       true},
      {Value(kInt64Min), kInt64Min, static_cast<std::uint64_t>(kInt64Min), std::numeric_limits<int>::min(),
       -9223372036854775808.0, true},
      {Value(5000000000LL), 5000000000LL, 5000000000ULL, std::numeric_limits<int>::max(), 5e9, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.Description());
    EXPECT_EQ(c.value.toInt64(), c.i64);
    EXPECT_EQ(c.value.toUInt64(), c.u64);
    EXPECT_EQ(c.value.toInt(), c.i);
    EXPECT_DOUBLE_EQ(c.value.toDouble(), c.d);
    EXPECT_EQ(c.value.toBool(), c.b);
  }
  EXPECT_EQ(Value(std::nan("")).toInt64(9), 0);
}

TEST(ValueNumbers, NonNumbersAnswerTheFallback) {
  for (const Value& v : {Value(), Value("12"), Value::Date(5), Value::EmptyArray()}) {
    EXPECT_EQ(v.toInt64(-7), -7);
    EXPECT_EQ(v.toUInt64(8), 8u);
    EXPECT_EQ(v.toInt(9), 9);
    EXPECT_EQ(v.toDouble(1.5), 1.5);
    EXPECT_TRUE(v.toBool(true));
  }
}

TEST(ValueNumbers, EqualityAcrossNumberKindsIsByValue) {
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_EQ(Value(1), Value(true));
  EXPECT_EQ(Value(0.0), Value(false));
  EXPECT_EQ(Value(1u), Value(1LL));
  EXPECT_NE(Value(1), Value(1.5));
  EXPECT_NE(Value(2), Value(true));
  // Large values where a conversion to double would round them together.
  EXPECT_NE(Value(kInt64Max), Value(static_cast<long long>(kInt64Max - 1)));
  EXPECT_NE(Value(kInt64Max), Value(9223372036854775808.0));
  EXPECT_EQ(Value(static_cast<unsigned long long>(1ULL << 63)), Value(9223372036854775808.0));
  EXPECT_NE(Value(kUInt64Max), Value(18446744073709551616.0));
  EXPECT_NE(Value(kUInt64Max), Value(static_cast<unsigned long long>(kUInt64Max - 1)));
  // Same bits, different numbers.
  EXPECT_NE(Value(-1), Value(kUInt64Max));
  EXPECT_NE(Value(kInt64Min), Value(static_cast<unsigned long long>(1ULL << 63)));
  // A value equals its copy even when it is NaN.
  const Value nan(std::nan(""));
  const Value copy = nan;
  EXPECT_EQ(nan, copy);
  EXPECT_EQ(nan, Value(std::nan("")));
}

TEST(ValueCompare, TheComparableRule) {
  using O = std::partial_ordering;
  struct Case {
    Value a;
    Value b;
    O expected;
  };
  const Case cases[] = {
      {Value(1), Value(2), O::less},
      {Value(2.5), Value(2), O::greater},
      {Value(2), Value(2.5), O::less},
      {Value(-2.5), Value(-2), O::less},
      {Value(true), Value(0.5), O::greater},
      {Value(3), Value(3.0), O::equivalent},
      {Value(-1), Value(kUInt64Max), O::less},
      {Value(kUInt64Max), Value(kInt64Max), O::greater},
      {Value(kUInt64Max), Value(1e30), O::less},
      {Value(kInt64Min), Value(-1e30), O::greater},
      {Value(kInt64Max), Value(9223372036854775808.0), O::less},
      {Value(std::nan("")), Value(1), O::unordered},
      {Value(1), Value(std::nan("")), O::unordered},
      {Value("apple"), Value("banana"), O::less},
      {Value("b"), Value("B"), O::greater},         // byte order
      {Value("\xc3\xa9"), Value("z"), O::greater},  // é after every ASCII letter
      {Value("same"), Value("same"), O::equivalent},
      {Value::Date(10), Value::Date(20), O::less},
      {Value::Date(10), Value::Date(10), O::equivalent},
      {Value(1), Value("1"), O::unordered},
      {Value::Date(10), Value(10), O::unordered},
      {Value(), Value(), O::unordered},
      {Value::Data("a"), Value::Data("b"), O::unordered},
      {Value::EmptyArray(), Value::EmptyArray(), O::unordered},
      {Value::EmptyDictionary(), Value::EmptyDictionary(), O::unordered},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a.Description() + " vs " + c.b.Description());
    EXPECT_EQ(Value::Compare(c.a, c.b), c.expected);
  }
}

TEST(ValueEquality, DeepAndKindAware) {
  EXPECT_EQ(Value(), Value(nullptr));
  EXPECT_EQ(Value(static_cast<const char*>(nullptr)), Value());
  EXPECT_NE(Value(), Value(0));
  EXPECT_NE(Value(""), Value());
  EXPECT_NE(Value("1"), Value(1));
  EXPECT_NE(Value::Date(1), Value(1));
  EXPECT_NE(Value::Data("ab"), Value("ab"));
  EXPECT_NE(Value::EmptyArray(), Value::EmptySet());
  EXPECT_NE(Value::EmptyArray(), Value::EmptyDictionary());

  const Value a{{"list", Value(Value::Array{1, "two", 3.0})}, {"n", {{"x", true}}}};
  const Value b{{"list", Value(Value::Array{1.0, "two", 3})}, {"n", {{"x", 1}}}};
  EXPECT_EQ(a, b);
  Value c = b;
  c.mutableDictionary()["n"].set("x", 2);
  EXPECT_NE(a, c);
  EXPECT_NE(Value(Value::Array{1, 2}), Value(Value::Array{2, 1}));

  auto thing = std::make_shared<Thing>();
  EXPECT_EQ(Value::Object(thing), Value::Object(thing));
  EXPECT_NE(Value::Object(thing), Value::Object(std::make_shared<Thing>()));
  EXPECT_TRUE(Value::Object(nullptr).isNull());
  EXPECT_EQ(Value::Object(thing).objectAs<Thing>(), thing);
}

TEST(ValueSet, DropsDuplicatesAndIgnoresOrder) {
  Value set = Value::Set({1, 1.0, true, "a", "a", 2});
  EXPECT_TRUE(set.isSet());
  EXPECT_EQ(set.size(), 3u);  // 1, "a", 2
  set.append(2.0);
  set.append("b");
  EXPECT_EQ(set.size(), 4u);
  EXPECT_TRUE(set.containsMember(Value(2)));
  EXPECT_TRUE(set.containsMember(Value("b")));
  EXPECT_FALSE(set.containsMember(Value(3)));
  EXPECT_EQ(set, Value::Set({"b", 2, "a", 1}));
  EXPECT_NE(set, Value::Set({"b", 2, "a", 3}));
  EXPECT_TRUE(set.removeMember(Value(1.0)));
  EXPECT_FALSE(set.removeMember(Value(1)));
  EXPECT_EQ(set.size(), 3u);
  set.insertAt(0, "a");  // a set has no positions: this is an insert
  EXPECT_EQ(set.size(), 3u);
  EXPECT_THROW(set.mutableArray(), AssertionFailure);  // would allow duplicates
}

TEST(ValueArray, EditingAndBounds) {
  Value array;
  array.append(1);
  array.append("x");
  EXPECT_TRUE(array.isArray());
  array.insertAt(0, 0);
  array.insertAt(3, "end");
  EXPECT_EQ(array, Value(Value::Array{0, 1, "x", "end"}));
  EXPECT_EQ(array.at(1), Value(1));
  EXPECT_TRUE(array.at(4).isNull());
  array.removeAt(1);
  EXPECT_EQ(array, Value(Value::Array{0, "x", "end"}));
  EXPECT_TRUE(array.removeMember(Value("x")));
  EXPECT_FALSE(array.removeMember(Value("x")));
  EXPECT_THROW(array.removeAt(2), AssertionFailure);
  EXPECT_THROW(array.insertAt(5, 1), AssertionFailure);
  array.mutableArray().push_back(7);
  EXPECT_EQ(array.size(), 3u);

  Value text("text");
  EXPECT_THROW(text.append(1), AssertionFailure);
  EXPECT_THROW(text.mutableArray(), AssertionFailure);
  EXPECT_THROW(Value::EmptyDictionary().mutableArray(), AssertionFailure);
  EXPECT_TRUE(text.array().empty());
  EXPECT_EQ(text.size(), 0u);
}

TEST(ValueDictionary, SetGetRemove) {
  Value d;
  d.set("b", 2);
  d.set("a", "one");
  EXPECT_TRUE(d.isDictionary());
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(d["a"], Value("one"));
  EXPECT_TRUE(d.get("missing").isNull());
  EXPECT_TRUE(d.contains("b"));
  d.set("b", Value());  // a null value removes the key
  EXPECT_FALSE(d.contains("b"));
  EXPECT_FALSE(d.remove("b"));
  EXPECT_TRUE(d.remove("a"));
  EXPECT_TRUE(d.isDictionary());
  EXPECT_TRUE(d.empty());

  Value removeOnNull;
  removeOnNull.set("k", Value());
  EXPECT_TRUE(removeOnNull.isDictionary());

  Value number(5);
  EXPECT_THROW(number.set("k", 1), AssertionFailure);
  EXPECT_THROW(number.set("k", Value()), AssertionFailure);
  EXPECT_THROW(number.mutableDictionary(), AssertionFailure);
  EXPECT_THROW(Value::EmptyArray().set("k", 1), AssertionFailure);
  EXPECT_TRUE(number.get("k").isNull());
  EXPECT_TRUE(number.dictionary().empty());
}

TEST(ValueCopyOnWrite, ChangingACopyNeverChangesTheOther) {
  const Value original{{"name", "modem"},
                       {"nested", {{"inner", {{"deep", 1}}}, {"list", Value(Value::Array{1, 2})}}}};
  const Value snapshot = original;

  Value copy = original;
  copy.set("name", "changed");
  Value nested = copy["nested"];
  nested.mutableDictionary()["inner"].set("deep", 2);
  nested.mutableDictionary()["list"].append(3);
  copy.set("nested", nested);
  EXPECT_EQ(original, snapshot);
  EXPECT_EQ(original["name"], Value("modem"));
  EXPECT_EQ(original["nested"]["inner"]["deep"], Value(1));
  EXPECT_EQ(original["nested"]["list"].size(), 2u);
  EXPECT_EQ(copy["nested"]["inner"]["deep"], Value(2));
  EXPECT_EQ(copy["nested"]["list"].size(), 3u);

  // Changing in place through the mutable accessors of a nested member.
  Value other = original;
  other.mutableDictionary()["nested"].mutableDictionary()["inner"].remove("deep");
  EXPECT_FALSE(other["nested"]["inner"].contains("deep"));
  EXPECT_TRUE(original["nested"]["inner"].contains("deep"));

  // Arrays and sets.
  Value array(Value::Array{1, 2});
  Value arrayCopy = array;
  arrayCopy.mutableArray()[0] = 10;
  arrayCopy.removeAt(1);
  EXPECT_EQ(array, Value(Value::Array{1, 2}));
  Value set = Value::Set({1});
  Value setCopy = set;
  setCopy.append(2);
  EXPECT_EQ(set.size(), 1u);
}

TEST(ValueCopyOnWrite, CopiesCrossThreads) {
  Value shared{{"count", 0}, {"list", Value(Value::Array{1, 2, 3})}};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([shared, t] {
      Value mine = shared;
      for (int i = 0; i < 1000; ++i) {
        mine.set("count", i + t);
        mine.mutableDictionary()["list"].append(i);
        Value keep = mine;  // share, then change again: must detach every time
        keep.set("count", -1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shared["count"], Value(0));
  EXPECT_EQ(shared["list"].size(), 3u);
}

TEST(ValueCopyOnWrite, OwnerChangesInPlaceAfterAReaderDropsItsCopy) {
  // A record handed to another thread, read there and dropped; the owner then changes its
  // own copy, which is no longer shared and is changed in place.
  Value record{{"state", "idle"}, {"list", Value(Value::Array{1, 2, 3})}};
  for (int round = 0; round < 200; ++round) {
    std::size_t seen = 0;
    std::thread reader([copy = record, &seen]() mutable {
      seen = copy["list"].size() + copy["state"].string().size();
      copy = Value();
    });
    reader.join();
    EXPECT_EQ(seen, record["list"].size() + record["state"].string().size());
    record.set("state", round % 2 ? "idle" : "busy");
    record.mutableDictionary()["list"].append(round);
  }
  EXPECT_EQ(record["list"].size(), 203u);
}

TEST(ValueBasics, StringsDatesDataAccessors) {
  EXPECT_EQ(Value("abc").string(), "abc");
  EXPECT_EQ(Value(std::string_view("ab\0c", 4)).string().size(), 4u);
  EXPECT_EQ(Value(5).string(), "");
  EXPECT_EQ(Value(5).stringOr("fallback"), "fallback");
  EXPECT_EQ(Value("x").optString(), std::optional<std::string>("x"));
  EXPECT_EQ(Value(5).optString(), std::nullopt);

  const Value date = Value::DateFromUnix(Value::kUnixToReferenceDate + 12.5);
  EXPECT_TRUE(date.isDate());
  EXPECT_DOUBLE_EQ(date.dateValue(), 12.5);
  EXPECT_DOUBLE_EQ(date.unixTime(), Value::kUnixToReferenceDate + 12.5);
  EXPECT_EQ(Value(5).dateValue(), 0);

  const Value data = Value::Data(std::string_view("\x00\xff", 2));
  EXPECT_EQ(data.data(), (Value::Bytes{0x00, 0xff}));
  EXPECT_TRUE(Value("x").data().empty());
  EXPECT_FALSE(Value());
  EXPECT_TRUE(Value(0));
}

TEST(ValueDescription, OldStyleText) {
  struct Case {
    Value value;
    std::string expected;
  };
  const Case cases[] = {
      {Value(), "(null)"},
      {Value(42), "42"},
      {Value(-7), "-7"},
      {Value(kUInt64Max), "18446744073709551615"},
      {Value(0.1), "0.1"},
      {Value(2.0), "2"},
      {Value(true), "1"},
      {Value("plain text"), "plain text"},  // on its own a string reads as itself
      {Value::Date(0), "2001-01-01T00:00:00Z"},
      {Value::Date(-86400.25), "2000-12-30T23:59:59.75Z"},
      {Value::Data(std::string_view("\x0a\x0b\x0c\x0d\x0e", 5)), "<0a0b0c0d 0e>"},
      {Value::EmptyArray(), "()"},
      {Value::EmptyDictionary(), "{}"},
      {Value(Value::Array{1, "a b", "ok", ""}), "( 1, \"a b\", ok, \"\" )"},
      {Value{{"Command", "Connect"}, {"quote\"d", "line\nnext"}, {"n", {{"x", 1.5}}}},
       "{ Command = Connect; n = { x = 1.5; }; \"quote\\\"d\" = \"line\\nnext\"; }"},
      {Value::Set({1}), "{( 1 )}"},
      {Value::Object(std::make_shared<Thing>()), "<thing>"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value.Description(), c.expected);
}

}  // namespace
