#pragma once
// The persistent defaults domain of the application: a property-list file in
// $HOME/.config/<bundle identifier>.plist, written atomically on every change. Keys
// missing there fall back to the registered defaults (the bundle's
// "QPX Preferences Defaults" dictionary for the standard domain). Thread-safe.
//
// More than one process uses the same file (the application, its launcher), so a change
// is merged into what is on disk at the moment it is written: a key set by another process
// since this one last read the file is kept, not overwritten with this process's older
// copy. A file that cannot be read as a dictionary counts as an empty domain; it is left in
// place until a value is set, and then kept aside as "<path>.corrupt" before the new file is
// written, so nothing the user had is lost without a trace.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/value.h"

namespace platform {

class Bundle;

class UserDefaults {
 public:
  UserDefaults(std::string path, Value registeredDefaults);

  // The domain of the main bundle's identifier, created on first use. Tests replace it;
  // SetStandard(nullptr) makes the next Standard() create it again.
  static std::shared_ptr<UserDefaults> Standard();
  static void SetStandard(std::shared_ptr<UserDefaults> defaults);
  // The domain Standard() makes for a bundle: $HOME/.config/<identifier>.plist ("dashboard"
  // when the bundle has no usable identifier), with its "QPX Preferences Defaults".
  static std::shared_ptr<UserDefaults> ForBundle(const Bundle& bundle);
  static std::string PathForBundle(const Bundle& bundle);

  const std::string& path() const { return path_; }

  // The stored value, else the registered default, else null.
  Value objectForKey(std::string_view key) const;
  // The stored value only.
  Value persistentObjectForKey(std::string_view key) const;
  // Stores (null removes) and writes the file. False when the file could not be written;
  // the value is kept in memory either way and written with the next change.
  bool setObject(std::string_view key, const Value& value);
  bool removeObject(std::string_view key) { return setObject(key, Value()); }

  Value persistentDomain() const;  // a dictionary
  Value registeredDefaults() const;
  // Adds the keys of the dictionary to the registered defaults (replacing equal keys).
  void registerDefaults(const Value& defaults);
  // Re-reads the file (changes made by another process). Changes that could not be written
  // yet stay on top.
  void reload();
  // Forgets every stored value and deletes the file (uninstalling the user's settings).
  // False when the file exists and cannot be deleted.
  bool removePersistentDomain();

 private:
  // The file's dictionary; an empty one when the file is missing or unreadable (then
  // corrupt is set, and logged when log is true).
  Value readFileLocked(bool& corrupt, bool log) const;
  // Re-reads the file into domain_, with the changes not yet written on top.
  void readLocked();
  // Writes the pending changes, merged into the file as it is now on disk.
  bool writeLocked();
  bool setAsideCorruptFileLocked() const;

  std::string path_;
  mutable std::mutex mutex_;
  Value domain_;
  Value registered_;
  // Changes not yet written successfully (a null value is a removal).
  std::map<std::string, Value, std::less<>> pending_;
  bool corrupt_ = false;
};

}  // namespace platform
