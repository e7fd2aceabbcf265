#include "platform/ui/window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <cmath>

#include "platform/assert.h"
#include "platform/notifications.h"
#include "platform/ui/application.h"
#include "platform/ui/image.h"
#include "platform/ui/menu.h"
#include "platform/ui/qt_internal.h"
#include "platform/ui/view.h"

namespace platform::ui {

using internal::Q;

namespace internal {

// The top-level widget of a window: reports size, position and close requests to its
// window and paints the window background.
class WindowWidget : public QWidget {
 public:
  explicit WindowWidget(Window* window) : window_(window) {}
  void Detach() { window_ = nullptr; }
  std::optional<Color> background;

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    if (window_ != nullptr) window_->WidgetResized();
  }
  void moveEvent(QMoveEvent* event) override {
    QWidget::moveEvent(event);
    if (window_ != nullptr) window_->WidgetMoved();
  }
  void closeEvent(QCloseEvent* event) override {
    if (window_ == nullptr || window_->WidgetShouldClose())
      event->accept();
    else
      event->ignore();
  }
  void paintEvent(QPaintEvent*) override {
    if (!background) return;
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), ToQColor(*background));
  }

 private:
  Window* window_;
};

// Windows that are on the screen are kept alive by the application, as the user sees them.
std::vector<std::shared_ptr<Window>>& VisibleWindows() {
  static auto* windows = new std::vector<std::shared_ptr<Window>>();
  return *windows;
}
std::vector<std::weak_ptr<Window>>& AllWindows() {
  static auto* windows = new std::vector<std::weak_ptr<Window>>();
  return *windows;
}

}  // namespace internal

namespace {
double ScreenHeight() { return Application::MainScreenFrame().height(); }
internal::WindowWidget* AsWindowWidget(QWidget* widget) {
  return static_cast<internal::WindowWidget*>(widget);
}
}  // namespace

Window::Window(const Rect& contentRect, unsigned styleMask) : style_(styleMask), contentRect_(contentRect) {
  PLATFORM_ASSERT(Application::IsInitialized() && IsMainThread());
  widget_ = new internal::WindowWidget(this);
  background_ = SystemColor("windowBackgroundColor");
  AsWindowWidget(widget_)->background = background_;
}

std::shared_ptr<Window> Window::Make(const Rect& contentRect, unsigned styleMask) {
  return OnMainThread([&] {
    std::shared_ptr<Window> window(new Window(contentRect, styleMask));
    window->SetContentView(View::Make(Rect(0, 0, contentRect.width(), contentRect.height())));
    window->ApplyFlags();
    window->ApplyFrame();
    auto& all = internal::AllWindows();
    all.erase(std::remove_if(all.begin(), all.end(), [](const auto& weak) { return weak.expired(); }),
              all.end());
    all.push_back(window);
    return window;
  });
}

Window::~Window() {
  AsWindowWidget(widget_)->Detach();
  // The content view may live on: its widget leaves ours first.
  if (contentView_ && contentView_->widget() != nullptr) contentView_->widget()->setParent(nullptr);
  if (contentView_) contentView_->SetWindow({});
  delete widget_;
}

QWidget* Window::widget() const { return widget_; }

unsigned Window::StyleMask() const {
  PLATFORM_UI_ANSWER_ON_MAIN(StyleMask());
  return style_;
}

void Window::SetStyleMask(unsigned styleMask) {
  PLATFORM_UI_POST_TO_MAIN(SetStyleMask(styleMask));
  const Rect content = contentRect_;
  style_ = styleMask;
  contentRect_ = content;
  ApplyFlags();
  ApplyFrame();
}

double Window::MenuBarHeight() const {
  return showsMainMenu_ && menuBar_ != nullptr ? menuBar_->sizeHint().height() : 0;
}

double Window::DecorationHeight() const {
  return ((style_ & kTitledWindowMask) ? kTitleBarHeight : 0) + MenuBarHeight();
}

