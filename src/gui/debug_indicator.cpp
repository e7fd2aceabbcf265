#include "gui/debug_indicator.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "framework/util/debug_build.h"

using platform::ui::Rect;
using platform::ui::Size;

namespace {

constexpr const char* kText = "Do not\nrelease";

// Overlays live as long as the window they mark.
std::map<const void*, std::pair<std::weak_ptr<platform::ui::Window>, std::shared_ptr<DebugWindow>>>&
Overlays() {
  static auto* overlays =
      new std::map<const void*,
                   std::pair<std::weak_ptr<platform::ui::Window>, std::shared_ptr<DebugWindow>>>();
  return *overlays;
}

platform::ui::Font TextFont(double size) {
  std::optional<platform::ui::Font> font = platform::ui::Font::Named("Helvetica-Bold", size);
  return font ? *font : platform::ui::Font::BoldSystem(size);
}

double Degrees(double radians) { return radians * 180.0 / M_PI; }

}  // namespace

double QPX_Framework_DebugIndicator_Angle(Size content, Size text) {
  const double r = std::sqrt(text.width * text.width / 4 + text.height * text.height / 4);
  if (r <= 0) return 0;
  // Outside -1..1 (a tall, narrow window) the text can turn all the way to the cap.
  const double byHeight = Degrees(std::asin(std::clamp((content.height - text.height) / 2 / r, -1.0, 1.0)));
  const double byWidth = Degrees(std::acos(std::clamp((content.width - text.width) / 2 / r, -1.0, 1.0)));
  return std::clamp(std::min(byHeight, byWidth), 0.0, 45.0);
}

std::shared_ptr<DebugWindow> DebugWindow::InitWithParent(
    const std::shared_ptr<platform::ui::Window>& parent) {
  std::shared_ptr<DebugWindow> overlay(new DebugWindow());
  overlay->parent_ = parent;
  overlay->window_ = platform::ui::Window::Make(Rect(0, 0, 10, 10), platform::ui::kBorderlessWindowMask);
  overlay->window_->SetOpaque(false);
  overlay->window_->SetBackgroundColor(platform::ui::Color::Clear());
  overlay->window_->SetIgnoresMouseEvents(true);
  overlay->window_->SetIdentifier("Debug Indicator");
  overlay->TextView_ = platform::ui::TextView::Make(Rect(0, 0, 10, 10), kText);
  overlay->TextView_->SetDrawsBackground(false);
  overlay->TextView_->SetTextColor(platform::ui::Color::Device(1, 0, 0, 0.18));
  overlay->TextView_->SetAlignment(platform::ui::TextAlignment::Center);
  overlay->TextView_->SetMinSize(Size{1, 1});
  overlay->TextView_->SetMaxSize(Size{10000, 10000});
  overlay->TextView_->SetResizable(false, false);
  overlay->TextView_->SetPassesClicks(true);
  overlay->window_->ContentView()->AddSubview(overlay->TextView_);
  overlay->window_->ContentView()->SetPassesClicks(true);
  parent->AddChildWindow(overlay->window_);
  overlay->DoResize();
  std::weak_ptr<DebugWindow> weak = overlay;
  overlay->resizeObservation_ = platform::NotificationCenter::Default().AddObserver(
      platform::ui::kWindowDidResizeNotification, parent.get(), [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->DoResize();
      });
  overlay->sheetObservation_ = platform::NotificationCenter::Default().AddObserver(
      platform::ui::kWindowDidEndSheetNotification, parent.get(), [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->DoEndSheet();
      });
  return overlay;
}

DebugWindow::~DebugWindow() {
  resizeObservation_.reset();
  sheetObservation_.reset();
}

void DebugWindow::DoResize() {
  std::shared_ptr<platform::ui::Window> parent = parent_.lock();
  if (!parent) return;
  const Rect content = parent->ContentRect();
  window_->SetFrame(Rect(content.origin, content.size));
  const Size target{content.width() * 0.8, content.height() * 0.8};
  const Size measured = TextFont(10).SizeOfText(kText);
  if (measured.width <= 0 || measured.height <= 0) return;
  const double scale = std::min(target.width / measured.width, target.height / measured.height);
  const platform::ui::Font font = TextFont(std::max(1.0, 10 * scale));
  Size text = font.SizeOfText(kText);
  text.width += 10;
  TextView_->SetFont(font);
  // The text turns about its own centre, so the centred rectangle needs no shift.
  TextView_->SetFrame(platform::ui::CenteredRect(Rect(0, 0, content.width(), content.height()), text));
  TextView_->SetFrameRotation(QPX_Framework_DebugIndicator_Angle(content.size, text));
  TextView_->SetNeedsDisplay();
}

void DebugWindow::DoEndSheet() {
  std::shared_ptr<platform::ui::Window> parent = parent_.lock();
  if (!parent) return;
  parent->RemoveChildWindow(window_);
  parent->AddChildWindow(window_);
  window_->OrderFront();
}

std::shared_ptr<DebugWindow> QPX_Framework_Window_AddDebugIndicator(
    const std::shared_ptr<platform::ui::Window>& window, bool debugBuild) {
  if (!debugBuild || !window) return nullptr;
  auto& overlays = Overlays();
  for (auto it = overlays.begin(); it != overlays.end();)
    it = it->second.first.expired() ? overlays.erase(it) : std::next(it);
  std::shared_ptr<DebugWindow> overlay = DebugWindow::InitWithParent(window);
  overlays[window.get()] = {window, overlay};
  return overlay;
}

void QPX_Framework_Window_AddDebugIndicator(const std::shared_ptr<platform::ui::Window>& window) {
  QPX_Framework_Window_AddDebugIndicator(window, QPX_Framework_IsDebugBuild());
}
