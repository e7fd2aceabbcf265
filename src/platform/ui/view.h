#pragma once
// Views: rectangles in their superview's coordinates (origin bottom left, y up, unless the
// superview is flipped), with ordered subviews, a hidden flag, a drawing hook, hit-testing
// of our own and mouse hooks. Each view is one Qt widget; its frame is converted to Qt's
// top-left coordinates whenever it or its superview changes.
//
// All methods belong to the main thread. Called from another thread, a method that returns
// nothing is posted to the main thread; one that returns a value waits for it there.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/event.h"
#include "platform/ui/font.h"
#include "platform/ui/geometry.h"

class QWidget;
class QPainter;

namespace platform::ui {

class Image;
class Window;
class View;

// Text alignment of texts and controls.
enum class TextAlignment { Left = 0, Right = 1, Center = 2, Justified = 3, Natural = 4 };

// Drawing inside a view's drawing hook or into an image, in the view's coordinates.
class Painter {
 public:
  // `height` is the drawing area's height; with `flipped` false the y axis is turned so that
  // the origin is at the bottom left.
  Painter(QPainter& painter, double height, bool flipped);

  void FillRect(const Rect& rect, const Color& color);
  void StrokeRect(const Rect& rect, const Color& color, double lineWidth = 1);
  void FillEllipse(const Rect& rect, const Color& color);
  void DrawLine(Point from, Point to, const Color& color, double lineWidth = 1);
  // The image scaled into the rectangle; `copy` replaces what is there instead of blending.
  void DrawImage(const Image& image, const Rect& rect, double opacity = 1, bool copy = false);
  // A text inside the rectangle, aligned horizontally, from the top of the rectangle.
  void DrawText(const std::string& text, const Rect& rect, const Font& font, const Color& color,
                TextAlignment alignment = TextAlignment::Left);

  void Save();
  void Restore();
  void Translate(double dx, double dy);
  void Scale(double sx, double sy);
  // Degrees, counter-clockwise in these coordinates.
  void Rotate(double degrees);

  QPainter& qpainter() { return painter_; }

 private:
  QPainter& painter_;
  bool yUp_;
};

class View : public std::enable_shared_from_this<View> {
 public:
  static std::shared_ptr<View> Make(const Rect& frame = Rect());
  virtual ~View();
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // ---- Geometry ----
  Rect Frame() const;
  void SetFrame(const Rect& frame);
  void SetFrameOrigin(Point origin);
  void SetFrameSize(Size size);
  // The view's own coordinates: origin (0, 0), the frame's size.
  Rect Bounds() const;
  bool IsFlipped() const;
  void SetFlipped(bool flipped);
  // Converts a point between this view's coordinates and its window's content coordinates.
  Point ConvertToWindow(Point point) const;
  Point ConvertFromWindow(Point point) const;
  // Frame rotation in degrees (counter-clockwise): the view is drawn turned about its
  // centre; hit-testing and layout still use the frame.
  double FrameRotation() const;
  void SetFrameRotation(double degrees);

  // ---- Hierarchy ----
  // Adds on top of the other subviews (a view in another superview moves here).
  void AddSubview(const std::shared_ptr<View>& view);
  // Above or below `relativeTo` (null: on top / at the bottom).
  enum class Order { Above, Below };
  void AddSubview(const std::shared_ptr<View>& view, Order order, const std::shared_ptr<View>& relativeTo);
  void RemoveFromSuperview();
  // Bottom first.
  std::vector<std::shared_ptr<View>> Subviews() const;
  std::shared_ptr<View> Superview() const;
  // The window whose content the view is in, or null.
  std::shared_ptr<Window> GetWindow() const;

  // ---- Display ----
  bool IsHidden() const;
  void SetHidden(bool hidden);
  // Hidden itself or through a superview.
  bool IsHiddenOrHasHiddenAncestor() const;
  void SetNeedsDisplay();
  // Background filled before Draw; none by default (transparent).
  void SetBackgroundColor(const std::optional<Color>& color);
  std::optional<Color> BackgroundColor() const;
  void SetToolTip(const std::string& text);
  // Fits the frame to the content (controls); plain views keep their size.
  virtual void SizeToFit() {}
  // Views that take a minimum and maximum size (text views) answer true and keep them.
  virtual bool SupportsMinMaxSize() const { return false; }
  virtual void SetMinSize(Size) {}
  virtual void SetMaxSize(Size) {}
  // Views that can be resized in either direction by their content (text views).
  virtual bool SupportsResizability() const { return false; }
  virtual void SetResizable(bool /*horizontally*/, bool /*vertically*/) {}

  // ---- Hooks ----
  // Draws the view in its own coordinates; the default draws nothing. A drawing function
  // set with SetDrawHook runs instead, for views that are not subclassed.
  virtual void Draw(Painter& painter, const Rect& dirtyRect);
  void SetDrawHook(std::function<void(View&, Painter&, const Rect&)> hook);
  // The deepest view under the point (in the superview's coordinates), or null. Hidden views
  // and views that let clicks pass are never hit.
  virtual View* HitTest(Point pointInSuperview);
  // Lets every click through to what lies below.
  void SetPassesClicks(bool passes);
  bool PassesClicks() const;
  virtual void MouseDown(const Event& event);
  virtual void MouseUp(const Event& event);
  virtual void MouseDragged(const Event& event);
  virtual void MouseEntered(const Event& event);
  virtual void MouseExited(const Event& event);
  virtual void RightMouseDown(const Event& event);
  // Asks for MouseEntered / MouseExited.
  void SetTracksMouse(bool tracks);

  // A name for descriptions and tests.
  void SetIdentifier(const std::string& identifier);
  std::string Identifier() const;

  // Internal: the Qt widget of the view.
  QWidget* widget() const;

 protected:
  View();
  // Subclasses that are Qt controls hand their widget in before anything else uses it.
  void AdoptWidget(QWidget* widget);
  // Called after the frame changed (on the main thread).
  virtual void FrameChanged() {}

 private:
  friend class Window;
  friend class ViewWidget;
  void ApplyGeometry();
  void ApplyChildGeometry();
  void SetWindow(const std::weak_ptr<Window>& window);
  void RestackWidgets();

  QWidget* widget_ = nullptr;  // owned (deleted with the view unless a parent widget went first)
  std::shared_ptr<bool> widgetAlive_;
  Rect frame_;
  bool flipped_ = false;
  bool hidden_ = false;
  bool passesClicks_ = false;
  double rotation_ = 0;
  std::optional<Color> background_;
  std::string identifier_;
  std::vector<std::shared_ptr<View>> subviews_;
  std::weak_ptr<View> superview_;
  std::weak_ptr<Window> window_;
  std::function<void(View&, Painter&, const Rect&)> drawHook_;
};

}  // namespace platform::ui
