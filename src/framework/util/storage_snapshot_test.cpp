#include "framework/util/storage_snapshot.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "framework/core/storage.h"
#include "framework/core/subscription.h"
#include "framework/core/thread.h"
#include "framework/util/save_info.h"
#include "platform/assert.h"
#include "testing/test_support.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const Value kAny = QPX_Framework_Storage_SaveInfo_AnyChild;

class SnapshotTest : public ::testing::Test {
 protected:
  SnapshotTest() {
    EXPECT_TRUE(QPX_Framework_Storage::QPX_Framework_Init());
    _QPX_Framework_Storage_SaveInfo_Reset();
    modem_ = QPX_Framework_Storage_CreateNode("/SnapTest/Modem");
  }
  ~SnapshotTest() override {
    QPX_Framework_Storage_RemoveNode("/SnapTest");
    QPX_Framework_Storage_RemoveNode("/SnapLoad");
    _QPX_Framework_Storage_SaveInfo_Reset();
  }

  // The ELEMENT of that name in the NODE, or null.
  static QPX_Framework_XML_Element ElementNamed(const QPX_Framework_XML_Element& node,
                                                const std::string& name) {
    for (const auto& element : node.QPX_Framework_XML_Element_GetChildren("ELEMENT"))
      if (element.QPX_Framework_XML_Element_GetAttributeValue("Name") == name) return element;
    return QPX_Framework_XML_Element();
  }

  TempDir dir_;
  QPX_Framework_StoragePtr modem_;
};

// A handle that the storage would pass around: it cannot be written to a file.
class LiveObject : public platform::ValueObject {};

