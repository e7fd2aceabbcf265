#include "platform/ui/controls.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cctype>
#include <cmath>

#include "platform/ui/application.h"
#include "platform/ui/image.h"
#include "platform/ui/qt_internal.h"

namespace platform::ui {

using internal::Q;
using internal::S;

// ---- Control ----

Control::Control() = default;

void Control::SetAction(Action action) {
  PLATFORM_UI_POST_TO_MAIN(SetAction(action));
  action_ = std::move(action);
}

bool Control::HasAction() const {
  PLATFORM_UI_ANSWER_ON_MAIN(HasAction());
  return static_cast<bool>(action_);
}

void Control::SendAction() {
  PLATFORM_UI_POST_TO_MAIN(SendAction());
  if (!action_) return;
  std::shared_ptr<View> keep = shared_from_this();
  Action action = action_;  // the action may replace itself
  action(*this);
}

int Control::Tag() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Tag());
  return tag_;
}

void Control::SetTag(int tag) {
  PLATFORM_UI_POST_TO_MAIN(SetTag(tag));
  tag_ = tag;
}

bool Control::IsEnabled() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsEnabled());
  return widget()->isEnabled();
}

void Control::SetEnabled(bool enabled) {
  PLATFORM_UI_POST_TO_MAIN(SetEnabled(enabled));
  widget()->setEnabled(enabled);
}

Font Control::GetFont() const {
  PLATFORM_UI_ANSWER_ON_MAIN(GetFont());
  return font_;
}

void Control::SetFont(const Font& font) {
  PLATFORM_UI_POST_TO_MAIN(SetFont(font));
  font_ = font;
  widget()->setFont(internal::ToQFont(font));
}

TextAlignment Control::Alignment() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Alignment());
  return alignment_;
}

void Control::SetAlignment(TextAlignment alignment) {
  PLATFORM_UI_POST_TO_MAIN(SetAlignment(alignment));
  alignment_ = alignment;
}

// ---- Button ----

Button::Button(Type type) : type_(type) {
  QAbstractButton* button = nullptr;
  switch (type) {
    case Type::Push:
      button = new QPushButton();
      break;
    case Type::Switch:
      button = new QCheckBox();
      break;
    case Type::Radio:
      button = new QRadioButton();
      break;
  }
  button->setFont(internal::ToQFont(font_));
  AdoptWidget(button);
}

std::shared_ptr<Button> Button::Make(const Rect& frame, Type type, const std::string& title) {
  return OnMainThread([&] {
    std::shared_ptr<Button> button(new Button(type));
    button->SetTitle(title);
    button->SetFrame(frame);
    auto* qbutton = static_cast<QAbstractButton*>(button->widget());
    std::weak_ptr<View> weak = button;
    QObject::connect(qbutton, &QAbstractButton::clicked, [weak] {
      if (auto self = std::static_pointer_cast<Button>(weak.lock())) self->SendAction();
    });
    return button;
  });
}

Button::Type Button::ButtonType() const { return type_; }

std::string Button::Title() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Title());
  return S(static_cast<QAbstractButton*>(widget())->text());
}

void Button::SetTitle(const std::string& title) {
  PLATFORM_UI_POST_TO_MAIN(SetTitle(title));
  // An "&" would become a Qt mnemonic.
  static_cast<QAbstractButton*>(widget())->setText(Q(title).replace("&", "&&"));
}

void Button::SetBezel(Bezel bezel) {
  PLATFORM_UI_POST_TO_MAIN(SetBezel(bezel));
  if (auto* push = dynamic_cast<QPushButton*>(widget())) push->setFlat(bezel == Bezel::None);
}

void Button::SetImage(const std::shared_ptr<Image>& image) {
  PLATFORM_UI_POST_TO_MAIN(SetImage(image));
  auto* button = static_cast<QAbstractButton*>(widget());
  if (!image) {
    button->setIcon(QIcon());
    return;
  }
  button->setIcon(QIcon(QPixmap::fromImage(image->qimage())));
  button->setIconSize(QSize(int(image->size().width), int(image->size().height)));
}

