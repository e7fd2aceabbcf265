#pragma once
// The AT command API: how modules talk to an AT modem. The functions run on the caller's
// thread, find the AT modem thread of the caller's current modem, build an AT command
// package and wait for the reply (the modem thread is modem_at.h).
//
// Per-thread settings (port, time-out, echo, prompt, completion checker) are pushed with a
// Set function and popped with the matching Reset function around a stretch of commands,
// never passed per call:
//
//   QPX_Framework_Modem_SetTimeout(5.0);
//   Value reply = QPX_Framework_Modem_RunCommand("AT+COPS?");
//   QPX_Framework_Modem_ResetTimeout();
//
// Replies are dictionaries: "Response" (the collected lines, final line included, each the
// line text plus one NUL byte, as data) and "Error" = YES on failure; null when there was no
// reply (no current modem, the modem went away, the queue was flushed).
//
// Unsolicited result codes: a module registers a line prefix and an invocation; the modem
// thread recognises such lines (and a number of following lines) and runs the invocation
// on the module's own thread, between commands (unsolicited.h).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "framework/core/command.h"
#include "framework/core/storage.h"
#include "platform/value.h"

class QPX_Framework_Thread_Modem;

// Command names of AT packages and the keys of an AT command.
extern const char* const QPX_Framework_Modem_Command_AT;           // "AT Command"
extern const char* const QPX_Framework_Modem_Command_Lock;         // "Lock"
extern const char* const QPX_Framework_Modem_Command_Unlock;       // "Unlock"
extern const char* const QPX_Framework_Modem_Key_ATCommand;        // "AT Command"
extern const char* const QPX_Framework_Modem_Key_Timeout;          // "Timeout"
extern const char* const QPX_Framework_Modem_Key_CompletionCheck;  // "Completion Check"
extern const char* const QPX_Framework_Modem_Key_NeedsEcho;        // "Needs Echo"
extern const char* const
    QPX_Framework_Modem_Key_Prompt;  // "Prompt" (in a command and in its prompt dictionary)
extern const char* const QPX_Framework_Modem_Key_PromptResponse;  // "Response" (of the prompt dictionary)
extern const char* const QPX_Framework_Modem_Key_Port;            // "Port"
extern const char* const QPX_Framework_Modem_Key_Response;        // "Response"
extern const char* const QPX_Framework_Modem_Key_Error;           // "Error"
// Thread dictionary keys.
extern const char* const QPX_Framework_Modem_Stack_Port;               // "QPX Modem Port"
extern const char* const QPX_Framework_Modem_Stack_Timeout;            // "QPX Timeout"
extern const char* const QPX_Framework_Modem_Stack_CompletionChecker;  // "QPX Completion Checker"
extern const char* const QPX_Framework_Modem_Stack_NeedsEcho;          // "QPX Modem Needs Echo"
extern const char* const QPX_Framework_Modem_Stack_Prompt;             // "Prompt"
extern const char* const QPX_Framework_Modem_LastCME_Key;              // "QPX CME Error"

// A custom completion rule for a command: called on the modem thread with the lines
// collected so far; answers true when the command is complete, and must then have stored
// the reply dictionary in `reply`. Holds its target weakly: once the target is gone the
// checker answers "not complete" (the command then ends by its time-out, if any).
class QPX_Framework_Modem_CompletionChecker final : public platform::ValueObject {
 public:
  using Function = std::function<bool(const Value& lines, Value& reply)>;

  explicit QPX_Framework_Modem_CompletionChecker(Function function);
  QPX_Framework_Modem_CompletionChecker(std::weak_ptr<const void> target, Function function);
  template <class T>
  static std::shared_ptr<QPX_Framework_Modem_CompletionChecker> Make(const std::shared_ptr<T>& target,
                                                                     Function function) {
    return std::make_shared<QPX_Framework_Modem_CompletionChecker>(std::weak_ptr<const void>(target),
                                                                   std::move(function));
  }

  bool Check(const Value& lines, Value& reply) const;
  std::string Description() const override { return "<Completion Checker>"; }

 private:
  std::weak_ptr<const void> target_;
  bool hasTarget_;
  Function function_;
};

// ---- Current modem ----

// Makes the node the calling thread's current modem; null removes it.
void QPX_Framework_SetModem(const QPX_Framework_StoragePtr& node);
QPX_Framework_StoragePtr QPX_Framework_GetModem();
// The AT modem thread of the current modem, or null (no current modem, no AT thread, or a
// modem thread of another kind).
std::shared_ptr<QPX_Framework_Thread_Modem> QPX_Framework_GetModem_Thread();

// ---- Building packages ----

// {"Command": "AT Command", "AT Command": the bytes} plus the calling thread's settings:
// "Timeout", "Completion Check", "Needs Echo", "Prompt", then "Port".
Value QPX_Framework_Modem_CreateATCommand(std::string_view command);
// The same two keys without the thread settings.
Value QPX_Framework_Modem_MakeATCommandDict(std::string_view command);
// {"Command": "Lock"} or {"Command": "Unlock"}.
Value QPX_Framework_Modem_MakeLockCommandDict(bool lock);

// ---- Running commands (synchronous) ----

// The reply dictionary, or null. A CR is appended unless the command already ends with one
// or is exactly "+++". An empty command sends nothing. Records the CME code of the reply for
// QPX_Framework_Modem_LastCME.
Value QPX_Framework_Modem_RunCommand(std::string_view command);
// YES when a reply came and its "Error" is not YES.
bool QPX_Framework_Modem_RunCommand_Simple(std::string_view command);
// The response lines without the final line; null on error, on no reply, or when `lines`
// is not 0 and the reply does not hold exactly lines + 1 lines.
Value QPX_Framework_Modem_RunCommand_Response(std::string_view command, unsigned lines);
// The CME code of this thread's last command, or -1.
int QPX_Framework_Modem_LastCME();

// Holds the current modem for this thread's following commands until the matching Unlock;
// every other client of the modem waits meanwhile. Nothing without a current modem.
void _QPX_Framework_Modem_Lock(const char* file = nullptr, int line = 0);
void _QPX_Framework_Modem_Unlock(const char* file = nullptr, int line = 0);
#define QPX_Framework_Modem_Lock() _QPX_Framework_Modem_Lock(__FILE__, __LINE__)
#define QPX_Framework_Modem_Unlock() _QPX_Framework_Modem_Unlock(__FILE__, __LINE__)

// ---- Thread settings (each Set pushes, each Reset pops; a Reset without Set asserts) ----

// 1 the application port, 2 the modem port (other values assert).
void QPX_Framework_Modem_SetPort(int port);
void QPX_Framework_Modem_ResetPort();
void QPX_Framework_Modem_SetTimeout(double seconds);
void QPX_Framework_Modem_ResetTimeout();
void QPX_Framework_Modem_SetCompletionChecker(std::shared_ptr<QPX_Framework_Modem_CompletionChecker> checker);
void QPX_Framework_Modem_ResetCompletionChecker();
void QPX_Framework_Modem_SetModemEcho(bool needsEcho);
void QPX_Framework_Modem_ResetModemEcho();
// The modem prints `prompt` (for example "> "); the engine then sends `response`.
void QPX_Framework_Modem_SetModemPrompt(std::string_view prompt, std::string_view response);
void QPX_Framework_Modem_ResetModemPrompt();
