// Reading GUI description files (includes, headers, root forms) and building them: overrides,
// the release rule, names, tags, user data, skipped types, several files at once.

#include "gui/builder.h"

#include <gtest/gtest.h>

#include "gui/builder_test_support.h"
#include "gui/object_types_platform_views.h"
#include "gui/skinned_view.h"
#include "gui/switch_view.h"
#include "platform/assert.h"
#include "platform/ui/window.h"

namespace {

using builder_testing::GuiTest;
using platform::ui::Size;
using platform::ui::View;

std::string Ignore(const std::string& name) {
  return "<dict><key>Type</key><string>Ignore</string><key>Name</key><string>" + name + "</string></dict>";
}

class BuilderTest : public GuiTest {};

TEST_F(BuilderTest, IncludesAreResolvedRelativeToTheIncludingFile) {
  WriteGUI("Main.plist", "<array>" + Ignore("First") + "<include>Parts/Outer.xml</include></array>");
  WriteRawGUI("Parts/Outer.xml",
              "<dict><key>Type</key><string>View</string><key>Name</key><string>Outer</string>"
              "<key>Contents</key><array><include>Inner.xml</include></array></dict>");
  WriteRawGUI("Parts/Inner.xml", Ignore("Inner"));

  std::set<std::string> read;
  const std::optional<Value> list =
      _QPX_Framework_ReadGUIPList(fixture_.resourcesPath() + "/GUI/Main.plist", &read);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ(list->at(1).get("Contents").at(0).get("Name"), Value("Inner"));
  EXPECT_EQ(read, (std::set<std::string>{fixture_.resourcesPath() + "/GUI/Main.plist",
                                         fixture_.resourcesPath() + "/GUI/Parts/Outer.xml",
                                         fixture_.resourcesPath() + "/GUI/Parts/Inner.xml"}));

  std::shared_ptr<QPX_Framework_GUI_Objects> objects = QPX_Framework_SkinnedGUI_Create("Main.plist");
  ASSERT_TRUE(objects);
  std::shared_ptr<View> outer = objects->Get<View>("Outer");
  std::shared_ptr<View> inner = objects->Get<View>("Inner");
  ASSERT_TRUE(outer && inner && objects->Get<View>("First"));
  EXPECT_EQ(inner->Superview(), outer);
}

TEST_F(BuilderTest, UnreadableFilesGiveNothing) {
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"missing include", builder_testing::Plist("<array><include>Nowhere.xml</include></array>")},
      // An include without text stays in the tree, where it is no property-list value.
      {"empty include", builder_testing::Plist("<array><include/></array>")},
      {"not a property list", "<html><body>GUI</body></html>"},
      {"not XML", "<array"},
      {"dictionary root", builder_testing::Plist(Ignore("Alone"))},
  };
  for (const Case& c : cases) {
    builder_testing::CapturedLog().clear();
    WriteRawGUI("Broken.plist", c.text);
    EXPECT_FALSE(QPX_Framework_SkinnedGUI_Create("Broken.plist")) << c.name;
    EXPECT_TRUE(Logged(QPX_LOG_ERROR, "Unable to read")) << c.name;
    EXPECT_TRUE(Logged(QPX_LOG_TRACE, "Unable to load \"Broken.plist\"")) << c.name;
  }
  EXPECT_FALSE(QPX_Framework_SkinnedGUI_Create("Absent.plist"));
}

TEST_F(BuilderTest, AnIncludeCycleIsReportedWithItsFiles) {
  WriteGUI("Cycle.plist", "<array><include>A.xml</include></array>");
  WriteRawGUI("A.xml", "<array><include>Sub/B.xml</include></array>");
  WriteRawGUI("Sub/B.xml", "<array><include>../A.xml</include></array>");
  try {
    QPX_Framework_SkinnedGUI_Create("Cycle.plist");
    FAIL() << "no assertion";
  } catch (const platform::AssertionFailure& failure) {
    const std::string message = failure.what();
    EXPECT_NE(message.find("include cycle"), std::string::npos) << message;
    EXPECT_NE(message.find("Sub/B.xml -> "), std::string::npos) << message;
    EXPECT_NE(message.find("/A.xml"), std::string::npos) << message;
  }
  // A file that includes itself.
  WriteRawGUI("Self.xml", "<array><include>Self.xml</include></array>");
  EXPECT_THROW(_QPX_Framework_ReadGUIPList(fixture_.resourcesPath() + "/GUI/Self.xml"),
               platform::AssertionFailure);
}

