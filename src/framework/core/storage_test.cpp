#include "framework/core/storage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "framework/core/class_registry.h"
#include "platform/assert.h"
#include "platform/user_defaults.h"
#include "testing/bundle_fixture.h"

namespace {

using platform::AssertionFailure;

// Every test works below its own node, so tests never see each other's nodes.
class StorageTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    base_ = QPX_Framework_Storage_CreateNode(std::string("/StorageTreeTest/") +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_NE(base_, nullptr);
  }
  void TearDown() override {
    if (base_) base_->RemoveNode();
  }

  QPX_Framework_StoragePtr base_;
};

TEST_F(StorageTreeTest, InitialisesOnceAndRegistersByName) {
  const QPX_Framework_StoragePtr root = QPX_Framework_Root_Storage;
  EXPECT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
  EXPECT_EQ(QPX_Framework_Root_Storage, root);
  EXPECT_EQ(QPX_Framework_Storage_GetNode("/User Defaults"), QPX_Framework_Preferences);
  EXPECT_TRUE(QPX_Framework_Preferences->IsPreferences());

  QPX_Framework_Storage_RegisterClasses();
  const auto entry = QPX_Framework_ClassRegistry::Find("QPX_Framework_Storage");
  ASSERT_NE(entry, nullptr);
  EXPECT_TRUE(entry->init("QPX_Framework_Storage"));
  EXPECT_TRUE(entry->init("SomeSubclass"));
  EXPECT_EQ(QPX_Framework_Root_Storage, root);
}

TEST_F(StorageTreeTest, ResolvesPathsFromAnyNode) {
  const QPX_Framework_StoragePtr root = QPX_Framework_Root_Storage;
  const QPX_Framework_StoragePtr b = base_->CreateNode("a/b");
  ASSERT_NE(b, nullptr);
  const QPX_Framework_StoragePtr a = base_->GetNode("a");
  ASSERT_NE(a, nullptr);

  EXPECT_EQ(QPX_Framework_Storage_CreateNode("/"), root);
  EXPECT_EQ(b->GetNode("/"), root);
  EXPECT_EQ(root->GetNode("/"), root);
  // Absolute from a non-root node resolves from the root; relative resolves below the receiver.
  EXPECT_EQ(b->GetNode(base_->GetPath() + "/a"), a);
  EXPECT_EQ(a->GetNode("b"), b);
  EXPECT_EQ(base_->GetNode("a//b/"), b);
  EXPECT_EQ(QPX_Framework_Storage_GetNode(base_->GetPath() + "//a/b//"), b);
  // Lookups never create.
  EXPECT_EQ(base_->GetNode("a/missing"), nullptr);
  EXPECT_FALSE(a->hasChild("missing"));

  EXPECT_EQ(root->GetPath(), "");
  EXPECT_EQ(QPX_Framework_Preferences->GetPath(), "/User Defaults");
  EXPECT_EQ(b->GetPath(), base_->GetPath() + "/a/b");
  EXPECT_EQ(b->GetParent(), a);
  EXPECT_EQ(root->GetParent(), nullptr);
  EXPECT_EQ(b->GetNodeName(), std::optional<std::string>("b"));
  EXPECT_EQ(root->GetNodeName(), std::nullopt);
}

TEST_F(StorageTreeTest, RejectsMalformedPaths) {
  EXPECT_THROW(QPX_Framework_Storage_GetNode("Modems"), AssertionFailure);
  EXPECT_THROW(QPX_Framework_Storage_GetNode(""), AssertionFailure);
  EXPECT_THROW(base_->GetNode(""), AssertionFailure);
  EXPECT_THROW(base_->GetNode("x", true, Value("not a dictionary"), false), AssertionFailure);
}

TEST_F(StorageTreeTest, CreationSetsOutFlagAndInitialElementsOfLastNodeOnly) {
  bool created = false;
  const auto c = base_->GetNode("a/b/c", true, Value({{"k", Value(1)}}), false, &created);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(created);
  EXPECT_EQ(c->integerForKey("k"), 1);
  EXPECT_EQ(base_->GetNode("a/b")->objectForKey("k"), Value());
  EXPECT_EQ(base_->GetChildrenChangeCount(), 1u);
  EXPECT_EQ(base_->GetNode("a")->GetChildrenChangeCount(), 1u);

  EXPECT_EQ(base_->GetNode("a/b/c", true, Value({{"k", Value(2)}}), false, &created), c);
  EXPECT_FALSE(created);
  EXPECT_EQ(c->integerForKey("k"), 1) << "an existing node keeps its elements without Replace";
}