int Button::State() const {
  PLATFORM_UI_ANSWER_ON_MAIN(State());
  return static_cast<QAbstractButton*>(widget())->isChecked() ? 1 : 0;
}

void Button::SetState(int state) {
  PLATFORM_UI_POST_TO_MAIN(SetState(state));
  auto* button = static_cast<QAbstractButton*>(widget());
  if (type_ == Type::Push) button->setCheckable(state != 0);
  button->setChecked(state != 0);
}

void Button::SetKeyEquivalent(const std::string& key) {
  PLATFORM_UI_POST_TO_MAIN(SetKeyEquivalent(key));
  key_ = key;
  ApplyShortcut();
}

std::string Button::KeyEquivalent() const {
  PLATFORM_UI_ANSWER_ON_MAIN(KeyEquivalent());
  return key_;
}

void Button::SetKeyEquivalentModifierMask(uint32_t mask) {
  PLATFORM_UI_POST_TO_MAIN(SetKeyEquivalentModifierMask(mask));
  mask_ = mask;
  ApplyShortcut();
}

uint32_t Button::KeyEquivalentModifierMask() const {
  PLATFORM_UI_ANSWER_ON_MAIN(KeyEquivalentModifierMask());
  return mask_;
}

void Button::ApplyShortcut() {
  auto* button = static_cast<QAbstractButton*>(widget());
  const std::u32string characters = CodePointsFromUtf8(key_);
  const int key = characters.size() == 1 ? internal::QtKeyForCharacter(characters[0]) : 0;
  button->setShortcut(
      key == 0 ? QKeySequence()
               : QKeySequence(QKeyCombination(internal::QtModifiersFromFlags(mask_), Qt::Key(key))));
}

void Button::PerformClick() {
  PLATFORM_UI_POST_TO_MAIN(PerformClick());
  auto* button = static_cast<QAbstractButton*>(widget());
  if (!button->isEnabled()) return;
  // click() toggles a checkable button and emits clicked, which runs the action.
  button->click();
}

void Button::SizeToFit() {
  PLATFORM_UI_POST_TO_MAIN(SizeToFit());
  const QSize hint = widget()->sizeHint();
  SetFrameSize(Size{double(hint.width()), double(hint.height())});
}

void Button::SetFont(const Font& font) { Control::SetFont(font); }

// ---- TextField ----

TextField::TextField(bool secure, bool label) : secure_(secure), label_(label) {
  auto* edit = new QLineEdit();
  if (secure) edit->setEchoMode(QLineEdit::Password);
  edit->setFont(internal::ToQFont(font_));
  AdoptWidget(edit);
  if (label) {
    bezeled_ = false;
    drawsBackground_ = false;
    edit->setReadOnly(true);
  }
  ApplyLook();
}

namespace {
std::shared_ptr<TextField> Connect(std::shared_ptr<TextField> field) {
  auto* edit = static_cast<QLineEdit*>(field->widget());
  std::weak_ptr<View> weak = field;
  QObject::connect(edit, &QLineEdit::textEdited, [weak] {
    if (auto self = std::static_pointer_cast<TextField>(weak.lock())) {
      // Through the public path so the handler sees the new text.
      self->TypeText(internal::S(static_cast<QLineEdit*>(self->widget())->text()));
    }
  });
  QObject::connect(edit, &QLineEdit::returnPressed, [weak] {
    if (auto self = std::static_pointer_cast<TextField>(weak.lock())) self->SendAction();
  });
  return field;
}
}  // namespace

std::shared_ptr<TextField> TextField::Make(const Rect& frame, const std::string& text) {
  return OnMainThread([&] {
    std::shared_ptr<TextField> field(new TextField(false, false));
    field->SetStringValue(text);
    field->SetFrame(frame);
    return Connect(field);
  });
}

std::shared_ptr<TextField> TextField::MakeLabel(const Rect& frame, const std::string& text) {
  return OnMainThread([&] {
    std::shared_ptr<TextField> field(new TextField(false, true));
    field->SetStringValue(text);
    field->SetFrame(frame);
    return Connect(field);
  });
}