TEST_F(BuilderTest, HeadersPushTheirAttributesForTheirOwnFile) {
  const std::size_t depth = QPX_Framework_SkinnedGUI_AttributeDepth();
  // An empty dictionary is a header: nothing is made of it.
  WriteGUI("Empty.plist", "<array><dict/>" + Ignore("Only") + "</array>");
  std::shared_ptr<QPX_Framework_GUI_Objects> objects = QPX_Framework_SkinnedGUI_Create("Empty.plist");
  ASSERT_TRUE(objects);
  EXPECT_EQ(objects->Names(), std::vector<std::string>{"Only"});
  EXPECT_EQ(QPX_Framework_SkinnedGUI_AttributeDepth(), depth);

  // Attributes with a type make an object, not a header.
  WriteGUI(
      "NotHeader.plist",
      "<array><dict><key>Type</key><string>View</string><key>Name</key><string>V</string>"
      "<key>Attributes</key><dict><key>Window Background</key><string>RGBA:255:0:0</string></dict></dict>"
      "<dict><key>Type</key><string>Window</string><key>Name</key><string>W</string>"
      "<key>Size</key><string>200x100</string></dict></array>");
  objects = QPX_Framework_SkinnedGUI_Create("NotHeader.plist");
  ASSERT_TRUE(objects && objects->Get<View>("V"));
  EXPECT_FALSE(objects->Get<platform::ui::Window>("W")->BackgroundColor().sameAs(platform::ui::Color::Red()));

  const std::string header =
      "<dict><key>Attributes</key><dict><key>Window Background</key><string>RGBA:255:0:0</string></dict>"
      "<key>Apple: Attributes</key><dict/></dict>";
  WriteGUI("Shared.plist", "<array>" + header + "</array>");
  WriteGUI("Header.plist", "<array>" + header +
                               "<dict><key>Type</key><string>Window</string><key>Name</key><string>W</string>"
                               "<key>Size</key><string>200x100</string></dict></array>");
  objects = QPX_Framework_SkinnedGUI_Create("Header.plist");
  EXPECT_TRUE(objects->Get<platform::ui::Window>("W")->BackgroundColor().sameAs(platform::ui::Color::Red()));
  EXPECT_EQ(QPX_Framework_SkinnedGUI_AttributeDepth(), depth);

  // Shared attributes stay for the builds that follow.
  ASSERT_TRUE(QPX_Framework_SkinnedGUI_LoadAttributes("Shared.plist"));
  EXPECT_EQ(QPX_Framework_SkinnedGUI_AttributeDepth(), depth + 1);
  WriteGUI("Plain.plist",
           "<array><dict><key>Type</key><string>Window</string><key>Name</key><string>W</string>"
           "<key>Size</key><string>200x100</string></dict></array>");
  objects = QPX_Framework_SkinnedGUI_Create("Plain.plist");
  EXPECT_TRUE(objects->Get<platform::ui::Window>("W")->BackgroundColor().sameAs(platform::ui::Color::Red()));
}

