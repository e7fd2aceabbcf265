#pragma once
// Controls: push buttons and checkboxes, text fields (labels, editable entries, secure
// entries), drop-downs and text views. A control keeps its own action, tag, enabled state,
// font and alignment; the action runs on the main thread when the user acts on the control
// (and by PerformClick / choosing an item in code, as a test would).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/view.h"

namespace platform::ui {

class Image;
class Menu;

class Control : public View {
 public:
  using Action = std::function<void(Control& sender)>;

  void SetAction(Action action);
  bool HasAction() const;
  // Runs the action, as the user's act on the control does.
  void SendAction();
  int Tag() const;
  void SetTag(int tag);
  bool IsEnabled() const;
  virtual void SetEnabled(bool enabled);
  Font GetFont() const;
  virtual void SetFont(const Font& font);
  TextAlignment Alignment() const;
  virtual void SetAlignment(TextAlignment alignment);
  // The control's value as text, and as a number (0/1 for a checkbox, the selected index of
  // a drop-down).
  virtual std::string StringValue() const { return {}; }
  virtual void SetStringValue(const std::string&) {}
  virtual int IntegerValue() const { return 0; }

 protected:
  Control();
  Action action_;
  int tag_ = 0;
  Font font_ = Font::System();
  TextAlignment alignment_ = TextAlignment::Natural;
};

class Button : public Control {
 public:
  enum class Type { Push, Switch, Radio };
  enum class Bezel { Rounded, RegularSquare, None };
  static std::shared_ptr<Button> Make(const Rect& frame, Type type = Type::Push,
                                      const std::string& title = "");

  Type ButtonType() const;
  std::string Title() const;
  void SetTitle(const std::string& title);
  void SetBezel(Bezel bezel);
  void SetImage(const std::shared_ptr<Image>& image);
  // Checkboxes and radio buttons: 0 off, 1 on.
  int State() const;
  void SetState(int state);
  void SetKeyEquivalent(const std::string& key);
  std::string KeyEquivalent() const;
  void SetKeyEquivalentModifierMask(uint32_t mask);
  uint32_t KeyEquivalentModifierMask() const;
  // A click: toggles a checkbox, then runs the action (nothing when disabled).
  void PerformClick();

  void SizeToFit() override;
  void SetFont(const Font& font) override;
  std::string StringValue() const override { return Title(); }
  int IntegerValue() const override { return State(); }

 private:
  explicit Button(Type type);
  void ApplyShortcut();
  Type type_;
  std::string key_;
  uint32_t mask_ = 0;
};

class TextField : public Control {
 public:
  // An editable entry; SetEditable(false) with no bezel and no background makes a label.
  static std::shared_ptr<TextField> Make(const Rect& frame, const std::string& text = "");
  static std::shared_ptr<TextField> MakeLabel(const Rect& frame, const std::string& text);
  static std::shared_ptr<TextField> MakeSecure(const Rect& frame);

  std::string StringValue() const override;
  void SetStringValue(const std::string& text) override;
  std::string Placeholder() const;
  void SetPlaceholder(const std::string& text);
  bool IsEditable() const;
  void SetEditable(bool editable);
  void SetSelectable(bool selectable);
  void SetBezeled(bool bezeled);
  void SetDrawsBackground(bool draws);
  void SetTextColor(const Color& color);
  bool IsSecure() const;
  // Runs on every change the user makes to the text (not on SetStringValue).
  void SetTextDidChangeHandler(std::function<void(TextField&)> handler);
  // Types the text into the field as the user would: the text becomes the field's value and
  // the change handler runs.
  void TypeText(const std::string& text);

  void SizeToFit() override;
  void SetFont(const Font& font) override;
  void SetAlignment(TextAlignment alignment) override;
  void SetEnabled(bool enabled) override;

 private:
  TextField(bool secure, bool label);
  void ApplyLook();
  void TextEdited();
  bool secure_;
  bool label_;
  bool bezeled_ = true;
  bool drawsBackground_ = true;
  std::optional<Color> textColor_;
  std::function<void(TextField&)> textDidChange_;
};

class PopUpButton : public Control {
 public:
  // A drop-down (pullsDown false) or a pull-down menu (true).
  static std::shared_ptr<PopUpButton> Make(const Rect& frame, bool pullsDown = false);

  void AddItem(const std::string& title);
  void AddItems(const std::vector<std::string>& titles);
  void RemoveAllItems();
  std::size_t NumberOfItems() const;
  std::vector<std::string> ItemTitles() const;
  std::string ItemTitleAt(std::size_t index) const;
  // -1 when nothing is selected.
  int IndexOfSelectedItem() const;
  std::optional<std::string> TitleOfSelectedItem() const;
  void SelectItemAt(int index);
  // False when no item has the title (the selection is then unchanged).
  bool SelectItemWithTitle(const std::string& title);
  // The user's choice: selects, then runs the action.
  void ChooseItemAt(int index);

  std::string StringValue() const override;
  int IntegerValue() const override { return IndexOfSelectedItem(); }
  void SetFont(const Font& font) override;

 private:
  explicit PopUpButton(bool pullsDown);
  bool pullsDown_;
  bool choosing_ = false;
};

// Text drawn by the layer itself: one or more lines with a font, colour, alignment and an
// optional background, turned with the view's frame rotation when set.
class TextView : public View {
 public:
  static std::shared_ptr<TextView> Make(const Rect& frame, const std::string& text = "");

  std::string String() const;
  void SetString(const std::string& text);
  Font GetFont() const;
  void SetFont(const Font& font);
  Color TextColor() const;
  void SetTextColor(const Color& color);
  TextAlignment Alignment() const;
  void SetAlignment(TextAlignment alignment);
  void SetDrawsBackground(bool draws);
  bool DrawsBackground() const;
  void SetEditable(bool editable);
  bool IsEditable() const;
  void SetSelectable(bool selectable);
  bool IsSelectable() const;

  bool SupportsMinMaxSize() const override { return true; }
  void SetMinSize(Size size) override;
  void SetMaxSize(Size size) override;
  Size MinSize() const;
  Size MaxSize() const;
  bool SupportsResizability() const override { return true; }
  void SetResizable(bool horizontally, bool vertically) override;
  void SizeToFit() override;
  void Draw(Painter& painter, const Rect& dirtyRect) override;

 private:
  TextView();
  std::string text_;
  Font font_ = Font::System();
  Color color_ = Color::Black();
  TextAlignment alignment_ = TextAlignment::Natural;
  bool drawsBackground_ = true;
  bool editable_ = false;
  bool selectable_ = true;
  bool resizableH_ = false;
  bool resizableV_ = true;
  Size minSize_;
  Size maxSize_{10000, 10000};
};

}  // namespace platform::ui
