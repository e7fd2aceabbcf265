#pragma once
// The plain views GUI descriptions name as the platform's own (image view, tab view and
// its items, box, scroll view, level indicator) and the keyboard loop between views, built
// on the UI layer's views and drawing until the layer offers them itself.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gui/builder_objects.h"
#include "platform/ui/color.h"
#include "platform/ui/controls.h"
#include "platform/ui/image.h"
#include "platform/ui/view.h"

namespace gui {

// Shows an image at its own size, centred in the view (no scaling).
class ImageView : public platform::ui::View {
 public:
  static std::shared_ptr<ImageView> Make(const platform::ui::Rect& frame);
  const std::shared_ptr<platform::ui::Image>& GetImage() const { return image_; }
  void SetImage(const std::shared_ptr<platform::ui::Image>& image);
  bool IsEditable() const { return false; }
  // Animated files show their first frame: the layer's images offer no other.
  bool Animates() const { return animates_; }
  void SetAnimates(bool animates) { animates_ = animates; }
  void Draw(platform::ui::Painter& painter, const platform::ui::Rect& dirtyRect) override;

 private:
  ImageView() = default;
  std::shared_ptr<platform::ui::Image> image_;
  bool animates_ = true;
};

// One page of a tab view: a label and the view shown while the page is selected.
class TabViewItem : public QPX_Framework_GUI_Item {
 public:
  static std::shared_ptr<TabViewItem> Make(const std::string& label,
                                           const std::shared_ptr<platform::ui::View>& view);
  const std::string& Label() const { return label_; }
  void SetLabel(const std::string& label) { label_ = label; }
  const std::shared_ptr<platform::ui::View>& GetView() const { return view_; }
  const std::string& ToolTip() const { return toolTip_; }
  bool AcceptsToolTip() const override { return true; }
  void SetToolTip(const std::string& text) override { toolTip_ = text; }

 private:
  TabViewItem() = default;
  std::string label_;
  std::string toolTip_;
  std::shared_ptr<platform::ui::View> view_;
};

// Pages with a row of tabs along the top edge; a click on a tab selects its page. The
// selected page's view fills the content area below the tabs.
class TabView : public platform::ui::View {
 public:
  // The height of the row of tabs.
  static constexpr double kTabHeight = 22;
  static std::shared_ptr<TabView> Make(const platform::ui::Rect& frame);

  // The first page added becomes the selected one.
  void AddTabViewItem(const std::shared_ptr<TabViewItem>& item);
  const std::vector<std::shared_ptr<TabViewItem>>& TabViewItems() const { return items_; }
  std::size_t NumberOfTabViewItems() const { return items_.size(); }
  // -1 when there is no page.
  int IndexOfSelectedTabViewItem() const { return selected_; }
  void SelectTabViewItemAtIndex(int index);
  // The area of the pages' views, in the tab view's coordinates.
  platform::ui::Rect ContentRect() const;
  // The rectangle of a tab, in the tab view's coordinates.
  platform::ui::Rect TabRect(std::size_t index) const;

  void MouseDown(const platform::ui::Event& event) override;
  void Draw(platform::ui::Painter& painter, const platform::ui::Rect& dirtyRect) override;

 protected:
  void FrameChanged() override;

 private:
  TabView() = default;
  void LayoutItems();
  std::vector<std::shared_ptr<TabViewItem>> items_;
  int selected_ = -1;
};

// A box around a content view: the primary (a light panel with a thin border), the
// secondary (a thin border) or the custom kind (fill, border width and colour, corner
// radius as given).
class Box : public platform::ui::View, public QPX_Framework_GUI_SubviewHost {
 public:
  enum class Kind { Primary, Secondary, Custom };
  static std::shared_ptr<Box> Make(const platform::ui::Rect& frame);

