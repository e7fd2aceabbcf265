#pragma once
// Small helpers shared by the unit tests of every library.

#include <string>

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes the bytes to the file, creating missing parent folders.
void WriteFile(const std::string& path, const std::string& bytes);
// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace testing_support
