#pragma once
// The main device record: one per plugged USB device, the shared dictionary that every part
// of the device layer fills and reads for that physical device ("Key", "IOObject",
// "Application Port", "Modem Storage", "Modem Thread", ...).
//
// The record is created, filled and removed on the main thread, but modem threads and
// per-device module threads keep it and read it (and the modem thread writes "Modem
// Thread"), so every access goes through the record's own recursive mutex. Values are
// handed out as copies; a compound change that must not interleave with others (read,
// change, write) runs inside With().

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/value.h"

class QPX_Framework_DeviceRecord;
using QPX_Framework_DeviceRecordPtr = std::shared_ptr<QPX_Framework_DeviceRecord>;

// Keys of the main device record.
extern const char* const QPX_Device_Key_Instance;            // "Instance"
extern const char* const QPX_Device_Key_Key;                 // "Key"
extern const char* const QPX_Device_Key_IOObject;            // "IOObject"
extern const char* const QPX_Device_Key_VendorString;        // "USB Vendor String"
extern const char* const QPX_Device_Key_ProductString;       // "USB Product String"
extern const char* const QPX_Device_Key_NDIS;                // "NDIS"
extern const char* const QPX_Device_Key_BundledDriverInfo;   // "Bundled Driver Info"
extern const char* const QPX_Device_Key_LoadDriverTimer;     // "Load Driver Timer"
extern const char* const QPX_Device_Key_NDISDelayTimer;      // "NDIS Delay Timer"
extern const char* const QPX_Device_Key_ApplicationPort;     // "Application Port"
extern const char* const QPX_Device_Key_ModemPort;           // "Modem Port"
extern const char* const QPX_Device_Key_WaitPorts;           // "WaitPorts"
extern const char* const QPX_Device_Key_EthernetInterfaces;  // "Ethernet Interfaces"
extern const char* const QPX_Device_Key_HuaweiHTTPBSDName;   // "HuaweiHTTP BSDName"
extern const char* const QPX_Device_Key_Mutex;               // "Mutex"
extern const char* const QPX_Device_Key_ModemID;             // "Modem ID"
extern const char* const QPX_Device_Key_ModemStorage;        // "Modem Storage"
extern const char* const QPX_Device_Key_PerDeviceThreads;    // "Per Device Threads"
extern const char* const QPX_Device_Key_ModemThread;         // "Modem Thread"
extern const char* const QPX_Device_Key_HuaweiHTTPThread;    // "HuaweiHTTP Thread"
extern const char* const QPX_Device_Key_CDObject;            // "QPX CD Object"
extern const char* const QPX_Device_Key_OtherObject;         // "QPX Other Object"
extern const char* const QPX_Device_Key_EjectTimer;          // "QPX Eject Timer"
extern const char* const QPX_Device_Key_DidSwitch;           // "QPX DidSwitch"
extern const char* const QPX_Device_Key_DABSDName;           // "DA BSD Name"
extern const char* const QPX_Device_Key_DAServiceObject;     // "DA Service Object"
extern const char* const QPX_Device_Key_DAPerformEject;      // "DA Perform Eject"
extern const char* const QPX_Device_Key_DADidEject;          // "DA Did Eject"

class QPX_Framework_DeviceRecord final : public platform::ValueObject,
                                         public std::enable_shared_from_this<QPX_Framework_DeviceRecord> {
 public:
  QPX_Framework_DeviceRecord() = default;
  explicit QPX_Framework_DeviceRecord(Value initial);
  static QPX_Framework_DeviceRecordPtr Make(Value initial = Value::EmptyDictionary());

  // Null when absent.
  Value Get(std::string_view key) const;
  bool Contains(std::string_view key) const;
  // A null value removes the key.
  void Set(std::string_view key, Value value);
  bool Remove(std::string_view key);
  // A copy of the whole dictionary.
  Value Snapshot() const;
  // "Key" (the instance key), or "" before it is set.
  std::string Key() const;

  // Typed readers of object values.
  template <class T>
  std::shared_ptr<T> GetObject(std::string_view key) const {
    return Get(key).objectAs<T>();
  }

  // Runs the function with the live dictionary under the record's mutex.
  void With(const std::function<void(Value& dictionary)>& function);

  std::recursive_mutex& Mutex() const { return mutex_; }

  // The record's "Key" and its keys; the values themselves are not shown (they hold timers
  // and objects with back references).
  std::string Description() const override;
  // The whole record rendered, for the level-1 log lines that show it.
  std::string DescribeContents() const;

  // The record held by a Value (null when it holds none).
  static QPX_Framework_DeviceRecordPtr From(const Value& value) {
    return value.objectAs<QPX_Framework_DeviceRecord>();
  }
  Value AsValue() { return Value::Object(shared_from_this()); }

 private:
  mutable std::recursive_mutex mutex_;
  Value dictionary_ = Value::EmptyDictionary();
};

// A plain recursive lock that travels in a record (its "Mutex"): it guards the record's "Per
// Device Threads" across their launch and their stop.
class QPX_Framework_Lock final : public platform::ValueObject {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }
  std::string Description() const override { return "<QPX_Framework_Lock>"; }

 private:
  std::recursive_mutex mutex_;
};
