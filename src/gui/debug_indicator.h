#pragma once
// The mark of a debug build: every skinned window of a debug build carries a large, faint,
// diagonal watermark "Do not\nrelease" that follows the window's size and lets every click
// through. It is a borderless child window of the window it marks.

#include <memory>

#include "platform/notifications.h"
#include "platform/ui/controls.h"
#include "platform/ui/geometry.h"
#include "platform/ui/window.h"

class DebugWindow : public std::enable_shared_from_this<DebugWindow> {
 public:
  // The overlay of the parent, made a child window of it.
  static std::shared_ptr<DebugWindow> InitWithParent(const std::shared_ptr<platform::ui::Window>& parent);
  ~DebugWindow();

  bool ignoresMouseEvents() const { return true; }
  // Follows the parent's content size, and fits and tilts the text.
  void DoResize();
  // A sheet of the parent ended: the overlay goes back above it.
  void DoEndSheet();

  const std::shared_ptr<platform::ui::Window>& Window() const { return window_; }
  const std::shared_ptr<platform::ui::TextView>& TextView() const { return TextView_; }

 private:
  DebugWindow() = default;
  std::weak_ptr<platform::ui::Window> parent_;
  std::shared_ptr<platform::ui::Window> window_;
  std::shared_ptr<platform::ui::TextView> TextView_;
  std::shared_ptr<platform::NotificationCenter::Observation> resizeObservation_;
  std::shared_ptr<platform::NotificationCenter::Observation> sheetObservation_;
};

// In a debug build, gives the window its overlay; otherwise nothing. The parent keeps the
// overlay; the caller keeps no reference.
void QPX_Framework_Window_AddDebugIndicator(const std::shared_ptr<platform::ui::Window>& window);
// The same with the build kind given (tests); answers the overlay or null.
std::shared_ptr<DebugWindow> QPX_Framework_Window_AddDebugIndicator(
    const std::shared_ptr<platform::ui::Window>& window, bool debugBuild);

// The tilt in degrees of a text of the given size in a content of the given size: the
// smaller of the two angles at which the turned text touches the content's edges, at most
// 45 degrees.
double QPX_Framework_DebugIndicator_Angle(platform::ui::Size content, platform::ui::Size text);
