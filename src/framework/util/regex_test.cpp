#include "framework/util/regex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/log.h"
#include "platform/assert.h"

namespace {

using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

// Counts the error entries written while it exists.
class ErrorCount {
 public:
  ErrorCount() {
    count() = 0;
    previous_ = QPX_Framework_Log_UserLog.exchange(&Receive);
  }
  ~ErrorCount() { QPX_Framework_Log_UserLog.store(previous_); }
  static int& count() {
    static int n = 0;
    return n;
  }

 private:
  static void Receive(const char*, unsigned, const char*, const char*, double, int level, const char*,
                      va_list) {
    if (level == QPX_LOG_ERROR) ++count();
  }
  QPX_Framework_Log_Receiver previous_;
};

Value Bytes(const std::string& s) { return Value::Data(std::string_view(s.data(), s.size() + 1)); }

std::vector<std::string> Members(const Value& set) {
  std::vector<std::string> out;
  for (const Value& v : set.array()) out.push_back(v.string());
  return out;
}

const char* const kCSQ = "\\+CSQ: ([0-9]+),([0-9]+)";

TEST(RegexMatch, GroupsAreZeroTerminatedBytes) {
  Value match = QPX_Framework_Regex_Match_CString(kCSQ, "\r\n+CSQ: 17,99\r\n");
  ASSERT_TRUE(match.isArray());
  ASSERT_EQ(match.size(), 3u);
  EXPECT_EQ(match.at(0), Bytes("+CSQ: 17,99"));
  EXPECT_EQ(match.at(1), Bytes("17"));
  EXPECT_EQ(match.at(2), Bytes("99"));
  EXPECT_EQ(QPX_Framework_Regex_GetInteger(match, 1), 17u);
  EXPECT_EQ(QPX_Framework_Regex_GetString(match, 0), "+CSQ: 17,99");
  // Case is ignored.
  EXPECT_TRUE(QPX_Framework_Regex_Match_CString(kCSQ, "+csq: 5,0").isArray());
  EXPECT_TRUE(QPX_Framework_Regex_Match_CString(kCSQ, "+CSQ: ,99").isNull());
  // The end of the subject is not an end of line.
  EXPECT_TRUE(QPX_Framework_Regex_Match_CString("^OK$", "OK").isNull());
  EXPECT_TRUE(QPX_Framework_Regex_Match_CString("^OK", "OK").isArray());
}

TEST(RegexMatch, BuffersNeedNoTerminatingZero) {
  std::string reply = "+CSQ: 23,99";
  EXPECT_EQ(QPX_Framework_Regex_GetInteger(QPX_Framework_Regex_Match_Data(kCSQ, reply), 1), 23u);
  Value::Bytes bytes(reply.begin(), reply.end());
  EXPECT_EQ(QPX_Framework_Regex_GetInteger(QPX_Framework_Regex_Match_Data(kCSQ, bytes), 2), 99u);
  bytes.push_back(0);
  EXPECT_EQ(QPX_Framework_Regex_GetInteger(QPX_Framework_Regex_Match_Data(kCSQ, bytes), 2), 99u);
  // Matching stops at a zero byte, as for a C string.
  EXPECT_TRUE(QPX_Framework_Regex_Match_Data(kCSQ, std::string_view("+CSQ: 1\0,2", 10)).isNull());
  EXPECT_TRUE(QPX_Framework_Regex_Match_Data(kCSQ, std::string_view()).isNull());
}

TEST(RegexMatch, UnmatchedGroupsAreNull) {
  const char* pattern = "\\+CREG: ([0-9]+)(,\"([0-9A-F]+)\")?";
  Value match = QPX_Framework_Regex_Match_CString(pattern, "+CREG: 1");
  ASSERT_EQ(match.size(), 4u);
  EXPECT_TRUE(match.at(2).isNull());
  EXPECT_TRUE(match.at(3).isNull());
  ErrorCount errors;
  EXPECT_EQ(QPX_Framework_Regex_GetString(match, 3), std::nullopt);
  EXPECT_EQ(errors.count(), 0);
  EXPECT_EQ(QPX_Framework_Regex_GetInteger(match, 3), std::nullopt);
  EXPECT_EQ(errors.count(), 1);
  // A group that took part but matched nothing is an empty buffer, not null.
  Value empty = QPX_Framework_Regex_Match_CString("a(x*)b", "ab");
  EXPECT_EQ(empty.at(1), Bytes(""));
  EXPECT_EQ(QPX_Framework_Regex_GetString(empty, 1), "");
}

// Replies as modems send them, read the way the registration, signal and network-type
// modules read them. A reply that does not fit gives an empty number and a logged failure.
TEST(RegexMatch, RepliesReadAsNumbers) {
  struct Case {
    const char* name;
    const char* pattern;
    const char* reply;
    std::size_t group;
    std::optional<std::uint64_t> expected;
  };
  const char* creg = "\\+CREG: ([0-9]),([^,\r]*)(,\"([0-9A-F]*)\",\"([0-9A-F]*)\")?";
  const char* anyField = "\\+CSQ: ([^,]*),([^,\r\n]*)";
  const Case cases[] = {
      {"creg-2-with-lac", creg, "+CREG: 2,1,\"0A5B\",\"1C2D\"\r\n", 2, 1},
      {"creg-2-without-lac", creg, "+CREG: 2,1\r\n", 2, 1},
      {"creg-lowercase", creg, "+creg: 0,5", 2, 5},
      {"creg-stat-non-numeric", creg, "+CREG: 2,x", 2, std::nullopt},
      {"creg-stat-trailing-characters", creg, "+CREG: 2,1x\r\n", 2, std::nullopt},
      {"creg-stat-empty", creg, "+CREG: 2,", 2, std::nullopt},
      {"creg-lac-is-hexadecimal", creg, "+CREG: 2,1,\"0A5B\",\"1C2D\"", 4, std::nullopt},
      {"csq-plain", anyField, "+CSQ: 31,99", 1, 31},
      {"csq-negative", anyField, "+CSQ: -1,99", 1, std::nullopt},
      {"csq-plus-sign", anyField, "+CSQ: +7,99", 1, 7},
      {"csq-too-large", anyField, "+CSQ: 99999999999999999999999,99", 1, std::nullopt},
      {"csq-largest", anyField, "+CSQ: 18446744073709551615,0", 1, 18446744073709551615ull},
      {"csq-space-inside", anyField, "+CSQ: 1 2,99", 1, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Value match = QPX_Framework_Regex_Match_CString(c.pattern, c.reply);
    ASSERT_TRUE(match.isArray());
    ErrorCount errors;
    EXPECT_EQ(QPX_Framework_Regex_GetInteger(match, c.group), c.expected);
    EXPECT_EQ(errors.count(), c.expected ? 0 : 1);
  }
}

TEST(RegexMatch, StringsMustBeUTF8) {
  Value match = QPX_Framework_Regex_Match_CString("\\+COPS: 0,0,\"([^\"]*)\"", "+COPS: 0,0,\"Caf\xC3\xA9\"");
  EXPECT_EQ(QPX_Framework_Regex_GetString(match, 1), "Caf\xC3\xA9");
  Value broken = QPX_Framework_Regex_Match_CString("\\+COPS: 0,0,\"([^\"]*)\"", "+COPS: 0,0,\"Caf\xE9\"");
  ErrorCount errors;
  EXPECT_EQ(QPX_Framework_Regex_GetString(broken, 1), std::nullopt);
  EXPECT_EQ(errors.count(), 1);
}

TEST(RegexMatch, ProgrammingErrorsAreAssertions) {
  EXPECT_THROW(QPX_Framework_Regex_Match_CString("([0-9]", "1"), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Regex_Match_CString("caf\xE9", "x"), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Regex_Match_CString(kCSQ, nullptr), platform::AssertionFailure);
  std::string tooMany;
  for (int i = 0; i < 32; ++i) tooMany += "(a)";
  EXPECT_THROW(QPX_Framework_GetCompiledRegex(tooMany.c_str()), platform::AssertionFailure);
  std::string most;
  for (int i = 0; i < 31; ++i) most += "(a)";
  EXPECT_EQ(QPX_Framework_Regex_Match_CString(most.c_str(), std::string(31, 'a').c_str()).size(), 32u);

  Value match = QPX_Framework_Regex_Match_CString(kCSQ, "+CSQ: 1,2");
  EXPECT_THROW(QPX_Framework_Regex_GetInteger(match, 3), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Regex_GetString(Value(), 0), platform::AssertionFailure);
}

TEST(RegexMatch, CacheCompilesOncePerPattern) {
  const regex_t& first = QPX_Framework_GetCompiledRegex("^\\+CPIN: (.*)");
  EXPECT_EQ(&first, &QPX_Framework_GetCompiledRegex("^\\+CPIN: (.*)"));
  EXPECT_NE(&first, &QPX_Framework_GetCompiledRegex("^\\+CPIN: (.+)"));
}

TEST(RegexMatch, ThreadsShareTheCache) {
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 300; ++i) {
        std::string reply = "+CSQ: " + std::to_string(i) + "," + std::to_string(t);
        std::string pattern = std::string(kCSQ) + (i % 2 ? "" : ".*");
        Value match = QPX_Framework_Regex_Match_CString(pattern.c_str(), reply.c_str());
        if (QPX_Framework_Regex_GetInteger(match, 1) != static_cast<std::uint64_t>(i) ||
            QPX_Framework_Regex_GetInteger(match, 2) != static_cast<std::uint64_t>(t))
          ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_THAT(failures, ::testing::Each(0));
}

TEST(ParseList, CharacterSetsAnswer) {
  Value match =
      QPX_Framework_Regex_Match_CString("\\+CSCS: \\((.*)\\)", "+CSCS: (\"IRA\", \"GSM\",\"UCS2\")\r\n");
  std::optional<std::string> inside = QPX_Framework_Regex_GetString(match, 1);
  ASSERT_TRUE(inside);
  Value sets = QPX_Framework_ParseList(*inside);
  ASSERT_TRUE(sets.isSet());
  EXPECT_THAT(Members(sets), UnorderedElementsAre("IRA", "GSM", "UCS2"));
}

TEST(ParseList, Cases) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::vector<std::string>> expected;  // empty: malformed
  };
  using V = std::vector<std::string>;
  const Case cases[] = {
      {"empty", "", V{}},
      {"blanks-only", " \t ", V{}},
      {"one", "\"GSM\"", V{"GSM"}},
      {"blanks-and-tabs", " \"A\" ,\t\"B\" ", V{"A", "B"}},
      {"no-comma-between-items", "\"A\"\"B\"", V{"A", "B"}},
      {"duplicates-collapse", "\"A\",\"A\"", V{"A"}},
      {"empty-item", "\"\",\"A\"", V{"", "A"}},
      {"comma-and-blank-inside-quotes", "\"8859-1, x\"", V{"8859-1, x"}},
      {"utf8-item", "\"Caf\xC3\xA9\"", V{"Caf\xC3\xA9"}},
      {"leading-comma", ",\"A\"", std::nullopt},
      {"two-commas", "\"A\",,\"B\"", std::nullopt},
      {"two-commas-with-blank", "\"A\", ,\"B\"", std::nullopt},
      {"trailing-comma", "\"A\",", std::nullopt},
      {"unquoted-name", "\"A\",B", std::nullopt},
      {"unclosed-quote", "\"A\",\"B", std::nullopt},
      {"only-a-comma", ",", std::nullopt},
      {"parenthesis-left-in", "(\"A\")", std::nullopt},
      {"not-utf8", "\"\xFF\"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ErrorCount errors;
    Value result = QPX_Framework_ParseList(c.text);
    if (c.expected) {
      ASSERT_TRUE(result.isSet());
      EXPECT_THAT(Members(result), UnorderedElementsAreArray(*c.expected));
      EXPECT_EQ(errors.count(), 0);
    } else {
      EXPECT_TRUE(result.isNull());
      EXPECT_EQ(errors.count(), 1);
    }
  }
}

TEST(StringToNumber, Cases) {
  struct Case {
    const char* name;
    Value input;
    Value expected;
  };
  const Case cases[] = {
      {"decimal", Value("42"), Value(42)},
      {"negative", Value("-5"), Value(-5)},
      {"hexadecimal", Value("0x1F"), Value(31)},
      {"octal", Value("017"), Value(15)},
      {"zero", Value("0"), Value(0)},
      {"leading-blank", Value(" 7"), Value(7)},
      {"number-unchanged", Value(3.5), Value(3.5)},
      {"dictionary-unchanged", Value(Value::Dictionary{{"a", Value(1)}}),
       Value(Value::Dictionary{{"a", Value(1)}})},
      {"trailing-characters", Value("12abc"), Value()},
      {"not-octal", Value("09"), Value()},
      {"empty", Value(""), Value()},
      {"too-large", Value("99999999999999999999"), Value()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(QPX_Framework_StringToNumber(c.input), c.expected);
  }
}

}  // namespace
