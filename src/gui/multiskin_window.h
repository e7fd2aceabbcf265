#pragma once
// A window with named configurations, each a skin image plus views at fixed places.
// Switching the configuration exchanges the window's whole content and resizes the window
// to the new skin; a borderless window keeps its top-left corner. Dragged by its body.
//
// Main thread only.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "gui/builder_objects.h"
#include "gui/skinned_view.h"
#include "gui/skinned_view_window_mouse.h"
#include "platform/ui/geometry.h"
#include "platform/ui/image.h"
#include "platform/ui/window.h"

struct QPX_Framework_MultiskinPlacement {
  int X = 0;
  int Y = 0;
  std::shared_ptr<platform::ui::View> View;
};

struct QPX_Framework_MultiskinConfiguration {
  // Null until a skin is set.
  std::shared_ptr<QPX_Framework_SkinnedView> Skin;
  std::vector<QPX_Framework_MultiskinPlacement> Views;
};

class QPX_Framework_MultiskinWindow : public QPX_Framework_GUI_Item, public QPX_Framework_WindowMouseHandler {
 public:
  using Skin = std::variant<std::shared_ptr<platform::ui::Image>, std::string>;

  // With a title: titled, closable and miniaturizable; without: borderless. Transparent
  // around its skins, with a shadow, no configuration yet.
  static std::shared_ptr<QPX_Framework_MultiskinWindow> QPX_Framework_MultiskinWindow_initWithName(
      const std::optional<std::string>& name, const std::optional<std::string>& title);
  static std::shared_ptr<QPX_Framework_MultiskinWindow> QPX_Framework_MultiskinWindow_InitWithTitle(
      const std::optional<std::string>& title) {
    return QPX_Framework_MultiskinWindow_initWithName(std::nullopt, title);
  }
  static std::shared_ptr<QPX_Framework_MultiskinWindow> init() {
    return QPX_Framework_MultiskinWindow_initWithName(std::nullopt, std::nullopt);
  }

  std::shared_ptr<platform::ui::Window> PlatformWindow() const override { return Window_; }
  const std::shared_ptr<platform::ui::Window>& GetWindow() const { return Window_; }
  const std::optional<std::string>& SaveName() const { return SaveName_; }

  bool canBecomeKeyWindow() const { return true; }
  bool canBecomeMainWindow() const { return true; }

  // The configuration of that name, made empty on first use.
  QPX_Framework_MultiskinConfiguration& QPX_Framework_MultiskinWindow_Configuration(const std::string& name);
  const std::map<std::string, QPX_Framework_MultiskinConfiguration>&
  QPX_Framework_MultiskinWindow_Configurations() const {
    return Configurations_;
  }
  const std::optional<std::string>& QPX_Framework_MultiskinWindow_GetCurrent() const { return Current_; }

  // True when a skinned view showing the image could be made; it becomes the skin.
  bool QPX_Framework_MultiskinWindow_SetSkin(const Skin& skin, const std::string& configuration);
  // Places the view in the configuration at the point (cut to whole numbers).
  void QPX_Framework_MultiskinWindow_AddView(const std::shared_ptr<platform::ui::View>& view,
                                             platform::ui::Point position, const std::string& configuration);
  // Shows that configuration: its skin becomes the content with its views in place; the
  // window takes the skin's size, its top edge kept (for a borderless window).
  void QPX_Framework_MultiskinWindow_SetCurrent(const std::string& configuration);
  void QPX_Framework_MultiskinWindow_Open();
  // Asks the window's should-close handler (its delegate), then closes.
  void performClose();

  void mouseDown(const platform::ui::Event& event) override;
  void mouseDragged(const platform::ui::Event& event) override;
  void mouseUp(const platform::ui::Event& event) override;
  bool IsDragging() const { return Drag_.MouseDown; }

 private:
  QPX_Framework_MultiskinWindow() = default;
  std::shared_ptr<platform::ui::Window> Window_;
  std::optional<std::string> SaveName_;
  std::map<std::string, QPX_Framework_MultiskinConfiguration> Configurations_;
  std::optional<std::string> Current_;
  QPX_Framework_WindowDrag Drag_;
};
