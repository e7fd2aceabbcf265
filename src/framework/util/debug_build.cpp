#include "framework/util/debug_build.h"

#include "framework/core/startup.h"
#include "platform/bundle.h"

bool QPX_Framework_IsDebugBuild(const Value& info, const std::string& buildID) {
  if (info.get("QPX Debug Build").toBool()) return true;
  return buildID.rfind("DEBUG", 0) == 0;
}

bool QPX_Framework_IsDebugBuild() {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::Main();
  const Value info = bundle ? bundle->infoDictionary() : Value();
  std::string buildID = QPX_Framework_ApplicationInfo.buildID;
  if (buildID.empty()) buildID = info.get("QPX Build ID").stringOr("");
  return QPX_Framework_IsDebugBuild(info, buildID);
}