TEST_F(BuilderTest, OverridesAndTheReleaseRule) {
  QPX_Framework_ApplicationInfo.releaseNumber = 5;
  WriteGUI(
      "Override.plist",
      "<array>"
      // An override that changes the type builds the new type.
      "<dict><key>Type</key><string>View</string><key>Name</key><string>Changed</string>"
      "<key>QPX Override</key><dict><key>Type</key><string>Ignore</string></dict></dict>"
      // Keys 5 and 05 both match release 5; 6 does not.
      "<dict><key>Type</key><string>View</string><key>Name</key><string>Released</string>"
      "<key>Size</key><string>10x10</string>"
      "<key>VOQ Release</key><dict>"
      "<key>5</key><dict><key>Size</key><string>20x30</string></dict>"
      "<key>05</key><dict><key>UserData</key><string>five</string></dict>"
      "<key>6</key><dict><key>Hidden</key><true/></dict>"
      "</dict></dict>"
      // Overrides merge into nested dictionaries.
      "<dict><key>Type</key><string>View</string><key>Name</key><string>Merged</string>"
      "<key>Size</key><string>10x10</string>"
      "<key>Attributes</key><dict><key>A</key><string>a</string><key>B</key><string>b</string></dict>"
      "<key>QPX Override</key><dict><key>Attributes</key><dict><key>B</key><string>B</string></dict></dict>"
      "</dict></array>");
  std::shared_ptr<QPX_Framework_GUI_Objects> objects = QPX_Framework_SkinnedGUI_Create("Override.plist");
  ASSERT_TRUE(objects);
  EXPECT_TRUE(objects->Get<View>("Changed"));
  EXPECT_FALSE(objects->Get<QPX_Framework_SkinnedView>("Changed"));

  std::shared_ptr<View> released = objects->Get<View>("Released");
  ASSERT_TRUE(released);
  EXPECT_EQ(released->Frame().size, (Size{20, 30}));
  EXPECT_EQ(QPX_Framework_GUI_GetUserData(*objects, "Released"), Value("five"));
  EXPECT_FALSE(released->IsHidden());

  const Value merged = QPX_Framework_GUI_GetDescription(*objects->Get<View>("Merged"));
  EXPECT_EQ(merged.get("Attributes"), (Value{{"A", Value("a")}, {"B", Value("B")}}));
}

TEST_F(BuilderTest, NamesTagsAndUserData) {
  fixture_.AddPlistResource("en.lproj/Strings", Value{{"5", Value("Signal strength")}});
  _QPX_Framework_Strings_Reset();
  WriteGUI("Tags.plist",
           "<array>"
           "<dict><key>Type</key><string>Level</string><key>Name</key><string>Signal</string>"
           "<key>Size</key><string>60x12</string><key>UserData</key><dict><key>Max</key><integer>5</"
           "integer></dict>"
           "</dict>"
           "<dict><key>Type</key><string>View</string><key>Name</key><string>Panel</string>"
           "<key>Size</key><string>30x30</string><key>Hidden</key><true/></dict>"
           "<dict><key>Type</key><string>View</string><key>Size</key><string>30x30</string>"
           "<key>UserData</key><string>lost without a name</string></dict>"
           "<dict><key>Type</key><string>TabView</string><key>Name</key><string>Tabs</string>"
           "<key>Size</key><string>100x50</string><key>Contents</key><array>"
           "<dict><key>Type</key><string>TabItem</string><key>Name</key><string>Page</string>"
           "<key>ToolTip</key><string>STRING:5</string></dict></array></dict>"
           "</array>");
  std::shared_ptr<QPX_Framework_GUI_Objects> objects = QPX_Framework_SkinnedGUI_Create("Tags.plist");
  ASSERT_TRUE(objects);
  EXPECT_EQ(objects->Names(), (std::vector<std::string>{"Page", "Panel", "Signal", "Tabs"}));
  // Controls carry their name as tag; plain views take no tag.
  EXPECT_EQ(QPX_Framework_GUI_NameTag(objects->Get("Signal")), std::optional<std::string>("Signal"));
  EXPECT_EQ(QPX_Framework_GUI_NameTag(objects->Get("Panel")), std::nullopt);
  EXPECT_TRUE(objects->Get<View>("Panel")->IsHidden());
  EXPECT_EQ(objects->Get<gui::TabViewItem>("Page")->ToolTip(), "Signal strength");
  EXPECT_EQ(QPX_Framework_GUI_GetUserData(*objects, "Signal"), (Value{{"Max", Value(5)}}));
  EXPECT_EQ(objects->UserData().size(), 1u);
  EXPECT_TRUE(QPX_Framework_GUI_GetUserData(*objects, "Panel").isNull());
}

