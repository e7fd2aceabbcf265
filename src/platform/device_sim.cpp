#include "platform/device_sim.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/plist.h"
#include "platform/ports.h"

namespace platform {

namespace {

using usb::EntryPtr;

struct Registration {
  usb::NoticeKind kind;
  Value matching;
  RunLoop* loop;
  usb::Service::Callback callback;
  std::atomic<bool> alive{true};
};

class SimNotification final : public usb::Notification {
 public:
  explicit SimNotification(std::shared_ptr<Registration> registration)
      : registration_(std::move(registration)) {}
  ~SimNotification() override { Cancel(); }
  void Cancel() override { registration_->alive.store(false); }

 private:
  std::shared_ptr<Registration> registration_;
};

struct Medium {
  EntryPtr entry;
  std::string bsdName;
  std::string volumeName;
  bool mountable = true;
  bool busy = false;
  bool mounted = false;
};

struct Device {
  std::uint64_t number = 0;
  std::string source;
  Value announcement;
  EntryPtr usbEntry;
  std::vector<EntryPtr> entries;  // the USB device first, then depth first
  std::vector<Medium> media;
  int openBusy = 0;
};

std::atomic<std::uint64_t> g_nextSession{0x4a10000};

void Complain(const std::string& source, const char* what) {
  std::fprintf(stderr, "device announcement %s: %s\n", source.empty() ? "(direct)" : source.c_str(), what);
}

Value Dict(const Value& value) { return value.isDictionary() ? value : Value::EmptyDictionary(); }

void Merge(Value& properties, const Value& extra) {
  if (!extra.isDictionary()) return;
  for (const auto& [key, value] : extra.dictionary()) properties.set(key, value);
}

// Builds the entries of an announcement; false (and nothing built) when it is unusable.
bool Build(const Value& announcement, const std::string& source, Device& device) {
  if (!announcement.isDictionary()) {
    Complain(source, "not a dictionary");
    return false;
  }
  const Value vendor = announcement.get("idVendor");
  const Value product = announcement.get("idProduct");
  if (!vendor.isNumber() || !product.isNumber()) {
    Complain(source, "idVendor and idProduct must be integers");
    return false;
  }
  Value usbProperties = Value::EmptyDictionary();
  usbProperties.set("idVendor", Value(vendor.toInt64()));
  usbProperties.set("idProduct", Value(product.toInt64()));
  if (announcement.get("bcdDevice").isNumber())
    usbProperties.set("bcdDevice", Value(announcement.get("bcdDevice").toInt64()));
  usbProperties.set("sessionID", Value(static_cast<long long>(g_nextSession.fetch_add(1))));
  for (const char* key : {"USB Vendor Name", "USB Product Name"})
    if (announcement.get(key).isString()) usbProperties.set(key, announcement.get(key));
  Merge(usbProperties, announcement.get("Properties"));

  std::vector<EntryPtr> entries;
  std::vector<Medium> media;
  auto device_entry = std::make_shared<usb::Entry>(
      std::vector<std::string>{usb::kClassUSBDevice, "IOService"}, usbProperties, nullptr);
  entries.push_back(device_entry);

  const Value interfaces = announcement.get("Interfaces");
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    const Value interface = interfaces.at(i);
    if (!interface.isDictionary()) {
      Complain(source, "an interface is not a dictionary");
      return false;
    }
    Value interfaceProperties = Value::EmptyDictionary();
    const Value number = interface.get(ports::kInterfaceNumberKey);
    interfaceProperties.set(ports::kInterfaceNumberKey,
                            number.isNumber() ? number : Value(static_cast<long long>(i)));
    Merge(interfaceProperties, interface.get("Properties"));
    auto interfaceEntry = std::make_shared<usb::Entry>(
        std::vector<std::string>{usb::kClassUSBInterface, "IOService"}, interfaceProperties, device_entry);
    entries.push_back(interfaceEntry);

    if (const Value serial = interface.get("Serial"); !serial.isNull()) {
      const Value callout = serial.get("Callout");
      if (!callout.isString() || callout.string().empty()) {
        Complain(source, "a serial port needs a Callout path");
        return false;
      }
      const Value driverClass = serial.get("Driver Class");
      auto driver = std::make_shared<usb::Entry>(
          std::vector<std::string>{driverClass.isString() ? driverClass.string() : "IOSerialDriverSync",
                                   "IOService"},
          Dict(serial.get("Driver Properties")), interfaceEntry);
      Value portProperties = Value::EmptyDictionary();
      portProperties.set(ports::kCalloutDeviceKey, callout);
      portProperties.set(ports::kDialinDeviceKey,
                         serial.get("Dialin").isString() ? serial.get("Dialin") : callout);
      if (serial.get("TTY Base Name").isString())
        portProperties.set(ports::kTTYBaseNameKey, serial.get("TTY Base Name"));
      if (serial.get("TTY Suffix").isString())
        portProperties.set(ports::kTTYSuffixKey, serial.get("TTY Suffix"));
      portProperties.set(ports::kSerialTypeKey, Value(ports::kSerialStream));
      Merge(portProperties, serial.get("Properties"));
      auto port = std::make_shared<usb::Entry>(std::vector<std::string>{usb::kClassSerialClient, "IOService"},
                                               portProperties, driver);
      entries.push_back(driver);
      entries.push_back(port);
    }
    if (const Value ethernet = interface.get("Ethernet"); !ethernet.isNull()) {
      const Value name = ethernet.get("BSD Name");
      if (!name.isString() || name.string().empty()) {
        Complain(source, "a network interface needs a BSD Name");
        return false;
      }
      Value properties = Value::EmptyDictionary();
      properties.set(ports::kBSDNameKey, name);
      Merge(properties, ethernet.get("Properties"));
      entries.push_back(std::make_shared<usb::Entry>(
          std::vector<std::string>{usb::kClassEthernetInterface, "IONetworkInterface", "IOService"},
          properties, interfaceEntry));
    }
    if (const Value medium = interface.get("Media"); !medium.isNull()) {
      const Value name = medium.get("BSD Name");
      if (!name.isString() || name.string().empty()) {
        Complain(source, "a medium needs a BSD Name");
        return false;
      }
      EntryPtr parent = interfaceEntry;
      if (medium.get("Driver Class").isString()) {
        parent = std::make_shared<usb::Entry>(
            std::vector<std::string>{medium.get("Driver Class").string(), "IOService"},
            Value::EmptyDictionary(), interfaceEntry);
        entries.push_back(parent);
      }
      const bool cd = medium.get("Kind").stringOr("Disk") == "CD";
      Value properties = Value::EmptyDictionary();
      properties.set(ports::kBSDNameKey, name);
      properties.set(ports::kWholeKey, Value(true));
      properties.set("Removable", Value(true));
      auto entry = std::make_shared<usb::Entry>(
          cd ? std::vector<std::string>{usb::kClassCDMedia, usb::kClassMedia, "IOService"}
             : std::vector<std::string>{usb::kClassMedia, "IOService"},
          properties, parent);
      entries.push_back(entry);
      Medium m;
      m.entry = entry;
      m.bsdName = name.string();
      m.volumeName = medium.get("Volume Name").stringOr(m.bsdName);
      m.mountable = medium.get("Mount").toBool(true);
      m.busy = medium.get("Busy").toBool(false);
      media.push_back(std::move(m));
    }
  }
  device.announcement = announcement;
  device.source = source;
  device.usbEntry = device_entry;
  device.entries = std::move(entries);
  device.media = std::move(media);
  device.openBusy = announcement.get("Open Busy").toInt(0);
  return true;
}

}  // namespace

