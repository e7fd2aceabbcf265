#include "platform/ui/menu.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <algorithm>
#include <cctype>

#include "platform/assert.h"
#include "platform/ui/application.h"
#include "platform/ui/qt_internal.h"

namespace platform::ui {

using internal::Q;

MenuItem::MenuItem(const std::string& title, bool separator)
    : action_(new QAction()), separator_(separator), title_(title) {
  PLATFORM_ASSERT(Application::IsInitialized() && IsMainThread());
  action_->setSeparator(separator);
  if (!separator) action_->setText(Q(title));
}

std::shared_ptr<MenuItem> MenuItem::Make(const std::string& title, Action action,
                                         const std::string& keyEquivalent) {
  return OnMainThread([&] {
    std::shared_ptr<MenuItem> item(new MenuItem(title, false));
    item->handler_ = std::move(action);
    item->SetKeyEquivalent(keyEquivalent);
    std::weak_ptr<MenuItem> weak = item;
    QObject::connect(item->action_, &QAction::triggered, [weak] {
      if (std::shared_ptr<MenuItem> self = weak.lock()) self->PerformAction();
    });
    return item;
  });
}

std::shared_ptr<MenuItem> MenuItem::Separator() {
  return OnMainThread([] { return std::shared_ptr<MenuItem>(new MenuItem("", true)); });
}

MenuItem::~MenuItem() { delete action_; }

std::string MenuItem::Title() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Title());
  return title_;
}

void MenuItem::SetTitle(const std::string& title) {
  PLATFORM_UI_POST_TO_MAIN(SetTitle(title));
  title_ = title;
  if (!separator_) action_->setText(Q(title));
}

std::string MenuItem::KeyEquivalent() const {
  PLATFORM_UI_ANSWER_ON_MAIN(KeyEquivalent());
  return key_;
}

void MenuItem::SetKeyEquivalent(const std::string& key) {
  PLATFORM_UI_POST_TO_MAIN(SetKeyEquivalent(key));
  key_ = key;
  ApplyShortcut();
}

uint32_t MenuItem::KeyEquivalentModifierMask() const {
  PLATFORM_UI_ANSWER_ON_MAIN(KeyEquivalentModifierMask());
  return mask_;
}

void MenuItem::SetKeyEquivalentModifierMask(uint32_t mask) {
  PLATFORM_UI_POST_TO_MAIN(SetKeyEquivalentModifierMask(mask));
  mask_ = mask;
  ApplyShortcut();
}

void MenuItem::ApplyShortcut() {
  if (separator_) return;
  const std::u32string characters = CodePointsFromUtf8(key_);
  if (characters.size() != 1) {
    action_->setShortcut(QKeySequence());
    return;
  }
  const int key = internal::QtKeyForCharacter(characters[0]);
  // An upper-case key equivalent implies shift, as on the keyboard.
  uint32_t mask = mask_;
  if (characters[0] < 0x80 && std::isupper(int(characters[0]))) mask |= kShiftKeyMask;
  action_->setShortcut(
      key == 0 ? QKeySequence()
               : QKeySequence(QKeyCombination(internal::QtModifiersFromFlags(mask), Qt::Key(key))));
}

void MenuItem::SetAction(Action action) {
  PLATFORM_UI_POST_TO_MAIN(SetAction(action));
  handler_ = std::move(action);
}

std::string MenuItem::ActionName() const {
  PLATFORM_UI_ANSWER_ON_MAIN(ActionName());
  return actionName_;
}

void MenuItem::SetActionName(const std::string& name) {
  PLATFORM_UI_POST_TO_MAIN(SetActionName(name));
  actionName_ = name;
}

int MenuItem::Tag() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Tag());
  return tag_;
}

void MenuItem::SetTag(int tag) {
  PLATFORM_UI_POST_TO_MAIN(SetTag(tag));
  tag_ = tag;
}

bool MenuItem::IsEnabled() const {
  PLATFORM_UI_ANSWER_ON_MAIN(IsEnabled());
  return action_->isEnabled();
}

void MenuItem::SetEnabled(bool enabled) {
  PLATFORM_UI_POST_TO_MAIN(SetEnabled(enabled));
  action_->setEnabled(enabled);
}

int MenuItem::State() const {
  PLATFORM_UI_ANSWER_ON_MAIN(State());
  return state_;
}

void MenuItem::SetState(int state) {
  PLATFORM_UI_POST_TO_MAIN(SetState(state));
  state_ = state;
  action_->setCheckable(state != 0);
  action_->setChecked(state == 1);
}

