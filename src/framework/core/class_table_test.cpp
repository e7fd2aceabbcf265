#include "framework/core/class_table.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/class_registry.h"
#include "framework/core/globals.h"
#include "framework/core/startup.h"
#include "platform/assert.h"

namespace {

QPX_Framework_ClassEntry Entry(const std::string& name,
                               std::function<bool(const std::string&)> init = nullptr) {
  QPX_Framework_ClassEntry entry;
  entry.name = name;
  entry.init = std::move(init);
  return entry;
}

// Registers classes for one test and removes them again, so the process-wide registry is
// left as it was found.
class ScopedClasses {
 public:
  ~ScopedClasses() {
    for (const std::string& name : names_) QPX_Framework_ClassRegistry::Unregister(name);
  }
  void Add(QPX_Framework_ClassEntry entry) {
    names_.push_back(entry.name);
    QPX_Framework_ClassRegistry::Register(std::move(entry));
  }

 private:
  std::vector<std::string> names_;
};

// Rows whose classes the system does not contain.
const std::set<std::string> kNotInSystem = {"QPX_Framework_Obfuscation",
                                            "QPX_Framework_LANDetect",
                                            "_QPX_Framework_ModemNetworkModeConfiguration",
                                            "QPX_Framework_Module_ConnectionStatistics",
                                            "QPX_Framework_ConnectionHistory",
                                            "QPX_Framework_SMS_UnreadCounter_Thread",
                                            "QPX_Framework_ServicePrio_Debug"};

// Every row's class the system has registered, each initialiser recording the name it was called with.
class ClassTableTest : public ::testing::Test {
 protected:
  void RegisterAllRows(const std::set<std::string>& failing = {}, const std::set<std::string>& absent = {}) {
    for (const QPX_Framework_ClassListRow& row : ClassList) {
      if (absent.count(row.name) || kNotInSystem.count(row.name)) continue;
      const bool fails = failing.count(row.name) > 0;
      classes_.Add(Entry(row.name, [this, fails](const std::string& name) {
        called_.push_back(name);
        return !fails;
      }));
    }
  }
  // Row numbers (1-based) of the called classes.
  std::vector<int> CalledRows() const {
    std::vector<int> rows;
    for (const std::string& name : called_)
      for (std::size_t i = 0; i < ClassList.size(); ++i)
        if (name == ClassList[i].name) rows.push_back(int(i) + 1);
    return rows;
  }
  static std::vector<int> RowsOfMode(int mode, bool onlyInSystem = false) {
    std::vector<int> rows;
    for (std::size_t i = 0; i < ClassList.size(); ++i)
      if ((ClassList[i].mask & (1u << mode)) && !(onlyInSystem && kNotInSystem.count(ClassList[i].name)))
        rows.push_back(int(i) + 1);
    return rows;
  }

