#include "devices/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "devices/closer_thread.h"
#include "framework/core/globals.h"
#include "framework/core/log.h"
#include "framework/core/thread.h"

namespace {

constexpr std::size_t kReadChunk = 1024;

std::string ErrorText(int error) { return std::strerror(error); }

void SetCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace

// The process-wide state of the serial-port thread. Made once, never freed: the thread
// runs for the life of the process.
struct _QPX_Framework_SerialPort_Thread {
  std::mutex portsMutex;
  std::set<QPX_Framework_SerialPortPtr> ports;

  // Cycle starts of the thread, for the close handshake: a closing owner waits until a cycle
  // that began after its descriptor was withdrawn, so the descriptor is in no poll set when
  // it is finally closed (and its number reused).
  std::mutex syncMutex;
  std::condition_variable syncChanged;
  std::uint64_t cycleStarts = 0;

  // Anybody writes one byte to wake the thread. Both ends are non-blocking: when the pipe
  // is full a wake-up is pending anyway.
  int pipe[2] = {-1, -1};

  void Wake() const {
    const char byte = 0;
    ssize_t ignored = write(pipe[1], &byte, 1);
    (void)ignored;
  }

  void Run();
  bool WaitForNewCycle(std::uint64_t cyclesAfterNow, double timeoutSeconds = -1);
};

namespace {

// Published once under the global mutex; read without it afterwards.
std::atomic<_QPX_Framework_SerialPort_Thread*> theThread{nullptr};

}  // namespace

bool _QPX_Framework_SerialPort_Thread::WaitForNewCycle(std::uint64_t cyclesAfterNow, double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(syncMutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  // One wake-up per cycle: a cycle blocks in poll until something wakes it.
  for (std::uint64_t i = 0; i < cyclesAfterNow; ++i) {
    const std::uint64_t target = cycleStarts + 1;
    Wake();
    auto reached = [&] { return cycleStarts >= target; };
    if (timeoutSeconds < 0)
      syncChanged.wait(lock, reached);
    else if (!syncChanged.wait_until(lock, deadline, reached))
      return false;
  }
  return true;
}

void _QPX_Framework_SerialPort_Thread::Run() {
  QPX_Framework_SetThreadName(std::string("Serial Ports"));
  pthread_setname_np(pthread_self(), "Serial Ports");

  struct Watched {
    QPX_Framework_SerialPortPtr port;
    int fd;
  };
  std::vector<pollfd> fds;
  std::vector<Watched> watched;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(syncMutex);
      ++cycleStarts;
    }
    syncChanged.notify_all();

    fds.clear();
    watched.clear();
    fds.push_back({pipe[0], POLLIN, 0});
    {
      std::lock_guard<std::mutex> lock(portsMutex);
      for (const QPX_Framework_SerialPortPtr& port : ports) {
        std::lock_guard<std::recursive_mutex> portLock(port->mutex_);
        if (!port->ServedLocked()) continue;
        short events = POLLIN;
        if (!port->write_.empty()) events |= POLLOUT;
        fds.push_back({port->fd_, events, 0});
        watched.push_back({port, port->fd_});
      }
    }

    // No time limit: the pipe wakes the thread for anything that changes the sets.
    int ready = poll(fds.data(), fds.size(), -1);
    if (ready < 1) {
      if (ready < 0 && errno == EINTR) continue;
      QPX_Log(QPX_LOG_ERROR, "poll() failed: %s", ErrorText(errno).c_str());
      std::this_thread::sleep_for(std::chrono::seconds(1));
      continue;
    }
    if (fds[0].revents & POLLIN) {
      char drain[128];
      while (read(pipe[0], drain, sizeof drain) > 0) {
      }
    }

    for (std::size_t i = 0; i < watched.size(); ++i) {
      const short revents = fds[i + 1].revents;
      if (revents == 0) continue;
      const QPX_Framework_SerialPortPtr& port = watched[i].port;
      std::string forward;
      QPX_Framework_SerialPortPtr linked;
      std::shared_ptr<_QPX_Framework_Thread_Signal> signal;
      {
        std::lock_guard<std::recursive_mutex> portLock(port->mutex_);
        // The owner may have closed (and the thread reopened) the port since the poll set was
        // made: only the descriptor that was polled is served.
        if (!port->ServedLocked() || port->fd_ != watched[i].fd) continue;
        bool ran = false;
        if (revents & POLLOUT) {
          port->HandlePortWrite();
          ran = true;
        }
        if ((revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) && !port->error_ && port->fd_ > 0) {
          forward = port->HandlePortRead();
          ran = true;
        }
        if (!forward.empty()) linked = port->virtual_ ? port->virtual_ : port->virtualBack_.lock();
        if (ran && !port->virtual_ && !port->isPseudoTerminal_) signal = port->signal_;
      }
      // Passed on outside this port's lock, so the two locks of a pair are never taken in
      // opposite orders by this thread and by an owner that links or unlinks them.
      if (linked) {
        std::lock_guard<std::recursive_mutex> linkedLock(linked->mutex_);
        linked->write_.append(forward);
      }
      if (signal) signal->Signal();
    }
  }
}

