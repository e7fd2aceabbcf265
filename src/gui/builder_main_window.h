#pragma once
// The application's main window comes from the description files: "GUI.plist" is built
// once and its window "Main" opened; the other objects of the file live as long as the
// process, for the panels that show them later.

#include <memory>

#include "gui/builder_objects.h"

namespace platform::ui {
class Window;
}

// Installs the main window's maker in the project (start-up calls this before the project
// runs).
void QPX_Framework_GUI_RegisterClasses();

// Builds "GUI.plist" (once) and opens its "Main" window, showing the first state of its
// switch views; null, logged, when the file or the window is missing.
std::shared_ptr<platform::ui::Window> QPX_Framework_GUI_OpenMainWindow();
// The objects of "GUI.plist" once built; null before.
std::shared_ptr<QPX_Framework_GUI_Objects> QPX_Framework_GUI_MainObjects();
