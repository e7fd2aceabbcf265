#include "framework/core/strings.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "framework/core/startup.h"
#include "platform/assert.h"
#include "platform/plist.h"
#include "testing/bundle_fixture.h"

namespace {

// A bundle with English and German tables; German is the user's language unless a test
// says otherwise.
class StringsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedInfo_ = QPX_Framework_ApplicationInfo;
    QPX_Framework_ApplicationInfo.displayName = "Tamsel Dashboard";
    _QPX_Framework_Strings_Reset();
  }
  void TearDown() override {
    _QPX_Framework_Strings_Reset();
    QPX_Framework_ApplicationInfo = savedInfo_;
  }

  void AddTable(const std::string& relativePath, const Value& table) {
    bundle_.AddResource(relativePath, platform::plist::ToXml(table));
  }
  void InstallGerman() {
    bundle_.Install();
    bundle_.SetLanguages(nullptr, nullptr, nullptr, "de_DE.UTF-8");
  }

  testing_support::BundleFixture bundle_;
  QPX_Framework_ApplicationInfo_Record savedInfo_;
};

TEST_F(StringsTest, LocalizedTableFallsBackToEnglishPerID) {
  AddTable("en.lproj/Strings",
           Value{{"-1", Value("1")}, {"-2", Value("en")}, {"5", Value("Five")}, {"6", Value("Six")}});
  AddTable("de.lproj/Strings", Value{{"-1", Value("2")}, {"-2", Value("de")}, {"6", Value("Sechs")}});
  InstallGerman();

  EXPECT_EQ(QPX_Framework_GetString(6), "Sechs");
  EXPECT_EQ(QPX_Framework_GetString(5), "Five");
  EXPECT_EQ(QPX_Framework_GetString(7), "???");
  EXPECT_EQ(QPX_Framework_LanguageID(), 2);
  EXPECT_EQ(QPX_Framework_LanguageCode(), "de");
  EXPECT_EQ(QPX_Framework_Localization_GetStringsLanguage(), "de");
  EXPECT_EQ(QPX_Framework_FilePath("Strings"), bundle_.resourcesPath() + "/de.lproj/Strings");
  EXPECT_EQ(QPX_Framework_FilePath(nullptr), std::nullopt);
  EXPECT_EQ(QPX_Framework_FilePathString("Missing"), std::nullopt);
}

TEST_F(StringsTest, TableOutsideLanguageFoldersIsTheEnglishOne) {
  AddTable("Strings", Value{{"5", Value("Plain")}});
  bundle_.Install();

  EXPECT_EQ(QPX_Framework_GetString(5), "Plain");
  EXPECT_EQ(QPX_Framework_Localization_GetStringsLanguage(), std::nullopt);
}

TEST_F(StringsTest, MissingTablesGiveMarkerAndApplicationName) {
  bundle_.Install();
  EXPECT_EQ(QPX_Framework_GetString(12), "???");
  EXPECT_EQ(QPX_Framework_GetString(-100), "Tamsel Dashboard");
  EXPECT_EQ(QPX_Framework_LanguageID(), 0);
  EXPECT_THROW(QPX_Framework_GetString(0), platform::AssertionFailure);
}

TEST_F(StringsTest, UnreadableTableIsEmpty) {
  bundle_.AddResource("en.lproj/Strings", "<plist><dict><key>5</key>");
  bundle_.Install();
  EXPECT_EQ(QPX_Framework_GetString(5), "???");
}

TEST_F(StringsTest, ReferencesExpand) {
  Value table = Value::EmptyDictionary();
  table.set("1", "A $$2$$ Z");
  table.set("2", "b $$3$$");
  table.set("3", "c");
  table.set("10", "Welcome to $$-100$$!");
  table.set("11", "$$ 3$$/$$+3$$/$$3x$$");  // read like a number: leading blanks, sign, digits
  table.set("12", "costs $$5 or less");     // unclosed: stays
  table.set("13", "[$$999$$]");             // no such string
  table.set("14", "$$12$$ then $$3$$");     // an unclosed mark inside a referred text stays put
  AddTable("en.lproj/Strings", table);
  bundle_.Install();

  EXPECT_EQ(QPX_Framework_GetString(1), "A b c Z");
  EXPECT_EQ(QPX_Framework_GetString(10), "Welcome to Tamsel Dashboard!");
  EXPECT_EQ(QPX_Framework_GetString(11), "c/c/c");
  EXPECT_EQ(QPX_Framework_GetString(12), "costs $$5 or less");
  EXPECT_EQ(QPX_Framework_GetString(13), "[???]");
  EXPECT_EQ(QPX_Framework_GetString(14), "costs $$5 or less then c");
}

