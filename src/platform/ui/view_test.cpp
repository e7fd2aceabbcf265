// Views in the design's coordinates: frames with the origin at the bottom left of the
// superview, converted to Qt's top-left geometry, flipped views, hit-testing.

#include "platform/ui/view.h"

#include <gtest/gtest.h>

#include <QWidget>
#include <atomic>
#include <thread>

#include "platform/ui/controls.h"
#include "platform/ui/ui_test_support.h"
#include "platform/ui/window.h"

namespace platform::ui {
namespace {

class ViewTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureApplication(); }
};

TEST_F(ViewTest, FramesAreMeasuredFromTheBottomLeftOfTheSuperview) {
  auto parent = View::Make(Rect(0, 0, 400, 300));
  auto child = View::Make(Rect(10, 20, 100, 50));
  parent->AddSubview(child);
  // Qt's widget geometry counts from the top: 300 - (20 + 50).
  EXPECT_EQ(child->widget()->geometry(), QRect(10, 230, 100, 50));
  EXPECT_EQ(child->Frame(), Rect(10, 20, 100, 50));

  // A taller superview keeps the child at its distance from the bottom.
  parent->SetFrameSize(Size{400, 500});
  EXPECT_EQ(child->widget()->geometry(), QRect(10, 430, 100, 50));

  // In a flipped superview the frame counts from the top.
  parent->SetFlipped(true);
  EXPECT_EQ(child->widget()->geometry(), QRect(10, 20, 100, 50));
}

TEST_F(ViewTest, PointsConvertThroughFlippedAndUnflippedViews) {
  auto window = Window::Make(Rect(100, 100, 400, 300), kTitledWindowMask);
  auto content = window->ContentView();
  auto flipped = View::Make(Rect(50, 100, 200, 150));  // top edge at y 250 of the content
  flipped->SetFlipped(true);
  content->AddSubview(flipped);
  auto inner = View::Make(Rect(10, 20, 40, 30));  // in flipped coordinates: 20 below the top
  flipped->AddSubview(inner);

  // The inner view's bottom-left corner: x 50 + 10, y 250 - 20 - 30.
  EXPECT_EQ(inner->ConvertToWindow(Point{0, 0}), (Point{60, 200}));
  EXPECT_EQ(inner->ConvertToWindow(Point{5, 30}), (Point{65, 230}));
  EXPECT_EQ(inner->ConvertFromWindow(Point{65, 230}), (Point{5, 30}));
  EXPECT_EQ(flipped->ConvertToWindow(Point{0, 0}), (Point{50, 250}));
}

TEST_F(ViewTest, HitTestFindsTheTopmostViewAndSkipsHiddenAndPassThroughViews) {
  auto root = View::Make(Rect(0, 0, 200, 200));
  auto below = View::Make(Rect(10, 10, 100, 100));
  auto above = View::Make(Rect(50, 50, 100, 100));
  root->AddSubview(below);
  root->AddSubview(above);

  EXPECT_EQ(root->HitTest(Point{60, 60}), above.get());
  EXPECT_EQ(root->HitTest(Point{20, 20}), below.get());
  EXPECT_EQ(root->HitTest(Point{190, 10}), root.get());
  EXPECT_EQ(root->HitTest(Point{300, 10}), nullptr);

  above->SetPassesClicks(true);
  EXPECT_EQ(root->HitTest(Point{60, 60}), below.get());
  EXPECT_TRUE(above->widget()->testAttribute(Qt::WA_TransparentForMouseEvents));
  below->SetHidden(true);
  EXPECT_EQ(root->HitTest(Point{60, 60}), root.get());
}

TEST_F(ViewTest, SubviewOrderFollowsAddingAboveAndBelow) {
  auto root = View::Make(Rect(0, 0, 100, 100));
  auto a = View::Make();
  auto b = View::Make();
  auto c = View::Make();
  root->AddSubview(a);
  root->AddSubview(b);
  root->AddSubview(c, View::Order::Below, b);
  EXPECT_EQ(root->Subviews(), (std::vector<std::shared_ptr<View>>{a, c, b}));
  c->RemoveFromSuperview();
  EXPECT_EQ(root->Subviews(), (std::vector<std::shared_ptr<View>>{a, b}));
  EXPECT_EQ(c->Superview(), nullptr);
  // Moving a view into another superview takes it out of the first.
  auto other = View::Make();
  other->AddSubview(a);
  EXPECT_EQ(root->Subviews(), (std::vector<std::shared_ptr<View>>{b}));
  EXPECT_EQ(a->Superview(), other);
}

TEST_F(ViewTest, CallsFromAnotherThreadRunOnTheMainThread) {
  auto view = View::Make(Rect(0, 0, 10, 10));
  Rect seen;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    view->SetFrame(Rect(1, 2, 30, 40));  // posted
    seen = view->Frame();                // waits for the main thread, which runs the post first
    done = true;
  });
  ASSERT_TRUE(testing::SpinUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(seen, Rect(1, 2, 30, 40));
  EXPECT_EQ(view->widget()->size(), QSize(30, 40));
}

}  // namespace
}  // namespace platform::ui
