#pragma once
// The AT modem thread: one per modem driven by AT commands. It owns the modem's two serial
// ports (application port 1, modem port 2) and is the only code that writes to them or reads
// from them. Client threads send it AT command packages (at_command.h builds them); it
// serialises them, writes each command, collects the response lines after the echo, decides
// when a command is complete, enforces time-outs, retries commands the SIM was too busy for
// (CME error 14) and answers the sender. A client may hold the modem for a sequence of
// commands (Lock/Unlock); otherwise the next sender is drawn at random after every command,
// so no client starves. Unsolicited result codes are recognised on the fly and delivered to
// their handlers between commands (unsolicited.h).
//
// Packages handled here ("Command"):
//   "AT Command"  {"AT Command": bytes, "Timeout"?, "Completion Check"?, "Needs Echo"?,
//                  "Prompt"? {"Prompt", "Response"}, "Port"? (1 or 2)}
//                 -> {"Response": (lines, final line last), "Error"?: YES}
//                    failures: ("UNAVAILABLE") for a closed or vanished port; "TIMEOUT" last
//                    after a time-out that had collected something
//   "Lock" / "Unlock"                 -> {}
//   "Set Unsolicited" / "Remove Unsolicited" (unsolicited.h)
// When the thread goes away, every package it still holds is answered with the nil reply.
//
// Time is read from an injectable clock and the retry pause from an injectable sleeper, so
// tests drive time-outs and retries without waiting.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "devices/device_thread.h"
#include "devices/serial_port.h"
#include "framework/core/command.h"
#include "platform/clock.h"
#include "platform/run_loop.h"
#include "platform/value.h"

class QPX_Framework_Thread_Modem : public QPX_Framework_DeviceThread_Base {
 public:
  // One port of the modem.
  struct PortState {
    int number = 1;                    // 1 application port, 2 modem port
    QPX_Framework_SerialPortPtr Port;  // present even when its open failed; null when the record has no path
    // Lines collected for the command in flight; empty until the echo was seen (or no echo
    // is needed).
    std::optional<Value> CommandResponse;
    QPX_Framework_Package Package;  // the command in flight; null when idle
    std::shared_ptr<platform::Timer> Timeout;
    std::optional<double> TimeoutDeadline;  // on the thread's clock
    std::vector<Value> Unsolicited;         // handler records
    std::vector<Value> UnsolicitedQueue;    // entries {"Line", "More"?} waiting for delivery
    std::uint32_t UnsolicitedLines = 0;     // further lines still owed to the last entry
  };

  QPX_Framework_Thread_Modem();
  ~QPX_Framework_Thread_Modem() override;

  // Keeps the record and stores this thread in it as "Modem Thread".
  bool QPX_Framework_Thread_Modem_Init(const QPX_Framework_DeviceRecordPtr& main) override;
  // Names the thread after the record's "Key", waits the model's "PreUseDelay", opens both
  // ports (each must be creatable; a port without a path stays absent) and publishes the
  // modem port as the modem node's "Modem Port".
  bool QPX_Framework_Thread_Setup() override;
  // Lines of both ports, then what can be sent, then the command queue.
  void QPX_Framework_Thread_Process() override;
  bool QPX_Framework_Thread_ExecuteCommandPackage(const QPX_Framework_Package& package) override;
  bool QPX_Framework_Thread_ExecuteCommandPackage_AT(const QPX_Framework_Package& package);
  // Stops the per-device threads, answers everything still held with nil, tears both ports
  // down, removes "Modem Thread" from the record and the modem node from the tree.
  void QPX_Framework_Thread_Cleanup() override;

  void QPX_Framework_Thread_Process_AT();

  std::string Description() const override;

  // Class initialiser and registration ("QPX_Framework_Thread_Modem" in the class registry).
  static bool QPX_Framework_Init(const std::string& className);

  // ---- Injection (before launch) ----
  void SetClock(std::shared_ptr<platform::Clock> clock);
  void SetSleeper(std::function<void(double seconds)> sleeper);
  void SetRandomSeed(std::uint32_t seed);
  // Makes the thread read its ports and look at its time-outs now (for tests that moved an
  // injected clock).
  void CheckTimeoutsNow();

  // ---- Inspection (tests; call on any thread, answered by the modem thread) ----
  struct Snapshot {
    std::size_t queuedSenders = 0;
    std::size_t queuedPackages = 0;
    bool owned = false;
    std::uint32_t ownerCount = 0;
    bool inFlight[2] = {false, false};
    std::size_t retryEntries = 0;
    std::size_t handlers[2] = {0, 0};
    std::size_t unsolicitedQueued[2] = {0, 0};
    // Lines collected for the command in flight; -1 while the echo is awaited or when idle.
    int collected[2] = {-1, -1};
  };
  Snapshot Inspect();

 private:
  friend struct QPX_Framework_Modem_Unsolicited;

  struct RetryLimit {
    double limit;
    QPX_Framework_Package package;
  };

  PortState& PortFor(const Value& command);
  bool InitPort(int number, PortState& state);
  void TearDownPort(PortState& state);
  bool SendNextCommand();
  void SendLoop();
  void ProcessResponses(PortState& state);
  void HandleLine(PortState& state, const _QPX_Framework_SerialPort::Line& line);
  void CheckCommandCompletion(PortState& state);
  void Complete(PortState& state, Value reply);
  void Retry(PortState& state);
  void ClearPort(PortState& state);
  void ArmTimeout(PortState& state, double seconds);
  void ScheduleTimeoutWake(PortState& state, double seconds);
  void TimeoutFire(PortState& state);
  void CheckTimeouts();
  void CheckVanishedPorts();
  void EndOwnership();
  // Answers every queued package of the sender with nil and forgets the sender.
  void DropSender(const std::string& senderID);
  void AnswerEverythingWithNil();
  void UpdateOwnerWatch();
  void LogLine(const PortState& state, const char* what, const Value& line) const;

  PortState ApplicationPort;
  PortState ModemPort;

  // Command queue state.
  std::map<std::string, std::deque<QPX_Framework_Package>> PackageQueue;  // sender ID -> FIFO
  std::map<const QPX_Framework_CommandPackage*, RetryLimit> RetryLimits;
  std::weak_ptr<QPX_Framework_Thread> Owner;
  std::string OwnerID;
  std::uint32_t OwnerCount = 0;
  std::optional<double> OwnedSince;
  // While somebody owns the modem and others wait, a timer looks once a second whether the
  // owner still exists.
  std::shared_ptr<platform::Timer> OwnerWatch;

  std::shared_ptr<platform::Clock> clock_;
  std::function<void(double)> sleeper_;
  std::mt19937 random_;
  bool setUp_ = false;
};

// Enters the AT modem thread and the combined device thread classes into the class
// registry. Called by main() before start-up walks the class table.
void QPX_Framework_Devices_AT_RegisterClasses();
