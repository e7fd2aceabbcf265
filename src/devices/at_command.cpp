#include "devices/at_command.h"

#include "devices/device_record.h"
#include "devices/device_thread.h"
#include "devices/modem_at.h"
#include "devices/modem_at_reply.h"
#include "framework/core/log.h"
#include "framework/core/thread.h"
#include "platform/thread_context.h"

const char* const QPX_Framework_Modem_Command_AT = "AT Command";
const char* const QPX_Framework_Modem_Command_Lock = "Lock";
const char* const QPX_Framework_Modem_Command_Unlock = "Unlock";
const char* const QPX_Framework_Modem_Key_ATCommand = "AT Command";
const char* const QPX_Framework_Modem_Key_Timeout = "Timeout";
const char* const QPX_Framework_Modem_Key_CompletionCheck = "Completion Check";
const char* const QPX_Framework_Modem_Key_NeedsEcho = "Needs Echo";
const char* const QPX_Framework_Modem_Key_Prompt = "Prompt";
const char* const QPX_Framework_Modem_Key_PromptResponse = "Response";
const char* const QPX_Framework_Modem_Key_Port = "Port";
const char* const QPX_Framework_Modem_Key_Response = "Response";
const char* const QPX_Framework_Modem_Key_Error = "Error";
const char* const QPX_Framework_Modem_Stack_Port = "QPX Modem Port";
const char* const QPX_Framework_Modem_Stack_Timeout = "QPX Timeout";
const char* const QPX_Framework_Modem_Stack_CompletionChecker = "QPX Completion Checker";
const char* const QPX_Framework_Modem_Stack_NeedsEcho = "QPX Modem Needs Echo";
const char* const QPX_Framework_Modem_Stack_Prompt = "Prompt";
const char* const QPX_Framework_Modem_LastCME_Key = "QPX CME Error";

// ---- Completion checker ----

QPX_Framework_Modem_CompletionChecker::QPX_Framework_Modem_CompletionChecker(Function function)
    : hasTarget_(false), function_(std::move(function)) {}

QPX_Framework_Modem_CompletionChecker::QPX_Framework_Modem_CompletionChecker(std::weak_ptr<const void> target,
                                                                             Function function)
    : target_(std::move(target)), hasTarget_(true), function_(std::move(function)) {}

bool QPX_Framework_Modem_CompletionChecker::Check(const Value& lines, Value& reply) const {
  if (!function_) return false;
  if (hasTarget_) {
    std::shared_ptr<const void> target = target_.lock();
    if (!target) return false;
    return function_(lines, reply);
  }
  return function_(lines, reply);
}

// ---- Thread settings ----

namespace {

Value& Dictionary() { return platform::CurrentThreadContext().dictionary; }

void Push(const char* key, Value value) {
  Value stack = Dictionary().get(key);
  stack.append(std::move(value));
  Dictionary().set(key, stack);
}

void Pop(const char* key) {
  Value stack = Dictionary().get(key);
  QPX_Assert_Detail(!stack.empty(), Value(std::string("Reset without Set of ") + key));
  stack.removeAt(stack.size() - 1);
  if (stack.empty())
    Dictionary().remove(key);
  else
    Dictionary().set(key, stack);
}

Value Top(const char* key) {
  const Value stack = Dictionary().get(key);
  return stack.empty() ? Value() : stack.at(stack.size() - 1);
}

// The AT modem thread of the current modem; with `strict`, a "Modem Thread" of another
// class is a broken invariant.
std::shared_ptr<QPX_Framework_Thread_Modem> ModemThread(bool strict) {
  QPX_Framework_StoragePtr node = QPX_Framework_GetModem();
  if (!node) return nullptr;
  auto record = QPX_Framework_DeviceRecord::From(node->objectForKey(QPX_Framework_ModemNode_ModemDevice));
  if (!record) return nullptr;
  std::shared_ptr<platform::ValueObject> object = record->Get(QPX_Device_Key_ModemThread).object();
  if (!object) return nullptr;
  auto thread = std::dynamic_pointer_cast<QPX_Framework_Thread_Modem>(object);
  if (strict)
    QPX_Assert_Detail(thread != nullptr, Value("the modem thread is no QPX_Framework_Thread_Modem"));
  return thread;
}

}  // namespace

void QPX_Framework_Modem_SetPort(int port) {
  QPX_Assert_Detail(port == 1 || port == 2, Value("modem port " + std::to_string(port)));
  Push(QPX_Framework_Modem_Stack_Port, Value(port));
}
void QPX_Framework_Modem_ResetPort() { Pop(QPX_Framework_Modem_Stack_Port); }

void QPX_Framework_Modem_SetTimeout(double seconds) {
  Push(QPX_Framework_Modem_Stack_Timeout, Value(seconds));
}
void QPX_Framework_Modem_ResetTimeout() { Pop(QPX_Framework_Modem_Stack_Timeout); }

void QPX_Framework_Modem_SetCompletionChecker(
    std::shared_ptr<QPX_Framework_Modem_CompletionChecker> checker) {
  QPX_Assert(checker != nullptr);
  Push(QPX_Framework_Modem_Stack_CompletionChecker, Value::Object(std::move(checker)));
}
void QPX_Framework_Modem_ResetCompletionChecker() { Pop(QPX_Framework_Modem_Stack_CompletionChecker); }

void QPX_Framework_Modem_SetModemEcho(bool needsEcho) {
  Push(QPX_Framework_Modem_Stack_NeedsEcho, Value(needsEcho));
}
void QPX_Framework_Modem_ResetModemEcho() { Pop(QPX_Framework_Modem_Stack_NeedsEcho); }