// ---- Construction ----

_QPX_Framework_SerialPort::_QPX_Framework_SerialPort(PrivateTag) {}

_QPX_Framework_SerialPort::~_QPX_Framework_SerialPort() {
  // Only a port that never joined the thread's set (or left it in invalidate) gets here, so
  // nothing polls the descriptor any more.
  if (fd_ > 0) close(fd_);
  if (virtualSlaveFd_ >= 0) close(virtualSlaveFd_);
}

bool _QPX_Framework_SerialPort::QPX_Framework_Init() {
  std::lock_guard<std::recursive_mutex> lock(QPX_Framework_GlobalMutex());
  if (theThread.load() != nullptr) return true;
  auto* state = new _QPX_Framework_SerialPort_Thread;
  if (pipe2(state->pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    QPX_Log(QPX_LOG_ERROR, "pipe() failed: %s", ErrorText(errno).c_str());
    delete state;
    return false;
  }
  theThread.store(state);
  std::thread([state] { state->Run(); }).detach();
  return true;
}

QPX_Framework_SerialPortPtr _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Init(
    const std::string& path, std::shared_ptr<_QPX_Framework_Thread_Signal> signal) {
  if (!QPX_Framework_Init()) return nullptr;
  QPX_Log(QPX_LOG_CALLS, "%s", path.c_str());
  auto port = std::make_shared<_QPX_Framework_SerialPort>(PrivateTag());
  port->path_ = path;
  port->signal_ = signal ? std::move(signal) : _QPX_Framework_Thread_Signal::Make();
  if (port->QPX_Framework_SerialPort_Open()) {
    {
      std::lock_guard<std::mutex> lock(theThread.load()->portsMutex);
      theThread.load()->ports.insert(port);
    }
    theThread.load()->Wake();
  }
  return port;
}

QPX_Framework_SerialPortPtr _QPX_Framework_SerialPort::QPX_Framework_SerialPort_InitVirtual() {
  if (!QPX_Framework_Init()) return nullptr;
  auto port = std::make_shared<_QPX_Framework_SerialPort>(PrivateTag());
  int master = -1;
  int slave = -1;
  char name[256] = {0};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    QPX_Log(QPX_LOG_ERROR, "openpty() failed: %s", ErrorText(errno).c_str());
    return nullptr;
  }
  SetCloseOnExec(master);
  SetCloseOnExec(slave);
  port->fd_ = master;
  port->virtualSlaveFd_ = slave;
  port->isPseudoTerminal_ = true;
  port->path_ = name;
  QPX_Log(QPX_LOG_MILESTONE, "Pseudo tty is %s", port->path_.c_str());
  // Only this user's dial-up program may open the slave: the link carries the user's
  // traffic and credentials.
  if (fchmod(slave, 0600) != 0)
    QPX_Log(QPX_LOG_ERROR, "fchmod(%s) failed: %s", port->path_.c_str(), ErrorText(errno).c_str());
  ioctl(slave, TIOCNXCL);
  int flags = fcntl(master, F_GETFL);
  if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0)
    QPX_Log(QPX_LOG_ERROR, "fcntl(%s) failed: %s", port->path_.c_str(), ErrorText(errno).c_str());
  {
    std::lock_guard<std::mutex> lock(theThread.load()->portsMutex);
    theThread.load()->ports.insert(port);
  }
  return port;
}

