#pragma once
// The window of skinned GUI descriptions: its whole look is an image (or, without one, a
// small empty skinned view), transparent around the image, with a shadow, dragged by its
// body, opened by unrolling from its top edge, and closable also without a close button.
// It saves its position like every position-saving window.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "gui/position_window.h"
#include "gui/skinned_view.h"
#include "gui/skinned_view_window_mouse.h"
#include "platform/ui/image.h"

class QPX_Framework_CustomWindow : public QPX_Framework_PositionSavingWindow,
                                   public QPX_Framework_WindowMouseHandler {
 public:
  // An image, an image name, or none.
  using Skin = std::variant<std::monostate, std::shared_ptr<platform::ui::Image>, std::string>;

  // With a title the window is titled, closable and miniaturizable; without, borderless.
  // Centred on the screen. Null when the skin cannot be had.
  static std::shared_ptr<QPX_Framework_CustomWindow> QPX_Framework_CustomWindow_InitWithImage(
      const Skin& skin, const std::optional<std::string>& title);

  // Changes the skin; the window keeps its top edge and takes the new skin's size. False
  // (nothing changes) when the image cannot be had.
  bool QPX_Framework_CustomWindow_ChangeImage(const Skin& skin);
  std::shared_ptr<QPX_Framework_SkinnedView> SkinView() const;

  // Dragging by the body.
  void mouseDown(const platform::ui::Event& event) override;
  void mouseDragged(const platform::ui::Event& event) override;
  void mouseUp(const platform::ui::Event& event) override;
  bool IsDragging() const { return Drag_.MouseDown; }

  // Shows the window, unrolled from a strip at its top edge.
  bool QPX_Framework_CustomWindow_Open() override;
  // Asks the window's should-close handler (its delegate), then closes.
  void performClose();

 private:
  using QPX_Framework_PositionSavingWindow::QPX_Framework_PositionSavingWindow;
  QPX_Framework_WindowDrag Drag_;
};