std::shared_ptr<Menu> MenuItem::Submenu() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Submenu());
  return submenu_;
}

void MenuItem::SetSubmenu(const std::shared_ptr<Menu>& submenu) {
  PLATFORM_UI_POST_TO_MAIN(SetSubmenu(submenu));
  submenu_ = submenu;
  action_->setMenu(submenu ? submenu->qmenu() : nullptr);
}

bool MenuItem::PerformAction() {
  PLATFORM_UI_ANSWER_ON_MAIN(PerformAction());
  if (separator_ || !handler_ || !action_->isEnabled()) return false;
  std::shared_ptr<MenuItem> keep = shared_from_this();
  Action handler = handler_;
  handler(*this);
  return true;
}

// ---- Menu ----

Menu::Menu(const std::string& title) : menu_(new QMenu()), title_(title) {
  PLATFORM_ASSERT(Application::IsInitialized() && IsMainThread());
  menu_->setTitle(Q(title));
}

std::shared_ptr<Menu> Menu::Make(const std::string& title) {
  return OnMainThread([&] { return std::shared_ptr<Menu>(new Menu(title)); });
}

Menu::~Menu() { delete menu_; }

std::string Menu::Title() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Title());
  return title_;
}

void Menu::SetTitle(const std::string& title) {
  PLATFORM_UI_POST_TO_MAIN(SetTitle(title));
  title_ = title;
  menu_->setTitle(Q(title));
}

void Menu::AddItem(const std::shared_ptr<MenuItem>& item) {
  PLATFORM_UI_POST_TO_MAIN(AddItem(item));
  InsertItem(item, items_.size());
}

std::shared_ptr<MenuItem> Menu::AddItem(const std::string& title, MenuItem::Action action,
                                        const std::string& keyEquivalent) {
  std::shared_ptr<MenuItem> item = MenuItem::Make(title, std::move(action), keyEquivalent);
  AddItem(item);
  return item;
}

void Menu::InsertItem(const std::shared_ptr<MenuItem>& item, std::size_t index) {
  PLATFORM_UI_POST_TO_MAIN(InsertItem(item, index));
  if (!item) return;
  index = std::min(index, items_.size());
  items_.insert(items_.begin() + std::ptrdiff_t(index), item);
  Rebuild();
}

void Menu::RemoveItemAt(std::size_t index) {
  PLATFORM_UI_POST_TO_MAIN(RemoveItemAt(index));
  if (index >= items_.size()) return;
  items_.erase(items_.begin() + std::ptrdiff_t(index));
  Rebuild();
}

void Menu::RemoveAllItems() {
  PLATFORM_UI_POST_TO_MAIN(RemoveAllItems());
  items_.clear();
  Rebuild();
}

std::size_t Menu::NumberOfItems() const {
  PLATFORM_UI_ANSWER_ON_MAIN(NumberOfItems());
  return items_.size();
}

std::shared_ptr<MenuItem> Menu::ItemAt(std::size_t index) const {
  PLATFORM_UI_ANSWER_ON_MAIN(ItemAt(index));
  return index < items_.size() ? items_[index] : nullptr;
}

std::shared_ptr<MenuItem> Menu::ItemWithTitle(const std::string& title) const {
  PLATFORM_UI_ANSWER_ON_MAIN(ItemWithTitle(title));
  for (const auto& item : items_)
    if (!item->IsSeparator() && item->Title() == title) return item;
  return nullptr;
}

std::vector<std::shared_ptr<MenuItem>> Menu::Items() const {
  PLATFORM_UI_ANSWER_ON_MAIN(Items());
  return items_;
}

std::shared_ptr<MenuItem> Menu::ItemForKeyEquivalent(const std::string& key, uint32_t mask) const {
  PLATFORM_UI_ANSWER_ON_MAIN(ItemForKeyEquivalent(key, mask));
  for (const auto& item : items_) {
    if (item->IsSeparator()) continue;
    if (!item->KeyEquivalent().empty() && item->KeyEquivalent() == key &&
        (item->KeyEquivalentModifierMask() & kDeviceIndependentModifierFlagsMask) ==
            (mask & kDeviceIndependentModifierFlagsMask))
      return item;
    if (std::shared_ptr<Menu> submenu = item->Submenu())
      if (auto found = submenu->ItemForKeyEquivalent(key, mask)) return found;
  }
  return nullptr;
}

void Menu::Rebuild() {
  menu_->clear();  // removes the actions without deleting them: the items own them
  for (const auto& item : items_) menu_->addAction(item->qaction());
}

}  // namespace platform::ui
