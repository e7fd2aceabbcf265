#pragma once
// Files inside the application bundle that only root may write: the privileged data folder
// "<bundle>/Contents/Resources/QPX". The application saves into it through the privileged
// command "Save Data"; any code reads from it through QPX_Framework_PrivilegedFile_GetPath.

#include <optional>
#include <string>

#include "app/privileged_process.h"
#include "platform/value.h"

// "Contents/Resources/QPX"
extern const char* const QPX_Framework_PrivilegedFile_Folder;

// True for a plain file name: not empty, not "." or "..", no "/" and no NUL, and short
// enough for a file name.
bool QPX_Framework_PrivilegedFile_IsPlainName(const std::string& name);

// "<bundle>/Contents/Resources/QPX/<name>", or the folder itself without a name; none for a
// name that is not plain.
std::optional<std::string> QPX_Framework_PrivilegedFile_GetPath(const std::optional<std::string>& name);
// The same below a given bundle path.
std::optional<std::string> QPX_Framework_PrivilegedFile_GetPath(const std::string& bundlePath,
                                                                const std::optional<std::string>& name);

// "Save Data" with "Filename" (a plain file name) and "Data" (bytes): creates the folder
// (0755) when needed and replaces the file atomically with mode 0644. Answers {} on success,
// {"Failed": YES} for a missing or wrongly typed key, a name that is not plain, or a write
// that fails. The folders below the bundle are opened without following links and the
// file is written through the folder's descriptor, so a link planted in the bundle cannot
// redirect the write.
class QPX_Framework_Privileged_SaveData : public QPX_Framework_PrivilegedCommand {
 public:
  // The bundle the folder lies in; empty: the running application's bundle.
  explicit QPX_Framework_Privileged_SaveData(std::string bundlePath = {});
  Value QPX_Framework_Privileged_Process(const Value& request) override;

  // Writes the bytes; false (logged) on failure.
  static bool SaveData(const std::string& bundlePath, const std::string& name, const Value::Bytes& bytes);

 private:
  std::string bundlePath_;
};

// Stores a property list (as XML) or bytes (as they are) in the privileged data folder
// through the privileged process. True when it was saved.
bool QPX_Framework_SavePrivileged(const Value& propertyListOrData, const std::string& fileName);
