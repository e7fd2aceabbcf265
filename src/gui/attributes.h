#pragma once
// The vocabulary of values in GUI descriptions (sizes, locations, fonts, colours,
// alignments, images, texts with a marked shortcut letter), the attribute stack through
// which containers pass looks down to their contents, the placing of views and the
// propagation of a window resize to the views that declare scale factors.
//
// Main thread only, like all GUI work.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "gui/attributed_string.h"
#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/geometry.h"
#include "platform/ui/view.h"
#include "platform/value.h"

namespace platform::ui {
class Image;
class Window;
}  // namespace platform::ui

// ---- Attribute stack ----

// Pushes the description's "Attributes" (or one shared empty dictionary).
void QPX_Framework_SkinnedGUI_PushAttributes(const Value& description);
// Removes the top entry; popping an empty stack is an assertion.
void QPX_Framework_SkinnedGUI_PopAttributes();
std::size_t QPX_Framework_SkinnedGUI_AttributeDepth();
// The description's own value, else the topmost stack entry that has the key, else the
// default.
Value GetAttribute(const Value& description, const std::string& key, const Value& defaultValue = Value());

// ---- Value formats ----

// "320x200", "320,200", "320 200" (blanks around the parts skipped; both numbers required).
bool QPX_Framework_GetSize(const Value& text, platform::ui::Size& size);
// "x,y" or "x y" ("x" is no separator here).
bool QPX_Framework_GUI_ParseLocation(const Value& text, platform::ui::Point& point);
// A number (fractions dropped), "<n>px" (n times the system font size / 16), "<n>..." (n),
// anything else 0.
int QPX_Framework_GUI_FontSize(const Value& value);
// "Left", "Right", "Center" (any case) or a description with "Alignment"; others give the
// default. A value that is neither text nor dictionary (nor absent) is an assertion.
platform::ui::TextAlignment QPX_Framework_GetMyObjectAlignment(const Value& value,
                                                               platform::ui::TextAlignment defaultAlignment);
// "Control", "Command", "Alternate": their masks; other words leave the mask as it is.
uint32_t QPX_Framework_GUI_KeyModifierMask(const Value& word, uint32_t mask);
// A colour attribute through the attribute lookup: none when absent; an unparsable colour
// text is an assertion.
std::optional<platform::ui::Color> QPX_Framework_GUI_GetAttributeColor(
    const Value& description, const std::string& key,
    const std::optional<std::string>& defaultSpec = std::nullopt);
// The text of a description's contents: localized ("STRING:<n>", "U+<hex>;" escapes).
std::string QPX_Framework_GUI_TextContents(const Value& contents);
// For a Text object: the HTML after a leading "HTML:", or nothing.
std::optional<std::string> QPX_Framework_GUI_HTMLContents(const std::string& text);

// ---- Fonts ----

void QPX_Framework_GUI_SetDefaultFont(const std::optional<std::string>& fontName);
void QPX_Framework_GUI_IgnoreFont(const std::string& fontName);
// Forgets the default font and the ignored names (tests).
void _QPX_Framework_GUI_ResetFonts();
// The font named by the two keys (through the attribute lookup); nothing, logged, when no
// font results (the caller leaves the object's font alone).
std::optional<platform::ui::Font> QPX_Framework_GUI_GetMyObjectFont(const Value& description,
                                                                    const std::string& nameKey,
                                                                    const std::string& sizeKey);
// "Font Name" and "Font Size" applied to a control or text view.
void SetFont(const Value& description, platform::ui::View& object);

// ---- Images ----

// "Images/<name>" from the localized resources (and its resource-branch variant), loaded
// with right-to-left handling; a clear background. A name that cannot be loaded is logged
// and gives an empty 10 x 10 image, so layout goes on. Null only for no name.
std::shared_ptr<platform::ui::Image> QPX_Framework_GetImage(const std::optional<std::string>& name);
// The same for a name found through the attribute lookup.
std::shared_ptr<platform::ui::Image> GetAttributeImage(const Value& description, const std::string& key);
// A button image over its "Fill Background" colour (a new image of the same size).
std::shared_ptr<platform::ui::Image> QPX_Framework_GUI_FillImageBackground(
    const std::shared_ptr<platform::ui::Image>& image, const std::optional<platform::ui::Color>& fill);

// ---- Labels ----

// Without "_": the plain text. Else the first "_" is removed, the letter now in its place
// underlined (thick) and returned; the whole text gets the colour when one is given.
QPX_Framework_AttributedString QPX_Framework_ProcessUnderscore(
    const std::string& text, std::optional<std::string>& letter,
    const std::optional<platform::ui::Color>& color);

// ---- Views and windows ----

// Fixes the view's size to the size text (also its minimum and maximum where it keeps
// them); without a size, sizes it to fit. YES when a size was given.
bool QPX_Framework_SizeMyObject(platform::ui::View* view, const Value& sizeText);
// Places the view at its "Location" (added to the origin an action label already has);
// an unparsable location leaves it. Nothing without "Location". Not a view: assertion.
void QPX_Framework_GUI_PlaceView(platform::ui::View* view, const Value& description,
                                 bool isActionLabel = false);
// Cuts the window's frame size to the screen size (when known), then raises it to the
// window's minimum size; the origin stays.
void QPX_Framework_GUI_FitWindowToScreen(platform::ui::Window& window,
                                         const std::optional<platform::ui::Size>& screen);

// ---- Descriptions and resize propagation ----

// The description a view was built from, and its base frame (the frame it was built with).
void QPX_Framework_GUI_SetDescription(const platform::ui::View& view, const Value& description);
Value QPX_Framework_GUI_GetDescription(const platform::ui::View& view);
void QPX_Framework_GUI_SetDescription(const platform::ui::Window& window, const Value& description);
Value QPX_Framework_GUI_GetDescription(const platform::ui::Window& window);
// 16 bytes: x, y, width, height as 32-bit floats.
void QPX_Framework_GUI_SetBaseFrame(const platform::ui::View& view, const platform::ui::Rect& frame);
void QPX_Framework_GUI_SetBaseFrameData(const platform::ui::View& view, const Value& data);
// Observes a window whose description has "MinSize" or "MaxSize" for resizes.
void QPX_Framework_GUI_ObserveWindowResize(const std::shared_ptr<platform::ui::Window>& window);
// What one resize does: the content size minus the described "Size" goes down the views.
void QPX_Framework_GUI_WindowDidResize(platform::ui::Window& window);