Rect Window::FrameRectForContentRect(const Rect& content) const {
  PLATFORM_UI_ANSWER_ON_MAIN(FrameRectForContentRect(content));
  return Rect(content.minX(), content.minY(), content.width(), content.height() + DecorationHeight());
}

Rect Window::ContentRectForFrameRect(const Rect& frame) const {
  PLATFORM_UI_ANSWER_ON_MAIN(ContentRectForFrameRect(frame));
  return Rect(frame.minX(), frame.minY(), frame.width(), std::max(0.0, frame.height() - DecorationHeight()));
}

Rect Window::Frame() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Frame());
  return FrameRectForContentRect(contentRect_);
}

Rect Window::ContentRect() const {
  PLATFORM_UI_ANSWER_ON_MAIN(ContentRect());
  return contentRect_;
}

void Window::SetFrame(const Rect& frame) {
  PLATFORM_UI_POST_TO_MAIN(SetFrame(frame));
  const Rect old = contentRect_;
  contentRect_ = ContentRectForFrameRect(frame);
  ApplyFrame();
  if (old.size != contentRect_.size) NotificationCenter::Default().Post(kWindowDidResizeNotification, this);
  if (old.origin != contentRect_.origin) {
    for (const auto& child : children_) {
      Rect f = child->Frame();
      child->SetFrameOrigin(
          Point{f.minX() + contentRect_.minX() - old.minX(), f.minY() + contentRect_.minY() - old.minY()});
    }
    NotificationCenter::Default().Post(kWindowDidMoveNotification, this);
  }
}

void Window::SetFrameOrigin(Point origin) {
  PLATFORM_UI_POST_TO_MAIN(SetFrameOrigin(origin));
  const Rect frame = Frame();
  SetFrame(Rect(origin, frame.size));
}

void Window::SetContentSize(Size size) {
  PLATFORM_UI_POST_TO_MAIN(SetContentSize(size));
  // The top edge stays where it is, as when the user resizes.
  const Rect old = contentRect_;
  SetFrame(FrameRectForContentRect(Rect(old.minX(), old.maxY() - size.height, size.width, size.height)));
}

void Window::SetContentMinSize(Size size) {
  PLATFORM_UI_POST_TO_MAIN(SetContentMinSize(size));
  minSize_ = size;
  ApplyFrame();
}

void Window::SetContentMaxSize(Size size) {
  PLATFORM_UI_POST_TO_MAIN(SetContentMaxSize(size));
  maxSize_ = size;
  ApplyFrame();
}

Size Window::ContentMinSize() const {
  PLATFORM_UI_ANSWER_ON_MAIN(ContentMinSize());
  return minSize_;
}

Size Window::ContentMaxSize() const {
  PLATFORM_UI_ANSWER_ON_MAIN(ContentMaxSize());
  return maxSize_;
}

Size Window::MinSize() const {
  PLATFORM_UI_ANSWER_ON_MAIN(MinSize());
  return Size{minSize_.width, minSize_.height + DecorationHeight()};
}

void Window::Center() {
  PLATFORM_UI_POST_TO_MAIN(Center());
  const Rect screen = Application::MainScreenVisibleFrame();
  const Rect frame = Frame();
  SetFrameOrigin(
      Point{std::round(screen.midX() - frame.width() / 2), std::round(screen.midY() - frame.height() / 2)});
}

void Window::ApplyFrame() {
  applying_ = true;
  const int menuHeight = int(MenuBarHeight());
  const int x = int(std::lround(contentRect_.minX()));
  const int top = int(std::lround(ScreenHeight() - contentRect_.maxY())) - menuHeight;
  const int width = std::max(0, int(std::lround(contentRect_.width())));
  const int height = std::max(0, int(std::lround(contentRect_.height()))) + menuHeight;
  if (style_ & kResizableWindowMask) {
    widget_->setMinimumSize(int(minSize_.width), int(minSize_.height) + menuHeight);
    widget_->setMaximumSize(maxSize_.width > 0 ? int(maxSize_.width) : QWIDGETSIZE_MAX,
                            maxSize_.height > 0 ? int(maxSize_.height) + menuHeight : QWIDGETSIZE_MAX);
  } else {
    // Only code changes the size of a window that the user cannot resize.
    widget_->setMinimumSize(0, 0);
    widget_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  }
  widget_->setGeometry(x, top, width, height);
  if (!(style_ & kResizableWindowMask)) widget_->setFixedSize(width, height);
  LayoutContent();
  applying_ = false;
}

