#pragma once
// The hidden windows for testers and developers.
//
// The debugger window ("Debugging Options") exists only when the user default
// "Talvoro-Debug" is present at start. Any module adds checkboxes, drop-downs and text
// entries to it, bound to named debug settings kept in the user default "Talvoro Debugging
// Settings"; modules read the settings to switch on test behaviour. Settings whose key
// begins with "Privileged: " are offered and answered only when the debug password's MD5
// digest matches the stored one.
//
// The debug configuration window opens when the keys j, q and v are pressed in order, held
// together and released; it sets the debug log level, switches the debugger on for the
// next start and holds the debug password.
//
// Every caller tolerates a missing debugger: adding controls then does nothing and reading
// a setting gives nothing. Windows and controls belong to the main thread; settings may be
// read from any thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/controls.h"
#include "platform/ui/event.h"
#include "platform/ui/window.h"
#include "platform/value.h"

extern const char* const _QPX_Framework_Debugging_Enabled_Key;   // "Talvoro-Debug"
extern const char* const _QPX_Framework_Debugging_Password_Key;  // "Talvoro-Debug-Password"
extern const char* const DebuggingPrefsKey;                      // "Talvoro Debugging Settings"
// The digest the debug password must produce.
extern const uint8_t _QPX_Framework_PPP_Key[16];
// The key sequence that opens the configuration window.
extern const char* const DebugActivationSequence;  // "jqv"

// Runs with the control that acted.
using QPX_Framework_Debugger_Action = std::function<void(platform::ui::Control& sender)>;

class QPX_Framework_Debugger : public std::enable_shared_from_this<QPX_Framework_Debugger> {
 public:
  struct ControlInfo {
    std::string Type;  // "Checkbox", "Textentry" or "Dropdown"
    std::optional<std::string> Key;
    QPX_Framework_Debugger_Action Action;
    std::weak_ptr<platform::ui::Control> control;
  };

  // Class initialiser: creates the debugger when "Talvoro-Debug" has any value and none
  // exists yet. Answers YES.
  static bool QPX_Framework_Init(const std::string& className);
  static std::shared_ptr<QPX_Framework_Debugger> Debugger();
  // Creates the debugger now, whatever the defaults say (tests); replaces one that exists.
  static std::shared_ptr<QPX_Framework_Debugger> CreateForTesting();
  // Forgets the debugger (tests).
  static void Reset();

  ~QPX_Framework_Debugger();

  void OpenWindow();
  bool IsAuthorized() const { return Authorized_; }
  std::shared_ptr<QPX_Framework_Debugger> AuthorizedDebugger();
  std::shared_ptr<platform::ui::Window> Window() const { return Window_; }

  std::string MakeObjectKey(const platform::ui::View& control) const;
  void ActionInvoke(const ControlInfo& info, platform::ui::Control& sender);
  // The common action of all controls.
  void Action(platform::ui::Control& sender);
  void SetGUIInfoForObject(const std::shared_ptr<platform::ui::Control>& control,
                           const std::optional<std::string>& key, QPX_Framework_Debugger_Action action,
                           const std::string& type);
  // A text entry changed: the setting follows on every keystroke, then the action runs.
  void controlTextDidChange(platform::ui::TextField& field);
  // The label "<title>: " at the row's x; moves the row's x past it.
  std::shared_ptr<platform::ui::TextField> MakeLabel(const std::string& title, platform::ui::Rect& row);

  // A drop-down (not pull-down); the caller adds its items. Null for a "Privileged: " key
  // of an unauthorized debugger.
  std::shared_ptr<platform::ui::PopUpButton> AddDropdown(const std::string& title,
                                                         const std::optional<std::string>& key, double width,
                                                         QPX_Framework_Debugger_Action action);
  // A read-only, selectable text 16 points high.
  std::shared_ptr<platform::ui::TextView> AddTextview(const std::string& title, double width);
  // An editable field showing the setting's current string; with `nextTo` it goes right of
  // that control, in its row.
  std::shared_ptr<platform::ui::TextField> AddTextentry(
      const std::string& title, const std::optional<std::string>& key, double width,
      QPX_Framework_Debugger_Action action = nullptr,
      const std::shared_ptr<platform::ui::View>& nextTo = nullptr);
  // A checkbox showing the setting's truth.
  std::shared_ptr<platform::ui::Button> AddCheckbox(const std::string& title, const std::string& key,
                                                    QPX_Framework_Debugger_Action action = nullptr);
  void LaunchGDB();
  void AddGDBButton();

  // Stores (null removes) the setting and saves the defaults at once; a null key does
  // nothing. No prefix check here.
  void QPX_Framework_Debugger_Set(const Value& value, const std::optional<std::string>& key);
  // Null for a null key, and for a "Privileged: " key while not authorized.
  Value QPX_Framework_Debugger_Get(const std::optional<std::string>& key) const;
  bool QPX_Framework_Debugger_GetBool(const std::optional<std::string>& key) const;
  std::optional<std::string> QPX_Framework_Debugger_GetString(const std::optional<std::string>& key) const;

  const std::map<std::string, ControlInfo>& Actions() const { return Actions_; }

 private:
  QPX_Framework_Debugger();
  void Build();
  // The next row at the top of the content, which grows by 25.
  platform::ui::Rect NextRow();
  bool Refused(const std::optional<std::string>& key) const;

  std::shared_ptr<platform::ui::Window> Window_;
  std::map<std::string, ControlInfo> Actions_;
  bool Authorized_ = false;
  std::shared_ptr<platform::ui::Button> gdbButton_;
};

// The instance when it is authorized, else null.
std::shared_ptr<QPX_Framework_Debugger> QPX_Framework_Debugger_AuthorizedDebugger();

// Whether the password's MD5 digest equals the digest (16 bytes).
bool QPX_Framework_Debugger_PasswordMatches(const std::string& password, const uint8_t (&digest)[16]);

// The debug configuration window.
class _QPX_Framework_Debugging_Config {
 public:
  static _QPX_Framework_Debugging_Config& Config();
  // Whether the window has been made (the sequence was completed once).
  static bool Exists();
  void Open();
  void CheckboxAction();
  void DropdownAction();
  void controlTextDidChange();
  std::shared_ptr<platform::ui::Window> Window() const { return Window_; }
  std::shared_ptr<platform::ui::Button> DebugCheckbox() const { return DebugCheckbox_; }
  std::shared_ptr<platform::ui::PopUpButton> LogDropdown() const { return LogDropdown_; }
  std::shared_ptr<platform::ui::TextField> Password() const { return Password_; }
  // Forgets the window (tests).
  static void Reset();

 private:
  _QPX_Framework_Debugging_Config();
  std::shared_ptr<platform::ui::TextField> CreateText(const std::string& text,
                                                      const platform::ui::Rect& frame);
  void CreateWindowContents();

  std::shared_ptr<platform::ui::Window> Window_;
  std::shared_ptr<platform::ui::Button> DebugCheckbox_;
  std::shared_ptr<platform::ui::PopUpButton> LogDropdown_;
  std::shared_ptr<platform::ui::TextField> Password_;
};

// The key-sequence watcher, called with every event of the application first.
void _QPX_Framework_Debugging_HandleAppEvent(const platform::ui::Event& event);
// The watcher's state: matched keys (0-3), or 128 with one held bit per sequence key.
uint32_t _QPX_Framework_Debugging_ActivationState();
void _QPX_Framework_Debugging_ResetActivationState();
