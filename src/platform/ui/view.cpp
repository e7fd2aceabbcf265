#include "platform/ui/view.h"

#include <QPainter>
#include <QPainterPath>
#include <QTextOption>
#include <algorithm>
#include <cmath>

#include "platform/assert.h"
#include "platform/ui/application.h"
#include "platform/ui/image.h"
#include "platform/ui/qt_internal.h"
#include "platform/ui/window.h"

namespace platform::ui {

using internal::Q;

// ---- Painter ----

Painter::Painter(QPainter& painter, double height, bool flipped) : painter_(painter), yUp_(!flipped) {
  if (yUp_) {
    painter_.translate(0, height);
    painter_.scale(1, -1);
  }
}

namespace {
QRectF ToQRect(const Rect& rect) { return QRectF(rect.minX(), rect.minY(), rect.width(), rect.height()); }
}  // namespace

void Painter::FillRect(const Rect& rect, const Color& color) {
  painter_.fillRect(ToQRect(rect), internal::ToQColor(color));
}

void Painter::StrokeRect(const Rect& rect, const Color& color, double lineWidth) {
  painter_.save();
  QPen pen(internal::ToQColor(color));
  pen.setWidthF(lineWidth);
  painter_.setPen(pen);
  painter_.setBrush(Qt::NoBrush);
  painter_.drawRect(ToQRect(rect.insetBy(lineWidth / 2, lineWidth / 2)));
  painter_.restore();
}

void Painter::FillEllipse(const Rect& rect, const Color& color) {
  painter_.save();
  painter_.setPen(Qt::NoPen);
  painter_.setBrush(internal::ToQColor(color));
  painter_.drawEllipse(ToQRect(rect));
  painter_.restore();
}

void Painter::DrawLine(Point from, Point to, const Color& color, double lineWidth) {
  painter_.save();
  QPen pen(internal::ToQColor(color));
  pen.setWidthF(lineWidth);
  painter_.setPen(pen);
  painter_.drawLine(QPointF(from.x, from.y), QPointF(to.x, to.y));
  painter_.restore();
}

void Painter::DrawImage(const Image& image, const Rect& rect, double opacity, bool copy) {
  painter_.save();
  painter_.setOpacity(std::clamp(opacity, 0.0, 1.0));
  if (copy) painter_.setCompositionMode(QPainter::CompositionMode_Source);
  if (yUp_) {
    // Images are stored top row first: draw them upright in the turned coordinates.
    painter_.translate(0, rect.minY() + rect.maxY());
    painter_.scale(1, -1);
  }
  painter_.drawImage(ToQRect(rect), image.qimage());
  painter_.restore();
}

void Painter::DrawText(const std::string& text, const Rect& rect, const Font& font, const Color& color,
                       TextAlignment alignment) {
  painter_.save();
  if (yUp_) {
    painter_.translate(0, rect.minY() + rect.maxY());
    painter_.scale(1, -1);
  }
  painter_.setFont(internal::ToQFont(font));
  painter_.setPen(internal::ToQColor(color));
  QTextOption option(internal::ToQtHorizontal(alignment) | Qt::AlignTop);
  option.setWrapMode(QTextOption::WordWrap);
  painter_.drawText(ToQRect(rect), Q(text), option);
  painter_.restore();
}

void Painter::Save() { painter_.save(); }
void Painter::Restore() { painter_.restore(); }
void Painter::Translate(double dx, double dy) { painter_.translate(dx, dy); }
void Painter::Scale(double sx, double sy) { painter_.scale(sx, sy); }
void Painter::Rotate(double degrees) { painter_.rotate(yUp_ ? degrees : -degrees); }

// ---- View ----

View::View() : widgetAlive_(std::make_shared<bool>(true)) {
  PLATFORM_ASSERT(Application::IsInitialized() && IsMainThread());
  widget_ = new internal::ViewWidget(this);
}

std::shared_ptr<View> View::Make(const Rect& frame) {
  return OnMainThread([&] {
    std::shared_ptr<View> view(new View());
    view->SetFrame(frame);
    return view;
  });
}

View::~View() {
  if (auto* plain = dynamic_cast<internal::ViewWidget*>(widget_)) plain->Detach();
  // The subviews' widgets are children of ours: unhook them first, so that views still held
  // elsewhere keep their widgets.
  for (const std::shared_ptr<View>& subview : subviews_) {
    subview->superview_.reset();
    if (subview->widget_ != nullptr) subview->widget_->setParent(nullptr);
  }
  delete widget_;
}

void View::AdoptWidget(QWidget* widget) {
  PLATFORM_ASSERT(widget != nullptr);
  if (widget == widget_) return;
  delete widget_;
  widget_ = widget;
  ApplyGeometry();
}

QWidget* View::widget() const { return widget_; }

Rect View::Frame() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Frame());
  return frame_;
}