struct SimulatedDevices::Impl : std::enable_shared_from_this<SimulatedDevices::Impl> {
  mutable std::mutex mutex;
  std::map<std::uint64_t, Device> devices;
  std::uint64_t nextDevice = 1;
  std::vector<std::shared_ptr<Registration>> registrations;
  RunLoop* approvalLoop = nullptr;
  Approval approval;
  std::vector<std::string> ejected;
  std::size_t refused = 0;

  int inotifyFd = -1;
  std::shared_ptr<FdSource> watchSource;
  std::string folder;

  // A queued notice: which registration gets which entry.
  struct Notice {
    std::shared_ptr<Registration> registration;
    EntryPtr entry;
  };

  // Under the mutex: the notices of these entries, in the given order.
  std::vector<Notice> CollectLocked(usb::NoticeKind kind, const std::vector<EntryPtr>& entries) {
    std::vector<Notice> notices;
    // Registrations that were cancelled are dropped here, once nothing can be queued to them.
    std::erase_if(registrations, [](const std::shared_ptr<Registration>& r) { return !r->alive.load(); });
    for (const EntryPtr& entry : entries)
      for (const auto& registration : registrations)
        if (registration->kind == kind && usb::Matches(*entry, registration->matching))
          notices.push_back({registration, entry});
    return notices;
  }

