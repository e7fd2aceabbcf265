#include "devices/devices.h"

#include <strings.h>

#include <mutex>
#include <set>

#include "devices/device_hooks.h"
#include "devices/device_ports.h"
#include "devices/device_storage.h"
#include "devices/io_object.h"
#include "framework/core/class_registry.h"
#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/util/devices_xml.h"
#include "platform/device_sim.h"

namespace {

std::mutex& ManagerMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<QPX_Framework_Devices>& Manager() {
  static std::shared_ptr<QPX_Framework_Devices> manager;
  return manager;
}

std::optional<std::string> AttributeOf(const QPX_Framework_XML_Element& element, std::string_view name) {
  return element.QPX_Framework_XML_Element_GetAttributeValue(name);
}

// The root's bundle flag: "yes" or absent set, "no" clear, anything else an assertion.
bool BundleFlag(const QPX_Framework_XML_Element& root) {
  const std::optional<std::string> bundle = AttributeOf(root, "Bundle");
  if (!bundle || *bundle == "yes") return true;
  QPX_Assert_Detail(*bundle == "no", Value("devices XML Bundle=\"" + *bundle + "\""));
  return false;
}

Value DriverInfoOf(const QPX_Framework_XML_Element& root) {
  const std::optional<std::string> name = AttributeOf(root, "PackageName");
  const std::optional<std::string> version = AttributeOf(root, "PackageVersion");
  if (!name || !version) return Value();
  return Value{{"Name", Value(*name)}, {"Version", Value(*version)}};
}

// The root's NDIS type table, or null when it has no "NDIS" children.
Value NDISTable(const QPX_Framework_XML_Element& root) {
  Value table;
  for (const QPX_Framework_XML_Element& ndis : root.QPX_Framework_XML_Element_GetChildren("NDIS")) {
    const std::optional<std::string> type = AttributeOf(ndis, "Type");
    if (!type) continue;
    QPX_Assert_Detail(*type != "no", Value("an NDIS type named \"no\""));
    if (table.isNull()) table = Value::EmptyDictionary();
    QPX_Assert_Detail(!table.contains(*type), Value("NDIS type \"" + *type + "\" defined twice"));
    Value row = Value{{"Type", Value(*type)}};
    const std::optional<std::string> className =
        AttributeOf(ndis.QPX_Framework_XML_Element_GetChild("Class"), "Name");
    if (className) {
      if (!QPX_Framework_ClassRegistry::Exists(*className)) {
        // The back-end is not part of this build: the type stays known, without an object,
        // and its modems are used over their serial ports.
        QPX_Log(QPX_LOG_TRACE, "NDIS class \"%s\" of type \"%s\" is not available", className->c_str(),
                type->c_str());
      } else {
        QPX_Assert_Detail(QPX_Framework_ClassRegistry::IsKindOf(*className, "QPX_Framework_NDIS"),
                          Value("\"" + *className + "\" is no NDIS class"));
        row.set("Class", Value(*className));
      }
    }
    table.set(*type, row);
  }
  return table;
}

}  // namespace

bool QPX_Framework_Devices::QPX_Framework_Init(const std::string& className) {
  if (className != "QPX_Framework_Devices") return true;
  if (Get()) return true;
  if (!QPX_Framework_Devices_MainRunLoop())
    QPX_Framework_Devices_BindMainThread(platform::RunLoop::Current());
  // With the simulated back-end, devices are announced through the folder; those already
  // announced are plugged before the watchers register, so the watchers see them at once.
  if (platform::usb::CurrentService() ==
      std::static_pointer_cast<platform::usb::Service>(platform::SimulatedDevices::Shared()))
    platform::SimulatedDevices::Shared()->WatchFolder(platform::SimulatedDevices::DefaultFolder(),
                                                      *QPX_Framework_Devices_MainRunLoop());
  return Create(QPX_Framework_ReadDevicesXML());
}

bool QPX_Framework_Devices::Create(std::vector<QPX_Framework_XML_Element> roots) {
  if (Get()) return true;
  if (roots.empty()) {
    QPX_Log(QPX_LOG_ERROR, "No devices XML");
    return false;
  }
  auto manager = std::make_shared<QPX_Framework_Devices>();
  manager->DevicesXML = std::move(roots);
  {
    std::lock_guard<std::mutex> hold(ManagerMutex());
    Manager() = manager;
  }
  manager->CreateDevices();
  if (QPX_Framework_Application_RunMode != 3) {
    QPX_Framework_Device_Ports::QPX_Framework_Device_Ports_Init();
    QPX_Framework_Device_Ethernet::QPX_Framework_Device_Ethernet_Init();
    QPX_Framework_Device_Storage::QPX_Framework_Device_Storage_Start();
  }
  return true;
}

