#pragma once
// Images in points. Loaded from files (PNG, JPEG, GIF, TIFF, ICNS where Qt reads it), made
// empty of a size, drawn into, flipped and composited. Animated files (GIF) report their
// frame count.

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/color.h"
#include "platform/ui/geometry.h"

class QImage;

namespace platform::ui {

class Painter;

class Image {
 public:
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // Null when the file is missing, empty or not an image.
  static std::shared_ptr<Image> FromFile(const std::string& path);
  // A new transparent image.
  static std::shared_ptr<Image> Empty(Size size);
  // A copy.
  std::shared_ptr<Image> Copy() const;

  Size size() const { return size_; }
  // The file it was loaded from; empty for made images.
  const std::string& path() const { return path_; }
  // Frames of the file it was loaded from (1 for still images).
  int frameCount() const { return frameCount_; }
  bool isAnimated() const { return frameCount_ > 1; }

  Color backgroundColor() const { return background_; }
  void setBackgroundColor(Color color) { background_ = color; }

  // Mirrors the picture left to right, in place.
  void FlipHorizontally();
  // A new image of the same size: the colour filled over the whole area, this image drawn
  // over it (source-over).
  std::shared_ptr<Image> OverColor(Color fill) const;
  // Draws into the image (bottom-left origin, like a view).
  void Draw(const std::function<void(Painter&)>& drawing);
  // The colour of one pixel (bottom-left origin, in pixels); for tests.
  Color PixelAt(int x, int y) const;
  bool SavePNG(const std::string& path) const;

  // Internal: the picture.
  const QImage& qimage() const;
  QImage& qimage();
  static std::shared_ptr<Image> FromQImage(const QImage& image, std::string path = {}, int frames = 1);

 private:
  Image();
  std::unique_ptr<QImage> image_;
  Size size_;
  std::string path_;
  int frameCount_ = 1;
  Color background_ = Color::Clear();
};

}  // namespace platform::ui