  static void Deliver(const std::vector<Notice>& notices) {
    for (const Notice& notice : notices) {
      std::shared_ptr<Registration> registration = notice.registration;
      EntryPtr entry = notice.entry;
      registration->loop->Post([registration, entry] {
        if (registration->alive.load()) registration->callback({entry});
      });
    }
  }

  // Under the mutex: the mount offers of a device's media.
  struct MountOffer {
    std::uint64_t device;
    std::string bsdName;
    EntryPtr entry;
    Value description;
  };
  std::vector<MountOffer> MountOffersLocked(const Device& device) {
    std::vector<MountOffer> offers;
    for (const Medium& medium : device.media) {
      if (!medium.mountable) continue;
      Value description = Value::EmptyDictionary();
      description.set(disk::kDescriptionBSDName, Value(medium.bsdName));
      description.set(disk::kDescriptionProtocol, Value("USB"));
      description.set(disk::kDescriptionVolumeName, Value(medium.volumeName));
      description.set(disk::kDescriptionWhole, Value(true));
      offers.push_back({device.number, medium.bsdName, medium.entry, description});
    }
    return offers;
  }

  // Offers the media for mounting on the approval loop (mounted at once without approval).
  void OfferMounts(std::vector<MountOffer> offers) {
    if (offers.empty()) return;
    RunLoop* loop = nullptr;
    {
      std::lock_guard<std::mutex> hold(mutex);
      loop = approvalLoop;
      if (!loop) {
        for (const MountOffer& offer : offers) SetMountedLocked(offer.device, offer.entry, true);
        return;
      }
    }
    std::weak_ptr<Impl> weak = shared_from_this();
    loop->Post([weak, offers = std::move(offers)] {
      const auto self = weak.lock();
      if (!self) return;
      for (const MountOffer& offer : offers) {
        Approval approval;
        {
          std::lock_guard<std::mutex> hold(self->mutex);
          if (offer.entry->IsTerminated()) continue;
          approval = self->approval;
        }
        std::optional<disk::Dissent> dissent;
        if (approval) dissent = approval(offer.description, offer.entry);
        std::lock_guard<std::mutex> hold(self->mutex);
        if (dissent)
          ++self->refused;
        else
          self->SetMountedLocked(offer.device, offer.entry, true);
      }
    });
  }

  void SetMountedLocked(std::uint64_t number, const EntryPtr& entry, bool mounted) {
    const auto it = devices.find(number);
    if (it == devices.end()) return;
    for (Medium& medium : it->second.media)
      if (medium.entry == entry) medium.mounted = mounted;
  }