TEST_F(SnapshotTest, ASubtreeRoundTripsWithEveryValueKindAndOnlyTheSavedParts) {
  const std::string nul("a\0b", 3);
  const Value date = QPX_Framework_Storage_DateFromText("2024-05-01 10:20:30 +0000");
  const Value dictionary{{"Text", Value("ends a CDATA ]]> here")},
                         {"List", Value(Value::Array{Value(1), Value("two")})},
                         {"Bytes", Value::Data(std::string_view("\x01\x02", 2))}};
  const Value elements{
      {"Exactly32", Value(std::string(32, 'x'))},
      {"Long33", Value(std::string(33, 'y'))},
      {"Umlauts32", Value("äöüäöüäöüäöüäöüäöüäöüäöüäöüäöüäö")},  // 32 characters, 64 bytes
      {"LineFeed", Value("a\nb")},
      {"Controls", Value(" tab\tcr\r ")},
      {"Empty", Value("")},
      {"Nul", Value(nul)},
      {"Integer", Value(7)},
      {"Boolean", Value(true)},
      {"Real", Value(0.1)},
      {"Date", date},
      {"Dictionary", dictionary},
      {"Object", Value::Object(std::make_shared<LiveObject>())},
      {"NotUTF8", Value(std::string("\xff\xfe"))},
      {"Volatile", Value("not saved")},
  };
  modem_->setObjects(elements);
  QPX_Framework_Storage_CreateNode("/SnapTest/Modem/Saved")->setObject(Value("child"), "Kept");
  QPX_Framework_Storage_CreateNode("/SnapTest/Modem/Unsaved")->setObject(Value("child"), "Kept");

  std::vector<std::string> saved = elements.keys();
  saved.erase(std::find(saved.begin(), saved.end(), "Volatile"));
  QPX_Framework_Storage_SaveInfo_SaveElements(saved, {Value("SnapTest"), Value("Modem")});
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"Kept"},
                                              {Value("SnapTest"), Value("Modem"), Value("Saved")});

  const std::string path = dir_ / "modem.xml";
  ASSERT_TRUE(QPX_Framework_Storage_Save::QPX_Framework_Storage_SaveXML(modem_, path, true));

  // The encodings in the file.
  const QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString(ReadFile(path));
  ASSERT_TRUE(root);
  EXPECT_EQ(root.Name(), "NODE");
  EXPECT_EQ(root.QPX_Framework_XML_Element_GetAttributeValue("Name"), "Modem");
  EXPECT_EQ(root.QPX_Framework_XML_Element_GetAttributeValue("Path"), "/SnapTest/Modem");
  EXPECT_TRUE(QPX_Framework_Storage_DateFromText(
                  root.QPX_Framework_XML_Element_GetAttributeValue("DumpTime").value_or(""))
                  .isDate());
  EXPECT_TRUE(root.QPX_Framework_XML_Element_GetAttributeValue("BuildID").has_value());
  EXPECT_TRUE(
      ElementNamed(root, "Exactly32").QPX_Framework_XML_Element_GetAttributeValue("String").has_value());
  EXPECT_TRUE(
      ElementNamed(root, "Umlauts32").QPX_Framework_XML_Element_GetAttributeValue("String").has_value());
  EXPECT_TRUE(ElementNamed(root, "Long33").QPX_Framework_XML_Element_GetChild("STRING"));
  EXPECT_TRUE(ElementNamed(root, "LineFeed").QPX_Framework_XML_Element_GetChild("STRING"));
  EXPECT_EQ(ElementNamed(root, "Empty").QPX_Framework_XML_Element_GetAttributeValue("String"), "");
  EXPECT_TRUE(ElementNamed(root, "Nul").QPX_Framework_XML_Element_GetChild("STRING-DATA"));
  EXPECT_EQ(ElementNamed(root, "Integer").QPX_Framework_XML_Element_GetAttributeValue("Number"), "7");
  EXPECT_EQ(ElementNamed(root, "Boolean").QPX_Framework_XML_Element_GetAttributeValue("Number"), "1");
  EXPECT_EQ(ElementNamed(root, "Date").QPX_Framework_XML_Element_GetAttributeValue("Date"),
            "2024-05-01 10:20:30 +0000");
  EXPECT_TRUE(ElementNamed(root, "Dictionary").QPX_Framework_XML_Element_GetChild("PROPERTY-LIST"));
  EXPECT_FALSE(ElementNamed(root, "Object"));
  EXPECT_FALSE(ElementNamed(root, "NotUTF8"));
  EXPECT_FALSE(ElementNamed(root, "Volatile"));
  std::vector<std::string> comments;
  for (const auto& child : root.QPX_Framework_XML_Element_Children())
    if (child.GetKind() == QPX_Framework_XML_Node::Kind::Comment) comments.push_back(child.StringValue());
  EXPECT_EQ(comments, (std::vector<std::string>{"Unsupported datatype for element \"NotUTF8\"",
                                                "Unsupported datatype for element \"Object\""}));
  const auto children = root.QPX_Framework_XML_Element_GetChildren("NODE");
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children[0].QPX_Framework_XML_Element_GetAttributeValue("Name"), "Saved");
  EXPECT_FALSE(children[0].QPX_Framework_XML_Element_GetAttributeValue("Path").has_value());

  // Read back into a node of the same name elsewhere.
  const QPX_Framework_StoragePtr target = QPX_Framework_Storage_CreateNode("/SnapLoad/Modem");
  ASSERT_TRUE(QPX_Framework_Storage_Load::QPX_Framework_Storage_LoadXMLfromFile(path, target));
  for (const char* key :
       {"Exactly32", "Long33", "Umlauts32", "LineFeed", "Controls", "Empty", "Nul", "Date", "Dictionary"})
    EXPECT_EQ(target->objectForKey(key), elements.get(key)) << key;
  EXPECT_EQ(target->objectForKey("Nul").string().size(), 3u);
  for (const char* key : {"Integer", "Boolean", "Real"}) {
    EXPECT_TRUE(target->objectForKey(key).isReal()) << key;  // numbers come back as doubles
    EXPECT_EQ(target->objectForKey(key).toDouble(), elements.get(key).toDouble()) << key;
  }
  for (const char* key : {"Object", "NotUTF8", "Volatile"})
    EXPECT_TRUE(target->objectForKey(key).isNull()) << key;
  EXPECT_EQ(QPX_Framework_Storage_GetNode("/SnapLoad/Modem/Saved")->objectForKey("Kept"), Value("child"));
  EXPECT_EQ(QPX_Framework_Storage_GetNode("/SnapLoad/Modem/Unsaved"), nullptr);
  EXPECT_FALSE(target->_DirtyElements());
  EXPECT_FALSE(QPX_Framework_Storage_GetNode("/SnapLoad/Modem/Saved")->_DirtyElements());
}

