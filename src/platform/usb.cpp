#include "platform/usb.h"

#include <atomic>
#include <cstdio>

#include "platform/device_sim.h"

namespace platform::usb {

namespace {
std::atomic<std::uint64_t> g_nextEntryID{1};

std::mutex& ServiceMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<Service>& InstalledService() {
  static std::shared_ptr<Service> service;
  return service;
}
}  // namespace

std::string ErrorText(int code) {
  switch (code) {
    case kIOReturnSuccess:
      return "(iokit/common) success";
    case kIOReturnNoDevice:
      return "(iokit/common) no such device";
    case kIOReturnExclusiveAccess:
      return "(iokit/common) exclusive access and device already open";
    case kIOReturnUnsupported:
      return "(iokit/common) unsupported function";
    case kIOReturnNotOpen:
      return "(iokit/common) device not open";
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "(iokit/common) error 0x%08x", static_cast<unsigned>(code));
      return text;
    }
  }
}

Entry::Entry(std::vector<std::string> classes, Value properties, std::shared_ptr<Entry> parent)
    : id_(g_nextEntryID.fetch_add(1)),
      classes_(classes.empty() ? std::vector<std::string>{"IOService"} : std::move(classes)),
      parent_(std::move(parent)),
      properties_(properties.isDictionary() ? std::move(properties) : Value::EmptyDictionary()) {}

bool Entry::ConformsTo(std::string_view className) const {
  for (const std::string& name : classes_)
    if (name == className) return true;
  return false;
}

std::shared_ptr<Entry> Entry::Ancestor(unsigned levels) {
  std::shared_ptr<Entry> entry = shared_from_this();
  for (unsigned i = 0; i < levels && entry; ++i) entry = entry->Parent();
  return entry;
}

std::shared_ptr<Entry> Entry::FindSelfOrAncestor(std::string_view className) {
  for (std::shared_ptr<Entry> entry = shared_from_this(); entry; entry = entry->Parent())
    if (entry->ConformsTo(className)) return entry;
  return nullptr;
}

Value Entry::Property(std::string_view key) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return properties_.get(key);
}

Value Entry::Properties() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return properties_;
}

void Entry::SetProperty(std::string_view key, Value value) {
  std::lock_guard<std::mutex> hold(mutex_);
  properties_.set(key, std::move(value));
}

bool Entry::IsTerminated() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return terminated_;
}

void Entry::MarkTerminated() {
  std::lock_guard<std::mutex> hold(mutex_);
  terminated_ = true;
}

std::string Entry::Description() const {
  const Value bsd = Property("BSD Name");
  std::string text = "<" + ClassName() + " #" + std::to_string(id_);
  if (bsd.isString()) text += " " + bsd.string();
  return text + ">";
}

bool Matches(const Entry& entry, const Value& matching) {
  if (!matching.isDictionary()) return false;
  for (const auto& [key, wanted] : matching.dictionary()) {
    if (key == kProviderClassKey) {
      if (!wanted.isString() || !entry.ConformsTo(wanted.string())) return false;
      continue;
    }
    if (entry.Property(key) != wanted) return false;
  }
  return true;
}

std::shared_ptr<Service> CurrentService() {
  std::lock_guard<std::mutex> hold(ServiceMutex());
  if (!InstalledService()) InstalledService() = SimulatedDevices::Shared();
  return InstalledService();
}

void SetService(std::shared_ptr<Service> service) {
  std::lock_guard<std::mutex> hold(ServiceMutex());
  InstalledService() = std::move(service);
}

}  // namespace platform::usb
