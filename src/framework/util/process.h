#pragma once
// Running other programs and reading what they print.
//
// A program is always named by an argument vector and started directly with posix_spawn,
// never through a shell: whatever text reaches an argument (a file name with blanks, quotes,
// ";", "$()" or line breaks) arrives in the program as that one argument and is never read
// as a command. Command lines that are shown or logged quote every argument as one shell
// word, so what a log shows can be pasted into a shell and means the same.
//
// The child gets standard input from /dev/null, its standard output captured, the parent's
// standard error, default signal handling and an empty signal mask, and none of the parent's
// other file descriptors.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct QPX_Framework_ProcessResult {
  bool started = false;     // false: the program could not be started (startError tells why)
  int startError = 0;       // errno of the failed start
  bool readFailed = false;  // reading the output stopped before its end (readError tells why)
  int readError = 0;
  int rawStatus = 0;   // the wait status
  std::string output;  // everything read from the standard output

  bool exited() const;            // ended normally (not by a signal)
  int exitCode() const;           // the exit status when it exited, else -1
  int terminatingSignal() const;  // the signal that ended it, else 0
  // Started, read to the end and exited with status 0.
  bool succeeded() const { return started && !readFailed && exited() && exitCode() == 0; }
};

// Runs the program argv[0] (looked up in PATH when it holds no "/") with the arguments and
// waits for it to end. An empty vector is a programming error.
QPX_Framework_ProcessResult QPX_Framework_Process_Run(const std::vector<std::string>& argv);

// Runs the program and answers its standard output (UTF-8), or none when it could not be
// started, its output could not be read to the end or was not UTF-8, or it ended by a signal
// or with a status other than 0 (output it printed before is then dropped). Every failure
// is logged at level 5 with the quoted command line.
std::optional<std::string> QPX_Framework_RunCommand_Sync(const std::vector<std::string>& argv);

// The argument as one shell word for display: in single quotes, each embedded "'" written
// as '\'' (the same form as QPX_Framework_SystemFilename), whatever it holds.
std::string QPX_Framework_QuoteArgument(std::string_view argument);
// The arguments quoted and joined by blanks.
std::string QPX_Framework_CommandLineForDisplay(const std::vector<std::string>& argv);
