#include "framework/util/misc.h"

#include <gtest/gtest.h>

#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "platform/assert.h"
#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace {

using testing_support::BundleFixture;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(SystemFilename, QuotesAsOneShellWord) {
  const std::pair<const char*, const char*> cases[] = {
      {"/Applications/Dashboard.app", "'/Applications/Dashboard.app'"},
      {"a\\b c", "'a\\b c'"},
      {"it's", "'it'\\''s'"},
      {"$(rm -rf ~); `x` \"y\" <z> & w\n", "'$(rm -rf ~); `x` \"y\" <z> & w\n'"},
      {"", "''"},
  };
  for (const auto& [path, quoted] : cases) EXPECT_EQ(QPX_Framework_SystemFilename(path), quoted) << path;
}

class ResourceBranchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_.Install();
    _QPX_Framework_ResourceBranch_Reset();
  }
  void TearDown() override { _QPX_Framework_ResourceBranch_Reset(); }
  BundleFixture fixture_;
  TempDir dir_;
};

TEST_F(ResourceBranchTest, BranchFileUsedWhenItExists) {
  fixture_.defaults()->setObject("QPX Resource Branch", Value("beta"));
  WriteFile(dir_ / "GUI/[beta] Main.xml", "branch");
  WriteFile(dir_ / "GUI/Main.xml", "main");
  WriteFile(dir_ / "GUI/Other.xml", "other");
  EXPECT_EQ(QPX_Framework_GetResourceBranch(), "beta");
  EXPECT_EQ(QPX_Framework_ResourceBranchName(dir_ / "GUI/Main.xml"), dir_ / "GUI/[beta] Main.xml");
  EXPECT_EQ(QPX_Framework_ResourceBranchName(dir_ / "GUI/Other.xml"), dir_ / "GUI/Other.xml");
  EXPECT_EQ(QPX_Framework_ResourceBranchName("/"), "/");
  EXPECT_EQ(QPX_Framework_ResourceBranchName(""), "");

  // Read once per process: a later change counts only after a reset.
  fixture_.defaults()->setObject("QPX Resource Branch", Value("gamma"));
  EXPECT_EQ(QPX_Framework_GetResourceBranch(), "beta");
}

TEST_F(ResourceBranchTest, NoBranchOrAWrongEntry) {
  WriteFile(dir_ / "[beta] Main.xml", "branch");
  EXPECT_FALSE(QPX_Framework_GetResourceBranch().has_value());
  EXPECT_EQ(QPX_Framework_ResourceBranchName(dir_ / "Main.xml"), dir_ / "Main.xml");

  _QPX_Framework_ResourceBranch_Reset();
  fixture_.defaults()->setObject("QPX Resource Branch", Value(3));
  EXPECT_FALSE(QPX_Framework_GetResourceBranch().has_value());
}

