#pragma once
// What building a GUI description file hands back: the created-objects dictionary, every
// named object under its name, with its reserved entries (the user data of the named
// descriptions, the buttons that keep their own target, the window being built), and the
// handle by which one entry refers to an object of any kind (a view, a window of the
// toolkit, a tab-view item, a menu item).
//
// Main thread only, like all GUI work.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/ui/menu.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"
#include "platform/value.h"

// Base of the toolkit's objects that are not views: its windows, tab-view items, groups.
// The builder asks these what they accept of the standard tags; the defaults accept none.
class QPX_Framework_GUI_Item : public std::enable_shared_from_this<QPX_Framework_GUI_Item> {
 public:
  virtual ~QPX_Framework_GUI_Item() = default;
  // The platform window, when the item is a window.
  virtual std::shared_ptr<platform::ui::Window> PlatformWindow() const { return nullptr; }
  virtual bool AcceptsTag() const { return false; }
  virtual bool AcceptsToolTip() const { return false; }
  virtual void SetToolTip(const std::string& /*text*/) {}
  virtual bool AcceptsHidden() const { return false; }
  virtual void SetHidden(bool /*hidden*/) {}
  // Windows that store their position under a save name.
  virtual bool AcceptsPositionSaveName() const { return false; }
  virtual void SetPositionSaveName(const std::optional<std::string>& /*name*/) {}
};

// Views that put themselves into a parent in their own way (a labelled button adds itself
// and then its separate label view); the builder lets them.
class QPX_Framework_GUI_AddsToSuperview {
 public:
  virtual ~QPX_Framework_GUI_AddsToSuperview() = default;
  virtual void AddToSuperview(platform::ui::View& parent) = 0;
};

// Views that take new children in their own way (a switch view hides each new child).
class QPX_Framework_GUI_SubviewHost {
 public:
  virtual ~QPX_Framework_GUI_SubviewHost() = default;
  virtual void addSubview(const std::shared_ptr<platform::ui::View>& view) = 0;
};

// Views that show another view as their document (scroll views).
class QPX_Framework_GUI_DocumentHolder {
 public:
  virtual ~QPX_Framework_GUI_DocumentHolder() = default;
  virtual std::shared_ptr<platform::ui::View> DocumentView() const = 0;
};

// Adds the view to the parent: through the parent's own addSubview when it has one, else as
// the parent's last subview.
void QPX_Framework_GUI_AddSubview(platform::ui::View& parent,
                                  const std::shared_ptr<platform::ui::View>& view);

// One object made from a description. Copies refer to the same object; a default handle is
// none.
class QPX_Framework_GUI_Object {
 public:
  QPX_Framework_GUI_Object() = default;
  QPX_Framework_GUI_Object(std::nullptr_t) {}
  template <class T, std::enable_if_t<std::is_base_of_v<platform::ui::View, T>, int> = 0>
  QPX_Framework_GUI_Object(std::shared_ptr<T> view) : view_(std::move(view)) {}
  template <class T, std::enable_if_t<std::is_base_of_v<QPX_Framework_GUI_Item, T>, int> = 0>
  QPX_Framework_GUI_Object(std::shared_ptr<T> item) : item_(std::move(item)) {}
  QPX_Framework_GUI_Object(std::shared_ptr<platform::ui::Window> window) : window_(std::move(window)) {}
  QPX_Framework_GUI_Object(std::shared_ptr<platform::ui::MenuItem> menuItem)
      : menuItem_(std::move(menuItem)) {}

  explicit operator bool() const { return view_ || item_ || window_ || menuItem_; }
  bool IsView() const { return view_ != nullptr; }
  // A window: a platform window or a window of the toolkit.
  bool IsWindow() const { return Window() != nullptr; }

  const std::shared_ptr<platform::ui::View>& View() const { return view_; }
  const std::shared_ptr<QPX_Framework_GUI_Item>& Item() const { return item_; }
  const std::shared_ptr<platform::ui::MenuItem>& MenuItem() const { return menuItem_; }
  // The platform window of a window object.
  std::shared_ptr<platform::ui::Window> Window() const {
    if (window_) return window_;
    return item_ ? item_->PlatformWindow() : nullptr;
  }