void Window::LayoutContent() {
  const int menuHeight = int(MenuBarHeight());
  if (menuBar_ != nullptr) {
    menuBar_->setVisible(showsMainMenu_);
    menuBar_->setGeometry(0, 0, int(std::lround(contentRect_.width())), menuHeight);
  }
  if (contentView_) {
    contentView_->SetFrame(Rect(0, 0, contentRect_.width(), contentRect_.height()));
    contentView_->widget()->move(0, menuHeight);
  }
}

void Window::ApplyFlags() {
  const bool wasVisible = widget_->isVisible();
  Qt::WindowFlags flags = Qt::Window;
  if (style_ & kUtilityWindowMask) flags = Qt::Tool;
  if (!(style_ & kTitledWindowMask)) {
    flags |= Qt::FramelessWindowHint;
  } else {
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (style_ & kClosableWindowMask) flags |= Qt::WindowCloseButtonHint;
    if (style_ & kMiniaturizableWindowMask) flags |= Qt::WindowMinimizeButtonHint;
    if (style_ & kResizableWindowMask) flags |= Qt::WindowMaximizeButtonHint;
  }
  if (level_ > kNormalWindowLevel) flags |= Qt::WindowStaysOnTopHint;
  if (ignoresMouse_) flags |= Qt::WindowTransparentForInput;
  widget_->setWindowFlags(flags);
  widget_->setAttribute(Qt::WA_TransparentForMouseEvents, ignoresMouse_);
  const bool clear = !opaque_ && background_ && background_->alpha < 1;
  widget_->setAttribute(Qt::WA_TranslucentBackground, clear);
  widget_->setWindowOpacity(alpha_);
  if (wasVisible) widget_->show();
}

void Window::WidgetResized() {
  if (applying_) return;
  const QRect geometry = widget_->geometry();
  const int menuHeight = int(MenuBarHeight());
  const Rect old = contentRect_;
  contentRect_ = Rect(geometry.x(), ScreenHeight() - geometry.y() - geometry.height(), geometry.width(),
                      geometry.height() - menuHeight);
  LayoutContent();
  if (old.size != contentRect_.size) NotificationCenter::Default().Post(kWindowDidResizeNotification, this);
}

void Window::WidgetMoved() {
  if (applying_) return;
  const QRect geometry = widget_->geometry();
  const Rect old = contentRect_;
  contentRect_.origin = Point{double(geometry.x()), ScreenHeight() - geometry.y() - geometry.height()};
  if (old.origin == contentRect_.origin) return;
  for (const auto& child : children_) {
    Rect f = child->Frame();
    child->SetFrameOrigin(
        Point{f.minX() + contentRect_.minX() - old.minX(), f.minY() + contentRect_.minY() - old.minY()});
  }
  NotificationCenter::Default().Post(kWindowDidMoveNotification, this);
}

bool Window::WidgetShouldClose() {
  std::shared_ptr<Window> keep = shared_from_this();
  if (shouldClose_ && !shouldClose_()) return false;
  // Qt hides the widget itself once the close is accepted; the bookkeeping is ours.
  Close();
  return true;
}

std::shared_ptr<View> Window::ContentView() const {
  PLATFORM_UI_ANSWER_ON_MAIN(ContentView());
  return contentView_;
}

void Window::SetContentView(const std::shared_ptr<View>& view) {
  PLATFORM_UI_POST_TO_MAIN(SetContentView(view));
  if (!view) return;
  if (contentView_) {
    contentView_->widget()->hide();
    contentView_->widget()->setParent(nullptr);
    contentView_->SetWindow({});
  }
  view->RemoveFromSuperview();
  contentView_ = view;
  view->widget()->setParent(widget_);
  view->SetWindow(weak_from_this());
  LayoutContent();
  view->widget()->setVisible(!view->IsHidden());
}

