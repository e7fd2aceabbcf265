#include "gui/skinned_view.h"

#include "framework/core/log.h"
#include "framework/core/strings.h"
#include "framework/util/misc.h"
#include "gui/builder_objects.h"
#include "gui/skinned_view_window_mouse.h"
#include "platform/ui/controls.h"

using platform::ui::Event;
using platform::ui::Image;
using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::View;

std::shared_ptr<Image> QPX_Framework_SkinnedView_LoadImage(const std::string& imageName) {
  if (imageName.empty()) return nullptr;
  const std::optional<std::string> path = QPX_Framework_FilePathString("Images/" + imageName);
  if (!path) return nullptr;
  const std::string file = QPX_Framework_ResourceBranchName(*path);
  std::shared_ptr<Image> image = Image::FromFile(file);
  // A file that is being replaced (an update in progress) may fail once.
  if (!image) image = Image::FromFile(file);
  return image;
}

std::shared_ptr<QPX_Framework_SkinnedView> QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithSize(
    double width, double height) {
  std::shared_ptr<QPX_Framework_SkinnedView> view(new QPX_Framework_SkinnedView());
  view->SetFrame(Rect(0, 0, width, height));
  return view;
}

std::shared_ptr<QPX_Framework_SkinnedView> QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(
    const std::shared_ptr<Image>& image) {
  std::shared_ptr<QPX_Framework_SkinnedView> view = QPX_Framework_SkinnedView_InitWithSize(0, 0);
  if (!view->QPX_Framework_SkinnedView_ChangeImage(image)) return nullptr;
  return view;
}

std::shared_ptr<QPX_Framework_SkinnedView> QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(
    const std::string& imageName) {
  std::shared_ptr<QPX_Framework_SkinnedView> view = QPX_Framework_SkinnedView_InitWithSize(0, 0);
  if (!view->QPX_Framework_SkinnedView_ChangeImage(imageName)) return nullptr;
  return view;
}

bool QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_ChangeImage(const std::shared_ptr<Image>& image) {
  if (!image) return false;
  QPX_Framework_SkinnedView_Change(image);
  return true;
}

bool QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_ChangeImage(const std::string& imageName) {
  std::shared_ptr<Image> image = QPX_Framework_SkinnedView_LoadImage(imageName);
  if (!image) {
    QPX_Log(QPX_LOG_ERROR, "Unable to load image: %s", imageName.c_str());
    return false;
  }
  QPX_Framework_SkinnedView_Change(image);
  return true;
}

void QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_Change(const std::shared_ptr<Image>& image) {
  SkinImage_ = image;
  if (image) SetFrameSize(image->size());
  SetNeedsDisplay();
}

void QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_SetBackgroundColor(
    const std::optional<platform::ui::Color>& color) {
  BackgroundColor_ = color;
  FixedBackground_ = false;
  SetNeedsDisplay();
}

void QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_SetBackgroundColor_Fixed(
    const std::optional<platform::ui::Color>& color) {
  BackgroundColor_ = color;
  FixedBackground_ = true;
  SetNeedsDisplay();
}

void QPX_Framework_SkinnedView::SetBlockClicks(bool block) {
  BlockClicks_ = block;
  ApplyBlockClicks();
}

void QPX_Framework_SkinnedView::SetBlockClickthrough(bool block) { BlockClickthrough_ = block; }

void QPX_Framework_SkinnedView::SetDoubleClickDelegate(
    const std::weak_ptr<QPX_Framework_SkinnedView_Delegate>& delegate) {
  DoubleClickDelegate_ = delegate;
}

void QPX_Framework_SkinnedView::SetWindowMouseHandler(
    const std::weak_ptr<QPX_Framework_WindowMouseHandler>& handler) {
  windowMouseHandler_ = handler;
}

void QPX_Framework_SkinnedView::ApplyBlockClicks() {
  // The window system delivers a click to the deepest widget under the mouse; the children
  // are made to let clicks pass, so that the clicks land on this view.
  for (const std::weak_ptr<View>& weak : shielded_)
    if (std::shared_ptr<View> view = weak.lock()) view->SetPassesClicks(false);
  shielded_.clear();
  if (!BlockClicks_) return;
  std::vector<std::shared_ptr<View>> pending = Subviews();
  while (!pending.empty()) {
    std::shared_ptr<View> view = pending.back();
    pending.pop_back();
    if (!view->PassesClicks()) {
      view->SetPassesClicks(true);
      shielded_.push_back(view);
    }
    for (const std::shared_ptr<View>& child : view->Subviews()) pending.push_back(child);
  }
}

