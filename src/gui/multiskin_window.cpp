#include "gui/multiskin_window.h"

#include <cmath>

#include "framework/core/log.h"

using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::View;

std::shared_ptr<QPX_Framework_MultiskinWindow>
QPX_Framework_MultiskinWindow::QPX_Framework_MultiskinWindow_initWithName(
    const std::optional<std::string>& name, const std::optional<std::string>& title) {
  std::shared_ptr<QPX_Framework_MultiskinWindow> self(new QPX_Framework_MultiskinWindow());
  const unsigned style = title ? platform::ui::kTitledWindowMask | platform::ui::kClosableWindowMask |
                                     platform::ui::kMiniaturizableWindowMask
                               : platform::ui::kBorderlessWindowMask;
  self->Window_ = platform::ui::Window::Make(Rect(0, 0, 1, 1), style);
  if (!self->Window_) return nullptr;
  self->SaveName_ = name;
  if (title) self->Window_->SetTitle(*title);
  self->Window_->SetBackgroundColor(platform::ui::Color::Clear());
  self->Window_->SetAlphaValue(1.0);
  self->Window_->SetOpaque(false);
  self->Window_->SetHasShadow(true);
  return self;
}

QPX_Framework_MultiskinConfiguration&
QPX_Framework_MultiskinWindow::QPX_Framework_MultiskinWindow_Configuration(const std::string& name) {
  return Configurations_[name];
}

bool QPX_Framework_MultiskinWindow::QPX_Framework_MultiskinWindow_SetSkin(const Skin& skin,
                                                                          const std::string& configuration) {
  std::shared_ptr<QPX_Framework_SkinnedView> view;
  if (const auto* image = std::get_if<std::shared_ptr<platform::ui::Image>>(&skin))
    view = QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(*image);
  else
    view = QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithImage(std::get<std::string>(skin));
  if (!view) return false;
  QPX_Framework_MultiskinWindow_Configuration(configuration).Skin = view;
  return true;
}

void QPX_Framework_MultiskinWindow::QPX_Framework_MultiskinWindow_AddView(const std::shared_ptr<View>& view,
                                                                          platform::ui::Point position,
                                                                          const std::string& configuration) {
  if (!view) return;
  QPX_Framework_MultiskinWindow_Configuration(configuration)
      .Views.push_back(
          QPX_Framework_MultiskinPlacement{int(std::trunc(position.x)), int(std::trunc(position.y)), view});
}

void QPX_Framework_MultiskinWindow::QPX_Framework_MultiskinWindow_SetCurrent(const std::string& name) {
  Current_ = name;
  QPX_Framework_MultiskinConfiguration& configuration = QPX_Framework_MultiskinWindow_Configuration(name);
  const Rect oldFrame = Window_->Frame();
  std::shared_ptr<View> oldContent = Window_->ContentView();
  const Size contentSize = oldContent ? oldContent->Frame().size : Size{};
  const Size decoration{oldFrame.width() - contentSize.width, oldFrame.height() - contentSize.height};
  if (oldContent)
    for (const std::shared_ptr<View>& child : oldContent->Subviews()) child->RemoveFromSuperview();
  // A configuration without a skin shows an empty content, so that its views still have a
  // place.
  if (!configuration.Skin)
    configuration.Skin = QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithSize(0, 0);
  const std::shared_ptr<QPX_Framework_SkinnedView>& skin = configuration.Skin;
  for (const QPX_Framework_MultiskinPlacement& placement : configuration.Views) {
    placement.View->SetFrameOrigin(platform::ui::Point{double(placement.X), double(placement.Y)});
    skin->AddSubview(placement.View);
  }
  const Size skinSize = skin->Frame().size;
  const Rect frame(oldFrame.minX(), oldFrame.minY() + oldFrame.height() - skinSize.height,
                   skinSize.width + decoration.width, skinSize.height + decoration.height);
  Window_->SetContentView(skin);
  skin->SetWindowMouseHandler(std::weak_ptr<QPX_Framework_WindowMouseHandler>(
      std::static_pointer_cast<QPX_Framework_MultiskinWindow>(shared_from_this())));
  Window_->SetFrame(frame);
}

void QPX_Framework_MultiskinWindow::QPX_Framework_MultiskinWindow_Open() {
  Window_->MakeKeyAndOrderFront();
  Window_->OrderFront();
}

void QPX_Framework_MultiskinWindow::performClose() {
  // The should-close handler plays the delegate's part, with or without a close box.
  Window_->WidgetShouldClose();
}

void QPX_Framework_MultiskinWindow::mouseDown(const platform::ui::Event& event) {
  Drag_.Begin(*Window_, QPX_Framework_GUI_EventScreenLocation(event, *Window_));
}

void QPX_Framework_MultiskinWindow::mouseDragged(const platform::ui::Event& event) {
  Drag_.Move(*Window_, QPX_Framework_GUI_EventScreenLocation(event, *Window_));
}

void QPX_Framework_MultiskinWindow::mouseUp(const platform::ui::Event& /*event*/) { Drag_.End(); }
