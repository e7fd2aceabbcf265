#pragma once
// Right-to-left mirroring. When the interface runs in a right-to-left language, every
// window built from a GUI description is mirrored after it is built: each view moves to the
// mirrored place inside its superview, texts swap left and right alignment, and images are
// replaced by their "(RTL)" variant file or flipped. The decision is made once per process.
//
// Classes with their own geometry join in by deriving from QPX_RightToLeftUI and
// overriding its hooks; plain views, text views and images get the behaviour below.

#include <memory>
#include <string>

namespace platform::ui {
class Image;
class View;
class Window;
}  // namespace platform::ui

// "QPX Force RTL": the debug setting that forces right-to-left.
extern const char* const QPX_Framework_ForceRTL_Key;

// YES when the interface is right-to-left (decided on the first call and kept).
bool QPX_Framework_IsRightToLeftUI();
// Forgets the decision, so the next call decides again (tests).
void _QPX_Framework_RightToLeft_Reset();

// The hooks, in the order they run. A view class derives from this and View to replace
// them; the defaults are those of a plain view.
class QPX_RightToLeftUI {
 public:
  virtual ~QPX_RightToLeftUI() = default;
  virtual void QPX_Framework_GUI_SetRightToLeft();
  virtual void QPX_Framework_GUI_SetRightToLeft_Reposition();
  virtual void QPX_Framework_GUI_SetRightToLeft_Properties();
  virtual void QPX_Framework_GUI_SetRightToLeft_Children();

 private:
  platform::ui::View& SelfView();
};

// Views: mirrors when the interface is right-to-left / unconditionally, and the steps.
void QPX_Framework_GUI_SetRightToLeftIfNeeded(platform::ui::View& view);
void QPX_Framework_GUI_SetRightToLeft(platform::ui::View& view);
void QPX_Framework_GUI_SetRightToLeft_Reposition(platform::ui::View& view);
void QPX_Framework_GUI_SetRightToLeft_Properties(platform::ui::View& view);
void QPX_Framework_GUI_SetRightToLeft_Children(platform::ui::View& view);

// Windows: forwarded to the content view.
void QPX_Framework_GUI_SetRightToLeftIfNeeded(platform::ui::Window& window);
void QPX_Framework_GUI_SetRightToLeft(platform::ui::Window& window);

// Images.
bool QPX_Framework_Image_IsAnimated(const platform::ui::Image& image);
// Flips the image in place when the interface is right-to-left and the image is still.
void QPX_Framework_GUI_SetRightToLeftIfNeeded(platform::ui::Image& image);
// Loads an image, choosing or producing its right-to-left form when asked and the interface
// is right-to-left: a non-empty "<name> (RTL).<ext>" beside it is loaded instead; an empty
// one means the image is used as it is; without one the image is flipped (unless animated).
// A path without extension is loaded unchanged. Null when nothing could be loaded.
std::shared_ptr<platform::ui::Image> QPX_InitWithFile_respectRTL(const std::string& path, bool respect);
// The variant path "<path without extension> (RTL).<extension>"; empty without extension.
std::string QPX_Framework_RTLVariantPath(const std::string& path);
