#include "platform/notifications.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/run_loop.h"

namespace platform {

struct NotificationCenter::Observation::Entry {
  std::string name;
  const void* sender = nullptr;
  Callback callback;
  Delivery delivery = Delivery::Posting;
  RunLoop* loop = nullptr;  // the observer's loop, for ObserverThread delivery
  std::thread::id thread;
  std::atomic<bool> alive{true};
};

NotificationCenter::Observation::Observation(std::weak_ptr<NotificationCenter*> center,
                                             std::shared_ptr<Entry> entry)
    : center_(std::move(center)), entry_(std::move(entry)) {}

NotificationCenter::Observation::~Observation() {
  entry_->alive.store(false);
  if (std::shared_ptr<NotificationCenter*> center = center_.lock()) (*center)->Remove(entry_);
}

NotificationCenter::NotificationCenter() : self_(std::make_shared<NotificationCenter*>(this)) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::Default() {
  // Never destroyed: observers may end during the process's exit, after other statics.
  static NotificationCenter* center = new NotificationCenter();
  return *center;
}

std::shared_ptr<NotificationCenter::Observation> NotificationCenter::AddObserver(const std::string& name,
                                                                                 const void* sender,
                                                                                 Callback callback,
                                                                                 Delivery delivery) {
  auto entry = std::make_shared<Observation::Entry>();
  entry->name = name;
  entry->sender = sender;
  entry->callback = std::move(callback);
  entry->delivery = delivery;
  entry->thread = std::this_thread::get_id();
  if (delivery == Delivery::ObserverThread) entry->loop = &RunLoop::Current();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
  }
  return std::shared_ptr<Observation>(new Observation(self_, std::move(entry)));
}

void NotificationCenter::Remove(const std::shared_ptr<Observation::Entry>& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(std::remove(entries_.begin(), entries_.end(), entry), entries_.end());
}

void NotificationCenter::Post(const std::string& name, const void* sender, const Value& userInfo) {
  Post(Notification{name, sender, userInfo});
}

void NotificationCenter::Post(const Notification& notification) {
  std::vector<std::shared_ptr<Observation::Entry>> matching;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : entries_) {
      if (!entry->name.empty() && entry->name != notification.name) continue;
      if (entry->sender != nullptr && entry->sender != notification.sender) continue;
      matching.push_back(entry);
    }
  }
  for (const auto& entry : matching) {
    if (!entry->alive.load()) continue;
    if (entry->delivery == Delivery::Posting) {
      entry->callback(notification);
      continue;
    }
    // The loop belongs to the observer's thread, which outlives the observation only while
    // the observation is alive; the entry is checked again on arrival.
    entry->loop->Post([entry, notification] {
      if (entry->alive.load()) entry->callback(notification);
    });
  }
}

std::size_t NotificationCenter::ObserverCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace platform
