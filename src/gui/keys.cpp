#include "gui/keys.h"

#include <QChar>
#include <map>
#include <mutex>

#include "framework/core/globals.h"
#include "platform/ui/controls.h"
#include "platform/ui/menu.h"

using platform::ui::CodePointsFromUtf8;
using platform::ui::Utf8FromCodePoint;

std::size_t QPX_Framework_UTF16Length(const std::string& text) {
  std::size_t length = 0;
  for (char32_t c : CodePointsFromUtf8(text)) length += c >= 0x10000 ? 2 : 1;
  return length;
}

int QPX_Framework_AttributedString::UnderlineAt(std::size_t location) const {
  int style = 0;
  for (const Run& run : runs)
    if (location >= run.location && location < run.location + run.length && run.underlineStyle != 0)
      style = run.underlineStyle;
  return style;
}

std::optional<platform::ui::Color> QPX_Framework_AttributedString::ColorAt(std::size_t location) const {
  std::optional<platform::ui::Color> color;
  for (const Run& run : runs)
    if (location >= run.location && location < run.location + run.length && run.color) color = run.color;
  return color;
}

namespace {

struct Modifier {
  const char* name;
  uint32_t mask;
};
constexpr Modifier kModifiers[] = {
    {"shift", platform::ui::kShiftKeyMask},   {"control", platform::ui::kControlKeyMask},
    {"ctrl", platform::ui::kControlKeyMask},  {"command", platform::ui::kCommandKeyMask},
    {"alt", platform::ui::kAlternateKeyMask},
};

// Name to one-character string, made once under the global lock.
const std::map<std::string, std::string>& KeyNames() {
  static const std::map<std::string, std::string>* names = nullptr;
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  if (names == nullptr) {
    auto* table = new std::map<std::string, std::string>();
    for (int i = 0; i < 12; ++i)
      (*table)["F" + std::to_string(i + 1)] = Utf8FromCodePoint(platform::ui::kF1FunctionKey + char32_t(i));
    (*table)["Up"] = Utf8FromCodePoint(platform::ui::kUpArrowFunctionKey);
    (*table)["Down"] = Utf8FromCodePoint(platform::ui::kDownArrowFunctionKey);
    (*table)["Left"] = Utf8FromCodePoint(platform::ui::kLeftArrowFunctionKey);
    (*table)["Right"] = Utf8FromCodePoint(platform::ui::kRightArrowFunctionKey);
    (*table)["Delete"] = Utf8FromCodePoint(platform::ui::kDeleteFunctionKey);
    (*table)["tab"] = "\t";
    (*table)["Esc"] = "\x1b";
    names = table;
  }
  return *names;
}

// Unicode's lower case, whatever the process's locale.
char32_t Lower(char32_t c) { return char32_t(QChar::toLower(uint(c))); }

std::string LowerText(const std::string& text) {
  std::u32string points = CodePointsFromUtf8(text);
  for (char32_t& c : points) c = Lower(c);
  return platform::ui::Utf8FromCodePoints(points);
}

}  // namespace

bool QPX_Framework_Keys_Interpret(const std::optional<std::string>& shortcut, std::string& key,
                                  uint32_t& mask) {
  if (!shortcut) return false;
  std::string rest = *shortcut;
  if (rest == "Help") rest = "command ?";
  if (rest == "Window Close") rest = "Esc";
  uint32_t modifiers = 0;
  for (bool matched = true; matched;) {
    matched = false;
    for (const Modifier& modifier : kModifiers) {
      const std::string name = modifier.name;
      if (rest.size() > name.size() + 1 && rest.compare(0, name.size(), name) == 0 &&
          (rest[name.size()] == ' ' || rest[name.size()] == '-')) {
        modifiers |= modifier.mask;
        rest.erase(0, name.size() + 1);
        matched = true;
        break;
      }
    }
  }
  auto it = KeyNames().find(rest);
  if (it != KeyNames().end()) rest = it->second;
  key = rest;
  mask = modifiers;
  return CodePointsFromUtf8(key).size() == 1;
}

bool QPX_Framework_Keys_SetKeyEquivalent(platform::ui::MenuItem& item,
                                         const std::optional<std::string>& shortcut) {
  std::string key;
  uint32_t mask = 0;
  if (!QPX_Framework_Keys_Interpret(shortcut, key, mask)) return false;
  item.SetKeyEquivalent(key);
  item.SetKeyEquivalentModifierMask(mask);
  return true;
}

bool QPX_Framework_Keys_SetKeyEquivalent(platform::ui::Button& button,
                                         const std::optional<std::string>& shortcut) {
  std::string key;
  uint32_t mask = 0;
  if (!QPX_Framework_Keys_Interpret(shortcut, key, mask)) return false;
  button.SetKeyEquivalent(key);
  button.SetKeyEquivalentModifierMask(mask);
  return true;
}

bool QPX_Framework_Keys_CheckKeyEvent(const platform::ui::Event& event,
                                      const std::optional<std::string>& shortcut, uint32_t ignore) {
  using Type = platform::ui::Event::Type;
  if (event.type != Type::KeyDown && event.type != Type::KeyUp) return false;
  std::string characters = event.charactersIgnoringModifiers;
  if (ignore & (platform::ui::kAlphaShiftKeyMask | platform::ui::kShiftKeyMask))
    characters = LowerText(characters);
  if (characters.empty()) return false;
  std::string key;
  uint32_t mask = 0;
  if (!QPX_Framework_Keys_Interpret(shortcut, key, mask) || key.empty()) return false;
  const uint32_t flags = (event.modifierFlags & platform::ui::kDeviceIndependentModifierFlagsMask) & ~ignore;
  if (flags != mask) return false;
  return CodePointsFromUtf8(characters)[0] == CodePointsFromUtf8(key)[0];
}

std::optional<QPX_Framework_LabelShortcut> QPX_Framework_GUI_ParseLabelForShortcut(const std::string& label) {
  const std::size_t marker = label.find('_');
  if (marker == std::string::npos || marker + 1 >= label.size()) return std::nullopt;
  std::string text = label;
  text.erase(marker, 1);
  const std::u32string after = CodePointsFromUtf8(text.substr(marker));
  const char32_t letter = after[0];
  QPX_Framework_LabelShortcut result;
  result.Label.text = text;
  QPX_Framework_AttributedString::Run run;
  run.location = QPX_Framework_UTF16Length(text.substr(0, marker));
  run.length = letter >= 0x10000 ? 2 : 1;
  run.underlineStyle = 1;
  result.Label.runs.push_back(run);
  result.Key = "command " + Utf8FromCodePoint(Lower(letter));
  return result;
}
