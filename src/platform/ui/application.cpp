#include "platform/ui/application.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/run_loop.h"
#include "platform/ui/controls.h"
#include "platform/ui/event_dispatcher.h"
#include "platform/ui/menu.h"
#include "platform/ui/qt_internal.h"
#include "platform/ui/window.h"

namespace platform::ui {

// ---- Log ----

namespace {
void DefaultLog(int level, const std::string& message) {
  if (level < 2) return;
  std::fprintf(stderr, "UI[%d]: %s\n", level, message.c_str());
}
std::atomic<LogFunction> g_log{&DefaultLog};
}  // namespace

void SetLogFunction(LogFunction function) { g_log.store(function != nullptr ? function : &DefaultLog); }

void Log(int level, const char* format, ...) {
  char buffer[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  g_log.load()(level, buffer);
}

// ---- State ----

namespace {

struct State {
  std::mutex mutex;
  std::thread::id mainThread;
  std::atomic<bool> initialized{false};
  std::atomic<bool> running{false};
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> finished{false};
  bool withoutDisplay = false;
  RunLoop* mainLoop = nullptr;
  QApplication* application = nullptr;
  internal::RunLoopEventDispatcher* dispatcher = nullptr;
  std::function<bool()> terminateHandler;
  std::function<void(const Event&)> eventHook;
  std::function<void()> turnHook;
  std::shared_ptr<Menu> mainMenu;
  bool hidden = false;
  std::vector<std::shared_ptr<Window>> hiddenWindows;
};

State& TheState() {
  static auto* state = new State();
  return *state;
}

Event::Type KeyType(QEvent::Type type) {
  return type == QEvent::KeyPress ? Event::Type::KeyDown : Event::Type::KeyUp;
}

// Hands every key and mouse event to the hook before Qt delivers it.
class EventHookFilter : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    State& state = TheState();
    if (!state.eventHook || !watched->isWidgetType()) return false;
    // Qt offers one event to the window and then to each widget on the way: take it once.
    if (!static_cast<QWidget*>(watched)->isWindow()) return false;
    switch (event->type()) {
      case QEvent::KeyPress:
      case QEvent::KeyRelease: {
        auto* key = static_cast<QKeyEvent*>(event);
        Event e;
        e.type = KeyType(event->type());
        e.modifierFlags = internal::ModifierFlagsFromQt(key->modifiers());
        if (key->modifiers() & Qt::GroupSwitchModifier) e.modifierFlags |= kAlphaShiftKeyMask;
        e.characters = internal::CharactersOfKey(key->key(), key->text());
        // Without modifiers: the key's own character (lower case for letters, as typed
        // without shift).
        const int code = key->key();
        if (code >= Qt::Key_A && code <= Qt::Key_Z)
          e.charactersIgnoringModifiers = std::string(1, char('a' + (code - Qt::Key_A)));
        else
          e.charactersIgnoringModifiers = internal::CharactersOfKey(code, key->text());
        e.isARepeat = key->isAutoRepeat();
        state.eventHook(e);
        break;
      }
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        Event e;
        const bool right = mouse->button() == Qt::RightButton;
        e.type = event->type() == QEvent::MouseButtonPress
                     ? (right ? Event::Type::RightMouseDown : Event::Type::LeftMouseDown)
                     : (right ? Event::Type::RightMouseUp : Event::Type::LeftMouseUp);
        e.modifierFlags = internal::ModifierFlagsFromQt(mouse->modifiers());
        state.eventHook(e);
        break;
      }
      default:
        break;
    }
    return false;
  }
};

// Qt's own messages join the layer's log: warnings of a platform that lacks a feature
// ("does not support raise()") are traces, real failures are errors.
void QtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  const int level = type == QtCriticalMsg || type == QtFatalMsg ? 5 : 1;
  Log(level, "Qt: %s", message.toUtf8().constData());
}

bool HasDisplay() {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
}

}  // namespace

