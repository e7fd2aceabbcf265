#pragma once
// The life of a launched modem: its node below "/Modems", its modem thread (the AT modem
// thread or the web-interface thread, both derived from QPX_Framework_DeviceThread_Base) and
// one thread per registered per-device module (connect, initialisation, PIN, the combined
// thread ...), derived from one of the three module kinds below.
//
// A modem thread class is known by name in the class registry; its registry entry creates
// an instance and names "QPX_Framework_DeviceThread_Base" among its bases. Its class
// initialiser calls QPX_Framework_DeviceThread_Base::QPX_Framework_Init (which makes
// "/Modems"). The thread keeps the main device record; its Init stores itself in the record
// ("Modem Thread" or "HuaweiHTTP Thread") so that an unplug can reach it, and its clean-up
// stops the module threads (_KillThreads), removes the modem node and clears the node's
// "Modem Device".
//
// A per-device module class is entered in the class registry with an instance factory, its
// bases (nearest first, ending in "QPX_Framework_Thread_Device_Base", "QPX_Framework_Thread")
// and, as its initialiser, the initialiser of its kind: QPX_Framework_Thread_Device_AT,
// _HuaweiHTTP or _All::QPX_Framework_Init. Walking the class table then puts the class into
// the registry of its modem kind, and every later modem of that kind gets one thread of it.
// QPX_Framework_PerDeviceClassEntry<T> fills such an entry.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/device_record.h"
#include "framework/core/class_registry.h"
#include "framework/core/storage.h"
#include "framework/core/subscription.h"
#include "framework/core/thread.h"
#include "platform/value.h"

// "/Modems": made by the class initialiser of the modem thread classes.
extern QPX_Framework_StoragePtr QPX_Framework_Modem_Storage;
extern const char* const QPX_Framework_Modems_Path;  // "/Modems"
// Keys of a modem node set when the modem starts.
extern const char* const QPX_Framework_ModemNode_ModemDevice;  // "Modem Device"
// The thread dictionary key of the current modem (a Value object holding the node).
extern const char* const QPX_Framework_CurrentModem_Key;  // "QPX Current Modem"

// ------------------------------------------------------------------------------------------
// Modem threads

class QPX_Framework_DeviceThread_Base : public QPX_Framework_Thread {
 public:
  QPX_Framework_DeviceThread_Base() = default;

  // Keeps the record. Subclasses extend it (calling this first) and answer false when the
  // thread cannot be made for this record.
  virtual bool QPX_Framework_Thread_Modem_Init(const QPX_Framework_DeviceRecordPtr& main);

  // Starts the module threads (_LaunchThreads); on success the normal worker loop, otherwise
  // the thread quits at once (its clean-up then stops the module threads that did start).
  void QPX_Framework_Thread_Run() override;
  // The module threads of the record's kind: the web-interface registry when the record has
  // "HuaweiHTTP Thread", else the AT registry.
  virtual bool _LaunchThreads();
  // Stops them, last first. The modem threads call it from their clean-up.
  void _KillThreads();

  // The main device record, retained.
  const QPX_Framework_DeviceRecordPtr& Main() const { return Main_; }

  // Class initialiser of the modem thread classes: makes "/Modems" once; YES when it exists.
  static bool QPX_Framework_Init(const std::string& className);

  // Starts a modem thread of the named class for the record (the class is created through
  // the class registry): a fresh node "/Modems/%08x", "Modem ID" and "Modem Storage" in the
  // record, the node's "Modem Device" and "Modem Quirks", then the launch. YES when the
  // thread launched. When it did not, the node is removed again and the record loses "Modem
  // ID" and "Modem Storage", so a later port may launch it again.
  static bool QPX_Framework_Thread_Modem_Start(const std::string& className,
                                               const QPX_Framework_DeviceRecordPtr& main);
  // The USB device of the record went away: when the modem was launched, asks its
  // "HuaweiHTTP Thread", else its "Modem Thread", to quit.
  static void QPX_Framework_Thread_Modem_Unplugged(const QPX_Framework_DeviceRecordPtr& main);

  std::string Description() const override;

 protected:
  QPX_Framework_DeviceRecordPtr Main_;
};

// ------------------------------------------------------------------------------------------
// Per-device module threads

class QPX_Framework_Thread_Device_Base : public QPX_Framework_Thread {
 public:
  QPX_Framework_Thread_Device_Base() = default;

  // Keeps the record and its "Modem Storage" node and makes the subscription set. Subclasses
  // extend it (calling this first); false: no thread for this modem.
  virtual bool QPX_Framework_DeviceThread_Init(const QPX_Framework_DeviceRecordPtr& main);

  // The worker set-up, then the modem node becomes this thread's current modem.
  bool QPX_Framework_Thread_Setup() override;
  // Ends the subscriptions, clears the current modem, then the base clean-up.
  void QPX_Framework_Thread_Cleanup() override;

