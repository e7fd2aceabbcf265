#include "app/privileged_files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "app/privileged_client.h"
#include "framework/core/log.h"
#include "platform/bundle.h"
#include "platform/plist.h"

const char* const QPX_Framework_PrivilegedFile_Folder = "Contents/Resources/QPX";

namespace {

const char* const kSaveDataCommand = "Save Data";
const char* const kFilenameKey = "Filename";
const char* const kDataKey = "Data";

std::string MainBundlePath() {
  auto bundle = platform::Bundle::Main();
  return bundle ? bundle->bundlePath() : std::string();
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool WriteAllBytes(int fd, const Value::Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// Opens "<bundle>/Contents/Resources/QPX", creating the last folder (0755) when it is
// missing. Below the bundle no link is followed, at any level: a link planted in place of
// "Contents" or "Resources" must not send root's write elsewhere. -1 with errno set.
int OpenDataFolder(const std::string& bundlePath) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int folder = open(bundlePath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const char* part : {"Contents", "Resources", "QPX"}) {
    if (folder < 0) return -1;
    int next = openat(folder, part, flags);
    if (next < 0 && errno == ENOENT && std::strcmp(part, "QPX") == 0) {
      if (mkdirat(folder, part, 0755) == 0 || errno == EEXIST) next = openat(folder, part, flags);
    }
    const int error = errno;
    close(folder);
    errno = error;
    folder = next;
  }
  return folder;
}

}  // namespace

bool QPX_Framework_PrivilegedFile_IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.size() <= NAME_MAX;
}

std::optional<std::string> QPX_Framework_PrivilegedFile_GetPath(const std::string& bundlePath,
                                                                const std::optional<std::string>& name) {
  const std::string folder = bundlePath + "/" + QPX_Framework_PrivilegedFile_Folder;
  if (!name) return folder;
  if (!QPX_Framework_PrivilegedFile_IsPlainName(*name)) return std::nullopt;
  return folder + "/" + *name;
}

std::optional<std::string> QPX_Framework_PrivilegedFile_GetPath(const std::optional<std::string>& name) {
  return QPX_Framework_PrivilegedFile_GetPath(MainBundlePath(), name);
}

QPX_Framework_Privileged_SaveData::QPX_Framework_Privileged_SaveData(std::string bundlePath)
    : bundlePath_(std::move(bundlePath)) {}

Value QPX_Framework_Privileged_SaveData::QPX_Framework_Privileged_Process(const Value& request) {
  const Value command = request.get(QPX_Framework_Privileged_CommandKey);
  if (!command.isString() || command.string() != kSaveDataCommand) return Value();
  const Value name = request.get(kFilenameKey);
  const Value data = request.get(kDataKey);
  if (!name.isString() || !data.isData()) {
    QPX_Log(QPX_LOG_ERROR, "Save Data: \"Filename\" must be a string and \"Data\" bytes");
    return QPX_Framework_Privileged_FailedReply();
  }
  const std::string bundlePath = bundlePath_.empty() ? MainBundlePath() : bundlePath_;
  if (!SaveData(bundlePath, name.string(), data.data())) return QPX_Framework_Privileged_FailedReply();
  return Value::EmptyDictionary();
}

bool QPX_Framework_Privileged_SaveData::SaveData(const std::string& bundlePath, const std::string& name,
                                                 const Value::Bytes& bytes) {
  if (!QPX_Framework_PrivilegedFile_IsPlainName(name)) {
    QPX_Log(QPX_LOG_ERROR, "Save Data: refusing the file name \"%s\"", name.c_str());
    return false;
  }
  const std::string folder = *QPX_Framework_PrivilegedFile_GetPath(bundlePath, std::nullopt);
  const FdCloser directory(OpenDataFolder(bundlePath));
  if (directory.get() < 0) {
    QPX_Log(QPX_LOG_ERROR, "Unable to open \"%s\": %s", folder.c_str(), std::strerror(errno));
    return false;
  }
  // A temporary file beside the target, renamed over it once complete: readers see the old
  // file or the new one, never a part.
  static std::atomic<unsigned> counter{0};
  const std::string temporary = ".save-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  const int fd =
      openat(directory.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    QPX_Log(QPX_LOG_ERROR, "Unable to write \"%s/%s\": %s", folder.c_str(), name.c_str(),
            std::strerror(errno));
    return false;
  }
  bool written = WriteAllBytes(fd, bytes) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && renameat(directory.get(), temporary.c_str(), directory.get(), name.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    unlinkat(directory.get(), temporary.c_str(), 0);
    QPX_Log(QPX_LOG_ERROR, "Unable to write \"%s/%s\": %s", folder.c_str(), name.c_str(),
            std::strerror(error));
    return false;
  }
  QPX_Log(QPX_LOG_TRACE, "Saved \"%s/%s\" (%zu bytes)", folder.c_str(), name.c_str(), bytes.size());
  return true;
}

bool QPX_Framework_SavePrivileged(const Value& propertyListOrData, const std::string& fileName) {
  Value bytes = propertyListOrData;
  if (!bytes.isData()) {
    const std::string xml =
        propertyListOrData.isNull() ? std::string() : platform::plist::ToXml(propertyListOrData);
    if (xml.empty()) {
      QPX_Log(QPX_LOG_ERROR, "dataFromPropertyList: %s", propertyListOrData.Description().c_str());
      return false;
    }
    bytes = Value::Data(xml);
  }
  const Value reply =
      QPX_Framework_Privileged_Execute(Value{{QPX_Framework_Privileged_CommandKey, Value(kSaveDataCommand)},
                                             {kFilenameKey, Value(fileName)},
                                             {kDataKey, bytes}});
  if (!reply.isDictionary()) {
    QPX_Log(QPX_LOG_ERROR, "Save Data of \"%s\": no reply from the privileged process", fileName.c_str());
    return false;
  }
  const Value failed = reply.get(QPX_Framework_Privileged_FailedKey);
  if (!failed.isNull() && !failed.isNumber()) {
    QPX_Log(QPX_LOG_ERROR, "Save Data of \"%s\": unexpected reply %s", fileName.c_str(),
            reply.Description().c_str());
    return false;
  }
  return !failed.toBool();
}
