#include "app/privileged_client.h"

#include <mutex>

#include "app/privileged_pipe.h"
#include "framework/core/log.h"

const char* const QPX_Framework_Thread_PrivilegedName = "Privileged";
const char* const QPX_Framework_Privileged_ProcessLabel = "Privileged Process";

namespace {

std::mutex& InstanceMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<QPX_Framework_Thread_Privileged>& TheInstance() {
  static std::shared_ptr<QPX_Framework_Thread_Privileged> instance;
  return instance;
}

// The bytes of a C string sent as data (with its terminating zero); text without the zero
// is taken up to its end.
std::string CStringOf(const Value& value) {
  if (!value.isData()) return {};
  const Value::Bytes& bytes = value.data();
  std::string text(bytes.begin(), bytes.end());
  const std::size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}

}  // namespace

void QPX_Framework_Privileged_LogRecord(const Value& record) {
  const std::string file = CStringOf(record.get(QPX_Framework_Logging_SourceFile_Key));
  const std::string function = CStringOf(record.get(QPX_Framework_Logging_Function_Key));
  const Value message = record.get(QPX_Framework_Logging_Message_Key);
  const Value line = record.get(QPX_Framework_Logging_SourceLine_Key);
  const Value level = record.get(QPX_Framework_Logging_EntryClass_Key);
  const Value time = record.get(QPX_Framework_Logging_Time_Key);
  int entryClass = level.isNumber() ? level.toInt(QPX_LOG_ERROR) : QPX_LOG_ERROR;
  if (entryClass < QPX_LOG_CALLS || entryClass > QPX_LOG_ERROR) entryClass = QPX_LOG_ERROR;
  const std::int64_t lineNumber = line.isNumber() ? line.toInt64() : 0;
  QPX_Framework_Log_Internal(
      file.c_str(), lineNumber > 0 && lineNumber < (1LL << 31) ? unsigned(lineNumber) : 0, function.c_str(),
      QPX_Framework_Privileged_ProcessLabel, time.isNumber() ? time.toDouble() : 0, entryClass, "%s",
      message.isString() ? message.string().c_str() : "");
}

bool QPX_Framework_Thread_Privileged::QPX_Framework_Thread_Setup() {
  QPX_Log(QPX_LOG_CALLS, "Setup %s", Description().c_str());
  fd_ = _QPX_Framework_Privileged_GetFd();
  if (fd_ == -1) {
    QPX_Log(QPX_LOG_ERROR, "No privileged process to talk to (%s is not set)",
            _QPX_Framework_Privileged_HandleVariable);
    return false;
  }
  QPX_Framework_Thread_SetName(std::string(QPX_Framework_Thread_PrivilegedName));
  return QPX_Framework_Thread::QPX_Framework_Thread_Setup();
}

void QPX_Framework_Thread_Privileged::QPX_Framework_Thread_Run() {
  QPX_Framework_Thread::QPX_Framework_Thread_Run();
}

bool QPX_Framework_Thread_Privileged::QPX_Framework_Thread_ExecuteCommandPackage(
    const QPX_Framework_Package& package) {
  const std::string& name = package->CommandName();
  if (PackageHandlerFor(name) != nullptr || CommandHandlerFor(name) != nullptr)
    return QPX_Framework_Thread::QPX_Framework_Thread_ExecuteCommandPackage(package);
  const Value& request = QPX_Framework_Thread_PackageCommand(package);
  if (!request.isDictionary()) return false;
  QPX_Log(QPX_LOG_TRACE, "%s", privileged_pipe::Describe(request).c_str());
  if (fd_ < 0) return true;  // taken without a reply

  if (!_QPX_Framework_Privileged_Send(fd_, request)) {
    QPX_Framework_Thread_SendReply(Value{{QPX_Framework_Privileged_FailedKey, Value(true)}}, package);
    return true;
  }
  for (;;) {
    Value message = _QPX_Framework_Privileged_Receive(fd_);
    QPX_Assert_Detail(message.isDictionary(), Value(privileged_pipe::Describe(message)));
    const Value record = message.get(QPX_Framework_Logging_Key);
    if (record.isNull()) {
      QPX_Framework_Thread_SendReply(message, package);
      return true;
    }
    QPX_Framework_Privileged_LogRecord(record);
  }
}

bool QPX_Framework_Thread_Privileged::QPX_Framework_Init(const std::string& className) {
  if (className != "QPX_Framework_Thread_Privileged") return true;
  std::lock_guard<std::mutex> lock(InstanceMutex());
  if (TheInstance()) return true;
  auto thread = std::make_shared<QPX_Framework_Thread_Privileged>();
  if (!thread->QPX_Framework_Thread_Launch()) {
    thread->QPX_Framework_Thread_Quit();
    thread->WaitUntilFinished();
    return false;
  }
  TheInstance() = std::move(thread);
  return true;
}

std::shared_ptr<QPX_Framework_Thread_Privileged> QPX_Framework_Thread_Privileged::Instance() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  return TheInstance();
}

void QPX_Framework_Thread_Privileged::_QPX_Framework_Thread_Privileged_Reset() {
  std::shared_ptr<QPX_Framework_Thread_Privileged> thread;
  {
    std::lock_guard<std::mutex> lock(InstanceMutex());
    thread = std::move(TheInstance());
  }
  if (!thread) return;
  thread->QPX_Framework_Thread_Quit();
  thread->WaitUntilFinished();
}

std::string QPX_Framework_Thread_Privileged::Description() const {
  return "<QPX_Framework_Thread_Privileged " + QPX_Framework_Thread_Name() + ">";
}

Value QPX_Framework_Privileged_Execute(const Value& request) {
  std::shared_ptr<QPX_Framework_Thread> thread =
      QPX_Framework_Thread::QPX_Framework_Thread_Find(QPX_Framework_Thread_PrivilegedName);
  QPX_Assert_Detail(thread != nullptr, Value("no privileged client thread"));
  return thread->QPX_Framework_Thread_RunCommand(request);
}
