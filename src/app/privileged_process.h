#pragma once
// The privileged process: a second instance of the main executable that runs as root and
// does on the application's behalf what needs root rights. It is single-threaded: it reads
// one request from its pipe, offers it to its command classes in a fixed order, sends the
// first answer back and waits for the next request, until the pipe ends.
//
// It treats every request as coming from a hostile caller: a request that is not a
// dictionary, names no command, names an unknown command or one whose class is not part of
// this build is answered {"Failed": YES} and logged; nothing a request holds can end the
// process. Every entry it logs is sent to the application as a "Logging" record ahead of
// the reply (see QPX_Framework_Privileged_LogRelay).

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/privileged_pipe.h"
#include "platform/value.h"

// A command class. One object per class lives for the life of the privileged process.
class QPX_Framework_PrivilegedCommand {
 public:
  virtual ~QPX_Framework_PrivilegedCommand() = default;
  // Runs once at the start of the privileged process; false ends it with status 1.
  virtual bool QPX_Framework_Init() { return true; }
  // The reply to a request of this class (a dictionary), or null when the request is not for
  // this class. Requests are compared by their exact "Command".
  virtual Value QPX_Framework_Privileged_Process(const Value& request) = 0;
};
using QPX_Framework_PrivilegedCommandFactory =
    std::function<std::shared_ptr<QPX_Framework_PrivilegedCommand>()>;

// One row of the command table: the class and the commands it answers.
struct QPX_Framework_PrivilegedCommandRow {
  const char* className;
  std::vector<std::string> commands;
};
// The rows in dispatch order.
const std::vector<QPX_Framework_PrivilegedCommandRow>& QPX_Framework_Privileged_CommandTable();

// Command classes join by name; the library that has the class registers its factory. A
// row whose class is not registered answers its commands with {"Failed": YES}.
void QPX_Framework_Privileged_RegisterCommandClass(const std::string& className,
                                                   QPX_Framework_PrivilegedCommandFactory factory);
void QPX_Framework_Privileged_UnregisterCommandClass(const std::string& className);

// {"Failed": YES}
Value QPX_Framework_Privileged_FailedReply();

class QPX_Framework_PrivilegedProcess {
 public:
  // Fills the slots from the table: each registered class is made and initialised in table
  // order. False at the first class whose initialisation fails.
  bool InitClasses();
  // The reply to one request; never null, always a dictionary.
  Value Dispatch(const Value& request);
  // Answers requests from the descriptor until the pipe ends; answers the transfer status
  // that ended it (EndOfPipe, IOError, or TooLarge for a length the stream cannot recover from).
  privileged_pipe::Status Serve(int fd);

 private:
  struct Slot {
    const QPX_Framework_PrivilegedCommandRow* row;
    std::shared_ptr<QPX_Framework_PrivilegedCommand> command;  // null: not in this build
  };
  std::vector<Slot> slots_;
};

// Startup work of the privileged process beyond the command classes (the driver folder's
// rights), run once after the classes are initialised. The library that owns it installs it.
void QPX_Framework_Privileged_SetStartupRepair(std::function<void()> repair);

// Initialises the command classes, runs the startup repair and serves requests on
// _QPX_Framework_Fd until the pipe ends, which ends the process with status 1. Returns
// false only when a command class fails to initialise.
bool QPX_Framework_Privileged_Main();

// The log receiver of the privileged process: sends each entry on _QPX_Framework_Fd as
// {"Logging": {"Message", "Source file", "Source line", "Function name", "Entry class",
// "Time"}}. The thread name is not sent. An entry made while a message is being written
// (or with no pipe) goes to standard error instead, so messages never interleave.
void QPX_Framework_Privileged_LogRelay(const char* sourceFile, unsigned line, const char* function,
                                       const char* threadName, double timeStamp, int level,
                                       const char* format, va_list args);
// The logging record for an entry (exposed for tests).
Value QPX_Framework_Privileged_LoggingRecord(const char* sourceFile, unsigned line, const char* function,
                                             double timeStamp, int level, const std::string& message);
