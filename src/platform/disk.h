#pragma once
// Disks and their mounting, as the device layer sees them: a session that approves or
// refuses the mount of every disk that appears, and the unmount and eject of a disk named
// by its BSD name. Media are entries of the USB registry (usb.h) whose "BSD Name" property
// names their disk.
//
// The session in use is installed once (SetSession); until then CurrentSession() answers the
// simulated back-end of device_sim.h. Callbacks run on the run loop given with them.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/usb.h"
#include "platform/value.h"

namespace platform {
class RunLoop;
}

namespace platform::disk {

// Status codes of refusals and failures.
inline constexpr int kDAReturnError = static_cast<int>(0xf8da0001);
inline constexpr int kDAReturnBusy = static_cast<int>(0xf8da0002);
inline constexpr int kDAReturnExclusiveAccess = static_cast<int>(0xf8da0004);
inline constexpr int kDAReturnNotFound = static_cast<int>(0xf8da0008);
// Unmount options.
inline constexpr unsigned kDAUnmountOptionWhole = 0x1;
inline constexpr unsigned kDAUnmountOptionForce = 0x80000;

// Keys of a disk description handed to the mount approval.
inline constexpr const char* kDescriptionBSDName = "DAMediaBSDName";
inline constexpr const char* kDescriptionProtocol = "DADeviceProtocol";  // "USB" for USB disks
inline constexpr const char* kDescriptionVolumeName = "DAVolumeName";
inline constexpr const char* kDescriptionWhole = "DAMediaWhole";

struct Dissent {
  int status = kDAReturnError;
  std::string text;
};
// "(status) text" or the text of a known status.
std::string DissentText(const Dissent& dissent);

class Session {
 public:
  // Answers a dissent to refuse the mount, nothing to approve it. `media` is the whole
  // disk's media entry (null when unknown).
  using Approval =
      std::function<std::optional<Dissent>(const Value& description, const usb::EntryPtr& media)>;
  using Completion = std::function<void(const std::optional<Dissent>& dissent)>;
  virtual ~Session() = default;

  // Installs (or with an empty function removes) the mount approval, called on `loop`.
  virtual void SetMountApproval(RunLoop* loop, Approval approval) = 0;
  // Unmounts the disk; the completion runs on `loop` with the dissent, if any.
  virtual void Unmount(const std::string& bsdName, unsigned options, RunLoop& loop,
                       Completion completion) = 0;
  virtual void Eject(const std::string& bsdName, RunLoop& loop, Completion completion) = 0;
  // The BSD name of the whole disk a media entry belongs to; empty when it has none.
  virtual std::string WholeDiskBSDName(const usb::EntryPtr& media) = 0;
};

std::shared_ptr<Session> CurrentSession();
void SetSession(std::shared_ptr<Session> session);

}  // namespace platform::disk
