// The test's stand-in for an authorisation service: installed set-user-ID root for the
// duration of a test (executable by one test group only), it runs its arguments as root.
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (setgid(0) != 0 || setuid(0) != 0) {
    std::perror("elevator");
    return 1;
  }
  char* empty[] = {nullptr};
  execve(argv[1], argv + 1, empty);
  std::perror("elevator");
  return 1;
}