TEST_F(BuilderTest, BrokenDescriptionsAreAssertions) {
  const std::string window =
      "<dict><key>Type</key><string>Window</string><key>Size</key><string>100x100</string>";
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"duplicate name", "<array>" + Ignore("Twice") + Ignore("Twice") + "</array>"},
      {"tool tip on a window", "<array>" + window + "<key>ToolTip</key><string>No</string></dict></array>"},
      {"hidden window", "<array>" + window + "<key>Hidden</key><true/></dict></array>"},
      {"tab item outside a tab view",
       "<array><dict><key>View</key><dict/><key>Type</key><string>TabItem</string></dict></array>"},
      {"tab item in a view",
       "<array><dict><key>Type</key><string>View</string><key>Contents</key><array>"
       "<dict><key>Type</key><string>TabItem</string></dict></array></dict></array>"},
  };
  for (const auto& c : cases) {
    WriteGUI("Broken.plist", c.body);
    EXPECT_THROW(QPX_Framework_SkinnedGUI_Create("Broken.plist"), platform::AssertionFailure) << c.name;
    while (QPX_Framework_SkinnedGUI_AttributeDepth() > 0) QPX_Framework_SkinnedGUI_PopAttributes();
  }
  auto objects = QPX_Framework_GUI_Objects::Make();
  EXPECT_THROW(objects->Set("__Desert Scream", QPX_Framework_GUI_Object(View::Make())),
               platform::AssertionFailure);
}

TEST_F(BuilderTest, TypesThatAreMissingOrNotYetAvailableAreSkipped) {
  WriteGUI("Skip.plist",
           "<array>"
           "<dict><key>Type</key><string>Hologram</string><key>Name</key><string>Unknown</string>"
           "<key>Contents</key><array>" +
               Ignore("Child") +
               "</array></dict>"
               "<dict><key>Name</key><string>Typeless</string></dict>"
               "<dict><key>Type</key><string>Button</string><key>Name</key><string>Later</string></dict>" +
               Ignore("Kept") + "</array>");
  std::shared_ptr<QPX_Framework_GUI_Objects> objects = QPX_Framework_SkinnedGUI_Create("Skip.plist");
  ASSERT_TRUE(objects);
  EXPECT_EQ(objects->Names(), std::vector<std::string>{"Kept"});
  EXPECT_TRUE(Logged(QPX_LOG_ERROR, "\"Button\""));
  for (const auto& line : builder_testing::CapturedLog())
    EXPECT_EQ(line.text.find("Hologram"), std::string::npos) << line.text;
}

TEST_F(BuilderTest, SeveralFilesMergeIntoOneDictionary) {
  WriteGUI("A.plist",
           "<array><dict><key>Type</key><string>Ignore</string><key>Name</key><string>Shared</string>"
           "<key>UserData</key><string>a</string></dict>" +
               Ignore("OnlyA") + "</array>");
  WriteGUI("C.plist",
           "<array><dict><key>Type</key><string>View</string><key>Name</key><string>Shared</string>"
           "<key>UserData</key><string>c</string></dict>"
           "<dict><key>Type</key><string>Ignore</string><key>Name</key><string>OnlyC</string>"
           "<key>UserData</key><integer>3</integer></dict></array>");
  std::shared_ptr<QPX_Framework_GUI_Objects> objects =
      QPX_Framework_SkinnedGUI_CreateMulti({"A.plist", "C.plist", "", "Never.plist"});
  ASSERT_TRUE(objects);
  EXPECT_EQ(objects->Names(), (std::vector<std::string>{"OnlyA", "OnlyC", "Shared"}));
  EXPECT_TRUE(objects->Get<QPX_Framework_SkinnedView>("Shared"));
  EXPECT_EQ(QPX_Framework_GUI_GetUserData(*objects, "Shared"), Value("c"));
  EXPECT_EQ(QPX_Framework_GUI_GetUserData(*objects, "OnlyC"), Value(3));

  // A failing file ends the build: the files after it are not read.
  EXPECT_FALSE(QPX_Framework_SkinnedGUI_CreateMulti({"A.plist", "Missing.plist", "C.plist"}));
  EXPECT_EQ(QPX_Framework_SkinnedGUI_CurrentFile(), "Missing.plist");
  EXPECT_THROW(QPX_Framework_SkinnedGUI_CreateMulti({}), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_SkinnedGUI_CreateMulti({""}), platform::AssertionFailure);
}