std::string Window::Title() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Title());
  return title_;
}

void Window::SetTitle(const std::string& title) {
  PLATFORM_UI_POST_TO_MAIN(SetTitle(title));
  title_ = title;
  widget_->setWindowTitle(Q(title));
}

void Window::SetBackgroundColor(const Color& color) {
  PLATFORM_UI_POST_TO_MAIN(SetBackgroundColor(color));
  background_ = color;
  AsWindowWidget(widget_)->background = color;
  ApplyFlags();
  widget_->update();
}

Color Window::BackgroundColor() const {
  PLATFORM_UI_ANSWER_ON_MAIN(BackgroundColor());
  return background_.value_or(Color::Clear());
}

void Window::SetOpaque(bool opaque) {
  PLATFORM_UI_POST_TO_MAIN(SetOpaque(opaque));
  opaque_ = opaque;
  ApplyFlags();
}

bool Window::IsOpaque() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsOpaque());
  return opaque_;
}

void Window::SetAlphaValue(double alpha) {
  PLATFORM_UI_POST_TO_MAIN(SetAlphaValue(alpha));
  alpha_ = std::clamp(alpha, 0.0, 1.0);
  widget_->setWindowOpacity(alpha_);
}

double Window::AlphaValue() const {
  PLATFORM_UI_ANSWER_ON_MAIN(AlphaValue());
  return alpha_;
}

void Window::SetHasShadow(bool shadow) {
  PLATFORM_UI_POST_TO_MAIN(SetHasShadow(shadow));
  widget_->setAttribute(Qt::WA_NoSystemBackground, !shadow && !opaque_);
}

void Window::SetLevel(int level) {
  PLATFORM_UI_POST_TO_MAIN(SetLevel(level));
  if (level_ == level) return;
  level_ = level;
  ApplyFlags();
}

int Window::Level() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Level());
  return level_;
}

void Window::SetIgnoresMouseEvents(bool ignores) {
  PLATFORM_UI_POST_TO_MAIN(SetIgnoresMouseEvents(ignores));
  if (ignoresMouse_ == ignores) return;
  ignoresMouse_ = ignores;
  ApplyFlags();
}

bool Window::IgnoresMouseEvents() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IgnoresMouseEvents());
  return ignoresMouse_;
}

void Window::SetShowsMainMenu(bool shows) {
  PLATFORM_UI_POST_TO_MAIN(SetShowsMainMenu(shows));
  showsMainMenu_ = shows;
  if (shows) {
    if (menuBar_ == nullptr) menuBar_ = new QMenuBar(widget_);
    auto* bar = static_cast<QMenuBar*>(menuBar_);
    bar->clear();
    if (std::shared_ptr<Menu> main = Application::MainMenu()) {
      for (const std::shared_ptr<MenuItem>& item : main->Items()) {
        if (std::shared_ptr<Menu> submenu = item->Submenu()) bar->addMenu(submenu->qmenu());
      }
    }
  }
  ApplyFrame();
}

void Window::SetCanHide(bool canHide) {
  PLATFORM_UI_POST_TO_MAIN(SetCanHide(canHide));
  canHide_ = canHide;
  widget_->setProperty("dashboardCanHide", canHide);
}

void Window::SetIdentifier(const std::string& identifier) {
  PLATFORM_UI_POST_TO_MAIN(SetIdentifier(identifier));
  identifier_ = identifier;
  widget_->setObjectName(Q(identifier));
}

std::string Window::Identifier() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Identifier());
  return identifier_;
}

void Window::MakeKeyAndOrderFront() {
  PLATFORM_UI_POST_TO_MAIN(MakeKeyAndOrderFront());
  OrderFront();
  widget_->activateWindow();
}