  // Under the mutex: takes the device's entries out (marked terminated) and answers the
  // terminate notices, children first.
  std::vector<Notice> TerminateLocked(Device& device) {
    std::vector<EntryPtr> order(device.entries.rbegin(), device.entries.rend());
    for (const EntryPtr& entry : order) entry->MarkTerminated();
    device.entries.clear();
    device.media.clear();
    device.usbEntry.reset();
    return CollectLocked(usb::NoticeKind::Terminate, order);
  }

  // Plugs the built device under the number; answers the publish notices.
  std::vector<Notice> PublishLocked(Device& device) {
    return CollectLocked(usb::NoticeKind::Publish, device.entries);
  }

  // The device switches (or, with `sameAgain`, re-enumerates as it was): it leaves and comes
  // back under a new session.
  void Replug(std::uint64_t number, bool switching) {
    std::vector<Notice> gone;
    std::vector<Notice> back;
    std::vector<MountOffer> offers;
    {
      std::lock_guard<std::mutex> hold(mutex);
      const auto it = devices.find(number);
      if (it == devices.end()) return;
      Device& device = it->second;
      Value next = device.announcement;
      if (switching) next = device.announcement.get("Switch").get("Device");
      gone = TerminateLocked(device);
      Device rebuilt;
      if (!Build(next, device.source, rebuilt)) {
        devices.erase(it);
      } else {
        rebuilt.number = number;
        device = std::move(rebuilt);
        back = PublishLocked(device);
        offers = MountOffersLocked(device);
      }
    }
    Deliver(gone);
    Deliver(back);
    OfferMounts(std::move(offers));
  }

  // Posts a replug to run after what is queued now (the caller's completion first).
  void ReplugLater(RunLoop& loop, std::uint64_t number, bool switching) {
    std::weak_ptr<Impl> weak = shared_from_this();
    loop.Post([weak, number, switching] {
      if (const auto self = weak.lock()) self->Replug(number, switching);
    });
  }

  Device* FindDeviceOfEntryLocked(const EntryPtr& entry) {
    for (auto& [number, device] : devices)
      for (const EntryPtr& e : device.entries)
        if (e == entry) return &device;
    return nullptr;
  }

  std::pair<Device*, Medium*> FindMediumLocked(const std::string& bsdName) {
    for (auto& [number, device] : devices)
      for (Medium& medium : device.media)
        if (medium.bsdName == bsdName) return {&device, &medium};
    return {nullptr, nullptr};
  }

  void ReadFolderFile(const std::string& name, SimulatedDevices& owner) {
    if (name.empty() || name.front() == '.') return;
    const std::string path = folder + "/" + name;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    const std::optional<Value> announcement = plist::ReadFile(path);
    owner.UnplugSource(name);
    if (!announcement) {
      Complain(name, "not a readable property list");
      return;
    }
    owner.Plug(*announcement, name);
  }
};

class SimDeviceInterface final : public usb::DeviceInterface {
 public:
  SimDeviceInterface(std::weak_ptr<SimulatedDevices::Impl> impl, std::uint64_t number, EntryPtr entry)
      : impl_(std::move(impl)), number_(number), entry_(std::move(entry)) {}

  int Open() override {
    const auto impl = impl_.lock();
    if (!impl || entry_->IsTerminated()) return usb::kIOReturnNoDevice;
    std::lock_guard<std::mutex> hold(impl->mutex);
    const auto it = impl->devices.find(number_);
    if (it == impl->devices.end()) return usb::kIOReturnNoDevice;
    if (it->second.openBusy > 0) {
      --it->second.openBusy;
      return usb::kIOReturnExclusiveAccess;
    }
    open_ = true;
    return usb::kIOReturnSuccess;
  }

