#pragma once
// The table of object types: "Type" of a GUI description -> the creator that makes the
// object. The table has its fixed rows from the start, in their fixed order; a row gets its
// creator when the class behind it is available. Building a type whose creator is not
// there yet is logged as an error and skipped; a type that is not in the table is skipped
// silently.
//
// A creator gets the created-objects dictionary and the final description and answers the
// new object (or none). Naming, tags, placement and parenting are the builder's.
//
// Main thread only.

#include <functional>
#include <string>
#include <vector>

#include "gui/builder_objects.h"
#include "platform/value.h"

using QPX_Framework_GUI_Creator =
    std::function<QPX_Framework_GUI_Object(QPX_Framework_GUI_Objects& objects, const Value& description)>;

struct QPX_Framework_GUI_ObjectType {
  std::string type;
  // Empty until the class behind the row is available.
  QPX_Framework_GUI_Creator creator;
};

// The type of the window creator, after which the builder fits the window to its screen.
extern const char* const QPX_Framework_GUI_WindowType;  // "Window"

// The table, made on first use: every row, with the creators available in this build.
const std::vector<QPX_Framework_GUI_ObjectType>& QPX_Framework_GUI_ObjectTypes();
// The row of the type; null when the table has none.
const QPX_Framework_GUI_ObjectType* QPX_Framework_GUI_FindObjectType(const std::string& type);
// Gives the row its creator (replacing an earlier one). A type outside the table is an
// assertion: the rows are fixed.
void QPX_Framework_GUI_RegisterObjectType(const std::string& type, QPX_Framework_GUI_Creator creator);

// The creators of windows ("Window", "MultiskinWindow") and of containers and plain views
// ("View", "SwitchView", "ImageSwitchView", "Image", "Box", "TabView", "TabItem",
// "ScrollviewPlain", "Level", "Ignore"), entered when the table is made.
void QPX_Framework_GUI_RegisterWindowTypes();
void QPX_Framework_GUI_RegisterContainerTypes();

// ---- Helpers the creators share ----

// A colour of the description itself (not inherited): none when absent; a value that is no
// colour description is a broken description (assertion).
std::optional<platform::ui::Color> QPX_Framework_GUI_DescriptionColor(const Value& description,
                                                                      const std::string& key);
// The localized text of the key, or none when absent.
std::optional<std::string> QPX_Framework_GUI_LocalizedText(const Value& description, const std::string& key);