bool QPX_Framework_SkinnedView::TakesClicks() const {
  return SkinImage_ != nullptr || BlockClicks_ || BlockClickthrough_;
}

void QPX_Framework_GUI_PassEnabled(View& view, bool enabled) {
  if (auto* control = dynamic_cast<platform::ui::Control*>(&view)) {
    control->SetEnabled(enabled);
  } else if (auto* skinned = dynamic_cast<QPX_Framework_SkinnedView*>(&view)) {
    skinned->setEnabled(enabled);
  } else if (auto* holder = dynamic_cast<QPX_Framework_GUI_DocumentHolder*>(&view)) {
    if (std::shared_ptr<View> document = holder->DocumentView())
      QPX_Framework_GUI_PassEnabled(*document, enabled);
  }
}

void QPX_Framework_SkinnedView::setEnabled(bool enabled) {
  for (const std::shared_ptr<View>& child : Subviews()) QPX_Framework_GUI_PassEnabled(*child, enabled);
}

View* QPX_Framework_SkinnedView::HitTest(Point pointInSuperview) {
  if (BlockClicks_) return !IsHidden() && Frame().contains(pointInSuperview) ? this : nullptr;
  View* hit = View::HitTest(pointInSuperview);
  // The base answers this view, one inside it, or nothing; with BlockClickthrough the
  // answer stands, also the view itself on its empty area.
  if (BlockClickthrough_) return hit;
  if (hit != this) return hit;
  // A bare view without image lets the click through to what lies behind it.
  return SkinImage_ ? hit : nullptr;
}

void QPX_Framework_SkinnedView::PassMouseDown(const Event& event) {
  if (std::shared_ptr<QPX_Framework_WindowMouseHandler> handler = windowMouseHandler_.lock())
    handler->mouseDown(event);
  else
    View::MouseDown(event);
}

void QPX_Framework_SkinnedView::MouseDown(const Event& event) {
  if (BlockClickthrough_) return;  // swallowed
  PassMouseDown(event);
  if (!TakesClicks()) return;  // not hit: the click was never this view's
  if (event.type != Event::Type::LeftMouseDown) return;
  LastMouseDown_ = event;
  // The event's window is valid only while the event is handled.
  LastMouseDown_->window = nullptr;
  if (event.clickCount != 2) return;
  if (std::shared_ptr<QPX_Framework_SkinnedView_Delegate> delegate = DoubleClickDelegate_.lock())
    delegate->QPX_Framework_SkinnedView_DoubleClick(*this);
}

void QPX_Framework_SkinnedView::MouseDragged(const Event& event) {
  if (std::shared_ptr<QPX_Framework_WindowMouseHandler> handler = windowMouseHandler_.lock())
    handler->mouseDragged(event);
  else
    View::MouseDragged(event);
}

void QPX_Framework_SkinnedView::MouseUp(const Event& event) {
  if (std::shared_ptr<QPX_Framework_WindowMouseHandler> handler = windowMouseHandler_.lock())
    handler->mouseUp(event);
  else
    View::MouseUp(event);
}

namespace {
// One transparent pixel, drawn scaled in copy mode to clear an area.
const Image& ClearPixel() {
  static const std::shared_ptr<Image> pixel = Image::Empty(platform::ui::Size{1, 1});
  return *pixel;
}
}  // namespace

void QPX_Framework_SkinnedView::Draw(platform::ui::Painter& painter, const Rect& dirtyRect) {
  if (BackgroundColor_) {
    // The layer's painter composites source-over only: a tinting background is painted as
    // a fixed one.
    painter.FillRect(dirtyRect, *BackgroundColor_);
  }
  if (!SkinImage_) return;
  // The skin's transparent parts stay transparent.
  if (!BackgroundColor_) painter.DrawImage(ClearPixel(), Bounds(), 1, true);
  painter.DrawImage(*SkinImage_, Rect(Point{0, 0}, SkinImage_->size()));
}