std::shared_ptr<TextField> TextField::MakeSecure(const Rect& frame) {
  return OnMainThread([&] {
    std::shared_ptr<TextField> field(new TextField(true, false));
    field->SetFrame(frame);
    return Connect(field);
  });
}

std::string TextField::StringValue() const {
  PLATFORM_UI_ANSWER_ON_MAIN(StringValue());
  return S(static_cast<QLineEdit*>(widget())->text());
}

void TextField::SetStringValue(const std::string& text) {
  PLATFORM_UI_POST_TO_MAIN(SetStringValue(text));
  static_cast<QLineEdit*>(widget())->setText(Q(text));
  static_cast<QLineEdit*>(widget())->setCursorPosition(0);
}

std::string TextField::Placeholder() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Placeholder());
  return S(static_cast<QLineEdit*>(widget())->placeholderText());
}

void TextField::SetPlaceholder(const std::string& text) {
  PLATFORM_UI_POST_TO_MAIN(SetPlaceholder(text));
  static_cast<QLineEdit*>(widget())->setPlaceholderText(Q(text));
}

bool TextField::IsEditable() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsEditable());
  return !static_cast<QLineEdit*>(widget())->isReadOnly();
}

void TextField::SetEditable(bool editable) {
  PLATFORM_UI_POST_TO_MAIN(SetEditable(editable));
  static_cast<QLineEdit*>(widget())->setReadOnly(!editable);
}

void TextField::SetSelectable(bool selectable) {
  PLATFORM_UI_POST_TO_MAIN(SetSelectable(selectable));
  widget()->setFocusPolicy(selectable || IsEditable() ? Qt::StrongFocus : Qt::NoFocus);
}

void TextField::SetBezeled(bool bezeled) {
  PLATFORM_UI_POST_TO_MAIN(SetBezeled(bezeled));
  bezeled_ = bezeled;
  ApplyLook();
}

void TextField::SetDrawsBackground(bool draws) {
  PLATFORM_UI_POST_TO_MAIN(SetDrawsBackground(draws));
  drawsBackground_ = draws;
  ApplyLook();
}

void TextField::SetTextColor(const Color& color) {
  PLATFORM_UI_POST_TO_MAIN(SetTextColor(color));
  textColor_ = color;
  ApplyLook();
}

bool TextField::IsSecure() const { return secure_; }

void TextField::ApplyLook() {
  auto* edit = static_cast<QLineEdit*>(widget());
  edit->setFrame(bezeled_);
  QPalette palette = edit->palette();
  if (!drawsBackground_) {
    palette.setColor(QPalette::Base, Qt::transparent);
    edit->setAttribute(Qt::WA_TranslucentBackground, true);
  }
  if (textColor_) palette.setColor(QPalette::Text, internal::ToQColor(*textColor_));
  edit->setPalette(palette);
  edit->setAlignment(internal::ToQtHorizontal(alignment_) | Qt::AlignVCenter);
}

void TextField::SetTextDidChangeHandler(std::function<void(TextField&)> handler) {
  PLATFORM_UI_POST_TO_MAIN(SetTextDidChangeHandler(handler));
  textDidChange_ = std::move(handler);
}

void TextField::TypeText(const std::string& text) {
  PLATFORM_UI_POST_TO_MAIN(TypeText(text));
  auto* edit = static_cast<QLineEdit*>(widget());
  if (S(edit->text()) != text) edit->setText(Q(text));
  std::shared_ptr<View> keep = shared_from_this();
  if (textDidChange_) {
    std::function<void(TextField&)> handler = textDidChange_;
    handler(*this);
  }
}

void TextField::SizeToFit() {
  PLATFORM_UI_POST_TO_MAIN(SizeToFit());
  const Size text = font_.SizeOfText(StringValue());
  const double margin = bezeled_ ? 8 : 4;
  SetFrameSize(
      Size{std::ceil(text.width + margin), std::ceil(std::max(text.height, font_.LineHeight()) + 4)});
}

void TextField::SetFont(const Font& font) { Control::SetFont(font); }

