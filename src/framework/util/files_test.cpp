#include "framework/util/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "framework/core/storage.h"
#include "platform/assert.h"
#include "platform/clock.h"
#include "platform/plist.h"
#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace {

using testing_support::BundleFixture;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

// --- Options ---------------------------------------------------------------------------------

TEST(Options, BundleOptionsComeBeforeUserSettings) {
  BundleFixture fixture;
  fixture.SetOption("Shared", Value("bundle"));
  fixture.SetOption("Flag", Value(true));
  fixture.Install();
  fixture.defaults()->setObject("Shared", Value("user"));
  fixture.defaults()->setObject("UserOnly", Value(7));

  EXPECT_EQ(QPX_Framework_Option_Get("Shared"), Value("bundle"));
  EXPECT_EQ(QPX_Framework_Option_Get("UserOnly"), Value(7));
  EXPECT_TRUE(QPX_Framework_Option_Get("Missing").isNull());

  EXPECT_TRUE(QPX_Framework_Option_GetBool("Flag", false));
  EXPECT_TRUE(QPX_Framework_Option_GetBool("UserOnly", false));  // any non-zero number
  EXPECT_TRUE(QPX_Framework_Option_GetBool("Missing", true));
  EXPECT_FALSE(QPX_Framework_Option_GetBool("Missing", false));
}

TEST(Options, FlagOfTheWrongKind) {
  BundleFixture fixture;
  fixture.SetOption("Shipped", Value("yes"));
  fixture.Install();
  // The bundle is our own data: a wrong kind there is a programming error.
  EXPECT_THROW(QPX_Framework_Option_GetBool("Shipped", false), platform::AssertionFailure);
  // The user's settings file is not: the default is used.
  fixture.defaults()->setObject("Edited", Value("yes"));
  EXPECT_TRUE(QPX_Framework_Option_GetBool("Edited", true));
  EXPECT_FALSE(QPX_Framework_Option_GetBool("Edited", false));
}

// --- Safe file names -------------------------------------------------------------------------

TEST(CheckSafeFilename, Table) {
  struct Case {
    const char* text;
    bool allowDirs;
    bool safe;
  } const cases[] = {
      {"Profile 1.plist", false, true},
      {"my_file-2", false, true},
      {"folder/file.xml", false, false},
      {"folder/file.xml", true, true},
      {"a/b/c", true, true},
      {"..", false, false},
      {".", false, false},
      {"a/../b", true, false},
      {"/etc/passwd", true, false},
      {"a//b", true, false},
      {"a/", true, false},
      {"", false, false},
      {"a:b", false, false},
      {"caf\xC3\xA9", false, false},
      {"semi;colon", false, false},
      {"new\nline", false, false},
      {"$(touch x)", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QPX_Framework_CheckSafeFilename(c.text, c.allowDirs), c.safe)
        << '"' << c.text << "\" " << c.allowDirs;
  }
}

// --- Users -----------------------------------------------------------------------------------

TEST(ListUsers, SystemUsersOnlyWhenAsked) {
  const Value all = QPX_Framework_ListUsers(true);
  ASSERT_TRUE(all.isSet());
  bool sawRoot = false;
  for (const Value& user : all.array()) {
    for (const char* key : {"name", "uid", "gid", "dir", "shell", "gecos"})
      EXPECT_TRUE(user.get(key).isString()) << key;
    EXPECT_FALSE(user.contains("password"));
    if (user.get("uid") == Value("0")) sawRoot = true;
  }
  EXPECT_TRUE(sawRoot);

  const Value regular = QPX_Framework_ListUsers(false);
  ASSERT_TRUE(regular.isSet());
  EXPECT_LE(regular.size(), all.size());
  for (const Value& user : regular.array()) {
    const long uid = std::stol(user.get("uid").string());
    EXPECT_GE(uid, 1000);
    EXPECT_NE(uid, 65534);
  }
}

// --- Removing and listing --------------------------------------------------------------------

