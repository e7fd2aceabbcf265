#pragma once
// Points, sizes and rectangles of the UI layer. Coordinates follow the design's geometry:
// the origin is the bottom-left corner and y grows upwards (in a view's own coordinates,
// unless the view is flipped, and on the screen). The conversion to Qt's top-left origin
// happens only inside the layer.

#include <algorithm>
#include <cmath>

namespace platform::ui {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;

  Rect() = default;
  Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}
  Rect(Point o, Size s) : origin(o), size(s) {}

  double minX() const { return origin.x; }
  double minY() const { return origin.y; }
  double maxX() const { return origin.x + size.width; }
  double maxY() const { return origin.y + size.height; }
  double midX() const { return origin.x + size.width / 2; }
  double midY() const { return origin.y + size.height / 2; }
  double width() const { return size.width; }
  double height() const { return size.height; }
  bool isEmpty() const { return size.width <= 0 || size.height <= 0; }
  bool contains(Point p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
  Rect offsetBy(double dx, double dy) const {
    return Rect(origin.x + dx, origin.y + dy, size.width, size.height);
  }
  Rect insetBy(double dx, double dy) const {
    return Rect(origin.x + dx, origin.y + dy, size.width - 2 * dx, size.height - 2 * dy);
  }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// A rectangle of the given size centred in `outer`.
inline Rect CenteredRect(const Rect& outer, Size size) {
  return Rect(outer.midX() - size.width / 2, outer.midY() - size.height / 2, size.width, size.height);
}

}  // namespace platform::ui
