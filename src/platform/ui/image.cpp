#include "platform/ui/image.h"

#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <filesystem>

#include "platform/ui/application.h"
#include "platform/ui/qt_internal.h"
#include "platform/ui/view.h"

namespace platform::ui {

Image::Image() : image_(std::make_unique<QImage>()) {}
Image::~Image() = default;

std::shared_ptr<Image> Image::FromQImage(const QImage& picture, std::string path, int frames) {
  std::shared_ptr<Image> image(new Image());
  *image->image_ = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  image->size_ = Size{double(picture.width()), double(picture.height())};
  image->path_ = std::move(path);
  image->frameCount_ = std::max(1, frames);
  return image;
}

std::shared_ptr<Image> Image::FromFile(const std::string& path) {
  std::error_code error;
  if (path.empty() || !std::filesystem::is_regular_file(path, error) ||
      std::filesystem::file_size(path, error) == 0)
    return nullptr;
  QImageReader reader(internal::Q(path));
  const int frames = reader.supportsAnimation() ? std::max(1, reader.imageCount()) : 1;
  QImage picture = reader.read();
  if (picture.isNull()) return nullptr;
  return FromQImage(picture, path, frames);
}

std::shared_ptr<Image> Image::Empty(Size size) {
  QImage picture(std::max(1, int(std::lround(size.width))), std::max(1, int(std::lround(size.height))),
                 QImage::Format_ARGB32_Premultiplied);
  picture.fill(Qt::transparent);
  std::shared_ptr<Image> image = FromQImage(picture);
  image->size_ = size;
  return image;
}

std::shared_ptr<Image> Image::Copy() const {
  std::shared_ptr<Image> copy = FromQImage(*image_, path_, frameCount_);
  copy->size_ = size_;
  copy->background_ = background_;
  return copy;
}

void Image::FlipHorizontally() { *image_ = image_->mirrored(true, false); }

std::shared_ptr<Image> Image::OverColor(Color fill) const {
  QImage picture(image_->size(), QImage::Format_ARGB32_Premultiplied);
  picture.fill(internal::ToQColor(fill));
  QPainter painter(&picture);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.drawImage(0, 0, *image_);
  painter.end();
  std::shared_ptr<Image> result = FromQImage(picture, path_, frameCount_);
  result->size_ = size_;
  return result;
}

void Image::Draw(const std::function<void(Painter&)>& drawing) {
  QPainter qpainter(image_.get());
  qpainter.setRenderHint(QPainter::Antialiasing);
  Painter painter(qpainter, double(image_->height()), false);
  drawing(painter);
}

Color Image::PixelAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= image_->width() || y >= image_->height()) return Color::Clear();
  return internal::FromQColor(image_->pixelColor(x, image_->height() - 1 - y));
}

bool Image::SavePNG(const std::string& path) const { return image_->save(internal::Q(path), "PNG"); }

const QImage& Image::qimage() const { return *image_; }
QImage& Image::qimage() { return *image_; }

}  // namespace platform::ui
