#pragma once
// A text with attributes on ranges of it: underlines and colours, as labels with a marked
// shortcut letter need them. Positions and lengths count UTF-16 code units.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/color.h"

struct QPX_Framework_AttributedString {
  struct Run {
    std::size_t location = 0;
    std::size_t length = 0;
    int underlineStyle = 0;  // 0 none, 1 single, 2 thick
    std::optional<platform::ui::Color> color;
    friend bool operator==(const Run&, const Run&) = default;
  };
  std::string text;
  std::vector<Run> runs;

  QPX_Framework_AttributedString() = default;
  explicit QPX_Framework_AttributedString(std::string t) : text(std::move(t)) {}

  // The underline style at a UTF-16 position (the last run that covers it wins).
  int UnderlineAt(std::size_t location) const;
  std::optional<platform::ui::Color> ColorAt(std::size_t location) const;
  friend bool operator==(const QPX_Framework_AttributedString&,
                         const QPX_Framework_AttributedString&) = default;
};

// UTF-16 length of a UTF-8 text.
std::size_t QPX_Framework_UTF16Length(const std::string& text);
