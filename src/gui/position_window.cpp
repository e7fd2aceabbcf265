#include "gui/position_window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "framework/core/log.h"
#include "platform/ui/application.h"
#include "platform/user_defaults.h"

using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;

namespace {
platform::RunLoop* g_timerLoop = nullptr;
platform::RunLoop& TimerLoop() {
  return g_timerLoop != nullptr ? *g_timerLoop : platform::RunLoop::Current();
}
constexpr double kSaveDelay = 1.0;
}  // namespace

void QPX_Framework_PositionSavingWindow::_SetTimerRunLoop(platform::RunLoop* loop) { g_timerLoop = loop; }

std::string QPX_Framework_WindowPositionKey(const std::string& saveName) {
  return "QPX Window Position: " + saveName;
}

std::shared_ptr<QPX_Framework_PositionSavingWindow> QPX_Framework_PositionSavingWindow::Make(
    const Rect& contentRect, unsigned styleMask) {
  return std::shared_ptr<QPX_Framework_PositionSavingWindow>(
      new QPX_Framework_PositionSavingWindow(platform::ui::Window::Make(contentRect, styleMask)));
}

QPX_Framework_PositionSavingWindow::QPX_Framework_PositionSavingWindow(
    std::shared_ptr<platform::ui::Window> window)
    : Window_(std::move(window)) {}

QPX_Framework_PositionSavingWindow::~QPX_Framework_PositionSavingWindow() {
  ReleaseSavePositionNotifications();
}

void QPX_Framework_PositionSavingWindow::PerformWindowPositionSave() {
  if (!WasOpened_ || !SaveName_ || !Window_) return;
  const Rect frame = Window_->Frame();
  char text[64];
  std::snprintf(text, sizeof text, "%g %g", frame.minX(), frame.maxY());
  if (std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::Standard())
    defaults->setObject(QPX_Framework_WindowPositionKey(*SaveName_), Value(text));
}

bool QPX_Framework_PositionSavingWindow::PerformWindowPositionLoad() {
  if (!SaveName_ || !Window_) return false;
  std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::Standard();
  if (!defaults) return false;
  const std::optional<std::string> stored =
      defaults->objectForKey(QPX_Framework_WindowPositionKey(*SaveName_)).optString();
  if (!stored) return false;
  // Exactly two numbers and nothing after them; anything else is ignored.
  const char* text = stored->c_str();
  char* end = nullptr;
  const double x = std::strtod(text, &end);
  if (end == text) return false;
  const char* second = end;
  const double top = std::strtod(second, &end);
  if (end == second || *end != '\0' || !std::isfinite(x) || !std::isfinite(top)) return false;
  const Rect frame = Window_->Frame();
  Window_->SetFrameOrigin(Point{x, top - frame.height()});
  return true;
}

void QPX_Framework_PositionSavingWindow::ReleaseSavePositionNotifications() {
  if (!SaveName_) return;
  observations_.clear();
  if (SaveTimer_) {
    // A position that was waiting for its second is written now.
    if (SaveTimer_->IsValid()) PerformWindowPositionSave();
    SaveTimer_->Invalidate();
    SaveTimer_.reset();
  }
  SaveName_.reset();
}

void QPX_Framework_PositionSavingWindow::SaveTimerFire(platform::Timer& timer) {
  QPX_Assert_Detail(SaveTimer_ && &timer == SaveTimer_.get(), Value("a stale position save timer fired"));
  QPX_Assert_Detail(SaveName_.has_value(), Value("a position save timer fired without a save name"));
  SaveTimer_.reset();
  PerformWindowPositionSave();
}

void QPX_Framework_PositionSavingWindow::ReceivePositionSaveNotification(
    const platform::Notification& notification) {
  QPX_Assert_Detail(Window_ && notification.sender == Window_.get(),
                    Value("a position notice of another window arrived"));
  QPX_Assert_Detail(SaveName_.has_value(), Value("a position notice arrived without a save name"));
  platform::RunLoop& loop = TimerLoop();
  if (SaveTimer_ && SaveTimer_->IsValid()) {
    SaveTimer_->SetFireDate(loop.clock()->Now() + kSaveDelay);
    return;
  }
  std::weak_ptr<QPX_Framework_GUI_Item> weak = weak_from_this();
  SaveTimer_ = loop.AddTimer(kSaveDelay, [weak](platform::Timer& timer) {
    std::shared_ptr<QPX_Framework_GUI_Item> self = weak.lock();
    if (!self) return;
    static_cast<QPX_Framework_PositionSavingWindow&>(*self).SaveTimerFire(timer);
  });
}

