#pragma once
// Fonts by the names description files use. Names of fonts that Linux does not have
// ("Helvetica", "Lucida Grande", "Helvetica-Bold" ...) go through a substitution table to
// fonts that are present; a "-Bold", "-Oblique", "-Italic" or "-BoldOblique" suffix selects
// the style. The system font has a fixed size, so layouts measured in points come out the
// same on every machine.

#include <memory>
#include <optional>
#include <string>

#include "platform/ui/geometry.h"

namespace platform::ui {

class Font {
 public:
  // The size of the system font (points).
  static constexpr double kSystemFontSize = 13.0;
  // The size of the window title-bar font.
  static constexpr double kTitleBarFontSize = 13.0;

  // The named font; size 0 gives the default size (the system font size). Nullopt when the
  // name is neither installed nor in the substitution table (the caller decides what to do).
  static std::optional<Font> Named(const std::string& name, double size);
  // The system font (size 0: the system font size), and its bold face.
  static Font System(double size = 0);
  static Font BoldSystem(double size = 0);
  // The window title-bar font (size below 0.5: the default title size).
  static Font TitleBar(double size = 0);

  // What the name resolves to: the installed family (after substitution) and the style.
  // Nullopt when it cannot be resolved.
  struct Resolved {
    std::string family;
    bool bold = false;
    bool italic = false;
  };
  static std::optional<Resolved> Resolve(const std::string& name);

  const std::string& name() const { return name_; }      // as asked for
  const std::string& family() const { return family_; }  // what is used
  double pointSize() const { return size_; }
  bool bold() const { return bold_; }
  bool italic() const { return italic_; }
  Font withSize(double size) const;

  // The size of a text drawn in this font (one line per "\n").
  Size SizeOfText(const std::string& text) const;
  double LineHeight() const;

  friend bool operator==(const Font&, const Font&) = default;

 private:
  Font(std::string name, std::string family, double size, bool bold, bool italic)
      : name_(std::move(name)), family_(std::move(family)), size_(size), bold_(bold), italic_(italic) {}
  std::string name_;
  std::string family_;
  double size_ = kSystemFontSize;
  bool bold_ = false;
  bool italic_ = false;
};

}  // namespace platform::ui
