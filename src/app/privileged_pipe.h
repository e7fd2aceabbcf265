#pragma once
// The privileged pipe: one connected stream socket pair between the application and its
// root instance. Every message is a 4-byte length in host byte order (both ends run on the
// same machine) followed by that many bytes of a binary property list; a length of 0 is the
// nil message and carries no payload. Messages strictly alternate as the protocol says:
// the root instance first sends "Running", then answers each request with any number of
// {"Logging": record} messages followed by exactly one reply dictionary.
//
// Two layers: the transfer functions below report every failure as a status, so tests and
// fuzzing can drive them with anything; the process-level functions
// (_QPX_Framework_Privileged_Send / _Receive) end the process on a broken pipe, as both
// ends must when the other one is gone.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

// "_QPX_FRAMEWORK_PRIVILEGED_HANDLE": the decimal number of the inherited end of the pair.
extern const char* const _QPX_Framework_Privileged_HandleVariable;

// The largest payload a receiver accepts: 104,857,599 bytes (100 MiB less one byte).
inline constexpr std::uint32_t QPX_Framework_Privileged_MaxMessageLength = 0x63FFFFF;

// Keys of requests, replies and logging records.
extern const char* const QPX_Framework_Privileged_CommandKey;   // "Command"
extern const char* const QPX_Framework_Privileged_FailedKey;    // "Failed"
extern const char* const QPX_Framework_Logging_Key;             // "Logging"
extern const char* const QPX_Framework_Logging_Message_Key;     // "Message"
extern const char* const QPX_Framework_Logging_SourceFile_Key;  // "Source file"
extern const char* const QPX_Framework_Logging_SourceLine_Key;  // "Source line"
extern const char* const QPX_Framework_Logging_Function_Key;    // "Function name"
extern const char* const QPX_Framework_Logging_EntryClass_Key;  // "Entry class"
extern const char* const QPX_Framework_Logging_Time_Key;        // "Time"

namespace privileged_pipe {

enum class Status {
  Ok,
  EndOfPipe,      // the other end closed (reading: before or inside a message)
  IOError,        // a read or write failed (errno in the result)
  TooLarge,       // a length above the limit: refused by the sender, rejected by the receiver
  Unparsable,     // the payload is not a binary property list
  Unserializable  // the value holds something a property list cannot carry (live objects)
};
const char* StatusText(Status status);

struct ReadResult {
  Status status = Status::Ok;
  int error = 0;  // errno for IOError
  Value value;    // the message; null for the nil message
};

// Moves all bytes. Interrupted calls are repeated; a descriptor that would block is waited
// for; a write never raises SIGPIPE (the closed end is reported as EndOfPipe).
Status WriteAll(int fd, const void* bytes, std::size_t length, int* error = nullptr);
Status ReadAll(int fd, void* bytes, std::size_t length, int* error = nullptr);

// The bytes of one message as the wire carries them (length field and payload), or the
// status that keeps the value from being sent: Unserializable or TooLarge.
Status Encode(const Value& message, std::string& wire);
// Parses one payload (without the length field). Unparsable for anything but a binary
// property list that reads back as a value.
Status DecodePayload(std::string_view payload, Value& message);

// Writes one message (a null value writes the nil message). Nothing is written when the
// value cannot be encoded.
Status WriteMessage(int fd, const Value& message, int* error = nullptr);
// Reads one message.
ReadResult ReadMessage(int fd);

// The value as a log line shows it: what passwords, PINs, PUKs, tokens and other secrets
// hold is replaced by "********" wherever they sit, and long data by its size, so neither
// secrets nor megabytes of payload reach a log.
std::string Describe(const Value& message);
// True for a dictionary key whose value is a secret ("Password", "PIN", "New PUK", "Token" ...).
bool IsSecretKey(std::string_view key);

}  // namespace privileged_pipe

// The descriptor named by _QPX_FRAMEWORK_PRIVILEGED_HANDLE: the whole value a decimal
// number; -1 when the variable is missing, empty or anything else.
int _QPX_Framework_Privileged_GetFd();
// The same for a given value (null: missing).
int QPX_Framework_Privileged_ParseHandle(const char* text);

// Sends one message. False (logged, nothing written) when the message is over the size
// limit: the caller answers with an error instead. A value that cannot be a property list
// is a programming error (assertion); a broken pipe ends the process with status 1.
bool _QPX_Framework_Privileged_Send(int fd, const Value& message);
// Receives one message; null for the nil message. The end of the pipe or a read error ends
// the process with status 1; a bad length or payload is an assertion.
Value _QPX_Framework_Privileged_Receive(int fd);

// How the process ends when its pipe is gone: writes the reason to standard error and exits
// with status 1 at once, without clean-up, since other threads may still be running.
[[noreturn]] void QPX_Framework_Privileged_PipeFailed(const char* reason);