TEST_F(StorageTreeTest, ReplaceWritesOnlyWhatDiffers) {
  const auto node =
      base_->GetNode("n", true, Value({{"x", Value(1)}, {"y", Value(2)}, {"z", Value(3)}}), false);
  ASSERT_TRUE(node->TestAndClearElementDirty());

  const auto same =
      base_->GetNode("n", true, Value({{"x", Value(1)}, {"y", Value(2)}, {"z", Value(3)}}), true);
  EXPECT_EQ(same, node);
  EXPECT_FALSE(node->_DirtyElements()) << "equal values are left alone";

  base_->GetNode("n", false, Value({{"x", Value(1.0)}, {"z", Value("3")}, {"w", Value(true)}}), true);
  EXPECT_TRUE(node->_DirtyElements());
  const Value expected({{"x", Value(1)}, {"z", Value("3")}, {"w", Value(true)}});
  {
    std::lock_guard<QPX_Framework_Storage::Lock> guard(node->ElementLock());
    EXPECT_EQ(Value(*node->GetElements()), expected);
  }
  EXPECT_TRUE(node->objectForKey("z").isString()) << "a number is not comparable with a string: replaced";

  EXPECT_THROW(base_->GetNode("n", false, Value(), true), AssertionFailure);
}

TEST_F(StorageTreeTest, TypedAccessorsAndAbsentValues) {
  base_->setInteger(-7, "i");
  base_->setDouble(2.5, "d");
  base_->setBool(true, "b");
  base_->setString("text", "s");
  base_->setNumber(Value(9), "n");
  EXPECT_EQ(base_->integerForKey("i"), -7);
  EXPECT_EQ(base_->doubleForKey("d"), 2.5);
  EXPECT_TRUE(base_->boolForKey("b"));
  EXPECT_EQ(base_->stringForKey("s"), Value("text"));
  EXPECT_EQ(base_->numberForKey("n"), Value(9));
  EXPECT_TRUE(base_->objectForKey("b").isBoolean());

  EXPECT_EQ(base_->integerForKey("absent"), 0);
  EXPECT_EQ(base_->doubleForKey("absent"), 0.0);
  EXPECT_FALSE(base_->boolForKey("absent"));
  EXPECT_TRUE(base_->boolForKey("absent", true));
  EXPECT_EQ(base_->stringForKey("absent"), Value());
  EXPECT_EQ(base_->numberForKey("absent"), Value());

  base_->setString(Value(), "s");
  base_->setNumber(Value(), "n");
  EXPECT_EQ(base_->objectForKey("s"), Value());
  EXPECT_EQ(base_->objectForKey("n"), Value());
}

TEST_F(StorageTreeTest, WrongKindsAndEmptyKeysAreProgrammingErrors) {
  base_->setString("5", "string");
  base_->setInteger(5, "number");
  EXPECT_THROW(base_->integerForKey("string"), AssertionFailure);
  EXPECT_THROW(base_->doubleForKey("string"), AssertionFailure);
  EXPECT_THROW(base_->numberForKey("string"), AssertionFailure);
  EXPECT_THROW(base_->boolForKey("string", true), AssertionFailure);
  EXPECT_THROW(base_->stringForKey("number"), AssertionFailure);
  EXPECT_THROW(base_->setString(Value(5), "x"), AssertionFailure);
  EXPECT_THROW(base_->setNewString(Value(5), "x"), AssertionFailure);
  EXPECT_THROW(base_->setNumber(Value("5"), "x"), AssertionFailure);
  EXPECT_THROW(base_->setObject(Value(1), ""), AssertionFailure);
  EXPECT_THROW(base_->objectForKey(""), AssertionFailure);
  EXPECT_EQ(base_->objectForKey("x"), Value()) << "a rejected write leaves nothing behind";
}