  int ReEnumerate(std::uint32_t /*options*/) override {
    if (!open_) return usb::kIOReturnNotOpen;
    const auto impl = impl_.lock();
    if (!impl || entry_->IsTerminated()) return usb::kIOReturnNoDevice;
    bool switching = false;
    RunLoop* loop = nullptr;
    {
      std::lock_guard<std::mutex> hold(impl->mutex);
      const auto it = impl->devices.find(number_);
      if (it == impl->devices.end()) return usb::kIOReturnNoDevice;
      const Value sw = it->second.announcement.get("Switch");
      switching = sw.get("Trigger").string() == "Reenumerate" && sw.get("Device").isDictionary();
      for (const auto& registration : impl->registrations)
        if (registration->alive.load()) {
          loop = registration->loop;
          break;
        }
    }
    // The device leaves once the caller is done with it, as a real one does after the
    // request returns.
    if (loop)
      impl->ReplugLater(*loop, number_, switching);
    else
      impl->Replug(number_, switching);
    return usb::kIOReturnSuccess;
  }

  int Close() override {
    open_ = false;
    return usb::kIOReturnSuccess;
  }

 private:
  std::weak_ptr<SimulatedDevices::Impl> impl_;
  std::uint64_t number_;
  EntryPtr entry_;
  bool open_ = false;
};

SimulatedDevices::SimulatedDevices() : impl_(std::make_shared<Impl>()) {}

SimulatedDevices::~SimulatedDevices() { StopWatching(); }

std::shared_ptr<SimulatedDevices> SimulatedDevices::Shared() {
  static const std::shared_ptr<SimulatedDevices> shared = std::make_shared<SimulatedDevices>();
  return shared;
}

std::string SimulatedDevices::DefaultFolder() {
  if (const char* folder = std::getenv("DASHBOARD_DEVICE_FOLDER"); folder && *folder) return folder;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/dashboard-devices";
  return "/tmp/dashboard-devices-" + std::to_string(::getuid());
}

std::uint64_t SimulatedDevices::Plug(const Value& announcement, const std::string& source) {
  Device device;
  if (!Build(announcement, source, device)) return 0;
  std::vector<Impl::Notice> notices;
  std::vector<Impl::MountOffer> offers;
  std::uint64_t number = 0;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    number = impl_->nextDevice++;
    device.number = number;
    Device& stored = impl_->devices[number] = std::move(device);
    notices = impl_->PublishLocked(stored);
    offers = impl_->MountOffersLocked(stored);
  }
  Impl::Deliver(notices);
  impl_->OfferMounts(std::move(offers));
  return number;
}

bool SimulatedDevices::Unplug(std::uint64_t number) {
  std::vector<Impl::Notice> notices;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    const auto it = impl_->devices.find(number);
    if (it == impl_->devices.end()) return false;
    notices = impl_->TerminateLocked(it->second);
    impl_->devices.erase(it);
  }
  Impl::Deliver(notices);
  return true;
}

bool SimulatedDevices::UnplugSource(const std::string& source) {
  std::vector<std::uint64_t> numbers;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    for (const auto& [number, device] : impl_->devices)
      if (device.source == source) numbers.push_back(number);
  }
  for (std::uint64_t number : numbers) Unplug(number);
  return !numbers.empty();
}

void SimulatedDevices::UnplugAll() {
  std::vector<std::uint64_t> numbers;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    for (const auto& [number, device] : impl_->devices) numbers.push_back(number);
  }
  for (std::uint64_t number : numbers) Unplug(number);
}

