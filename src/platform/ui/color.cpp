#include "platform/ui/color.h"

#include <QApplication>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "platform/ui/qt_internal.h"

namespace platform::ui {

namespace {
int To255(double component) { return int(std::lround(std::clamp(component, 0.0, 1.0) * 255.0)); }

struct NamedColor {
  const char* name;
  QPalette::ColorGroup group;
  QPalette::ColorRole role;
};

// The named colours, taken from the running style's palette so that they follow the
// desktop's theme; the fixed ones stand for themselves.
constexpr NamedColor kPaletteColors[] = {
    {"controlTextColor", QPalette::Active, QPalette::ButtonText},
    {"disabledControlTextColor", QPalette::Disabled, QPalette::ButtonText},
    {"controlColor", QPalette::Active, QPalette::Button},
    {"controlBackgroundColor", QPalette::Active, QPalette::Base},
    {"controlHighlightColor", QPalette::Active, QPalette::Light},
    {"controlLightHighlightColor", QPalette::Active, QPalette::Midlight},
    {"controlShadowColor", QPalette::Active, QPalette::Mid},
    {"controlDarkShadowColor", QPalette::Active, QPalette::Dark},
    {"windowBackgroundColor", QPalette::Active, QPalette::Window},
    {"windowFrameColor", QPalette::Active, QPalette::Shadow},
    {"windowFrameTextColor", QPalette::Active, QPalette::WindowText},
    {"textColor", QPalette::Active, QPalette::Text},
    {"textBackgroundColor", QPalette::Active, QPalette::Base},
    {"selectedTextColor", QPalette::Active, QPalette::HighlightedText},
    {"selectedTextBackgroundColor", QPalette::Active, QPalette::Highlight},
    {"selectedControlColor", QPalette::Active, QPalette::Highlight},
    {"selectedControlTextColor", QPalette::Active, QPalette::HighlightedText},
    {"selectedMenuItemColor", QPalette::Active, QPalette::Highlight},
    {"selectedMenuItemTextColor", QPalette::Active, QPalette::HighlightedText},
    {"alternateSelectedControlColor", QPalette::Active, QPalette::Highlight},
    {"alternateSelectedControlTextColor", QPalette::Active, QPalette::HighlightedText},
    {"secondarySelectedControlColor", QPalette::Inactive, QPalette::Highlight},
    {"gridColor", QPalette::Active, QPalette::Midlight},
    {"headerColor", QPalette::Active, QPalette::Button},
    {"headerTextColor", QPalette::Active, QPalette::ButtonText},
    {"highlightColor", QPalette::Active, QPalette::Light},
    {"shadowColor", QPalette::Active, QPalette::Shadow},
    {"knobColor", QPalette::Active, QPalette::Button},
    {"scrollBarColor", QPalette::Active, QPalette::Mid},
    {"keyboardFocusIndicatorColor", QPalette::Active, QPalette::Highlight},
    {"linkColor", QPalette::Active, QPalette::Link},
};

const std::pair<const char*, Color> kFixedColors[] = {
    {"blackColor", Color::CalibratedWhite(0)},
    {"whiteColor", Color::CalibratedWhite(1)},
    {"darkGrayColor", Color::CalibratedWhite(1.0 / 3)},
    {"grayColor", Color::CalibratedWhite(0.5)},
    {"lightGrayColor", Color::CalibratedWhite(2.0 / 3)},
    {"clearColor", Color::CalibratedWhite(0, 0)},
    {"redColor", Color::Calibrated(1, 0, 0)},
    {"greenColor", Color::Calibrated(0, 1, 0)},
    {"blueColor", Color::Calibrated(0, 0, 1)},
    {"cyanColor", Color::Calibrated(0, 1, 1)},
    {"yellowColor", Color::Calibrated(1, 1, 0)},
    {"magentaColor", Color::Calibrated(1, 0, 1)},
    {"orangeColor", Color::Calibrated(1, 0.5, 0)},
    {"purpleColor", Color::Calibrated(0.5, 0, 0.5)},
    {"brownColor", Color::Calibrated(0.6, 0.4, 0.2)},
};
}  // namespace

int Color::red255() const { return To255(red); }
int Color::green255() const { return To255(green); }
int Color::blue255() const { return To255(blue); }
int Color::alpha255() const { return To255(alpha); }

bool Color::sameAs(const Color& other) const {
  constexpr double kTolerance = 1.0 / 512;
  return std::abs(red - other.red) < kTolerance && std::abs(green - other.green) < kTolerance &&
         std::abs(blue - other.blue) < kTolerance && std::abs(alpha - other.alpha) < kTolerance;
}

std::optional<Color> SystemColor(const std::string& name) {
  for (const auto& [fixedName, color] : kFixedColors)
    if (name == fixedName) return color;
  for (const NamedColor& named : kPaletteColors) {
    if (name != named.name) continue;
    const QPalette palette = QApplication::instance() != nullptr ? QApplication::palette() : QPalette();
    return internal::FromQColor(palette.color(named.group, named.role));
  }
  return std::nullopt;
}

std::vector<std::string> SystemColorNames() {
  std::vector<std::string> names;
  for (const auto& [name, color] : kFixedColors) names.emplace_back(name);
  for (const NamedColor& named : kPaletteColors) names.emplace_back(named.name);
  return names;
}

}  // namespace platform::ui
