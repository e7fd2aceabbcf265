#include "app/privileged_pipe.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/core/log.h"
#include "platform/plist.h"

const char* const _QPX_Framework_Privileged_HandleVariable = "_QPX_FRAMEWORK_PRIVILEGED_HANDLE";
const char* const QPX_Framework_Privileged_CommandKey = "Command";
const char* const QPX_Framework_Privileged_FailedKey = "Failed";
const char* const QPX_Framework_Logging_Key = "Logging";
const char* const QPX_Framework_Logging_Message_Key = "Message";
const char* const QPX_Framework_Logging_SourceFile_Key = "Source file";
const char* const QPX_Framework_Logging_SourceLine_Key = "Source line";
const char* const QPX_Framework_Logging_Function_Key = "Function name";
const char* const QPX_Framework_Logging_EntryClass_Key = "Entry class";
const char* const QPX_Framework_Logging_Time_Key = "Time";

namespace privileged_pipe {

namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr std::size_t kLengthFieldSize = sizeof(std::uint32_t);
// Data up to this size is shown in logs; longer data only by its size.
constexpr std::size_t kShownDataLength = 64;
constexpr const char* kMask = "********";

// Waits until the descriptor can move bytes in the given direction (after EAGAIN).
void WaitUntilReady(int fd, short events) {
  pollfd entry{fd, events, 0};
  while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

// send() with MSG_NOSIGNAL on sockets, so a closed peer is an error and not SIGPIPE; plain
// write() for other descriptors (pipes in tests).
ssize_t WriteSome(int fd, const char* bytes, std::size_t length, bool& isSocket) {
  if (isSocket) {
    ssize_t written = send(fd, bytes, length, MSG_NOSIGNAL);
    if (written >= 0 || errno != ENOTSOCK) return written;
    isSocket = false;
  }
  return write(fd, bytes, length);
}

bool HoldsObject(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Object:
      return true;
    case Value::Kind::Array:
    case Value::Kind::Set:
      for (const Value& member : value.array())
        if (HoldsObject(member)) return true;
      return false;
    case Value::Kind::Dictionary:
      for (const auto& [key, member] : value.dictionary())
        if (HoldsObject(member)) return true;
      return false;
    default:
      return false;
  }
}

// The words of a key: split at blanks and punctuation and where lower case meets upper
// case ("NewPIN" is "new", "pin"; "PINCode" is "pin", "code"), lower-cased, with trailing
// digits dropped ("PIN2" is "pin").
std::vector<std::string> KeyWords(std::string_view key) {
  std::vector<std::string> words;
  std::string word;
  auto finish = [&] {
    while (!word.empty() && std::isdigit(static_cast<unsigned char>(word.back()))) word.pop_back();
    if (!word.empty()) words.push_back(word);
    word.clear();
  };
  for (std::size_t i = 0; i < key.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(key[i]);
    if (!std::isalnum(c)) {
      finish();
      continue;
    }
    if (!word.empty() && std::isupper(c)) {
      const unsigned char previous = static_cast<unsigned char>(key[i - 1]);
      const bool nextIsLower = i + 1 < key.size() && std::islower(static_cast<unsigned char>(key[i + 1]));
      if (std::islower(previous) || std::isdigit(previous) || (std::isupper(previous) && nextIsLower))
        finish();
    }
    word += static_cast<char>(std::tolower(c));
  }
  finish();
  return words;
}

Value Masked(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Data:
      if (value.data().size() > kShownDataLength)
        return Value("<" + std::to_string(value.data().size()) + " bytes of data>");
      return value;
    case Value::Kind::Array: {
      Value::Array members;
      for (const Value& member : value.array()) members.push_back(Masked(member));
      return Value(std::move(members));
    }
    case Value::Kind::Set: {
      Value::Array members;
      for (const Value& member : value.array()) members.push_back(Masked(member));
      return Value::Set(members);
    }
    case Value::Kind::Dictionary: {
      Value::Dictionary members;
      for (const auto& [key, member] : value.dictionary())
        members.emplace(key, IsSecretKey(key) && !member.isNull() ? Value(kMask) : Masked(member));
      return Value(std::move(members));
    }
    default:
      return value;
  }
}

}  // namespace

const char* StatusText(Status status) {
  switch (status) {
    case Status::Ok:
      return "ok";
    case Status::EndOfPipe:
      return "end of the pipe";
    case Status::IOError:
      return "input/output error";
    case Status::TooLarge:
      return "message too large";
    case Status::Unparsable:
      return "message is not a binary property list";
    case Status::Unserializable:
      return "value cannot be written as a property list";
  }
  return "unknown";
}

Status WriteAll(int fd, const void* bytes, std::size_t length, int* error) {
  const char* next = static_cast<const char*>(bytes);
  bool isSocket = true;
  while (length > 0) {
    const ssize_t written = WriteSome(fd, next, length, isSocket);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        WaitUntilReady(fd, POLLOUT);
        continue;
      }
      if (error) *error = errno;
      return errno == EPIPE || errno == ECONNRESET ? Status::EndOfPipe : Status::IOError;
    }
    if (written == 0) return Status::EndOfPipe;
    next += written;
    length -= static_cast<std::size_t>(written);
  }
  return Status::Ok;
}

