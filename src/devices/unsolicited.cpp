#include "devices/unsolicited.h"

#include <array>
#include <optional>

#include "devices/at_command.h"
#include "devices/modem_at_reply.h"
#include "framework/core/log.h"
#include "framework/core/thread.h"
#include "platform/thread_context.h"

const char* const QPX_Framework_Modem_Command_SetUnsolicited = "Set Unsolicited";
const char* const QPX_Framework_Modem_Command_RemoveUnsolicited = "Remove Unsolicited";
const char* const QPX_Framework_Unsolicited_Key_Thread = "Thread";
const char* const QPX_Framework_Unsolicited_Key_Invocation = "Invocation";
const char* const QPX_Framework_Unsolicited_Key_Callback = "Callback";
const char* const QPX_Framework_Unsolicited_Key_Prefix = "Prefix";
const char* const QPX_Framework_Unsolicited_Key_Lines = "Lines";
const char* const QPX_Framework_Unsolicited_Key_Handler = "Handler";
const char* const QPX_Framework_Unsolicited_Key_Line = "Line";
const char* const QPX_Framework_Unsolicited_Key_More = "More";

namespace {

// The registering thread as a record value. Held weakly: a module keeps its handler record,
// and a strong reference back to its own thread would keep both alive for ever.
class RegistrantThread final : public platform::ValueObject {
 public:
  explicit RegistrantThread(const std::shared_ptr<QPX_Framework_Thread>& thread)
      : thread_(thread), name_(thread ? thread->QPX_Framework_Thread_Name() : std::string()) {}
  std::shared_ptr<QPX_Framework_Thread> thread() const { return thread_.lock(); }
  std::string Description() const override { return "<thread " + name_ + ">"; }

 private:
  std::weak_ptr<QPX_Framework_Thread> thread_;
  std::string name_;
};

std::uint32_t FurtherLines(const Value& record, const Value& line) {
  if (auto callback =
          record.get(QPX_Framework_Unsolicited_Key_Callback).objectAs<QPX_Framework_Invocation>()) {
    const std::array<Value, 2> arguments{line, record};
    const Value count = callback->Invoke(arguments);
    if (count.isNull()) return 0;  // the handler's object is gone
    const std::int64_t lines = count.toInt64(-1);
    if (!count.isNumber() || lines < 0 || lines > INT32_MAX) {
      QPX_Log(QPX_LOG_ERROR, "Unsolicited line count %s is no count", count.Description().c_str());
      return 0;
    }
    return static_cast<std::uint32_t>(lines);
  }
  const std::int64_t lines = record.get(QPX_Framework_Unsolicited_Key_Lines).toInt64(0);
  return lines > 0 && lines <= INT32_MAX ? static_cast<std::uint32_t>(lines) : 0;
}

}  // namespace

// ---- Modem thread side ----

bool QPX_Framework_Unsolicited_LineIsForHandler(const Value& line, const Value& record) {
  const std::string_view prefix =
      QPX_Framework_Modem_LineText(record.get(QPX_Framework_Unsolicited_Key_Prefix));
  if (prefix.empty()) return false;
  return QPX_Framework_Modem_LineText(line).substr(0, prefix.size()) == prefix;
}

bool QPX_Framework_Unsolicited_CheckPrefix(QPX_Framework_Thread_Modem::PortState& port, const Value& line) {
  if (port.UnsolicitedLines > 0) {
    // A continuation of the last message.
    if (!port.UnsolicitedQueue.empty()) {
      Value& last = port.UnsolicitedQueue.back();
      Value more = last.get(QPX_Framework_Unsolicited_Key_More);
      more.append(line);
      last.set(QPX_Framework_Unsolicited_Key_More, more);
    }
    --port.UnsolicitedLines;
    return true;
  }
  bool matched = false;
  bool queued = false;
  std::optional<std::uint32_t> count;
  for (const Value& record : port.Unsolicited) {
    if (!QPX_Framework_Unsolicited_LineIsForHandler(line, record)) continue;
    matched = true;
    // One entry per message, however many handlers take it: delivery gives it to each of
    // them once.
    if (!queued && record.contains(QPX_Framework_Unsolicited_Key_Invocation)) {
      port.UnsolicitedQueue.push_back(Value{{QPX_Framework_Unsolicited_Key_Line, line}});
      queued = true;
    }
    const std::uint32_t lines = FurtherLines(record, line);
    if (!count) {
      count = lines;
    } else if (*count != lines) {
      QPX_Log(QPX_LOG_ERROR, "Unsolicited handlers disagree on the length of %s (%u and %u lines)",
              QPX_Framework_Log_ModemData(QPX_Framework_Modem_LineText(line)).c_str(), *count, lines);
    }
  }
  if (matched) port.UnsolicitedLines = count.value_or(0);
  return matched;
}