TEST_F(StorageTreeTest, ChangeOnlySettersWriteOnlyRealChanges) {
  struct Case {
    const char* name;
    std::function<bool(QPX_Framework_Storage&)> set;
    bool written;
  };
  base_->setInteger(3, "int");
  base_->setBool(true, "bool");
  base_->setString("abc", "string");
  const std::vector<Case> cases = {
      {"same integer", [](auto& n) { return n.setNewInteger(3, "int"); }, false},
      {"other integer", [](auto& n) { return n.setNewInteger(4, "int"); }, true},
      {"0 on absent integer", [](auto& n) { return n.setNewInteger(0, "absent"); }, false},
      {"same bool", [](auto& n) { return n.setNewBool(true, "bool"); }, false},
      {"NO on absent bool", [](auto& n) { return n.setNewBool(false, "absent"); }, false},
      {"YES on absent bool", [](auto& n) { return n.setNewBool(true, "newbool"); }, true},
      {"same string", [](auto& n) { return n.setNewString("abc", "string"); }, false},
      {"null on absent string", [](auto& n) { return n.setNewString(Value(), "absent"); }, false},
      {"other string", [](auto& n) { return n.setNewString("abd", "string"); }, true},
      {"null removes string", [](auto& n) { return n.setNewString(Value(), "string"); }, true},
  };
  for (const Case& c : cases) {
    base_->TestAndClearElementDirty();
    EXPECT_EQ(c.set(*base_), c.written) << c.name;
    EXPECT_EQ(base_->_DirtyElements(), c.written) << c.name;
  }
  EXPECT_EQ(base_->integerForKey("int"), 4);
  EXPECT_TRUE(base_->boolForKey("newbool"));
  EXPECT_EQ(base_->objectForKey("string"), Value());
  EXPECT_EQ(base_->objectForKey("absent"), Value());
}

TEST_F(StorageTreeTest, DictionaryHelpersAndBatchWrites) {
  base_->setObjects(Value({{"a", Value(1)}, {"b", Value("two")}}));
  EXPECT_EQ(base_->integerForKey("a"), 1);
  EXPECT_EQ(base_->stringForKey("b"), Value("two"));

  Value into({{"a", Value(0)}, {"gone", Value(5)}});
  EXPECT_EQ(base_->putObjectIntoDictionary("a", into), Value(1));
  EXPECT_EQ(base_->putObjectIntoDictionary("gone", into), Value());
  EXPECT_EQ(into, Value({{"a", Value(1)}}));

  EXPECT_EQ(base_->setObjectFromDictionary("b", Value({{"b", Value(3)}})), Value(3));
  EXPECT_EQ(base_->setObjectFromDictionary("a", Value::EmptyDictionary()), Value());
  EXPECT_EQ(base_->objectForKey("a"), Value());
  EXPECT_EQ(base_->integerForKey("b"), 3);
}

TEST_F(StorageTreeTest, DirtyFlagFollowsWrites) {
  const auto node = base_->CreateNode("d");
  EXPECT_TRUE(node->_DirtyElements()) << "a new node is dirty";
  EXPECT_EQ(node->CopyElemensIfNotDirty(), std::nullopt);
  EXPECT_TRUE(node->TestAndClearElementDirty());
  EXPECT_FALSE(node->TestAndClearElementDirty());
  node->setInteger(1, "x");
  EXPECT_TRUE(node->_DirtyElements());
  node->TestAndClearElementDirty();
  const auto copy = node->CopyElemensIfNotDirty();
  ASSERT_TRUE(copy.has_value());
  EXPECT_EQ(Value(*copy), Value({{"x", Value(1)}}));
  node->setInteger(2, "x");
  EXPECT_EQ(Value(*copy), Value({{"x", Value(1)}})) << "the copy does not follow later writes";
}

TEST_F(StorageTreeTest, RemovedNodeStaysUsableAndDetached) {
  const auto a = base_->CreateNode("a");
  const auto child = a->CreateNode("child");
  a->setInteger(1, "x");
  const std::uint32_t changes = base_->GetChildrenChangeCount();

  base_->RemoveNode("a");
  EXPECT_FALSE(base_->hasChild("a"));
  EXPECT_EQ(base_->GetChildrenChangeCount(), changes + 1);
  EXPECT_EQ(a->GetParent(), nullptr);
  EXPECT_EQ(a->integerForKey("x"), 1) << "a removed node keeps its elements";
  EXPECT_EQ(a->GetNode("child"), child) << "and its children";
  a->setInteger(2, "x");
  EXPECT_EQ(a->integerForKey("x"), 2);

  // Removing what is not there does nothing.
  base_->RemoveChild("a");
  base_->RemoveNode("missing/deeper");
  a->RemoveNode();
  EXPECT_EQ(base_->GetChildrenChangeCount(), changes + 1);

  // A new node of the same name is a different node.
  const auto again = base_->CreateNode("a");
  EXPECT_NE(again, a);
  EXPECT_EQ(again->objectForKey("x"), Value());
  a->RemoveNode();  // the old node no longer has a parent: the new one stays
  EXPECT_EQ(base_->GetNode("a"), again);
}

