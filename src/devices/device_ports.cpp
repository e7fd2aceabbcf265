#include "devices/device_ports.h"

#include <fnmatch.h>
#include <strings.h>

#include <cstdlib>
#include <mutex>

#include "devices/device_progress.h"
#include "devices/io_object.h"
#include "framework/core/log.h"
#include "framework/util/devices_xml.h"
#include "platform/ports.h"

namespace {

std::mutex& InstanceMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<QPX_Framework_Device_Ports>& PortsInstance() {
  static std::shared_ptr<QPX_Framework_Device_Ports> instance;
  return instance;
}
std::shared_ptr<QPX_Framework_Device_Ethernet>& EthernetInstance() {
  static std::shared_ptr<QPX_Framework_Device_Ethernet> instance;
  return instance;
}

std::shared_ptr<QPX_Framework_Device_Base> Watcher(const QPX_Framework_DeviceRecordPtr& main) {
  return main->GetObject<QPX_Framework_Device_Base>(QPX_Device_Key_Instance);
}

// "0" when absent; a text that is no number counts as 0 levels too.
unsigned ParentLevels(const QPX_Framework_XML_Element& match) {
  const std::optional<std::string> text = match.QPX_Framework_XML_Element_GetAttributeValue("Parent");
  if (!text) return 0;
  const long levels = std::strtol(text->c_str(), nullptr, 10);
  return levels > 0 ? static_cast<unsigned>(levels) : 0;
}

bool PropertyMatches(const Value& property, const std::string& pattern) {
  if (property.isString()) return ::fnmatch(pattern.c_str(), property.string().c_str(), FNM_CASEFOLD) == 0;
  if (property.isNumber()) return property.toInt64() == std::strtoll(pattern.c_str(), nullptr, 10);
  return false;
}

}  // namespace

// ------------------------------------------------------------------------------------------
// Serial ports

void QPX_Framework_Device_Ports::QPX_Framework_Device_Ports_Init() {
  std::shared_ptr<QPX_Framework_Device_Ports> watcher;
  {
    std::lock_guard<std::mutex> hold(InstanceMutex());
    if (PortsInstance()) return;
    watcher = PortsInstance() = std::make_shared<QPX_Framework_Device_Ports>();
  }
  QPX_Log(QPX_LOG_MILESTONE, "Adding BSD serial port notification");
  watcher->QPX_Framework_Device_RegisterNotification(platform::ports::SerialPortMatching());
}

std::shared_ptr<QPX_Framework_Device_Ports> QPX_Framework_Device_Ports::Instance() {
  std::lock_guard<std::mutex> hold(InstanceMutex());
  return PortsInstance();
}

void QPX_Framework_Device_Ports::_Reset() {
  std::shared_ptr<QPX_Framework_Device_Ports> watcher;
  {
    std::lock_guard<std::mutex> hold(InstanceMutex());
    watcher = std::move(PortsInstance());
  }
  if (watcher) watcher->CancelNotifications();
}

int QPX_Framework_Device_Ports::QPX_Framework_Device_Port_Type(const QPX_Framework_XML_Element& port) {
  const std::string type = port.QPX_Framework_XML_Element_GetAttributeValue("Type").value_or("");
  if (::strcasecmp(type.c_str(), "Application") == 0) return QPX_PortType_Application;
  if (::strcasecmp(type.c_str(), "Modem") == 0) return QPX_PortType_Modem;
  return QPX_PortType_None;
}

const char* QPX_Framework_Device_Ports::QPX_Framework_Device_Port_Key(int type) {
  switch (type) {
    case QPX_PortType_Application:
      return QPX_Device_Key_ApplicationPort;
    case QPX_PortType_Modem:
      return QPX_Device_Key_ModemPort;
    default:
      return nullptr;
  }
}

int QPX_Framework_Device_Ports::TypeOfPort(const QPX_Framework_XML_Element& device,
                                           const platform::usb::EntryPtr& port) {
  for (const QPX_Framework_XML_Element& element : device.QPX_Framework_XML_Element_GetChildren("Port")) {
    for (const QPX_Framework_XML_Element& match : element.QPX_Framework_XML_Element_GetChildren("Match")) {
      const std::optional<std::string> property =
          match.QPX_Framework_XML_Element_GetAttributeValue("Property");
      const std::optional<std::string> value = match.QPX_Framework_XML_Element_GetAttributeValue("Value");
      if (!property || !value) continue;
      const platform::usb::EntryPtr entry = port->Ancestor(ParentLevels(match));
      if (!entry) continue;
      QPX_Log(QPX_LOG_TRACE, "Checking for %s on a %s", property->c_str(), entry->ClassName().c_str());
      if (PropertyMatches(entry->Property(*property), *value)) return QPX_Framework_Device_Port_Type(element);
    }
  }
  return QPX_PortType_None;
}

