#pragma once
// Starting the privileged process, or becoming it. The application (run modes 1 and 2, and
// the heavy launcher) opens a socket pair, starts the set-user-ID Starter beside its
// executable with its end of the pair named in _QPX_FRAMEWORK_PRIVILEGED_HANDLE, and waits
// for "Running". The Starter starts the main executable again as root; that instance finds
// the handle, sends "Running" and serves requests until the pipe ends.
//
// The root role is taken only when the effective user is root AND the handle names an open
// Unix stream socket: a Dashboard that root starts by hand (developers, CI) has no handle,
// so it is an ordinary application that starts its privileged process like any other.

#include <spawn.h>

#include <string>

// The real LaunchPrivileged, installed as start-up's hook by QPX_Framework_App_RegisterClasses.
void QPX_Framework_LaunchPrivileged();

// True when this process is the root instance started through the Starter: effective user
// root and `fd` an open Unix stream socket.
bool QPX_Framework_Privileged_IsRootInstance(int fd);

// Takes the root role on `fd`: from here on every log entry goes over the pipe, an
// assertion logs and exits with status 1 (no GUI), "Running" is sent and requests are
// served until the pipe ends. Never returns.
[[noreturn]] void QPX_Framework_Privileged_BecomeRootInstance(int fd);

// "<bundle>/Contents/MacOS/<CFBundleExecutable> Starter" of the main bundle; empty without one.
std::string QPX_Framework_Privileged_StarterPath();

// How the Starter is started (posix_spawn); tests replace it to make the start fail.
using QPX_Framework_Privileged_SpawnFunction = int (*)(pid_t* pid, const char* path, char* const argv[],
                                                       char* const envp[]);
QPX_Framework_Privileged_SpawnFunction QPX_Framework_Privileged_SetSpawnFunction(
    QPX_Framework_Privileged_SpawnFunction spawn);
