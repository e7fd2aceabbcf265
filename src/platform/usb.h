#pragma once
// USB devices as the device layer sees them: a registry of entries (a USB device with its
// interfaces, the serial ports, network interfaces and storage media below them), matching
// notifications for arrival ("publish") and departure ("terminate") of entries, properties,
// and the USB device interface that opens a device and asks it to re-enumerate.
//
// Entries form a tree: every entry knows its parent (the next entry up towards the USB
// device). An entry names its class and the classes it conforms to, most derived first
// ("IOCDMedia", "IOMedia"). Properties are Values.
//
// A matching dictionary is a Value dictionary: "IOProviderClass" names the class the entry
// must conform to; every other key must equal the entry's property of that name (numbers
// compare by value).
//
// The service in use is installed once (SetService); until then Service() answers the
// simulated back-end of device_sim.h. Notifications are delivered on the run loop given at
// registration, never on the caller's stack and never under the service's locks.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

namespace platform {
class RunLoop;
}

namespace platform::usb {

// Class names and property keys of the entries.
inline constexpr const char* kClassUSBDevice = "IOUSBDevice";
inline constexpr const char* kClassUSBInterface = "IOUSBInterface";
inline constexpr const char* kClassSerialClient = "IOSerialBSDClient";
inline constexpr const char* kClassEthernetInterface = "IOEthernetInterface";
inline constexpr const char* kClassMedia = "IOMedia";
inline constexpr const char* kClassCDMedia = "IOCDMedia";
inline constexpr const char* kProviderClassKey = "IOProviderClass";

// IOKit-style result codes of the device interface.
inline constexpr int kIOReturnSuccess = 0;
inline constexpr int kIOReturnNoDevice = static_cast<int>(0xe00002c0);
inline constexpr int kIOReturnExclusiveAccess = static_cast<int>(0xe00002c5);
inline constexpr int kIOReturnUnsupported = static_cast<int>(0xe00002c7);
inline constexpr int kIOReturnNotOpen = static_cast<int>(0xe00002cd);
// The text of a result code ("(iokit/common) exclusive access and device already open").
std::string ErrorText(int code);

class Entry final : public ValueObject, public std::enable_shared_from_this<Entry> {
 public:
  // `classes`: the class first, then every class it conforms to.
  Entry(std::vector<std::string> classes, Value properties, std::shared_ptr<Entry> parent);

  std::uint64_t ID() const { return id_; }
  const std::string& ClassName() const { return classes_.front(); }
  bool ConformsTo(std::string_view className) const;
  std::shared_ptr<Entry> Parent() const { return parent_; }
  // The entry `levels` steps up (0: this one); null when the chain ends sooner.
  std::shared_ptr<Entry> Ancestor(unsigned levels);
  // This entry or the first ancestor that conforms to the class; null when none does.
  std::shared_ptr<Entry> FindSelfOrAncestor(std::string_view className);

  Value Property(std::string_view key) const;
  Value Properties() const;
  // Used by back-ends; the device layer changes properties through Service::SetProperties.
  void SetProperty(std::string_view key, Value value);

  // Set by the back-end once the entry has left the registry.
  bool IsTerminated() const;
  void MarkTerminated();

  std::string Description() const override;

 private:
  const std::uint64_t id_;
  const std::vector<std::string> classes_;
  const std::shared_ptr<Entry> parent_;
  mutable std::mutex mutex_;
  Value properties_;
  bool terminated_ = false;
};
using EntryPtr = std::shared_ptr<Entry>;

// True when the entry fits the matching dictionary.
bool Matches(const Entry& entry, const Value& matching);

enum class NoticeKind { Publish, Terminate };

// A registered matching notification; Cancel (or dropping the last reference) ends it. A
// callback already queued on the loop when it is cancelled does not run.
class Notification {
 public:
  virtual ~Notification() = default;
  virtual void Cancel() = 0;
};

// An opened view of one USB device, for re-enumeration.
class DeviceInterface {
 public:
  virtual ~DeviceInterface() = default;
  virtual int Open() = 0;
  // Asks the device to leave and come back; the terminate and publish notices follow.
  virtual int ReEnumerate(std::uint32_t options) = 0;
  virtual int Close() = 0;
};

class Service {
 public:
  using Callback = std::function<void(const std::vector<EntryPtr>& entries)>;
  virtual ~Service() = default;

  // Registers for publish or terminate notices of entries that fit `matching`, delivered on
  // `loop` (which must outlive the notification, or be cancelled first). For publish, the
  // entries that fit now are put into `initial` (when given) instead of being delivered.
  virtual std::shared_ptr<Notification> AddMatchingNotification(NoticeKind kind, const Value& matching,
                                                                RunLoop& loop, Callback callback,
                                                                std::vector<EntryPtr>* initial) = 0;
  // Every live entry that fits now.
  virtual std::vector<EntryPtr> MatchingEntries(const Value& matching) = 0;
  // The USB device interface of a USB device entry, or null with the error in `error`.
  virtual std::unique_ptr<DeviceInterface> CreateDeviceInterface(const EntryPtr& device, int* error) = 0;
  // Sets properties of an entry, as a user client may (a vendor CD driver reads its mode
  // switch this way). Answers a result code.
  virtual int SetProperties(const EntryPtr& entry, const Value& properties) = 0;
};

// The installed service (by default the simulated back-end, made on first use).
std::shared_ptr<Service> CurrentService();
void SetService(std::shared_ptr<Service> service);

}  // namespace platform::usb
