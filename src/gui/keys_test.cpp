// Keyboard shortcut strings: interpreting, setting on items and buttons, checking events,
// and labels with a marked letter.

#include "gui/keys.h"

#include <gtest/gtest.h>

#include "platform/ui/controls.h"
#include "platform/ui/menu.h"
#include "platform/ui/ui_test_support.h"

namespace {

using platform::ui::Event;
using platform::ui::Utf8FromCodePoint;

TEST(KeysTest, ShortcutStringsGiveAKeyAndAMask) {
  struct Case {
    const char* shortcut;
    bool usable;
    std::string key;
    uint32_t mask;
  } cases[] = {
      {"ctrl-shift F5", true, Utf8FromCodePoint(0xF708), 0x60000},
      {"command-alt x", true, "x", 0x180000},
      {"Help", true, "?", 0x100000},
      {"Window Close", true, "\x1b", 0},
      {"command", false, "command", 0},
      {"command ", false, "command ", 0},    // nothing after the separator: not a modifier
      {"Command q", false, "Command q", 0},  // names are case-sensitive
      {"shift Up", true, Utf8FromCodePoint(0xF700), 0x20000},
      {"F12", true, Utf8FromCodePoint(0xF70F), 0},
      {"Delete", true, Utf8FromCodePoint(0xF728), 0},
      {"control tab", true, "\t", 0x40000},
      {"q", true, "q", 0},
      {"", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string key = "unset";
    uint32_t mask = 7;
    EXPECT_EQ(QPX_Framework_Keys_Interpret(std::string(c.shortcut), key, mask), c.usable) << c.shortcut;
    EXPECT_EQ(key, c.key) << c.shortcut;
    EXPECT_EQ(mask, c.mask) << c.shortcut;
  }
  std::string key = "unset";
  uint32_t mask = 7;
  EXPECT_FALSE(QPX_Framework_Keys_Interpret(std::nullopt, key, mask));
  EXPECT_EQ(key, "unset");
  EXPECT_EQ(mask, 7u);
}

TEST(KeysTest, SettingAShortcutChangesNothingWhenItIsUnusable) {
  platform::ui::testing::EnsureApplication();
  auto item = platform::ui::MenuItem::Make("Help");
  EXPECT_TRUE(QPX_Framework_Keys_SetKeyEquivalent(*item, std::string("Help")));
  EXPECT_EQ(item->KeyEquivalent(), "?");
  EXPECT_EQ(item->KeyEquivalentModifierMask(), platform::ui::kCommandKeyMask);
  EXPECT_FALSE(QPX_Framework_Keys_SetKeyEquivalent(*item, std::string("command")));
  EXPECT_EQ(item->KeyEquivalent(), "?");
  auto button = platform::ui::Button::Make(platform::ui::Rect(0, 0, 80, 22));
  EXPECT_TRUE(QPX_Framework_Keys_SetKeyEquivalent(*button, std::string("Window Close")));
  EXPECT_EQ(button->KeyEquivalent(), "\x1b");
  EXPECT_EQ(button->KeyEquivalentModifierMask(), 0u);
}

TEST(KeysTest, KeyEventsMatchTheirShortcutOnly) {
  auto key = [](Event::Type type, const std::string& characters, uint32_t flags) {
    Event event;
    event.type = type;
    event.charactersIgnoringModifiers = characters;
    event.modifierFlags = flags | 0x100;  // device-dependent bits are never compared
    return event;
  };
  const uint32_t command = platform::ui::kCommandKeyMask;
  const uint32_t capsLock = platform::ui::kAlphaShiftKeyMask;
  EXPECT_TRUE(
      QPX_Framework_Keys_CheckKeyEvent(key(Event::Type::KeyDown, "q", command), std::string("command q"), 0));
  EXPECT_TRUE(
      QPX_Framework_Keys_CheckKeyEvent(key(Event::Type::KeyUp, "q", command), std::string("command q"), 0));
  EXPECT_FALSE(QPX_Framework_Keys_CheckKeyEvent(key(Event::Type::LeftMouseDown, "q", command),
                                                std::string("command q"), 0));
  EXPECT_FALSE(
      QPX_Framework_Keys_CheckKeyEvent(key(Event::Type::KeyDown, "q", 0), std::string("command q"), 0));
  EXPECT_FALSE(
      QPX_Framework_Keys_CheckKeyEvent(key(Event::Type::KeyDown, "", command), std::string("command q"), 0));
  EXPECT_FALSE(
      QPX_Framework_Keys_CheckKeyEvent(key(Event::Type::KeyDown, "q", command), std::string("command"), 0));
  // Caps lock on: only a caller that ignores it gets the match.
  const Event caps = key(Event::Type::KeyDown, "Q", command | capsLock);
  EXPECT_FALSE(QPX_Framework_Keys_CheckKeyEvent(caps, std::string("command q"), 0));
  EXPECT_TRUE(QPX_Framework_Keys_CheckKeyEvent(caps, std::string("command q"), capsLock));
  EXPECT_TRUE(QPX_Framework_Keys_CheckKeyEvent(key(Event::Type::KeyDown, Utf8FromCodePoint(0xF708), 0x60000),
                                               std::string("ctrl-shift F5"), 0));
}

TEST(KeysTest, ALabelWithAMarkerUnderlinesItsLetterAndGivesTheShortcut) {
  auto first = QPX_Framework_GUI_ParseLabelForShortcut("_File");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Label.text, "File");
  EXPECT_EQ(first->Label.UnderlineAt(0), 1);
  EXPECT_EQ(first->Label.UnderlineAt(1), 0);
  EXPECT_EQ(first->Key, "command f");

  auto second = QPX_Framework_GUI_ParseLabelForShortcut("Save _As");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Label.text, "Save As");
  EXPECT_EQ(second->Label.UnderlineAt(5), 1);
  EXPECT_EQ(second->Key, "command a");

  EXPECT_FALSE(QPX_Framework_GUI_ParseLabelForShortcut("Plain"));
  // A marker with no letter after it marks nothing.
  EXPECT_FALSE(QPX_Framework_GUI_ParseLabelForShortcut("Trailing_"));
  // Positions count UTF-16 units.
  auto wide = QPX_Framework_GUI_ParseLabelForShortcut("\xC3\xA9t\xC3\xA9 _\xC3\x89");
  ASSERT_TRUE(wide);
  EXPECT_EQ(wide->Label.UnderlineAt(4), 1);
  EXPECT_EQ(wide->Key, "command \xC3\xA9");
}

}  // namespace
