#include "platform/bundle.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/plist.h"

namespace platform {
namespace {

std::mutex& MainMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<Bundle>& MainBundle() {
  static std::shared_ptr<Bundle> bundle;
  return bundle;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "/a/b/c" -> "/a/b"; "/a" -> "/"; "a" -> ".".
std::string ParentOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Value ReadInfo(const std::string& bundlePath) {
  std::string infoPath = bundlePath + "/Contents/Info.plist";
  if (!PathExists(infoPath)) return Value::EmptyDictionary();
  std::optional<Value> info = plist::ReadFile(infoPath);
  if (!info || !info->isDictionary()) {
    std::fprintf(stderr, "Bundle: %s is not a property-list dictionary; using empty info\n",
                 infoPath.c_str());
    return Value::EmptyDictionary();
  }
  return *info;
}

// A relative path that stays inside the folder it is looked up in.
bool IsSafeRelativePath(const std::string& name) {
  if (name.empty() || name.front() == '/') return false;
  std::string::size_type start = 0;
  while (start <= name.size()) {
    std::string::size_type end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

// "de_DE.UTF-8@euro" -> "de_DE"; the locales that name no language give "".
std::string LanguageCode(std::string entry) {
  std::string::size_type cut = entry.find_first_of(".@");
  if (cut != std::string::npos) entry.erase(cut);
  if (entry == "C" || entry == "POSIX") return {};
  return entry;
}

// The folder names a code may match, most specific first: "pt_BR", "pt-BR", "pt".
std::vector<std::string> FolderCandidates(const std::string& code) {
  std::vector<std::string> candidates{code};
  std::string::size_type separator = code.find_first_of("_-");
  if (separator != std::string::npos) {
    std::string other = code;
    other[separator] = code[separator] == '_' ? '-' : '_';
    candidates.push_back(other);
    candidates.push_back(code.substr(0, separator));
  }
  return candidates;
}

// The user's language codes in order of preference, from the gettext variables.
std::vector<std::string> UserLanguageCodes() {
  std::vector<std::string> codes;
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (!value) continue;
    std::string list = value;
    std::string::size_type start = 0;
    while (start <= list.size()) {
      std::string::size_type end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      std::string code = LanguageCode(list.substr(start, end - start));
      if (!code.empty()) codes.push_back(std::move(code));
      start = end + 1;
    }
  }
  return codes;
}

void AppendUnique(std::vector<std::string>& list, const std::string& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

}  // namespace

Bundle::Bundle(std::string bundlePath) : bundlePath_(std::move(bundlePath)) {
  while (bundlePath_.size() > 1 && bundlePath_.back() == '/') bundlePath_.pop_back();
  info_ = ReadInfo(bundlePath_);
}

Bundle::Bundle(std::string folder, std::string executable, OutsideBundle)
    : bundlePath_(std::move(folder)), info_(Value::EmptyDictionary()), executable_(std::move(executable)) {}

std::string Bundle::ExecutablePathOfProcess() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) {
      std::string path(buffer.data(), static_cast<std::size_t>(length));
      // A binary replaced while it runs (a rebuild) still lives where it was.
      static const std::string kDeleted = " (deleted)";
      if (path.size() > kDeleted.size() &&
          path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        path.erase(path.size() - kDeleted.size());
      }
      return path;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::shared_ptr<Bundle> Bundle::Main() {
  std::lock_guard<std::mutex> lock(MainMutex());
  std::shared_ptr<Bundle>& main = MainBundle();
  if (main) return main;

  std::string executable = ExecutablePathOfProcess();
  std::string folder;
  if (executable.empty()) {
    std::vector<char> cwd(4096);
    folder = ::getcwd(cwd.data(), cwd.size()) ? cwd.data() : ".";
  } else {
    folder = ParentOf(executable);
  }
  std::string contents = ParentOf(folder);
  if (!executable.empty() && LastComponent(folder) == "MacOS" && LastComponent(contents) == "Contents") {
    main = std::make_shared<Bundle>(ParentOf(contents));
  } else {
    main = std::shared_ptr<Bundle>(new Bundle(folder, executable, OutsideBundle{}));
  }
  return main;
}

void Bundle::SetMain(std::shared_ptr<Bundle> bundle) {
  std::lock_guard<std::mutex> lock(MainMutex());
  MainBundle() = std::move(bundle);
}

std::string Bundle::executablePath() const {
  if (!executable_.empty()) return executable_;
  std::string name = info_.get("CFBundleExecutable").string();
  if (name.empty() || name.find('/') != std::string::npos) {
    name = LastComponent(bundlePath_);
    std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
  }
  return contentsPath() + "/MacOS/" + name;
}

std::string Bundle::bundleIdentifier() const { return info_.get("CFBundleIdentifier").string(); }

std::vector<std::string> Bundle::localizations() const {
  std::vector<std::string> codes;
  std::string resources = resourcesPath();
  DIR* dir = ::opendir(resources.c_str());
  if (!dir) return codes;
  static const std::string kSuffix = ".lproj";
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() <= kSuffix.size() ||
        name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
      continue;
    }
    if (!IsDirectory(resources + "/" + name)) continue;
    codes.push_back(name.substr(0, name.size() - kSuffix.size()));
  }
  ::closedir(dir);
  std::sort(codes.begin(), codes.end());
  return codes;
}

std::vector<std::string> Bundle::preferredLocalizations() const {
  std::vector<std::string> available = localizations();
  auto isAvailable = [&](const std::string& code) {
    return std::binary_search(available.begin(), available.end(), code);
  };
  std::vector<std::string> preferred;
  for (const std::string& code : UserLanguageCodes()) {
    for (const std::string& candidate : FolderCandidates(code)) {
      if (isAvailable(candidate)) AppendUnique(preferred, candidate);
    }
  }
  std::string development = info_.get("CFBundleDevelopmentRegion").string();
  if (!development.empty() && IsSafeRelativePath(development) && development.find('/') == std::string::npos) {
    AppendUnique(preferred, development);
  }
  return preferred;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name,
                                                   const std::vector<std::string>& languages) const {
  if (!IsSafeRelativePath(name)) return std::nullopt;
  std::string resources = resourcesPath();
  for (const std::string& language : languages) {
    if (language.empty() || language.find('/') != std::string::npos || language == "..") continue;
    std::string path = resources + "/" + language + ".lproj/" + name;
    if (PathExists(path)) return path;
  }
  std::string path = resources + "/" + name;
  if (PathExists(path)) return path;
  return std::nullopt;
}

}  // namespace platform
