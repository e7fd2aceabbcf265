#include "devices/modem_at.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "devices/at_command.h"
#include "devices/combined.h"
#include "devices/device_base.h"
#include "devices/device_common.h"
#include "devices/device_ports.h"
#include "devices/modem_at_reply.h"
#include "devices/unsolicited.h"
#include "framework/core/class_registry.h"
#include "framework/core/log.h"
#include "framework/util/devices_xml.h"
#include "framework/util/gsm.h"

namespace {

constexpr double kAbandonedLockSeconds = 30.0;
constexpr double kRetryPauseSeconds = 1.0;
constexpr double kRetryWindowSeconds = 60.0;
constexpr double kOwnerWatchSeconds = 1.0;

const char* PortPrefix(const QPX_Framework_Thread_Modem::PortState& state) {
  return state.number == 2 ? "(Modem port) " : "";
}

Value UnavailableReply(const std::optional<Value>& collected) {
  Value lines = collected ? *collected : Value::EmptyArray();
  lines.append(QPX_Framework_Modem_MakeLine("UNAVAILABLE"));
  return Value{{QPX_Framework_Modem_Key_Error, Value(true)}, {QPX_Framework_Modem_Key_Response, lines}};
}

std::string CommandBytes(const Value& command) {
  const Value::Bytes& bytes = command.get(QPX_Framework_Modem_Key_ATCommand).data();
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

QPX_Framework_Thread_Modem::QPX_Framework_Thread_Modem()
    : clock_(platform::Clock::System()),
      sleeper_([](double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }),
      random_(std::random_device{}()) {
  ApplicationPort.number = 1;
  ModemPort.number = 2;
  on(QPX_Framework_Modem_Command_SetUnsolicited, [this](const QPX_Framework_Package& package) {
    PortState& port = PortFor(package->Command());
    QPX_Framework_Thread_SendReply(QPX_Framework_Unsolicited_Add(port, package), package);
  });
  on(QPX_Framework_Modem_Command_RemoveUnsolicited, [this](const QPX_Framework_Package& package) {
    const Value record = package->Command().get(QPX_Framework_Unsolicited_Key_Handler);
    if (!record.isNull()) QPX_Framework_Unsolicited_Remove(ApplicationPort, ModemPort, record);
    QPX_Framework_Thread_SendReply(Value(), package);
  });
}

QPX_Framework_Thread_Modem::~QPX_Framework_Thread_Modem() {
  // Waiting clients return; what the clean-up already did is not done twice.
  AnswerEverythingWithNil();
  TearDownPort(ApplicationPort);
  TearDownPort(ModemPort);
}

bool QPX_Framework_Thread_Modem::QPX_Framework_Init(const std::string& className) {
  return QPX_Framework_DeviceThread_Base::QPX_Framework_Init(className);
}

void QPX_Framework_Thread_Modem::SetClock(std::shared_ptr<platform::Clock> clock) {
  clock_ = clock ? std::move(clock) : platform::Clock::System();
}

void QPX_Framework_Thread_Modem::SetSleeper(std::function<void(double)> sleeper) {
  if (sleeper) sleeper_ = std::move(sleeper);
}

void QPX_Framework_Thread_Modem::SetRandomSeed(std::uint32_t seed) { random_.seed(seed); }

std::string QPX_Framework_Thread_Modem::Description() const {
  return "<QPX_Framework_Thread_Modem " + QPX_Framework_Thread_Name() + ">";
}

// ---- Life ----

bool QPX_Framework_Thread_Modem::QPX_Framework_Thread_Modem_Init(const QPX_Framework_DeviceRecordPtr& main) {
  if (!QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Modem_Init(main)) return false;
  // In the record from the start, so an unplug during set-up reaches the thread.
  main->Set(QPX_Device_Key_ModemThread, Value::Object(shared_from_this()));
  return true;
}

bool QPX_Framework_Thread_Modem::QPX_Framework_Thread_Setup() {
  auto fail = [this] {
    TearDownPort(ApplicationPort);
    TearDownPort(ModemPort);
    if (Main_) {
      Main_->With([&](Value& record) {
        if (record.get(QPX_Device_Key_ModemThread).object().get() == this)
          record.remove(QPX_Device_Key_ModemThread);
      });
    }
    return false;
  };
  if (!Main_ || !QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Setup()) return fail();

  const std::string key = Main_->Key();
  if (!key.empty()) {
    // Names are unique; a record whose previous modem thread is still ending keeps that name
    // for a moment, and this thread then goes by its ID.
    auto holder = QPX_Framework_Thread::QPX_Framework_Thread_Find(key);
    if (!holder || holder.get() == this)
      QPX_Framework_Thread_SetName(key);
    else
      QPX_Log(QPX_LOG_ERROR, "Thread name \"%s\" is taken; the modem thread stays unnamed", key.c_str());
  }

  // PreUseDelay: some models need a pause after their ports appear before they answer.
  if (const auto watcher = Main_->GetObject<QPX_Framework_Device_Base>(QPX_Device_Key_Instance)) {
    if (const auto& common = watcher->Common(); common && common->XML.Drivers)
      _QPX_Framework_XMLDelay(common->XML.Drivers, "PreUseDelay");
  }

  if (!InitPort(1, ApplicationPort) || !InitPort(2, ModemPort)) return fail();
  if (const auto node = Main_->GetObject<QPX_Framework_Storage>(QPX_Device_Key_ModemStorage))
    node->setObject(ModemPort.Port ? Value::Object(ModemPort.Port) : Value(), QPX_Device_Key_ModemPort);
  setUp_ = true;
  return true;
}

bool QPX_Framework_Thread_Modem::InitPort(int number, PortState& state) {
  const char* key = QPX_Framework_Device_Ports::QPX_Framework_Device_Port_Key(number);
  if (key == nullptr) return false;
  const std::string path = Main_->Get(key).string();
  state.number = number;
  if (path.empty()) return true;  // the model has no such port
  state.Port =
      _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(path, _QPX_Framework_Thread_MySignal());
  if (!state.Port) return false;
  state.Package = nullptr;
  state.UnsolicitedQueue.clear();
  return true;
}

void QPX_Framework_Thread_Modem::TearDownPort(PortState& state) {
  if (state.Timeout) state.Timeout->Invalidate();
  state.Timeout = nullptr;
  state.TimeoutDeadline.reset();
  if (state.Package) {
    QPX_Framework_Thread_SendReply(Value(), state.Package);
    state.Package = nullptr;
  }
  if (state.Port) {
    state.Port->invalidate();
    state.Port = nullptr;
  }
  state.CommandResponse.reset();
  state.Unsolicited.clear();
  state.UnsolicitedQueue.clear();
  state.UnsolicitedLines = 0;
}

void QPX_Framework_Thread_Modem::QPX_Framework_Thread_Cleanup() {
  // The name goes first: a new modem thread of the same device may be starting already.
  QPX_Framework_Thread_SetName(std::nullopt);
  _KillThreads();
  if (OwnerWatch) OwnerWatch->Invalidate();
  OwnerWatch = nullptr;
  AnswerEverythingWithNil();
  TearDownPort(ApplicationPort);
  TearDownPort(ModemPort);
  if (Main_) {
    QPX_Framework_StoragePtr node = Main_->GetObject<QPX_Framework_Storage>(QPX_Device_Key_ModemStorage);
    const std::string modemID = Main_->Get(QPX_Device_Key_ModemID).string();
    Main_->With([&](Value& record) {
      if (record.get(QPX_Device_Key_ModemThread).object().get() == this)
        record.remove(QPX_Device_Key_ModemThread);
    });
    if (!modemID.empty() && modemID[0] == '/') QPX_Framework_Storage_RemoveNode(modemID);
    if (node) {
      node->removeObjectForKey(QPX_Framework_ModemNode_ModemDevice);
      node->removeObjectForKey(QPX_Device_Key_ModemPort);
    }
  }
  QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Cleanup();
}

void QPX_Framework_Thread_Modem::AnswerEverythingWithNil() {
  std::map<std::string, std::deque<QPX_Framework_Package>> queued;
  queued.swap(PackageQueue);
  for (auto& [sender, packages] : queued)
    for (const QPX_Framework_Package& package : packages) _SendReplyForFlush(package);
  for (PortState* state : {&ApplicationPort, &ModemPort}) {
    if (state->Package) _SendReplyForFlush(state->Package);
    ClearPort(*state);
  }
  RetryLimits.clear();
  Owner.reset();
  OwnerID.clear();
  OwnerCount = 0;
  OwnedSince.reset();
}

// ---- Dispatch ----

void QPX_Framework_Thread_Modem::QPX_Framework_Thread_Process() {
  if (setUp_) QPX_Framework_Thread_Process_AT();
  QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_Process();
}

void QPX_Framework_Thread_Modem::QPX_Framework_Thread_Process_AT() {
  ProcessResponses(ApplicationPort);
  ProcessResponses(ModemPort);
  CheckVanishedPorts();
  CheckTimeouts();
  SendLoop();
}

bool QPX_Framework_Thread_Modem::QPX_Framework_Thread_ExecuteCommandPackage(
    const QPX_Framework_Package& package) {
  if (QPX_Framework_DeviceThread_Base::QPX_Framework_Thread_ExecuteCommandPackage(package)) return true;
  return QPX_Framework_Thread_ExecuteCommandPackage_AT(package);
}

bool QPX_Framework_Thread_Modem::QPX_Framework_Thread_ExecuteCommandPackage_AT(
    const QPX_Framework_Package& package) {
  if (!package) return false;
  const std::string& name = package->CommandName();
  if (name != QPX_Framework_Modem_Command_AT && name != QPX_Framework_Modem_Command_Lock &&
      name != QPX_Framework_Modem_Command_Unlock)
    return false;
  std::shared_ptr<QPX_Framework_Thread> sender = package->Sender();
  if (!sender) return false;
  const std::string id = sender->QPX_Framework_Thread_ID();
  if (id.empty()) return false;
  PackageQueue[id].push_back(package);
  SendLoop();
  return true;
}

QPX_Framework_Thread_Modem::PortState& QPX_Framework_Thread_Modem::PortFor(const Value& command) {
  return command.get(QPX_Framework_Modem_Key_Port).toInt(1) == 2 ? ModemPort : ApplicationPort;
}

// ---- Sending ----

void QPX_Framework_Thread_Modem::SendLoop() {
  while (SendNextCommand()) {
  }
  UpdateOwnerWatch();
}

void QPX_Framework_Thread_Modem::EndOwnership() {
  Owner.reset();
  OwnerID.clear();
  OwnerCount = 0;
  OwnedSince.reset();
}

void QPX_Framework_Thread_Modem::DropSender(const std::string& senderID) {
  auto it = PackageQueue.find(senderID);
  if (it == PackageQueue.end()) return;
  std::deque<QPX_Framework_Package> packages = std::move(it->second);
  PackageQueue.erase(it);
  for (const QPX_Framework_Package& package : packages) {
    RetryLimits.erase(package.get());
    _SendReplyForFlush(package);
  }
}

bool QPX_Framework_Thread_Modem::SendNextCommand() {
  const double now = clock_->Now();
  if (OwnedSince && now - *OwnedSince > kAbandonedLockSeconds) {
    auto owner = Owner.lock();
    QPX_Log(QPX_LOG_ERROR, "Possible abandoned modem lock from %s",
            owner ? owner->Description().c_str() : OwnerID.c_str());
  }

  if (OwnerID.empty() && !ApplicationPort.Package && !ModemPort.Package) {
    QPX_Framework_Unsolicited_Deliver(ApplicationPort);
    QPX_Framework_Unsolicited_Deliver(ModemPort);
    if (!PackageQueue.empty()) {
      std::size_t n = static_cast<std::size_t>(random_() % PackageQueue.size());
      auto chosen = PackageQueue.begin();
      std::advance(chosen, static_cast<std::ptrdiff_t>(n));
      auto owner = QPX_Framework_Thread::QPX_Framework_Thread_FindID(chosen->first);
      if (!owner) {
        // The sender has gone: nobody waits for its packages any more.
        QPX_Log(QPX_LOG_ERROR, "Dropping the commands of thread %s, which no longer exists",
                chosen->first.c_str());
        DropSender(chosen->first);
        return true;
      }
      Owner = owner;
      OwnerID = chosen->first;
      OwnedSince = now;
    }
  }
  if (OwnerID.empty()) return false;

  if (!QPX_Framework_Thread::QPX_Framework_Thread_FindID(OwnerID)) {
    // The owner ended without unlocking: its lock and its packages would otherwise keep
    // every other client waiting until the modem is unplugged.
    QPX_Log(QPX_LOG_ERROR, "The owner of the modem lock (thread %s) no longer exists; lock released",
            OwnerID.c_str());
    DropSender(OwnerID);
    EndOwnership();
    return true;
  }

  auto fifo = PackageQueue.find(OwnerID);
  if (fifo == PackageQueue.end() || fifo->second.empty()) return false;
  QPX_Framework_Package head = fifo->second.front();
  const std::string& name = head->CommandName();
  if (name == QPX_Framework_Modem_Command_Lock) {
    ++OwnerCount;
    QPX_Framework_Thread_SendReply(Value::EmptyDictionary(), head);
  } else if (name == QPX_Framework_Modem_Command_Unlock) {
    QPX_Assert_Detail(OwnerCount > 0, Value("Unlock without Lock"));
    if (--OwnerCount == 0) EndOwnership();
    QPX_Framework_Thread_SendReply(Value::EmptyDictionary(), head);
  } else if (name == QPX_Framework_Modem_Command_AT) {
    const Value& command = head->Command();
    QPX_Assert_Detail(command.contains(QPX_Framework_Modem_Key_ATCommand),
                      Value("AT package without \"AT Command\""));
    PortState& state = PortFor(command);
    if (state.Package) return false;  // sent once that port's command is complete
    if (!state.Port || !state.Port->QPX_Framework_SerialPort_IsOpen() ||
        state.Port->QPX_Framework_SerialPort_HasFailed()) {
      QPX_Framework_Thread_SendReply(UnavailableReply(std::nullopt), head);
      RetryLimits.erase(head.get());
    } else {
      state.Package = head;
      state.CommandResponse.reset();
      const std::string bytes = CommandBytes(command);
      QPX_Log(QPX_LOG_ATCOMMANDS, "%sSending %s", PortPrefix(state),
              QPX_Framework_Log_ModemData(QPX_Framework_Modem_MaskSecrets(bytes)).c_str());
      state.Port->QPX_Framework_SerialPort_WriteData(std::string_view(bytes));
      const Value timeout = command.get(QPX_Framework_Modem_Key_Timeout);
      if (timeout.isNumber()) ArmTimeout(state, timeout.toDouble());
    }
  } else {
    QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                Value("unknown modem command " + name));
  }
  // Replies only queue work for other threads, so the FIFO is still the one looked at.
  fifo->second.pop_front();
  if (fifo->second.empty()) PackageQueue.erase(fifo);
  // Without a lock a client owns the modem for one package only.
  if (!OwnerID.empty() && OwnerCount == 0) EndOwnership();
  return true;
}

void QPX_Framework_Thread_Modem::UpdateOwnerWatch() {
  bool othersWait = false;
  if (!OwnerID.empty())
    for (const auto& [sender, packages] : PackageQueue)
      if (sender != OwnerID && !packages.empty()) othersWait = true;
  if (othersWait && !OwnerWatch) {
    std::weak_ptr<QPX_Framework_Thread> weak = weak_from_this();
    OwnerWatch = platform::RunLoop::Current().AddTimer(
        kOwnerWatchSeconds,
        [weak](platform::Timer&) {
          if (auto self = std::static_pointer_cast<QPX_Framework_Thread_Modem>(weak.lock())) self->SendLoop();
        },
        kOwnerWatchSeconds);
  } else if (!othersWait && OwnerWatch) {
    OwnerWatch->Invalidate();
    OwnerWatch = nullptr;
  }
}

// ---- Receiving ----

void QPX_Framework_Thread_Modem::LogLine(const PortState& state, const char* what, const Value& line) const {
  // The echo of a command repeats its secrets.
  QPX_Log(QPX_LOG_ATCOMMANDS, "%s%s %s", PortPrefix(state), what,
          QPX_Framework_Log_ModemData(QPX_Framework_Modem_MaskSecrets(QPX_Framework_Modem_LineText(line)))
              .c_str());
}

void QPX_Framework_Thread_Modem::ProcessResponses(PortState& state) {
  if (!state.Port) return;
  for (;;) {
    std::optional<std::string> prompt;
    if (state.Package) {
      const Value promptBytes =
          state.Package->Command().get(QPX_Framework_Modem_Key_Prompt).get(QPX_Framework_Modem_Key_Prompt);
      if (promptBytes.isData() && !promptBytes.data().empty())
        prompt = std::string(promptBytes.data().begin(), promptBytes.data().end());
    }
    std::optional<_QPX_Framework_SerialPort::Line> line =
        state.Port->QPX_Framework_SerialPort_ReadLine(prompt);
    if (!line) return;
    HandleLine(state, *line);
  }
}

void QPX_Framework_Thread_Modem::HandleLine(PortState& state, const _QPX_Framework_SerialPort::Line& read) {
  Value line;
  if (read.prompt) {
    QPX_Log(
        QPX_LOG_TRACE, "Prompt: %s",
        state.Package ? QPX_Framework_Modem_MaskSecrets(CommandBytes(state.Package->Command())).c_str() : "");
  } else {
    line = Value::Data(read.bytes);
    if (QPX_Framework_Unsolicited_CheckPrefix(state, line)) {
      LogLine(state, "Unsolicited", line);
      return;
    }
    LogLine(state, "Received", line);
  }
  if (!state.Package) {
    QPX_Log(QPX_LOG_TRACE, "Discarding line");
    return;
  }
  const Value& command = state.Package->Command();
  const std::string bytes = CommandBytes(command);
  const bool isEcho =
      !read.prompt && !bytes.empty() &&
      QPX_Framework_Modem_LineText(line) == std::string_view(bytes).substr(0, bytes.size() - 1) &&
      read.bytes.size() == bytes.size();
  if (!state.CommandResponse) {
    if (isEcho) {
      state.CommandResponse = Value::EmptyArray();
      return;
    }
    if (command.get(QPX_Framework_Modem_Key_NeedsEcho).toBool(true)) {
      QPX_Log(QPX_LOG_ATCOMMANDS, "Ignoring --- need echo");
      return;
    }
    state.CommandResponse = Value::EmptyArray();
  } else if (isEcho) {
    return;
  }
  if (read.prompt) {
    const Value response =
        command.get(QPX_Framework_Modem_Key_Prompt).get(QPX_Framework_Modem_Key_PromptResponse);
    const std::string answer(response.data().begin(), response.data().end());
    QPX_Log(QPX_LOG_ATCOMMANDS, "%sSending %s", PortPrefix(state),
            QPX_Framework_Log_ModemData(answer).c_str());
    state.Port->QPX_Framework_SerialPort_WriteData(std::string_view(answer));
    return;
  }
  state.CommandResponse->append(line);
  CheckCommandCompletion(state);
}

// ---- Completion ----

void QPX_Framework_Thread_Modem::CheckCommandCompletion(PortState& state) {
  const Value& lines = *state.CommandResponse;
  const Value& command = state.Package->Command();
  if (auto checker = command.get(QPX_Framework_Modem_Key_CompletionCheck)
                         .objectAs<QPX_Framework_Modem_CompletionChecker>()) {
    Value reply;
    if (!checker->Check(lines, reply)) return;
    if (!reply.isDictionary()) {
      QPX_Log(QPX_LOG_ERROR, "Completion checker left no reply for %s",
              QPX_Framework_Log_ModemData(QPX_Framework_Modem_MaskSecrets(CommandBytes(command))).c_str());
      reply = Value{{QPX_Framework_Modem_Key_Error, Value(true)}};
    }
    if (!reply.contains(QPX_Framework_Modem_Key_Response)) reply.set(QPX_Framework_Modem_Key_Response, lines);
    Complete(state, std::move(reply));
    return;
  }
  switch (QPX_Framework_Modem_ClassifyFinalLine(QPX_Framework_Modem_LineText(lines.at(lines.size() - 1)))) {
    case QPX_Framework_Modem_FinalLine::None:
      return;
    case QPX_Framework_Modem_FinalLine::Success:
      Complete(state, Value{{QPX_Framework_Modem_Key_Response, lines}});
      return;
    case QPX_Framework_Modem_FinalLine::Error:
      Complete(state, Value{{QPX_Framework_Modem_Key_Error, Value(true)},
                            {QPX_Framework_Modem_Key_Response, lines}});
      return;
    case QPX_Framework_Modem_FinalLine::Retry: {
      auto limit = RetryLimits.find(state.Package.get());
      if (limit == RetryLimits.end() || clock_->Now() <= limit->second.limit) {
        Retry(state);
      } else {
        QPX_Log(QPX_LOG_ATCOMMANDS, "Retry aborted");
        Complete(state, Value{{QPX_Framework_Modem_Key_Error, Value(true)},
                              {QPX_Framework_Modem_Key_Response, lines}});
      }
      return;
    }
  }
}

void QPX_Framework_Thread_Modem::ClearPort(PortState& state) {
  if (state.Package) RetryLimits.erase(state.Package.get());
  state.Package = nullptr;
  state.CommandResponse.reset();
  if (state.Timeout) state.Timeout->Invalidate();
  state.Timeout = nullptr;
  state.TimeoutDeadline.reset();
}

void QPX_Framework_Thread_Modem::Complete(PortState& state, Value reply) {
  QPX_Framework_Package package = state.Package;
  ClearPort(state);
  QPX_Framework_Thread_SendReply(reply, package);
}

void QPX_Framework_Thread_Modem::Retry(PortState& state) {
  QPX_Framework_Package package = state.Package;
  std::shared_ptr<QPX_Framework_Thread> sender = package->Sender();
  if (!sender) {
    Complete(state, Value{{QPX_Framework_Modem_Key_Error, Value(true)},
                          {QPX_Framework_Modem_Key_Response, *state.CommandResponse}});
    return;
  }
  // The SIM is busy: give it a moment (this thread serves nothing meanwhile).
  sleeper_(kRetryPauseSeconds);
  const double now = clock_->Now();
  RetryLimit limit{now + kRetryWindowSeconds, package};
  RetryLimits.try_emplace(package.get(), std::move(limit));
  // Cleared without a reply, keeping the retry deadline.
  state.Package = nullptr;
  state.CommandResponse.reset();
  if (state.Timeout) state.Timeout->Invalidate();
  state.Timeout = nullptr;
  state.TimeoutDeadline.reset();
  PackageQueue[sender->QPX_Framework_Thread_ID()].push_front(package);
}

// ---- Time-outs and vanished ports ----

void QPX_Framework_Thread_Modem::ArmTimeout(PortState& state, double seconds) {
  state.TimeoutDeadline = clock_->Now() + seconds;
  ScheduleTimeoutWake(state, seconds);
}

void QPX_Framework_Thread_Modem::ScheduleTimeoutWake(PortState& state, double seconds) {
  if (state.Timeout) state.Timeout->Invalidate();
  std::weak_ptr<QPX_Framework_Thread> weak = weak_from_this();
  const int number = state.number;
  const QPX_Framework_CommandPackage* package = state.Package.get();
  // The run-loop timer only wakes the thread; the deadline on the thread's clock decides.
  state.Timeout = platform::RunLoop::Current().AddTimer(seconds, [weak, number, package](platform::Timer&) {
    auto self = std::static_pointer_cast<QPX_Framework_Thread_Modem>(weak.lock());
    if (!self) return;
    PortState& port = number == 2 ? self->ModemPort : self->ApplicationPort;
    if (port.Package.get() != package) return;
    port.Timeout = nullptr;
    self->CheckTimeouts();
    // An injected clock may not have reached the deadline yet: look again later.
    if (port.Package.get() == package && port.TimeoutDeadline) {
      const double left = *port.TimeoutDeadline - self->clock_->Now();
      self->ScheduleTimeoutWake(port, left > 0.05 ? left : 0.05);
    }
  });
}

void QPX_Framework_Thread_Modem::CheckTimeouts() {
  const double now = clock_->Now();
  for (PortState* state : {&ModemPort, &ApplicationPort})
    if (state->Package && state->TimeoutDeadline && now >= *state->TimeoutDeadline) TimeoutFire(*state);
}

void QPX_Framework_Thread_Modem::CheckTimeoutsNow() {
  std::weak_ptr<QPX_Framework_Thread> weak = weak_from_this();
  PerformSelector(
      [weak] {
        if (auto self = std::static_pointer_cast<QPX_Framework_Thread_Modem>(weak.lock()))
          self->QPX_Framework_Thread_Process_AT();
      },
      true);
}

void QPX_Framework_Thread_Modem::TimeoutFire(PortState& state) {
  if (!state.Package) return;
  Value reply{{QPX_Framework_Modem_Key_Error, Value(true)}};
  if (state.CommandResponse) {
    Value lines = *state.CommandResponse;
    lines.append(QPX_Framework_Modem_MakeLine("TIMEOUT"));
    reply.set(QPX_Framework_Modem_Key_Response, lines);
  }
  QPX_Log(QPX_LOG_ATCOMMANDS, "%sTimeout %s", PortPrefix(state),
          QPX_Framework_Log_ModemData(QPX_Framework_Modem_MaskSecrets(CommandBytes(state.Package->Command())))
              .c_str());
  Complete(state, std::move(reply));
}

void QPX_Framework_Thread_Modem::CheckVanishedPorts() {
  for (PortState* state : {&ApplicationPort, &ModemPort}) {
    if (!state->Package) continue;
    if (state->Port && state->Port->QPX_Framework_SerialPort_IsOpen() &&
        !state->Port->QPX_Framework_SerialPort_HasFailed())
      continue;
    // The device went away mid-command: the client gets an answer now, not at unplug.
    Complete(*state, UnavailableReply(state->CommandResponse));
  }
}

// ---- Inspection ----

QPX_Framework_Thread_Modem::Snapshot QPX_Framework_Thread_Modem::Inspect() {
  Snapshot snapshot;
  std::weak_ptr<QPX_Framework_Thread> weak = weak_from_this();
  PerformSelector(
      [weak, &snapshot] {
        auto self = std::static_pointer_cast<QPX_Framework_Thread_Modem>(weak.lock());
        if (!self) return;
        snapshot.queuedSenders = self->PackageQueue.size();
        for (const auto& [sender, packages] : self->PackageQueue) snapshot.queuedPackages += packages.size();
        snapshot.owned = !self->OwnerID.empty();
        snapshot.ownerCount = self->OwnerCount;
        snapshot.inFlight[0] = self->ApplicationPort.Package != nullptr;
        snapshot.inFlight[1] = self->ModemPort.Package != nullptr;
        snapshot.retryEntries = self->RetryLimits.size();
        snapshot.handlers[0] = self->ApplicationPort.Unsolicited.size();
        snapshot.handlers[1] = self->ModemPort.Unsolicited.size();
        snapshot.unsolicitedQueued[0] = self->ApplicationPort.UnsolicitedQueue.size();
        snapshot.unsolicitedQueued[1] = self->ModemPort.UnsolicitedQueue.size();
        for (int i = 0; i < 2; ++i) {
          const PortState& port = i == 0 ? self->ApplicationPort : self->ModemPort;
          if (port.CommandResponse) snapshot.collected[i] = static_cast<int>(port.CommandResponse->size());
        }
      },
      true);
  return snapshot;
}

// ---- Registration ----

void QPX_Framework_Devices_AT_RegisterClasses() {
  QPX_Framework_ClassRegistry::Register(
      QPX_Framework_ModemThreadClassEntry<QPX_Framework_Thread_Modem>("QPX_Framework_Thread_Modem"));
  QPX_Framework_Combined_RegisterClasses();
  // The character-set helper of the utilities reaches the modem through this engine.
  QPX_Framework_Modem_SetEncoding_Runner = [](const char* command) {
    return QPX_Framework_Modem_RunCommand_Simple(command);
  };
}