TEST_F(SnapshotTest, ASnapshotCleansTheWholeSubtreeAndWritesOnlyWhatIsRegistered) {
  const QPX_Framework_StoragePtr unsaved = QPX_Framework_Storage_CreateNode("/SnapTest/Modem/Unsaved");
  modem_->setObject(Value(1), "Count");
  unsaved->setObject(Value(2), "Count");

  // Nothing registered: nothing to write, and the flags stay.
  EXPECT_EQ(QPX_Framework_Storage_Save::QPX_Framework_Storage_MakeXML(modem_, false), std::nullopt);
  EXPECT_FALSE(QPX_Framework_Storage_Save::QPX_Framework_Storage_SaveXML(modem_, dir_ / "none.xml", false));
  EXPECT_FALSE(FileExists(dir_ / "none.xml"));
  EXPECT_TRUE(modem_->_DirtyElements());

  // The path only: the node without its own elements.
  QPX_Framework_Storage_SaveInfo_SaveElements(std::nullopt, {Value("SnapTest"), Value("Modem")});
  const std::optional<std::string> bytes =
      QPX_Framework_Storage_Save::QPX_Framework_Storage_MakeXML(modem_, false);
  ASSERT_TRUE(bytes.has_value());
  const QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString(*bytes);
  EXPECT_TRUE(root.QPX_Framework_XML_Element_GetChildren().empty()) << *bytes;
  EXPECT_FALSE(modem_->_DirtyElements());
  EXPECT_FALSE(unsaved->_DirtyElements());
  unsaved->setObject(Value(3), "Count");
  EXPECT_TRUE(unsaved->_DirtyElements());

  // A node taken out of the tree has no entry.
  QPX_Framework_Storage_RemoveNode("/SnapTest/Modem");
  EXPECT_EQ(QPX_Framework_Storage_Save::QPX_Framework_Storage_MakeXML(modem_, false), std::nullopt);
}

TEST_F(SnapshotTest, TheAnyChildEntryCoversChildrenWithoutEntriesOfTheirOwn) {
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"A"}, {Value("SnapTest"), kAny});
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"B"},
                                              {Value("SnapTest"), Value("Special")});
  QPX_Framework_Storage_CreateNode("/SnapTest/Special")
      ->setObjects(Value{{"A", Value("a")}, {"B", Value("b")}});
  modem_->setObjects(Value{{"A", Value("a")}, {"B", Value("b")}});

  const std::string path = dir_ / "tree.xml";
  const QPX_Framework_StoragePtr top = QPX_Framework_Storage_GetNode("/SnapTest");
  ASSERT_TRUE(QPX_Framework_Storage_Save::QPX_Framework_Storage_SaveXML(top, path, false));
  QPX_Framework_Storage_RemoveNode("/SnapTest");
  const QPX_Framework_StoragePtr fresh = QPX_Framework_Storage_CreateNode("/SnapTest");
  ASSERT_TRUE(QPX_Framework_Storage_Load::QPX_Framework_Storage_LoadXMLfromFile(path, fresh));
  EXPECT_EQ(QPX_Framework_Storage_GetNode("/SnapTest/Modem")->objectForKey("A"), Value("a"));
  EXPECT_TRUE(QPX_Framework_Storage_GetNode("/SnapTest/Modem")->objectForKey("B").isNull());
  EXPECT_EQ(QPX_Framework_Storage_GetNode("/SnapTest/Special")->objectForKey("B"), Value("b"));
  EXPECT_TRUE(QPX_Framework_Storage_GetNode("/SnapTest/Special")->objectForKey("A").isNull());
}

