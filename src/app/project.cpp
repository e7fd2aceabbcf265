#include "app/project.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/debugger.h"
#include "devices/at_command.h"
#include "devices/modem_at.h"
#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/util/device_follower.h"
#include "platform/run_loop.h"
#include "platform/ui/alert.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/window.h"

const char* const QPX_Framework_WasLaunched_Variable = "QPX Was Launched";
const char* const QPX_Framework_SnapshotFolder_Variable = "DASHBOARD_SNAPSHOT_DIR";

// ---- Digest ----

Value QPX_Framework_Crypto_MD5(const Value& data) {
  std::string_view bytes;
  if (data.isData())
    bytes = std::string_view(reinterpret_cast<const char*>(data.data().data()), data.data().size());
  else if (data.isString())
    bytes = data.string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_md5(), nullptr) == 1 &&
                  EVP_DigestUpdate(context, bytes.data(), bytes.size()) == 1 &&
                  EVP_DigestFinal_ex(context, digest, &length) == 1;
  EVP_MD_CTX_free(context);
  if (!ok) return Value();
  return Value::Data(std::string_view(reinterpret_cast<const char*>(digest), length));
}

// ---- The application object ----

namespace {

void UILog(int level, const std::string& message) { QPX_Log(level, "%s", message.c_str()); }

QPX_Framework_AssertChoice AssertAlert(const std::string& title, const std::string& message) {
  platform::ui::Alert alert;
  alert.messageText = title;
  alert.informativeText = message;
  alert.buttons = {"Quit", "Crash Me"};
  alert.style = platform::ui::Alert::Style::Critical;
  return alert.RunModal() == platform::ui::Alert::kFirstButtonReturn + 1 ? QPX_Framework_AssertChoice::CrashMe
                                                                         : QPX_Framework_AssertChoice::Quit;
}

}  // namespace

bool QPX_Framework_Application_Create() {
  if (platform::ui::Application::IsInitialized()) return true;
  platform::ui::SetLogFunction(&UILog);
  if (!platform::ui::Application::Initialize()) return false;
  platform::ui::Application::SetEventHook(&_QPX_Framework_Debugging_HandleAppEvent);
  QPX_Framework_Assert_Alert.store(&AssertAlert);
  return true;
}

// ---- Common project ----

namespace {

// Termination signals arrive on any thread; the handler only writes a byte, which the main
// thread's run loop reads.
int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (g_signalPipe[1] >= 0) (void)!write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace

std::shared_ptr<QPX_Framework_Project_Common> QPX_Framework_Project_Common::CurrentProject() {
  std::shared_ptr<QPX_Framework_Thread> main =
      QPX_Framework_Thread::QPX_Framework_Thread_FindID(QPX_Framework_Thread_MainID);
  if (!main) return nullptr;
  auto project = std::dynamic_pointer_cast<QPX_Framework_Project_Common>(main);
  QPX_Assert_Detail(project != nullptr, Value("the Main thread is not a project"));
  return project;
}

void QPX_Framework_Project_Common::run() {
  std::shared_ptr<QPX_Framework_Project_Common> project = CurrentProject();
  if (!project) {
    QPX_Log(QPX_LOG_ERROR, "No project to run");
    return;
  }
  project->_QPX_Framework_Thread_Run(nullptr);
}

bool QPX_Framework_Project_Common::QPX_Framework_Init(const std::string& className) {
  auto entry = QPX_Framework_ClassRegistry::Find(className);
  if (!entry || !entry->create) {
    QPX_Log(QPX_LOG_ERROR, "%s cannot be created", className.c_str());
    return false;
  }
  auto project = std::dynamic_pointer_cast<QPX_Framework_Project_Common>(entry->create());
  QPX_Assert_Detail(project != nullptr, Value(className + " is not a project class"));
  // The thread registry keeps the project from here on.
  project->_QPX_Framework_Thread_Wrap(QPX_Framework_Thread_MainID);
  return true;
}

bool QPX_Framework_Project_Common::QPX_Framework_Thread_Setup() {
  if (!QPX_Framework_Thread::QPX_Framework_Thread_Setup()) return false;
  if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    QPX_Log(QPX_LOG_ERROR, "Unable to watch for termination signals: %s", std::strerror(errno));
    return true;
  }
  signalFd_ = g_signalPipe[0];
  std::weak_ptr<QPX_Framework_Thread> weak = weak_from_this();
  signalSource_ =
      platform::RunLoop::Current().AddFd(signalFd_, platform::RunLoop::Readable, [this, weak](unsigned) {
        char buffer[16];
        while (read(signalFd_, buffer, sizeof buffer) > 0) {
        }
        if (auto self = weak.lock()) {
          QPX_Log(QPX_LOG_MILESTONE, "Termination requested");
          TerminationRequested();
        }
      });
  struct sigaction action {};
  action.sa_handler = &OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kTerminationSignals) sigaction(signal, &action, nullptr);
  return true;
}

