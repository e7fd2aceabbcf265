// The table of object types and the creators of windows and containers, built from
// description files as the application builds them.

#include "gui/object_types.h"

#include <gtest/gtest.h>

#include "gui/builder.h"
#include "gui/builder_test_support.h"
#include "gui/custom_window.h"
#include "gui/multiskin_window.h"
#include "gui/object_types_platform_views.h"
#include "gui/position_window.h"
#include "gui/switch_view.h"
#include "platform/assert.h"
#include "platform/ui/application.h"

namespace {

using platform::ui::Color;
using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::View;
using platform::ui::Window;

class ObjectTypesTest : public builder_testing::GuiTest {
 protected:
  // Builds one file of the descriptions (the body of its array).
  std::shared_ptr<QPX_Framework_GUI_Objects> Build(const std::string& descriptions) {
    WriteGUI("Test.plist", "<array>" + descriptions + "</array>");
    return QPX_Framework_SkinnedGUI_Create("Test.plist");
  }
  // A "Window" description with the keys (XML of the dictionary's inside).
  static std::string WindowWith(const std::string& keys) {
    return "<dict><key>Type</key><string>Window</string><key>Name</key><string>W</string>" + keys + "</dict>";
  }
};

TEST_F(ObjectTypesTest, TheTableHasEveryRowInItsOrder) {
  const std::vector<std::string> expected = {"Window",
                                             "MultiskinWindow",
                                             "MultipartWindow",
                                             "Level",
                                             "View",
                                             "TabView",
                                             "TabItem",
                                             "Button",
                                             "SwitchView",
                                             "Listview",
                                             "ImageSwitchView",
                                             "Image",
                                             "Scrollview",
                                             "Dropdown",
                                             "Checkbox",
                                             "Text",
                                             "TextEdit",
                                             "TextEntry",
                                             "Table",
                                             "Ignore",
                                             "RadioButtons",
                                             "Menu",
                                             "ProgressIndicator",
                                             "WebView",
                                             "ScrollviewPlain",
                                             "DatePicker",
                                             "OutlineView",
                                             "Box",
                                             "CollectionView",
                                             "PopupWindow",
                                             "ButtonMenu",
                                             "ButtonMenu New",
                                             "WarningLevel",
                                             "BubbleBox",
                                             "AnimatedImage",
                                             "Icon/Text Button",
                                             "Gradient Button",
                                             "Line"};
  std::vector<std::string> types;
  std::vector<std::string> available;
  for (const QPX_Framework_GUI_ObjectType& row : QPX_Framework_GUI_ObjectTypes()) {
    types.push_back(row.type);
    if (row.creator) available.push_back(row.type);
  }
  EXPECT_EQ(types, expected);
  EXPECT_EQ(available, (std::vector<std::string>{"Window", "MultiskinWindow", "Level", "View", "TabView",
                                                 "TabItem", "SwitchView", "ImageSwitchView", "Image",
                                                 "Ignore", "ScrollviewPlain", "Box"}));
  EXPECT_THROW(QPX_Framework_GUI_RegisterObjectType("Hologram", nullptr), platform::AssertionFailure);
}

TEST_F(ObjectTypesTest, PlainWindows) {
  auto objects = Build(WindowWith("<key>Size</key><string>320x200</string>"));
  auto window = objects->Get<QPX_Framework_PositionSavingWindow>("W");
  ASSERT_TRUE(window);
  EXPECT_FALSE(objects->Get<QPX_Framework_CustomWindow>("W"));
  const std::shared_ptr<Window>& w = window->GetWindow();
  const unsigned style = w->StyleMask();
  EXPECT_TRUE(style & platform::ui::kTitledWindowMask);
  EXPECT_TRUE(style & platform::ui::kClosableWindowMask);
  EXPECT_FALSE(style & platform::ui::kResizableWindowMask);
  EXPECT_TRUE(style & (1u << 8)) << "textured";
  EXPECT_EQ(w->Title(), "Tamsel Dashboard");
  EXPECT_EQ(w->ContentRect().size, (Size{320, 200}));
  EXPECT_EQ(w->Level(), platform::ui::kNormalWindowLevel);
  EXPECT_TRUE(window->AutorecalculatesKeyViewLoop());
  EXPECT_TRUE(objects->CurrentWindow() == QPX_Framework_GUI_Object());

  objects =
      Build(WindowWith("<key>SubType</key><string>Striped</string><key>Closeable</key><false/>"
                       "<key>Title</key><string>Usage</string><key>Level</key><string>Floating</string>"
                       "<key>Size</key><string>100x80</string>"));
  const std::shared_ptr<Window> striped = objects->Get<Window>("W");
  EXPECT_FALSE(striped->StyleMask() & (1u << 8));
  EXPECT_FALSE(striped->StyleMask() & platform::ui::kClosableWindowMask);
  EXPECT_EQ(striped->Title(), "Usage");
  EXPECT_EQ(striped->Level(), platform::ui::kFloatingWindowLevel);
}

TEST_F(ObjectTypesTest, SizeLimitsOfResizableWindows) {
  struct Case {
    const char* keys;
    Size minimum;
    Size maximum;
  } cases[] = {
      {"<key>MinSize</key><string>400x300</string><key>MaxSize</key><string>800x600</string>",
       {400, 300},
       {10000, 10000}},
      {"<key>MaxSize</key><string>800x600</string>", {100, 60}, {800, 600}},
      {"<key>MinSize</key><string>wide</string><key>MaxSize</key><string>800x600</string>",
       {100, 60},
       {800, 600}},
  };
  for (const Case& c : cases) {
    auto objects = Build(WindowWith(std::string("<key>Size</key><string>500x400</string>") + c.keys));
    const std::shared_ptr<Window> w = objects->Get<Window>("W");
    EXPECT_TRUE(w->StyleMask() & platform::ui::kResizableWindowMask) << c.keys;
    EXPECT_EQ(w->ContentMinSize(), c.minimum) << c.keys;
    EXPECT_EQ(w->ContentMaxSize(), c.maximum) << c.keys;
  }
}

TEST_F(ObjectTypesTest, WindowsAreFittedToTheScreenButNotBelowTheirMinimum) {
  const Size screen = platform::ui::Application::MainScreenFrame().size;
  const std::string huge =
      std::to_string(int(screen.width) + 500) + "x" + std::to_string(int(screen.height) + 500);
  auto objects = Build(WindowWith("<key>Size</key><string>" + huge + "</string>"));
  EXPECT_EQ(objects->Get<Window>("W")->Frame().size, screen);

  const std::string tall = "100x" + std::to_string(int(screen.height) + 300);
  objects = Build(WindowWith("<key>Size</key><string>" + tall + "</string><key>MinSize</key><string>" + tall +
                             "</string>"));
  EXPECT_EQ(objects->Get<Window>("W")->Frame().height(), screen.height + 300 + Window::kTitleBarHeight);
}

TEST_F(ObjectTypesTest, BrokenWindowDescriptions) {
  const std::string cases[] = {
      WindowWith("<key>Closeable</key><string>NO</string>"),
      WindowWith("<key>Level</key><string>Top</string>"),
      WindowWith("<key>Contents</key><array><dict><key>Type</key><string>Ignore</string><key>Name</key>"
                 "<string>A</string></dict></array><key>Tabchain</key><array><string>A</string><string>B</"
                 "string></array>"),
  };
  for (const std::string& c : cases) {
    EXPECT_THROW(Build(c), platform::AssertionFailure) << c;
    while (QPX_Framework_SkinnedGUI_AttributeDepth() > 0) QPX_Framework_SkinnedGUI_PopAttributes();
  }
  EXPECT_TRUE(Logged(QPX_LOG_ERROR, "Tabchain index 1: \"B\" doesn't exist"));
}

TEST_F(ObjectTypesTest, TabchainMakesAKeyboardLoop) {
  auto objects = Build(
      WindowWith("<key>Size</key><string>200x100</string><key>Contents</key><array>"
                 "<dict><key>Type</key><string>Ignore</string><key>Name</key><string>One</string></dict>"
                 "<dict><key>Type</key><string>Level</string><key>Name</key><string>Two</string></dict>"
                 "<dict><key>Type</key><string>Ignore</string><key>Name</key><string>Three</string></dict>"
                 "</array><key>Tabchain</key><array><string>One</string><string>Two</string><string>Three</"
                 "string></array>"));
  auto window = objects->Get<QPX_Framework_PositionSavingWindow>("W");
  auto one = objects->Get<View>("One");
  auto two = objects->Get<View>("Two");
  auto three = objects->Get<View>("Three");
  EXPECT_EQ(gui::NextKeyView(*one), two);
  EXPECT_EQ(gui::NextKeyView(*two), three);
  EXPECT_EQ(gui::NextKeyView(*three), one);
  EXPECT_EQ(window->InitialFirstResponder(), one);
  EXPECT_FALSE(window->AutorecalculatesKeyViewLoop());
}

TEST_F(ObjectTypesTest, SkinnedWindows) {
  WriteImage("Skin.png", Size{240, 120});
  WriteImage("Top.png", Size{50, 20}, Color::Calibrated(1, 0, 0));
  WriteImage("Middle.png", Size{50, 4}, Color::Calibrated(0, 1, 0));
  WriteImage("Bottom.png", Size{50, 10}, Color::Calibrated(0, 0, 1));
  auto objects = Build(
      WindowWith("<key>SkinImage</key><string>Skin.png</string>") +
      "<dict><key>Type</key><string>Window</string><key>Name</key><string>Titled</string>"
      "<key>SkinImage</key><string>Skin.png</string><key>Title</key><string>Skinned</string></dict>"
      "<dict><key>Type</key><string>Window</string><key>Name</key><string>Custom</string>"
      "<key>SubType</key><string>Custom</string><key>Size</key><string>90x40</string></dict>"
      "<dict><key>Type</key><string>Window</string><key>Name</key><string>Parts</string>"
      "<key>SkinImage Top</key><string>Top.png</string><key>SkinImage Middle</key><string>Middle.png</string>"
      "<key>SkinImage Bottom</key><string>Bottom.png</string><key>Size</key><string>300x100</string></dict>");
  ASSERT_TRUE(objects);

  auto skinned = objects->Get<QPX_Framework_CustomWindow>("W");
  ASSERT_TRUE(skinned);
  EXPECT_EQ(skinned->GetWindow()->StyleMask(), platform::ui::kBorderlessWindowMask);
  EXPECT_EQ(skinned->GetWindow()->Frame().size, (Size{240, 120}));
  EXPECT_FALSE(skinned->GetWindow()->IsOpaque());
  EXPECT_EQ(skinned->SkinView()->QPX_Framework_SkinnedView_Image()->size(), (Size{240, 120}));
  EXPECT_EQ(skinned->SaveName(), std::optional<std::string>("Test.plist: W"));

  auto titled = objects->Get<QPX_Framework_CustomWindow>("Titled");
  EXPECT_TRUE(titled->GetWindow()->StyleMask() & platform::ui::kTitledWindowMask);
  EXPECT_EQ(titled->GetWindow()->Title(), "Skinned");

  auto custom = objects->Get<QPX_Framework_CustomWindow>("Custom");
  ASSERT_TRUE(custom);
  EXPECT_EQ(custom->GetWindow()->ContentRect().size, (Size{90, 40}));
  EXPECT_FALSE(custom->SkinView()->QPX_Framework_SkinnedView_Image());

  // Three parts: top and bottom at their heights, the middle stretched between them.
  auto parts = objects->Get<QPX_Framework_CustomWindow>("Parts");
  ASSERT_TRUE(parts);
  std::shared_ptr<platform::ui::Image> composed = parts->SkinView()->QPX_Framework_SkinnedView_Image();
  ASSERT_TRUE(composed);
  EXPECT_EQ(composed->size(), (Size{300, 100}));
  EXPECT_TRUE(composed->PixelAt(150, 95).sameAs(Color::Calibrated(1, 0, 0)));
  EXPECT_TRUE(composed->PixelAt(150, 50).sameAs(Color::Calibrated(0, 1, 0)));
  EXPECT_TRUE(composed->PixelAt(150, 5).sameAs(Color::Calibrated(0, 0, 1)));
  EXPECT_TRUE(Logged(QPX_LOG_CALLS, "Trares Top.png|Middle.png|Bottom.png"));
}

TEST_F(ObjectTypesTest, WindowContentsInheritTheirAttributes) {
  auto objects = Build(WindowWith(
      "<key>Size</key><string>200x100</string>"
      "<key>Attributes</key><dict><key>Window Background</key><string>RGBA:0:0:255</string></dict>"
      "<key>Contents</key><array><dict><key>Type</key><string>View</string><key>Name</key><string>V</string>"
      "<key>Size</key><string>20x20</string><key>Location</key><string>5,5</string></dict></array>"
      "<key>Frame</key><array><dict><key>Type</key><string>Ignore</string><key>Name</key><string>F</string></"
      "dict></array>"));
  const std::shared_ptr<Window> w = objects->Get<Window>("W");
  EXPECT_TRUE(w->BackgroundColor().sameAs(Color::Blue()));
  EXPECT_EQ(objects->Get<View>("V")->Superview(), w->ContentView());
  EXPECT_EQ(objects->Get<View>("F")->GetWindow(), w);
}

TEST_F(ObjectTypesTest, MultiskinWindowsTakeObjectsDescribedBeforeThem) {
  WriteImage("Compact.png", Size{200, 60});
  WriteImage("Full.png", Size{200, 140});
  auto objects = Build(
      "<dict><key>Type</key><string>Level</string><key>Name</key><string>Meter</string>"
      "<key>Size</key><string>60x10</string></dict>"
      "<dict><key>Type</key><string>MultiskinWindow</string><key>Name</key><string>Mini</string>"
      "<key>Contents</key><array>"
      "<dict><key>Name</key><string>Compact</string><key>SkinImage</key><string>Compact.png</string>"
      "<key>Contents</key><array><dict><key>Name</key><string>Meter</string>"
      "<key>Location</key><string>10.7,20.2</string></dict>"
      "<dict><key>Name</key><string>Later</string></dict></array></dict>"
      "<dict><key>Name</key><string>Full</string><key>SkinImage</key><string>Full.png</string>"
      "<key>Contents</key><array><dict><key>Name</key><string>Meter</string></dict></array></dict>"
      "<dict><key>SkinImage</key><string>Full.png</string></dict>"
      "</array></dict>"
      "<dict><key>Type</key><string>Ignore</string><key>Name</key><string>Later</string></dict>");
  auto window = objects->Get<QPX_Framework_MultiskinWindow>("Mini");
  ASSERT_TRUE(window);
  const auto& configurations = window->QPX_Framework_MultiskinWindow_Configurations();
  ASSERT_EQ(configurations.size(), 2u);
  const QPX_Framework_MultiskinConfiguration& compact = configurations.at("Compact");
  ASSERT_EQ(compact.Views.size(), 1u);
  EXPECT_EQ(compact.Views[0].X, 10);
  EXPECT_EQ(compact.Views[0].Y, 20);
  EXPECT_EQ(compact.Skin->Frame().size, (Size{200, 60}));
  EXPECT_EQ(configurations.at("Full").Views[0].X, 0);

  window->QPX_Framework_MultiskinWindow_SetCurrent("Full");
  EXPECT_EQ(objects->Get<View>("Meter")->Superview(), configurations.at("Full").Skin);
  EXPECT_EQ(window->GetWindow()->Frame().size, (Size{200, 140}));
}

TEST_F(ObjectTypesTest, ViewsAndSwitchViews) {
  WriteImage("Panel.png", Size{80, 40});
  auto objects = Build(
      "<dict><key>Type</key><string>View</string><key>Name</key><string>Skin</string>"
      "<key>Background Image</key><string>Panel.png</string><key>Size</key><string>5x5</string>"
      "<key>Block Clickthrough</key><true/><key>BackgroundColor "
      "Fixed</key><string>RGBA:0:255:0</string></dict>"
      "<dict><key>Type</key><string>View</string><key>Name</key><string>Sized</string>"
      "<key>Size</key><string>30x20</string><key>Block Clicks</key><true/>"
      "<key>BackgroundColor</key><string>RGBA:255:0:0:128</string>"
      "<key>BackgroundColor Fixed</key><string>RGBA:0:255:0</string>"
      "<key>Contents</key><array><dict><key>Type</key><string>Ignore</string><key>Name</key><string>Child</"
      "string>"
      "</dict></array></dict>"
      "<dict><key>Type</key><string>View</string><key>Name</key><string>Missing</string>"
      "<key>Background Image</key><string>Nowhere.png</string></dict>"
      "<dict><key>Type</key><string>SwitchView</string><key>Name</key><string>Switch</string>"
      "<key>BackgroundColor</key><string>RGBA:0:0:0</string><key>Contents</key><array>"
      "<dict><key>Type</key><string>View</string><key>Name</key><string>P1</string><key>Size</key>"
      "<string>100x50</string><key>Location</key><string>10,10</string></dict>"
      "<dict><key>Type</key><string>View</string><key>Name</key><string>P2</string><key>Size</key>"
      "<string>20x20</string></dict></array></dict>"
      "<dict><key>Type</key><string>ImageSwitchView</string><key>Name</key><string>Icons</string>"
      "<key>Contents</key><array><string>Panel.png</string><string>Nowhere.png</string></array></dict>");
  ASSERT_TRUE(objects);

  auto skin = objects->Get<QPX_Framework_SkinnedView>("Skin");
  EXPECT_EQ(skin->Frame().size, (Size{80, 40}));  // the image's size, not "Size"
  EXPECT_TRUE(skin->BlocksClickthrough());
  EXPECT_TRUE(skin->IsFixedBackground());

  auto sized = objects->Get<QPX_Framework_SkinnedView>("Sized");
  EXPECT_EQ(sized->Frame().size, (Size{30, 20}));
  EXPECT_TRUE(sized->BlocksClicks());
  EXPECT_FALSE(sized->IsFixedBackground());
  EXPECT_EQ(sized->SkinBackgroundColor()->alpha255(), 128);
  EXPECT_TRUE(objects->Get<View>("Child")->PassesClicks());

  // An image that is not there leaves a placeholder, not a failure.
  EXPECT_EQ(objects->Get<View>("Missing")->Frame().size, (Size{10, 10}));
  EXPECT_TRUE(Logged(QPX_LOG_TRACE, "Unable to load image: Nowhere.png"));

  auto switchView = objects->Get<QPX_Framework_SwitchView>("Switch");
  ASSERT_EQ(switchView->QPX_Framework_SwitchView_Subviews().size(), 2u);
  EXPECT_EQ(switchView->Frame().size, (Size{110, 60}));
  EXPECT_EQ(switchView->intValue(), -1);
  EXPECT_TRUE(objects->Get<View>("P1")->IsHidden());
  EXPECT_TRUE(switchView->IsFixedBackground());
  EXPECT_EQ(switchView->QPX_Framework_SwitchView_Display(1), objects->Get<View>("P2"));
  EXPECT_FALSE(objects->Get<View>("P2")->IsHidden());

  auto icons = objects->Get<QPX_Framework_SwitchView>("Icons");
  ASSERT_EQ(icons->QPX_Framework_SwitchView_Subviews().size(), 2u);
  auto first = std::dynamic_pointer_cast<gui::ImageView>(icons->QPX_Framework_SwitchView_Subviews()[0]);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Frame().size, (Size{80, 40}));
}