  const QPX_Framework_StoragePtr& ModemStorage() const { return ModemStorage_; }
  const QPX_Framework_DeviceRecordPtr& ModemDevice() const { return ModemDevice_; }
  // The module's subscriptions, ended together at clean-up (on the thread itself).
  void addObjectRelease(QPX_Framework_SubscriptionPtr subscription);
  void ReleaseSubscriptions();

  // Creates the named class through the class registry, initialises it for the record and
  // launches it. The running thread, or null (a thread that fails to launch is dropped).
  static std::shared_ptr<QPX_Framework_Thread_Device_Base> QPX_Framework_DeviceThread_LaunchClass(
      const std::string& className, const QPX_Framework_DeviceRecordPtr& main);

  std::string Description() const override;

 protected:
  QPX_Framework_StoragePtr ModemStorage_;
  QPX_Framework_DeviceRecordPtr ModemDevice_;
  std::vector<QPX_Framework_SubscriptionPtr> Subscriptions_;
};

// Modules of AT modems.
class QPX_Framework_Thread_Device_AT : public QPX_Framework_Thread_Device_Base {
 public:
  // Registers the class being initialised in the AT registry (not the kind itself); YES.
  static bool QPX_Framework_Init(const std::string& className);
};

// Modules of web-interface modems.
class QPX_Framework_Thread_Device_HuaweiHTTP : public QPX_Framework_Thread_Device_Base {
 public:
  static bool QPX_Framework_Init(const std::string& className);
};

// Modules of every modem.
class QPX_Framework_Thread_Device_All : public QPX_Framework_Thread_Device_Base {
 public:
  static bool QPX_Framework_Init(const std::string& className);
};

// ------------------------------------------------------------------------------------------
// Per-device module registries

// One registry per modem kind: up to 128 class names in registration order.
struct QPX_Framework_PerDeviceClasses {
  static constexpr std::size_t kCapacity = 128;
  std::array<std::string, kCapacity> classes;
  std::uint32_t count = 0;
};

QPX_Framework_PerDeviceClasses& PerDeviceClasses_AT();
QPX_Framework_PerDeviceClasses& PerDeviceClasses_HuaweiHTTP();
// The lock that guards both registries.
std::mutex& QPX_Framework_PerDeviceClasses_Lock();

// Adds the class once; a registry that is full logs and ignores the class. The class must be
// registered, derive from QPX_Framework_Thread_Device_Base and be creatable (assertions).
void QPX_Framework_RegisterPerDeviceModule(const std::string& className,
                                           QPX_Framework_PerDeviceClasses& registry);
void QPX_Framework_Modem_RegisterPerDeviceModule_AT(const std::string& className);
void QPX_Framework_Modem_RegisterPerDeviceModule_HuaweiHTTP(const std::string& className);
// The class names of a registry, in registration order (a copy).
std::vector<std::string> QPX_Framework_PerDeviceClassNames(const QPX_Framework_PerDeviceClasses& registry);
// Empties both registries (tests).
void QPX_Framework_PerDeviceClasses_Clear();

// Starts one thread per registered class, in order, into the record's "Per Device
// Threads"; stops at the first class that yields none. YES when every class did.
bool QPX_Framework_LaunchPerDeviceThreads(const QPX_Framework_DeviceRecordPtr& main,
                                          QPX_Framework_PerDeviceClasses& registry);
// Asks the record's per-device threads to quit, last first, and empties the list.
void QPX_Framework_KillPerDeviceThreads(const QPX_Framework_DeviceRecordPtr& main);

// A class-registry entry for a per-device module class T of the given kind (one of the three
// kind classes): its factory, its bases and the kind's initialiser.
template <class T, class Kind>
QPX_Framework_ClassEntry QPX_Framework_PerDeviceClassEntry(std::string name, std::string kindName,
                                                           std::vector<std::string> extraBases = {}) {
  QPX_Framework_ClassEntry entry;
  entry.name = std::move(name);
  entry.init = [](const std::string& className) { return Kind::QPX_Framework_Init(className); };
  entry.create = [] { return std::shared_ptr<platform::ValueObject>(std::make_shared<T>()); };
  entry.bases = std::move(extraBases);
  entry.bases.push_back(std::move(kindName));
  entry.bases.push_back("QPX_Framework_Thread_Device_Base");
  entry.bases.push_back("QPX_Framework_Thread");
  return entry;
}

// A class-registry entry for a modem thread class T.
template <class T>
QPX_Framework_ClassEntry QPX_Framework_ModemThreadClassEntry(std::string name) {
  QPX_Framework_ClassEntry entry;
  entry.name = std::move(name);
  entry.init = [](const std::string& className) {
    return QPX_Framework_DeviceThread_Base::QPX_Framework_Init(className);
  };
  entry.create = [] { return std::shared_ptr<platform::ValueObject>(std::make_shared<T>()); };
  entry.bases = {"QPX_Framework_DeviceThread_Base", "QPX_Framework_Thread"};
  return entry;
}