  const std::shared_ptr<platform::ui::View>& ContentView() const { return content_; }
  // Children go into the content view.
  void addSubview(const std::shared_ptr<platform::ui::View>& view) override;
  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& title) { title_ = title; }
  Kind BoxType() const { return kind_; }
  void SetBoxType(Kind kind);
  double BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(double width);
  double CornerRadius() const { return cornerRadius_; }
  void SetCornerRadius(double radius);
  const std::optional<platform::ui::Color>& FillColor() const { return fill_; }
  void SetFillColor(const std::optional<platform::ui::Color>& color);
  const std::optional<platform::ui::Color>& BorderColor() const { return border_; }
  void SetBorderColor(const std::optional<platform::ui::Color>& color);
  // The content view's place: the box inset by its margin.
  platform::ui::Rect ContentRect() const;

  void Draw(platform::ui::Painter& painter, const platform::ui::Rect& dirtyRect) override;

 protected:
  void FrameChanged() override;

 private:
  Box() = default;
  void Relayout();
  std::shared_ptr<platform::ui::View> content_;
  std::string title_;
  Kind kind_ = Kind::Primary;
  double borderWidth_ = 1;
  double cornerRadius_ = 5;
  std::optional<platform::ui::Color> fill_;
  std::optional<platform::ui::Color> border_;
};

// Shows part of a document view; the part is chosen in code. A document taller than the
// scroll view starts with its top edge showing.
class ScrollView : public platform::ui::View, public QPX_Framework_GUI_DocumentHolder {
 public:
  enum class Border { None, Line, Bezel, Groove };
  static std::shared_ptr<ScrollView> Make(const platform::ui::Rect& frame);

  std::shared_ptr<platform::ui::View> DocumentView() const override { return document_; }
  void SetDocumentView(const std::shared_ptr<platform::ui::View>& view);
  // The visible part in the document's coordinates; moving it scrolls (kept inside the
  // document).
  platform::ui::Rect DocumentVisibleRect() const;
  void ScrollToPoint(platform::ui::Point point);

  Border BorderType() const { return border_; }
  void SetBorderType(Border border);
  bool HasVerticalScroller() const { return vertical_; }
  void SetHasVerticalScroller(bool has) { vertical_ = has; }
  bool HasHorizontalScroller() const { return horizontal_; }
  void SetHasHorizontalScroller(bool has) { horizontal_ = has; }
  bool AutohidesScrollers() const { return autohides_; }
  void SetAutohidesScrollers(bool autohides) { autohides_ = autohides; }

  void Draw(platform::ui::Painter& painter, const platform::ui::Rect& dirtyRect) override;

 protected:
  void FrameChanged() override;

 private:
  ScrollView() = default;
  void PlaceDocument();
  std::shared_ptr<platform::ui::View> document_;
  platform::ui::Point offset_;
  Border border_ = Border::None;
  bool vertical_ = false;
  bool horizontal_ = false;
  bool autohides_ = false;
};

// A row of cells showing a value between a minimum and a maximum.
class LevelIndicator : public platform::ui::Control {
 public:
  static std::shared_ptr<LevelIndicator> Make(const platform::ui::Rect& frame);
  double MinValue() const { return min_; }
  void SetMinValue(double value);
  double MaxValue() const { return max_; }
  void SetMaxValue(double value);
  double DoubleValue() const { return value_; }
  void SetDoubleValue(double value);
  int IntegerValue() const override { return int(value_); }
  void Draw(platform::ui::Painter& painter, const platform::ui::Rect& dirtyRect) override;

 private:
  LevelIndicator() = default;
  double min_ = 0;
  double max_ = 5;
  double value_ = 0;
};

// The keyboard loop: the view that follows another one when the user tabs. Kept per
// view; a view that is gone takes its entry with it.
void SetNextKeyView(const platform::ui::View& view, const std::shared_ptr<platform::ui::View>& next);
std::shared_ptr<platform::ui::View> NextKeyView(const platform::ui::View& view);

// The image drawn anew at the size (a copy; the original is unchanged).
std::shared_ptr<platform::ui::Image> ResizedImage(const platform::ui::Image& image, platform::ui::Size size);

}  // namespace gui