TEST_F(ObjectTypesTest, ImagesBoxesAndLevels) {
  WriteImage("Icon.png", Size{32, 32});
  auto objects = Build(
      "<dict><key>Type</key><string>Image</string><key>Name</key><string>Bare</string></dict>"
      "<dict><key>Type</key><string>Image</string><key>Name</key><string>Blank</string>"
      "<key>Size</key><string>40x8</string></dict>"
      "<dict><key>Type</key><string>Image</string><key>Name</key><string>Natural</string>"
      "<key>Image</key><string>Icon.png</string></dict>"
      "<dict><key>Type</key><string>Image</string><key>Name</key><string>Scaled</string>"
      "<key>Image</key><string>Icon.png</string><key>Size</key><string>16x16</string></dict>"
      "<dict><key>Type</key><string>Box</string><key>Name</key><string>Box</string>"
      "<key>Size</key><string>120x60</string><key>Kind</key><string>Custom</string>"
      "<key>Border Width</key><real>2.7</real><key>Corner Radius</key><integer>6</integer>"
      "<key>Fill Color</key><string>RGBA:250:250:250</string><key>Border Color</key><string>Grey:128</string>"
      "<key>Contents</key><array><dict><key>Type</key><string>Level</string><key>Name</key><string>Level</"
      "string>"
      "<key>Size</key><string>80x12</string></dict></array></dict>"
      "<dict><key>Type</key><string>Box</string><key>Name</key><string>Secondary</string>"
      "<key>Kind</key><string>Secondary</string></dict>"
      "<dict><key>Type</key><string>Ignore</string><key>Name</key><string>Nothing</string>"
      "<key>Location</key><string>3,4</string></dict>");
  ASSERT_TRUE(objects);
  EXPECT_EQ(objects->Get<View>("Bare")->Frame().size, (Size{1, 1}));
  EXPECT_EQ(objects->Get<View>("Blank")->Frame().size, (Size{40, 8}));
  EXPECT_EQ(objects->Get<View>("Natural")->Frame().size, (Size{32, 32}));
  auto scaled = objects->Get<gui::ImageView>("Scaled");
  EXPECT_EQ(scaled->Frame().size, (Size{16, 16}));
  EXPECT_EQ(scaled->GetImage()->size(), (Size{16, 16}));

  auto box = objects->Get<gui::Box>("Box");
  EXPECT_EQ(box->BoxType(), gui::Box::Kind::Custom);
  EXPECT_EQ(box->BorderWidth(), 2);
  EXPECT_EQ(box->CornerRadius(), 6);
  EXPECT_EQ(box->BorderColor()->red255(), 128);
  EXPECT_EQ(box->Title(), "");
  EXPECT_EQ(objects->Get<View>("Level")->Superview(), box->ContentView());
  EXPECT_EQ(objects->Get<gui::LevelIndicator>("Level")->Frame().size, (Size{80, 12}));
  EXPECT_EQ(objects->Get<gui::Box>("Secondary")->BoxType(), gui::Box::Kind::Secondary);

  auto nothing = objects->Get<View>("Nothing");
  EXPECT_EQ(nothing->Frame(), Rect(3, 4, 0, 0));
}

