// Value formats of GUI descriptions, attribute inheritance, placing, fitting to the screen
// and resize propagation, all in the design's coordinates (origin bottom left).

#include "gui/attributes.h"

#include <gtest/gtest.h>

#include "gui/colors.h"
#include "platform/assert.h"
#include "platform/ui/controls.h"
#include "platform/ui/image.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"
#include "testing/bundle_fixture.h"

namespace {

using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::TextAlignment;

class AttributesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ui::testing::EnsureApplication();
    _QPX_Framework_GUI_ResetFonts();
  }
  void TearDown() override {
    while (QPX_Framework_SkinnedGUI_AttributeDepth() > 0) QPX_Framework_SkinnedGUI_PopAttributes();
    _QPX_Framework_GUI_ResetFonts();
  }
};

TEST_F(AttributesTest, SizesAndLocations) {
  struct Case {
    const char* text;
    bool isSize;
    Size size;
    bool isLocation;
  } cases[] = {
      {"320x200", true, {320, 200}, false}, {"320,200", true, {320, 200}, true},
      {"320 200", true, {320, 200}, true},  {" 12.5 x 7 ", true, {12.5, 7}, false},
      {"100x", false, {}, false},           {"abc", false, {}, false},
      {"10 20 30", false, {}, false},       {"", false, {}, false},
  };
  for (const Case& c : cases) {
    Size size{-1, -1};
    EXPECT_EQ(QPX_Framework_GetSize(Value(c.text), size), c.isSize) << c.text;
    if (c.isSize) {
      EXPECT_EQ(size, c.size) << c.text;
    }
    Point point;
    EXPECT_EQ(QPX_Framework_GUI_ParseLocation(Value(c.text), point), c.isLocation) << c.text;
  }
  Point point;
  ASSERT_TRUE(QPX_Framework_GUI_ParseLocation(Value("10,-20"), point));
  EXPECT_EQ(point, (Point{10, -20}));
  // Held as 32-bit floats.
  Size size;
  ASSERT_TRUE(QPX_Framework_GetSize(Value("0.1x1"), size));
  EXPECT_EQ(size.width, double(0.1f));
  EXPECT_FALSE(QPX_Framework_GetSize(Value(12), size));
}

TEST_F(AttributesTest, FontSizesAlignmentsAndModifiers) {
  EXPECT_EQ(QPX_Framework_GUI_FontSize(Value("16px")), 13);  // 16 * 13 / 16
  EXPECT_EQ(QPX_Framework_GUI_FontSize(Value("12px")), 9);
  EXPECT_EQ(QPX_Framework_GUI_FontSize(Value("20")), 20);
  EXPECT_EQ(QPX_Framework_GUI_FontSize(Value("big")), 0);
  EXPECT_EQ(QPX_Framework_GUI_FontSize(Value(11.7)), 11);

  EXPECT_EQ(QPX_Framework_GetMyObjectAlignment(Value("rIGHT"), TextAlignment::Natural), TextAlignment::Right);
  EXPECT_EQ(QPX_Framework_GetMyObjectAlignment(Value("Center"), TextAlignment::Natural),
            TextAlignment::Center);
  EXPECT_EQ(QPX_Framework_GetMyObjectAlignment(Value("middle"), TextAlignment::Left), TextAlignment::Left);
  EXPECT_EQ(QPX_Framework_GetMyObjectAlignment(Value{{"Alignment", Value("left")}}, TextAlignment::Center),
            TextAlignment::Left);
  EXPECT_THROW(QPX_Framework_GetMyObjectAlignment(Value(3), TextAlignment::Left), platform::AssertionFailure);

  EXPECT_EQ(QPX_Framework_GUI_KeyModifierMask(Value("Alternate"), 0), 0x80000u);
  EXPECT_EQ(QPX_Framework_GUI_KeyModifierMask(Value("Control"), 0), 0x40000u);
  EXPECT_EQ(QPX_Framework_GUI_KeyModifierMask(Value("Command"), 0), 0x100000u);
  EXPECT_EQ(QPX_Framework_GUI_KeyModifierMask(Value("Hyper"), 0x20000), 0x20000u);
}