void QPX_Framework_Modem_SetModemPrompt(std::string_view prompt, std::string_view response) {
  Push(QPX_Framework_Modem_Stack_Prompt,
       Value{{QPX_Framework_Modem_Key_Prompt, Value::Data(prompt)},
             {QPX_Framework_Modem_Key_PromptResponse, Value::Data(response)}});
}
void QPX_Framework_Modem_ResetModemPrompt() { Pop(QPX_Framework_Modem_Stack_Prompt); }

// ---- Current modem ----

void QPX_Framework_SetModem(const QPX_Framework_StoragePtr& node) {
  if (node)
    Dictionary().set(QPX_Framework_CurrentModem_Key, Value::Object(node));
  else
    Dictionary().remove(QPX_Framework_CurrentModem_Key);
}

QPX_Framework_StoragePtr QPX_Framework_GetModem() {
  return Dictionary().get(QPX_Framework_CurrentModem_Key).objectAs<QPX_Framework_Storage>();
}

std::shared_ptr<QPX_Framework_Thread_Modem> QPX_Framework_GetModem_Thread() { return ModemThread(false); }

// ---- Packages ----

Value QPX_Framework_Modem_MakeATCommandDict(std::string_view command) {
  return Value{{QPX_Framework_Command_Key, QPX_Framework_Modem_Command_AT},
               {QPX_Framework_Modem_Key_ATCommand, Value::Data(command)}};
}

Value QPX_Framework_Modem_CreateATCommand(std::string_view command) {
  Value package = QPX_Framework_Modem_MakeATCommandDict(command);
  const std::pair<const char*, const char*> settings[] = {
      {QPX_Framework_Modem_Stack_Timeout, QPX_Framework_Modem_Key_Timeout},
      {QPX_Framework_Modem_Stack_CompletionChecker, QPX_Framework_Modem_Key_CompletionCheck},
      {QPX_Framework_Modem_Stack_NeedsEcho, QPX_Framework_Modem_Key_NeedsEcho},
      {QPX_Framework_Modem_Stack_Prompt, QPX_Framework_Modem_Key_Prompt},
      {QPX_Framework_Modem_Stack_Port, QPX_Framework_Modem_Key_Port},
  };
  for (const auto& [stack, key] : settings) {
    Value top = Top(stack);
    if (!top.isNull()) package.set(key, std::move(top));
  }
  return package;
}

Value QPX_Framework_Modem_MakeLockCommandDict(bool lock) {
  return QPX_Framework_MakeCommand(lock ? QPX_Framework_Modem_Command_Lock
                                        : QPX_Framework_Modem_Command_Unlock);
}

// ---- Running commands ----

Value QPX_Framework_Modem_RunCommand(std::string_view command) {
  std::shared_ptr<QPX_Framework_Thread_Modem> thread = ModemThread(true);
  if (!thread) return Value();
  if (command.empty()) return Value();
  std::string bytes(command);
  if (bytes.back() != '\r' && bytes != "+++") bytes.push_back('\r');
  Value reply = thread->QPX_Framework_Thread_RunCommand(QPX_Framework_Modem_CreateATCommand(bytes));
  if (!reply.isNull() && !reply.isDictionary()) {
    QPX_Log(QPX_LOG_ERROR, "Malformed modem reply %s", reply.Description().c_str());
    reply = Value();
  }
  const Value lines = reply.get(QPX_Framework_Modem_Key_Response);
  std::optional<int> code;
  if (!lines.empty())
    code = QPX_Framework_Modem_ParseCMECode(QPX_Framework_Modem_LineText(lines.at(lines.size() - 1)));
  if (code)
    Dictionary().set(QPX_Framework_Modem_LastCME_Key, Value(*code));
  else
    Dictionary().remove(QPX_Framework_Modem_LastCME_Key);
  return reply;
}

bool QPX_Framework_Modem_RunCommand_Simple(std::string_view command) {
  const Value reply = QPX_Framework_Modem_RunCommand(command);
  return !reply.isNull() && !reply.get(QPX_Framework_Modem_Key_Error).toBool();
}

Value QPX_Framework_Modem_RunCommand_Response(std::string_view command, unsigned lines) {
  const Value reply = QPX_Framework_Modem_RunCommand(command);
  if (reply.isNull() || reply.get(QPX_Framework_Modem_Key_Error).toBool()) return Value();
  const Value response = reply.get(QPX_Framework_Modem_Key_Response);
  if (response.empty()) {
    // A modem (or a completion checker) that ends a command without any line gives nothing
    // to read: an error for the caller, not a broken program.
    QPX_Log(QPX_LOG_ERROR, "Reply to %s has no lines",
            QPX_Framework_Log_ModemData(QPX_Framework_Modem_MaskSecrets(command)).c_str());
    return Value();
  }
  if (lines != 0 && response.size() != lines + 1) return Value();
  Value result = Value::EmptyArray();
  for (std::size_t i = 0; i + 1 < response.size(); ++i) result.append(response.at(i));
  return result;
}

int QPX_Framework_Modem_LastCME() {
  const Value code = Dictionary().get(QPX_Framework_Modem_LastCME_Key);
  return code.isNumber() ? code.toInt() : -1;
}

void _QPX_Framework_Modem_Lock(const char* /*file*/, int /*line*/) {
  if (auto thread = ModemThread(true))
    thread->QPX_Framework_Thread_RunCommand(QPX_Framework_Modem_MakeLockCommandDict(true));
}

void _QPX_Framework_Modem_Unlock(const char* /*file*/, int /*line*/) {
  if (auto thread = ModemThread(true))
    thread->QPX_Framework_Thread_RunCommand(QPX_Framework_Modem_MakeLockCommandDict(false));
}