TEST_F(StorageTreeTest, RemoveNodeByPathAndFromItself) {
  base_->CreateNode("p/q/r");
  QPX_Framework_Storage_RemoveNode(base_->GetPath() + "/p/q/r/");
  EXPECT_EQ(base_->GetNode("p/q/r"), nullptr);
  EXPECT_NE(base_->GetNode("p/q"), nullptr);
  base_->RemoveNode("p/q");
  EXPECT_EQ(base_->GetNode("p/q"), nullptr);
  const auto p = base_->GetNode("p");
  p->RemoveNode();
  EXPECT_FALSE(base_->hasChild("p"));
  EXPECT_EQ(base_->GetChildCount(), 0u);
}

TEST_F(StorageTreeTest, RemoveNodeIfNoChildren) {
  const auto parent = base_->CreateNode("parent");
  parent->CreateNode("kid");
  EXPECT_FALSE(parent->RemoveNodeIfNoChildren());
  EXPECT_TRUE(base_->hasChild("parent"));
  const auto kid = parent->GetNode("kid");
  EXPECT_TRUE(kid->RemoveNodeIfNoChildren());
  EXPECT_FALSE(kid->RemoveNodeIfNoChildren()) << "a detached node has nothing to leave";
  EXPECT_TRUE(parent->RemoveNodeIfNoChildren());
  EXPECT_FALSE(base_->hasChild("parent"));
  EXPECT_FALSE(QPX_Framework_Root_Storage->RemoveNodeIfNoChildren());
}

// A child removing itself while its parent removes it: both take the parent's lock first,
// so the two can never hold one lock each and wait for the other.
TEST_F(StorageTreeTest, ConcurrentSelfAndParentRemovalNeverDeadlocks) {
  constexpr int kRounds = 2000;
  std::atomic<int> selfRemoved{0};
  for (int round = 0; round < kRounds; ++round) {
    const auto child = base_->CreateNode("c");
    std::atomic<bool> go{false};
    std::thread self([&] {
      while (!go.load()) {
      }
      if (child->RemoveNodeIfNoChildren()) selfRemoved.fetch_add(1);
    });
    go.store(true);
    base_->RemoveChild("c");
    self.join();
    ASSERT_FALSE(base_->hasChild("c"));
  }
  EXPECT_EQ(base_->GetChildrenChangeCount(), 2u * kRounds) << "each child was removed exactly once";
  EXPECT_LE(selfRemoved.load(), kRounds);
}

TEST_F(StorageTreeTest, LockHelpers) {
  const auto a = base_->CreateNode("a");
  const auto b = base_->CreateNode("b");

  auto locked = base_->LockAllChildElements();
  ASSERT_TRUE(locked.has_value());
  EXPECT_EQ(locked->size(), 2u);
  std::thread([&] { EXPECT_FALSE(a->ElementLock().try_lock()); }).join();
  for (const auto& child : *locked) child->ElementLock().unlock();

  // A child whose element lock another thread holds: nothing stays locked.
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    std::lock_guard<QPX_Framework_Storage::Lock> guard(b->ElementLock());
    held.store(true);
    while (!release.load()) std::this_thread::yield();
  });
  while (!held.load()) std::this_thread::yield();
  EXPECT_EQ(base_->LockAllChildElements(QPX_Framework_Storage::Clock::now()), std::nullopt);
  std::thread([&] {
    EXPECT_TRUE(a->ElementLock().try_lock());
    a->ElementLock().unlock();
  }).join();
  release.store(true);
  holder.join();

  base_->LockAll();
  std::thread([&] {
    EXPECT_FALSE(base_->NodeLock().try_lock());
    EXPECT_FALSE(base_->ElementLock().try_lock());
    EXPECT_FALSE(QPX_Framework_Storage_Mutex().try_lock());
  }).join();
  base_->UnlockAll();
  std::thread([&] {
    EXPECT_TRUE(QPX_Framework_Storage_Mutex().try_lock());
    QPX_Framework_Storage_Mutex().unlock();
  }).join();
}

