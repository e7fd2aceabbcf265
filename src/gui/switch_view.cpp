#include "gui/switch_view.h"

#include <algorithm>

#include "framework/core/log.h"

using platform::ui::Rect;
using platform::ui::View;

std::shared_ptr<QPX_Framework_SwitchView> QPX_Framework_SwitchView::init() {
  std::shared_ptr<QPX_Framework_SwitchView> view(new QPX_Framework_SwitchView());
  view->SetFrame(Rect());
  return view;
}

void QPX_Framework_SwitchView::addSubview(const std::shared_ptr<View>& view) {
  if (!view) return;
  Subviews_.push_back(view);
  const Rect own = Frame();
  const Rect child = view->Frame();
  SetFrameSize(platform::ui::Size{std::max(own.width(), child.maxX()), std::max(own.height(), child.maxY())});
  View::AddSubview(view);
  view->SetHidden(true);
}

std::shared_ptr<View> QPX_Framework_SwitchView::QPX_Framework_SwitchView_Display(int32_t index) {
  if (index == Current_) return QPX_Framework_SwitchView_Current();
  if (std::shared_ptr<View> shown = QPX_Framework_SwitchView_Current()) shown->SetHidden(true);
  Current_ = -1;
  if (index < 0 || std::size_t(index) >= Subviews_.size()) return nullptr;
  Current_ = index;
  Subviews_[std::size_t(index)]->SetHidden(false);
  return Subviews_[std::size_t(index)];
}

std::shared_ptr<View> QPX_Framework_SwitchView::QPX_Framework_SwitchView_Current() const {
  if (Current_ < 0 || std::size_t(Current_) >= Subviews_.size()) return nullptr;
  return Subviews_[std::size_t(Current_)];
}

int32_t QPX_Framework_SwitchView::QPX_Framework_SwitchView_ViewNumber(const View* view) const {
  for (std::size_t i = 0; i < Subviews_.size(); ++i)
    if (Subviews_[i].get() == view) return int32_t(i);
  return -1;
}

void QPX_Framework_SwitchView::QPX_Framework_SwitchView_DisplayView(const View* view) {
  const int32_t number = QPX_Framework_SwitchView_ViewNumber(view);
  QPX_Assert_Detail(number >= 0, Value("the view is not a child of the switch view"));
  QPX_Framework_SwitchView_Display(number);
}

void QPX_Framework_SwitchView::setEnabled(bool enabled) {
  for (const std::shared_ptr<View>& child : Subviews_) QPX_Framework_GUI_PassEnabled(*child, enabled);
}
