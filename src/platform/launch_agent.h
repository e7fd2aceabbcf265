#pragma once
// Per-user launch agents: a property list ("Label", "Program", "WorkingDirectory",
// "RunAtLoad", "KeepAlive", "Disabled", ...) that the session's service manager loads, runs
// and keeps alive. Two back-ends:
//
// - SystemdUserLaunchAgentService, where a user systemd runs: loading an agent writes a user
//   unit "<Label>.service" (ExecStart the program, Restart=always for KeepAlive, enabled for
//   the session when RunAtLoad) and starts it; unloading stops and disables it; removing
//   deletes the unit.
// - SimulatedLaunchAgentService: real state in memory, enforcing what the manager would (an
//   agent that does not read as a dictionary with a Label and a Program is refused, a label
//   is loaded once); tests and machines without a user systemd use it.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"

namespace platform {

class LaunchAgentService {
 public:
  virtual ~LaunchAgentService() = default;
  // Loads the agent of the property list at the path (and runs it when RunAtLoad). False
  // when the list is unusable or the manager refused.
  virtual bool Load(const std::string& plistPath) = 0;
  // Unloads the agent of that property list (stopping it). False when it was not loaded.
  virtual bool Unload(const std::string& plistPath) = 0;
  // Forgets the label altogether. False when the manager knows no such label.
  virtual bool Remove(const std::string& label) = 0;
  virtual bool IsLoaded(const std::string& label) const = 0;

  // The service of this session: the user systemd where it runs, else a simulated one made
  // once. Tests install their own; SetDefault(nullptr) makes the next Default() choose again.
  static std::shared_ptr<LaunchAgentService> Default();
  static void SetDefault(std::shared_ptr<LaunchAgentService> service);
};

// The agent a property list describes; none when it is not a dictionary with a string
// "Label" and a string "Program" (an absolute path).
struct LaunchAgentDescription {
  std::string label;
  std::string program;
  std::string workingDirectory;
  bool runAtLoad = false;
  bool keepAlive = false;
  bool disabled = false;
};
std::optional<LaunchAgentDescription> ReadLaunchAgent(const std::string& plistPath);

class SimulatedLaunchAgentService : public LaunchAgentService {
 public:
  bool Load(const std::string& plistPath) override;
  bool Unload(const std::string& plistPath) override;
  bool Remove(const std::string& label) override;
  bool IsLoaded(const std::string& label) const override;

  // What the manager knows of a label (loaded or not, until removed); none when unknown.
  std::optional<LaunchAgentDescription> Known(const std::string& label) const;
  // How often each loaded agent's program was started (RunAtLoad on load).
  int StartCount(const std::string& label) const;

 private:
  struct Agent {
    LaunchAgentDescription description;
    bool loaded = false;
    int starts = 0;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Agent> agents_;
};

class SystemdUserLaunchAgentService : public LaunchAgentService {
 public:
  // unitFolder: where user units are written ($XDG_CONFIG_HOME/systemd/user by default).
  explicit SystemdUserLaunchAgentService(std::string unitFolder = DefaultUnitFolder());
  bool Load(const std::string& plistPath) override;
  bool Unload(const std::string& plistPath) override;
  bool Remove(const std::string& label) override;
  bool IsLoaded(const std::string& label) const override;

  // True when a user systemd answers for this session.
  static bool Available();
  static std::string DefaultUnitFolder();
  // The unit file for an agent.
  static std::string UnitText(const LaunchAgentDescription& agent);
  // The unit name for a label: "<label>.service", with characters systemd does not allow in
  // unit names escaped.
  static std::string UnitName(const std::string& label);

 private:
  bool Systemctl(const std::vector<std::string>& arguments) const;
  std::string unitFolder_;
};

}  // namespace platform