// ---- Open and close ----

bool _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Open() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (fd_ > 0) return false;
  // A pseudo-terminal port is never opened by path: its path is the slave's, and the port
  // would talk to itself.
  if (isPseudoTerminal_) return false;
  return PerformOpen();
}

bool _QPX_Framework_SerialPort::PerformOpen() {
  const char* step = "open";
  int fd = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  int error = errno;
  if (fd >= 0) {
    termios attributes{};
    step = "tcgetattr";
    if (tcgetattr(fd, &attributes) == 0) {
      cfmakeraw(&attributes);
      step = "tcsetattr";
      if (tcsetattr(fd, TCSANOW, &attributes) == 0) {
        fd_ = fd;
        return true;
      }
    }
    error = errno;
    close(fd);
  }
  QPX_Log(QPX_LOG_ERROR, "%s(%s) failed: %s", step, path_.c_str(), ErrorText(error).c_str());
  fd_ = -1;
  return false;
}

bool _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Close() {
  int fd = -1;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    QPX_Log(QPX_LOG_CALLS, "%s (%d)", path_.c_str(), fd_);
    if (fd_ > 0) {
      fd = fd_;
      fd_ = -1;
    }
  }
  if (fd > 0) {
    // The thread may be polling the descriptor right now: wait for a cycle that began after
    // it was withdrawn, then let the closer close it (closing a modem tty can block).
    if (auto* thread = theThread.load()) thread->WaitForNewCycle(1);
    QPX_Framework_CloserThread::CloseHandle(fd);
  }
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (virtualSlaveFd_ >= 0) {
      close(virtualSlaveFd_);
      virtualSlaveFd_ = -1;
    }
  }
  return fd > 0;
}

bool _QPX_Framework_SerialPort::QPX_Framework_SerialPort_IsOpen() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return fd_ > 0;
}

bool _QPX_Framework_SerialPort::QPX_Framework_SerialPort_HasFailed() const {
  return failed_.load(std::memory_order_acquire);
}

std::string _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Path() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return path_;
}

bool _QPX_Framework_SerialPort::ServedLocked() const {
  return (signal_ || virtual_ || !virtualBack_.expired()) && !error_ && fd_ > 0;
}

void _QPX_Framework_SerialPort::MarkFailed() {
  error_ = true;
  // A failed port is closed, whichever error the vanished device happened to report (a read
  // may end with EOF or with EIO). Nothing polls the descriptor any more (error_); the closer
  // closes it, so its number is not reused under an owner that may still be flushing it.
  if (fd_ > 0) QPX_Framework_CloserThread::CloseHandle(fd_);
  fd_ = -1;
  failed_.store(true, std::memory_order_release);
}

void _QPX_Framework_SerialPort::CloseForReopen() {
  // On the serial-port thread itself, which is the one poller: nothing else watches the
  // descriptor, so it can be closed here.
  if (fd_ > 0) close(fd_);
  fd_ = -1;
}

// ---- The thread's work (port mutex held) ----

void _QPX_Framework_SerialPort::HandlePortWrite() {
  std::size_t written = 0;
  while (!error_ && written < write_.size()) {
    ssize_t n = write(fd_, write_.data() + written, write_.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      reopenedWithoutTraffic_ = false;
      break;  // the rest waits for the next writable cycle
    }
    if (n == 0) break;
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN) break;
    QPX_Log(QPX_LOG_ERROR, "write(%s=%d) failed: %s", path_.c_str(), fd_, ErrorText(error).c_str());
    if (error == EIO && !isPseudoTerminal_ && !reopenedWithoutTraffic_) {
      CloseForReopen();
      if (PerformOpen()) {
        reopenedWithoutTraffic_ = true;
        continue;
      }
    }
    MarkFailed();
  }
  write_.erase(0, written);
}

