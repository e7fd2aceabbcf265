// Starts its arguments with a process state that a hostile user of the Starter could set up:
// a file mode mask of 0, ignored SIGCHLD and SIGTERM, a blocked SIGUSR1, core files allowed,
// a small (soft) file-size limit, and a descriptor open without close-on-exec. The Starter must
// hand none of it to the root process.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  umask(0);
  signal(SIGCHLD, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  rlimit core{};
  getrlimit(RLIMIT_CORE, &core);
  core.rlim_cur = core.rlim_max;
  setrlimit(RLIMIT_CORE, &core);
  rlimit size{};
  getrlimit(RLIMIT_FSIZE, &size);
  size.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &size);
  // An extra descriptor, well away from the ones the test hands over.
  const int extra = open("/dev/null", O_RDONLY);
  if (extra < 0 || dup2(extra, 42) < 0) return 3;
  execv(argv[1], argv + 1);
  std::perror("hostile_caller");
  return 1;
}
