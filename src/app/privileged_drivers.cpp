#include "app/privileged_drivers.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/util/files.h"
#include "platform/kmod.h"

const char* const QPX_Framework_MBBService_RelativePath = "Contents/Resources/Drivers/Huawei HTTP/mbbservice";

namespace {

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

// ------------------------------------------------------------------------------------------
// "Load Driver", "Unload Driver"

QPX_Framework_Privileged_Driver::QPX_Framework_Privileged_Driver(std::string driversFolder)
    : driversFolder_(std::move(driversFolder)) {}

Value QPX_Framework_Privileged_Driver::QPX_Framework_Privileged_Process(const Value& request) {
  const std::string& command = request.get("Command").string();
  const bool load = command == "Load Driver";
  if (!load && command != "Unload Driver") return Value();
  const Value kext = request.get("Kext");
  if (kext.isNull()) return Value();
  if (!kext.isString() || !QPX_Framework_CheckSafeFilename(kext.string(), true)) {
    QPX_Log(QPX_LOG_ERROR, "Invalid filename \"%s\"",
            kext.isString() ? kext.string().c_str() : kext.Description().c_str());
    return QPX_Framework_Privileged_FailedReply();
  }
  const std::string folder =
      driversFolder_.empty() ? QPX_Framework_Application_Resources() + "/Drivers" : driversFolder_;
  const std::string& path = kext.string();
  const std::size_t slash = path.rfind('/');
  const std::string driverFolder = slash == std::string::npos ? folder : folder + "/" + path.substr(0, slash);
  if (!IsFolder(driverFolder)) {
    QPX_Log(QPX_LOG_ERROR, "Unable to chdir(): %s", std::strerror(ENOENT));
    return QPX_Framework_Privileged_FailedReply();
  }
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  QPX_Log(QPX_LOG_TRACE, "Running \"%s %s\"", load ? "load" : "unload", name.c_str());
  const auto service = platform::kmod::CurrentService();
  const bool done = load ? service->Load(folder, path) : service->Unload(folder, path);
  if (done) QPX_Log(QPX_LOG_MILESTONE, "%soaded driver \"%s\"", load ? "L" : "Unl", name.c_str());
  return Value::EmptyDictionary();
}

// ------------------------------------------------------------------------------------------
// "Switch HuaweiHTTP"

QPX_Framework_Privileged_HuaweiHTTP_Switching::QPX_Framework_Privileged_HuaweiHTTP_Switching(
    std::string bundlePath)
    : bundlePath_(std::move(bundlePath)) {}

Value QPX_Framework_Privileged_HuaweiHTTP_Switching::QPX_Framework_Privileged_Process(const Value& request) {
  if (request.get("Command").string() != "Switch HuaweiHTTP") return Value();
  RunMBBService();
  return Value::EmptyDictionary();
}

bool QPX_Framework_Privileged_HuaweiHTTP_Switching::RunMBBService() {
  QPX_Log(QPX_LOG_CALLS, "RunMBBService");
  const std::string bundle = bundlePath_.empty() ? QPX_Framework_Application_Root() : bundlePath_;
  // Started by its own absolute path: no link in a shared folder that another user could
  // replace between our check and the start.
  const std::string program = bundle + "/" + QPX_Framework_MBBService_RelativePath;
  struct stat info {};
  if (::stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || ::access(program.c_str(), X_OK) != 0) {
    QPX_Log(QPX_LOG_ERROR, "No switching service at \"%s\"", program.c_str());
    return false;
  }
  // Everything the children need is made before the fork.
  const std::unique_ptr<char[]> path(::strdup(program.c_str()));
  char* const argv[] = {path.get(), nullptr};
  char* const envp[] = {nullptr};
  long maxDescriptors = ::sysconf(_SC_OPEN_MAX);
  if (maxDescriptors < 0 || maxDescriptors > 65536) maxDescriptors = 65536;

  const pid_t child = ::fork();
  if (child < 0) {
    QPX_Log(QPX_LOG_ERROR, "fork(): %s", std::strerror(errno));
    return false;
  }
  if (child == 0) {
    if (::fork() != 0) ::_exit(0);
    // The grandchild: its own session, no descriptors of the privileged process.
    ::setsid();
    for (long fd = 3; fd < maxDescriptors; ++fd) ::close(static_cast<int>(fd));
    if (::chdir("/tmp") != 0) ::_exit(0);
    ::execve(argv[0], argv, envp);
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

void QPX_Framework_Privileged_Drivers_RegisterCommands() {
  QPX_Framework_Privileged_RegisterCommandClass(
      "QPX_Framework_Privileged_Driver", [] { return std::make_shared<QPX_Framework_Privileged_Driver>(); });
  QPX_Framework_Privileged_RegisterCommandClass("QPX_Framework_Privileged_HuaweiHTTP_Switching", [] {
    return std::make_shared<QPX_Framework_Privileged_HuaweiHTTP_Switching>();
  });
}