std::string _QPX_Framework_SerialPort::HandlePortRead() {
  char buffer[kReadChunk];
  ssize_t n = read(fd_, buffer, sizeof buffer);
  if (n > 0) {
    reopenedWithoutTraffic_ = false;
    // A linked pair passes the bytes straight through.
    if (virtual_ || !virtualBack_.expired()) return std::string(buffer, static_cast<std::size_t>(n));
    read_.append(buffer, static_cast<std::size_t>(n));
    return {};
  }
  if (n == 0) {
    QPX_Log(QPX_LOG_ERROR, "read(%s) returned 0", path_.c_str());
    // A pseudo-terminal is never reopened by path; a device that ends again right after a
    // reopen is gone.
    if (isPseudoTerminal_ || reopenedWithoutTraffic_) {
      CloseForReopen();
      MarkFailed();
      return {};
    }
    CloseForReopen();
    if (PerformOpen())
      reopenedWithoutTraffic_ = true;
    else
      MarkFailed();
    return {};
  }
  const int error = errno;
  if (error == EINTR || error == EAGAIN) return {};
  QPX_Log(QPX_LOG_ERROR, "read(%s) failed: %s", path_.c_str(), ErrorText(error).c_str());
  MarkFailed();
  return {};
}

// ---- Owner side ----

void _QPX_Framework_SerialPort::QPX_Framework_SerialPort_WriteBytes(const void* bytes, std::size_t length) {
  if (length == 0 || bytes == nullptr) return;
  const char* data = static_cast<const char*>(bytes);
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // With nothing queued, try the descriptor at once: it is non-blocking, so this never
    // waits, and the common short command leaves without a round through the thread.
    if (write_.empty() && ServedLocked() && !virtual_) {
      ssize_t n = write(fd_, data, length);
      if (n > 0) {
        reopenedWithoutTraffic_ = false;
        data += n;
        length -= static_cast<std::size_t>(n);
        if (length == 0) return;
      }
      // Errors are left to the thread, which reopens or marks the port.
    }
    write_.append(data, length);
  }
  if (auto* thread = theThread.load()) thread->Wake();
}

void _QPX_Framework_SerialPort::QPX_Framework_SerialPort_WriteCString(const char* text) {
  if (text != nullptr) QPX_Framework_SerialPort_WriteBytes(text, std::strlen(text));
}

void _QPX_Framework_SerialPort::QPX_Framework_SerialPort_WriteData(std::string_view bytes) {
  QPX_Framework_SerialPort_WriteBytes(bytes.data(), bytes.size());
}

void _QPX_Framework_SerialPort::QPX_Framework_SerialPort_WriteData(const Value::Bytes& bytes) {
  QPX_Framework_SerialPort_WriteBytes(bytes.data(), bytes.size());
}

std::string _QPX_Framework_SerialPort::QPX_Framework_SerialPort_ReadData(std::string* into) {
  std::string taken;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    taken.swap(read_);
  }
  if (into != nullptr) into->append(taken);
  return taken;
}

std::optional<_QPX_Framework_SerialPort::Line> QPX_Framework_SerialPort_TakeLine(
    std::string& buffer, bool& previousWasSkippedEmptyLine, const std::optional<std::string>& prompt) {
  for (;;) {
    // A LF at the front ends the previous line (modems end lines with CR LF).
    const std::size_t skip = !buffer.empty() && buffer[0] == '\n' ? 1 : 0;
    if (prompt && !prompt->empty() && buffer.size() - skip >= prompt->size() &&
        buffer.compare(skip, prompt->size(), *prompt) == 0) {
      buffer.erase(0, skip + prompt->size());
      previousWasSkippedEmptyLine = false;
      _QPX_Framework_SerialPort::Line line;
      line.prompt = true;
      return line;
    }
    const std::size_t cr = buffer.find('\r');
    if (cr == std::string::npos) return std::nullopt;
    const std::size_t start = cr >= skip ? skip : 0;
    _QPX_Framework_SerialPort::Line line;
    line.bytes.assign(buffer.begin() + static_cast<std::ptrdiff_t>(start),
                      buffer.begin() + static_cast<std::ptrdiff_t>(cr));
    line.bytes.push_back(0);
    buffer.erase(0, cr + 1);
    // The blank that separates CR LF pairs is swallowed; a second blank in a row is a line.
    if (line.bytes.size() == 1 && !previousWasSkippedEmptyLine) {
      previousWasSkippedEmptyLine = true;
      continue;
    }
    previousWasSkippedEmptyLine = false;
    return line;
  }
}

