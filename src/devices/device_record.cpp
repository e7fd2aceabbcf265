#include "devices/device_record.h"

const char* const QPX_Device_Key_Instance = "Instance";
const char* const QPX_Device_Key_Key = "Key";
const char* const QPX_Device_Key_IOObject = "IOObject";
const char* const QPX_Device_Key_VendorString = "USB Vendor String";
const char* const QPX_Device_Key_ProductString = "USB Product String";
const char* const QPX_Device_Key_NDIS = "NDIS";
const char* const QPX_Device_Key_BundledDriverInfo = "Bundled Driver Info";
const char* const QPX_Device_Key_LoadDriverTimer = "Load Driver Timer";
const char* const QPX_Device_Key_NDISDelayTimer = "NDIS Delay Timer";
const char* const QPX_Device_Key_ApplicationPort = "Application Port";
const char* const QPX_Device_Key_ModemPort = "Modem Port";
const char* const QPX_Device_Key_WaitPorts = "WaitPorts";
const char* const QPX_Device_Key_EthernetInterfaces = "Ethernet Interfaces";
const char* const QPX_Device_Key_HuaweiHTTPBSDName = "HuaweiHTTP BSDName";
const char* const QPX_Device_Key_Mutex = "Mutex";
const char* const QPX_Device_Key_ModemID = "Modem ID";
const char* const QPX_Device_Key_ModemStorage = "Modem Storage";
const char* const QPX_Device_Key_PerDeviceThreads = "Per Device Threads";
const char* const QPX_Device_Key_ModemThread = "Modem Thread";
const char* const QPX_Device_Key_HuaweiHTTPThread = "HuaweiHTTP Thread";
const char* const QPX_Device_Key_CDObject = "QPX CD Object";
const char* const QPX_Device_Key_OtherObject = "QPX Other Object";
const char* const QPX_Device_Key_EjectTimer = "QPX Eject Timer";
const char* const QPX_Device_Key_DidSwitch = "QPX DidSwitch";
const char* const QPX_Device_Key_DABSDName = "DA BSD Name";
const char* const QPX_Device_Key_DAServiceObject = "DA Service Object";
const char* const QPX_Device_Key_DAPerformEject = "DA Perform Eject";
const char* const QPX_Device_Key_DADidEject = "DA Did Eject";

QPX_Framework_DeviceRecord::QPX_Framework_DeviceRecord(Value initial)
    : dictionary_(initial.isDictionary() ? std::move(initial) : Value::EmptyDictionary()) {}

QPX_Framework_DeviceRecordPtr QPX_Framework_DeviceRecord::Make(Value initial) {
  return std::make_shared<QPX_Framework_DeviceRecord>(std::move(initial));
}

Value QPX_Framework_DeviceRecord::Get(std::string_view key) const {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  return dictionary_.get(key);
}

bool QPX_Framework_DeviceRecord::Contains(std::string_view key) const {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  return dictionary_.contains(key);
}

void QPX_Framework_DeviceRecord::Set(std::string_view key, Value value) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  dictionary_.set(key, std::move(value));
}

bool QPX_Framework_DeviceRecord::Remove(std::string_view key) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  return dictionary_.remove(key);
}

Value QPX_Framework_DeviceRecord::Snapshot() const {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  return dictionary_;
}

std::string QPX_Framework_DeviceRecord::Key() const { return Get(QPX_Device_Key_Key).string(); }

void QPX_Framework_DeviceRecord::With(const std::function<void(Value& dictionary)>& function) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  function(dictionary_);
}

std::string QPX_Framework_DeviceRecord::Description() const { return "<device record " + Key() + ">"; }

std::string QPX_Framework_DeviceRecord::DescribeContents() const {
  const Value copy = Snapshot();
  std::string text = "{";
  for (const auto& [key, value] : copy.dictionary()) {
    text += " " + key + " = ";
    // Objects describe themselves; nested records would only repeat their key.
    text += value.Description();
    text += ";";
  }
  return text + " }";
}