bool SimulatedDevices::WatchFolder(const std::string& folder, RunLoop& loop) {
  StopWatching();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "device folder %s: %s\n", folder.c_str(), std::strerror(errno));
    return false;
  }
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return false;
  if (::inotify_add_watch(fd, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
    ::close(fd);
    return false;
  }
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    impl_->inotifyFd = fd;
    impl_->folder = folder;
  }
  // Files already there were plugged before we looked.
  if (DIR* dir = ::opendir(folder.c_str())) {
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) impl_->ReadFolderFile(name, *this);
  }
  std::weak_ptr<Impl> weak = impl_;
  SimulatedDevices* owner = this;
  std::weak_ptr<SimulatedDevices> weakOwner = weak_from_this();
  auto source = loop.AddFd(fd, RunLoop::Readable, [weak, weakOwner, owner, fd](unsigned) {
    const auto self = weak.lock();
    if (!self) return;
    // Keeps the owner alive while its files are read (it may be a plain object in a test).
    const auto keep = weakOwner.lock();
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      const ssize_t length = ::read(fd, buffer, sizeof buffer);
      if (length <= 0) break;
      for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->len == 0) continue;
        const std::string name = event->name;
        if (name.empty() || name.front() == '.') continue;
        if (event->mask & (IN_DELETE | IN_MOVED_FROM))
          owner->UnplugSource(name);
        else if (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
          self->ReadFolderFile(name, *owner);
      }
    }
  });
  std::lock_guard<std::mutex> hold(impl_->mutex);
  impl_->watchSource = std::move(source);
  return true;
}

void SimulatedDevices::StopWatching() {
  std::shared_ptr<FdSource> source;
  int fd = -1;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    source = std::move(impl_->watchSource);
    fd = impl_->inotifyFd;
    impl_->inotifyFd = -1;
  }
  if (source) source->Invalidate();
  if (fd >= 0) ::close(fd);
}

std::size_t SimulatedDevices::DeviceCount() const {
  std::lock_guard<std::mutex> hold(impl_->mutex);
  return impl_->devices.size();
}

std::size_t SimulatedDevices::NotificationCount() const {
  std::lock_guard<std::mutex> hold(impl_->mutex);
  std::size_t count = 0;
  for (const auto& registration : impl_->registrations)
    if (registration->alive.load()) ++count;
  return count;
}

usb::EntryPtr SimulatedDevices::DeviceEntry(std::uint64_t number) const {
  std::lock_guard<std::mutex> hold(impl_->mutex);
  const auto it = impl_->devices.find(number);
  return it == impl_->devices.end() ? nullptr : it->second.usbEntry;
}

bool SimulatedDevices::IsMounted(const std::string& bsdName) const {
  std::lock_guard<std::mutex> hold(impl_->mutex);
  const auto [device, medium] = impl_->FindMediumLocked(bsdName);
  return medium && medium->mounted;
}

std::vector<std::string> SimulatedDevices::EjectedDisks() const {
  std::lock_guard<std::mutex> hold(impl_->mutex);
  return impl_->ejected;
}

std::size_t SimulatedDevices::RefusedMounts() const {
  std::lock_guard<std::mutex> hold(impl_->mutex);
  return impl_->refused;
}

std::shared_ptr<usb::Notification> SimulatedDevices::AddMatchingNotification(
    usb::NoticeKind kind, const Value& matching, RunLoop& loop, Callback callback,
    std::vector<usb::EntryPtr>* initial) {
  auto registration = std::make_shared<Registration>();
  registration->kind = kind;
  registration->matching = matching;
  registration->loop = &loop;
  registration->callback = std::move(callback);
  std::lock_guard<std::mutex> hold(impl_->mutex);
  impl_->registrations.push_back(registration);
  if (kind == usb::NoticeKind::Publish && initial) {
    for (const auto& [number, device] : impl_->devices)
      for (const EntryPtr& entry : device.entries)
        if (usb::Matches(*entry, matching)) initial->push_back(entry);
  }
  return std::make_shared<SimNotification>(registration);
}

std::vector<usb::EntryPtr> SimulatedDevices::MatchingEntries(const Value& matching) {
  std::vector<usb::EntryPtr> entries;
  std::lock_guard<std::mutex> hold(impl_->mutex);
  for (const auto& [number, device] : impl_->devices)
    for (const EntryPtr& entry : device.entries)
      if (usb::Matches(*entry, matching)) entries.push_back(entry);
  return entries;
}

