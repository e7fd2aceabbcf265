#pragma once
// Whether a descriptor is a connected end of a Unix stream socket, such as one end of the
// socket pair between the application and its privileged process.

namespace platform {

bool IsUnixStreamSocket(int fd);

}  // namespace platform
