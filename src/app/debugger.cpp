#include "app/debugger.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "app/project.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "platform/ui/application.h"
#include "platform/user_defaults.h"

extern char** environ;

using platform::ui::Button;
using platform::ui::Control;
using platform::ui::PopUpButton;
using platform::ui::Rect;
using platform::ui::TextField;
using platform::ui::TextView;

const char* const _QPX_Framework_Debugging_Enabled_Key = "Talvoro-Debug";
const char* const _QPX_Framework_Debugging_Password_Key = "Talvoro-Debug-Password";
const char* const DebuggingPrefsKey = "Talvoro Debugging Settings";
const uint8_t _QPX_Framework_PPP_Key[16] = {0x3f, 0x9a, 0x61, 0xc0, 0xe2, 0x7b, 0x48, 0xd5,
                                            0xa0, 0xc4, 0xe9, 0xb1, 0xf6, 0xd2, 0x7a, 0x83};
const char* const DebugActivationSequence = "jqv";

namespace {

constexpr const char* kPrivilegedPrefix = "Privileged: ";
constexpr const char* kGDBPath = "/usr/bin/gdb";

std::shared_ptr<QPX_Framework_Debugger>& MyDebugger() {
  static auto* debugger = new std::shared_ptr<QPX_Framework_Debugger>();
  return *debugger;
}

std::shared_ptr<platform::UserDefaults> Defaults() { return platform::UserDefaults::Standard(); }

bool IsPrivilegedKey(const std::optional<std::string>& key) {
  return key && key->rfind(kPrivilegedPrefix, 0) == 0;
}

}  // namespace

bool QPX_Framework_Debugger_PasswordMatches(const std::string& password, const uint8_t (&digest)[16]) {
  const Value hash = QPX_Framework_Crypto_MD5(Value::Data(std::string_view(password)));
  // A digest of another length means the digest routine is broken, not the input.
  QPX_Assert_Detail(hash.isData() && hash.data().size() == 16, Value("MD5 digest is not 16 bytes"));
  return std::memcmp(hash.data().data(), digest, 16) == 0;
}

// ---- Debugger ----

QPX_Framework_Debugger::QPX_Framework_Debugger() = default;

QPX_Framework_Debugger::~QPX_Framework_Debugger() = default;

bool QPX_Framework_Debugger::QPX_Framework_Init(const std::string& className) {
  if (className != "QPX_Framework_Debugger") return true;
  if (MyDebugger()) return true;
  if (Defaults()->objectForKey(_QPX_Framework_Debugging_Enabled_Key).isNull()) return true;
  QPX_Framework_Application_Create();
  MyDebugger() = std::shared_ptr<QPX_Framework_Debugger>(new QPX_Framework_Debugger());
  MyDebugger()->Build();
  return true;
}

std::shared_ptr<QPX_Framework_Debugger> QPX_Framework_Debugger::Debugger() { return MyDebugger(); }

std::shared_ptr<QPX_Framework_Debugger> QPX_Framework_Debugger::CreateForTesting() {
  MyDebugger() = std::shared_ptr<QPX_Framework_Debugger>(new QPX_Framework_Debugger());
  MyDebugger()->Build();
  return MyDebugger();
}

void QPX_Framework_Debugger::Reset() {
  if (MyDebugger() && MyDebugger()->Window_) MyDebugger()->Window_->OrderOut();
  MyDebugger().reset();
}

std::shared_ptr<QPX_Framework_Debugger> QPX_Framework_Debugger_AuthorizedDebugger() {
  std::shared_ptr<QPX_Framework_Debugger> debugger = QPX_Framework_Debugger::Debugger();
  return debugger && debugger->IsAuthorized() ? debugger : nullptr;
}

void QPX_Framework_Debugger::Build() {
  Window_ = platform::ui::Window::Make(Rect(0, 0, 600, 20), platform::ui::kTitledWindowMask);
  Window_->SetCanHide(false);
  Window_->SetIdentifier("Debugging Options");
  const Value password = Defaults()->objectForKey(_QPX_Framework_Debugging_Password_Key);
  if (password.isString())
    Authorized_ = QPX_Framework_Debugger_PasswordMatches(password.string(), _QPX_Framework_PPP_Key);
  Window_->SetTitle(QPX_Framework_ApplicationInfo.buildID + " Debugging Options" +
                    (Authorized_ ? " (authorized)" : ""));
  AddGDBButton();
}

