#include "platform/ports.h"

#include "platform/usb.h"

namespace platform::ports {

Value SerialPortMatching() {
  return Value{{usb::kProviderClassKey, Value(usb::kClassSerialClient)},
               {kSerialTypeKey, Value(kSerialStream)}};
}

Value EthernetMatching() { return Value{{usb::kProviderClassKey, Value(usb::kClassEthernetInterface)}}; }

}  // namespace platform::ports
