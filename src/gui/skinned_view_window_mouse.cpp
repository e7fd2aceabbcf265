#include "gui/skinned_view_window_mouse.h"

#include "platform/ui/application.h"
#include "platform/ui/window.h"

using platform::ui::Point;

Point QPX_Framework_GUI_EventScreenLocation(const platform::ui::Event& event,
                                            const platform::ui::Window& window) {
  const platform::ui::Window& in = event.window != nullptr ? *event.window : window;
  const platform::ui::Rect content = in.ContentRect();
  return Point{content.minX() + event.locationInWindow.x, content.minY() + event.locationInWindow.y};
}

void QPX_Framework_WindowDrag::Begin(const platform::ui::Window& window, Point mouseOnScreen) {
  const platform::ui::Rect frame = window.Frame();
  initialLocation = Point{mouseOnScreen.x - frame.minX(), mouseOnScreen.y - frame.minY()};
  MouseDown = true;
}

void QPX_Framework_WindowDrag::Move(platform::ui::Window& window, Point mouseOnScreen) const {
  if (!MouseDown) return;
  const platform::ui::Rect frame = window.Frame();
  Point origin{mouseOnScreen.x - initialLocation.x, mouseOnScreen.y - initialLocation.y};
  const platform::ui::Rect screen = platform::ui::Application::MainScreenFrame();
  if (origin.y + frame.height() > screen.maxY()) origin.y = screen.maxY() - frame.height();
  window.SetFrameOrigin(origin);
}
