#pragma once
// Classes known by name: the class initialisation table, per-device modules, back-ends
// named in data files and names kept in user files all look classes up here. Each library
// fills the registry with one explicit registration function, called by main() before
// start-up walks the table, so nothing depends on the order of static constructors.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/value.h"

struct QPX_Framework_ClassEntry {
  std::string name;
  // The class initialiser, called with the name of the table row it runs for. A base
  // class's initialiser that is registered again for a subclass acts only for its own
  // name and answers true for the subclass. Empty: the class has no initialiser.
  std::function<bool(const std::string& className)> init;
  // Set for a class that still has the old argument-less initialiser: start-up refuses it.
  bool legacyInit = false;
  // Creates an instance, for classes that are instantiated by name; may be empty.
  std::function<std::shared_ptr<platform::ValueObject>()> create;
  // Names of the base classes, nearest first, for "is this a kind of" questions.
  std::vector<std::string> bases;
};

class QPX_Framework_ClassRegistry {
 public:
  // Adds or replaces the entry of that name. Thread-safe.
  static void Register(QPX_Framework_ClassEntry entry);
  static void Unregister(const std::string& name);
  // A copy of the entry, or null when no class of that name is registered.
  static std::shared_ptr<const QPX_Framework_ClassEntry> Find(const std::string& name);
  static bool Exists(const std::string& name) { return Find(name) != nullptr; }
  // True when `name` is `base` or lists it among its bases.
  static bool IsKindOf(const std::string& name, const std::string& base);
  // Removes every entry (tests).
  static void Clear();
};