TEST_F(AttributesTest, AttributesAreInheritedAndAnOwnValueWins) {
  const Value window{{"Attributes", Value{{"Text Color", Value("RGBA:1:2:3")}, {"Font Size", Value(11)}}}};
  const Value view{{"Attributes", Value{{"Font Size", Value(14)}}}};
  QPX_Framework_SkinnedGUI_PushAttributes(window);
  QPX_Framework_SkinnedGUI_PushAttributes(view);
  QPX_Framework_SkinnedGUI_PushAttributes(Value::EmptyDictionary());  // a container without attributes
  EXPECT_EQ(GetAttribute(Value::EmptyDictionary(), "Font Size"), Value(14));
  EXPECT_EQ(GetAttribute(Value::EmptyDictionary(), "Text Color"), Value("RGBA:1:2:3"));
  EXPECT_EQ(GetAttribute(Value{{"Font Size", Value(9)}}, "Font Size"), Value(9));
  EXPECT_EQ(GetAttribute(Value::EmptyDictionary(), "Missing", Value("dflt")), Value("dflt"));
  QPX_Framework_SkinnedGUI_PopAttributes();
  QPX_Framework_SkinnedGUI_PopAttributes();
  EXPECT_EQ(GetAttribute(Value::EmptyDictionary(), "Font Size"), Value(11));
  QPX_Framework_SkinnedGUI_PopAttributes();
  EXPECT_THROW(QPX_Framework_SkinnedGUI_PopAttributes(), platform::AssertionFailure);

  // The shortcut letter's colour falls back to blue.
  std::optional<platform::ui::Color> blue = QPX_Framework_GUI_GetAttributeColor(
      Value::EmptyDictionary(), "Keyboard Shortcut Color", "RGBA:0:0:255");
  ASSERT_TRUE(blue);
  EXPECT_TRUE(blue->sameAs(platform::ui::Color::Blue()));
  EXPECT_EQ(QPX_Framework_GUI_GetAttributeColor(Value::EmptyDictionary(), "Button Background"), std::nullopt);
  EXPECT_THROW(QPX_Framework_GUI_GetAttributeColor(Value{{"Text Color", Value("RGB 1 2 3")}}, "Text Color"),
               platform::AssertionFailure);
}

TEST_F(AttributesTest, FontsByNameSizeDefaultAndIgnoredNames) {
  auto font = QPX_Framework_GUI_GetMyObjectFont(
      Value{{"Font Name", Value("Helvetica")}, {"Font Size", Value("16px")}}, "Font Name", "Font Size");
  ASSERT_TRUE(font);
  EXPECT_EQ(font->name(), "Helvetica");
  EXPECT_EQ(font->pointSize(), 13);
  auto system = QPX_Framework_GUI_GetMyObjectFont(Value::EmptyDictionary(), "Font Name", "Font Size");
  ASSERT_TRUE(system);
  EXPECT_EQ(system->pointSize(), platform::ui::Font::kSystemFontSize);
  EXPECT_FALSE(QPX_Framework_GUI_GetMyObjectFont(Value{{"Font Name", Value("No Such Face")}}, "Font Name",
                                                 "Font Size"));
  QPX_Framework_GUI_IgnoreFont("No Such Face");
  EXPECT_TRUE(QPX_Framework_GUI_GetMyObjectFont(Value{{"Font Name", Value("No Such Face")}}, "Font Name",
                                                "Font Size"));
  QPX_Framework_GUI_SetDefaultFont(std::string("Courier"));
  auto fallback = QPX_Framework_GUI_GetMyObjectFont(Value::EmptyDictionary(), "Font Name", "Font Size");
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->name(), "Courier");
  auto title = QPX_Framework_GUI_GetMyObjectFont(Value{{"Font Name", Value("System:WindowTitle")}},
                                                 "Font Name", "Font Size");
  ASSERT_TRUE(title);
  EXPECT_EQ(title->pointSize(), platform::ui::Font::kTitleBarFontSize);
}

TEST_F(AttributesTest, AMissingImageIsAnEmptyTenByTenImage) {
  testing_support::BundleFixture fixture;
  fixture.Install();
  auto image = QPX_Framework_GetImage(std::string("no-such-image.png"));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->size(), (Size{10, 10}));
  EXPECT_EQ(QPX_Framework_GetImage(std::nullopt), nullptr);
}

TEST_F(AttributesTest, TextsAndUnderscores) {
  EXPECT_EQ(QPX_Framework_GUI_TextContents(Value("caf U+00e9;")), "caf \xC3\xA9");
  EXPECT_EQ(QPX_Framework_GUI_HTMLContents("HTML:<b>x</b>"), "<b>x</b>");
  EXPECT_EQ(QPX_Framework_GUI_HTMLContents("Plain"), std::nullopt);

  std::optional<std::string> letter;
  auto marked = QPX_Framework_ProcessUnderscore("_Connect", letter, platform::ui::Color::Blue());
  EXPECT_EQ(marked.text, "Connect");
  EXPECT_EQ(letter, "C");
  EXPECT_EQ(marked.UnderlineAt(0), 2);
  EXPECT_EQ(marked.UnderlineAt(1), 0);
  EXPECT_TRUE(marked.ColorAt(5)->sameAs(platform::ui::Color::Blue()));
  letter.reset();
  auto plain = QPX_Framework_ProcessUnderscore("Connect", letter, std::nullopt);
  EXPECT_EQ(plain.text, "Connect");
  EXPECT_TRUE(plain.runs.empty());
  EXPECT_EQ(letter, std::nullopt);
}

