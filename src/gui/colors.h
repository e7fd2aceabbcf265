#pragma once
// Colour descriptions of GUI description files and colour lists:
//   "RGBA" red green blue [alpha]   integers 0-255, alpha 255 when missing
//   "Grey" white [alpha]            integers 0-255
//   "System" name                   a named system colour ("controlTextColor")
//   "File" name                     an entry of the bundle's "Colors.xml"
// White space may stand before each part; each ":" separator is optional. A description
// that does not parse is a broken description: it is logged ("Invalid color spec ...") and
// ends in the assertion routine.

#include <optional>
#include <string>

#include "platform/ui/color.h"

// Nullopt only for a missing text.
std::optional<platform::ui::Color> QPX_Framework_GetColorFromString(
    const std::optional<std::string>& text);

// Forgets the colour table read from "Colors.xml" (tests).
void _QPX_Framework_Colors_Reset();