void Window::OrderFront() {
  PLATFORM_UI_POST_TO_MAIN(OrderFront());
  auto& visible = internal::VisibleWindows();
  if (std::find(visible.begin(), visible.end(), shared_from_this()) == visible.end())
    visible.push_back(shared_from_this());
  visible_ = true;
  if (!Application::IsHidden() || !canHide_) {
    ApplyFrame();
    widget_->show();
    widget_->raise();
  }
  for (const auto& child : children_) {
    if (child->visible_) child->OrderFront();
  }
}

void Window::OrderOut() {
  PLATFORM_UI_POST_TO_MAIN(OrderOut());
  std::shared_ptr<Window> keep = shared_from_this();
  visible_ = false;
  widget_->hide();
  for (const auto& child : children_) child->widget_->hide();
  auto& visible = internal::VisibleWindows();
  visible.erase(std::remove(visible.begin(), visible.end(), keep), visible.end());
}

bool Window::IsVisible() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsVisible());
  return visible_;
}

bool Window::IsKeyWindow() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsKeyWindow());
  return widget_->isActiveWindow();
}

void Window::Close() {
  PLATFORM_UI_POST_TO_MAIN(Close());
  std::shared_ptr<Window> keep = shared_from_this();
  NotificationCenter::Default().Post(kWindowWillCloseNotification, this);
  OrderOut();
}

void Window::SetShouldCloseHandler(std::function<bool()> handler) {
  PLATFORM_UI_POST_TO_MAIN(SetShouldCloseHandler(handler));
  shouldClose_ = std::move(handler);
}

void Window::AddChildWindow(const std::shared_ptr<Window>& child) {
  PLATFORM_UI_POST_TO_MAIN(AddChildWindow(child));
  if (!child || child.get() == this) return;
  if (std::shared_ptr<Window> old = child->parent_.lock()) old->RemoveChildWindow(child);
  children_.push_back(child);
  child->parent_ = weak_from_this();
  if (visible_) child->OrderFront();
}

void Window::RemoveChildWindow(const std::shared_ptr<Window>& child) {
  PLATFORM_UI_POST_TO_MAIN(RemoveChildWindow(child));
  auto it = std::find(children_.begin(), children_.end(), child);
  if (it == children_.end()) return;
  children_.erase(it);
  child->parent_.reset();
}

std::vector<std::shared_ptr<Window>> Window::ChildWindows() const {
  PLATFORM_UI_ANSWER_ON_MAIN(ChildWindows());
  return children_;
}

std::shared_ptr<Window> Window::ParentWindow() const {
  PLATFORM_UI_ANSWER_ON_MAIN(ParentWindow());
  return parent_.lock();
}

void Window::EndSheet() {
  PLATFORM_UI_POST_TO_MAIN(EndSheet());
  NotificationCenter::Default().Post(kWindowDidEndSheetNotification, this);
}

std::shared_ptr<Image> Window::Snapshot() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Snapshot());
  QImage picture = widget_->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
  if (!background_ || background_->alpha >= 1 || opaque_) {
    // grab() leaves what the window does not paint transparent; an opaque window shows its
    // background there.
    QImage filled(picture.size(), QImage::Format_ARGB32_Premultiplied);
    filled.fill(internal::ToQColor(background_.value_or(Color::White())));
    QPainter painter(&filled);
    painter.drawImage(0, 0, picture);
    painter.end();
    picture = filled;
  }
  QPainter painter(&picture);
  const QRect own = widget_->geometry();
  for (const auto& child : children_) {
    if (!child->visible_) continue;
    std::shared_ptr<Image> childPicture = child->Snapshot();
    const QRect geometry = child->widget_->geometry();
    painter.drawImage(geometry.x() - own.x(), geometry.y() - own.y(), childPicture->qimage());
  }
  painter.end();
  return Image::FromQImage(picture);
}

bool Window::SavePNG(const std::string& path) const {
  PLATFORM_UI_ANSWER_ON_MAIN(SavePNG(path));
  std::shared_ptr<Image> picture = Snapshot();
  return picture && picture->SavePNG(path);
}

}  // namespace platform::ui
