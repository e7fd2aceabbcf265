#include "app/privileged_process.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/util/misc.h"

namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, QPX_Framework_PrivilegedCommandFactory>& Factories() {
  static std::map<std::string, QPX_Framework_PrivilegedCommandFactory> factories;
  return factories;
}

std::function<void()>& StartupRepair() {
  static std::function<void()> repair;
  return repair;
}

// Serialises everything written on the pipe of this process. An entry logged while a
// message is being written (by the writer itself) must not start a second message inside
// the first one.
std::recursive_mutex& PipeWriteMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}
thread_local bool t_writingToPipe = false;

class WritingGuard {
 public:
  WritingGuard() : lock_(PipeWriteMutex()) { t_writingToPipe = true; }
  ~WritingGuard() { t_writingToPipe = false; }
  WritingGuard(const WritingGuard&) = delete;
  WritingGuard& operator=(const WritingGuard&) = delete;

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};

privileged_pipe::Status WriteOnPipe(int fd, const Value& message, int* error = nullptr) {
  WritingGuard guard;
  return privileged_pipe::WriteMessage(fd, message, error);
}

std::string VFormat(const char* format, va_list args) {
  if (format == nullptr) return {};
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

Value CStringData(const char* text) {
  const char* bytes = text != nullptr ? text : "";
  // The bytes with their terminating zero, so the receiver can use them as a C string.
  return Value::Data(std::string_view(bytes, std::strlen(bytes) + 1));
}

// A property-list string must be UTF-8; a message with other bytes keeps its ASCII.
std::string AsUTF8(std::string text) {
  if (QPX_Framework_IsValidUTF8(text)) return text;
  for (char& c : text)
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  return text;
}

const char* CommandName(const Value& request) {
  const Value command = request.get(QPX_Framework_Privileged_CommandKey);
  return command.isString() ? command.string().c_str() : nullptr;
}

}  // namespace

const std::vector<QPX_Framework_PrivilegedCommandRow>& QPX_Framework_Privileged_CommandTable() {
  static const std::vector<QPX_Framework_PrivilegedCommandRow> table = {
      {"QPX_Framework_Privileged_Connect", {"Connect", "Uninstall"}},
      {"QPX_Framework_Privileged_Driver", {"Load Driver", "Unload Driver"}},
      {"QPX_Framework_Privileged_UpdateSave", {"Save Update Data"}},
      {"QPX_Framework_Privileged_UpdateInstall", {"Install Update"}},
      {"QPX_Framework_Privileged_SaveData", {"Save Data"}},
      {"QPX_Framework_Privileged_Uninstall", {"Uninstall Application"}},
      {"QPX_Framework_Privileged_FindPreferredNetworks", {"Find Preferred WLAN Networks"}},
      {"QPX_Framework_Privileged_StoreWLANPassword", {"Store WLAN Password"}},
      {"QPX_Framework_Privileged_ConfigEthernet", {"Config Ethernet"}},
      {"QPX_Framework_Privileged_UpdateDHCP", {"Update DHCP"}},
      {"QPX_Framework_Privileged_ClearInterfaceState", {"Clear Interface State"}},
      {"QPX_Framework_Privileged_HuaweiHTTP_Switching", {"Switch HuaweiHTTP"}},
  };
  return table;
}

void QPX_Framework_Privileged_RegisterCommandClass(const std::string& className,
                                                   QPX_Framework_PrivilegedCommandFactory factory) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Factories()[className] = std::move(factory);
}

void QPX_Framework_Privileged_UnregisterCommandClass(const std::string& className) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Factories().erase(className);
}

Value QPX_Framework_Privileged_FailedReply() {
  return Value{{QPX_Framework_Privileged_FailedKey, Value(true)}};
}

void QPX_Framework_Privileged_SetStartupRepair(std::function<void()> repair) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  StartupRepair() = std::move(repair);
}

bool QPX_Framework_PrivilegedProcess::InitClasses() {
  slots_.clear();
  for (const QPX_Framework_PrivilegedCommandRow& row : QPX_Framework_Privileged_CommandTable()) {
    QPX_Framework_PrivilegedCommandFactory factory;
    {
      std::lock_guard<std::mutex> lock(RegistryMutex());
      auto it = Factories().find(row.className);
      if (it != Factories().end()) factory = it->second;
    }
    std::shared_ptr<QPX_Framework_PrivilegedCommand> command = factory ? factory() : nullptr;
    if (command && !command->QPX_Framework_Init()) {
      QPX_Log(QPX_LOG_ERROR, "%s failed to initialize", row.className);
      return false;
    }
    slots_.push_back({&row, std::move(command)});
  }
  return true;
}