void TextField::SetAlignment(TextAlignment alignment) {
  PLATFORM_UI_POST_TO_MAIN(SetAlignment(alignment));
  Control::SetAlignment(alignment);
  ApplyLook();
}

void TextField::SetEnabled(bool enabled) { Control::SetEnabled(enabled); }

void TextField::TextEdited() {}

// ---- PopUpButton ----

PopUpButton::PopUpButton(bool pullsDown) : pullsDown_(pullsDown) {
  auto* combo = new QComboBox();
  combo->setFont(internal::ToQFont(font_));
  AdoptWidget(combo);
}

std::shared_ptr<PopUpButton> PopUpButton::Make(const Rect& frame, bool pullsDown) {
  return OnMainThread([&] {
    std::shared_ptr<PopUpButton> button(new PopUpButton(pullsDown));
    button->SetFrame(frame);
    auto* combo = static_cast<QComboBox*>(button->widget());
    std::weak_ptr<View> weak = button;
    QObject::connect(combo, QOverload<int>::of(&QComboBox::activated), [weak](int) {
      if (auto self = std::static_pointer_cast<PopUpButton>(weak.lock())) self->SendAction();
    });
    return button;
  });
}

void PopUpButton::AddItem(const std::string& title) {
  PLATFORM_UI_POST_TO_MAIN(AddItem(title));
  static_cast<QComboBox*>(widget())->addItem(Q(title));
}

void PopUpButton::AddItems(const std::vector<std::string>& titles) {
  PLATFORM_UI_POST_TO_MAIN(AddItems(titles));
  for (const std::string& title : titles) AddItem(title);
}

void PopUpButton::RemoveAllItems() {
  PLATFORM_UI_POST_TO_MAIN(RemoveAllItems());
  static_cast<QComboBox*>(widget())->clear();
}

std::size_t PopUpButton::NumberOfItems() const {
  PLATFORM_UI_ANSWER_ON_MAIN(NumberOfItems());
  return std::size_t(static_cast<QComboBox*>(widget())->count());
}

std::vector<std::string> PopUpButton::ItemTitles() const {
  PLATFORM_UI_ANSWER_ON_MAIN(ItemTitles());
  std::vector<std::string> titles;
  auto* combo = static_cast<QComboBox*>(widget());
  for (int i = 0; i < combo->count(); ++i) titles.push_back(S(combo->itemText(i)));
  return titles;
}

std::string PopUpButton::ItemTitleAt(std::size_t index) const {
  PLATFORM_UI_ANSWER_ON_MAIN(ItemTitleAt(index));
  auto* combo = static_cast<QComboBox*>(widget());
  return index < std::size_t(combo->count()) ? S(combo->itemText(int(index))) : std::string();
}

int PopUpButton::IndexOfSelectedItem() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IndexOfSelectedItem());
  return static_cast<QComboBox*>(widget())->currentIndex();
}

std::optional<std::string> PopUpButton::TitleOfSelectedItem() const {
  PLATFORM_UI_ANSWER_ON_MAIN(TitleOfSelectedItem());
  auto* combo = static_cast<QComboBox*>(widget());
  if (combo->currentIndex() < 0) return std::nullopt;
  return S(combo->currentText());
}