  ScopedClasses classes_;
  std::vector<std::string> called_;
};

TEST_F(ClassTableTest, TableHasTheStartOrderOfTheSystem) {
  ASSERT_EQ(ClassList.size(), 53u);
  EXPECT_STREQ(ClassList[0].name, "QPX_Framework_Debugger");
  EXPECT_STREQ(ClassList[2].name, "QPX_Framework_Thread");
  EXPECT_STREQ(ClassList[5].name, "QPX_Framework_Storage");
  EXPECT_STREQ(ClassList[18].name, "_QPX_Framework_ModemNetworkModeConfiguration");
  EXPECT_STREQ(ClassList[44].name, "QPX_Framework_Devices");
  EXPECT_STREQ(ClassList[50].name, "QPX_Framework_Uninstaller");
  EXPECT_STREQ(ClassList[52].name, "QPX_Framework_WLAN_HuaweiHTTP");
  std::set<std::string> names;
  for (const auto& row : ClassList) {
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_EQ(row.mask & ~14u, 0u) << row.name;  // only modes 1 to 3
    EXPECT_NE(row.mask, 0u) << row.name;
  }
  EXPECT_EQ(RowsOfMode(1).size(), 52u);  // every row but the heavy launcher's project
}

TEST_F(ClassTableTest, EachModeInitialisesItsRowsInTableOrder) {
  RegisterAllRows();
  ASSERT_TRUE(InitClasses(3));
  EXPECT_EQ(CalledRows(), (std::vector<int>{3, 5, 6, 7, 45}));

  called_.clear();
  ASSERT_TRUE(InitClasses(2));
  EXPECT_EQ(CalledRows(), (std::vector<int>{1, 3, 4, 6, 25, 51}));

  called_.clear();
  ASSERT_TRUE(InitClasses(1));
  EXPECT_EQ(CalledRows(), RowsOfMode(1, true));
  EXPECT_EQ(called_.size(), 45u);
  EXPECT_EQ(called_.front(), "QPX_Framework_Debugger");
  EXPECT_EQ(called_.back(), "QPX_Framework_WLAN_HuaweiHTTP");

  called_.clear();
  EXPECT_TRUE(InitClasses(0));  // no mode chosen yet: nothing belongs to it
  EXPECT_TRUE(called_.empty());
}

TEST_F(ClassTableTest, AbsentClassesAndClassesWithoutInitialiserAreSkipped) {
  RegisterAllRows({}, {"QPX_Framework_Thread", "QPX_Framework_Devices", "QPX_Framework_Storage"});
  classes_.Add(Entry("QPX_Framework_Storage"));  // present, but nothing to initialise
  ASSERT_TRUE(InitClasses(3));
  EXPECT_EQ(CalledRows(), (std::vector<int>{5, 7}));
}

TEST_F(ClassTableTest, FirstFailingInitialiserStopsTheWalk) {
  RegisterAllRows({"QPX_Framework_Thread_Privileged"});
  EXPECT_FALSE(InitClasses(2));
  EXPECT_EQ(CalledRows(), (std::vector<int>{1, 3, 4, 6, 25}));  // the uninstaller (51) never runs

  called_.clear();
  EXPECT_FALSE(InitClasses(1));
  EXPECT_EQ(CalledRows().back(), 25);
  // Rows 1 to 25 of mode 1 whose classes exist: all but 2, 5, 11 and 19.
  EXPECT_EQ(CalledRows().size(), 21u);
}

TEST_F(ClassTableTest, LegacyInitialiserIsRefused) {
  QPX_Framework_ClassEntry entry = Entry("QPX_Framework_Storage", [](const std::string&) { return true; });
  entry.legacyInit = true;
  classes_.Add(entry);
  EXPECT_THROW(InitClasses(3), platform::AssertionFailure);
}

TEST_F(ClassTableTest, InheritedBaseInitialiserActsOnlyForItsOwnClass) {
  // The way a base class's initialiser is shared with a subclass: registered for both, it
  // does its work only when called for the base's own name.
  int baseSetUps = 0;
  auto baseInit = [&baseSetUps](const std::string& name) {
    if (name != "QPX_Framework_Thread") return true;
    ++baseSetUps;
    return true;
  };
  classes_.Add(Entry("QPX_Framework_Thread", baseInit));
  QPX_Framework_ClassEntry power = Entry("QPX_Framework_Thread_Power", baseInit);
  power.bases = {"QPX_Framework_Thread"};
  classes_.Add(power);
  EXPECT_TRUE(InitClasses(1));
  EXPECT_EQ(baseSetUps, 1);
  EXPECT_TRUE(QPX_Framework_ClassRegistry::IsKindOf("QPX_Framework_Thread_Power", "QPX_Framework_Thread"));
  EXPECT_FALSE(QPX_Framework_ClassRegistry::IsKindOf("QPX_Framework_Thread", "QPX_Framework_Thread_Power"));
}

TEST(FrameworkInit, MarksOnlyTheCallingThreadAsMain) {
  const int savedMode = QPX_Framework_Application_RunMode;
  QPX_Framework_Application_RunMode = 0;
  bool before = true, after = false, other = true;
  std::thread([&] {
    before = QPX_Framework_IsMainThread();
    EXPECT_TRUE(_QPX_Framework_Init());
    after = QPX_Framework_IsMainThread();
    std::thread([&] { other = QPX_Framework_IsMainThread(); }).join();
  }).join();
  QPX_Framework_Application_RunMode = savedMode;
  EXPECT_FALSE(before);
  EXPECT_TRUE(after);
  EXPECT_FALSE(other);
}

TEST(FrameworkGlobals, ExistBeforeInitialisation) {
  EXPECT_TRUE(QPX_Framework_ConstantYES.toBool());
  EXPECT_STREQ(QPX_Framework_String_NonBreakingSpace, "\xC2\xA0");
  ASSERT_TRUE(QPX_Framework_CommonRunLoopModes.isArray());
  EXPECT_EQ(QPX_Framework_CommonRunLoopModes.at(0), Value("kCFRunLoopCommonModes"));
  // Recursive: a holder may take it again (nested string expansion does).
  std::lock_guard<std::recursive_mutex> outer(QPX_Framework_GlobalMutex());
  EXPECT_TRUE(QPX_Framework_GlobalMutex().try_lock());
  QPX_Framework_GlobalMutex().unlock();
}

}  // namespace
