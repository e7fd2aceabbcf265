#include "gui/custom_window.h"

#include <cmath>

#include "framework/core/log.h"

using platform::ui::Rect;

namespace {

std::shared_ptr<QPX_Framework_SkinnedView> SkinViewFor(const QPX_Framework_CustomWindow::Skin& skin) {
  if (const auto* image = std::get_if<std::shared_ptr<platform::ui::Image>>(&skin))
    return QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(*image);
  if (const auto* name = std::get_if<std::string>(&skin))
    return QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(*name);
  return QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithSize(10, 10);
}

}  // namespace

std::shared_ptr<QPX_Framework_CustomWindow>
QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_InitWithImage(
    const Skin& skin, const std::optional<std::string>& title) {
  std::shared_ptr<QPX_Framework_SkinnedView> view = SkinViewFor(skin);
  if (!view) return nullptr;
  const unsigned style = title ? platform::ui::kTitledWindowMask | platform::ui::kClosableWindowMask |
                                     platform::ui::kMiniaturizableWindowMask
                               : platform::ui::kBorderlessWindowMask;
  std::shared_ptr<platform::ui::Window> window = platform::ui::Window::Make(view->Frame(), style);
  if (!window) return nullptr;
  std::shared_ptr<QPX_Framework_CustomWindow> custom(new QPX_Framework_CustomWindow(window));
  if (title) window->SetTitle(*title);
  window->SetBackgroundColor(platform::ui::Color::Clear());
  window->SetAlphaValue(1.0);
  window->SetOpaque(false);
  window->SetHasShadow(true);
  window->Center();
  window->SetContentView(view);
  view->SetWindowMouseHandler(std::weak_ptr<QPX_Framework_WindowMouseHandler>(custom));
  return custom;
}

std::shared_ptr<QPX_Framework_SkinnedView> QPX_Framework_CustomWindow::SkinView() const {
  return GetWindow() ? std::dynamic_pointer_cast<QPX_Framework_SkinnedView>(GetWindow()->ContentView())
                     : nullptr;
}

bool QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_ChangeImage(const Skin& skin) {
  std::shared_ptr<QPX_Framework_SkinnedView> view = SkinView();
  if (!view) return false;
  const double oldHeight = view->Frame().height();
  bool changed = false;
  if (const auto* image = std::get_if<std::shared_ptr<platform::ui::Image>>(&skin))
    changed = view->QPX_Framework_SkinnedView_ChangeImage(*image);
  else if (const auto* name = std::get_if<std::string>(&skin))
    changed = view->QPX_Framework_SkinnedView_ChangeImage(*name);
  if (!changed) return false;
  const platform::ui::Size size = view->Frame().size;
  // The window keeps its top edge: it grows or shrinks downwards.
  const double difference = std::trunc(size.height - oldHeight);
  Rect frame = GetWindow()->Frame();
  frame.origin.y -= difference;
  frame.size.height += difference;
  // A wider or narrower skin is shown whole.
  frame.size.width = size.width;
  GetWindow()->SetFrame(frame);
  return true;
}

void QPX_Framework_CustomWindow::mouseDown(const platform::ui::Event& event) {
  if (!GetWindow()) return;
  Drag_.Begin(*GetWindow(), QPX_Framework_GUI_EventScreenLocation(event, *GetWindow()));
}

void QPX_Framework_CustomWindow::mouseDragged(const platform::ui::Event& event) {
  if (!GetWindow()) return;
  Drag_.Move(*GetWindow(), QPX_Framework_GUI_EventScreenLocation(event, *GetWindow()));
}

void QPX_Framework_CustomWindow::mouseUp(const platform::ui::Event& /*event*/) { Drag_.End(); }

bool QPX_Framework_CustomWindow::QPX_Framework_CustomWindow_Open() {
  const std::shared_ptr<platform::ui::Window>& window = GetWindow();
  if (!window) return true;
  const Rect frame = window->Frame();
  // Unrolls from a strip on the top edge to the whole frame.
  window->SetFrame(Rect(frame.minX(), frame.maxY(), frame.width(), 20));
  window->MakeKeyAndOrderFront();
  window->SetFrame(frame);
  return true;
}

void QPX_Framework_CustomWindow::performClose() {
  // The should-close handler plays the delegate's part: it may refuse, with or without a
  // close button.
  if (GetWindow()) GetWindow()->WidgetShouldClose();
}