TEST_F(AttributesTest, SizingAndPlacingViews) {
  auto view = platform::ui::TextView::Make(Rect(5, 5, 1, 1), "Some text");
  EXPECT_TRUE(QPX_Framework_SizeMyObject(view.get(), Value("120x40")));
  EXPECT_EQ(view->Frame(), Rect(5, 5, 120, 40));
  EXPECT_EQ(view->MinSize(), (Size{120, 40}));
  EXPECT_EQ(view->MaxSize(), (Size{120, 40}));
  auto label = platform::ui::TextField::MakeLabel(Rect(0, 0, 1, 1), "Fit me");
  EXPECT_FALSE(QPX_Framework_SizeMyObject(label.get(), Value("100x")));
  EXPECT_GT(label->Frame().width(), 1);
  EXPECT_THROW(QPX_Framework_SizeMyObject(nullptr, Value("1x1")), platform::AssertionFailure);

  QPX_Framework_GUI_PlaceView(view.get(), Value{{"Location", Value("30,40")}});
  EXPECT_EQ(view->Frame().origin, (Point{30, 40}));
  QPX_Framework_GUI_PlaceView(view.get(), Value{{"Location", Value("10x20")}});  // no location
  EXPECT_EQ(view->Frame().origin, (Point{30, 40}));
  QPX_Framework_GUI_PlaceView(view.get(), Value{{"Location", Value("1,2")}}, true);  // an action label adds
  EXPECT_EQ(view->Frame().origin, (Point{31, 42}));
  QPX_Framework_GUI_PlaceView(view.get(), Value::EmptyDictionary());
  EXPECT_EQ(view->Frame().origin, (Point{31, 42}));
}

TEST_F(AttributesTest, AWindowIsShrunkToTheScreenButNotBelowItsMinimum) {
  auto window = platform::ui::Window::Make(Rect(0, 0, 800, 700), platform::ui::kBorderlessWindowMask);
  QPX_Framework_GUI_FitWindowToScreen(*window, Size{640, 480});
  EXPECT_EQ(window->Frame().size, (Size{640, 480}));
  auto big = platform::ui::Window::Make(
      Rect(0, 0, 800, 700), platform::ui::kBorderlessWindowMask | platform::ui::kResizableWindowMask);
  big->SetContentMinSize(Size{700, 500});
  QPX_Framework_GUI_FitWindowToScreen(*big, Size{640, 480});
  EXPECT_EQ(big->Frame().size, (Size{700, 500}));
  QPX_Framework_GUI_FitWindowToScreen(*big, std::nullopt);
  EXPECT_EQ(big->Frame().size, (Size{700, 500}));
}

TEST_F(AttributesTest, AResizeGoesToTheViewsThatDeclareScaleFactors) {
  const Value windowDescription{{"Size", Value("400x300")}, {"MinSize", Value("200x100")}};
  auto window = platform::ui::Window::Make(
      Rect(0, 0, 400, 300), platform::ui::kTitledWindowMask | platform::ui::kResizableWindowMask);
  QPX_Framework_GUI_SetDescription(*window, windowDescription);
  QPX_Framework_GUI_ObserveWindowResize(window);
  auto content = window->ContentView();

  struct Child {
    const char* name;
    Rect frame;
    Value description;
    std::shared_ptr<platform::ui::View> view = nullptr;
  };
  std::vector<Child> children = {
      // Follows the window's width.
      {"wide", Rect(10, 10, 380, 30), Value{{"Size", Value("380x30")}, {"SizeScale", Value("1,0")}}, nullptr},
      // Keeps its distance from the top edge.
      {"top", Rect(10, 260, 100, 20), Value{{"Size", Value("100x20")}, {"LocationScale", Value("0,1")}},
       nullptr},
      // Stays centred.
      {"centre", Rect(150, 100, 100, 20), Value{{"Size", Value("100x20")}, {"LocationScale", Value("0.5,0")}},
       nullptr},
      // No "Size": left alone.
      {"unsized", Rect(5, 5, 10, 10), Value{{"SizeScale", Value("1,1")}}, nullptr},
  };
  for (Child& child : children) {
    child.view = platform::ui::View::Make(child.frame);
    content->AddSubview(child.view);
    QPX_Framework_GUI_SetDescription(*child.view, child.description);
    QPX_Framework_GUI_SetBaseFrame(*child.view, child.frame);
  }
  // A view inside the resized one follows its parent's growth.
  auto inner = platform::ui::View::Make(Rect(0, 0, 380, 10));
  children[0].view->AddSubview(inner);
  QPX_Framework_GUI_SetDescription(*inner, Value{{"Size", Value("380x10")}, {"SizeScale", Value("1,0")}});
  QPX_Framework_GUI_SetBaseFrame(*inner, Rect(0, 0, 380, 10));

  window->SetContentSize(Size{500, 350});  // 100 wider, 50 higher
  EXPECT_EQ(children[0].view->Frame(), Rect(10, 10, 480, 30));
  EXPECT_EQ(children[1].view->Frame(), Rect(10, 310, 100, 20));
  EXPECT_EQ(children[2].view->Frame(), Rect(200, 100, 100, 20));
  EXPECT_EQ(children[3].view->Frame(), Rect(5, 5, 10, 10));
  EXPECT_EQ(inner->Frame(), Rect(0, 0, 480, 10));

  // A bad base frame is a broken invariant.
  QPX_Framework_GUI_SetBaseFrameData(*children[1].view, Value::Data(std::string_view("short")));
  EXPECT_THROW(window->SetContentSize(Size{450, 320}), platform::AssertionFailure);
}

}  // namespace