void QPX_Framework_Unsolicited_Deliver(QPX_Framework_Thread_Modem::PortState& port) {
  if (port.UnsolicitedLines > 0 || port.UnsolicitedQueue.empty()) return;
  std::vector<Value> entries;
  entries.swap(port.UnsolicitedQueue);
  for (const Value& entry : entries) {
    const Value line = entry.get(QPX_Framework_Unsolicited_Key_Line);
    const Value more = entry.get(QPX_Framework_Unsolicited_Key_More);
    for (const Value& record : port.Unsolicited) {
      if (!QPX_Framework_Unsolicited_LineIsForHandler(line, record)) continue;
      auto invocation =
          record.get(QPX_Framework_Unsolicited_Key_Invocation).objectAs<QPX_Framework_Invocation>();
      auto registrant = record.get(QPX_Framework_Unsolicited_Key_Thread).objectAs<RegistrantThread>();
      std::shared_ptr<QPX_Framework_Thread> thread = registrant ? registrant->thread() : nullptr;
      if (!invocation || !thread) continue;
      // Runs on the registrant's thread, after this thread has moved on.
      thread->QPX_Framework_Thread_Invoke(
          QPX_Framework_Invocation::Make([invocation, line, record, more](auto) {
            const std::array<Value, 3> arguments{line, record, more};
            return invocation->Invoke(arguments);
          }));
    }
  }
}

Value QPX_Framework_Unsolicited_Add(QPX_Framework_Thread_Modem::PortState& port,
                                    const QPX_Framework_Package& package) {
  const Value& command = package->Command();
  Value record = Value::EmptyDictionary();
  if (std::shared_ptr<QPX_Framework_Thread> sender = package->Sender())
    record.set(QPX_Framework_Unsolicited_Key_Thread,
               Value::Object(std::make_shared<RegistrantThread>(sender)));
  for (const char* key : {QPX_Framework_Unsolicited_Key_Invocation, QPX_Framework_Unsolicited_Key_Callback,
                          QPX_Framework_Unsolicited_Key_Prefix, QPX_Framework_Unsolicited_Key_Lines}) {
    const Value value = command.get(key);
    if (!value.isNull()) record.set(key, value);
  }
  port.Unsolicited.push_back(record);
  return record;
}

void QPX_Framework_Unsolicited_Remove(QPX_Framework_Thread_Modem::PortState& first,
                                      QPX_Framework_Thread_Modem::PortState& second, const Value& record) {
  for (QPX_Framework_Thread_Modem::PortState* port : {&first, &second}) {
    auto& handlers = port->Unsolicited;
    for (auto it = handlers.begin(); it != handlers.end();) {
      if (*it == record)
        it = handlers.erase(it);
      else
        ++it;
    }
  }
}

// ---- Client side ----

Value QPX_Framework_Modem_RegisterUnsolicitedHandlerEx(std::string_view prefix,
                                                       const QPX_Framework_InvocationPtr& invocation,
                                                       const QPX_Framework_InvocationPtr& callback,
                                                       unsigned lines) {
  QPX_Assert_Detail(!(callback && lines != 0),
                    Value("an unsolicited handler with a callback and a line count"));
  std::shared_ptr<QPX_Framework_Thread_Modem> thread = QPX_Framework_GetModem_Thread();
  if (!thread) return Value();
  Value command = Value::EmptyDictionary();
  command.set(QPX_Framework_Command_Key, QPX_Framework_Modem_Command_SetUnsolicited);
  const Value ports = platform::CurrentThreadContext().dictionary.get(QPX_Framework_Modem_Stack_Port);
  if (!ports.empty()) command.set(QPX_Framework_Modem_Key_Port, ports.at(ports.size() - 1));
  if (invocation) command.set(QPX_Framework_Unsolicited_Key_Invocation, Value::Object(invocation));
  if (callback) command.set(QPX_Framework_Unsolicited_Key_Callback, Value::Object(callback));
  command.set(QPX_Framework_Unsolicited_Key_Prefix, QPX_Framework_Modem_MakeLine(prefix));
  if (lines != 0) command.set(QPX_Framework_Unsolicited_Key_Lines, Value(lines));
  return thread->QPX_Framework_Thread_RunCommand(command);
}

void QPX_Framework_Modem_RemoveUnsolicitedHandler(const Value& record) {
  if (record.isNull()) return;
  std::shared_ptr<QPX_Framework_Thread_Modem> thread = QPX_Framework_GetModem_Thread();
  if (!thread) return;
  thread->QPX_Framework_Thread_RunCommand(
      Value{{QPX_Framework_Command_Key, QPX_Framework_Modem_Command_RemoveUnsolicited},
            {QPX_Framework_Unsolicited_Key_Handler, record}});
}