std::optional<_QPX_Framework_SerialPort::Line> _QPX_Framework_SerialPort::QPX_Framework_SerialPort_ReadLine(
    const std::optional<std::string>& prompt) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return QPX_Framework_SerialPort_TakeLine(read_, previousWasSkippedEmptyLine_, prompt);
}

bool _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Flush() {
  int fd;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    fd = fd_;
    read_.clear();
  }
  if (fd <= 0) return true;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, 100);
    if (ready < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      QPX_Log(QPX_LOG_ERROR, "select(%s) failed: %s", path_.c_str(), ErrorText(errno).c_str());
      return false;
    }
    if (ready == 0) break;
    char buffer[kReadChunk];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      QPX_Log(QPX_LOG_ERROR, "read(%s) failed: %s", path_.c_str(), ErrorText(errno).c_str());
      return false;
    }
  }
  // What the thread picked up meanwhile is discarded too.
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  read_.clear();
  return true;
}

// ---- Pseudo-terminal pairing ----

void _QPX_Framework_SerialPort::QPX_Framework_SerialPort_SetVirtual(const QPX_Framework_SerialPortPtr& pty) {
  QPX_Assert(pty != nullptr && pty.get() != this);
  std::string pending;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::lock_guard<std::recursive_mutex> ptyLock(pty->mutex_);
    QPX_Assert(signal_ != nullptr);
    QPX_Assert(virtual_ == nullptr);
    QPX_Assert(pty->virtual_ == nullptr && pty->virtualBack_.expired());
    virtual_ = pty;
    pty->virtualBack_ = weak_from_this();
    // What the modem sent before the link goes to the pseudo-terminal first.
    pty->write_.append(read_);
    read_.clear();
  }
  if (auto* thread = theThread.load()) thread->Wake();
}

void _QPX_Framework_SerialPort::QPX_Framework_SerialPort_ReleaseVirtual() {
  QPX_Framework_SerialPortPtr pty;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!signal_) return;
    pty = std::move(virtual_);
    virtual_ = nullptr;
  }
  if (pty) pty->invalidate();
  if (auto* thread = theThread.load()) thread->Wake();
}

QPX_Framework_SerialPortPtr _QPX_Framework_SerialPort::QPX_Framework_SerialPort_Virtual() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return virtual_ ? virtual_ : virtualBack_.lock();
}

void _QPX_Framework_SerialPort::invalidate() {
  bool real;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    real = signal_ != nullptr;
  }
  if (real) {
    QPX_Framework_SerialPort_ReleaseVirtual();
  } else {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    virtualBack_.reset();
  }
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    signal_.reset();
  }
  QPX_Framework_SerialPortPtr self = shared_from_this();  // the set may hold the last reference
  if (auto* thread = theThread.load()) {
    {
      std::lock_guard<std::mutex> lock(thread->portsMutex);
      thread->ports.erase(self);
    }
    theThread.load()->Wake();
  }
  QPX_Framework_SerialPort_Close();
}

std::string _QPX_Framework_SerialPort::Description() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (description_.empty()) {
    char address[64];
    std::snprintf(address, sizeof address, "<_QPX_Framework_SerialPort: %p>", static_cast<const void*>(this));
    description_ = std::string(address) + " (" + path_ + ")";
  }
  return description_;
}

// ---- For tests ----

std::size_t _QPX_Framework_SerialPort::PendingWriteCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return write_.size();
}

bool _QPX_Framework_SerialPort::IsServed() const {
  auto* thread = theThread.load();
  if (thread == nullptr) return false;
  std::lock_guard<std::mutex> lock(thread->portsMutex);
  for (const auto& port : thread->ports)
    if (port.get() == this) return true;
  return false;
}

std::size_t _QPX_Framework_SerialPort::ServedPortCount() {
  auto* thread = theThread.load();
  if (thread == nullptr) return 0;
  std::lock_guard<std::mutex> lock(thread->portsMutex);
  return thread->ports.size();
}

bool _QPX_Framework_SerialPort::WaitForCycle(double timeoutSeconds) {
  if (!QPX_Framework_Init()) return false;
  return theThread.load()->WaitForNewCycle(2, timeoutSeconds);
}
