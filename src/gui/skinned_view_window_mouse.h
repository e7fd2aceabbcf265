#pragma once
// Mouse events that no view of a window handles end at the window: a skinned window is
// dragged by its body. The skinned content view of such a window hands the events it does
// not keep to the window's handler; the drag itself (shared by the custom and the multiskin
// window) follows the mouse on the screen and keeps the window's top edge below the top of
// the main screen.

#include "platform/ui/event.h"
#include "platform/ui/geometry.h"

namespace platform::ui {
class Window;
}

class QPX_Framework_WindowMouseHandler {
 public:
  virtual ~QPX_Framework_WindowMouseHandler() = default;
  virtual void mouseDown(const platform::ui::Event& event) = 0;
  virtual void mouseDragged(const platform::ui::Event& event) = 0;
  virtual void mouseUp(const platform::ui::Event& event) = 0;
};

// The event's location in screen coordinates (origin bottom left), through the window it
// happened in (the event's own window when it names one, else the given one).
platform::ui::Point QPX_Framework_GUI_EventScreenLocation(const platform::ui::Event& event,
                                                          const platform::ui::Window& window);

struct QPX_Framework_WindowDrag {
  // A drag is under way.
  bool MouseDown = false;
  // Where the mouse was pressed, relative to the window's origin.
  platform::ui::Point initialLocation;

  void Begin(const platform::ui::Window& window, platform::ui::Point mouseOnScreen);
  // Moves the window's origin to the mouse minus the offset, lowered so that the top edge
  // stays at or below the top of the main screen. Nothing when no drag is under way.
  void Move(platform::ui::Window& window, platform::ui::Point mouseOnScreen) const;
  void End() { MouseDown = false; }
};
