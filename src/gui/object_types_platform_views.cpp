#include "gui/object_types_platform_views.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>

#include "platform/ui/font.h"

using platform::ui::Color;
using platform::ui::Image;
using platform::ui::Painter;
using platform::ui::Point;
using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::View;

namespace gui {

namespace {

const Color kPanel = Color::Calibrated(0.93, 0.94, 0.95);
const Color kPanelBorder = Color::Calibrated(0.70, 0.72, 0.75);
const Color kTabFace = Color::Calibrated(0.86, 0.87, 0.89);
const Color kText = Color::Calibrated(0.13, 0.14, 0.16);

Color Opaque(Color color) {
  color.alpha = 1;
  return color;
}

// Shapes are drawn opaque into a picture of their own and laid over the view with the
// colour's alpha, so that overlapping strokes do not darken where they meet.
void DrawShape(Painter& painter, const Rect& rect, double alpha,
               const std::function<void(Painter&)>& drawing) {
  if (rect.isEmpty() || alpha <= 0) return;
  std::shared_ptr<Image> shape = Image::Empty(rect.size);
  shape->Draw(drawing);
  painter.DrawImage(*shape, rect, alpha);
}

void FillRoundedRect(Painter& painter, const Rect& rect, double radius, const Color& color) {
  const double r = std::max(0.0, std::min({radius, rect.width() / 2, rect.height() / 2}));
  if (r <= 0) {
    painter.FillRect(rect, color);
    return;
  }
  const Color solid = Opaque(color);
  const double w = rect.width();
  const double h = rect.height();
  DrawShape(painter, rect, color.alpha, [&](Painter& p) {
    p.FillRect(Rect(r, 0, w - 2 * r, h), solid);
    p.FillRect(Rect(0, r, w, h - 2 * r), solid);
    p.FillEllipse(Rect(0, 0, 2 * r, 2 * r), solid);
    p.FillEllipse(Rect(w - 2 * r, 0, 2 * r, 2 * r), solid);
    p.FillEllipse(Rect(0, h - 2 * r, 2 * r, 2 * r), solid);
    p.FillEllipse(Rect(w - 2 * r, h - 2 * r, 2 * r, 2 * r), solid);
  });
}

void StrokeRoundedRect(Painter& painter, const Rect& rect, double radius, const Color& color, double width) {
  if (width <= 0) return;
  const Color solid = Opaque(color);
  const double w = rect.width();
  const double h = rect.height();
  const double half = width / 2;
  const double r = std::max(0.0, std::min({radius - half, w / 2 - half, h / 2 - half}));
  DrawShape(painter, rect, color.alpha, [&](Painter& p) {
    const double x0 = half, y0 = half, x1 = w - half, y1 = h - half;
    p.DrawLine(Point{x0 + r, y0}, Point{x1 - r, y0}, solid, width);
    p.DrawLine(Point{x0 + r, y1}, Point{x1 - r, y1}, solid, width);
    p.DrawLine(Point{x0, y0 + r}, Point{x0, y1 - r}, solid, width);
    p.DrawLine(Point{x1, y0 + r}, Point{x1, y1 - r}, solid, width);
    if (r <= 0) return;
    // Each corner an arc of short segments.
    const struct {
      double cx, cy, start;
    } corners[] = {{x1 - r, y1 - r, 0}, {x0 + r, y1 - r, 90}, {x0 + r, y0 + r, 180}, {x1 - r, y0 + r, 270}};
    constexpr int kSegments = 8;
    for (const auto& corner : corners) {
      for (int i = 0; i < kSegments; ++i) {
        const double a0 = (corner.start + 90.0 * i / kSegments) * M_PI / 180;
        const double a1 = (corner.start + 90.0 * (i + 1) / kSegments) * M_PI / 180;
        p.DrawLine(Point{corner.cx + r * std::cos(a0), corner.cy + r * std::sin(a0)},
                   Point{corner.cx + r * std::cos(a1), corner.cy + r * std::sin(a1)}, solid, width);
      }
    }
  });
}

}  // namespace

std::shared_ptr<Image> ResizedImage(const Image& image, Size size) {
  std::shared_ptr<Image> resized = Image::Empty(size);
  resized->Draw([&](Painter& painter) { painter.DrawImage(image, Rect(Point{0, 0}, size)); });
  resized->setBackgroundColor(image.backgroundColor());
  return resized;
}

// ---- Image view ----

std::shared_ptr<ImageView> ImageView::Make(const Rect& frame) {
  std::shared_ptr<ImageView> view(new ImageView());
  view->SetFrame(frame);
  return view;
}

void ImageView::SetImage(const std::shared_ptr<Image>& image) {
  image_ = image;
  SetNeedsDisplay();
}

void ImageView::Draw(Painter& painter, const Rect& /*dirtyRect*/) {
  if (!image_) return;
  const Size size = image_->size();
  const Rect bounds = Bounds();
  painter.DrawImage(*image_, Rect(std::round(bounds.midX() - size.width / 2),
                                  std::round(bounds.midY() - size.height / 2), size.width, size.height));
}

// ---- Tab view ----

std::shared_ptr<TabViewItem> TabViewItem::Make(const std::string& label, const std::shared_ptr<View>& view) {
  std::shared_ptr<TabViewItem> item(new TabViewItem());
  item->label_ = label;
  item->view_ = view;
  return item;
}

std::shared_ptr<TabView> TabView::Make(const Rect& frame) {
  std::shared_ptr<TabView> view(new TabView());
  view->SetFrame(frame);
  return view;
}

Rect TabView::ContentRect() const {
  const Rect bounds = Bounds();
  return Rect(0, 0, bounds.width(), std::max(0.0, bounds.height() - kTabHeight));
}

Rect TabView::TabRect(std::size_t index) const {
  const platform::ui::Font font = platform::ui::Font::System(11);
  std::vector<double> widths;
  double total = 0;
  for (const auto& item : items_) {
    widths.push_back(std::ceil(font.SizeOfText(item->Label()).width) + 20);
    total += widths.back();
  }
  if (index >= widths.size()) return Rect();
  // The row of tabs is centred over the pages.
  double x = std::round((Bounds().width() - total) / 2);
  for (std::size_t i = 0; i < index; ++i) x += widths[i];
  return Rect(x, Bounds().height() - kTabHeight + 2, widths[index], kTabHeight - 4);
}

void TabView::AddTabViewItem(const std::shared_ptr<TabViewItem>& item) {
  if (!item) return;
  items_.push_back(item);
  if (const std::shared_ptr<View>& page = item->GetView()) {
    AddSubview(page);
    page->SetHidden(true);
  }
  if (selected_ < 0) SelectTabViewItemAtIndex(0);
  LayoutItems();
  SetNeedsDisplay();
}

void TabView::SelectTabViewItemAtIndex(int index) {
  if (index < 0 || std::size_t(index) >= items_.size()) return;
  if (selected_ >= 0 && std::size_t(selected_) < items_.size())
    if (const std::shared_ptr<View>& page = items_[std::size_t(selected_)]->GetView()) page->SetHidden(true);
  selected_ = index;
  if (const std::shared_ptr<View>& page = items_[std::size_t(index)]->GetView()) page->SetHidden(false);
  SetNeedsDisplay();
}

void TabView::LayoutItems() {
  const Rect content = ContentRect();
  for (const auto& item : items_)
    if (const std::shared_ptr<View>& page = item->GetView()) page->SetFrame(content);
}

void TabView::FrameChanged() { LayoutItems(); }

void TabView::MouseDown(const platform::ui::Event& event) {
  const Point point = ConvertFromWindow(event.locationInWindow);
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (TabRect(i).contains(point)) {
      SelectTabViewItemAtIndex(int(i));
      return;
    }
  }
  View::MouseDown(event);
}