Status ReadAll(int fd, void* bytes, std::size_t length, int* error) {
  char* next = static_cast<char*>(bytes);
  while (length > 0) {
    const ssize_t count = read(fd, next, length);
    if (count < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        WaitUntilReady(fd, POLLIN);
        continue;
      }
      if (error) *error = errno;
      return errno == ECONNRESET ? Status::EndOfPipe : Status::IOError;
    }
    if (count == 0) return Status::EndOfPipe;
    next += count;
    length -= static_cast<std::size_t>(count);
  }
  return Status::Ok;
}

Status Encode(const Value& message, std::string& wire) {
  wire.clear();
  std::string payload;
  if (!message.isNull()) {
    if (HoldsObject(message)) return Status::Unserializable;
    payload = platform::plist::ToBinary(message);
    if (payload.empty()) return Status::Unserializable;
    if (payload.size() > QPX_Framework_Privileged_MaxMessageLength) return Status::TooLarge;
  }
  const std::uint32_t length = static_cast<std::uint32_t>(payload.size());
  wire.reserve(kLengthFieldSize + payload.size());
  wire.append(reinterpret_cast<const char*>(&length), kLengthFieldSize);
  wire += payload;
  return Status::Ok;
}

Status DecodePayload(std::string_view payload, Value& message) {
  if (payload.substr(0, kBinaryMagic.size()) != kBinaryMagic) return Status::Unparsable;
  std::optional<Value> parsed = platform::plist::Parse(payload);
  if (!parsed || parsed->isNull()) return Status::Unparsable;
  message = std::move(*parsed);
  return Status::Ok;
}

Status WriteMessage(int fd, const Value& message, int* error) {
  std::string wire;
  if (Status status = Encode(message, wire); status != Status::Ok) return status;
  return WriteAll(fd, wire.data(), wire.size(), error);
}

ReadResult ReadMessage(int fd) {
  ReadResult result;
  std::uint32_t length = 0;
  result.status = ReadAll(fd, &length, sizeof length, &result.error);
  if (result.status != Status::Ok || length == 0) return result;
  if (length > QPX_Framework_Privileged_MaxMessageLength) {
    result.status = Status::TooLarge;
    return result;
  }
  std::string payload(length, '\0');
  result.status = ReadAll(fd, payload.data(), payload.size(), &result.error);
  if (result.status != Status::Ok) return result;
  result.status = DecodePayload(payload, result.value);
  return result;
}

bool IsSecretKey(std::string_view key) {
  static const char* const kSecretWords[] = {"password", "passwd", "pwd", "passphrase", "secret",     "token",
                                             "pin",      "puk",    "psk", "credential", "credentials"};
  for (const std::string& word : KeyWords(key))
    for (const char* secret : kSecretWords)
      if (word == secret) return true;
  return false;
}

std::string Describe(const Value& message) { return Masked(message).Description(); }

}  // namespace privileged_pipe

int QPX_Framework_Privileged_ParseHandle(const char* text) {
  if (text == nullptr || *text == '\0') return -1;
  long value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return -1;
    value = value * 10 + (*c - '0');
    if (value > 1000000000L) return -1;
  }
  return static_cast<int>(value);
}

int _QPX_Framework_Privileged_GetFd() {
  return QPX_Framework_Privileged_ParseHandle(std::getenv(_QPX_Framework_Privileged_HandleVariable));
}

void QPX_Framework_Privileged_PipeFailed(const char* reason) {
  std::fprintf(stderr, "Privileged pipe: %s\n", reason);
  std::fflush(nullptr);
  _exit(1);
}

bool _QPX_Framework_Privileged_Send(int fd, const Value& message) {
  using privileged_pipe::Status;
  std::string wire;
  const Status encoded = privileged_pipe::Encode(message, wire);
  if (encoded == Status::TooLarge) {
    // Refused here, so the receiver never sees a length it would have to reject.
    QPX_Log(QPX_LOG_ERROR, "Privileged message not sent: more than %u bytes",
            static_cast<unsigned>(QPX_Framework_Privileged_MaxMessageLength));
    return false;
  }
  if (encoded != Status::Ok)
    QPX_Framework_Assert_Failed(
        _QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
        Value(std::string("privileged message: ") + privileged_pipe::StatusText(encoded)));
  int error = 0;
  const Status written = privileged_pipe::WriteAll(fd, wire.data(), wire.size(), &error);
  if (written != Status::Ok) {
    std::string reason = std::string("write: ") + privileged_pipe::StatusText(written);
    if (error != 0) reason += std::string(" (") + std::strerror(error) + ")";
    QPX_Framework_Privileged_PipeFailed(reason.c_str());
  }
  return true;
}

Value _QPX_Framework_Privileged_Receive(int fd) {
  using privileged_pipe::Status;
  privileged_pipe::ReadResult result = privileged_pipe::ReadMessage(fd);
  switch (result.status) {
    case Status::Ok:
      return std::move(result.value);
    case Status::EndOfPipe:
    case Status::IOError: {
      std::string reason = std::string("read: ") + privileged_pipe::StatusText(result.status);
      if (result.error != 0) reason += std::string(" (") + std::strerror(result.error) + ")";
      QPX_Framework_Privileged_PipeFailed(reason.c_str());
    }
    default:
      QPX_Framework_Assert_Failed(
          _QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
          Value(std::string("privileged message: ") + privileged_pipe::StatusText(result.status)));
  }
}
