#pragma once
// Mouse and key events as the layer hands them to views, windows and the application's
// event hook, with the modifier masks the rest of the system compares against.

#include <cstdint>
#include <string>

#include "platform/ui/geometry.h"

namespace platform::ui {

class Window;

// Modifier flags of an event; the lower 16 bits are device-dependent and never compared.
inline constexpr uint32_t kAlphaShiftKeyMask = 0x10000;  // caps lock
inline constexpr uint32_t kShiftKeyMask = 0x20000;
inline constexpr uint32_t kControlKeyMask = 0x40000;
inline constexpr uint32_t kAlternateKeyMask = 0x80000;  // option / alt
inline constexpr uint32_t kCommandKeyMask = 0x100000;
inline constexpr uint32_t kDeviceIndependentModifierFlagsMask = 0xffff0000;

// Characters of keys that have no printable character (UTF-8 of these code points).
inline constexpr char32_t kUpArrowFunctionKey = 0xF700;
inline constexpr char32_t kDownArrowFunctionKey = 0xF701;
inline constexpr char32_t kLeftArrowFunctionKey = 0xF702;
inline constexpr char32_t kRightArrowFunctionKey = 0xF703;
inline constexpr char32_t kF1FunctionKey = 0xF704;  // ... F12 = 0xF70F
inline constexpr char32_t kDeleteFunctionKey = 0xF728;

struct Event {
  enum class Type {
    KeyDown,
    KeyUp,
    FlagsChanged,
    LeftMouseDown,
    LeftMouseUp,
    RightMouseDown,
    RightMouseUp,
    MouseMoved,
    LeftMouseDragged,
    MouseEntered,
    MouseExited,
    ScrollWheel,
    Other,
  };
  Type type = Type::Other;
  uint32_t modifierFlags = 0;
  // UTF-8; for key events only.
  std::string characters;
  std::string charactersIgnoringModifiers;
  bool isARepeat = false;
  // In the window's content coordinates (bottom-left origin).
  Point locationInWindow;
  int clickCount = 0;
  double deltaX = 0;
  double deltaY = 0;
  Window* window = nullptr;  // valid while the event is being handled
};

// UTF-8 of one code point.
std::string Utf8FromCodePoint(char32_t codePoint);
// The code points of a UTF-8 text (invalid bytes become U+FFFD).
std::u32string CodePointsFromUtf8(const std::string& text);
std::string Utf8FromCodePoints(const std::u32string& text);

}  // namespace platform::ui
