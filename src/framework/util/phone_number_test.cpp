#include "framework/util/phone_number.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(PhoneNumber, StringIsPhoneNumber) {
  struct Case {
    const char* text;
    bool expected;
  };
  const Case cases[] = {
      {"", true},         {"0301234567", true}, {"+49301234567", true}, {"*100#", true},
      {"#31#0171", true}, {"+", true},          {"0301 234567", false}, {"49+30", false},
      {"++49", false},    {"030-1234", false},  {"Anna", false},        {"\xD9\xA1\xD9\xA2", false},
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_StringIsPhoneNumber(c.text), c.expected) << c.text;
}

TEST(PhoneNumber, Clean) {
  struct Case {
    const char* text;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"(0) 1-2", "012"},
      {"+4 5 6", "+456"},
      {"12 -3", "12"},                 // the hyphen follows a blank, not a digit
      {"12+3", "12"},                  // "+" only first
      {"()", std::nullopt},            // no digit
      {"() 123", std::nullopt},        // ")" right after "(" ends the reading
      {"+49 (30) 123/456-78", "+49"},  // "(" only before anything was kept
      {"(030) 123/456-78", "03012345678"},
      {"030)1", "030"},  // ")" needs an opening "("
      {"(0)1)2", "01"},  // and only one
      {"((030", std::nullopt},
      {"1--2", "1"},
      {"  0171 2345", "01712345"},
      {"+", std::nullopt},
      {"", std::nullopt},
      {"Anna 0171", std::nullopt},
      {"0171 Anna", "0171"},
      {"0171\t2", "0171"},  // only blanks are skipped
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_PhoneNumber_Clean(c.text), c.expected) << c.text;
}

Value List(std::initializer_list<Value> members) { return Value(Value::Array(members)); }
Value Holder(const char* number) { return Value(Value::Dictionary{{"Number", Value(number)}}); }
Value Entry(const char* name, const char* number) {
  return Value(Value::Dictionary{{"Name", Value(name)}, {"Number", Holder(number)}});
}

TEST(PhoneNumber, ArraysAreEqual) {
  struct Case {
    const char* name;
    Value first;
    Value second;
    bool expected;
  };
  const Case cases[] = {
      {"same-text", List({Value("0301234567")}), List({Value("0301234567")}), true},
      {"national-and-international", List({Value("0301234567")}), List({Value("+49301234567")}), true},
      {"international-and-bare-national", List({Value("+49301234567")}), List({Value("301234567")}), true},
      {"both-forms-against-one", List({Value("0301234567"), Value("+49301234567")}),
       List({Value("+49301234567")}), true},
      {"one-against-both-forms", List({Value("+49301234567")}),
       List({Value("0301234567"), Value("+49301234567")}), true},
      {"order-does-not-matter", List({Value("0171111111"), Value("0172222222")}),
       List({Value("+49172222222"), Value("+49171111111")}), true},
      {"two-numbers-against-one", List({Value("0171111111"), Value("0172222222")}),
       List({Value("0171111111")}), false},
      {"one-number-against-two", List({Value("0171111111")}),
       List({Value("0171111111"), Value("0172222222")}), false},
      {"last-digit-differs", List({Value("0301234567")}), List({Value("0301234568")}), false},
      {"two-local-prefixes", List({Value("0301234567")}), List({Value("301234567")}), false},
      {"two-country-prefixes", List({Value("+49301234567")}), List({Value("+43301234567")}), false},
      {"country-prefix-too-long", List({Value("0301234567")}), List({Value("+1234567301234567")}), false},
      {"short-numbers-only-when-equal", List({Value("+4912")}), List({Value("012")}), false},
      {"short-equal-numbers", List({Value("112")}), List({Value("112")}), true},
      {"holders-and-entries", List({Holder("0301234567"), Entry("Anna", "0171111111")}),
       List({Value("+49171111111"), Value("+49301234567")}), true},
      {"members-without-number-skipped", List({Value("0301234567"), Value(5), Value::EmptyDictionary()}),
       List({Value("+49301234567")}), true},
      {"empty-lists", Value::EmptyArray(), Value::EmptyArray(), true},
      {"empty-against-one", Value::EmptyArray(), List({Value("0301234567")}), false},
      {"sets-accepted", Value::Set({Value("0301234567")}), List({Value("+49301234567")}), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QPX_Framework_PhoneNumberArraysAreEqual(c.first, c.second), c.expected) << c.name;
  }
}

}  // namespace