void View::SetFrame(const Rect& frame) {
  PLATFORM_UI_POST_TO_MAIN(SetFrame(frame));
  const bool resized = frame.size != frame_.size;
  frame_ = frame;
  ApplyGeometry();
  if (resized) ApplyChildGeometry();
  FrameChanged();
}

void View::SetFrameOrigin(Point origin) {
  PLATFORM_UI_POST_TO_MAIN(SetFrameOrigin(origin));
  SetFrame(Rect(origin, frame_.size));
}

void View::SetFrameSize(Size size) {
  PLATFORM_UI_POST_TO_MAIN(SetFrameSize(size));
  SetFrame(Rect(frame_.origin, size));
}

Rect View::Bounds() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Bounds());
  return Rect(0, 0, frame_.width(), frame_.height());
}

bool View::IsFlipped() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsFlipped());
  return flipped_;
}

void View::SetFlipped(bool flipped) {
  PLATFORM_UI_POST_TO_MAIN(SetFlipped(flipped));
  if (flipped_ == flipped) return;
  flipped_ = flipped;
  ApplyChildGeometry();
  SetNeedsDisplay();
}

double View::FrameRotation() const {
  PLATFORM_UI_ANSWER_ON_MAIN(FrameRotation());
  return rotation_;
}

void View::SetFrameRotation(double degrees) {
  PLATFORM_UI_POST_TO_MAIN(SetFrameRotation(degrees));
  rotation_ = degrees;
  SetNeedsDisplay();
}

Point View::ConvertToWindow(Point point) const {
  PLATFORM_UI_ANSWER_ON_MAIN(ConvertToWindow(point));
  Point p = point;
  std::shared_ptr<const View> view = shared_from_this();
  for (;;) {
    // The point measured up from the view's bottom edge.
    const Point up = view->flipped_ ? Point{p.x, view->frame_.height() - p.y} : p;
    std::shared_ptr<View> super = view->superview_.lock();
    if (!super) return up;  // the top view lies at the window content's origin
    const Rect& f = view->frame_;
    p = super->flipped_ ? Point{f.minX() + up.x, f.minY() + f.height() - up.y}
                        : Point{f.minX() + up.x, f.minY() + up.y};
    view = super;
  }
}

Point View::ConvertFromWindow(Point point) const {
  PLATFORM_UI_ANSWER_ON_MAIN(ConvertFromWindow(point));
  // The inverse of ConvertToWindow, found through the origin and the axis direction.
  const Point origin = ConvertToWindow(Point{0, 0});
  const Point unit = ConvertToWindow(Point{0, 1});
  const double direction = unit.y >= origin.y ? 1 : -1;
  return Point{point.x - origin.x, (point.y - origin.y) * direction};
}

void View::AddSubview(const std::shared_ptr<View>& view) { AddSubview(view, Order::Above, nullptr); }

void View::AddSubview(const std::shared_ptr<View>& view, Order order,
                      const std::shared_ptr<View>& relativeTo) {
  PLATFORM_UI_POST_TO_MAIN(AddSubview(view, order, relativeTo));
  if (!view || view.get() == this) return;
  std::shared_ptr<View> keep = view;
  if (std::shared_ptr<View> old = view->superview_.lock()) {
    auto& list = old->subviews_;
    list.erase(std::remove(list.begin(), list.end(), view), list.end());
  }
  auto position = subviews_.end();
  if (relativeTo) {
    auto it = std::find(subviews_.begin(), subviews_.end(), relativeTo);
    if (it != subviews_.end()) position = order == Order::Above ? it + 1 : it;
  } else if (order == Order::Below) {
    position = subviews_.begin();
  }
  subviews_.insert(position, view);
  view->superview_ = weak_from_this();
  view->widget_->setParent(widget_);
  view->SetWindow(window_);
  view->ApplyGeometry();
  view->widget_->setVisible(!view->hidden_);
  RestackWidgets();
}

void View::RemoveFromSuperview() {
  PLATFORM_UI_POST_TO_MAIN(RemoveFromSuperview());
  std::shared_ptr<View> super = superview_.lock();
  if (!super) return;
  std::shared_ptr<View> keep = shared_from_this();
  auto& list = super->subviews_;
  list.erase(std::remove(list.begin(), list.end(), keep), list.end());
  superview_.reset();
  widget_->hide();
  widget_->setParent(nullptr);
  SetWindow({});
}

std::vector<std::shared_ptr<View>> View::Subviews() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Subviews());
  return subviews_;
}

std::shared_ptr<View> View::Superview() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Superview());
  return superview_.lock();
}

std::shared_ptr<Window> View::GetWindow() const {
  PLATFORM_UI_ANSWER_ON_MAIN(GetWindow());
  return window_.lock();
}

void View::SetWindow(const std::weak_ptr<Window>& window) {
  window_ = window;
  for (const std::shared_ptr<View>& subview : subviews_) subview->SetWindow(window);
}

bool View::IsHidden() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsHidden());
  return hidden_;
}