TEST(RemoveDirectory, RemovesTreeButNeverFollowsLinks) {
  TempDir dir;
  const std::string outside = dir / "outside";
  WriteFile(outside + "/keep.txt", "keep");
  const std::string tree = dir / "tree";
  WriteFile(tree + "/a.txt", "a");
  WriteFile(tree + "/sub/deeper/b.txt", "b");
  WriteFile(tree + "/sub/.hidden", "h");
  ASSERT_EQ(::symlink(outside.c_str(), (tree + "/link-to-outside").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/keep.txt").c_str(), (tree + "/sub/link-to-file").c_str()), 0);

  EXPECT_TRUE(QPX_Framework_RemoveDirectory(tree.c_str()));
  EXPECT_FALSE(FileExists(tree));
  EXPECT_EQ(ReadFile(outside + "/keep.txt"), "keep");

  // A link given as the path itself is removed, its target is not.
  const std::string link = dir / "link";
  ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
  EXPECT_TRUE(QPX_Framework_RemoveDirectory(link.c_str()));
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0);
  EXPECT_EQ(ReadFile(outside + "/keep.txt"), "keep");
}

TEST(RemoveDirectory, PlainCases) {
  TempDir dir;
  EXPECT_FALSE(QPX_Framework_RemoveDirectory(nullptr));
  EXPECT_FALSE(QPX_Framework_RemoveDirectory(""));
  EXPECT_TRUE(QPX_Framework_RemoveDirectory((dir / "never-existed").c_str()));
  WriteFile(dir / "file", "x");
  EXPECT_TRUE(QPX_Framework_RemoveDirectory((dir / "file").c_str()));
  EXPECT_FALSE(FileExists(dir / "file"));
}

TEST(RemoveDirectory, FailureBelowTheTopFailsTheWhole) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may remove anything";
  TempDir dir;
  const std::string tree = dir / "tree";
  WriteFile(tree + "/locked/file", "x");
  ASSERT_EQ(::chmod((tree + "/locked").c_str(), 0555), 0);
  EXPECT_FALSE(QPX_Framework_RemoveDirectory(tree.c_str()));
  EXPECT_TRUE(FileExists(tree + "/locked/file"));
  ::chmod((tree + "/locked").c_str(), 0755);
}

TEST(ReadDir, RegularFilesOnlyWithLinksFollowed) {
  TempDir dir;
  WriteFile(dir / "a.txt", "a");
  WriteFile(dir / "b.plist", "b");
  WriteFile(dir / "sub/c.txt", "c");
  ASSERT_EQ(::symlink((dir / "a.txt").c_str(), (dir / "link-to-file").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "sub").c_str(), (dir / "link-to-folder").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);

  const Value files = QPX_Framework_ReadDir(dir.path());
  ASSERT_TRUE(files.isArray());
  std::set<std::string> names;
  for (const Value& file : files.array()) names.insert(file.string());
  EXPECT_EQ(names, (std::set<std::string>{dir / "a.txt", dir / "b.plist", dir / "link-to-file"}));

  EXPECT_TRUE(QPX_Framework_ReadDir(dir / "missing").isNull());
  EXPECT_TRUE(QPX_Framework_ReadDir(dir / "a.txt").isNull());
  WriteFile(dir / "empty/.keep", "");
  EXPECT_EQ(QPX_Framework_ReadDir(dir / "empty").size(), 1u);
}

// --- Property lists --------------------------------------------------------------------------

Value SampleList() {
  return Value{{"Name", Value("Profile \xC3\xA9")},
               {"Count", Value(3)},
               {"Ratio", Value(0.5)},
               {"On", Value(true)},
               {"When", Value::DateFromUnix(1262303998.0)},
               {"Bytes", Value::Data(std::string("\x00\x01\xFF", 3))},
               {"List", Value(Value::Array{Value(1), Value("two")})},
               {"Nested", Value{{"Deep", Value{{"Deeper", Value(-1)}}}}}};
}

TEST(PropertyLists, EncodeAndDecode) {
  const std::optional<std::string> bytes = QPX_Framework_CreatePList(SampleList());
  ASSERT_TRUE(bytes.has_value());
  EXPECT_NE(bytes->find("<?xml"), std::string::npos);  // always XML
  EXPECT_EQ(QPX_Framework_DecodePList(*bytes), SampleList());
  EXPECT_EQ(QPX_Framework_DecodePList(platform::plist::ToBinary(SampleList())), SampleList());

  for (const std::string& garbage :
       {std::string(), std::string("not a plist"), std::string("<plist><dict><key>"),
        std::string("bplist00\xFF\xFF", 10)}) {
    EXPECT_TRUE(QPX_Framework_DecodePList(garbage).isNull()) << garbage;
  }
}

