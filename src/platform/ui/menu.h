#pragma once
// Menus and menu items: titles, key equivalents with modifier masks, actions, tags, states
// and submenus. The main menu's submenus are shown by windows that show a menu bar; any
// menu can also pop up on its own or fill a drop-down.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QMenu;

namespace platform::ui {

class Menu;

class MenuItem : public std::enable_shared_from_this<MenuItem> {
 public:
  using Action = std::function<void(MenuItem&)>;

  static std::shared_ptr<MenuItem> Make(const std::string& title, Action action = nullptr,
                                        const std::string& keyEquivalent = "");
  static std::shared_ptr<MenuItem> Separator();
  ~MenuItem();
  MenuItem(const MenuItem&) = delete;
  MenuItem& operator=(const MenuItem&) = delete;

  bool IsSeparator() const { return separator_; }
  std::string Title() const;
  void SetTitle(const std::string& title);
  // One character (a function key's private-use character included), or empty for none.
  std::string KeyEquivalent() const;
  void SetKeyEquivalent(const std::string& key);
  uint32_t KeyEquivalentModifierMask() const;
  void SetKeyEquivalentModifierMask(uint32_t mask);
  void SetAction(Action action);
  // The name of the action, for menus whose actions are known by name ("terminate:").
  std::string ActionName() const;
  void SetActionName(const std::string& name);
  int Tag() const;
  void SetTag(int tag);
  bool IsEnabled() const;
  void SetEnabled(bool enabled);
  // 0 off, 1 on, -1 mixed.
  int State() const;
  void SetState(int state);
  std::shared_ptr<Menu> Submenu() const;
  void SetSubmenu(const std::shared_ptr<Menu>& submenu);
  // Runs the action (as choosing the item does); false when it has none or is disabled.
  bool PerformAction();

  QAction* qaction() const { return action_; }

 private:
  MenuItem(const std::string& title, bool separator);
  void ApplyShortcut();

  QAction* action_;
  bool separator_;
  std::string title_;
  std::string key_;
  uint32_t mask_ = 0;
  Action handler_;
  std::string actionName_;
  int tag_ = 0;
  int state_ = 0;
  std::shared_ptr<Menu> submenu_;
};

class Menu : public std::enable_shared_from_this<Menu> {
 public:
  static std::shared_ptr<Menu> Make(const std::string& title = "");
  ~Menu();
  Menu(const Menu&) = delete;
  Menu& operator=(const Menu&) = delete;

  std::string Title() const;
  void SetTitle(const std::string& title);
  void AddItem(const std::shared_ptr<MenuItem>& item);
  std::shared_ptr<MenuItem> AddItem(const std::string& title, MenuItem::Action action = nullptr,
                                    const std::string& keyEquivalent = "");
  void InsertItem(const std::shared_ptr<MenuItem>& item, std::size_t index);
  void RemoveItemAt(std::size_t index);
  void RemoveAllItems();
  std::size_t NumberOfItems() const;
  std::shared_ptr<MenuItem> ItemAt(std::size_t index) const;
  std::shared_ptr<MenuItem> ItemWithTitle(const std::string& title) const;
  std::vector<std::shared_ptr<MenuItem>> Items() const;
  // The item whose key equivalent and mask match (also in submenus), or null.
  std::shared_ptr<MenuItem> ItemForKeyEquivalent(const std::string& key, uint32_t mask) const;

  QMenu* qmenu() const { return menu_; }

 private:
  explicit Menu(const std::string& title);
  void Rebuild();

  QMenu* menu_;
  std::string title_;
  std::vector<std::shared_ptr<MenuItem>> items_;
};

}  // namespace platform::ui