TEST_F(ObjectTypesTest, TabViewsAndScrollViews) {
  auto objects = Build(
      "<dict><key>Type</key><string>TabView</string><key>Name</key><string>Tabs</string>"
      "<key>Size</key><string>300x200</string><key>Contents</key><array>"
      "<dict><key>Type</key><string>TabItem</string><key>Label</key><string>General</string>"
      "<key>View</key><dict><key>Type</key><string>View</string><key>Name</key><string>Page</string>"
      "<key>Size</key><string>10x10</string></dict></dict>"
      "<dict><key>Type</key><string>TabItem</string><key>Name</key><string>Unlabelled</string></dict>"
      "</array></dict>"
      "<dict><key>Type</key><string>ScrollviewPlain</string><key>Name</key><string>Scroll</string>"
      "<key>Size</key><string>100x50</string><key>Contents</key><dict><key>Type</key><string>View</string>"
      "<key>Name</key><string>Document</string><key>Size</key><string>100x400</string></dict></dict>");
  ASSERT_TRUE(objects);
  auto tabs = objects->Get<gui::TabView>("Tabs");
  EXPECT_EQ(tabs->Frame().size, (Size{300, 222}));
  ASSERT_EQ(tabs->NumberOfTabViewItems(), 2u);
  EXPECT_EQ(tabs->TabViewItems()[0]->Label(), "General");
  EXPECT_EQ(tabs->TabViewItems()[0]->GetView(), objects->Get<View>("Page"));
  EXPECT_EQ(objects->Get<gui::TabViewItem>("Unlabelled")->Label(), "???");
  EXPECT_EQ(tabs->IndexOfSelectedTabViewItem(), 0);
  EXPECT_EQ(objects->Get<View>("Page")->Frame(), Rect(0, 0, 300, 200));
  EXPECT_FALSE(objects->Get<View>("Page")->IsHidden());

  auto scroll = objects->Get<gui::ScrollView>("Scroll");
  ASSERT_TRUE(scroll);
  EXPECT_EQ(scroll->DocumentView(), objects->Get<View>("Document"));
  // The top of the document shows first.
  EXPECT_EQ(scroll->DocumentVisibleRect(), Rect(0, 350, 100, 50));
  scroll->ScrollToPoint(Point{0, -20});
  EXPECT_EQ(scroll->DocumentVisibleRect().origin, (Point{0, 0}));
}

}  // namespace