void QPX_Framework_Debugger::OpenWindow() {
  if (!Window_) return;
  Window_->Center();
  Window_->MakeKeyAndOrderFront();
}

std::shared_ptr<QPX_Framework_Debugger> QPX_Framework_Debugger::AuthorizedDebugger() {
  return Authorized_ ? shared_from_this() : nullptr;
}

std::string QPX_Framework_Debugger::MakeObjectKey(const platform::ui::View& control) const {
  char text[32];
  std::snprintf(text, sizeof text, "%p", static_cast<const void*>(&control));
  return text;
}

void QPX_Framework_Debugger::ActionInvoke(const ControlInfo& info, Control& sender) {
  if (info.Action) info.Action(sender);
}

void QPX_Framework_Debugger::Action(Control& sender) {
  auto it = Actions_.find(MakeObjectKey(sender));
  if (it == Actions_.end()) return;
  const ControlInfo info = it->second;
  if (info.Type == "Checkbox") {
    if (info.Key) QPX_Framework_Debugger_Set(sender.IntegerValue() != 0 ? Value(true) : Value(), info.Key);
    ActionInvoke(info, sender);
  } else if (info.Type == "Dropdown") {
    ActionInvoke(info, sender);
  }
}

void QPX_Framework_Debugger::SetGUIInfoForObject(const std::shared_ptr<Control>& control,
                                                 const std::optional<std::string>& key,
                                                 QPX_Framework_Debugger_Action action,
                                                 const std::string& type) {
  Actions_[MakeObjectKey(*control)] = ControlInfo{type, key, std::move(action), control};
}

void QPX_Framework_Debugger::controlTextDidChange(TextField& field) {
  auto it = Actions_.find(MakeObjectKey(field));
  if (it == Actions_.end()) return;
  const ControlInfo info = it->second;
  const std::string text = field.StringValue();
  if (info.Key) QPX_Framework_Debugger_Set(text.empty() ? Value() : Value(text), info.Key);
  ActionInvoke(info, field);
}

Rect QPX_Framework_Debugger::NextRow() {
  const Rect content = Window_->ContentRect();
  const double h = content.height();
  Window_->SetContentSize(platform::ui::Size{content.width(), h + 25});
  return Rect(10, h - 10, content.width() - 20, 22);
}

std::shared_ptr<TextField> QPX_Framework_Debugger::MakeLabel(const std::string& title, Rect& row) {
  auto label = TextField::MakeLabel(Rect(row.minX(), row.minY(), 10, 22), title + ": ");
  label->SetSelectable(false);
  label->SizeToFit();
  const Rect frame = label->Frame();
  label->SetFrameOrigin(platform::ui::Point{row.minX(), row.minY() + (22 - frame.height()) / 2});
  Window_->ContentView()->AddSubview(label);
  row.origin.x += frame.width();
  return label;
}

bool QPX_Framework_Debugger::Refused(const std::optional<std::string>& key) const {
  return IsPrivilegedKey(key) && !Authorized_;
}

std::shared_ptr<PopUpButton> QPX_Framework_Debugger::AddDropdown(const std::string& title,
                                                                 const std::optional<std::string>& key,
                                                                 double width,
                                                                 QPX_Framework_Debugger_Action action) {
  if (Refused(key)) return nullptr;
  Rect row = NextRow();
  MakeLabel(title, row);
  auto popup = PopUpButton::Make(Rect(row.minX(), row.minY(), width, 22));
  std::weak_ptr<QPX_Framework_Debugger> weak = weak_from_this();
  popup->SetAction([weak](Control& sender) {
    if (auto self = weak.lock()) self->Action(sender);
  });
  Window_->ContentView()->AddSubview(popup);
  SetGUIInfoForObject(popup, key, std::move(action), "Dropdown");
  return popup;
}