void QPX_Framework_Project_Common::QPX_Framework_Thread_Cleanup() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signal : kTerminationSignals) sigaction(signal, &action, nullptr);
  if (signalSource_) signalSource_->Invalidate();
  signalSource_.reset();
  QPX_Framework_Thread::QPX_Framework_Thread_Cleanup();
}

void QPX_Framework_Project_Common::TerminationRequested() { QPX_Framework_Thread_Quit(); }

// ---- Project ----

namespace {

bool g_projectInitialised = false;
std::weak_ptr<platform::ui::PopUpButton> g_deviceDropdown;

constexpr const char* kModemsPath = "/Modems";
constexpr const char* kCurrentModem = "Current Modem";
constexpr const char* kCurrentModemChanged = "Current Modem Changed";

std::optional<std::string> LastComponent(const std::optional<std::string>& path) {
  if (!path) return std::nullopt;
  const std::size_t slash = path->rfind('/');
  return slash == std::string::npos ? *path : path->substr(slash + 1);
}

}  // namespace

void QPX_Framework_Project::_ResetForTesting() {
  g_projectInitialised = false;
  g_deviceDropdown.reset();
}

bool QPX_Framework_Project::QPX_Framework_Init(const std::string& className) {
  QPX_Assert_Detail(!g_projectInitialised, Value("the project class is initialised twice"));
  g_projectInitialised = true;
  QPX_Framework_Application_Create();
  if (std::shared_ptr<QPX_Framework_Debugger> debugger = QPX_Framework_Debugger::Debugger()) {
    g_deviceDropdown =
        debugger->AddDropdown("Device", std::nullopt, 150, &QPX_Framework_Project::_DeviceSelectionPopup);
    auto entry = debugger->AddTextentry("AT command", std::nullopt, 150);
    if (entry) {
      entry->SetPlaceholder("Enter command");
      // The command goes when the user presses Return: acting on every keystroke would
      // empty the field after its first letter.
      entry->SetAction(&QPX_Framework_Project::_DeviceATCommandEntry);
    }
  }
  return QPX_Framework_Project_Common::QPX_Framework_Init(className);
}

bool QPX_Framework_Project::WasLaunched() {
  const char* value = std::getenv(QPX_Framework_WasLaunched_Variable);
  return value != nullptr && std::strcmp(value, "yes") == 0;
}

std::shared_ptr<platform::ui::Window> QPX_Framework_Project::QPX_Framework_Project_Get_MainWindow() {
  return nullptr;
}

bool QPX_Framework_Project::QPX_Framework_Thread_Setup() {
  if (!QPX_Framework_Project_Common::QPX_Framework_Thread_Setup()) return false;
  QPX_Framework_Application_Create();
  QPX_Framework_Project_CreateApplicationMenu();
  Subscriptions_.clear();
  CurrentModem_.ObjectSet = Value::EmptySet();
  CurrentModem_.ObjectDictionary = Value::EmptyDictionary();
  CurrentModem_.ClearKeysOnInactive.clear();
  if (!QPX_Framework_Project_InitDeviceSelection()) return false;
  return InitClasses();
}

bool QPX_Framework_Project::InitClasses() {
  for (const char* name : {"QPX_Framework_PIN_Window"}) {
    auto entry = QPX_Framework_ClassRegistry::Find(name);
    if (!entry || !entry->init) continue;
    if (!entry->init(name)) {
      QPX_Log(QPX_LOG_ERROR, "%s failed to initialize", name);
      return false;
    }
  }
  return true;
}

bool QPX_Framework_Project::QPX_Framework_Project_InitDeviceSelection() {
  ModemStorage_ = QPX_Framework_ModemsNode();
  if (!ModemStorage_) {
    QPX_Log(QPX_LOG_ERROR, "Unable to create %s", kModemsPath);
    return false;
  }
  Subscriptions_.push_back(ModemStorage_->Subscribe());
  Subscriptions_.push_back(ModemStorage_->Subscribe(kCurrentModem));
  return true;
}

