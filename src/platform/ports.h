#pragma once
// Serial ports and network interfaces of USB devices, as entries of the USB registry
// (usb.h): a serial port is an "IOSerialBSDClient" whose "IOCalloutDevice" is the path the
// program opens; a network interface is an "IOEthernetInterface" whose "BSD Name" is the
// interface name. Both sit below the USB interface that provides them.

#include "platform/value.h"

namespace platform::ports {

inline constexpr const char* kCalloutDeviceKey = "IOCalloutDevice";
inline constexpr const char* kDialinDeviceKey = "IODialinDevice";
inline constexpr const char* kTTYBaseNameKey = "IOTTYBaseName";
inline constexpr const char* kTTYSuffixKey = "IOTTYSuffix";
inline constexpr const char* kSerialTypeKey = "IOSerialBSDClientType";
inline constexpr const char* kSerialStream = "IOSerialStream";
inline constexpr const char* kBSDNameKey = "BSD Name";
inline constexpr const char* kWholeKey = "Whole";
inline constexpr const char* kInterfaceNumberKey = "bInterfaceNumber";

// {"IOProviderClass": "IOSerialBSDClient", "IOSerialBSDClientType": "IOSerialStream"}
Value SerialPortMatching();
// {"IOProviderClass": "IOEthernetInterface"}
Value EthernetMatching();

}  // namespace platform::ports
