// Stands in for the main executable in the Starter's tests: writes what it was started with
// (user and group IDs, arguments, environment) to the file named by its first argument.
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 3;
  std::fprintf(out, "uid=%d\neuid=%d\ngid=%d\negid=%d\n", int(getuid()), int(geteuid()), int(getgid()),
               int(getegid()));
  for (int i = 0; i < argc; ++i) std::fprintf(out, "arg=%s\n", argv[i]);
  for (char** entry = environ; *entry != nullptr; ++entry) std::fprintf(out, "env=%s\n", *entry);
  std::fclose(out);
  return 0;
}
