#include "framework/core/class_table.h"

#include <cstdio>
#include <string>

#include "framework/core/class_registry.h"
#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/core/startup.h"
#include "framework/core/storage.h"
#include "framework/core/thread.h"

// Several rows name classes that this system does not contain; they are kept so the table
// reads as the one start order of the whole system, and are skipped because no class of
// that name is ever registered.
const std::array<QPX_Framework_ClassListRow, QPX_Framework_ClassListCount> ClassList = {{
    {"QPX_Framework_Debugger", 6},
    {"QPX_Framework_Obfuscation", 6},
    {"QPX_Framework_Thread", 14},
    {"QPX_Project", 6},
    {"QPX_Project_HeavyLauncher", 8},
    {"QPX_Framework_Storage", 14},
    {"QPX_Framework_Project_Logging", 10},
    {"QPX_Framework_PIN_Save", 2},
    {"_QPX_Framework_WLAN_Common", 2},
    {"QPX_Framework_Thread_InternetDetect", 2},
    {"QPX_Framework_LANDetect", 2},
    {"QPX_Framework_VOQTracker", 2},
    {"QPX_Framework_Thread_Modem", 2},
    {"QPX_Framework_Thread_HuaweiHTTP", 2},
    {"QPX_Framework_Thread_Device_Combined_AT", 2},
    {"QPX_Framework_Thread_Device_Combined_HuaweiHTTP", 2},
    {"QPX_Framework_VOQCrapCollector", 2},
    {"QPX_Framework_Module_ModemInit", 2},
    // The leading underscore is deliberate: the network-mode configuration module attaches
    // through its own registration, so this row never acts.
    {"_QPX_Framework_ModemNetworkModeConfiguration", 2},
    {"QPX_Framework_Module_NetworkMode", 2},
    {"QPX_Framework_Module_ModemPIN", 2},
    {"QPX_Framework_Module_Threshold", 2},
    {"QPX_Framework_ModemsConnected_Counter", 2},
    {"QPX_Framework_Module_ModemConnect", 2},
    {"QPX_Framework_Thread_Privileged", 6},
    {"QPX_Framework_Thread_Power", 2},
    {"QPX_Framework_Module_ConnectionStatistics", 2},
    {"QPX_Framework_Thread_ConnectionTracking", 2},
    {"QPX_Framework_ConnectionHistory", 2},
    {"QPX_Framework_ModemSetOperator_AT", 2},
    {"QPX_Framework_ModemSetOperator_HuaweiHTTP", 2},
    {"QPX_Framework_Update_Check", 2},
    {"QPX_Framework_Update_GUI", 2},
    {"QPX_Framework_Update_Silent", 2},
    {"QPX_Framework_Update_Project", 2},
    {"_QPX_Framework_SMS_Load", 2},
    {"_QPX_Framework_SMS_Options", 2},
    {"QPX_Framework_SMS_Save", 2},
    {"QPX_Framework_Module_SMS_Receive", 2},
    {"QPX_Framework_Module_SMS_Assemble", 2},
    {"QPX_Framework_SMS_Delete", 2},
    {"QPX_Framework_Module_SMS_Send", 2},
    {"QPX_Framework_SMS_UnreadCounter_Thread", 2},
    {"QPX_Framework_ThreadedSMS_Storage", 2},
    {"QPX_Framework_Devices", 10},
    {"QPX_Framework_Netstat_Thread", 2},
    {"QPX_Framework_WLAN_Device", 2},
    {"QPX_Framework_WLAN", 2},
    {"QPX_Framework_Phonebook", 2},
    {"QPX_Framework_Launcher", 2},
    {"QPX_Framework_Uninstaller", 6},
    {"QPX_Framework_ServicePrio_Debug", 2},
    {"QPX_Framework_WLAN_HuaweiHTTP", 2},
}};

bool InitClasses(int runMode) {
  const uint32_t modeBit = (runMode >= 0 && runMode < 32) ? (1u << runMode) : 0u;
  int initialised = 0;
  int absent = 0;
  for (const QPX_Framework_ClassListRow& row : ClassList) {
    if ((row.mask & modeBit) == 0) continue;
    const auto entry = QPX_Framework_ClassRegistry::Find(row.name);
    if (!entry) {
      ++absent;
      QPX_Log(QPX_LOG_CALLS, "%s not present", row.name);
      continue;
    }
    // An old argument-less initialiser would silently not run: refuse it loudly.
    if (entry->legacyInit)
      QPX_Framework_Assert_Failed(_QPX_Framework_Text_AssertionFailed, __FILE__, __LINE__,
                                  Value(std::string(row.name) + " still has the argument-less initialiser"));
    if (!entry->init) continue;
    QPX_Log(QPX_LOG_TRACE, "Initializing %s", row.name);
    if (!entry->init(row.name)) {
      QPX_Log(QPX_LOG_ERROR, "%s failed to initialize", row.name);
      return false;
    }
    ++initialised;
  }
  QPX_Log(QPX_LOG_MILESTONE, "Class table walked in run mode %d: %d initialized, %d not present", runMode,
          initialised, absent);
  return true;
}

bool InitClasses() { return InitClasses(QPX_Framework_Application_RunMode); }

bool _QPX_Framework_Init() {
  // The globals exist from the start of the process; only the main thread's mark is left.
  _QPX_Framework_MarkMainThread();
  return InitClasses();
}

void QPX_Framework_Core_RegisterClasses() {
  QPX_Framework_Thread_RegisterClasses();
  QPX_Framework_Storage_RegisterClasses();
}
