#pragma once
// The user's consent to act as root. The Starter uses it to restore its own set-user-ID
// rights after the bundle was copied: the consent is asked for, and the repair runs as root
// through the back-end.
//
// Back-ends: polkit's pkexec where it is installed (the polkit agent of the session asks for
// an administrator's password), and a simulated consent for tests. The simulated one is
// chosen only by code that is compiled for tests; no set-user-ID program reads a switch at
// run time that could select it.

#include <memory>
#include <string>
#include <vector>

namespace platform {

class Authorization {
 public:
  virtual ~Authorization() = default;
  // True when the right to act as root may be asked for (the back-end is usable) and, where
  // the back-end asks ahead of time, the user granted it.
  virtual bool Obtain() = 0;
  // Runs the program (an absolute path) as root with the arguments (not counting the
  // program itself) and waits for it. The program's exit status; -1 when it could not be
  // started or ended by a signal. Back-ends that ask while running (pkexec) answer their
  // own statuses for a refusal (126 dismissed, 127 not authorised).
  virtual int ExecuteWithPrivileges(const std::string& program,
                                    const std::vector<std::string>& arguments) = 0;
};

// "/usr/bin/pkexec"
extern const char* const kPkexecPath;

// pkexec when it is installed; null otherwise.
std::unique_ptr<Authorization> MakePolkitAuthorization();

// A consent decided in advance. Privileged execution goes through `elevator`, a program
// that runs its arguments as root (a test installs one); with no elevator the program runs
// with this process's own rights, so a repair fails unless the caller already is root.
class SimulatedAuthorization : public Authorization {
 public:
  SimulatedAuthorization(bool grant, std::string elevator);
  bool Obtain() override;
  int ExecuteWithPrivileges(const std::string& program, const std::vector<std::string>& arguments) override;
  int obtainCount() const { return obtainCount_; }

 private:
  bool grant_;
  bool granted_ = false;
  std::string elevator_;
  int obtainCount_ = 0;
};

// Runs argv (argv[0] an absolute path) with the given environment and waits; the exit
// status, or -1 when it could not be started or ended by a signal.
int RunAndWait(const std::vector<std::string>& argv, char* const* environment);

}  // namespace platform
