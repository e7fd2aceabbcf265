#pragma once
// The Starter: a small set-user-ID root program beside the main executable
// ("<bundle>/Contents/MacOS/Dashboard Starter"). Its one job is to start the main executable
// again as root, which then becomes the privileged process. It runs with root rights on
// behalf of any user, so it trusts nothing it is given:
//
// - Only members of one group (set at build time, default "netdev") may use it, unless the
//   real user already is root.
// - The executable it starts, and every folder above it, must be owned by root and not
//   writable by group or others (a root-owned folder with the sticky bit, such as /tmp, is
//   allowed): otherwise another user could swap the program that is about to run as root.
// - The started program gets a clean environment: the privileged handle, the locale
//   variables and a fixed PATH. Loader and toolkit variables never reach the root process.
// - It finds itself through /proc/self/exe, never through its arguments.
// - A caller who is not root must hand over the privileged handle as an open Unix stream
//   socket, so the root instance always takes the root role; and nothing else of the
//   caller's process (descriptors, file mode mask, working folder, signal dispositions,
//   core and file-size limits) reaches the root process.
//
// When it has lost its rights (the bundle was copied), it asks for an administrator's
// consent and repairs them: the repair runs as root, checks the folder chain, opens the
// Starter without following links and changes owner and mode on that descriptor.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace starter {

// The argument that makes the Starter (started as root by the authorisation service) repair
// its own rights and nothing else.
extern const char* const kRepairArgument;  // "--repair-starter-rights"
// Set when the Starter restarts itself after a repair, so a repair that did not take (a
// file system mounted without set-user-ID support) ends in the alert instead of asking again.
extern const char* const kRepairedVariable;  // "_QPX_STARTER_REPAIRED"
// The PATH of the started program.
extern const char* const kCleanPath;  // "/usr/sbin:/usr/bin:/sbin:/bin"

// The environment the main executable gets: _QPX_FRAMEWORK_PRIVILEGED_HANDLE, the locale
// variables (LANG, LANGUAGE, LC_*) and PATH = kCleanPath. A locale value that holds "/" is
// dropped, since the C library would read locale files from that path.
std::vector<std::string> CleanEnvironment(char* const* environment);

// The main executable for the Starter at `starterPath`: the path without its " Starter"
// ending; empty when the path does not end so or does not lie in "<bundle>/Contents/MacOS".
std::string TargetExecutable(const std::string& starterPath);

// The resolved path of the running program (/proc/self/exe); empty when it cannot be read.
std::string OwnExecutablePath();

// Checks that `path` and every folder above it are owned by root and not writable by group
// or others; a folder that has the sticky bit may be writable by all. Links are not
// followed: a link anywhere in the chain is refused. False with the reason in `problem`.
bool CheckOwnershipChain(const std::string& path, std::string& problem);
// The same for the folders above `path` only (the file itself is not looked at).
bool CheckFolderChain(const std::string& path, std::string& problem);

// True when the user is a member of the named group (as primary group or listed in the
// group database). False for an unknown user or group.
bool IsMemberOfGroup(uid_t user, const std::string& group);

// The alert text for the user's languages (codes in preference order, such as
// "de_DE.UTF-8"): the first one that is English or German picks its row; English otherwise.
struct AlertStrings {
  const char* language;
  const char* message;
  const char* button;
};
AlertStrings GetStrings(const std::vector<std::string>& preferredLanguages);
// The user's languages from LANGUAGE (a colon-separated list), LC_ALL, LC_MESSAGES and LANG.
std::vector<std::string> PreferredLanguagesFromEnvironment();

// Makes the file at `path` owned by root (user and group 0) with mode 04755, after checking
// its folder chain. The file is opened without following links and must be a regular file;
// owner and mode are changed on the open descriptor. With `mustBe`, the opened file must be
// that file (same device and inode): the Starter passes its own running program, so a name
// swapped after the consent was given cannot turn another program set-user-ID root. Must
// run as root. False with the reason in `problem`.
bool RepairRights(const std::string& path, std::string& problem, const struct stat* mustBe = nullptr);

// The descriptor a value of _QPX_FRAMEWORK_PRIVILEGED_HANDLE names: the whole value a
// decimal number; -1 for a missing, empty or other value.
int ParseHandle(const char* value);
// True when `fd` is an open Unix stream socket: the only descriptor on which the started
// program takes the root role. Without one it would run as an ordinary application, and an
// ordinary application has no business running as root for another user.
bool IsUnixStreamSocket(int fd);

// Leaves nothing of the calling user's process state to the program about to be started as
// root: every descriptor except the standard three and `keep` is closed, the file mode mask
// is 022, the working folder "/", every signal has its default disposition and none is
// blocked (an ignored SIGCHLD would make every wait for a child fail), core files are off
// (the root process holds passwords) and the file size is limited by no more than the hard
// limit, unlimited where root may raise it (a limit would cut short the files the root
// process writes). False with the reason in `problem`.
bool ResetProcessState(int keep, std::string& problem);

}  // namespace starter
