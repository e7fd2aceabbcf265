#pragma once
// A registry entry of the USB registry (platform/usb.h) as a record value: the USB device
// of a main device record, a medium, a network interface. Holding it keeps the entry.

#include <memory>
#include <string>

#include "platform/usb.h"
#include "platform/value.h"

class QPX_Framework_IOObject final : public platform::ValueObject {
 public:
  // A null entry is a programming error (assertion).
  explicit QPX_Framework_IOObject(platform::usb::EntryPtr object);
  const platform::usb::EntryPtr& QPX_Framework_IOObject_Object() const { return object_; }
  std::string Description() const override;

  static Value Make(platform::usb::EntryPtr object);
  // The entry held by a value, or null.
  static platform::usb::EntryPtr From(const Value& value);

 private:
  platform::usb::EntryPtr object_;
};