TEST(PropertyLists, ValuesThatAreNoPropertyListGiveNothing) {
  struct Holder : platform::ValueObject {};
  const Value withObject{{"Thread", Value::Object(std::make_shared<Holder>())}};
  Value withNull = Value::EmptyArray();
  withNull.append(Value());
  const Value badText{{"Name", Value(std::string("\xFF\xFE", 2))}};
  const Value badKey{{std::string("\xC3", 1), Value(1)}};
  for (const Value& value : {withObject, withNull, badText, badKey, Value()}) {
    EXPECT_FALSE(QPX_Framework_CreatePList(value).has_value()) << value.Description();
  }
}

TEST(PropertyLists, WriteIsAtomicAndLeavesNothingBehind) {
  TempDir dir;
  const std::string path = dir / "Settings.plist";
  EXPECT_TRUE(QPX_Framework_WritePList(SampleList(), path));
  EXPECT_EQ(platform::plist::ReadFile(path), SampleList());

  const Value second{{"Version", Value(2)}};
  EXPECT_TRUE(QPX_Framework_WritePList(second, path));
  EXPECT_EQ(platform::plist::ReadFile(path), second);

  // A value that cannot be written leaves the old file whole.
  struct Holder : platform::ValueObject {};
  EXPECT_FALSE(QPX_Framework_WritePList(Value{{"X", Value::Object(std::make_shared<Holder>())}}, path));
  EXPECT_EQ(platform::plist::ReadFile(path), second);

  EXPECT_FALSE(QPX_Framework_WritePList(second, dir / "missing-folder/file.plist"));
  EXPECT_EQ(QPX_Framework_ReadDir(dir.path()), Value(Value::Array{Value(path)}));  // no temporary files

  EXPECT_THROW(QPX_Framework_WritePList(second, ""), platform::AssertionFailure);
}

// --- Comparisons -----------------------------------------------------------------------------

TEST(IdenticalDictionaries, Table) {
  const Value nested{{"A", Value{{"x", Value(1)}, {"y", Value(2.0)}}}, {"B", Value("b")}};
  struct Case {
    const char* name;
    Value first;
    Value second;
    bool identical;
  } const cases[] = {
      {"empty", Value::EmptyDictionary(), Value::EmptyDictionary(), true},
      {"integer and real", Value{{"n", Value(1)}}, Value{{"n", Value(1.0)}}, true},
      {"unsigned and integer", Value{{"n", Value(7u)}}, Value{{"n", Value(7LL)}}, true},
      {"boolean and integer", Value{{"n", Value(true)}}, Value{{"n", Value(1)}}, true},
      {"different numbers", Value{{"n", Value(1)}}, Value{{"n", Value(1.5)}}, false},
      {"number and string", Value{{"n", Value(1)}}, Value{{"n", Value("1")}}, false},
      {"extra key in second", Value{{"a", Value(1)}}, Value{{"a", Value(1)}, {"b", Value(2)}}, false},
      {"extra key in first", Value{{"a", Value(1)}, {"b", Value(2)}}, Value{{"a", Value(1)}}, false},
      {"nested equal", nested, Value{{"A", Value{{"x", Value(1.0)}, {"y", Value(2)}}}, {"B", Value("b")}},
       true},
      {"nested differs", nested, Value{{"A", Value{{"x", Value(1)}, {"y", Value(3)}}}, {"B", Value("b")}},
       false},
      {"nested extra key", nested,
       Value{{"A", Value{{"x", Value(1)}, {"y", Value(2)}, {"z", Value(0)}}}, {"B", Value("b")}}, false},
      {"dates", Value{{"d", Value::Date(5)}}, Value{{"d", Value::Date(5)}}, true},
      {"arrays", Value{{"l", Value(Value::Array{Value(1), Value(2)})}},
       Value{{"l", Value(Value::Array{Value(1.0), Value(2)})}}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QPX_Framework_IdenticalDictionaries(c.first, c.second), c.identical) << c.name;
    EXPECT_EQ(QPX_Framework_IdenticalDictionaries(c.second, c.first), c.identical) << c.name << " (swapped)";
  }
  EXPECT_THROW(QPX_Framework_IdenticalDictionaries(Value(1), Value::EmptyDictionary()),
               platform::AssertionFailure);
}

