#pragma once
// One image of a given size made of three: the top and bottom parts at their own heights,
// the middle part stretched over the height between them; each part takes the full width.
// Skins of windows whose height the description chooses are made this way.

#include <memory>

#include "platform/ui/geometry.h"
#include "platform/ui/image.h"

// Null when a part is missing or the size is empty.
std::shared_ptr<platform::ui::Image> QPX_Framework_ThreePartImage(
    const std::shared_ptr<platform::ui::Image>& top, const std::shared_ptr<platform::ui::Image>& middle,
    const std::shared_ptr<platform::ui::Image>& bottom, platform::ui::Size size);