bool Application::Initialize() {
  State& state = TheState();
  if (state.initialized.load()) return true;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if ((platform == nullptr || *platform == '\0') && !HasDisplay()) {
    // Nobody can see windows: they are still made, drawn and can be saved as pictures.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    state.withoutDisplay = true;
    Log(2, "No display: windows are drawn offscreen");
  }
  qInstallMessageHandler(&QtMessages);
  state.mainThread = std::this_thread::get_id();
  state.mainLoop = &RunLoop::Current();
  state.dispatcher = new internal::RunLoopEventDispatcher(*state.mainLoop);
  QCoreApplication::setEventDispatcher(state.dispatcher);
  static int argc = 1;
  static char name[] = "Dashboard";
  static char* argv[] = {name, nullptr};
  state.application = new QApplication(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  state.application->installEventFilter(new EventHookFilter(state.application));
  state.dispatcher->SetTurnHook([] {
    State& s = TheState();
    if (s.turnHook && s.running.load()) s.turnHook();
  });
  state.initialized.store(true);
  return true;
}

bool Application::IsInitialized() { return TheState().initialized.load(); }

std::string Application::PlatformName() {
  if (!IsInitialized()) return {};
  return internal::S(QGuiApplication::platformName());
}

bool Application::StartedWithoutDisplay() { return TheState().withoutDisplay; }

bool Application::IsOffscreen() {
  const std::string name = PlatformName();
  return name == "offscreen" || name == "minimal";
}

int Application::Run() {
  State& state = TheState();
  if (!state.initialized.load() || !IsMainThread()) return 1;
  if (state.stopRequested.exchange(false)) return 0;
  state.running.store(true);
  const int status = QApplication::exec();
  state.running.store(false);
  state.stopRequested.store(false);
  return status;
}

bool Application::IsRunning() { return TheState().running.load(); }

void Application::Stop() {
  State& state = TheState();
  if (!state.initialized.load()) return;
  state.stopRequested.store(true);
  PerformOnMainThread(
      [] {
        State& s = TheState();
        if (s.running.load()) {
          s.stopRequested.store(false);
          QCoreApplication::exit(0);
        }
      },
      false);
}

void Application::Shutdown() {
  State& state = TheState();
  if (!state.initialized.load() || !IsMainThread()) return;
  for (const std::shared_ptr<Window>& window : Windows()) window->OrderOut();
  internal::VisibleWindows().clear();
  state.hiddenWindows.clear();
  state.eventHook = nullptr;
  state.turnHook = nullptr;
  state.terminateHandler = nullptr;
  state.finished.store(true);
}

void Application::SetTerminateHandler(std::function<bool()> handler) {
  PerformOnMainThread([handler = std::move(handler)] { TheState().terminateHandler = handler; }, true);
}

void Application::Terminate() {
  PerformOnMainThread(
      [] {
        std::function<bool()> handler = TheState().terminateHandler;
        if (!handler || handler()) Stop();
      },
      false);
}

void Application::SetEventHook(std::function<void(const Event&)> hook) {
  PerformOnMainThread([hook = std::move(hook)] { TheState().eventHook = hook; }, true);
}

void Application::SetTurnHook(std::function<void()> hook) {
  PerformOnMainThread([hook = std::move(hook)] { TheState().turnHook = hook; }, true);
}

void Application::SetMainMenu(const std::shared_ptr<Menu>& menu) {
  PerformOnMainThread([menu] { TheState().mainMenu = menu; }, true);
}

std::shared_ptr<Menu> Application::MainMenu() {
  return OnMainThread([] { return TheState().mainMenu; });
}

void Application::Hide() {
  PerformOnMainThread(
      [] {
        State& state = TheState();
        if (state.hidden) return;
        state.hidden = true;
        for (const std::shared_ptr<Window>& window : internal::VisibleWindows()) {
          if (!window->widget()->property("dashboardCanHide").isValid() ||
              window->widget()->property("dashboardCanHide").toBool()) {
            window->widget()->hide();
            state.hiddenWindows.push_back(window);
          }
        }
      },
      false);
}

void Application::Unhide() {
  PerformOnMainThread(
      [] {
        State& state = TheState();
        if (!state.hidden) return;
        state.hidden = false;
        std::vector<std::shared_ptr<Window>> windows = std::move(state.hiddenWindows);
        state.hiddenWindows.clear();
        for (const std::shared_ptr<Window>& window : windows)
          if (window->IsVisible()) window->OrderFront();
      },
      false);
}

bool Application::IsHidden() {
  return OnMainThread([] { return TheState().hidden; });
}

void Application::OrderFrontAboutPanel(const std::vector<std::pair<std::string, std::string>>& options) {
  PerformOnMainThread(
      [options] {
        std::string text;
        for (const auto& [key, value] : options) {
          if (!text.empty()) text += "\n";
          text += value;
        }
        static std::shared_ptr<Window>* panel = new std::shared_ptr<Window>();
        if (!*panel) {
          *panel = Window::Make(Rect(0, 0, 300, 120), kTitledWindowMask | kClosableWindowMask);
          (*panel)->SetTitle("About");
        }
        std::shared_ptr<View> content = (*panel)->ContentView();
        for (const auto& subview : content->Subviews()) subview->RemoveFromSuperview();
        auto label = TextView::Make(Rect(10, 10, 280, 100), text);
        label->SetAlignment(TextAlignment::Center);
        label->SetDrawsBackground(false);
        content->AddSubview(label);
        (*panel)->Center();
        (*panel)->MakeKeyAndOrderFront();
      },
      false);
}

Rect Application::MainScreenFrame() {
  if (!IsInitialized()) return Rect(0, 0, 1024, 768);
  return OnMainThread([] {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return Rect(0, 0, 1024, 768);
    const QRect g = screen->geometry();
    return Rect(0, 0, g.width(), g.height());
  });
}

Rect Application::MainScreenVisibleFrame() {
  if (!IsInitialized()) return Rect(0, 0, 1024, 768);
  return OnMainThread([] {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return Rect(0, 0, 1024, 768);
    const QRect full = screen->geometry();
    const QRect available = screen->availableGeometry();
    return Rect(available.x() - full.x(), full.bottom() - available.bottom(), available.width(),
                available.height());
  });
}

std::vector<std::shared_ptr<Window>> Application::Windows() {
  return OnMainThread([] {
    std::vector<std::shared_ptr<Window>> windows;
    for (const auto& weak : internal::AllWindows())
      if (std::shared_ptr<Window> window = weak.lock()) windows.push_back(window);
    return windows;
  });
}

std::vector<std::string> Application::SaveWindowSnapshots(const std::string& folder) {
  return OnMainThread([&folder] {
    std::vector<std::string> written;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    int index = 0;
    for (const std::shared_ptr<Window>& window : Windows()) {
      // Child windows are drawn into their parent's picture.
      if (!window->IsVisible() || window->ParentWindow()) continue;
      std::string title = window->Title();
      for (char& c : title)
        if (c == '/' || c == '\\' || c == ':') c = '_';
      if (title.empty()) title = "Window";
      const std::string path = folder + "/" + std::to_string(++index) + " " + title + ".png";
      if (window->SavePNG(path)) {
        written.push_back(path);
        Log(2, "Saved a picture of \"%s\" as %s", window->Title().c_str(), path.c_str());
      } else {
        Log(5, "Unable to save a picture of \"%s\" as %s", window->Title().c_str(), path.c_str());
      }
    }
    return written;
  });
}

RunLoop* Application::MainRunLoop() { return TheState().initialized.load() ? TheState().mainLoop : nullptr; }

bool IsMainThread() {
  State& state = TheState();
  if (!state.initialized.load()) return true;
  return std::this_thread::get_id() == state.mainThread;
}

void PerformOnMainThread(std::function<void()> function, bool wait) {
  if (!function) return;
  State& state = TheState();
  if (IsMainThread()) {
    function();
    return;
  }
  if (state.finished.load()) {
    Log(5, "A call for the main thread came after the application ended; dropped");
    return;
  }
  if (!wait) {
    state.mainLoop->Post(std::move(function));
    return;
  }
  struct Done {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  // Released when the loop drops the call unrun (its loop gone), so the caller never hangs.
  struct Signal {
    std::shared_ptr<Done> done;
    ~Signal() {
      std::lock_guard<std::mutex> lock(done->mutex);
      done->done = true;
      done->condition.notify_all();
    }
  };
  auto signal = std::make_shared<Signal>();
  signal->done = done;
  state.mainLoop->Post([function = std::move(function), signal]() mutable {
    function();
    signal.reset();
  });
  signal.reset();
  std::unique_lock<std::mutex> lock(done->mutex);
  done->condition.wait(lock, [&] { return done->done; });
}

}  // namespace platform::ui
