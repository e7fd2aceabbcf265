#include "platform/launch_agent.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/plist.h"

extern char** environ;

namespace platform {

namespace {

std::mutex& DefaultMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<LaunchAgentService>& DefaultService() {
  static std::shared_ptr<LaunchAgentService> service;
  return service;
}

const char* FindSystemctl() {
  for (const char* path : {"/usr/bin/systemctl", "/bin/systemctl"})
    if (access(path, X_OK) == 0) return path;
  return nullptr;
}

bool RunQuietly(const std::vector<std::string>& argv) {
  std::vector<char*> arguments;
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, arguments.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A path inside a unit file, where "%" starts a specifier and "$" a variable.
std::string UnitEscaped(const std::string& text, bool quoted) {
  std::string result;
  for (char c : text) {
    if (c == '%') {
      result += "%%";
    } else if (quoted && c == '$') {
      result += "$$";
    } else if (quoted && (c == '\\' || c == '"')) {
      result += '\\';
      result += c;
    } else {
      result += c;
    }
  }
  return result;
}

}  // namespace

std::shared_ptr<LaunchAgentService> LaunchAgentService::Default() {
  std::lock_guard<std::mutex> lock(DefaultMutex());
  if (!DefaultService()) {
    if (SystemdUserLaunchAgentService::Available())
      DefaultService() = std::make_shared<SystemdUserLaunchAgentService>();
    else
      DefaultService() = std::make_shared<SimulatedLaunchAgentService>();
  }
  return DefaultService();
}

void LaunchAgentService::SetDefault(std::shared_ptr<LaunchAgentService> service) {
  std::lock_guard<std::mutex> lock(DefaultMutex());
  DefaultService() = std::move(service);
}

std::optional<LaunchAgentDescription> ReadLaunchAgent(const std::string& plistPath) {
  std::optional<Value> list = plist::ReadFile(plistPath);
  if (!list || !list->isDictionary()) return std::nullopt;
  const Value label = list->get("Label");
  const Value program = list->get("Program");
  if (!label.isString() || label.string().empty() || !program.isString() || program.string().empty() ||
      program.string()[0] != '/')
    return std::nullopt;
  LaunchAgentDescription agent;
  agent.label = label.string();
  agent.program = program.string();
  agent.workingDirectory = list->get("WorkingDirectory").string();
  agent.runAtLoad = list->get("RunAtLoad").toBool();
  agent.keepAlive = list->get("KeepAlive").toBool();
  agent.disabled = list->get("Disabled").toBool();
  return agent;
}

// --- Simulated -----------------------------------------------------------------------------

bool SimulatedLaunchAgentService::Load(const std::string& plistPath) {
  std::optional<LaunchAgentDescription> agent = ReadLaunchAgent(plistPath);
  if (!agent || agent->disabled) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  Agent& entry = agents_[agent->label];
  if (entry.loaded) return false;  // already loaded
  entry.description = *agent;
  entry.loaded = true;
  if (agent->runAtLoad) ++entry.starts;
  return true;
}

bool SimulatedLaunchAgentService::Unload(const std::string& plistPath) {
  std::optional<LaunchAgentDescription> agent = ReadLaunchAgent(plistPath);
  if (!agent) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = agents_.find(agent->label);
  if (it == agents_.end() || !it->second.loaded) return false;
  it->second.loaded = false;
  return true;
}

bool SimulatedLaunchAgentService::Remove(const std::string& label) {
  std::lock_guard<std::mutex> lock(mutex_);
  return agents_.erase(label) > 0;
}

bool SimulatedLaunchAgentService::IsLoaded(const std::string& label) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = agents_.find(label);
  return it != agents_.end() && it->second.loaded;
}

std::optional<LaunchAgentDescription> SimulatedLaunchAgentService::Known(const std::string& label) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = agents_.find(label);
  if (it == agents_.end()) return std::nullopt;
  return it->second.description;
}

int SimulatedLaunchAgentService::StartCount(const std::string& label) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = agents_.find(label);
  return it == agents_.end() ? 0 : it->second.starts;
}

// --- systemd --------------------------------------------------------------------------------

SystemdUserLaunchAgentService::SystemdUserLaunchAgentService(std::string unitFolder)
    : unitFolder_(std::move(unitFolder)) {}

bool SystemdUserLaunchAgentService::Available() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0' || FindSystemctl() == nullptr) return false;
  struct stat info {};
  return stat((std::string(runtime) + "/systemd/private").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

std::string SystemdUserLaunchAgentService::DefaultUnitFolder() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
    return std::string(config) + "/systemd/user";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config/systemd/user";
}

std::string SystemdUserLaunchAgentService::UnitName(const std::string& label) {
  std::string name;
  for (unsigned char c : label) {
    if (std::isalnum(c) || c == ':' || c == '_' || c == '.' || c == '-') {
      name += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(c));
      name += escaped;
    }
  }
  return name + ".service";
}

std::string SystemdUserLaunchAgentService::UnitText(const LaunchAgentDescription& agent) {
  std::string text = "[Unit]\nDescription=" + UnitEscaped(agent.label, false) + "\n\n[Service]\n";
  text += "ExecStart=\"" + UnitEscaped(agent.program, true) + "\"\n";
  if (!agent.workingDirectory.empty())
    text += "WorkingDirectory=" + UnitEscaped(agent.workingDirectory, false) + "\n";
  text += agent.keepAlive ? "Restart=always\nRestartSec=1\n" : "Restart=no\n";
  if (agent.runAtLoad) text += "\n[Install]\nWantedBy=default.target\n";
  return text;
}

bool SystemdUserLaunchAgentService::Systemctl(const std::vector<std::string>& arguments) const {
  const char* systemctl = FindSystemctl();
  if (systemctl == nullptr) return false;
  std::vector<std::string> argv{systemctl, "--user"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunQuietly(argv);
}

bool SystemdUserLaunchAgentService::Load(const std::string& plistPath) {
  std::optional<LaunchAgentDescription> agent = ReadLaunchAgent(plistPath);
  if (!agent || agent->disabled) return false;
  // A line break would end the setting early and let the rest be read as settings.
  for (const std::string* text : {&agent->label, &agent->program, &agent->workingDirectory})
    if (text->find_first_of("\n\r") != std::string::npos) return false;
  const std::string unit = UnitName(agent->label);
  std::error_code ignored;
  std::filesystem::create_directories(unitFolder_, ignored);
  const std::string path = unitFolder_ + "/" + unit;
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << UnitText(*agent);
    if (!out) return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) return false;
  if (!Systemctl({"daemon-reload"})) return false;
  if (!agent->runAtLoad) return true;
  return Systemctl({"enable", "--now", unit});
}

bool SystemdUserLaunchAgentService::Unload(const std::string& plistPath) {
  std::optional<LaunchAgentDescription> agent = ReadLaunchAgent(plistPath);
  if (!agent) return false;
  return Systemctl({"disable", "--now", UnitName(agent->label)});
}

bool SystemdUserLaunchAgentService::Remove(const std::string& label) {
  const std::string path = unitFolder_ + "/" + UnitName(label);
  const bool existed = unlink(path.c_str()) == 0;
  Systemctl({"daemon-reload"});
  return existed;
}

bool SystemdUserLaunchAgentService::IsLoaded(const std::string& label) const {
  return Systemctl({"is-enabled", "--quiet", UnitName(label)}) ||
         Systemctl({"is-active", "--quiet", UnitName(label)});
}

}  // namespace platform