void QPX_Framework_Project::QPX_Framework_Thread_Run() {
  QPX_Framework_Application_Create();
  // The debugger window opens once the application runs.
  if (std::shared_ptr<QPX_Framework_Debugger> debugger = QPX_Framework_Debugger::Debugger())
    debugger->OpenWindow();
  std::weak_ptr<QPX_Framework_Thread> weak = weak_from_this();
  platform::ui::Application::SetTurnHook([weak] {
    std::shared_ptr<QPX_Framework_Thread> self = weak.lock();
    if (!self || self->IsQuitting()) platform::ui::Application::Stop();
  });
  platform::ui::Application::SetTerminateHandler([weak] {
    if (auto self = weak.lock()) self->QPX_Framework_Thread_Quit();
    return true;
  });
  std::shared_ptr<platform::Timer> snapshot;
  const char* folder = std::getenv(QPX_Framework_SnapshotFolder_Variable);
  const bool saveSnapshots = folder != nullptr && *folder != '\0';
  if (saveSnapshots || platform::ui::Application::StartedWithoutDisplay()) {
    // Once start-up has settled (worker threads have answered, windows are drawn), the
    // windows are saved as pictures when asked, and the application ends: without a
    // display nobody could use it.
    if (!saveSnapshots) QPX_Log(QPX_LOG_MILESTONE, "No display: the application ends once it has started");
    const std::string target = saveSnapshots ? folder : "";
    snapshot = platform::RunLoop::Current().AddTimer(1.0, [target](platform::Timer&) {
      if (!target.empty()) platform::ui::Application::SaveWindowSnapshots(target);
      platform::ui::Application::Terminate();
    });
  }
  if (!IsQuitting()) platform::ui::Application::Run();
  if (snapshot) snapshot->Invalidate();
  platform::ui::Application::SetTurnHook(nullptr);
  platform::ui::Application::SetTerminateHandler(nullptr);
}

void QPX_Framework_Project::QPX_Framework_Thread_Cleanup() {
  Subscriptions_.clear();
  ModemStorage_.reset();
  CurrentModem_.ObjectSet = Value::EmptySet();
  CurrentModem_.ObjectDictionary = Value::EmptyDictionary();
  CurrentModem_.ClearKeysOnInactive.clear();
  CurrentModem_.Storage.reset();
  QPX_Framework_Project_Common::QPX_Framework_Thread_Cleanup();
  platform::ui::Application::Shutdown();
}

void QPX_Framework_Project::TerminationRequested() { platform::ui::Application::Terminate(); }

namespace {
QPX_Framework_Project_MainWindowMaker g_mainWindowMaker = nullptr;
}  // namespace

void QPX_Framework_Project_SetMainWindowMaker(QPX_Framework_Project_MainWindowMaker maker) {
  g_mainWindowMaker = maker;
}

void QPX_Framework_Project_Dashboard::QPX_Framework_Thread_PrepareRun() {
  QPX_Framework_Project::QPX_Framework_Thread_PrepareRun();
  if (g_mainWindowMaker != nullptr && (MainWindow_ = g_mainWindowMaker())) return;
  MainWindow_ =
      platform::ui::Window::Make(platform::ui::Rect(120, 160, 480, 320),
                                 platform::ui::kTitledWindowMask | platform::ui::kClosableWindowMask |
                                     platform::ui::kMiniaturizableWindowMask);
  MainWindow_->SetTitle(QPX_Framework_ApplicationInfo.displayName);
  MainWindow_->SetIdentifier("Main Window");
  MainWindow_->SetShowsMainMenu(true);
  MainWindow_->Center();
  MainWindow_->MakeKeyAndOrderFront();
}

void QPX_Framework_Project::QPX_Framework_Project_DeviceChanged() {
  const Value current = ModemStorage_->objectForKey(kCurrentModem);
  QPX_Log(QPX_LOG_TRACE, "Current modem changed to %s", current.Description().c_str());
  ModemStorage_->setObject(current, kCurrentModemChanged);
}

void QPX_Framework_Project::QPX_Framework_Project_DeviceChange_ObjectsRemoved() {
  if (!CurrentModem_.Storage) return;
  for (const std::string& key : CurrentModem_.ClearKeysOnInactive)
    CurrentModem_.Storage->removeObjectForKey(key);
}

void QPX_Framework_Project::QPX_Framework_Storage_NotificationFor(const QPX_Framework_StoragePtr& node,
                                                                  const std::string& elementName,
                                                                  const Value& value) {
  if (!node || node != ModemStorage_) return;
  if (elementName.empty()) {
    QPX_Framework_Project_PerformDeviceSelection(node);
    return;
  }
  if (elementName == "QPX Connection Progress") {
    QPX_Log(QPX_LOG_TRACE, "Connection progress %s", value.Description().c_str());
    return;
  }
  if (elementName != kCurrentModem) return;
  QPX_Assert_Detail(value.isNull() || value.isString(), Value("Current Modem is not a path"));
  // A notice overtaken by a later write is stale: only the latest value counts.
  const Value present = node->objectForKey(kCurrentModem);
  if (present != value) return;

  CurrentModem_.ObjectSet = Value::EmptySet();
  CurrentModem_.ObjectDictionary = Value::EmptyDictionary();
  QPX_Framework_Project_DeviceChange_ObjectsRemoved();
  CurrentModem_.Storage.reset();
  CurrentModem_.Path = value.optString();
  if (CurrentModem_.Path && QPX_Framework_Root_Storage)
    CurrentModem_.Storage = QPX_Framework_Root_Storage->GetNode(*CurrentModem_.Path);
  QPX_Framework_SetModem(CurrentModem_.Storage);
  QPX_Framework_Project_DeviceChanged();
}