std::shared_ptr<TextView> QPX_Framework_Debugger::AddTextview(const std::string& title, double width) {
  Rect row = NextRow();
  MakeLabel(title, row);
  auto text = TextView::Make(Rect(row.minX(), row.minY() + 3, width, 16));
  text->SetEditable(false);
  text->SetSelectable(true);
  Window_->ContentView()->AddSubview(text);
  return text;
}

std::shared_ptr<TextField> QPX_Framework_Debugger::AddTextentry(
    const std::string& title, const std::optional<std::string>& key, double width,
    QPX_Framework_Debugger_Action action, const std::shared_ptr<platform::ui::View>& nextTo) {
  if (Refused(key)) return nullptr;
  Rect row;
  if (nextTo) {
    const Rect neighbour = nextTo->Frame();
    row = Rect(neighbour.maxX() + 10, neighbour.minY(), width, 22);
  } else {
    row = NextRow();
  }
  MakeLabel(title, row);
  auto field = TextField::Make(Rect(row.minX(), row.minY(), width, 22));
  if (std::optional<std::string> current = QPX_Framework_Debugger_GetString(key))
    field->SetStringValue(*current);
  std::weak_ptr<QPX_Framework_Debugger> weak = weak_from_this();
  field->SetTextDidChangeHandler([weak](TextField& sender) {
    if (auto self = weak.lock()) self->controlTextDidChange(sender);
  });
  field->SetAction([weak](Control& sender) {
    if (auto self = weak.lock()) self->Action(sender);
  });
  Window_->ContentView()->AddSubview(field);
  SetGUIInfoForObject(field, key, std::move(action), "Textentry");
  return field;
}

std::shared_ptr<Button> QPX_Framework_Debugger::AddCheckbox(const std::string& title, const std::string& key,
                                                            QPX_Framework_Debugger_Action action) {
  if (Refused(key)) return nullptr;
  const Rect row = NextRow();
  auto box = Button::Make(Rect(row.minX(), row.minY(), 10, 22), Button::Type::Switch, title);
  box->SizeToFit();
  box->SetFrameOrigin(platform::ui::Point{10, row.minY()});
  box->SetState(QPX_Framework_Debugger_GetBool(key) ? 1 : 0);
  std::weak_ptr<QPX_Framework_Debugger> weak = weak_from_this();
  box->SetAction([weak](Control& sender) {
    if (auto self = weak.lock()) self->Action(sender);
  });
  Window_->ContentView()->AddSubview(box);
  SetGUIInfoForObject(box, key, std::move(action), "Checkbox");
  return box;
}

void QPX_Framework_Debugger::AddGDBButton() {
  if (!Authorized_ || access(kGDBPath, X_OK) != 0) return;
  const Rect content = Window_->ContentRect();
  gdbButton_ = Button::Make(Rect(content.width() - 100, 5, 90, 25), Button::Type::Push, "GDB");
  gdbButton_->SetBezel(Button::Bezel::Rounded);
  std::weak_ptr<QPX_Framework_Debugger> weak = weak_from_this();
  gdbButton_->SetAction([weak](Control&) {
    if (auto self = weak.lock()) self->LaunchGDB();
  });
  Window_->ContentView()->AddSubview(gdbButton_);
}

void QPX_Framework_Debugger::LaunchGDB() {
  const unsigned pid = unsigned(getpid());
  char path[512];
  std::snprintf(path, sizeof path, "/tmp/LaunchGDB-%s-%u",
                QPX_Framework_ApplicationInfo.bundleIdentifier.c_str(), pid);
  {
    std::ofstream file(path, std::ios::trunc);
    file << "attach " << pid << "\n";
    file.close();
    if (!file) {
      QPX_Log(QPX_LOG_ERROR, "Unable to write %s", path);
      return;
    }
  }
  // Attaching needs root: the debugger runs in a terminal of its own, behind su.
  const std::string inner = std::string(kGDBPath) + " -x " + path;
  std::vector<std::string> args = {"x-terminal-emulator", "-e", "su", "root", "-c", inner};
  std::string printed;
  for (const std::string& arg : args) printed += (printed.empty() ? "" : " ") + arg;
  std::fprintf(stderr, "%s\n", printed.c_str());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    QPX_Log(QPX_LOG_ERROR, "Unable to start a terminal for the debugger");
}