// Tables are data: a bad reference must neither hang nor stop the process.
TEST_F(StringsTest, BadReferencesStayLiteral) {
  Value table = Value::EmptyDictionary();
  table.set("20", "x $$20$$ y");
  table.set("21", "($$22$$)");
  table.set("22", "<$$21$$>");
  table.set("30", "a $$$$ b $$3$$");
  table.set("31", "a $$x$$ b");
  table.set("32", "a $$0$$ b");
  table.set("33", "a $$99999999999$$ b");
  table.set("3", "c");
  // A chain deeper than any sensible table: 100 -> 101 -> ... -> 140.
  for (int id = 100; id < 140; ++id) table.set(std::to_string(id), "$$" + std::to_string(id + 1) + "$$.");
  table.set("140", "end");
  AddTable("en.lproj/Strings", table);
  bundle_.Install();

  EXPECT_EQ(QPX_Framework_GetString(20), "x $$20$$ y");
  EXPECT_EQ(QPX_Framework_GetString(21), "(<$$21$$>)");
  EXPECT_EQ(QPX_Framework_GetString(22), "<($$22$$)>");
  EXPECT_EQ(QPX_Framework_GetString(30), "a $$$$ b c");
  EXPECT_EQ(QPX_Framework_GetString(31), "a $$x$$ b");
  EXPECT_EQ(QPX_Framework_GetString(32), "a $$0$$ b");
  EXPECT_EQ(QPX_Framework_GetString(33), "a $$99999999999$$ b");
  const std::string& deep = QPX_Framework_GetString(100);
  EXPECT_EQ(deep.rfind("$$116$$", 0), 0u) << deep;  // 16 levels expanded, then left as it stands
  EXPECT_EQ(QPX_Framework_GetString(130), "end..........");
}

TEST_F(StringsTest, TextsOutliveReset) {
  AddTable("en.lproj/Strings", Value{{"5", Value("Five")}});
  bundle_.Install();
  const std::string& text = QPX_Framework_GetString(5);
  _QPX_Framework_Strings_Reset();
  EXPECT_EQ(QPX_Framework_GetString(7), "???");
  EXPECT_EQ(text, "Five");
}

TEST_F(StringsTest, FirstLookupFromManyThreadsLoadsOnce) {
  AddTable("en.lproj/Strings", Value{{"1", Value("one $$2$$")}, {"2", Value("two")}});
  bundle_.Install();
  std::vector<std::thread> threads;
  std::vector<const std::string*> results(8);
  for (std::size_t i = 0; i < results.size(); ++i)
    threads.emplace_back([&results, i] { results[i] = &QPX_Framework_GetString(1); });
  for (auto& thread : threads) thread.join();
  for (const std::string* result : results) EXPECT_EQ(result, results[0]);
  EXPECT_EQ(*results[0], "one two");
}

TEST_F(StringsTest, LocalizedStringForms) {
  AddTable("en.lproj/Strings", Value{{"12", Value("Twelve")}, {"-5", Value("Minus five")}});
  bundle_.Install();

  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"STRING:12", "Twelve"},
      {"  STRING:  12 \t", "Twelve"},
      {"STRING:-5", "Minus five"},
      {"STRING:-100", "Tamsel Dashboard"},
      {"STRING:12a", "STRING:12a"},
      {"STRING:", "STRING:"},
      {"xSTRING:12", "xSTRING:12"},
      {"string:12", "string:12"},
      {"STRING:0", "???"},
      {"STRING:99999999999", "???"},
      {"caf U+00e9;", "caf \u00e9"},
      {"cafU+00E9", "cafU+00E9"},
      {"U+41;U+42;", "AB"},
      {"U+1F600;", "\uF600"},            // digits beyond the fourth shift the first out
      {"U+d83d;U+de00;", "\U0001F600"},  // a surrogate pair is one character
      {"U+d83d;x", "\uFFFDx"},           // a lone surrogate cannot be UTF-8
      {"U+de00;", "\uFFFD"},
      {"U+zz; U+", "U+zz; U+"},
      {"aU+U+0041;", "aU+A"},
      {"no escapes", "no escapes"},
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_LocalizedString(c.text), c.expected) << c.text;

  EXPECT_EQ(QPX_Framework_LocalizedString("U+;"), std::string(1, '\0'));
  EXPECT_EQ(QPX_Framework_LocalizedString(static_cast<const char*>(nullptr)), std::nullopt);
  EXPECT_EQ(QPX_Framework_LocalizedString("STRING:12"), std::optional<std::string>("Twelve"));
}

}  // namespace
