#include "framework/util/save_info.h"

#include <gtest/gtest.h>

#include "platform/assert.h"

namespace {

const Value kAny = QPX_Framework_Storage_SaveInfo_AnyChild;

class SaveInfoTest : public ::testing::Test {
 protected:
  SaveInfoTest() { _QPX_Framework_Storage_SaveInfo_Reset(); }
  ~SaveInfoTest() override { _QPX_Framework_Storage_SaveInfo_Reset(); }

  static bool Saves(const QPX_Framework_Storage_SaveInfo::Path& path, const char* element) {
    QPX_Framework_Storage_SaveInfo* entry = QPX_Framework_Storage_SaveInfo_ReadNode(path);
    return entry != nullptr && entry->QPX_Framework_Storage_SaveInfo_CheckElement(element);
  }
};

TEST_F(SaveInfoTest, NothingIsReadBeforeTheFirstRegistration) {
  EXPECT_EQ(QPX_Framework_Storage_SaveInfo_ReadNode({}), nullptr);
  EXPECT_EQ(QPX_Framework_Storage_SaveInfo_ReadNode({Value("Modems")}), nullptr);
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"QPX CGMM"}, {Value("Modems")});
  EXPECT_NE(QPX_Framework_Storage_SaveInfo_ReadNode({}), nullptr);  // the root
  EXPECT_TRUE(Saves({Value("Modems")}, "QPX CGMM"));
  EXPECT_FALSE(Saves({Value("Modems")}, "QPX IMEI"));
  EXPECT_EQ(QPX_Framework_Storage_SaveInfo_ReadNode({Value("Other")}), nullptr);
}

TEST_F(SaveInfoTest, ASpecificEntryWinsOverTheAnyChildEntryAndIsNotMerged) {
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"A", "A", "B"},
                                              {Value("Modems"), kAny});
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"C"},
                                              {Value("Modems"), Value("Special")});

  EXPECT_TRUE(Saves({Value("Modems"), Value("0000002a")}, "A"));
  EXPECT_TRUE(Saves({Value("Modems"), Value("0000002a")}, "B"));
  EXPECT_FALSE(Saves({Value("Modems"), Value("0000002a")}, "C"));
  EXPECT_TRUE(Saves({Value("Modems"), Value("Special")}, "C"));
  EXPECT_FALSE(Saves({Value("Modems"), Value("Special")}, "A"));
  // The any-child entry has no entries below it.
  EXPECT_EQ(QPX_Framework_Storage_SaveInfo_ReadNode({Value("Modems"), Value("x"), Value("y")}), nullptr);
}

TEST_F(SaveInfoTest, TwoMarkersAddressEveryGrandchild) {
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"Leaf"}, {Value("SMS"), kAny, kAny});
  EXPECT_TRUE(Saves({Value("SMS"), Value("Inbox"), Value("17")}, "Leaf"));
  EXPECT_FALSE(Saves({Value("SMS"), Value("Inbox")}, "Leaf"));
}

TEST_F(SaveInfoTest, WithoutAListOnlyThePathIsMade) {
  QPX_Framework_Storage_SaveInfo* entry =
      QPX_Framework_Storage_SaveInfo_SaveElements(std::nullopt, {Value("History")});
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(QPX_Framework_Storage_SaveInfo_ReadNode({Value("History")}), entry);
  EXPECT_FALSE(entry->QPX_Framework_Storage_SaveInfo_CheckElement("Anything"));

  // Entries below an entry, and elements added later, by the instance forms.
  QPX_Framework_Storage_SaveInfo* child = entry->QPX_Framework_Storage_SaveInfo_CreateNode({Value("Day")});
  child->QPX_Framework_Storage_SaveInfo_SaveElement("Bytes");
  EXPECT_EQ(entry->QPX_Framework_Storage_SaveInfo_ReadNode({Value("Day")}), child);
  EXPECT_TRUE(Saves({Value("History"), Value("Day")}, "Bytes"));
  EXPECT_EQ(QPX_Framework_Storage_SaveInfo_CreateNode({Value("History"), Value("Day")}), child);
}

TEST_F(SaveInfoTest, PathComponentsMustBeNamesOrTheMarker) {
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"A"}, {Value("Modems"), kAny});
  EXPECT_THROW(QPX_Framework_Storage_SaveInfo_ReadNode({Value("Modems"), kAny}), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_Storage_SaveInfo_CreateNode({Value(7)}), platform::AssertionFailure);
}

}  // namespace