void QPX_Framework_Debugger::QPX_Framework_Debugger_Set(const Value& value,
                                                        const std::optional<std::string>& key) {
  if (!key) return;
  std::shared_ptr<platform::UserDefaults> defaults = Defaults();
  Value settings = defaults->objectForKey(DebuggingPrefsKey);
  if (!settings.isDictionary()) settings = Value::EmptyDictionary();
  if (value.isNull())
    settings.remove(*key);
  else
    settings.set(*key, value);
  defaults->setObject(DebuggingPrefsKey, settings.empty() ? Value() : settings);
}

Value QPX_Framework_Debugger::QPX_Framework_Debugger_Get(const std::optional<std::string>& key) const {
  if (!key || Refused(key)) return Value();
  return Defaults()->objectForKey(DebuggingPrefsKey).get(*key);
}

bool QPX_Framework_Debugger::QPX_Framework_Debugger_GetBool(const std::optional<std::string>& key) const {
  const Value value = QPX_Framework_Debugger_Get(key);
  return value.isNumber() && value.toBool();
}

std::optional<std::string> QPX_Framework_Debugger::QPX_Framework_Debugger_GetString(
    const std::optional<std::string>& key) const {
  const Value value = QPX_Framework_Debugger_Get(key);
  if (!value.isString()) return std::nullopt;
  return value.string();
}

// ---- Configuration window ----

namespace {
_QPX_Framework_Debugging_Config*& TheConfig() {
  static _QPX_Framework_Debugging_Config* config = nullptr;
  return config;
}
}  // namespace

_QPX_Framework_Debugging_Config& _QPX_Framework_Debugging_Config::Config() {
  if (TheConfig() == nullptr) TheConfig() = new _QPX_Framework_Debugging_Config();
  return *TheConfig();
}

bool _QPX_Framework_Debugging_Config::Exists() { return TheConfig() != nullptr; }

void _QPX_Framework_Debugging_Config::Reset() {
  if (TheConfig() != nullptr && TheConfig()->Window_) TheConfig()->Window_->OrderOut();
  delete TheConfig();
  TheConfig() = nullptr;
}

_QPX_Framework_Debugging_Config::_QPX_Framework_Debugging_Config() {
  Window_ = platform::ui::Window::Make(Rect(0, 0, 300, 150),
                                       platform::ui::kTitledWindowMask | platform::ui::kClosableWindowMask);
  Window_->SetTitle(QPX_Framework_ApplicationInfo.buildID);
  Window_->SetIdentifier("Debug Configuration");
  CreateWindowContents();
  Window_->Center();
}

std::shared_ptr<TextField> _QPX_Framework_Debugging_Config::CreateText(const std::string& text,
                                                                       const Rect& frame) {
  auto field = TextField::MakeLabel(frame, text);
  field->SetSelectable(false);
  Window_->ContentView()->AddSubview(field);
  return field;
}