TEST_F(SnapshotTest, LoadingFaultyFiles) {
  const QPX_Framework_StoragePtr target = QPX_Framework_Storage_CreateNode("/SnapLoad/Modem");
  target->setObject(Value("old"), "Keep");

  EXPECT_TRUE(
      QPX_Framework_Storage_Load::QPX_Framework_Storage_LoadXMLfromFile(dir_ / "missing.xml", target));

  struct Case {
    const char* name;
    const char* xml;
  } untouched[] = {
      {"not XML", "<NODE Name=\"Modem\"><ELEMENT Name=\"Keep\" String=\"new\"/>"},
      {"another node", "<NODE Name=\"Other\"><ELEMENT Name=\"Keep\" String=\"new\"/></NODE>"},
      {"no name", "<NODE><ELEMENT Name=\"Keep\" String=\"new\"/></NODE>"},
      {"not a NODE", "<ELEMENT Name=\"Modem\"><ELEMENT Name=\"Keep\" String=\"new\"/></ELEMENT>"},
  };
  for (const Case& c : untouched) {
    WriteFile(dir_ / "file.xml", c.xml);
    EXPECT_FALSE(QPX_Framework_Storage_Load::QPX_Framework_Storage_LoadXMLfromFile(dir_ / "file.xml", target))
        << c.name;
    EXPECT_EQ(target->objectForKey("Keep"), Value("old")) << c.name;
  }

  // Faulty parts are skipped, the rest is loaded, and the load says so.
  WriteFile(dir_ / "file.xml", R"(<NODE Name="Modem">
      <ELEMENT String="no name"/>
      <ELEMENT Name="" String="empty name"/>
      <ELEMENT Name="Nothing"/>
      <ELEMENT Name="BadNumber" Number="7 apples"/>
      <ELEMENT Name="BadDate" Date="yesterday"/>
      <ELEMENT Name="BadPList"><PROPERTY-LIST><![CDATA[<plist><dict>]]></PROPERTY-LIST></ELEMENT>
      <ELEMENT Name="BadData"><STRING-DATA><![CDATA[<plist version="1.0"><string>x</string></plist>]]></STRING-DATA></ELEMENT>
      <ELEMENT Name="Keep" String="new"/>
      <ELEMENT Name="Offset" Date="2024-05-01 12:20:30 +0200"/>
      <NODE><ELEMENT Name="Lost" String="x"/></NODE>
      <NODE Name="a/b"/>
      <NODE Name="Child"><ELEMENT Name="Fine" Number="1.5"/><ELEMENT Name="Broken" Number=""/></NODE>
    </NODE>)");
  EXPECT_FALSE(QPX_Framework_Storage_Load::QPX_Framework_Storage_LoadXMLfromFile(dir_ / "file.xml", target));
  EXPECT_EQ(target->objectForKey("Keep"), Value("new"));
  EXPECT_EQ(target->objectForKey("Offset"), QPX_Framework_Storage_DateFromText("2024-05-01 10:20:30 +0000"));
  for (const char* key : {"Nothing", "BadNumber", "BadDate", "BadPList", "BadData"})
    EXPECT_TRUE(target->objectForKey(key).isNull()) << key;
  EXPECT_EQ(QPX_Framework_Storage_GetNode("/SnapLoad/Modem/Child")->objectForKey("Fine"), Value(1.5));
  EXPECT_EQ(QPX_Framework_Storage_GetNode("/SnapLoad/Modem/a"), nullptr);

  // A snapshot is never loaded into the root.
  WriteFile(dir_ / "root.xml", "<NODE/>");
  EXPECT_THROW(QPX_Framework_Storage_Load::QPX_Framework_Storage_LoadXMLfromFile(dir_ / "root.xml",
                                                                                 QPX_Framework_Root_Storage),
               platform::AssertionFailure);
}

TEST_F(SnapshotTest, EveryLoadAnnouncesEveryElement) {
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"Signal"},
                                              {Value("SnapTest"), Value("Modem")});
  modem_->setObject(Value(17), "Signal");
  const std::string path = dir_ / "modem.xml";
  ASSERT_TRUE(QPX_Framework_Storage_Save::QPX_Framework_Storage_SaveXML(modem_, path, false));

  auto worker = std::make_shared<QPX_Framework_Thread>();
  ASSERT_TRUE(worker->QPX_Framework_Thread_Launch());
  auto notices = std::make_shared<std::atomic<int>>(0);
  QPX_Framework_SubscriptionPtr subscription;
  worker->PerformSelector(
      [&] {
        subscription = modem_->Subscribe("Signal");
        subscription->SetInvocation(
            QPX_Framework_Invocation::Make([notices](QPX_Framework_Invocation::Arguments) {
              ++*notices;
              return Value();
            }));
      },
      true);
  for (int i = 0; i < 2; ++i)
    ASSERT_TRUE(QPX_Framework_Storage_Load::QPX_Framework_Storage_LoadXMLfromFile(path, modem_));
  // The first notice is the subscription's own (the current value), then one per load.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (notices->load() < 3 && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  worker->PerformSelector([&] { subscription.reset(); }, true);
  EXPECT_EQ(notices->load(), 3);
  worker->QPX_Framework_Thread_Quit();
  worker->WaitUntilFinished();
}

