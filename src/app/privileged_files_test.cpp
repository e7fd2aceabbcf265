#include "app/privileged_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "testing/test_support.h"

namespace {

class SaveDataTest : public ::testing::Test {
 protected:
  Value Save(const Value& filename, const Value& data) {
    QPX_Framework_Privileged_SaveData command(bundle_);
    return command.QPX_Framework_Privileged_Process(
        Value{{"Command", Value("Save Data")}, {"Filename", filename}, {"Data", data}});
  }
  std::string Folder() const { return bundle_ + "/Contents/Resources/QPX"; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    if (!std::filesystem::exists(Folder())) return names;
    for (const auto& entry : std::filesystem::directory_iterator(Folder()))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  testing_support::TempDir dir_;
  std::string bundle_ = dir_ / "Dashboard.app";
};

TEST_F(SaveDataTest, WritesThePlainNameWithReadableMode) {
  std::filesystem::create_directories(bundle_ + "/Contents/Resources");
  EXPECT_EQ(Save(Value("Prefs.plist"), Value::Data("one")), Value::EmptyDictionary());
  EXPECT_EQ(testing_support::ReadFile(Folder() + "/Prefs.plist"), "one");
  struct stat info {};
  ASSERT_EQ(stat(Folder().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  ASSERT_EQ(stat((Folder() + "/Prefs.plist").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  // Replacing leaves the new bytes and no temporary files.
  EXPECT_EQ(Save(Value("Prefs.plist"), Value::Data("two")), Value::EmptyDictionary());
  EXPECT_EQ(testing_support::ReadFile(Folder() + "/Prefs.plist"), "two");
  EXPECT_EQ(Entries(), std::vector<std::string>{"Prefs.plist"});
  EXPECT_EQ(Save(Value("Empty"), Value::Data("")), Value::EmptyDictionary());
  EXPECT_EQ(testing_support::ReadFile(Folder() + "/Empty"), "");
}

TEST_F(SaveDataTest, RefusesNamesThatAreNotPlain) {
  std::filesystem::create_directories(bundle_ + "/Contents/Resources");
  const std::string names[] = {"",
                               ".",
                               "..",
                               "a/b",
                               "/etc/passwd",
                               "../Info.plist",
                               "x/",
                               std::string("a\0b", 3),
                               std::string(300, 'n')};
  for (const std::string& name : names) {
    EXPECT_EQ(Save(Value(name), Value::Data("x")), QPX_Framework_Privileged_FailedReply()) << name;
    EXPECT_FALSE(QPX_Framework_PrivilegedFile_GetPath(bundle_, name)) << name;
  }
  EXPECT_TRUE(Entries().empty());
  EXPECT_FALSE(testing_support::FileExists(bundle_ + "/Contents/Resources/Info.plist"));
}

TEST_F(SaveDataTest, WrongKindsAreAnsweredFailed) {
  const QPX_Framework_Privileged_SaveData command(bundle_);
  const Value failed = QPX_Framework_Privileged_FailedReply();
  EXPECT_EQ(Save(Value(), Value::Data("x")), failed);
  EXPECT_EQ(Save(Value(7), Value::Data("x")), failed);
  EXPECT_EQ(Save(Value("Name"), Value("text, not data")), failed);
  EXPECT_EQ(Save(Value("Name"), Value()), failed);
  // Other commands are not this class's business.
  QPX_Framework_Privileged_SaveData other(bundle_);
  EXPECT_TRUE(other.QPX_Framework_Privileged_Process(Value{{"Command", Value("Save Update Data")}}).isNull());
}

TEST_F(SaveDataTest, LinkInPlaceOfTheFolderIsNotFollowed) {
  std::filesystem::create_directories(bundle_ + "/Contents/Resources");
  const std::string elsewhere = dir_ / "elsewhere";
  std::filesystem::create_directories(elsewhere);
  std::filesystem::create_directory_symlink(elsewhere, Folder());
  EXPECT_EQ(Save(Value("Prefs"), Value::Data("x")), QPX_Framework_Privileged_FailedReply());
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
}

TEST_F(SaveDataTest, LinksAboveTheFolderAreNotFollowed) {
  // A link in place of "Resources" or "Contents" must not lead the write out of the bundle.
  const std::string elsewhere = dir_ / "elsewhere";
  std::filesystem::create_directories(elsewhere + "/Resources");
  std::filesystem::create_directories(bundle_ + "/Contents");
  std::filesystem::create_directory_symlink(elsewhere, bundle_ + "/Contents/Resources");
  EXPECT_EQ(Save(Value("Prefs"), Value::Data("x")), QPX_Framework_Privileged_FailedReply());
  std::filesystem::remove(bundle_ + "/Contents/Resources");
  std::filesystem::remove(bundle_ + "/Contents");
  std::filesystem::create_directory_symlink(elsewhere, bundle_ + "/Contents");
  EXPECT_EQ(Save(Value("Prefs"), Value::Data("x")), QPX_Framework_Privileged_FailedReply());
  EXPECT_FALSE(std::filesystem::exists(elsewhere + "/QPX"));
  EXPECT_FALSE(std::filesystem::exists(elsewhere + "/Resources/QPX"));
}

TEST_F(SaveDataTest, UnwritableFolderFails) {
  // No bundle at all: the folder cannot be made.
  EXPECT_EQ(Save(Value("Prefs"), Value::Data("x")), QPX_Framework_Privileged_FailedReply());
}

TEST(PrivilegedFilePath, FolderAndPlainNames) {
  EXPECT_EQ(QPX_Framework_PrivilegedFile_GetPath("/A.app", std::nullopt), "/A.app/Contents/Resources/QPX");
  EXPECT_EQ(QPX_Framework_PrivilegedFile_GetPath("/A.app", std::string("Data")),
            "/A.app/Contents/Resources/QPX/Data");
  EXPECT_EQ(QPX_Framework_PrivilegedFile_GetPath("/A.app", std::string("..")), std::nullopt);
}

}  // namespace