void View::SetHidden(bool hidden) {
  PLATFORM_UI_POST_TO_MAIN(SetHidden(hidden));
  hidden_ = hidden;
  // Only views inside a parent widget are shown or hidden here; a top view belongs to its
  // window, which shows it.
  if (widget_->parentWidget() != nullptr) widget_->setVisible(!hidden);
}

bool View::IsHiddenOrHasHiddenAncestor() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsHiddenOrHasHiddenAncestor());
  for (const View* view = this; view != nullptr;) {
    if (view->hidden_) return true;
    std::shared_ptr<View> super = view->superview_.lock();
    view = super.get();
  }
  return false;
}

void View::SetNeedsDisplay() {
  PLATFORM_UI_POST_TO_MAIN(SetNeedsDisplay());
  widget_->update();
}

void View::SetBackgroundColor(const std::optional<Color>& color) {
  PLATFORM_UI_POST_TO_MAIN(SetBackgroundColor(color));
  background_ = color;
  SetNeedsDisplay();
}

std::optional<Color> View::BackgroundColor() const {
  PLATFORM_UI_ANSWER_ON_MAIN(BackgroundColor());
  return background_;
}

void View::SetToolTip(const std::string& text) {
  PLATFORM_UI_POST_TO_MAIN(SetToolTip(text));
  widget_->setToolTip(Q(text));
}

void View::Draw(Painter& painter, const Rect& dirtyRect) {
  if (drawHook_) drawHook_(*this, painter, dirtyRect);
}

void View::SetDrawHook(std::function<void(View&, Painter&, const Rect&)> hook) {
  PLATFORM_UI_POST_TO_MAIN(SetDrawHook(hook));
  drawHook_ = std::move(hook);
  SetNeedsDisplay();
}

View* View::HitTest(Point pointInSuperview) {
  if (hidden_ || passesClicks_ || !frame_.contains(pointInSuperview)) return nullptr;
  std::shared_ptr<View> super = superview_.lock();
  // The point measured up from this view's bottom edge, then in its own coordinates.
  const double up =
      super && super->flipped_ ? frame_.maxY() - pointInSuperview.y : pointInSuperview.y - frame_.minY();
  const Point inner{pointInSuperview.x - frame_.minX(), flipped_ ? frame_.height() - up : up};
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    if (View* hit = (*it)->HitTest(inner)) return hit;
  }
  return this;
}

void View::SetPassesClicks(bool passes) {
  PLATFORM_UI_POST_TO_MAIN(SetPassesClicks(passes));
  passesClicks_ = passes;
  widget_->setAttribute(Qt::WA_TransparentForMouseEvents, passes);
}

bool View::PassesClicks() const {
  PLATFORM_UI_ANSWER_ON_MAIN(PassesClicks());
  return passesClicks_;
}

void View::MouseDown(const Event&) { internal::g_eventUnhandled = true; }
void View::MouseUp(const Event&) { internal::g_eventUnhandled = true; }
void View::MouseDragged(const Event&) { internal::g_eventUnhandled = true; }
void View::MouseEntered(const Event&) {}
void View::MouseExited(const Event&) {}
void View::RightMouseDown(const Event&) { internal::g_eventUnhandled = true; }

void View::SetTracksMouse(bool tracks) {
  PLATFORM_UI_POST_TO_MAIN(SetTracksMouse(tracks));
  widget_->setMouseTracking(tracks);
  widget_->setAttribute(Qt::WA_Hover, tracks);
}

void View::SetIdentifier(const std::string& identifier) {
  PLATFORM_UI_POST_TO_MAIN(SetIdentifier(identifier));
  identifier_ = identifier;
  widget_->setObjectName(Q(identifier));
}

std::string View::Identifier() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Identifier());
  return identifier_;
}

void View::ApplyGeometry() {
  if (widget_ == nullptr) return;
  std::shared_ptr<View> super = superview_.lock();
  double top;
  if (!super) {
    top = 0;  // a top view: its window places it
  } else if (super->flipped_) {
    top = frame_.minY();
  } else {
    top = super->frame_.height() - frame_.maxY();
  }
  const double left = super ? frame_.minX() : 0;
  // Edges are rounded, not sizes, so that neighbouring views still meet.
  const int x0 = int(std::lround(left));
  const int y0 = int(std::lround(top));
  const int x1 = int(std::lround(left + frame_.width()));
  const int y1 = int(std::lround(top + frame_.height()));
  if (super)
    widget_->setGeometry(x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0));
  else
    widget_->resize(std::max(0, x1 - x0), std::max(0, y1 - y0));
}

void View::ApplyChildGeometry() {
  for (const std::shared_ptr<View>& subview : subviews_) subview->ApplyGeometry();
}

void View::RestackWidgets() {
  for (const std::shared_ptr<View>& subview : subviews_) subview->widget_->raise();
}

}  // namespace platform::ui
