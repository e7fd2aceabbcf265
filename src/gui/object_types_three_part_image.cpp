#include "gui/object_types_three_part_image.h"

#include <algorithm>

#include "platform/ui/view.h"

using platform::ui::Rect;

std::shared_ptr<platform::ui::Image> QPX_Framework_ThreePartImage(
    const std::shared_ptr<platform::ui::Image>& top, const std::shared_ptr<platform::ui::Image>& middle,
    const std::shared_ptr<platform::ui::Image>& bottom, platform::ui::Size size) {
  if (!top || !middle || !bottom || size.width <= 0 || size.height <= 0) return nullptr;
  std::shared_ptr<platform::ui::Image> image = platform::ui::Image::Empty(size);
  const double topHeight = std::min(top->size().height, size.height);
  const double bottomHeight = std::min(bottom->size().height, size.height - topHeight);
  const double middleHeight = size.height - topHeight - bottomHeight;
  image->Draw([&](platform::ui::Painter& painter) {
    // Bottom-left origin: the bottom part first, the top part at the top edge.
    painter.DrawImage(*bottom, Rect(0, 0, size.width, bottomHeight));
    if (middleHeight > 0) painter.DrawImage(*middle, Rect(0, bottomHeight, size.width, middleHeight));
    painter.DrawImage(*top, Rect(0, size.height - topHeight, size.width, topHeight));
  });
  return image;
}