void QPX_Framework_PositionSavingWindow::SetPositionSaveName(const std::optional<std::string>& name) {
  ReleaseSavePositionNotifications();
  if (!name || !Window_) return;
  SaveName_ = name;
  std::weak_ptr<QPX_Framework_GUI_Item> weak = weak_from_this();
  auto receive = [weak](const platform::Notification& notification) {
    if (std::shared_ptr<QPX_Framework_GUI_Item> self = weak.lock())
      static_cast<QPX_Framework_PositionSavingWindow&>(*self).ReceivePositionSaveNotification(notification);
  };
  auto& center = platform::NotificationCenter::Default();
  observations_.push_back(
      center.AddObserver(platform::ui::kWindowDidMoveNotification, Window_.get(), receive));
  observations_.push_back(
      center.AddObserver(platform::ui::kWindowDidResizeNotification, Window_.get(), receive));
}

void QPX_Framework_PositionSavingWindow::Open() {
  if (!Window_) return;
  if (!WasOpened_) {
    if (!PerformWindowPositionLoad()) Window_->Center();
    WasOpened_ = true;
  }
  if (!QPX_Framework_CustomWindow_Open()) {
    Window_->MakeKeyAndOrderFront();
    Window_->OrderFront();
  }
  if (Window_->StyleMask() & platform::ui::kTitledWindowMask) return;
  // A window without title bar cannot be dragged back by it: it is kept on the screen.
  const Rect screen = platform::ui::Application::MainScreenFrame();
  const Rect frame = Window_->Frame();
  const bool onScreen = frame.maxX() > screen.minX() && frame.minX() < screen.maxX() &&
                        frame.maxY() > screen.minY() && frame.minY() < screen.maxY();
  if (!onScreen) {
    Window_->Center();
    return;
  }
  Point origin = frame.origin;
  origin.x = std::max(screen.minX(), std::min(origin.x, screen.maxX() - frame.width()));
  origin.y = std::max(screen.minY(), std::min(origin.y, screen.maxY() - frame.height()));
  // Taller than the screen: the top edge stays visible.
  if (frame.height() > screen.height()) origin.y = screen.maxY() - frame.height();
  if (std::trunc(origin.x) != std::trunc(frame.minX()) || std::trunc(origin.y) != std::trunc(frame.minY()))
    Window_->SetFrameOrigin(origin);
}

void QPX_Framework_PositionSavingWindow::AddEventHandler(
    const std::shared_ptr<QPX_Framework_WindowEventHandler>& handler) {
  if (!handler) return;
  if (std::find(EventHandlers_.begin(), EventHandlers_.end(), handler) == EventHandlers_.end())
    EventHandlers_.push_back(handler);
}

void QPX_Framework_PositionSavingWindow::RemoveEventHandler(
    const std::shared_ptr<QPX_Framework_WindowEventHandler>& handler) {
  EventHandlers_.erase(std::remove(EventHandlers_.begin(), EventHandlers_.end(), handler),
                       EventHandlers_.end());
}

void QPX_Framework_PositionSavingWindow::sendEvent(
    const platform::ui::Event& event, const std::function<void(const platform::ui::Event&)>& dispatch) {
  // A handler may remove itself while it is told.
  const std::vector<std::shared_ptr<QPX_Framework_WindowEventHandler>> handlers = EventHandlers_;
  for (const auto& handler : handlers) handler->BeforeSendEvent(event);
  if (dispatch) dispatch(event);
  for (const auto& handler : handlers) handler->AfterSendEvent(event);
}

bool QPX_Framework_Screensize_Get(const platform::ui::Window* /*window*/, Size& size) {
  // The layer knows one screen, the main screen, which every window is on.
  const Rect screen = platform::ui::Application::MainScreenFrame();
  if (screen.isEmpty()) return false;
  size = screen.size;
  QPX_Log(QPX_LOG_TRACE, "%g*%g", size.width, size.height);
  return true;
}
