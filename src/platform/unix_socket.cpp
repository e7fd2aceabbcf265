#include "platform/unix_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>

namespace platform {

bool IsUnixStreamSocket(int fd) {
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
  int type = 0;
  socklen_t length = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) return false;
  sockaddr_storage address{};
  socklen_t addressLength = sizeof address;
  return getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0 &&
         address.ss_family == AF_UNIX;
}

}  // namespace platform
