#include "devices/switching.h"

#include <strings.h>
#include <sys/stat.h>

#include "devices/device_base.h"
#include "devices/device_hooks.h"
#include "devices/device_storage.h"
#include "devices/io_object.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/util/process.h"
#include "platform/bundle.h"

namespace {

struct Method {
  const char* name;
  QPX_Framework_Switching_Protocol run;
};
const Method kMethods[] = {
    {"Eject", &QPX_Framework_Switching_EjectCD::QPX_Framework_Switching_Do},
    {"Load Drivers", &QPX_Framework_Switching_LoadDrivers::QPX_Framework_Switching_Do},
    {"Run Program", &QPX_Framework_Switching_RunProgram::QPX_Framework_Switching_Do},
    {"Longcheer", &QPX_Framework_Switching_Longcheer::QPX_Framework_Switching_Do},
    {"Huawei HTTP", &QPX_Framework_Switching_HuaweiHTTP::QPX_Framework_Switching_Do},
};

std::shared_ptr<QPX_Framework_Device_Common> CommonOf(const QPX_Framework_DeviceRecordPtr& main) {
  const auto watcher = main->GetObject<QPX_Framework_Device_Base>(QPX_Device_Key_Instance);
  return watcher ? watcher->Common() : nullptr;
}

}  // namespace

QPX_Framework_Switching_Protocol QPX_Framework_Switching_Find(const std::string& method) {
  for (const Method& entry : kMethods)
    if (::strcasecmp(entry.name, method.c_str()) == 0) return entry.run;
  return nullptr;
}

bool QPX_Framework_Switching_Run(const std::string& method, const platform::usb::EntryPtr& media,
                                 const QPX_Framework_DeviceRecordPtr& main) {
  const QPX_Framework_Switching_Protocol run = QPX_Framework_Switching_Find(method);
  if (!run) {
    QPX_Log(QPX_LOG_ERROR, "Unknown switching method \"%s\"", method.c_str());
    return false;
  }
  run(media, main);
  return true;
}

void QPX_Framework_Switching_LoadDrivers::QPX_Framework_Switching_Do(
    const platform::usb::EntryPtr& /*media*/, const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Log(QPX_LOG_CALLS, "%s", main->Key().c_str());
  if (const auto common = CommonOf(main)) common->QPX_Framework_Device_Common_StartDriverTimer(main);
}

void QPX_Framework_Switching_RunProgram::QPX_Framework_Switching_Do(
    const platform::usb::EntryPtr& /*media*/, const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Log(QPX_LOG_CALLS, "%s", main->Key().c_str());
  const auto common = CommonOf(main);
  if (!common) return;
  const std::optional<std::string> program =
      common->XML.Storage.QPX_Framework_XML_Element_GetAttributeValue("Program");
  if (!program) return;
  const std::string path = QPX_Framework_Application_Root() + "/Contents/Resources/Drivers/" +
                           common->QPX_Framework_Device_Common_DriverDir() + "/" + *program;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    QPX_Log(QPX_LOG_ERROR, "No switching program at \"%s\"", path.c_str());
    return;
  }
  std::vector<std::string> argv;
  if (S_ISDIR(info.st_mode))
    argv = {platform::Bundle(path).executablePath()};  // an application bundle: its executable
  else
    argv = {path};
  QPX_Log(QPX_LOG_MILESTONE, "Running switching program \"%s\"", path.c_str());
  // The exit status is not examined: the device shows by reappearing whether it switched.
  QPX_Framework_Process_Run(argv);
}

void QPX_Framework_Switching_Longcheer::QPX_Framework_Switching_Do(
    const platform::usb::EntryPtr& media, const QPX_Framework_DeviceRecordPtr& main) {
  QPX_Log(QPX_LOG_CALLS, "%s", main->Key().c_str());
  QPX_Assert_Detail(media && media->ConformsTo(platform::usb::kClassCDMedia),
                    Value("a Longcheer switch of a medium that is no CD"));
  const platform::usb::EntryPtr device = QPX_Framework_IOObject::From(main->Get(QPX_Device_Key_IOObject));
  if (!device) return;
  for (platform::usb::EntryPtr entry = media; entry && entry != device; entry = entry->Parent()) {
    if (!entry->ConformsTo(kDriverClass)) continue;
    QPX_Log(QPX_LOG_TRACE, "Found Longcheer driver node");
    platform::usb::CurrentService()->SetProperties(entry, Value{{"USBModemMode", Value(1)}});
    return;
  }
}

void QPX_Framework_Switching_HuaweiHTTP::QPX_Framework_Switching_Do(
    const platform::usb::EntryPtr& /*media*/, const QPX_Framework_DeviceRecordPtr& /*main*/) {
  QPX_Log(QPX_LOG_CALLS, "QPX_Framework_Switching_HuaweiHTTP");
  const Value reply = QPX_Framework_Devices_PrivilegedExecute(Value{{"Command", Value("Switch HuaweiHTTP")}});
  QPX_Assert_Detail(reply.isNull() || reply.isDictionary(), Value("privileged reply " + reply.Description()));
}
