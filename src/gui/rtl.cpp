#include "gui/rtl.h"

#include <filesystem>
#include <optional>

#include "app/debugger.h"
#include "framework/core/log.h"
#include "framework/core/strings.h"
#include "platform/ui/controls.h"
#include "platform/ui/image.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"

using platform::ui::Image;
using platform::ui::View;

const char* const QPX_Framework_ForceRTL_Key = "QPX Force RTL";

namespace {
std::optional<bool>& Decision() {
  static std::optional<bool> decision;
  return decision;
}
}  // namespace

bool QPX_Framework_IsRightToLeftUI() {
  std::optional<bool>& decision = Decision();
  if (decision) return *decision;
  std::shared_ptr<QPX_Framework_Debugger> debugger = QPX_Framework_Debugger::Debugger();
  if (debugger)
    debugger->AddCheckbox("Force RTL UI (requires application restart)", QPX_Framework_ForceRTL_Key);
  if (debugger && debugger->QPX_Framework_Debugger_GetBool(QPX_Framework_ForceRTL_Key)) {
    decision = true;
  } else {
    const std::string& text = QPX_Framework_GetString(-10);
    QPX_Log(QPX_LOG_TRACE, "String table says %s", text.c_str());
    decision = text == "RTL";
  }
  return *decision;
}

void _QPX_Framework_RightToLeft_Reset() { Decision().reset(); }

// ---- Views ----

View& QPX_RightToLeftUI::SelfView() {
  auto* view = dynamic_cast<View*>(this);
  QPX_Assert(view != nullptr);
  return *view;
}

namespace {
void DefaultReposition(View& view) {
  std::shared_ptr<View> super = view.Superview();
  if (!super) return;
  const platform::ui::Rect frame = view.Frame();
  view.SetFrameOrigin(platform::ui::Point{super->Bounds().width() - frame.maxX(), frame.minY()});
}

void DefaultProperties(View& view) {
  // Text views swap their alignment; a plain view has nothing that depends on direction.
  if (auto* text = dynamic_cast<platform::ui::TextView*>(&view)) {
    if (text->Alignment() == platform::ui::TextAlignment::Left)
      text->SetAlignment(platform::ui::TextAlignment::Right);
    else if (text->Alignment() == platform::ui::TextAlignment::Right)
      text->SetAlignment(platform::ui::TextAlignment::Left);
  }
}

void DefaultChildren(View& view) {
  // The inner views of a text object are not mirrored.
  if (dynamic_cast<platform::ui::TextView*>(&view) != nullptr) return;
  for (const std::shared_ptr<View>& subview : view.Subviews()) QPX_Framework_GUI_SetRightToLeft(*subview);
}
}  // namespace

void QPX_RightToLeftUI::QPX_Framework_GUI_SetRightToLeft() {
  View& view = SelfView();
  ::QPX_Framework_GUI_SetRightToLeft_Reposition(view);
  ::QPX_Framework_GUI_SetRightToLeft_Properties(view);
  ::QPX_Framework_GUI_SetRightToLeft_Children(view);
}
void QPX_RightToLeftUI::QPX_Framework_GUI_SetRightToLeft_Reposition() { DefaultReposition(SelfView()); }
void QPX_RightToLeftUI::QPX_Framework_GUI_SetRightToLeft_Properties() { DefaultProperties(SelfView()); }
void QPX_RightToLeftUI::QPX_Framework_GUI_SetRightToLeft_Children() { DefaultChildren(SelfView()); }

void QPX_Framework_GUI_SetRightToLeftIfNeeded(View& view) {
  if (QPX_Framework_IsRightToLeftUI()) QPX_Framework_GUI_SetRightToLeft(view);
}

void QPX_Framework_GUI_SetRightToLeft(View& view) {
  if (auto* hooks = dynamic_cast<QPX_RightToLeftUI*>(&view)) {
    hooks->QPX_Framework_GUI_SetRightToLeft();
    return;
  }
  QPX_Framework_GUI_SetRightToLeft_Reposition(view);
  QPX_Framework_GUI_SetRightToLeft_Properties(view);
  QPX_Framework_GUI_SetRightToLeft_Children(view);
}

void QPX_Framework_GUI_SetRightToLeft_Reposition(View& view) {
  if (auto* hooks = dynamic_cast<QPX_RightToLeftUI*>(&view))
    hooks->QPX_Framework_GUI_SetRightToLeft_Reposition();
  else
    DefaultReposition(view);
}

void QPX_Framework_GUI_SetRightToLeft_Properties(View& view) {
  if (auto* hooks = dynamic_cast<QPX_RightToLeftUI*>(&view))
    hooks->QPX_Framework_GUI_SetRightToLeft_Properties();
  else
    DefaultProperties(view);
}

void QPX_Framework_GUI_SetRightToLeft_Children(View& view) {
  if (auto* hooks = dynamic_cast<QPX_RightToLeftUI*>(&view))
    hooks->QPX_Framework_GUI_SetRightToLeft_Children();
  else
    DefaultChildren(view);
}

void QPX_Framework_GUI_SetRightToLeftIfNeeded(platform::ui::Window& window) {
  if (QPX_Framework_IsRightToLeftUI()) QPX_Framework_GUI_SetRightToLeft(window);
}

void QPX_Framework_GUI_SetRightToLeft(platform::ui::Window& window) {
  // The content view fills the window: its own place does not change, its contents do.
  if (std::shared_ptr<View> content = window.ContentView()) QPX_Framework_GUI_SetRightToLeft(*content);
}

// ---- Images ----

bool QPX_Framework_Image_IsAnimated(const Image& image) { return image.isAnimated(); }

void QPX_Framework_GUI_SetRightToLeftIfNeeded(Image& image) {
  if (QPX_Framework_IsRightToLeftUI() && !QPX_Framework_Image_IsAnimated(image)) image.FlipHorizontally();
}

std::string QPX_Framework_RTLVariantPath(const std::string& path) {
  const std::filesystem::path p(path);
  if (!p.has_extension() || p.stem().empty()) return {};
  const std::filesystem::path variant =
      p.parent_path() / (p.stem().string() + " (RTL)" + p.extension().string());
  return variant.string();
}

std::shared_ptr<Image> QPX_InitWithFile_respectRTL(const std::string& path, bool respect) {
  std::string chosen = path;
  bool flip = false;
  if (respect && QPX_Framework_IsRightToLeftUI()) {
    const std::string variant = QPX_Framework_RTLVariantPath(path);
    std::error_code error;
    if (!variant.empty()) {
      if (std::filesystem::exists(variant, error)) {
        // An empty variant says: this image needs no mirroring.
        if (std::filesystem::file_size(variant, error) > 0 && !error) chosen = variant;
      } else {
        flip = true;
      }
    }
  }
  std::shared_ptr<Image> image = Image::FromFile(chosen);
  if (image && flip && !QPX_Framework_Image_IsAnimated(*image)) image->FlipHorizontally();
  return image;
}
