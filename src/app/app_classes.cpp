#include "app/app_classes.h"

#include <memory>

#include "app/privileged_client.h"
#include "app/privileged_files.h"
#include "app/privileged_launch.h"
#include "app/privileged_process.h"
#include "framework/core/class_registry.h"
#include "framework/core/startup.h"

void QPX_Framework_App_RegisterClasses() {
  QPX_Framework_ClassEntry client;
  client.name = "QPX_Framework_Thread_Privileged";
  client.init = &QPX_Framework_Thread_Privileged::QPX_Framework_Init;
  client.bases = {"QPX_Framework_Thread"};
  QPX_Framework_ClassRegistry::Register(std::move(client));

  QPX_Framework_Privileged_RegisterCommandClass("QPX_Framework_Privileged_SaveData", [] {
    return std::make_shared<QPX_Framework_Privileged_SaveData>();
  });

  QPX_Framework_SetLaunchPrivileged(&QPX_Framework_LaunchPrivileged);
}