TEST_F(SnapshotTest, ASnapshotUnderConcurrentWritersIsOneStateTheTreeWasIn) {
  // The writer keeps A and B of the modem equal (one write of both) and moves First before
  // Second: every real state has A == B and First == Second or Second + 1.
  const QPX_Framework_StoragePtr first = QPX_Framework_Storage_CreateNode("/SnapTest/Modem/First");
  const QPX_Framework_StoragePtr second = QPX_Framework_Storage_CreateNode("/SnapTest/Modem/Second");
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"A", "B"},
                                              {Value("SnapTest"), Value("Modem")});
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"N"},
                                              {Value("SnapTest"), Value("Modem"), kAny});
  modem_->setObjects(Value{{"A", Value(0)}, {"B", Value(0)}});
  first->setObject(Value(0), "N");
  second->setObject(Value(0), "N");

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 1; !stop.load(); ++i) {
      modem_->setObjects(Value{{"A", Value(i)}, {"B", Value(i)}});
      first->setObject(Value(i), "N");
      second->setObject(Value(i), "N");
    }
  });
  int checked = 0;
  for (int round = 0; round < 200; ++round) {
    const std::optional<std::string> bytes =
        QPX_Framework_Storage_Save::QPX_Framework_Storage_MakeXML(modem_, false);
    ASSERT_TRUE(bytes.has_value());
    const QPX_Framework_XML_Element root = QPX_Framework_XML_Document_LoadFromString(*bytes);
    auto number = [](const QPX_Framework_XML_Element& node, const char* name) {
      return _QPX_Framework_Storage_DecodeXML_Number(ElementNamed(node, name)).toInt64(-1);
    };
    std::map<std::string, std::int64_t> n;
    for (const auto& child : root.QPX_Framework_XML_Element_GetChildren("NODE"))
      n[child.QPX_Framework_XML_Element_GetAttributeValue("Name").value_or("")] = number(child, "N");
    EXPECT_EQ(number(root, "A"), number(root, "B"));
    EXPECT_TRUE(n["First"] == n["Second"] || n["First"] == n["Second"] + 1)
        << n["First"] << " " << n["Second"];
    ++checked;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(checked, 200);
}

TEST_F(SnapshotTest, AFailedWriteLeavesTheOldFile) {
  QPX_Framework_Storage_SaveInfo_SaveElements(std::vector<std::string>{"A"},
                                              {Value("SnapTest"), Value("Modem")});
  modem_->setObject(Value("a"), "A");
  EXPECT_FALSE(
      QPX_Framework_Storage_Save::QPX_Framework_Storage_SaveXML(modem_, dir_ / "missing/file.xml", false));

  // A folder where the file should be cannot be replaced; nothing is left behind.
  ASSERT_EQ(::mkdir((dir_ / "taken").c_str(), 0755), 0);
  WriteFile(dir_ / "taken/inside", "old");
  EXPECT_FALSE(QPX_Framework_Storage_Save::QPX_Framework_Storage_SaveXML(modem_, dir_ / "taken", false));
  EXPECT_EQ(ReadFile(dir_ / "taken/inside"), "old");
  std::vector<std::string> entries;
  DIR* folder = ::opendir(dir_.path().c_str());
  while (dirent* entry = ::readdir(folder))
    if (entry->d_name[0] != '.') entries.push_back(entry->d_name);
  ::closedir(folder);
  EXPECT_EQ(entries, std::vector<std::string>{"taken"});

  // Saving again over a file replaces it whole.
  WriteFile(dir_ / "file.xml", "old contents");
  ASSERT_TRUE(QPX_Framework_Storage_Save::QPX_Framework_Storage_SaveXML(modem_, dir_ / "file.xml", false));
  EXPECT_NE(ReadFile(dir_ / "file.xml").find("String=\"a\""), std::string::npos);
}

TEST(SnapshotDates, TheStandardDateDescription) {
  struct Case {
    const char* text;
    double unix;  // NAN: not a date
  } cases[] = {
      {"1970-01-01 00:00:00 +0000", 0},
      {"2001-01-01 00:00:00 +0000", 978307200},
      {"2024-02-29 23:59:59 +0000", 1709251199},
      {"2024-03-01 01:59:59 +0200", 1709251199},
      {"2024-02-29 18:59:59 -0500", 1709251199},
      {"1969-12-31 23:59:59 +0000", -1},
      {"2024-02-29 23:59:59", NAN},
      {"2024-13-01 00:00:00 +0000", NAN},
      {"2024-2-29 23:59:59 +0000", NAN},
      {"2024-02-29 23:59:59 +0000x", NAN},
  };
  for (const Case& c : cases) {
    const Value date = QPX_Framework_Storage_DateFromText(c.text);
    if (std::isnan(c.unix)) {
      EXPECT_TRUE(date.isNull()) << c.text;
    } else {
      EXPECT_EQ(date, Value::DateFromUnix(c.unix)) << c.text;
    }
  }
  EXPECT_EQ(QPX_Framework_Storage_DateText(Value::DateFromUnix(1709251199.75)), "2024-02-29 23:59:59 +0000");
  EXPECT_EQ(QPX_Framework_Storage_DateText(Value::DateFromUnix(-1)), "1969-12-31 23:59:59 +0000");
}

}  // namespace