void TabView::Draw(Painter& painter, const Rect& /*dirtyRect*/) {
  const Rect content = ContentRect();
  FillRoundedRect(painter, content, 4, kPanel);
  StrokeRoundedRect(painter, content, 4, kPanelBorder, 1);
  const platform::ui::Font font = platform::ui::Font::System(11);
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const Rect tab = TabRect(i);
    const bool selected = int(i) == selected_;
    FillRoundedRect(painter, tab, 5, selected ? Color::White() : kTabFace);
    StrokeRoundedRect(painter, tab, 5, kPanelBorder, 1);
    const double lineHeight = font.LineHeight();
    painter.DrawText(items_[i]->Label(),
                     Rect(tab.minX(), std::round(tab.midY() - lineHeight / 2), tab.width(), lineHeight), font,
                     kText, platform::ui::TextAlignment::Center);
  }
}

// ---- Box ----

std::shared_ptr<Box> Box::Make(const Rect& frame) {
  std::shared_ptr<Box> box(new Box());
  box->content_ = View::Make(Rect());
  box->View::AddSubview(box->content_);
  box->SetFrame(frame);
  box->Relayout();
  return box;
}

void Box::addSubview(const std::shared_ptr<View>& view) {
  if (view) content_->AddSubview(view);
}

Rect Box::ContentRect() const {
  // The custom kind keeps its content clear of the border; the others have the usual margin.
  const double margin = kind_ == Kind::Custom ? borderWidth_ : 5;
  const Rect bounds = Bounds();
  return Rect(margin, margin, std::max(0.0, bounds.width() - 2 * margin),
              std::max(0.0, bounds.height() - 2 * margin));
}

