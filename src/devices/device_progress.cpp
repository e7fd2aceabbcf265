#include "devices/device_progress.h"

#include "devices/device_hooks.h"
#include "framework/core/log.h"

void QPX_Framework_Device_AppInfo::ReportProgress(int code, const Value& info) {
  if (!QPX_Framework_Devices_GetProgressHook()) return;
  Value report = Value::EmptyDictionary();
  report.set("Progress", Value(code));
  report.set("Info", info.isDictionary() ? info : Value::EmptyDictionary());
  QPX_Framework_Devices_PerformOnMain([report] { ReportProgressMain(report); });
}

void QPX_Framework_Device_AppInfo::ReportProgressMain(const Value& report) {
  // The hook is looked up again: the project may have gone meanwhile.
  const QPX_Framework_Devices_ProgressHook hook = QPX_Framework_Devices_GetProgressHook();
  if (!hook) return;
  hook(report.get("Progress").toInt(), report.get("Info"));
}