TEST_F(BuilderTest, DescriptionsFramesAndSaveNamesAreRecorded) {
  WriteGUI("GUI.plist",
           "<array><dict><key>Type</key><string>Window</string><key>Name</key><string>Main</string>"
           "<key>Size</key><string>300x200</string><key>Contents</key><array>"
           "<dict><key>Type</key><string>View</string><key>Name</key><string>Inside</string>"
           "<key>Size</key><string>40x30</string><key>Location</key><string>10,20</string></dict>"
           "</array></dict></array>");
  std::shared_ptr<QPX_Framework_GUI_Objects> objects = QPX_Framework_SkinnedGUI_Create("GUI.plist");
  ASSERT_TRUE(objects);
  auto window = objects->Get<QPX_Framework_PositionSavingWindow>("Main");
  ASSERT_TRUE(window);
  EXPECT_EQ(window->SaveName(), std::optional<std::string>("GUI.plist: Main"));
  const Value description = QPX_Framework_GUI_GetDescription(*window->GetWindow());
  EXPECT_EQ(description.get("Name"), Value("Main"));
  EXPECT_EQ(QPX_Framework_GUI_GetDescription(*window->GetWindow()->ContentView()), description);
  EXPECT_EQ(QPX_Framework_GUI_GetObjectDescription(objects->Get("Main")), description);
  std::shared_ptr<View> inside = objects->Get<View>("Inside");
  EXPECT_EQ(inside->Frame(), platform::ui::Rect(10, 20, 40, 30));
  EXPECT_EQ(inside->Superview(), window->GetWindow()->ContentView());
  EXPECT_EQ(QPX_Framework_GUI_GetDescription(*inside).get("Location"), Value("10,20"));

  // Placing one object by hand applies its location too.
  auto loose = QPX_Framework_GUI_Objects::Make();
  QPX_Framework_GUI_Object made = QPX_Framework_CreateMyObject(
      *loose, Value{{"Type", Value("Ignore")}, {"Location", Value("7,8")}, {"Name", Value("Loose")}});
  ASSERT_TRUE(made.IsView());
  EXPECT_EQ(made.View()->Frame().origin, (platform::ui::Point{7, 8}));
  EXPECT_EQ(loose->Get("Loose"), made);
}

TEST_F(BuilderTest, ColourLists) {
  WriteGUI("Colors.plist",
           "<array><dict><key>Accent</key><string>RGBA:0:128:255</string>"
           "<key>Grey</key><string>Grey:128</string></dict></array>");
  const auto colors = QPX_Framework_GUI_ReadColorList("Colors.plist");
  ASSERT_EQ(colors.size(), 2u);
  EXPECT_EQ(colors.at("Accent").blue255(), 255);
  EXPECT_EQ(colors.at("Grey").red255(), 128);

  WriteGUI("TwoLists.plist", "<array><dict/><dict/></array>");
  EXPECT_THROW(QPX_Framework_GUI_ReadColorList("TwoLists.plist"), platform::AssertionFailure);
  EXPECT_THROW(QPX_Framework_GUI_ReadColorList("NoList.plist"), platform::AssertionFailure);
}

TEST_F(BuilderTest, NameTagsDoNotOutliveTheirObjects) {
  std::shared_ptr<gui::LevelIndicator> level = gui::LevelIndicator::Make(platform::ui::Rect());
  const void* address = level.get();
  QPX_Framework_GUI_SetNameTag(level, "Old");
  EXPECT_EQ(QPX_Framework_GUI_NameTag(*level), std::optional<std::string>("Old"));
  level.reset();
  // A new object may be given the same address; it never inherits the old name.
  for (int i = 0; i < 64; ++i) {
    std::shared_ptr<gui::LevelIndicator> fresh = gui::LevelIndicator::Make(platform::ui::Rect());
    if (fresh.get() == address) {
      EXPECT_EQ(QPX_Framework_GUI_NameTag(*fresh), std::nullopt);
      break;
    }
  }
  std::shared_ptr<View> view = View::Make();
  QPX_Framework_GUI_SetDescription(*view, Value{{"Name", Value("X")}});
  const void* viewAddress = view.get();
  view.reset();
  for (int i = 0; i < 64; ++i) {
    std::shared_ptr<View> fresh = View::Make();
    if (fresh.get() == viewAddress) {
      EXPECT_TRUE(QPX_Framework_GUI_GetDescription(*fresh).isNull());
      break;
    }
  }
}

}  // namespace
