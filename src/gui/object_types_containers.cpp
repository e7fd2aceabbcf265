// The container and plain-view rows of the table of object types: "View", "SwitchView",
// "ImageSwitchView", "Image", "Box", "TabView", "TabItem", "ScrollviewPlain", "Level" and
// "Ignore".

#include <memory>

#include "framework/core/log.h"
#include "gui/attributes.h"
#include "gui/builder.h"
#include "gui/object_types.h"
#include "gui/object_types_platform_views.h"
#include "gui/skinned_view.h"
#include "gui/switch_view.h"

using platform::ui::Rect;
using platform::ui::Size;
using platform::ui::View;

namespace {

QPX_Framework_GUI_Object CreateView(QPX_Framework_GUI_Objects& objects, const Value& d) {
  std::shared_ptr<QPX_Framework_SkinnedView> view =
      QPX_Framework_SkinnedView::QPX_Framework_SkinnedView_InitWithSize(0, 0);
  view->SetBlockClicks(d.get("Block Clicks").toBool());
  view->SetBlockClickthrough(d.get("Block Clickthrough").toBool());
  if (d.contains("Background Image"))
    view->QPX_Framework_SkinnedView_ChangeImage(
        QPX_Framework_GetImage(d.get("Background Image").optString()));
  else
    QPX_Framework_SizeMyObject(view.get(), d.get("Size"));
  if (std::optional<platform::ui::Color> color = QPX_Framework_GUI_DescriptionColor(d, "BackgroundColor"))
    view->QPX_Framework_SkinnedView_SetBackgroundColor(color);
  else if (std::optional<platform::ui::Color> fixed =
               QPX_Framework_GUI_DescriptionColor(d, "BackgroundColor Fixed"))
    view->QPX_Framework_SkinnedView_SetBackgroundColor_Fixed(fixed);
  QPX_Framework_SkinnedGUI_PushAttributes(d);
  QPX_Framework_CreateMyObjects(objects, d.get("Contents"), view.get());
  QPX_Framework_SkinnedGUI_PopAttributes();
  // The children exist now: blocking clicks covers them too.
  if (view->BlocksClicks()) view->SetBlockClicks(true);
  return view;
}

std::shared_ptr<QPX_Framework_SwitchView> MakeSwitchView(const Value& d) {
  std::shared_ptr<QPX_Framework_SwitchView> view = QPX_Framework_SwitchView::init();
  if (std::optional<platform::ui::Color> color = QPX_Framework_GUI_DescriptionColor(d, "BackgroundColor"))
    view->QPX_Framework_SkinnedView_SetBackgroundColor_Fixed(color);
  return view;
}

QPX_Framework_GUI_Object CreateSwitchView(QPX_Framework_GUI_Objects& objects, const Value& d) {
  std::shared_ptr<QPX_Framework_SwitchView> view = MakeSwitchView(d);
  QPX_Framework_CreateMyObjects(objects, d.get("Contents"), view.get());
  return view;
}

// An image view as the "Image" type makes it, with the image at its own size or at `size`.
std::shared_ptr<gui::ImageView> MakeImageView(const Value& imageName, const std::optional<Size>& size) {
  std::shared_ptr<gui::ImageView> view = gui::ImageView::Make(Rect());
  view->SetAnimates(true);
  if (imageName.isNull()) {
    view->SetFrameSize(size.value_or(Size{1, 1}));
    return view;
  }
  std::shared_ptr<platform::ui::Image> image = QPX_Framework_GetImage(imageName.optString());
  if (!image) image = platform::ui::Image::Empty(Size{10, 10});
  if (size) image = gui::ResizedImage(*image, *size);
  view->SetImage(image);
  view->SetFrameSize(image->size());
  return view;
}

QPX_Framework_GUI_Object CreateImageSwitchView(QPX_Framework_GUI_Objects& /*objects*/, const Value& d) {
  Value withoutContents = d;
  withoutContents.remove("Contents");
  std::shared_ptr<QPX_Framework_SwitchView> view = MakeSwitchView(withoutContents);
  for (const Value& name : d.get("Contents").array()) view->addSubview(MakeImageView(name, std::nullopt));
  return view;
}

QPX_Framework_GUI_Object CreateImage(QPX_Framework_GUI_Objects& /*objects*/, const Value& d) {
  Size size;
  const bool sized = QPX_Framework_GetSize(d.get("Size"), size);
  return MakeImageView(d.get("Image"), sized ? std::optional(size) : std::nullopt);
}

QPX_Framework_GUI_Object CreateBox(QPX_Framework_GUI_Objects& objects, const Value& d) {
  std::shared_ptr<gui::Box> box = gui::Box::Make(Rect());
  box->SetTitle("");
  QPX_Framework_SizeMyObject(box.get(), d.get("Size"));
  const Value kind = d.get("Kind");
  if (kind == Value("Custom"))
    box->SetBoxType(gui::Box::Kind::Custom);
  else if (kind == Value("Secondary"))
    box->SetBoxType(gui::Box::Kind::Secondary);
  if (d.contains("Border Width")) box->SetBorderWidth(d.get("Border Width").toInt());
  if (d.contains("Corner Radius")) box->SetCornerRadius(d.get("Corner Radius").toInt());
  if (std::optional<platform::ui::Color> fill = QPX_Framework_GUI_DescriptionColor(d, "Fill Color"))
    box->SetFillColor(fill);
  if (std::optional<platform::ui::Color> border = QPX_Framework_GUI_DescriptionColor(d, "Border Color"))
    box->SetBorderColor(border);
  QPX_Framework_CreateMyObjects(objects, d.get("Contents"), box->ContentView().get());
  return box;
}

QPX_Framework_GUI_Object CreateTabView(QPX_Framework_GUI_Objects& objects, const Value& d) {
  std::shared_ptr<gui::TabView> view = gui::TabView::Make(Rect());
  QPX_Framework_SizeMyObject(view.get(), d.get("Size"));
  // The row of tabs comes on top of the described size.
  const Size size = view->Frame().size;
  view->SetFrameSize(Size{size.width, size.height + gui::TabView::kTabHeight});
  QPX_Framework_CreateMyObjects(objects, d.get("Contents"), view.get());
  return view;
}

QPX_Framework_GUI_Object CreateTabItem(QPX_Framework_GUI_Objects& objects, const Value& d) {
  QPX_Framework_GUI_Object page;
  if (d.get("View").isDictionary()) page = QPX_Framework_CreateMyObject(objects, d.get("View"));
  if (!page) page = View::Make(Rect());
  QPX_Assert_Detail(page.IsView(), Value("a tab item's \"View\" is not a view"));
  const std::string label = QPX_Framework_GUI_LocalizedText(d, "Label").value_or("???");
  return gui::TabViewItem::Make(label, page.View());
}

QPX_Framework_GUI_Object CreateScrollviewPlain(QPX_Framework_GUI_Objects& objects, const Value& d) {
  std::shared_ptr<gui::ScrollView> view = gui::ScrollView::Make(Rect());
  QPX_Framework_SizeMyObject(view.get(), d.get("Size"));
  if (d.get("Contents").isDictionary()) {
    const QPX_Framework_GUI_Object document = QPX_Framework_CreateMyObject(objects, d.get("Contents"));
    if (document.IsView()) view->SetDocumentView(document.View());
  }
  return view;
}

QPX_Framework_GUI_Object CreateLevel(QPX_Framework_GUI_Objects& /*objects*/, const Value& d) {
  std::shared_ptr<gui::LevelIndicator> view = gui::LevelIndicator::Make(Rect());
  QPX_Framework_SizeMyObject(view.get(), d.get("Size"));
  return view;
}

QPX_Framework_GUI_Object CreateIgnore(QPX_Framework_GUI_Objects& /*objects*/, const Value& /*d*/) {
  return View::Make(Rect());
}

}  // namespace

void QPX_Framework_GUI_RegisterContainerTypes() {
  QPX_Framework_GUI_RegisterObjectType("Level", &CreateLevel);
  QPX_Framework_GUI_RegisterObjectType("View", &CreateView);
  QPX_Framework_GUI_RegisterObjectType("TabView", &CreateTabView);
  QPX_Framework_GUI_RegisterObjectType("TabItem", &CreateTabItem);
  QPX_Framework_GUI_RegisterObjectType("SwitchView", &CreateSwitchView);
  QPX_Framework_GUI_RegisterObjectType("ImageSwitchView", &CreateImageSwitchView);
  QPX_Framework_GUI_RegisterObjectType("Image", &CreateImage);
  QPX_Framework_GUI_RegisterObjectType("ScrollviewPlain", &CreateScrollviewPlain);
  QPX_Framework_GUI_RegisterObjectType("Box", &CreateBox);
  QPX_Framework_GUI_RegisterObjectType("Ignore", &CreateIgnore);
}
