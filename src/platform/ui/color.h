#pragma once
// Colours: components 0.0-1.0 in a calibrated (sRGB) or device colour space, and the
// platform's named system colours.

#include <optional>
#include <string>
#include <vector>

namespace platform::ui {

struct Color {
  enum class Space { Calibrated, Device };
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  Space space = Space::Calibrated;

  static Color Calibrated(double r, double g, double b, double a = 1) {
    return {r, g, b, a, Space::Calibrated};
  }
  static Color Device(double r, double g, double b, double a = 1) { return {r, g, b, a, Space::Device}; }
  static Color CalibratedWhite(double white, double a = 1) { return Calibrated(white, white, white, a); }
  static Color Clear() { return Calibrated(0, 0, 0, 0); }
  static Color Black() { return Calibrated(0, 0, 0, 1); }
  static Color White() { return Calibrated(1, 1, 1, 1); }
  static Color Red() { return Calibrated(1, 0, 0, 1); }
  static Color Blue() { return Calibrated(0, 0, 1, 1); }

  // 0-255 per component, rounded.
  int red255() const;
  int green255() const;
  int blue255() const;
  int alpha255() const;

  // Equal components (within 1/512) and alpha; the colour space is not compared.
  bool sameAs(const Color& other) const;
  friend bool operator==(const Color& a, const Color& b) = default;
};

// A named system colour ("controlTextColor", "windowBackgroundColor", "selectedTextBackgroundColor",
// ...), taken from the running style's palette where the application exists; nullopt for a
// name the platform does not know.
std::optional<Color> SystemColor(const std::string& name);
// The names SystemColor knows.
std::vector<std::string> SystemColorNames();

}  // namespace platform::ui