TEST(SameObject, Table) {
  struct Holder : platform::ValueObject {};
  const Value object = Value::Object(std::make_shared<Holder>());
  struct Case {
    const char* name;
    Value first;
    Value second;
    bool same;
  } const cases[] = {
      {"two nulls", Value(), Value(), true},
      {"null and value", Value(), Value(0), false},
      {"value and null", Value(""), Value(), false},
      {"equal numbers of different kinds", Value(2), Value(2.0), true},
      {"different numbers", Value(2), Value(3), false},
      {"equal strings", Value("a"), Value("a"), true},
      {"number and string", Value(1), Value("1"), false},
      {"equal dictionaries", Value{{"k", Value(1)}}, Value{{"k", Value(1)}}, true},
      {"different dictionaries", Value{{"k", Value(1)}}, Value{{"k", Value(2)}}, false},
      {"same object", object, object, true},
      {"different objects", object, Value::Object(std::make_shared<Holder>()), false},
  };
  for (const Case& c : cases) EXPECT_EQ(QPX_Framework_SameObject(c.first, c.second), c.same) << c.name;
}

TEST(SamePhoneNumber, Table) {
  struct Case {
    const char* first;
    const char* second;
    bool same;
  } const cases[] = {
      {"0301234567", "+49301234567", true},
      {"+49301234567", "0301234567", true},
      {"301234567", "+49301234567", true},
      {"0301234567", "0301234567", true},
      {"0301234567", "0301234568", false},
      {"0301234567", "+4930123456", false},
      {"12345", "12345", true},                    // short, but identical
      {"12345", "012345", false},                  // short: only identical texts match
      {"0301234567", "+1234567301234567", false},  // country prefix too long
      {"0301234567", "49301234567", false},        // no "+"
      {"0301234567", "00301234567", false},        // two local digits
      {"+49301234567", "+44301234567", false},
      {"\xC3\xA9"
       "301234567",
       "+49301234567", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QPX_Framework_SamePhoneNumber(c.first, c.second), c.same) << c.first << " / " << c.second;
  }
}

TEST(IsCGMI, ComparesTheModemsManufacturer) {
  ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
  const QPX_Framework_StoragePtr modem = QPX_Framework_Storage_CreateNode("/FilesTest/Modem");
  ASSERT_TRUE(modem);
  EXPECT_FALSE(QPX_Framework_IsCGMI(modem, "huawei"));
  modem->setObject(Value("huawei"), "QPX CGMI");
  EXPECT_TRUE(QPX_Framework_IsCGMI(modem, "huawei"));
  EXPECT_FALSE(QPX_Framework_IsCGMI(modem, "HUAWEI"));
  modem->setObject(Value(5), "QPX CGMI");
  EXPECT_FALSE(QPX_Framework_IsCGMI(modem, "5"));
  EXPECT_FALSE(QPX_Framework_IsCGMI(nullptr, "huawei"));
  QPX_Framework_Root_Storage->RemoveNode("/FilesTest");
}

// --- Identifiers -----------------------------------------------------------------------------

class UniqueIDTest : public ::testing::Test {
 protected:
  void SetUp() override { _QPX_Framework_UniqueID_SetClock(clock_); }
  void TearDown() override { _QPX_Framework_UniqueID_SetClock(nullptr); }
  // Wall time 2030-01-01 00:00:00.25 UTC, far beyond anything handed out before.
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>(0.0, 1893456000.25);
};

TEST_F(UniqueIDTest, SameMicrosecondAndClockGoingBack) {
  const std::string first = QPX_Framework_UniqueID();
  EXPECT_EQ(first, "0006ba16944af090");  // 1893456000250000 microseconds
  EXPECT_EQ(QPX_Framework_UniqueID(), "0006ba16944af091");
  EXPECT_EQ(QPX_Framework_UniqueID("Download"), "Download 0006ba16944af092");
  clock_->Advance(-10.0);
  EXPECT_EQ(QPX_Framework_UniqueID(), "0006ba16944af093");
  clock_->Advance(20.0);
  EXPECT_EQ(QPX_Framework_UniqueID(), "0006ba1694e38710");
}

TEST(KernelErrorString, Table) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "kIOReturnSuccess"},
      {0xE00002BE, "kIOReturnNoResources"},
      {0xE00002C0, "kIOReturnNoDevice"},
      {0xE00002C5, "kIOReturnExclusiveAccess"},
      {0xE00002CD, "kIOReturnNotOpen"},
      {0xE00002C2, "0xe00002c2"},
      {1, "0x00000001"},
  };
  for (const auto& [code, name] : cases) EXPECT_EQ(QPX_Framework_KernelErrorString(code), name) << code;
}

}  // namespace
