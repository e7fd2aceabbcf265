#pragma once
// Windows: a content view inside a frame on the screen (screen coordinates with the origin
// at the bottom left of the main screen), a style, a level, a background, child windows
// that move with their parent and stay above it, and notices of resizing and closing
// through the notification centre (sender: the window).
//
// All methods belong to the main thread; called elsewhere they are posted there (or wait
// there for an answer), as for views.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/geometry.h"

class QWidget;

namespace platform::ui {

class Image;
class Menu;
class View;

// Notices posted by windows (sender: the Window*).
inline constexpr const char* kWindowDidResizeNotification = "WindowDidResize";
inline constexpr const char* kWindowDidMoveNotification = "WindowDidMove";
inline constexpr const char* kWindowDidEndSheetNotification = "WindowDidEndSheet";
inline constexpr const char* kWindowWillCloseNotification = "WindowWillClose";

// Style mask bits.
inline constexpr unsigned kBorderlessWindowMask = 0;
inline constexpr unsigned kTitledWindowMask = 1;
inline constexpr unsigned kClosableWindowMask = 2;
inline constexpr unsigned kMiniaturizableWindowMask = 4;
inline constexpr unsigned kResizableWindowMask = 8;
inline constexpr unsigned kUtilityWindowMask = 16;

// Window levels.
inline constexpr int kNormalWindowLevel = 0;
inline constexpr int kFloatingWindowLevel = 3;
inline constexpr int kModalPanelWindowLevel = 8;
inline constexpr int kStatusWindowLevel = 25;
inline constexpr int kPopUpMenuWindowLevel = 101;

class Window : public std::enable_shared_from_this<Window> {
 public:
  // The height the title bar adds above the content of a titled window.
  static constexpr double kTitleBarHeight = 22;

  static std::shared_ptr<Window> Make(const Rect& contentRect, unsigned styleMask);
  ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  unsigned StyleMask() const;
  void SetStyleMask(unsigned styleMask);

  // ---- Geometry (screen coordinates) ----
  Rect Frame() const;
  void SetFrame(const Rect& frame);
  void SetFrameOrigin(Point origin);
  Rect ContentRect() const;
  void SetContentSize(Size size);
  Rect FrameRectForContentRect(const Rect& contentRect) const;
  Rect ContentRectForFrameRect(const Rect& frame) const;
  // Limits of the content size; zero sizes mean no limit. Not resizable without the style.
  void SetContentMinSize(Size size);
  void SetContentMaxSize(Size size);
  Size ContentMinSize() const;
  Size ContentMaxSize() const;
  // Frame limits (the content limits plus the title bar).
  Size MinSize() const;
  void Center();

  // ---- Contents ----
  std::shared_ptr<View> ContentView() const;
  void SetContentView(const std::shared_ptr<View>& view);
  std::string Title() const;
  void SetTitle(const std::string& title);
  void SetBackgroundColor(const Color& color);
  Color BackgroundColor() const;
  void SetOpaque(bool opaque);
  bool IsOpaque() const;
  void SetAlphaValue(double alpha);
  double AlphaValue() const;
  void SetHasShadow(bool shadow);
  void SetLevel(int level);
  int Level() const;
  void SetIgnoresMouseEvents(bool ignores);
  bool IgnoresMouseEvents() const;
  // Shows the main menu as a menu bar above the content (the frame grows by its height).
  void SetShowsMainMenu(bool shows);
  // A window that cannot be hidden stays when the application hides.
  void SetCanHide(bool canHide);
  void SetIdentifier(const std::string& identifier);
  std::string Identifier() const;

  // ---- Order ----
  void MakeKeyAndOrderFront();
  void OrderFront();
  void OrderOut();
  bool IsVisible() const;
  bool IsKeyWindow() const;
  // Orders out, posts kWindowWillCloseNotification; the window stays usable.
  void Close();
  // Asked when the user closes the window; false keeps it open.
  void SetShouldCloseHandler(std::function<bool()> handler);

  // ---- Child windows: move with the parent, ordered above it ----
  void AddChildWindow(const std::shared_ptr<Window>& child);
  void RemoveChildWindow(const std::shared_ptr<Window>& child);
  std::vector<std::shared_ptr<Window>> ChildWindows() const;
  std::shared_ptr<Window> ParentWindow() const;

  // Sheets: a sheet ending posts kWindowDidEndSheetNotification for this window.
  void EndSheet();

  // ---- Pictures ----
  // What the window shows, with its visible child windows drawn over it at their places.
  std::shared_ptr<Image> Snapshot() const;
  bool SavePNG(const std::string& path) const;

  // Internal.
  QWidget* widget() const;
  // Called by the Qt side when the user resized or moved the window.
  void WidgetResized();
  void WidgetMoved();
  bool WidgetShouldClose();

 private:
  Window(const Rect& contentRect, unsigned styleMask);
  void ApplyFrame();
  void ApplyFlags();
  void LayoutContent();
  double DecorationHeight() const;
  double MenuBarHeight() const;

  QWidget* widget_ = nullptr;
  QWidget* menuBar_ = nullptr;
  unsigned style_;
  Rect contentRect_;
  Size minSize_;
  Size maxSize_;
  std::string title_;
  std::string identifier_;
  std::optional<Color> background_;
  bool opaque_ = true;
  double alpha_ = 1;
  int level_ = kNormalWindowLevel;
  bool ignoresMouse_ = false;
  bool visible_ = false;
  bool canHide_ = true;
  bool showsMainMenu_ = false;
  bool applying_ = false;
  std::shared_ptr<View> contentView_;
  std::vector<std::shared_ptr<Window>> children_;
  std::weak_ptr<Window> parent_;
  std::function<bool()> shouldClose_;
};

}  // namespace platform::ui
