// The one executable, in all its run modes: every library that knows classes by name enters
// them into the class registry here, before start-up walks the class initialisation table.

#include "app/app_classes.h"
#include "app/privileged_client.h"
#include "app/privileged_drivers.h"
#include "app/project.h"
#include "devices/device_hooks.h"
#include "devices/devices.h"
#include "devices/modem_at.h"
#include "framework/core/class_table.h"
#include "framework/core/startup.h"
#include "framework/util/launch_agent.h"
#include "framework/util/user_log.h"
#include "gui/builder_main_window.h"
#include "sms/pdu_encode.h"

int main(int argc, char** argv) {
  QPX_Framework_Core_RegisterClasses();
  QPX_Framework_Launcher_RegisterClasses();
  QPX_Framework_Project_Logging_RegisterClasses();
  QPX_Framework_App_RegisterClasses();
  QPX_Framework_Project_RegisterClasses();
  QPX_Framework_Devices_RegisterClasses();
  QPX_Framework_Devices_AT_RegisterClasses();
  QPX_Framework_Privileged_Drivers_RegisterCommands();
  QPX_Framework_Devices_SetPrivilegedExecute(&QPX_Framework_Privileged_Execute);
  QPX_Framework_SMS_Codec_RegisterClasses();
  QPX_Framework_GUI_RegisterClasses();
  return QPX_Framework_Main(argc, argv);
}
