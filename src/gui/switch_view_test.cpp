// The switch view: one child shown at a time, chosen by number.

#include "gui/switch_view.h"

#include <gtest/gtest.h>

#include "gui/builder_test_support.h"
#include "platform/assert.h"
#include "platform/ui/controls.h"

namespace {

using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::View;

class SwitchViewTest : public builder_testing::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    view_ = QPX_Framework_SwitchView::init();
    for (int i = 0; i < 3; ++i) {
      children_.push_back(platform::ui::Button::Make(Rect(10, 10, 100, 50)));
      view_->addSubview(children_.back());
    }
  }
  bool Shows(int index) const {
    for (std::size_t i = 0; i < children_.size(); ++i)
      if (children_[i]->IsHidden() == (int(i) == index)) return false;
    return true;
  }
  std::shared_ptr<QPX_Framework_SwitchView> view_;
  std::vector<std::shared_ptr<platform::ui::Button>> children_;
};

TEST_F(SwitchViewTest, ShowsOneChildAtATime) {
  EXPECT_EQ(view_->intValue(), -1);
  EXPECT_TRUE(Shows(-1));
  EXPECT_EQ(view_->QPX_Framework_SwitchView_Current(), nullptr);
  // Children at (10, 10) of 100 x 50 make the view at least 110 x 60.
  EXPECT_EQ(view_->Frame().size, (Size{110, 60}));

  EXPECT_EQ(view_->QPX_Framework_SwitchView_Display(1), children_[1]);
  EXPECT_TRUE(Shows(1));
  // The shown index again changes nothing.
  children_[1]->SetHidden(true);
  EXPECT_EQ(view_->QPX_Framework_SwitchView_Display(1), children_[1]);
  EXPECT_TRUE(children_[1]->IsHidden());
  children_[1]->SetHidden(false);

  view_->setIntValue(2);
  EXPECT_TRUE(Shows(2));
  EXPECT_EQ(view_->intValue(), 2);
  EXPECT_EQ(view_->QPX_Framework_SwitchView_Display(-1), nullptr);
  EXPECT_TRUE(Shows(-1));
  EXPECT_EQ(view_->QPX_Framework_SwitchView_Display(0), children_[0]);
  EXPECT_EQ(view_->QPX_Framework_SwitchView_Display(3), nullptr);
  EXPECT_TRUE(Shows(-1));
  EXPECT_EQ(view_->intValue(), -1);
}

TEST_F(SwitchViewTest, ChildrenByView) {
  EXPECT_EQ(view_->QPX_Framework_SwitchView_ViewNumber(children_[2].get()), 2);
  auto stranger = View::Make(Rect(0, 0, 5, 5));
  EXPECT_EQ(view_->QPX_Framework_SwitchView_ViewNumber(stranger.get()), -1);
  view_->QPX_Framework_SwitchView_DisplayView(children_[2].get());
  EXPECT_TRUE(Shows(2));
  EXPECT_THROW(view_->QPX_Framework_SwitchView_DisplayView(stranger.get()), platform::AssertionFailure);

  // A child that does not fit makes the view grow, never shrink.
  view_->addSubview(View::Make(Rect(200, 0, 10, 10)));
  EXPECT_EQ(view_->Frame().size, (Size{210, 60}));
  EXPECT_EQ(view_->QPX_Framework_SwitchView_Subviews().size(), 4u);
}

TEST_F(SwitchViewTest, EnabledStatesReachHiddenChildrenToo) {
  view_->QPX_Framework_SwitchView_Display(0);
  view_->setEnabled(false);
  for (const auto& child : children_) EXPECT_FALSE(child->IsEnabled());
  view_->setEnabled(true);
  for (const auto& child : children_) EXPECT_TRUE(child->IsEnabled());
}

}  // namespace
