#pragma once
// The application's end of the privileged pipe: one worker thread named "Privileged" that
// owns the descriptor, and QPX_Framework_Privileged_Execute, which any other thread calls
// with a request and which returns the reply. Requests pass through the thread's command
// queue, so they never interleave on the pipe: the thread sends one, relays the "Logging"
// records that come back into this process's log, and hands the reply to the waiting caller.

#include <memory>
#include <string>

#include "framework/core/thread.h"
#include "platform/value.h"

class QPX_Framework_Thread_Privileged : public QPX_Framework_Thread {
 public:
  QPX_Framework_Thread_Privileged() = default;

  // Takes the descriptor from _QPX_FRAMEWORK_PRIVILEGED_HANDLE and the name "Privileged";
  // fails without a usable descriptor.
  bool QPX_Framework_Thread_Setup() override;
  void QPX_Framework_Thread_Run() override;
  // The framework's own commands go to the base; every other command is a request for the
  // privileged process.
  bool QPX_Framework_Thread_ExecuteCommandPackage(const QPX_Framework_Package& package) override;

  // The class initialiser (run modes 1 and 2): creates and launches the one instance.
  static bool QPX_Framework_Init(const std::string& className);
  // The instance made by the initialiser, or null.
  static std::shared_ptr<QPX_Framework_Thread_Privileged> Instance();
  // Quits and forgets the instance (tests, orderly shutdown).
  static void _QPX_Framework_Thread_Privileged_Reset();

  std::string Description() const override;

 private:
  int fd_ = -1;
};

// "Privileged"
extern const char* const QPX_Framework_Thread_PrivilegedName;
// The thread label of relayed entries in the application's log: "Privileged Process".
extern const char* const QPX_Framework_Privileged_ProcessLabel;

// Runs the request ({"Command": ..., parameters}) in the privileged process and returns its
// reply (a dictionary), or null when the client thread ended before a reply came. A request
// over the pipe's size limit is not sent; it is answered {"Failed": YES}. Without the client
// thread, or called on it, this is a programming error (assertion).
Value QPX_Framework_Privileged_Execute(const Value& request);

// Writes a "Logging" record received from the privileged process into this process's log.
// Malformed fields are replaced, never trusted.
void QPX_Framework_Privileged_LogRecord(const Value& record);
