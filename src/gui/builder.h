#pragma once
// GUI description files and the object builder. Every window, panel, menu, bubble and
// pop-up is described in a property list in the bundle's resources under "GUI" (with
// `include` elements pulling in other files). Building a file walks its object
// descriptions, creates each object through the table of object types, applies the
// standard tags ("Name", "ToolTip", "Hidden", "UserData") and hands the caller the
// created-objects dictionary. Code then binds actions and fills in values.
//
// Main thread only; none of the process-wide tables is locked.

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gui/builder_objects.h"
#include "platform/ui/color.h"
#include "platform/value.h"

namespace platform::ui {
class View;
}

// Reads the XML property list at the path, with its `include` elements replaced by the
// root elements of the files they name (relative to the including file). Null when a file
// cannot be read, an include cannot be resolved, or the result is no property list. The
// path of every file read is added to the set `readFiles` when one is given. An include cycle is a
// broken description of ours (assertion naming the files).
std::optional<Value> _QPX_Framework_ReadGUIPList(const std::string& path,
                                                 std::set<std::string>* readFiles = nullptr);

// Builds "<resources>/GUI/<file>" into a new created-objects dictionary; null when the file
// cannot be read or its root is not an array. The file's header attributes hold for its
// own build only.
std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_SkinnedGUI_Create(const std::string& fileName);
// The same, but the header's attributes stay pushed for every later build (a file of
// shared attributes).
std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_SkinnedGUI_LoadAttributes(
    const std::string& fileName);
std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_SkinnedGUI_Create_Internal(
    const std::string& fileName, bool keepAttributes);
// Builds the files in order into one dictionary (later names replace earlier ones). The
// list ends at its end or at an empty entry; an empty first entry is an assertion. Null as
// soon as one file fails; the files after it are not built.
std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_SkinnedGUI_CreateMulti(
    const std::vector<std::string>& fileNames);

// The file name given to the last build ("" before any), part of windows' save names.
const std::string& QPX_Framework_SkinnedGUI_CurrentFile();

// Creates one object from a description and places it at its "Location"; none for a
// description without a known "Type". Used by containers that build nested descriptions.
QPX_Framework_GUI_Object QPX_Framework_CreateMyObject(QPX_Framework_GUI_Objects& objects,
                                                      const Value& description);
// Creates every description of the array in order and places the views in the parent
// (when one is given). Always true.
bool QPX_Framework_CreateMyObjects(QPX_Framework_GUI_Objects& objects, const Value& descriptions,
                                   platform::ui::View* parent);

// The "UserData" stored for the name, or null.
Value QPX_Framework_GUI_GetUserData(const QPX_Framework_GUI_Objects& objects, const std::string& name);

// "<resources>/GUI/<file>" read as a plain property list (no includes): an array of one
// dictionary of colour descriptions (anything else is an assertion), as name -> colour.
std::map<std::string, platform::ui::Color> QPX_Framework_GUI_ReadColorList(const std::string& fileName);

// The final description (after overrides) an object was created from; null when unknown.
// Views and windows are also found through QPX_Framework_GUI_GetDescription.
Value QPX_Framework_GUI_GetObjectDescription(const QPX_Framework_GUI_Object& object);