TEST_F(StorageTreeTest, NothingIsCreatedBelowTheUserDefaults) {
  bool created = true;
  EXPECT_EQ(QPX_Framework_Storage_GetNode("/User Defaults/x", true, Value(), false, &created), nullptr);
  EXPECT_EQ(QPX_Framework_Preferences->GetChildCount(), 0u);
  EXPECT_EQ(QPX_Framework_Preferences->GetElements(), nullptr);
}

class PreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_.SetPreferencesDefault("Fallback", Value(5));
    fixture_.SetPreferencesDefault("FallbackBool", Value(true));
    fixture_.Install();
    ASSERT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    prefs_ = QPX_Framework_Preferences;
    ASSERT_NE(prefs_, nullptr);
  }

  testing_support::BundleFixture fixture_;
  QPX_Framework_StoragePtr prefs_;
};

TEST_F(PreferencesTest, BundleDefaultsAreTheFallbackOfPlainReads) {
  EXPECT_EQ(prefs_->objectForKey("Fallback"), Value(5));
  EXPECT_EQ(prefs_->integerForKey("Fallback"), 5);
  EXPECT_EQ(prefs_->objectForKey("Fallback", true), Value()) << "forceReal sees only the user's own values";

  prefs_->setInteger(9, "Fallback");
  EXPECT_EQ(prefs_->objectForKey("Fallback", true), Value(9));
  EXPECT_EQ(prefs_->integerForKey("Fallback"), 9);
}

TEST_F(PreferencesTest, WritesReachTheDiskAtOnce) {
  prefs_->setString("on disk", "Written");
  platform::UserDefaults reread(fixture_.defaultsPath(), Value());
  EXPECT_EQ(reread.persistentObjectForKey("Written"), Value("on disk"));

  prefs_->removeObjectForKey("Written");
  platform::UserDefaults again(fixture_.defaultsPath(), Value());
  EXPECT_EQ(again.persistentObjectForKey("Written"), Value());
}

TEST_F(PreferencesTest, ChangeOnlySettersAndRemovalAgainstBundleDefaults) {
  // The integer compares with the user's own value only (absent is 0) ...
  EXPECT_FALSE(prefs_->setNewInteger(0, "Fallback"));
  // ... the boolean with what boolForKey answers, bundle default included.
  EXPECT_FALSE(prefs_->setNewBool(true, "FallbackBool"));
  EXPECT_EQ(prefs_->objectForKey("FallbackBool", true), Value());
  EXPECT_TRUE(prefs_->setNewBool(false, "FallbackBool"));
  EXPECT_EQ(prefs_->objectForKey("FallbackBool", true), Value(false));
  // A key present only as a bundle default counts as present for removal, which then
  // leaves the default visible again.
  prefs_->removeObjectForKey("FallbackBool");
  EXPECT_EQ(prefs_->objectForKey("FallbackBool", true), Value());
  EXPECT_TRUE(prefs_->boolForKey("FallbackBool"));
}

TEST_F(PreferencesTest, ReplaceAndDirtyFlagWorkOnTheDefaultsStore) {
  prefs_->setInteger(1, "a");
  prefs_->setInteger(2, "b");
  QPX_Framework_Storage_GetNode("/User Defaults", false, Value({{"a", Value(1)}, {"c", Value(3)}}), true);
  EXPECT_EQ(fixture_.defaults()->persistentDomain(), Value({{"a", Value(1)}, {"c", Value(3)}}));
  prefs_->TestAndClearElementDirty();
  const auto copy = prefs_->CopyElemensIfNotDirty();
  ASSERT_TRUE(copy.has_value());
  EXPECT_EQ(Value(*copy), Value({{"a", Value(1)}, {"c", Value(3)}}));
}

// Uninstalling changes process-wide state, so it runs in a child process of its own.
TEST_F(PreferencesTest, UninstallDeletesTheDomainAndDetachesTheNode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        prefs_->setInteger(1, "Kept");
        QPX_Framework_Storage::UninstallPreferences();
        const bool ok = QPX_Framework_Preferences == nullptr &&
                        !testing_support::FileExists(fixture_.defaultsPath()) &&
                        prefs_->objectForKey("Kept").isNull() && prefs_->objectForKey("Fallback").isNull();
        prefs_->setInteger(2, "Ignored");
        const bool ignored =
            prefs_->objectForKey("Ignored").isNull() && fixture_.defaults()->persistentDomain().empty();
        QPX_Framework_Storage::UninstallPreferences();  // a second time: nothing left to do
        std::filesystem::remove_all(fixture_.rootPath());
        std::exit(ok && ignored ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