void Box::Relayout() {
  if (content_) content_->SetFrame(ContentRect());
  SetNeedsDisplay();
}

void Box::FrameChanged() { Relayout(); }

void Box::SetBoxType(Kind kind) {
  kind_ = kind;
  Relayout();
}

void Box::SetBorderWidth(double width) {
  borderWidth_ = std::max(0.0, width);
  Relayout();
}

void Box::SetCornerRadius(double radius) {
  cornerRadius_ = std::max(0.0, radius);
  SetNeedsDisplay();
}

void Box::SetFillColor(const std::optional<Color>& color) {
  fill_ = color;
  SetNeedsDisplay();
}

void Box::SetBorderColor(const std::optional<Color>& color) {
  border_ = color;
  SetNeedsDisplay();
}

void Box::Draw(Painter& painter, const Rect& /*dirtyRect*/) {
  const Rect bounds = Bounds();
  switch (kind_) {
    case Kind::Primary:
      FillRoundedRect(painter, bounds, 5, Color::Calibrated(0, 0, 0, 0.05));
      StrokeRoundedRect(painter, bounds, 5, Color::Calibrated(0, 0, 0, 0.2), 1);
      break;
    case Kind::Secondary:
      StrokeRoundedRect(painter, bounds, 3, Color::Calibrated(0, 0, 0, 0.15), 1);
      break;
    case Kind::Custom:
      if (fill_) FillRoundedRect(painter, bounds, cornerRadius_, *fill_);
      if (border_ && borderWidth_ > 0)
        StrokeRoundedRect(painter, bounds, cornerRadius_, *border_, borderWidth_);
      break;
  }
}

// ---- Scroll view ----

std::shared_ptr<ScrollView> ScrollView::Make(const Rect& frame) {
  std::shared_ptr<ScrollView> view(new ScrollView());
  view->SetFrame(frame);
  return view;
}

void ScrollView::SetDocumentView(const std::shared_ptr<View>& view) {
  if (document_) document_->RemoveFromSuperview();
  document_ = view;
  if (!document_) return;
  AddSubview(document_);
  // The top of the document shows first.
  offset_ = Point{0, std::max(0.0, document_->Frame().height() - Bounds().height())};
  PlaceDocument();
}

Rect ScrollView::DocumentVisibleRect() const { return Rect(offset_, Bounds().size); }

void ScrollView::ScrollToPoint(Point point) {
  offset_ = point;
  PlaceDocument();
}

