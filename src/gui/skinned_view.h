#pragma once
// The plain view of GUI descriptions: paints a skin image at its origin (and takes the
// image's size) over an optional background colour, can swallow the clicks in its area,
// and tells a delegate of double clicks. As the content view of a skinned window it hands
// the mouse events nobody keeps to the window, which is dragged by its body.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/event.h"
#include "platform/ui/image.h"
#include "platform/ui/view.h"

class QPX_Framework_SkinnedView;
class QPX_Framework_WindowMouseHandler;

// The optional double-click delegate.
class QPX_Framework_SkinnedView_Delegate {
 public:
  virtual ~QPX_Framework_SkinnedView_Delegate() = default;
  virtual void QPX_Framework_SkinnedView_DoubleClick(QPX_Framework_SkinnedView& view) = 0;
};

class QPX_Framework_SkinnedView : public platform::ui::View {
 public:
  // A view of the frame (0, 0, width, height) without image.
  static std::shared_ptr<QPX_Framework_SkinnedView> QPX_Framework_SkinnedView_InitWithSize(double width,
                                                                                           double height);
  // A view of the image's size showing it; null when the image cannot be had.
  static std::shared_ptr<QPX_Framework_SkinnedView> QPX_Framework_SkinnedView_InitWithImage(
      const std::shared_ptr<platform::ui::Image>& image);
  static std::shared_ptr<QPX_Framework_SkinnedView> QPX_Framework_SkinnedView_InitWithImage(
      const std::string& imageName);

  // Shows the image (a name is loaded from "Images/<name>" of the localized resources, in
  // the resource branch's variant when there is one; a failed load is tried once more).
  // False, logged, when no image could be had; the view then keeps what it had.
  bool QPX_Framework_SkinnedView_ChangeImage(const std::shared_ptr<platform::ui::Image>& image);
  bool QPX_Framework_SkinnedView_ChangeImage(const std::string& imageName);
  // Keeps the image and takes its size (the origin stays).
  void QPX_Framework_SkinnedView_Change(const std::shared_ptr<platform::ui::Image>& image);
  const std::shared_ptr<platform::ui::Image>& QPX_Framework_SkinnedView_Image() const { return SkinImage_; }
  const std::optional<platform::ui::Event>& LastMouseDownEvent() const { return LastMouseDown_; }

  // A background that tints what lies below (painted only where something is drawn
  // already), or, fixed, one painted over it.
  void QPX_Framework_SkinnedView_SetBackgroundColor(const std::optional<platform::ui::Color>& color);
  void QPX_Framework_SkinnedView_SetBackgroundColor_Fixed(const std::optional<platform::ui::Color>& color);
  const std::optional<platform::ui::Color>& SkinBackgroundColor() const { return BackgroundColor_; }
  bool IsFixedBackground() const { return FixedBackground_; }

  // Every click inside the view goes to the view itself, none to its children (also to the
  // children added later, once this is set again or the view's contents are complete).
  void SetBlockClicks(bool block);
  bool BlocksClicks() const { return BlockClicks_; }
  // The view takes the clicks on its empty area and ignores them.
  void SetBlockClickthrough(bool block);
  bool BlocksClickthrough() const { return BlockClickthrough_; }
  // Not retained.
  void SetDoubleClickDelegate(const std::weak_ptr<QPX_Framework_SkinnedView_Delegate>& delegate);

  // Passes the state to every child that takes one (controls, skinned views; a scroll view
  // passes it on to its document view).
  virtual void setEnabled(bool enabled);

  // The window whose content this view is gets the mouse events the view does not keep.
  void SetWindowMouseHandler(const std::weak_ptr<QPX_Framework_WindowMouseHandler>& handler);

  View* HitTest(platform::ui::Point pointInSuperview) override;
  void MouseDown(const platform::ui::Event& event) override;
  void MouseDragged(const platform::ui::Event& event) override;
  void MouseUp(const platform::ui::Event& event) override;
  void Draw(platform::ui::Painter& painter, const platform::ui::Rect& dirtyRect) override;

 protected:
  QPX_Framework_SkinnedView() = default;
  // The base behaviour of a mouse event: to the window's handler when there is one, else on
  // to what lies behind.
  void PassMouseDown(const platform::ui::Event& event);

 private:
  // Whether the view itself is hit where it has no child: with an image, or taking clicks.
  bool TakesClicks() const;
  void ApplyBlockClicks();

  std::shared_ptr<platform::ui::Image> SkinImage_;
  std::optional<platform::ui::Color> BackgroundColor_;
  std::weak_ptr<QPX_Framework_SkinnedView_Delegate> DoubleClickDelegate_;
  bool BlockClicks_ = false;
  bool BlockClickthrough_ = false;
  bool FixedBackground_ = false;
  std::optional<platform::ui::Event> LastMouseDown_;
  std::weak_ptr<QPX_Framework_WindowMouseHandler> windowMouseHandler_;
  // The descendants that were made to let clicks pass for BlockClicks, to be given back.
  std::vector<std::weak_ptr<platform::ui::View>> shielded_;
};

// Passes an enabled state to a view as the skinned view does to each child: a control or a
// skinned view takes it; a scroll view hands it to its document view; others ignore it.
void QPX_Framework_GUI_PassEnabled(platform::ui::View& view, bool enabled);

// "Images/<name>" of the localized resources, in the resource branch's variant when there
// is one; null when it cannot be loaded (tried twice).
std::shared_ptr<platform::ui::Image> QPX_Framework_SkinnedView_LoadImage(const std::string& imageName);