  // The object as T, or null when it is not one.
  template <class T>
  std::shared_ptr<T> As() const {
    if constexpr (std::is_base_of_v<platform::ui::View, T>) {
      return std::dynamic_pointer_cast<T>(view_);
    } else if constexpr (std::is_same_v<T, platform::ui::Window>) {
      return Window();
    } else if constexpr (std::is_same_v<T, platform::ui::MenuItem>) {
      return menuItem_;
    } else {
      static_assert(std::is_base_of_v<QPX_Framework_GUI_Item, T>, "not a kind of GUI object");
      return std::dynamic_pointer_cast<T>(item_);
    }
  }

  // The object's identity (its address); null for none.
  const void* Identity() const;
  friend bool operator==(const QPX_Framework_GUI_Object& a, const QPX_Framework_GUI_Object& b) {
    return a.Identity() == b.Identity();
  }
  friend bool operator!=(const QPX_Framework_GUI_Object& a, const QPX_Framework_GUI_Object& b) {
    return !(a == b);
  }

 private:
  std::shared_ptr<platform::ui::View> view_;
  std::shared_ptr<QPX_Framework_GUI_Item> item_;
  std::shared_ptr<platform::ui::Window> window_;
  std::shared_ptr<platform::ui::MenuItem> menuItem_;
};

// The names of the reserved entries, which are never object names.
extern const char* const QPX_Framework_GUI_UserDataKey;         // "__Desert Scream"
extern const char* const QPX_Framework_GUI_FunctionButtonsKey;  // "__Bloody Ice"
extern const char* const QPX_Framework_GUI_CurrentWindowKey;    // "Internal: Current Window"

// The created-objects dictionary: name -> object, held by the dictionary.
class QPX_Framework_GUI_Objects {
 public:
  static std::shared_ptr<QPX_Framework_GUI_Objects> Make();

  bool Contains(const std::string& name) const;
  // None when the name is unknown.
  QPX_Framework_GUI_Object Get(const std::string& name) const;
  template <class T>
  std::shared_ptr<T> Get(const std::string& name) const {
    return Get(name).As<T>();
  }
  // Stores (or with none removes) the object under the name. Reserved names are refused
  // (assertion): they are not object names.
  void Set(const std::string& name, const QPX_Framework_GUI_Object& object);
  void Remove(const std::string& name);
  const std::map<std::string, QPX_Framework_GUI_Object>& Objects() const { return objects_; }
  std::vector<std::string> Names() const;
  std::size_t Count() const { return objects_.size(); }

  // "__Desert Scream": name -> "UserData" of each named description that has one; null
  // until the first one is stored.
  const Value& UserData() const { return userData_; }
  void SetUserData(const std::string& name, const Value& data);

  // "__Bloody Ice": the buttons that carry a "Function" key and keep their own target.
  void AddFunctionButton(const QPX_Framework_GUI_Object& button);
  bool IsFunctionButton(const QPX_Framework_GUI_Object& object) const;
  const std::vector<QPX_Framework_GUI_Object>& FunctionButtons() const { return functionButtons_; }

  // "Internal: Current Window": the window whose contents are being built, none otherwise.
  const QPX_Framework_GUI_Object& CurrentWindow() const { return currentWindow_; }
  void SetCurrentWindow(const QPX_Framework_GUI_Object& window) { currentWindow_ = window; }

  // Takes over the other dictionary's entries: later names replace earlier ones; the user
  // data and the function buttons of both are kept.
  void Merge(const QPX_Framework_GUI_Objects& other);

 private:
  QPX_Framework_GUI_Objects() = default;
  std::map<std::string, QPX_Framework_GUI_Object> objects_;
  Value userData_;
  std::vector<QPX_Framework_GUI_Object> functionButtons_;
  QPX_Framework_GUI_Object currentWindow_;
};

// The name an object carries as its tag ("Name" of its description), for a panel's single
// action handler that tells its senders apart by name. Only objects that accept a tag
// (controls, menu items, items that say so) carry one. Kept per object; an object that is
// gone takes its name with it.
bool QPX_Framework_GUI_AcceptsTag(const QPX_Framework_GUI_Object& object);
void QPX_Framework_GUI_SetNameTag(const QPX_Framework_GUI_Object& object, const std::string& name);
std::optional<std::string> QPX_Framework_GUI_NameTag(const QPX_Framework_GUI_Object& object);
std::optional<std::string> QPX_Framework_GUI_NameTag(const platform::ui::View& view);
