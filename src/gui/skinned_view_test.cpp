// The skinned view: images by object and by name, hit testing with its two click flags,
// mouse-downs and double clicks, drawing, and enabled states passed to children.

#include "gui/skinned_view.h"

#include <gtest/gtest.h>

#include "framework/util/misc.h"
#include "gui/builder_test_support.h"
#include "gui/object_types_platform_views.h"
#include "platform/ui/controls.h"
#include "platform/ui/window.h"

namespace {

using platform::ui::Color;
using platform::ui::Event;
using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::View;

class SkinnedViewTest : public builder_testing::GuiTest {};

class CountingDelegate : public QPX_Framework_SkinnedView_Delegate {
 public:
  void QPX_Framework_SkinnedView_DoubleClick(QPX_Framework_SkinnedView& view) override {
    ++count;
    last = &view;
  }
  int count = 0;
  QPX_Framework_SkinnedView* last = nullptr;
};

Event MouseDown(int clickCount, Event::Type type = Event::Type::LeftMouseDown) {
  Event event;
  event.type = type;
  event.clickCount = clickCount;
  event.locationInWindow = Point{5, 5};
  return event;
}

TEST_F(SkinnedViewTest, ImagesByObjectAndByName) {
  WriteImage("Panel.png", Size{60, 30});
  auto view = QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(std::string("Panel.png"));
  ASSERT_TRUE(view);
  EXPECT_EQ(view->Frame(), Rect(0, 0, 60, 30));

  view->SetFrameOrigin(Point{7, 9});
  EXPECT_TRUE(view->QPX_Framework_SkinnedView_ChangeImage(platform::ui::Image::Empty(Size{20, 10})));
  EXPECT_EQ(view->Frame(), Rect(7, 9, 20, 10));

  // A name that cannot be loaded changes nothing.
  EXPECT_FALSE(view->QPX_Framework_SkinnedView_ChangeImage(std::string("Nowhere.png")));
  EXPECT_TRUE(Logged(QPX_LOG_ERROR, "Unable to load image: Nowhere.png"));
  EXPECT_EQ(view->Frame(), Rect(7, 9, 20, 10));
  EXPECT_FALSE(
      QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(std::string("Nowhere.png")));
  EXPECT_FALSE(QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(
      std::shared_ptr<platform::ui::Image>()));

  // The resource branch's variant wins when there is one.
  fixture_.SetPreferencesDefault("QPX Resource Branch", Value("Beta"));
  fixture_.Install();
  _QPX_Framework_ResourceBranch_Reset();
  WriteImage("[Beta] Panel.png", Size{64, 32});
  EXPECT_EQ(QPX_Framework_SkinnedView_LoadImage("Panel.png")->size(), (Size{64, 32}));
  _QPX_Framework_ResourceBranch_Reset();
}

TEST_F(SkinnedViewTest, HitTesting) {
  auto parent = View::Make(Rect(0, 0, 200, 200));
  auto view = QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithSize(100, 100);
  view->SetFrameOrigin(Point{10, 10});
  parent->AddSubview(view);
  auto child = View::Make(Rect(0, 0, 20, 20));
  view->AddSubview(child);

  // A bare view lets clicks on its empty area through; its children still get theirs.
  EXPECT_EQ(view->HitTest(Point{50, 50}), nullptr);
  EXPECT_EQ(view->HitTest(Point{15, 15}), child.get());
  // With an image the view takes them.
  view->QPX_Framework_SkinnedView_Change(platform::ui::Image::Empty(Size{100, 100}));
  EXPECT_EQ(view->HitTest(Point{50, 50}), view.get());
  view->QPX_Framework_SkinnedView_Change(nullptr);

  // BlockClickthrough swallows clicks on the empty area.
  view->SetBlockClickthrough(true);
  EXPECT_EQ(view->HitTest(Point{50, 50}), view.get());
  EXPECT_EQ(view->HitTest(Point{15, 15}), child.get());
  view->SetBlockClickthrough(false);

  // BlockClicks keeps every click for the view, also those on children, also later ones.
  view->SetBlockClicks(true);
  EXPECT_EQ(view->HitTest(Point{15, 15}), view.get());
  EXPECT_EQ(view->HitTest(Point{150, 150}), nullptr);
  EXPECT_TRUE(child->PassesClicks());
  view->SetBlockClicks(false);
  EXPECT_FALSE(child->PassesClicks());
  EXPECT_EQ(view->HitTest(Point{15, 15}), child.get());
  // A hidden view takes no clicks.
  view->SetBlockClicks(true);
  view->SetHidden(true);
  EXPECT_EQ(view->HitTest(Point{15, 15}), nullptr);
}

TEST_F(SkinnedViewTest, MouseDownsAndDoubleClicks) {
  auto view = QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(
      platform::ui::Image::Empty(Size{40, 40}));
  auto delegate = std::make_shared<CountingDelegate>();
  view->SetDoubleClickDelegate(delegate);

  // A double click sends one message, on its second mouse-down; a third click none.
  view->MouseDown(MouseDown(1));
  view->MouseDown(MouseDown(2));
  view->MouseDown(MouseDown(3));
  EXPECT_EQ(delegate->count, 1);
  EXPECT_EQ(delegate->last, view.get());
  ASSERT_TRUE(view->LastMouseDownEvent());
  EXPECT_EQ(view->LastMouseDownEvent()->clickCount, 3);

  // The right button leaves the last mouse-down alone.
  view->MouseDown(MouseDown(1, Event::Type::RightMouseDown));
  EXPECT_EQ(view->LastMouseDownEvent()->clickCount, 3);

  // Swallowed clicks do nothing.
  view->SetBlockClickthrough(true);
  view->MouseDown(MouseDown(2));
  EXPECT_EQ(delegate->count, 1);
  view->SetBlockClickthrough(false);

  // The delegate is not kept alive by the view.
  delegate.reset();
  view->MouseDown(MouseDown(2));
}

TEST_F(SkinnedViewTest, DrawsItsSkinOverItsBackground) {
  auto window = platform::ui::Window::Make(Rect(0, 0, 40, 20), platform::ui::kBorderlessWindowMask);
  window->SetOpaque(false);
  window->SetBackgroundColor(Color::Clear());
  std::shared_ptr<platform::ui::Image> skin = platform::ui::Image::Empty(Size{40, 20});
  skin->Draw([](platform::ui::Painter& painter) { painter.FillRect(Rect(0, 0, 20, 20), Color::Red()); });
  auto view = QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(skin);
  window->SetContentView(view);
  std::shared_ptr<platform::ui::Image> picture = window->Snapshot();
  EXPECT_TRUE(picture->PixelAt(5, 10).sameAs(Color::Red()));
  EXPECT_EQ(picture->PixelAt(35, 10).alpha255(), 0);  // the skin's transparent part stays so

  view->QPX_Framework_SkinnedView_SetBackgroundColor_Fixed(Color::Blue());
  picture = window->Snapshot();
  EXPECT_TRUE(picture->PixelAt(5, 10).sameAs(Color::Red()));
  EXPECT_TRUE(picture->PixelAt(35, 10).sameAs(Color::Blue()));
}

TEST_F(SkinnedViewTest, EnabledStatesGoToTheChildrenThatTakeThem) {
  auto view = QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithSize(100, 100);
  auto button = platform::ui::Button::Make(Rect(0, 0, 50, 20));
  auto inner = QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithSize(50, 50);
  auto nested = gui::LevelIndicator::Make(Rect(0, 0, 30, 10));
  inner->AddSubview(nested);
  auto scroll = gui::ScrollView::Make(Rect(0, 0, 50, 50));
  auto document = gui::LevelIndicator::Make(Rect(0, 0, 30, 100));
  scroll->SetDocumentView(document);
  for (const auto& child : std::vector<std::shared_ptr<View>>{button, inner, scroll}) view->AddSubview(child);

  view->setEnabled(false);
  EXPECT_FALSE(button->IsEnabled());
  EXPECT_FALSE(nested->IsEnabled());
  EXPECT_FALSE(document->IsEnabled());
  view->setEnabled(true);
  EXPECT_TRUE(button->IsEnabled());
  EXPECT_TRUE(document->IsEnabled());
}

}  // namespace