void QPX_Framework_Device_Ports::QPX_Framework_Device_PublishMain(const platform::usb::EntryPtr& object,
                                                                  const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Assert_Detail(object->ConformsTo(platform::usb::kClassSerialClient),
                    Value("a serial port notice for " + object->Description()));
  const Value callout = object->Property(platform::ports::kCalloutDeviceKey);
  if (!callout.isString() || callout.string().empty()) return;
  const std::string path = callout.string();
  const auto watcher = Watcher(main);
  const auto common = watcher ? watcher->Common() : nullptr;

  // The first port of a plugged device waits for its siblings, so they are typed together.
  if (common && common->XML.Drivers && !main->Contains(QPX_Device_Key_WaitPorts)) {
    if (const auto wait = common->XML.Drivers.QPX_Framework_XML_Element_GetAttributeValue("WaitPorts")) {
      _QPX_Framework_XMLDelay(common->XML.Drivers, "WaitPorts");
      main->Set(QPX_Device_Key_WaitPorts, Value(*wait));
    }
  }

  const int type = common ? TypeOfPort(common->XML.Device, object) : QPX_PortType_None;
  Value info = Value::EmptyDictionary();
  info.set("Key", Value(main->Key()));
  if (type != QPX_PortType_None) {
    QPX_Log(QPX_LOG_MILESTONE, "Detected %s port \"%s\" on device: \"%s\"",
            type == QPX_PortType_Application ? "application" : "modem", path.c_str(), main->Key().c_str());
    watcher->QPX_Framework_Device_AddSerialPort(path, type, main);
    info.set("Port Type", Value(type));
  } else {
    QPX_Log(QPX_LOG_MILESTONE, "Detected an unidentified port \"%s\" on device: \"%s\"", path.c_str(),
            main->Key().c_str());
  }
  QPX_Framework_Device_AppInfo::ReportProgress(QPX_DeviceProgress_PortDetected, info);
}

void QPX_Framework_Device_Ports::QPX_Framework_Device_TerminateMain(
    const platform::usb::EntryPtr& /*object*/, const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Log(QPX_LOG_MILESTONE, "Lost BSD serial port on device: \"%s\"", main->Key().c_str());
  QPX_Framework_Device_AppInfo::ReportProgress(QPX_DeviceProgress_PortLost,
                                               Value{{"Key", Value(main->Key())}});
}

// ------------------------------------------------------------------------------------------
// Ethernet interfaces

void QPX_Framework_Device_Ethernet::QPX_Framework_Device_Ethernet_Init() {
  std::shared_ptr<QPX_Framework_Device_Ethernet> watcher;
  {
    std::lock_guard<std::mutex> hold(InstanceMutex());
    if (EthernetInstance()) return;
    watcher = EthernetInstance() = std::make_shared<QPX_Framework_Device_Ethernet>();
  }
  QPX_Log(QPX_LOG_MILESTONE, "Adding Ethernet notification");
  watcher->QPX_Framework_Device_RegisterNotification(platform::ports::EthernetMatching());
}

std::shared_ptr<QPX_Framework_Device_Ethernet> QPX_Framework_Device_Ethernet::Instance() {
  std::lock_guard<std::mutex> hold(InstanceMutex());
  return EthernetInstance();
}

void QPX_Framework_Device_Ethernet::_Reset() {
  std::shared_ptr<QPX_Framework_Device_Ethernet> watcher;
  {
    std::lock_guard<std::mutex> hold(InstanceMutex());
    watcher = std::move(EthernetInstance());
  }
  if (watcher) watcher->CancelNotifications();
}

void QPX_Framework_Device_Ethernet::QPX_Framework_Device_PublishMain(
    const platform::usb::EntryPtr& object, const QPX_Framework_DeviceRecordPtr& main) {
  const Value name = object->Property(platform::ports::kBSDNameKey);
  QPX_Log(QPX_LOG_MILESTONE, "Found Ethernet \"%s\" on device: \"%s\"", name.string().c_str(),
          main->Key().c_str());
  if (!name.isString() || name.string().empty()) return;
  main->With([&](Value& record) {
    Value interfaces = record.get(QPX_Device_Key_EthernetInterfaces);
    if (interfaces.isNull()) interfaces = Value::EmptyDictionary();
    interfaces.set(name.string(), QPX_Framework_IOObject::Make(object));
    record.set(QPX_Device_Key_EthernetInterfaces, interfaces);
  });
  if (const auto watcher = Watcher(main)) watcher->QPX_Framework_Device_AddEthernet(name.string(), main);
}

void QPX_Framework_Device_Ethernet::QPX_Framework_Device_TerminateMain(
    const platform::usb::EntryPtr& /*object*/, const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Log(QPX_LOG_MILESTONE, "Lost Ethernet on device: \"%s\"", main->Key().c_str());
}