Value QPX_Framework_PrivilegedProcess::Dispatch(const Value& request) {
  if (!request.isDictionary()) {
    QPX_Log(QPX_LOG_ERROR, "Privileged request is not a dictionary: %s",
            privileged_pipe::Describe(request).c_str());
    return QPX_Framework_Privileged_FailedReply();
  }
  const char* name = CommandName(request);
  if (name == nullptr) {
    QPX_Log(QPX_LOG_ERROR, "Privileged request names no command: %s",
            privileged_pipe::Describe(request).c_str());
    return QPX_Framework_Privileged_FailedReply();
  }
  const QPX_Framework_PrivilegedCommandRow* owner = nullptr;
  for (const Slot& slot : slots_) {
    for (const std::string& command : slot.row->commands)
      if (owner == nullptr && command == name) owner = slot.row;
    if (!slot.command) continue;
    Value reply = slot.command->QPX_Framework_Privileged_Process(request);
    if (reply.isNull()) continue;
    if (!reply.isDictionary()) {
      QPX_Log(QPX_LOG_ERROR, "%s answered \"%s\" with %s", slot.row->className, name,
              privileged_pipe::Describe(reply).c_str());
      return QPX_Framework_Privileged_FailedReply();
    }
    return reply;
  }
  if (owner != nullptr)
    QPX_Log(QPX_LOG_ERROR, "Privileged command \"%s\" is not available: %s is not part of this build", name,
            owner->className);
  else
    QPX_Log(QPX_LOG_ERROR, "Unknown privileged command \"%s\"", name);
  return QPX_Framework_Privileged_FailedReply();
}

privileged_pipe::Status QPX_Framework_PrivilegedProcess::Serve(int fd) {
  using privileged_pipe::Status;
  for (;;) {
    privileged_pipe::ReadResult received = privileged_pipe::ReadMessage(fd);
    Value reply;
    switch (received.status) {
      case Status::Ok:
        QPX_Log(QPX_LOG_TRACE, "Received: %s", privileged_pipe::Describe(received.value).c_str());
        reply = Dispatch(received.value);
        break;
      case Status::Unparsable:
        // The whole payload was read, so the pipe is still in step: answer and go on.
        QPX_Log(QPX_LOG_ERROR, "Privileged request is not a property list");
        reply = QPX_Framework_Privileged_FailedReply();
        break;
      case Status::TooLarge:
        // The payload was not read: nothing after it can be found again.
        QPX_Log(QPX_LOG_ERROR, "Privileged request over the size limit; closing the pipe");
        return received.status;
      default:
        return received.status;
    }
    QPX_Log(QPX_LOG_TRACE, "Reply: %s", privileged_pipe::Describe(reply).c_str());
    Status sent = WriteOnPipe(fd, reply);
    if (sent == Status::TooLarge || sent == Status::Unserializable) {
      QPX_Log(QPX_LOG_ERROR, "Reply not sent (%s); answering failure", privileged_pipe::StatusText(sent));
      sent = WriteOnPipe(fd, QPX_Framework_Privileged_FailedReply());
    }
    if (sent != Status::Ok) return sent;
  }
}

bool QPX_Framework_Privileged_Main() {
  QPX_Framework_PrivilegedProcess process;
  if (!process.InitClasses()) return false;
  std::function<void()> repair;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    repair = StartupRepair();
  }
  if (repair) repair();
  const privileged_pipe::Status ended = process.Serve(_QPX_Framework_Fd);
  // The application closing its end is how this process normally ends: quietly.
  if (ended == privileged_pipe::Status::EndOfPipe) {
    std::fflush(nullptr);
    _exit(1);
  }
  QPX_Framework_Privileged_PipeFailed(privileged_pipe::StatusText(ended));
}

Value QPX_Framework_Privileged_LoggingRecord(const char* sourceFile, unsigned line, const char* function,
                                             double timeStamp, int level, const std::string& message) {
  if (timeStamp == 0) {
    using namespace std::chrono;
    timeStamp = duration<double>(system_clock::now().time_since_epoch()).count();
  }
  return Value{{QPX_Framework_Logging_Key,
                Value{
                    {QPX_Framework_Logging_Message_Key, Value(AsUTF8(message))},
                    {QPX_Framework_Logging_SourceFile_Key, CStringData(sourceFile)},
                    {QPX_Framework_Logging_SourceLine_Key, Value(static_cast<long long>(line))},
                    {QPX_Framework_Logging_Function_Key, CStringData(function)},
                    {QPX_Framework_Logging_EntryClass_Key, Value(level)},
                    {QPX_Framework_Logging_Time_Key, Value(static_cast<long long>(timeStamp))},
                }}};
}

void QPX_Framework_Privileged_LogRelay(const char* sourceFile, unsigned line, const char* function,
                                       const char* /*threadName*/, double timeStamp, int level,
                                       const char* format, va_list args) {
  const std::string message = VFormat(format, args);
  const int fd = _QPX_Framework_Fd;
  if (fd < 0 || t_writingToPipe) {
    std::fprintf(stderr, "Privileged|%s:%u(%s): %s\n", sourceFile ? sourceFile : "", line,
                 function ? function : "", message.c_str());
    std::fflush(stderr);
    return;
  }
  const Value record =
      QPX_Framework_Privileged_LoggingRecord(sourceFile, line, function, timeStamp, level, message);
  int error = 0;
  const privileged_pipe::Status sent = WriteOnPipe(fd, record, &error);
  if (sent == privileged_pipe::Status::EndOfPipe || sent == privileged_pipe::Status::IOError) {
    std::string reason = std::string("write: ") + privileged_pipe::StatusText(sent);
    if (error != 0) reason += std::string(" (") + std::strerror(error) + ")";
    QPX_Framework_Privileged_PipeFailed(reason.c_str());
  }
  if (sent != privileged_pipe::Status::Ok) {
    std::fprintf(stderr, "Privileged|%s:%u(%s): %s\n", sourceFile ? sourceFile : "", line,
                 function ? function : "", message.c_str());
    std::fflush(stderr);
  }
}
