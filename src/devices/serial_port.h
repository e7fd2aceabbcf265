#pragma once
// Serial ports: every modem channel the system talks to as a character device (the
// application and modem ports of a USB modem, and pseudo-terminals handed to the dial-up
// road) is one _QPX_Framework_SerialPort.
//
// All ports are served by ONE background thread, "Serial Ports", which waits on every open
// descriptor at once, moves bytes between the descriptors and the per-port buffers and then
// wakes the thread that owns the port. Owners never block on a descriptor: they append to
// the port's write buffer and take complete lines out of its read buffer.
//
// A real port (one opened by path, with an owner's wake-up signal) can be linked to a
// pseudo-terminal port ("virtual" pairing): from then on the bytes pass straight through
// between the modem and the pseudo-terminal, and the owner is no longer woken for them.
//
// Lifecycle: made (and opened) by QPX_Framework_SerialPort_Init, served while it is in the
// thread's set, ended for good by invalidate(), which every owner calls before letting go.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

class _QPX_Framework_Thread_Signal;

class _QPX_Framework_SerialPort final : public platform::ValueObject,
                                        public std::enable_shared_from_this<_QPX_Framework_SerialPort> {
 public:
  // One result of the line reader.
  struct Line {
    // True when the prompt given to the reader was found; `bytes` is then empty.
    bool prompt = false;
    // The line text followed by one NUL byte.
    Value::Bytes bytes;
  };

  // Use the factories below; public only for make_shared.
  struct PrivateTag {
    explicit PrivateTag() = default;
  };
  explicit _QPX_Framework_SerialPort(PrivateTag);
  ~_QPX_Framework_SerialPort() override;
  _QPX_Framework_SerialPort(const _QPX_Framework_SerialPort&) = delete;
  _QPX_Framework_SerialPort& operator=(const _QPX_Framework_SerialPort&) = delete;

  // Class initialiser: makes the process-wide state and starts the "Serial Ports" thread
  // once. YES when they exist. Every factory calls it.
  static bool QPX_Framework_Init();

  // A port for the device path, woken through the signal (null: a fresh signal bound to the
  // calling thread). The port is opened at once; only an open port joins the thread's set.
  // The port is returned whether the open succeeded or not (ask IsOpen); null only when the
  // process-wide state could not be made.
  static std::shared_ptr<_QPX_Framework_SerialPort> QPX_Framework_SerialPort_Init(
      const std::string& path, std::shared_ptr<_QPX_Framework_Thread_Signal> signal = nullptr);
  // A pseudo-terminal port: the port holds the master side, its path is the slave's name
  // (for the dial-up program to open). Null when no pseudo-terminal can be made.
  static std::shared_ptr<_QPX_Framework_SerialPort> QPX_Framework_SerialPort_InitVirtual();

  // NO when already open.
  bool QPX_Framework_SerialPort_Open();
  // YES when a descriptor was closed. The descriptor is closed on the closer thread, after
  // the serial-port thread has stopped watching it.
  bool QPX_Framework_SerialPort_Close();
  bool QPX_Framework_SerialPort_IsOpen() const;
  // Set after an unrecoverable read or write error or when the device went away: the port
  // is no longer served, no longer open, and its owner has been woken one last time.
  bool QPX_Framework_SerialPort_HasFailed() const;
  std::string QPX_Framework_SerialPort_Path() const;

  // Queues bytes for the device. Length 0 does nothing.
  void QPX_Framework_SerialPort_WriteBytes(const void* bytes, std::size_t length);
  void QPX_Framework_SerialPort_WriteCString(const char* text);
  void QPX_Framework_SerialPort_WriteData(std::string_view bytes);
  void QPX_Framework_SerialPort_WriteData(const Value::Bytes& bytes);

  // Everything received and not yet taken, appended to `into` (when given); the buffer is
  // emptied. Answers what was taken.
  std::string QPX_Framework_SerialPort_ReadData(std::string* into = nullptr);
  // One complete line, the prompt, or nothing. Lines end with CR; a LF at the start of the
  // buffer belongs to the previous line end. A prompt (when given) needs no line end: it is
  // recognised at the start of the buffer, after one LF. One empty line after another line
  // is swallowed; a second empty line in a row is returned (as a single NUL byte).
  std::optional<Line> QPX_Framework_SerialPort_ReadLine(
      const std::optional<std::string>& prompt = std::nullopt);
  // Discards pending input until the device has been quiet for 0.1 s. YES on success; a
  // closed port answers YES at once.
  bool QPX_Framework_SerialPort_Flush();

  // Links a pseudo-terminal port to this real port; bytes already received here go to the
  // pseudo-terminal first. This port must have a signal and no link yet, the other must be
  // unlinked (assertions).
  void QPX_Framework_SerialPort_SetVirtual(const std::shared_ptr<_QPX_Framework_SerialPort>& pty);
  // Unlinks and invalidates the linked pseudo-terminal port.
  void QPX_Framework_SerialPort_ReleaseVirtual();
  // The linked port (on a real port: the pseudo-terminal; on a pseudo-terminal: the real
  // port it serves), or null.
  std::shared_ptr<_QPX_Framework_SerialPort> QPX_Framework_SerialPort_Virtual() const;

  // Detaches the port for good: unlinks, drops the signal, leaves the thread's set, closes.
  void invalidate();

  std::string Description() const override;

  // ---- For tests ----
  // Bytes queued and not yet written.
  std::size_t PendingWriteCount() const;
  // Whether the port is in the thread's set.
  bool IsServed() const;
  // The number of ports in the thread's set.
  static std::size_t ServedPortCount();
  // Waits until the "Serial Ports" thread has gone through one full cycle that began after
  // the call, so everything the other side had written by then has been picked up.
  static bool WaitForCycle(double timeoutSeconds = 10.0);

 private:
  friend struct _QPX_Framework_SerialPort_Thread;

  bool PerformOpen();  // under mutex_
  void HandlePortWrite();
  // Answers bytes to forward to the linked port (pseudo-terminal pairing), read under
  // mutex_ and handed over once it is released.
  std::string HandlePortRead();
  // Closes the descriptor here (on the thread, before a reopen). Under mutex_.
  void CloseForReopen();
  // Marks the port failed for good and hands its descriptor to the closer. Under mutex_.
  void MarkFailed();
  bool ServedLocked() const;

  mutable std::recursive_mutex mutex_;
  std::string path_;
  int fd_ = 0;  // 0 or -1: closed
  std::string read_;
  std::string write_;
  bool error_ = false;
  std::shared_ptr<_QPX_Framework_Thread_Signal> signal_;
  bool previousWasSkippedEmptyLine_ = false;
  // On a real port the linked pseudo-terminal (owned); on a pseudo-terminal the real port.
  std::shared_ptr<_QPX_Framework_SerialPort> virtual_;
  std::weak_ptr<_QPX_Framework_SerialPort> virtualBack_;
  bool isPseudoTerminal_ = false;
  int virtualSlaveFd_ = -1;
  // Set by a reopen after end of file; cleared by any byte that moves. A second end of file
  // with nothing in between means the device is gone for good.
  bool reopenedWithoutTraffic_ = false;
  mutable std::string description_;
  std::atomic<bool> failed_{false};
};

using QPX_Framework_SerialPortPtr = std::shared_ptr<_QPX_Framework_SerialPort>;

// The line reader over a receive buffer, as QPX_Framework_SerialPort_ReadLine runs it under
// the port's lock: takes one line (or the prompt) from the front of `buffer`, keeping the
// reader's state in `previousWasSkippedEmptyLine`.
std::optional<_QPX_Framework_SerialPort::Line> QPX_Framework_SerialPort_TakeLine(
    std::string& buffer, bool& previousWasSkippedEmptyLine, const std::optional<std::string>& prompt);