void QPX_Framework_Project::QPX_Framework_Project_PerformDeviceSelection(
    const QPX_Framework_StoragePtr& node) {
  QPX_Assert(node == ModemStorage_);
  std::optional<std::string> path = node->objectForKey(kCurrentModem).optString();
  const std::optional<std::string> name = LastComponent(path);
  bool changed = false;
  std::vector<std::string> keys;
  {
    std::lock_guard<QPX_Framework_Storage::Lock> lock(node->NodeLock());
    const QPX_Framework_Storage::ChildTable& children = node->GetChildren();
    if (name && children.count(*name) == 0) {
      path.reset();
      changed = true;
    }
    if (!path && !children.empty()) {
      path = std::string(kModemsPath) + "/" + children.begin()->first;
      changed = true;
    }
    for (const auto& [key, child] : children) keys.push_back(key);
  }
  if (changed && QPX_Framework_Project_DeviceWillChange())
    node->setObject(path ? Value(*path) : Value(), kCurrentModem);
  const std::optional<std::string> shown = LastComponent(node->objectForKey(kCurrentModem).optString());
  _PopulateDeviceSelectionButtonWithModems(keys, shown);
  QPX_Log(QPX_LOG_MILESTONE, "Current device: %s", shown ? shown->c_str() : "(none)");
}

void QPX_Framework_Project::_PopulateDeviceSelectionButtonWithModems(
    const std::vector<std::string>& modems, const std::optional<std::string>& current) {
  std::shared_ptr<platform::ui::PopUpButton> popup = g_deviceDropdown.lock();
  if (!popup) return;
  popup->RemoveAllItems();
  popup->AddItem("None");
  popup->AddItems(modems);
  if (!current || !popup->SelectItemWithTitle(*current)) popup->SelectItemWithTitle("None");
}

void QPX_Framework_Project::_DeviceSelectionPopup(platform::ui::Control& sender) {
  auto* popup = dynamic_cast<platform::ui::PopUpButton*>(&sender);
  QPX_Assert(popup != nullptr);
  QPX_Framework_StoragePtr modems = QPX_Framework_ModemsNode();
  if (!modems) return;
  const std::optional<std::string> title = popup->TitleOfSelectedItem();
  if (!title || *title == "None")
    modems->removeObjectForKey(kCurrentModem);
  else
    modems->setObject(Value(std::string(kModemsPath) + "/" + *title), kCurrentModem);
}

void QPX_Framework_Project::_DeviceATCommandEntry(platform::ui::Control& sender) {
  auto* field = dynamic_cast<platform::ui::TextField*>(&sender);
  QPX_Assert(field != nullptr);
  std::string text = field->StringValue();
  if (std::shared_ptr<QPX_Framework_Thread_Modem> thread = QPX_Framework_GetModem_Thread();
      thread && text.rfind("AT", 0) == 0) {
    text += '\r';
    thread->QPX_Framework_Thread_RunCommandWithoutReply(QPX_Framework_Modem_CreateATCommand(text));
  }
  field->SetStringValue("");
}

// ---- Heavy launcher ----

bool QPX_Framework_Project_HeavyLauncher::QPX_Framework_Thread_Setup() {
  if (!QPX_Framework_Project_Common::QPX_Framework_Thread_Setup()) return false;
  LauncherStuff_ = QPX_Framework_LauncherStuff::Create();
  if (!LauncherStuff_) {
    QPX_Log(QPX_LOG_ERROR, "Unable to create the launcher");
    return false;
  }
  return true;
}

void QPX_Framework_Project_HeavyLauncher::QPX_Framework_Thread_Run() {
  if (const char* folder = std::getenv(QPX_Framework_SnapshotFolder_Variable);
      folder != nullptr && *folder != '\0') {
    // No windows to draw: the instance ends once start-up has settled.
    std::weak_ptr<QPX_Framework_Thread> weak = weak_from_this();
    platform::RunLoop::Current().AddTimer(1.0, [weak](platform::Timer&) {
      if (auto self = weak.lock()) self->QPX_Framework_Thread_Quit();
    });
  }
  QPX_Framework_Project_Common::QPX_Framework_Thread_Run();
}

void QPX_Framework_Project_HeavyLauncher::LaunchApp() {
  QPX_Log(QPX_LOG_TRACE, "LaunchApp");
  if (LauncherStuff_) LauncherStuff_->LaunchApp();
}

void QPX_Framework_Project_HeavyLauncher::LaunchAppForDevice() {
  QPX_Log(QPX_LOG_TRACE, "LaunchAppForDevice");
  if (LauncherStuff_) LauncherStuff_->LaunchAppForDevice();
}