void _QPX_Framework_Debugging_Config::CreateWindowContents() {
  auto content = Window_->ContentView();
  auto note = TextView::Make(Rect(10, 110, 280, 32),
                             "Note: settings will only take effect after restarting the applicatioin");
  note->SetDrawsBackground(false);
  content->AddSubview(note);

  LogDropdown_ = PopUpButton::Make(Rect(10, 70, 260, 22));
  LogDropdown_->AddItems({"No logging", "Log milestones and AT commands", "Log everything"});
  const Value logging = platform::UserDefaults::Standard()->objectForKey(_QPX_Framework_Logging_State_Key);
  LogDropdown_->SelectItemAt(logging.isNull() ? 0 : logging.isNumber() && logging.toInt() == 12 ? 1 : 2);
  LogDropdown_->SetAction([](Control&) { Config().DropdownAction(); });
  content->AddSubview(LogDropdown_);

  DebugCheckbox_ = Button::Make(Rect(10, 40, 10, 22), Button::Type::Switch, "Enable testing features");
  DebugCheckbox_->SizeToFit();
  DebugCheckbox_->SetFrameOrigin(platform::ui::Point{10, 40});
  const bool enabled =
      platform::UserDefaults::Standard()->objectForKey(_QPX_Framework_Debugging_Enabled_Key).toBool();
  DebugCheckbox_->SetState(enabled ? 1 : 0);
  DebugCheckbox_->SetAction([](Control&) { Config().CheckboxAction(); });
  content->AddSubview(DebugCheckbox_);

  CreateText("Code:", Rect(30, 17, 50, 16));

  Password_ = TextField::MakeSecure(Rect(80, 15, 80, 22));
  Password_->SetPlaceholder("Password");
  const Value password =
      platform::UserDefaults::Standard()->objectForKey(_QPX_Framework_Debugging_Password_Key);
  if (password.isString()) Password_->SetStringValue(password.string());
  Password_->SetEnabled(enabled);
  Password_->SetTextDidChangeHandler([](TextField&) { Config().controlTextDidChange(); });
  content->AddSubview(Password_);
}

void _QPX_Framework_Debugging_Config::Open() { Window_->MakeKeyAndOrderFront(); }

void _QPX_Framework_Debugging_Config::CheckboxAction() {
  const bool on = DebugCheckbox_->State() != 0;
  Password_->SetEnabled(on);
  platform::UserDefaults::Standard()->setObject(_QPX_Framework_Debugging_Enabled_Key,
                                                on ? Value(true) : Value());
}

void _QPX_Framework_Debugging_Config::DropdownAction() {
  Value level;
  switch (LogDropdown_->IndexOfSelectedItem()) {
    case 1:
      level = Value(12);  // milestones and AT commands
      break;
    case 2:
      level = Value(0);  // everything
      break;
    default:
      break;
  }
  platform::UserDefaults::Standard()->setObject(_QPX_Framework_Logging_State_Key, level);
}

void _QPX_Framework_Debugging_Config::controlTextDidChange() {
  const std::string text = Password_->StringValue();
  platform::UserDefaults::Standard()->setObject(_QPX_Framework_Debugging_Password_Key,
                                                text.empty() ? Value() : Value(text));
}

// ---- Key sequence ----

namespace {
constexpr uint32_t kComplete = 128;
uint32_t& ActivationState() {
  static uint32_t state = 0;
  return state;
}

// The one character of a key, ASCII lower-cased by setting bit 0x20; 0 when not one byte.
int SequenceCharacter(const std::string& characters) {
  if (characters.size() != 1) return 0;
  return static_cast<unsigned char>(characters[0]) | 0x20;
}
}  // namespace

uint32_t _QPX_Framework_Debugging_ActivationState() { return ActivationState(); }
void _QPX_Framework_Debugging_ResetActivationState() { ActivationState() = 0; }

void _QPX_Framework_Debugging_HandleAppEvent(const platform::ui::Event& event) {
  using Type = platform::ui::Event::Type;
  uint32_t& state = ActivationState();
  const std::string sequence = DebugActivationSequence;
  if (event.type == Type::KeyDown) {
    if (event.isARepeat) return;
    const uint32_t count = state & 0x7f;
    if (!(state & kComplete) && count < 3 &&
        SequenceCharacter(event.charactersIgnoringModifiers) == sequence[count]) {
      state = count + 1;
      if (state == 3) state = kComplete | 0x7;  // all three held
      return;
    }
    state = 0;
    return;
  }
  if (event.type == Type::KeyUp) {
    if (state & kComplete) {
      const int c = SequenceCharacter(event.charactersIgnoringModifiers);
      const std::size_t position = c == 0 ? std::string::npos : sequence.find(char(c));
      if (position != std::string::npos && (state & (1u << position))) {
        state &= ~(1u << position);
        if (state & 0x7) return;
        QPX_Log(QPX_LOG_MILESTONE, "Configuration sequence detected");
        state = 0;
        _QPX_Framework_Debugging_Config::Config().Open();
        return;
      }
    }
    state = 0;
  }
}