void QPX_Framework_Devices::CreateDevices() {
  for (const QPX_Framework_XML_Element& root : DevicesXML) {
    QPX_Assert_Detail(::strcasecmp(root.Name().c_str(), "Devices") == 0,
                      Value("a devices XML root named \"" + root.Name() + "\""));
    const bool bundle = BundleFlag(root);
    const Value driverInfo = bundle ? DriverInfoOf(root) : Value();
    const Value ndis = NDISTable(root);
    for (const QPX_Framework_XML_Element& device : root.QPX_Framework_XML_Element_GetChildren("Device")) {
      auto common = std::make_shared<QPX_Framework_Device_Common>();
      common->QPX_Framework_Device_Common_Init(device, ndis, bundle, driverInfo);
      for (const QPX_Framework_XML_Element& usb : device.QPX_Framework_XML_Element_GetChildren("USB")) {
        auto watcher = std::make_shared<QPX_Framework_Device_USB>();
        if (watcher->QPX_Framework_Device_Init(usb, common)) Devices.push_back(watcher);
      }
    }
  }
}

std::shared_ptr<QPX_Framework_Devices> QPX_Framework_Devices::Get() {
  std::lock_guard<std::mutex> hold(ManagerMutex());
  return Manager();
}

std::vector<QPX_Framework_XML_Element> QPX_Framework_Devices::GetDevicesXML() {
  const auto manager = Get();
  return manager ? manager->DevicesXML : std::vector<QPX_Framework_XML_Element>();
}

QPX_Framework_DeviceRecordPtr QPX_Framework_Devices::QPX_Framework_Devices_FindMain(
    const platform::usb::EntryPtr& object, bool create) {
  if (!object) return nullptr;
  const platform::usb::EntryPtr device = object->FindSelfOrAncestor(platform::usb::kClassUSBDevice);
  const QPX_Framework_DeviceRecordPtr main =
      device ? QPX_Framework_Device_USB::QPX_Framework_Devices_FindDevice(device, create) : nullptr;
  QPX_Log(QPX_LOG_TRACE, "%s", main ? main->Key().c_str() : "(no device record)");
  return main;
}

platform::usb::EntryPtr QPX_Framework_Devices::QPX_Framework_IOObjectForDeivce(
    const QPX_Framework_DeviceRecordPtr& main) {
  return main ? QPX_Framework_IOObject::From(main->Get(QPX_Device_Key_IOObject)) : nullptr;
}

void QPX_Framework_Devices::_Reset() {
  std::shared_ptr<QPX_Framework_Devices> manager;
  {
    std::lock_guard<std::mutex> hold(ManagerMutex());
    manager = std::move(Manager());
  }
  if (manager)
    for (const auto& watcher : manager->Devices) watcher->CancelNotifications();
  QPX_Framework_Device_Ports::_Reset();
  QPX_Framework_Device_Ethernet::_Reset();
  QPX_Framework_Device_Storage::_Reset();
  // Timers of records that are forgotten must not fire into them.
  for (const auto& main : QPX_Framework_Device_USB::Records())
    for (const char* key :
         {QPX_Device_Key_LoadDriverTimer, QPX_Device_Key_NDISDelayTimer, QPX_Device_Key_EjectTimer})
      if (const auto timer = QPX_Framework_DeviceTimer_From(main->Get(key))) timer->Invalidate();
  QPX_Framework_Device_USB::_ResetTables();
}

Value QPX_Framework_BundledDriverInfo() {
  static Value cached;
  static bool made = false;
  std::lock_guard<std::recursive_mutex> hold(QPX_Framework_GlobalMutex());
  if (!made) {
    const std::vector<QPX_Framework_XML_Element> roots = QPX_Framework_Devices::GetDevicesXML();
    if (!roots.empty()) {
      Value entries = Value::EmptySet();
      for (const QPX_Framework_XML_Element& root : roots) {
        const Value info = BundleFlag(root) ? DriverInfoOf(root) : Value();
        if (!info.isNull()) entries.append(info);
      }
      cached = entries;
      made = true;
    }
  }
  return made ? cached : Value::EmptySet();
}

void QPX_Framework_Devices_RegisterClasses() {
  QPX_Framework_ClassEntry entry;
  entry.name = "QPX_Framework_Devices";
  entry.init = &QPX_Framework_Devices::QPX_Framework_Init;
  QPX_Framework_ClassRegistry::Register(std::move(entry));
  QPX_Framework_ClassEntry ndis;
  ndis.name = "QPX_Framework_NDIS";
  QPX_Framework_ClassRegistry::Register(std::move(ndis));
}
