#pragma once
// The application frame's classes and hooks, entered before start-up walks the class table.

// Registers QPX_Framework_Thread_Privileged (the client thread), the privileged command
// classes of this library, and installs the real LaunchPrivileged into start-up.
void QPX_Framework_App_RegisterClasses();