void PopUpButton::SelectItemAt(int index) {
  PLATFORM_UI_POST_TO_MAIN(SelectItemAt(index));
  auto* combo = static_cast<QComboBox*>(widget());
  combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

bool PopUpButton::SelectItemWithTitle(const std::string& title) {
  PLATFORM_UI_ANSWER_ON_MAIN(SelectItemWithTitle(title));
  auto* combo = static_cast<QComboBox*>(widget());
  const int index = combo->findText(Q(title), Qt::MatchExactly);
  if (index < 0) return false;
  combo->setCurrentIndex(index);
  return true;
}

void PopUpButton::ChooseItemAt(int index) {
  PLATFORM_UI_POST_TO_MAIN(ChooseItemAt(index));
  if (!IsEnabled()) return;
  SelectItemAt(index);
  SendAction();
}

std::string PopUpButton::StringValue() const { return TitleOfSelectedItem().value_or(""); }

void PopUpButton::SetFont(const Font& font) { Control::SetFont(font); }

// ---- TextView ----

TextView::TextView() = default;

std::shared_ptr<TextView> TextView::Make(const Rect& frame, const std::string& text) {
  return OnMainThread([&] {
    std::shared_ptr<TextView> view(new TextView());
    view->text_ = text;
    view->SetFrame(frame);
    return view;
  });
}

std::string TextView::String() const {
  PLATFORM_UI_ANSWER_ON_MAIN(String());
  return text_;
}

void TextView::SetString(const std::string& text) {
  PLATFORM_UI_POST_TO_MAIN(SetString(text));
  text_ = text;
  SetNeedsDisplay();
}

Font TextView::GetFont() const {
  PLATFORM_UI_ANSWER_ON_MAIN(GetFont());
  return font_;
}

void TextView::SetFont(const Font& font) {
  PLATFORM_UI_POST_TO_MAIN(SetFont(font));
  font_ = font;
  SetNeedsDisplay();
}

Color TextView::TextColor() const {
  PLATFORM_UI_ANSWER_ON_MAIN(TextColor());
  return color_;
}

void TextView::SetTextColor(const Color& color) {
  PLATFORM_UI_POST_TO_MAIN(SetTextColor(color));
  color_ = color;
  SetNeedsDisplay();
}

TextAlignment TextView::Alignment() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Alignment());
  return alignment_;
}

void TextView::SetAlignment(TextAlignment alignment) {
  PLATFORM_UI_POST_TO_MAIN(SetAlignment(alignment));
  alignment_ = alignment;
  SetNeedsDisplay();
}

void TextView::SetDrawsBackground(bool draws) {
  PLATFORM_UI_POST_TO_MAIN(SetDrawsBackground(draws));
  drawsBackground_ = draws;
  SetNeedsDisplay();
}

bool TextView::DrawsBackground() const {
  PLATFORM_UI_ANSWER_ON_MAIN(DrawsBackground());
  return drawsBackground_;
}

void TextView::SetEditable(bool editable) {
  PLATFORM_UI_POST_TO_MAIN(SetEditable(editable));
  editable_ = editable;
}

bool TextView::IsEditable() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsEditable());
  return editable_;
}

void TextView::SetSelectable(bool selectable) {
  PLATFORM_UI_POST_TO_MAIN(SetSelectable(selectable));
  selectable_ = selectable;
}

bool TextView::IsSelectable() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsSelectable());
  return selectable_;
}

void TextView::SetMinSize(Size size) {
  PLATFORM_UI_POST_TO_MAIN(SetMinSize(size));
  minSize_ = size;
}

void TextView::SetMaxSize(Size size) {
  PLATFORM_UI_POST_TO_MAIN(SetMaxSize(size));
  maxSize_ = size;
}

Size TextView::MinSize() const {
  PLATFORM_UI_ANSWER_ON_MAIN(MinSize());
  return minSize_;
}

Size TextView::MaxSize() const {
  PLATFORM_UI_ANSWER_ON_MAIN(MaxSize());
  return maxSize_;
}

void TextView::SetResizable(bool horizontally, bool vertically) {
  PLATFORM_UI_POST_TO_MAIN(SetResizable(horizontally, vertically));
  resizableH_ = horizontally;
  resizableV_ = vertically;
}

void TextView::SizeToFit() {
  PLATFORM_UI_POST_TO_MAIN(SizeToFit());
  const Size text = font_.SizeOfText(text_);
  Size size = Frame().size;
  if (resizableH_) size.width = std::clamp(std::ceil(text.width) + 4, minSize_.width, maxSize_.width);
  if (resizableV_) size.height = std::clamp(std::ceil(text.height), minSize_.height, maxSize_.height);
  SetFrameSize(size);
}

void TextView::Draw(Painter& painter, const Rect& dirtyRect) {
  if (drawsBackground_) painter.FillRect(Bounds(), Color::White());
  painter.DrawText(text_, Bounds(), font_, color_, alignment_);
  View::Draw(painter, dirtyRect);
}

}  // namespace platform::ui