void ScrollView::PlaceDocument() {
  if (!document_) return;
  const Size document = document_->Frame().size;
  const Size visible = Bounds().size;
  offset_.x = std::clamp(offset_.x, 0.0, std::max(0.0, document.width - visible.width));
  offset_.y = std::clamp(offset_.y, 0.0, std::max(0.0, document.height - visible.height));
  document_->SetFrameOrigin(Point{-offset_.x, -offset_.y});
  SetNeedsDisplay();
}

void ScrollView::FrameChanged() { PlaceDocument(); }

void ScrollView::SetBorderType(Border border) {
  border_ = border;
  SetNeedsDisplay();
}

void ScrollView::Draw(Painter& painter, const Rect& /*dirtyRect*/) {
  const Rect bounds = Bounds();
  switch (border_) {
    case Border::None:
      break;
    case Border::Line:
      painter.StrokeRect(bounds, Color::Black(), 1);
      break;
    case Border::Bezel:
    case Border::Groove:
      painter.StrokeRect(bounds, kPanelBorder, 1);
      break;
  }
  if (!document_ || !vertical_) return;
  const double documentHeight = document_->Frame().height();
  // Nothing to scroll: no indicator (hidden or not, an idle scroller shows nothing here).
  if (documentHeight <= bounds.height()) return;
  // A thin indicator of the visible part along the right edge.
  const double track = bounds.height() - 4;
  const double length = std::max(16.0, track * bounds.height() / documentHeight);
  const double position =
      track > length ? (track - length) * offset_.y / (documentHeight - bounds.height()) : 0;
  FillRoundedRect(painter, Rect(bounds.width() - 7, 2 + position, 5, length), 2.5,
                  Color::Calibrated(0, 0, 0, 0.35));
}

// ---- Level indicator ----

std::shared_ptr<LevelIndicator> LevelIndicator::Make(const Rect& frame) {
  std::shared_ptr<LevelIndicator> view(new LevelIndicator());
  view->SetFrame(frame);
  return view;
}

void LevelIndicator::SetMinValue(double value) {
  min_ = value;
  SetNeedsDisplay();
}

void LevelIndicator::SetMaxValue(double value) {
  max_ = value;
  SetNeedsDisplay();
}

void LevelIndicator::SetDoubleValue(double value) {
  value_ = value;
  SetNeedsDisplay();
}

void LevelIndicator::Draw(Painter& painter, const Rect& /*dirtyRect*/) {
  const Rect bounds = Bounds();
  const int cells = std::max(1, int(std::ceil(max_ - min_)));
  const double gap = 2;
  const double width = (bounds.width() - gap * (cells - 1)) / cells;
  if (width <= 0) return;
  const double level = std::clamp(value_, min_, max_) - min_;
  for (int i = 0; i < cells; ++i) {
    const Rect cell(i * (width + gap), 0, width, bounds.height());
    const bool lit = i < level;
    // Unlit cells are translucent, so that the indicator suits dark and light backgrounds.
    FillRoundedRect(painter, cell, 2,
                    lit ? Color::Calibrated(0.22, 0.68, 0.33) : Color::Calibrated(0.55, 0.6, 0.66, 0.35));
    StrokeRoundedRect(painter, cell, 2, Color::Calibrated(0, 0, 0, 0.25), 1);
  }
}

// ---- Keyboard loop ----

namespace {
struct NextKey {
  std::weak_ptr<const View> owner;
  std::weak_ptr<View> next;
};
std::map<const void*, NextKey>& NextKeys() {
  static auto* table = new std::map<const void*, NextKey>();
  return *table;
}
}  // namespace

void SetNextKeyView(const View& view, const std::shared_ptr<View>& next) {
  auto& table = NextKeys();
  for (auto it = table.begin(); it != table.end();)
    it = it->second.owner.expired() ? table.erase(it) : std::next(it);
  table[&view] = NextKey{view.weak_from_this(), next};
}

std::shared_ptr<View> NextKeyView(const View& view) {
  auto& table = NextKeys();
  auto it = table.find(&view);
  if (it == table.end()) return nullptr;
  if (it->second.owner.expired()) {
    table.erase(it);
    return nullptr;
  }
  return it->second.next.lock();
}

}  // namespace gui
