#include "platform/user_defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/bundle.h"
#include "platform/plist.h"
#include "testing/bundle_fixture.h"
#include "testing/test_support.h"

namespace platform {
namespace {

using testing_support::BundleFixture;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

Value ReadDomain(const std::string& path) {
  std::optional<Value> value = plist::ReadFile(path);
  return value ? *value : Value();
}

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(UserDefaultsTest, StoredValuesFallBackToRegisteredDefaults) {
  TempDir dir;
  UserDefaults defaults(dir / "d.plist", Value{{"A", Value(1)}, {"B", Value("registered")}});

  EXPECT_EQ(defaults.objectForKey("A"), Value(1));
  EXPECT_TRUE(defaults.persistentObjectForKey("A").isNull());
  EXPECT_TRUE(defaults.objectForKey("Missing").isNull());

  ASSERT_TRUE(defaults.setObject("A", Value(2)));
  EXPECT_EQ(defaults.objectForKey("A"), Value(2));
  EXPECT_EQ(defaults.persistentObjectForKey("A"), Value(2));

  ASSERT_TRUE(defaults.removeObject("A"));
  EXPECT_EQ(defaults.objectForKey("A"), Value(1));
  EXPECT_TRUE(defaults.persistentObjectForKey("A").isNull());

  defaults.registerDefaults(Value{{"A", Value(3)}, {"C", Value(true)}});
  EXPECT_EQ(defaults.objectForKey("A"), Value(3));
  EXPECT_EQ(defaults.objectForKey("B"), Value("registered"));
  EXPECT_EQ(defaults.objectForKey("C"), Value(true));
  // Registered defaults never reach the file.
  EXPECT_TRUE(defaults.persistentDomain().empty());
  EXPECT_TRUE(ReadDomain(dir / "d.plist").empty());
}

TEST(UserDefaultsTest, StandardIsTheBundlesDomainInHome) {
  BundleFixture fx;
  fx.SetPreferencesDefault("QPX Launcher Mode", Value(2));
  fx.Install();

  std::shared_ptr<UserDefaults> standard = UserDefaults::Standard();
  ASSERT_EQ(standard, fx.defaults());
  EXPECT_EQ(standard->path(), fx.homePath() + "/.config/net.tamsel.dashboard.plist");
  EXPECT_EQ(standard->objectForKey("QPX Launcher Mode"), Value(2));
  EXPECT_TRUE(standard->persistentObjectForKey("QPX Launcher Mode").isNull());

  // A fresh Standard() is made from the main bundle on first use.
  UserDefaults::SetStandard(nullptr);
  std::shared_ptr<UserDefaults> remade = UserDefaults::Standard();
  EXPECT_NE(remade, standard);
  EXPECT_EQ(remade->path(), standard->path());
  EXPECT_EQ(remade->objectForKey("QPX Launcher Mode"), Value(2));

  for (const Value& identifier : {Value(), Value(""), Value(42), Value("../escape")}) {
    SCOPED_TRACE(identifier.Description());
    fx.SetInfo("CFBundleIdentifier", identifier);
    fx.Install();
    EXPECT_EQ(UserDefaults::Standard()->path(), fx.homePath() + "/.config/dashboard.plist");
  }
}

TEST(UserDefaultsTest, ChangesArePersistedAtOnceAndSeenByAnotherInstance) {
  BundleFixture fx;
  fx.Install();
  std::shared_ptr<UserDefaults> first = UserDefaults::Standard();
  const Value stored{
      {"String", Value("text ü")},
      {"Integer", Value(-7)},
      {"Boolean", Value(true)},
      {"Real", Value(0.25)},
      {"Date", Value::Date(1000.0)},  // XML dates hold whole seconds
      {"Data", Value::Data(std::string("\x00\x01\xff", 3))},
      {"Array", Value(Value::Array{Value(1), Value("two")})},
      {"Dictionary", Value{{"Nested", Value(false)}}},
  };
  for (const auto& [key, value] : stored.dictionary()) ASSERT_TRUE(first->setObject(key, value));

  // The folder is made private and the file readable by the user only.
  EXPECT_EQ(ModeOf(fx.homePath() + "/.config"), 0700u);
  EXPECT_EQ(ModeOf(first->path()), 0600u);
  EXPECT_EQ(ReadDomain(first->path()), stored) << ReadDomain(first->path()).Description();

  UserDefaults second(first->path(), Value());
  EXPECT_EQ(second.persistentDomain(), stored);
  EXPECT_TRUE(second.persistentObjectForKey("Boolean").isBoolean());

  ASSERT_TRUE(first->removeObject("String"));
  ASSERT_TRUE(first->setObject("Integer", Value(8)));
  EXPECT_EQ(second.persistentObjectForKey("String"), Value("text ü"));  // until it re-reads
  second.reload();
  EXPECT_TRUE(second.persistentObjectForKey("String").isNull());
  EXPECT_EQ(second.persistentObjectForKey("Integer"), Value(8));

  // Every write replaces the file whole: no temporary files are left beside it.
  EXPECT_EQ(FilesIn(fx.homePath() + "/.config"), std::set<std::string>{"net.tamsel.dashboard.plist"});
}

TEST(UserDefaultsTest, ConcurrentWritersOfOneFileKeepEachOthersKeys) {
  TempDir dir;
  std::string path = dir / ".config/shared.plist";
  UserDefaults app(path, Value());
  UserDefaults launcher(path, Value());

  ASSERT_TRUE(app.setObject("Set By App", Value(1)));
  // The launcher has not re-read the file; its write must not drop the app's key.
  ASSERT_TRUE(launcher.setObject("Set By Launcher", Value(2)));
  ASSERT_TRUE(app.setObject("Changed By App", Value(3)));
  // Removing a key the launcher never saw still removes it from the file.
  ASSERT_TRUE(launcher.removeObject("Changed By App"));

  Value expected{{"Set By App", Value(1)}, {"Set By Launcher", Value(2)}};
  EXPECT_EQ(ReadDomain(path), expected);
  EXPECT_EQ(launcher.persistentDomain(), expected);
  app.reload();
  EXPECT_EQ(app.persistentDomain(), expected);
}

TEST(UserDefaultsTest, ThreadsSettingKeysAtOnceLoseNothing) {
  TempDir dir;
  std::string path = dir / "threads.plist";
  UserDefaults defaults(path, Value());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&defaults, t] {
      for (int i = 0; i < 20; ++i) defaults.setObject("key " + std::to_string(t * 100 + i), Value(i));
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(defaults.persistentDomain().size(), 80u);
  EXPECT_EQ(ReadDomain(path), defaults.persistentDomain());
  EXPECT_EQ(FilesIn(dir.path()), std::set<std::string>{"threads.plist"});
}

TEST(UserDefaultsTest, UnreadableFileIsKeptUntilAValueIsSetThenSetAside) {
  for (const char* bad : {"garbage \x01\x02", "<?xml version=\"1.0\"?><plist><array/></plist>", ""}) {
    SCOPED_TRACE(bad);
    TempDir dir;
    std::string path = dir / "d.plist";
    WriteFile(path, bad);

    UserDefaults defaults(path, Value{{"A", Value(1)}});
    EXPECT_TRUE(defaults.persistentDomain().empty());
    EXPECT_EQ(defaults.objectForKey("A"), Value(1));

    // Reading and removing an absent key change nothing, so the file stays as it is.
    EXPECT_TRUE(defaults.removeObject("A"));
    defaults.reload();
    EXPECT_EQ(ReadFile(path), bad);
    EXPECT_FALSE(FileExists(path + ".corrupt"));

    ASSERT_TRUE(defaults.setObject("B", Value("new")));
    EXPECT_EQ(ReadFile(path + ".corrupt"), bad);
    EXPECT_EQ(ReadDomain(path), (Value{{"B", Value("new")}}));

    // A second broken file is set aside too, without replacing the first.
    WriteFile(path, "broken again");
    defaults.reload();
    EXPECT_TRUE(defaults.persistentDomain().empty());
    ASSERT_TRUE(defaults.setObject("C", Value(3)));
    EXPECT_EQ(ReadFile(path + ".corrupt"), bad);
    EXPECT_EQ(ReadFile(path + ".corrupt.1"), "broken again");
    EXPECT_EQ(ReadDomain(path), (Value{{"C", Value(3)}}));
  }
}

TEST(UserDefaultsTest, FailedWriteKeepsTheValueAndWritesItWithTheNextChange) {
  TempDir dir;
  WriteFile(dir / "blocker", "a file where the folder should be");
  std::string path = dir / "blocker/d.plist";
  UserDefaults defaults(path, Value());

  EXPECT_FALSE(defaults.setObject("First", Value(1)));
  EXPECT_EQ(defaults.objectForKey("First"), Value(1));

  std::filesystem::remove(dir / "blocker");
  defaults.reload();  // changes not yet written survive a reload
  EXPECT_EQ(defaults.objectForKey("First"), Value(1));
  ASSERT_TRUE(defaults.setObject("Second", Value(2)));
  EXPECT_EQ(ReadDomain(path), (Value{{"First", Value(1)}, {"Second", Value(2)}}));
}

TEST(UserDefaultsTest, RemovePersistentDomainDeletesTheFile) {
  TempDir dir;
  std::string path = dir / "d.plist";
  UserDefaults defaults(path, Value{{"A", Value(1)}});
  ASSERT_TRUE(defaults.setObject("A", Value(5)));
  ASSERT_TRUE(FileExists(path));

  EXPECT_TRUE(defaults.removePersistentDomain());
  EXPECT_FALSE(FileExists(path));
  EXPECT_TRUE(defaults.persistentDomain().empty());
  EXPECT_EQ(defaults.objectForKey("A"), Value(1));
  EXPECT_TRUE(defaults.removePersistentDomain());  // nothing left to delete is fine
}

}  // namespace
}  // namespace platform