TEST(BuildTime, FormattedInUTCWhateverTheZone) {
  const char* previous = std::getenv("TZ");
  const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
  ::setenv("TZ", "<+14>-14", 1);
  ::tzset();
  const Value previousBuildTime = QPX_Framework_ApplicationInfo.buildTime;

  QPX_Framework_ApplicationInfo.buildTime = Value::DateFromUnix(1262303998.0);  // 2009-12-31 23:59:58 UTC
  _QPX_Framework_BuildTime_Reset();
  EXPECT_EQ(QPX_Framework_BuildTime_Compat(), "091231.235958");
  // Made once.
  QPX_Framework_ApplicationInfo.buildTime = Value::DateFromUnix(0);
  EXPECT_EQ(QPX_Framework_BuildTime_Compat(), "091231.235958");
  EXPECT_EQ(QPX_Framework_BuildTimeText(0.999), "700101.000000");

  QPX_Framework_ApplicationInfo.buildTime = previousBuildTime;
  _QPX_Framework_BuildTime_Reset();
  if (saved) {
    ::setenv("TZ", saved->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

TEST(DictionaryOverride, MergesInDepth) {
  struct Case {
    const char* name;
    Value target;
    Value overrides;
    Value result;
  } const cases[] = {
      {"nested key replaced, sibling kept", Value{{"A", Value{{"x", Value(1)}, {"y", Value(2)}}}},
       Value{{"A", Value{{"y", Value(3)}}}}, Value{{"A", Value{{"x", Value(1)}, {"y", Value(3)}}}}},
      {"new keys added", Value{{"A", Value(1)}}, Value{{"B", Value{{"c", Value(2)}}}},
       Value{{"A", Value(1)}, {"B", Value{{"c", Value(2)}}}}},
      {"dictionary replaces a plain value", Value{{"A", Value("text")}}, Value{{"A", Value{{"x", Value(1)}}}},
       Value{{"A", Value{{"x", Value(1)}}}}},
      {"plain value replaces a dictionary", Value{{"A", Value{{"x", Value(1)}}}}, Value{{"A", Value(0)}},
       Value{{"A", Value(0)}}},
      {"three levels", Value{{"A", Value{{"B", Value{{"c", Value(1)}, {"d", Value(2)}}}}}},
       Value{{"A", Value{{"B", Value{{"d", Value(5)}}}}}},
       Value{{"A", Value{{"B", Value{{"c", Value(1)}, {"d", Value(5)}}}}}}},
      {"null target", Value(), Value{{"A", Value(1)}}, Value{{"A", Value(1)}}},
  };
  for (const Case& c : cases) {
    Value target = c.target;
    const Value overridesBefore = c.overrides;
    QPX_Framework_DictionaryOverride(target, c.overrides);
    EXPECT_EQ(target, c.result) << c.name;
    EXPECT_EQ(c.overrides, overridesBefore) << c.name;
  }
  Value target = Value::EmptyDictionary();
  EXPECT_THROW(QPX_Framework_DictionaryOverride(target, Value(1)), platform::AssertionFailure);
}

TEST(PListDeepCopy, SharesNothingAndKeepsKinds) {
  struct Holder : platform::ValueObject {};
  const Value object = Value::Object(std::make_shared<Holder>());
  const Value original{
      {"Profile", Value{{"APN", Value("internet")}, {"Ports", Value(Value::Array{Value(1u), Value(2.5)})}}},
      {"Flag", Value(true)},
      {"Members", Value::Set({Value("a"), Value("b")})},
      {"When", Value::Date(100)},
      {"Bytes", Value::Data("xyz")},
      {"Thread", object}};
  Value copy = QPX_Framework_PList_MutableDeepCopy(original);
  EXPECT_EQ(copy, original);
  EXPECT_TRUE(copy.get("Flag").isBoolean());
  EXPECT_EQ(copy.get("Profile").get("Ports").at(0).numberKind(),
            original.get("Profile").get("Ports").at(0).numberKind());
  EXPECT_TRUE(copy.get("Profile").get("Ports").at(1).isReal());
  EXPECT_TRUE(copy.get("Members").isSet());
  EXPECT_EQ(copy.get("Thread").object(), object.object());

  Value profile = copy.get("Profile");
  profile.set("APN", Value("changed"));
  profile.mutableDictionary()["Ports"].append(Value(3));
  copy.set("Profile", profile);
  EXPECT_EQ(original.get("Profile").get("APN"), Value("internet"));
  EXPECT_EQ(original.get("Profile").get("Ports").size(), 2u);
  EXPECT_EQ(QPX_Framework_PList_MutableDeepCopy(Value(5)), Value(5));
  EXPECT_TRUE(QPX_Framework_PList_MutableDeepCopy(Value()).isNull());
}

TEST(DisconnectOnQuit, OnlyAbilityTwo) {
  ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
  const QPX_Framework_StoragePtr modem = QPX_Framework_Storage_CreateNode("/MiscTest/Modem");
  ASSERT_TRUE(modem);
  EXPECT_FALSE(QPX_Framework_Modem_DisconnectOnQuit(modem));
  const std::pair<Value, bool> cases[] = {
      {Value(0), false}, {Value(1), false},   {Value(2), true},     {Value(2.0), true},
      {Value(3), false}, {Value("2"), false}, {Value(true), false},
  };
  for (const auto& [ability, expected] : cases) {
    modem->setObject(ability, "QPX Disconnect Ability");
    EXPECT_EQ(QPX_Framework_Modem_DisconnectOnQuit(modem), expected) << ability.Description();
  }
  EXPECT_FALSE(QPX_Framework_Modem_DisconnectOnQuit(nullptr));
  QPX_Framework_Root_Storage->RemoveNode("/MiscTest");
}

TEST(Text, ReplaceNul) {
  EXPECT_EQ(QPX_Framework_String_ReplaceNul(std::string("a\0b\0", 4)), "a\u2400b\u2400");
  EXPECT_EQ(QPX_Framework_String_ReplaceNul("plain"), "plain");
}

TEST(Text, UTF8) {
  EXPECT_TRUE(QPX_Framework_IsValidUTF8(""));
  EXPECT_TRUE(QPX_Framework_IsValidUTF8("caf\xC3\xA9 \xF0\x9F\x93\xB6"));
  for (const char* bad : {"\xFF", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80"}) {
    EXPECT_FALSE(QPX_Framework_IsValidUTF8(bad)) << bad;
  }
  EXPECT_EQ(QPX_Framework_UTF8ToUTF16("a\xC3\xA9\xF0\x9F\x93\xB6"), u"a\u00E9\U0001F4F6");
  EXPECT_EQ(QPX_Framework_UTF8ToUTF16("\xF0\x9F\x93\xB6").size(), 2u);
  EXPECT_EQ(QPX_Framework_UTF8ToUTF16("a\xFFz"), u"a\uFFFDz");
}

TEST(Base64, Table) {
  const std::pair<std::string, const char*> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\x00\xFF\xFE", 3), "AP/+"},
      {"user:pass word", "dXNlcjpwYXNzIHdvcmQ="},
  };
  for (const auto& [text, encoded] : cases) {
    EXPECT_EQ(QPX_Framework_Base64_Encode_String(text), encoded) << text;
    EXPECT_EQ(QPX_Framework_Base64_Encode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
              encoded);
  }
}

TEST(SystemUptime, Positive) { EXPECT_GT(QPX_Framework_GetSystemUptime(), 0.0); }

}  // namespace
