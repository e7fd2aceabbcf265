#include "framework/core/talvoro_extensions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/assert.h"

namespace {

TEST(AddURLParameter, EscapesTheValueAsAQueryComponent) {
  struct Case {
    Value value;
    std::string appended;
  };
  const std::vector<Case> cases = {
      {Value("1.2.3"), "&build=1.2.3"},
      {Value("two words"), "&build=two%20words"},
      // Characters that would end or change the parameter stay inside the value.
      {Value("a&b=c+d#e"), "&build=a%26b%3Dc%2Bd%23e"},
      {Value("/?:@!$'()*,;%[]"), "&build=%2F%3F%3A%40%21%24%27%28%29%2A%2C%3B%25%5B%5D"},
      {Value("Az09-._~"), "&build=Az09-._~"},
      {Value("M\xC3\xBCller"), "&build=M%C3%BCller"},
      {Value("line\n"), "&build=line%0A"},
      {Value(""), "&build="},
  };
  for (const Case& c : cases) {
    std::string url = "https://example.net/track?x=1";
    AddURLParameter(url, "&build=", c.value);
    EXPECT_EQ(url, "https://example.net/track?x=1" + c.appended) << c.value.Description();
  }
}

TEST(AddURLParameter, NoValueAppendsNothingAndANonStringIsAnAssertion) {
  std::string url = "q?a=1";
  AddURLParameter(url, "&b=", Value());
  EXPECT_EQ(url, "q?a=1");
  EXPECT_THROW(AddURLParameter(url, "&b=", Value(5)), platform::AssertionFailure);
  EXPECT_EQ(url, "q?a=1");
}

TEST(EscapeHTML, ReplacesTheFourSpecialCharactersOnly) {
  EXPECT_EQ(QPX_Framework_EscapeHTML("<a href=\"x?a=1&b=2\">it's</a>"),
            "&lt;a href=&quot;x?a=1&amp;b=2&quot;&gt;it's&lt;/a&gt;");
  EXPECT_EQ(QPX_Framework_EscapeHTML(""), "");
  EXPECT_EQ(QPX_Framework_EscapeHTML("&amp;"), "&amp;amp;");
  EXPECT_EQ(QPX_Framework_EscapeHTML("caf\xC3\xA9"), "caf\xC3\xA9");
}

Value Record() {
  return Value({{"Name", Value("Modem")},
                {"Count", Value(3)},
                {"Ratio", Value(0.25)},
                {"Text Number", Value("2.5")},
                {"Padded", Value("  -1e3 dB")},
                {"Plus", Value("+7")},
                {"Words", Value("none")},
                {"When", Value::Date(0)},
                {"List", Value(Value::Array{Value(1)})}});
}

TEST(TypedReads, AbsentIsNoneAndAMismatchIsAnAssertion) {
  Value record = Record();
  EXPECT_EQ(stringForKey(record, "Name"), "Modem");
  EXPECT_EQ(stringForKey(record, "Missing"), std::nullopt);
  EXPECT_EQ(stringForKey(Value(), "Name"), std::nullopt);
  EXPECT_THROW(stringForKey(record, "Count"), platform::AssertionFailure);

  EXPECT_EQ(numberForKey(record, "Count"), Value(3));
  EXPECT_TRUE(numberForKey(record, "Missing").isNull());
  EXPECT_THROW(numberForKey(record, "Name"), platform::AssertionFailure);
}

TEST(TypedReads, GetDoubleAcceptsNumbersAndTheFloatingValueOfStrings) {
  Value record = Record();
  struct Case {
    const char* key;
    double expected;
  };
  for (const Case& c : {Case{"Missing", -9}, Case{"Count", 3}, Case{"Ratio", 0.25}, Case{"Text Number", 2.5},
                        Case{"Padded", -1000}, Case{"Plus", 7}, Case{"Words", 0}}) {
    EXPECT_EQ(QPX_Framework_GetDouble(record, c.key, -9), c.expected) << c.key;
  }
  EXPECT_THROW(QPX_Framework_GetDouble(record, "When", 0), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_GetDouble(record, "List", 0), platform::AssertionFailure);
}

struct Handle : platform::ValueObject {};
struct SpecialHandle : Handle {};

TEST(TypedReads, GetObjectForKeyAnswersOnlyTheAskedClass) {
  Value record = Record();
  EXPECT_EQ(QPX_Framework_GetObjectForKey(record, "Name", Value::Kind::String), Value("Modem"));
  EXPECT_TRUE(QPX_Framework_GetObjectForKey(record, "Name", Value::Kind::Number).isNull());
  EXPECT_TRUE(QPX_Framework_GetObjectForKey(record, "Missing", Value::Kind::String).isNull());

  auto special = std::make_shared<SpecialHandle>();
  record.set("Handle", Value::Object(special));
  EXPECT_EQ(QPX_Framework_GetObjectForKey<Handle>(record, "Handle"), special) << "a subclass counts";
  EXPECT_EQ(QPX_Framework_GetObjectForKey<SpecialHandle>(record, "Handle"), special);
  record.set("Handle", Value::Object(std::make_shared<Handle>()));
  EXPECT_EQ(QPX_Framework_GetObjectForKey<SpecialHandle>(record, "Handle"), nullptr);
  EXPECT_EQ(QPX_Framework_GetObjectForKey<Handle>(record, "Name"), nullptr);
}

TEST(TypedWrites, StoreNumbersAndStringsOfTheirKind) {
  Value record;  // a null record becomes a dictionary
  QPX_Framework_SetInt(record, -5, "Int");
  QPX_Framework_SetDouble(record, 2.5, "Double");
  QPX_Framework_SetBool(record, true, "Bool");
  QPX_Framework_SetUnsignedLongLong(record, std::numeric_limits<std::uint64_t>::max(), "Big");
  EXPECT_EQ(QPX_Framework_SetCString(record, "caf\xC3\xA9", "Text"), "caf\xC3\xA9");
  EXPECT_EQ(record["Int"].toInt(), -5);
  EXPECT_EQ(record["Int"].numberKind(), Value::NumberKind::Integer);
  EXPECT_EQ(record["Double"].toDouble(), 2.5);
  EXPECT_TRUE(record["Double"].isReal());
  EXPECT_TRUE(record["Bool"].isBoolean());
  EXPECT_TRUE(record["Bool"].toBool());
  EXPECT_EQ(record["Big"].toUInt64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(record["Text"], Value("caf\xC3\xA9"));
  EXPECT_THROW(QPX_Framework_SetCString(record, nullptr, "Text"), platform::AssertionFailure);
  EXPECT_EQ(record["Text"], Value("caf\xC3\xA9"));

  QPX_Framework_SetObject(record, Value("x"), "Object");
  EXPECT_EQ(record["Object"], Value("x"));
  QPX_Framework_SetObject(record, Value(), "Object");
  EXPECT_FALSE(record.contains("Object"));
}

TEST(TypedWrites, CopyTakesTheOtherValueOrRemovesTheKey) {
  Value record = Value({{"A", Value(1)}, {"B", Value(2)}});
  Value other = Value({{"A", Value("new")}});
  EXPECT_EQ(QPX_Framework_Copy(record, "A", other), Value("new"));
  EXPECT_TRUE(QPX_Framework_Copy(record, "B", other).isNull());
  EXPECT_EQ(record, Value({{"A", Value("new")}}));
  EXPECT_EQ(other, Value({{"A", Value("new")}})) << "the source stays as it was";
}

struct Subscription : platform::ValueObject {
  explicit Subscription(int* live) : live_(live) { ++*live_; }
  ~Subscription() override { --*live_; }
  int* live_;
};

TEST(AddObjectRelease, TheSetBecomesTheOwner) {
  int live = 0;
  Value subscriptions;
  addObjectRelease(subscriptions, Value::Object(std::make_shared<Subscription>(&live)));
  addObjectRelease(subscriptions, Value::Object(std::make_shared<Subscription>(&live)));
  EXPECT_TRUE(subscriptions.isSet());
  EXPECT_EQ(subscriptions.size(), 2u);
  EXPECT_EQ(live, 2) << "kept alive by the set alone";
  subscriptions = Value::EmptySet();
  EXPECT_EQ(live, 0) << "emptying the set ends them";

  EXPECT_THROW(addObjectRelease(subscriptions, Value()), platform::AssertionFailure);
  Value notASet = Value::EmptyArray();
  EXPECT_THROW(addObjectRelease(notASet, Value(1)), platform::AssertionFailure);
}

TEST(SortDescriptor, EncodesAndDecodesOneOrder) {
  EXPECT_EQ(QPX_framework_EncodeAsString({"date", true}), "A:date");
  EXPECT_EQ(QPX_framework_EncodeAsString({"name", false}), "D:name");
  EXPECT_EQ(QPX_Framework_InitWithString("A:date"), (QPX_Framework_SortDescriptor{"date", true}));
  EXPECT_EQ(QPX_Framework_InitWithString("D:Received Date"),
            (QPX_Framework_SortDescriptor{"Received Date", false}));
  EXPECT_EQ(QPX_Framework_InitWithString("A:x"), (QPX_Framework_SortDescriptor{"x", true}));
  EXPECT_EQ(QPX_Framework_InitWithString("D:a:b"), (QPX_Framework_SortDescriptor{"a:b", false}));
  for (const char* bad : {"X:date", "A-date", "A:", "", "A", "a:date", ":A:date"}) {
    EXPECT_EQ(QPX_Framework_InitWithString(bad), std::nullopt) << bad;
  }
}

TEST(SortDescriptor, ListsAreJoinedByTheReplacementCharacter) {
  std::vector<QPX_Framework_SortDescriptor> list = {{"name", true}, {"date", false}};
  std::string encoded = QPX_Framework_EncodeDescriptorArrayAsString(list);
  EXPECT_EQ(encoded,
            "A:name\xEF\xBF\xBD"
            "D:date");
  EXPECT_EQ(QPX_Framework_DecodeDescriptorArrayFromString(encoded), list);
  EXPECT_EQ(QPX_Framework_DecodeDescriptorArrayFromString("A:name"),
            (std::vector<QPX_Framework_SortDescriptor>{{"name", true}}));

  EXPECT_EQ(QPX_Framework_EncodeDescriptorArrayAsString({}), "");
  for (std::string bad : {std::string(""), std::string("A:name\xEF\xBF\xBD"),
                          std::string("\xEF\xBF\xBD"
                                      "A:name"),
                          std::string("A:name\xEF\xBF\xBDX:date")}) {
    EXPECT_EQ(QPX_Framework_DecodeDescriptorArrayFromString(bad), std::nullopt) << bad;
  }
}

}  // namespace
