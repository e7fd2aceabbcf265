#pragma once
// The persistent defaults domain of the application: a property-list file in
// $HOME/.config/<bundle identifier>.plist, written atomically on every change. Keys
// missing there fall back to the registered defaults (the bundle's
// "QPX Preferences Defaults" dictionary for the standard domain). Thread-safe.

#include <memory>
#include <mutex>
#include <string>

#include "platform/value.h"

namespace platform {

class UserDefaults {
 public:
  UserDefaults(std::string path, Value registeredDefaults);

  // The domain of the main bundle's identifier, created on first use. Tests replace it.
  static std::shared_ptr<UserDefaults> Standard();
  static void SetStandard(std::shared_ptr<UserDefaults> defaults);

  const std::string& path() const { return path_; }

  // The stored value, else the registered default, else null.
  Value objectForKey(std::string_view key) const;
  // The stored value only.
  Value persistentObjectForKey(std::string_view key) const;
  // Stores (null removes) and writes the file. False when the file could not be written;
  // the value is kept in memory either way.
  bool setObject(std::string_view key, const Value& value);
  bool removeObject(std::string_view key) { return setObject(key, Value()); }

  Value persistentDomain() const;  // a dictionary
  Value registeredDefaults() const;
  void registerDefaults(const Value& defaults);
  // Re-reads the file (changes made by another process).
  void reload();

 private:
  std::string path_;
  mutable std::mutex mutex_;
  Value domain_;
  Value registered_;
};

}  // namespace platform
