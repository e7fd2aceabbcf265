#pragma once
// Keyboard shortcuts written as short readable strings: modifier names ("shift", "control",
// "ctrl", "command", "alt"), each followed by one blank or "-", then a key name ("F5",
// "Up", "Esc", a single character), or the special names "Help" and "Window Close".
// Interpreting gives the key character and modifier mask a control or menu item takes;
// checking compares a key event with a shortcut; a label with "_" gets its letter
// underlined and the shortcut "command <letter>".

#include <cstdint>
#include <optional>
#include <string>

#include "gui/attributed_string.h"
#include "platform/ui/event.h"

namespace platform::ui {
class Button;
class MenuItem;
}  // namespace platform::ui

// Yes when the shortcut gives exactly one key character. A missing string answers no and
// leaves both outputs unset.
bool QPX_Framework_Keys_Interpret(const std::optional<std::string>& shortcut, std::string& key,
                                  uint32_t& mask);

// Sets the key equivalent and its modifier mask; an unusable string changes nothing and
// answers no.
bool QPX_Framework_Keys_SetKeyEquivalent(platform::ui::MenuItem& item,
                                         const std::optional<std::string>& shortcut);
bool QPX_Framework_Keys_SetKeyEquivalent(platform::ui::Button& button,
                                         const std::optional<std::string>& shortcut);

// Yes when the key event is that shortcut, the modifiers in `ignore` left out.
bool QPX_Framework_Keys_CheckKeyEvent(const platform::ui::Event& event,
                                      const std::optional<std::string>& shortcut, uint32_t ignore);

// Nothing when the label holds no "_" (or only a trailing one, which marks no letter);
// else the label without its first "_" with the letter after it underlined (style 1), and
// "command <letter in lower case>".
struct QPX_Framework_LabelShortcut {
  QPX_Framework_AttributedString Label;
  std::string Key;
};
std::optional<QPX_Framework_LabelShortcut> QPX_Framework_GUI_ParseLabelForShortcut(const std::string& label);