std::unique_ptr<usb::DeviceInterface> SimulatedDevices::CreateDeviceInterface(const usb::EntryPtr& device,
                                                                              int* error) {
  std::lock_guard<std::mutex> hold(impl_->mutex);
  for (const auto& [number, plugged] : impl_->devices) {
    if (plugged.usbEntry && plugged.usbEntry == device) {
      if (error) *error = usb::kIOReturnSuccess;
      return std::make_unique<SimDeviceInterface>(impl_, number, device);
    }
  }
  if (error) *error = usb::kIOReturnNoDevice;
  return nullptr;
}

int SimulatedDevices::SetProperties(const usb::EntryPtr& entry, const Value& properties) {
  if (!entry || !properties.isDictionary()) return usb::kIOReturnUnsupported;
  std::uint64_t number = 0;
  bool switching = false;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    Device* device = impl_->FindDeviceOfEntryLocked(entry);
    if (!device) return usb::kIOReturnNoDevice;
    for (const auto& [key, value] : properties.dictionary()) entry->SetProperty(key, value);
    const Value sw = device->announcement.get("Switch");
    switching = sw.get("Trigger").string() == "Property" && sw.get("Device").isDictionary() &&
                properties.contains(sw.get("Trigger Key").string());
    number = device->number;
  }
  if (switching) impl_->Replug(number, true);
  return usb::kIOReturnSuccess;
}

void SimulatedDevices::SetMountApproval(RunLoop* loop, Approval approval) {
  std::lock_guard<std::mutex> hold(impl_->mutex);
  impl_->approval = approval ? std::move(approval) : Approval();
  impl_->approvalLoop = impl_->approval ? loop : nullptr;
}

void SimulatedDevices::Unmount(const std::string& bsdName, unsigned /*options*/, RunLoop& loop,
                               Completion completion) {
  std::optional<disk::Dissent> dissent;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    const auto [device, medium] = impl_->FindMediumLocked(bsdName);
    if (!medium)
      dissent = disk::Dissent{disk::kDAReturnNotFound, ""};
    else if (medium->busy)
      dissent = disk::Dissent{disk::kDAReturnBusy, ""};
    else
      medium->mounted = false;
  }
  if (completion) loop.Post([completion, dissent] { completion(dissent); });
}

void SimulatedDevices::Eject(const std::string& bsdName, RunLoop& loop, Completion completion) {
  std::optional<disk::Dissent> dissent;
  std::uint64_t number = 0;
  bool switching = false;
  std::vector<Impl::Notice> gone;
  {
    std::lock_guard<std::mutex> hold(impl_->mutex);
    const auto [device, medium] = impl_->FindMediumLocked(bsdName);
    if (!medium) {
      dissent = disk::Dissent{disk::kDAReturnNotFound, ""};
    } else if (medium->mounted) {
      dissent = disk::Dissent{disk::kDAReturnBusy, "Disk is mounted"};
    } else {
      impl_->ejected.push_back(bsdName);
      number = device->number;
      const Value sw = device->announcement.get("Switch");
      switching = sw.get("Trigger").string() == "Eject" && sw.get("Device").isDictionary();
      if (!switching) {
        // The medium goes away; the rest of the device stays.
        const EntryPtr entry = medium->entry;
        entry->MarkTerminated();
        std::erase_if(device->media, [&](const Medium& m) { return m.entry == entry; });
        std::erase(device->entries, entry);
        gone = impl_->CollectLocked(usb::NoticeKind::Terminate, {entry});
      }
    }
  }
  if (completion) loop.Post([completion, dissent] { completion(dissent); });
  Impl::Deliver(gone);
  if (switching) impl_->ReplugLater(loop, number, true);
}

std::string SimulatedDevices::WholeDiskBSDName(const usb::EntryPtr& media) {
  if (!media) return "";
  for (usb::EntryPtr entry = media; entry; entry = entry->Parent()) {
    if (!entry->ConformsTo(usb::kClassMedia)) break;
    if (entry->Property(ports::kWholeKey).toBool()) return entry->Property(ports::kBSDNameKey).string();
  }
  return media->Property(ports::kBSDNameKey).string();
}

}  // namespace platform
