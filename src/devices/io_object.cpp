#include "devices/io_object.h"

#include "framework/core/log.h"

QPX_Framework_IOObject::QPX_Framework_IOObject(platform::usb::EntryPtr object) : object_(std::move(object)) {
  QPX_Assert_Detail(object_ != nullptr, Value("a registry object handle of zero"));
}

std::string QPX_Framework_IOObject::Description() const { return object_->Description(); }

Value QPX_Framework_IOObject::Make(platform::usb::EntryPtr object) {
  return Value::Object(std::make_shared<QPX_Framework_IOObject>(std::move(object)));
}

platform::usb::EntryPtr QPX_Framework_IOObject::From(const Value& value) {
  const auto object = value.objectAs<QPX_Framework_IOObject>();
  return object ? object->QPX_Framework_IOObject_Object() : nullptr;
}
