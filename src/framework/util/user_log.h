#pragma once
// The user log: the log a user switches on in the settings, clears, and saves as a zip
// archive. While the setting "QPX Project Logging Enabled" (in "/User Defaults") is on, it
// takes the entries of levels 2 to 5 ("Milestone", "ATCommands", "GUI", "Error") of the one
// logging entry point and writes them, one short line each, to "Logfile.txt" in the per-user
// folder.
//
// A caller only queues its line: one plain system thread, the writer, owns the file. Clearing
// and saving run on that thread too, in order with the lines queued before them, so the file
// holds exactly what was submitted before a clear or a save.
//
// Lines end in CR LF:
//   "12:34:56 modem.cpp: message"                     an entry (time, source file, message)
//   "12:34:56: ******************** Log start: 2024-05-01 (timezone CEST) ********************"
//   "12:34:56: ********** Application identifier: net.example.app"   (the long header adds
//   "12:34:56: ********** Application build: 1.0.0"                   these three lines)
//   "12:34:56: ********** Application build date: 2024-01-01T00:00:00Z"
// A message's backslashes are doubled and its line feeds written as "\n", so every entry is
// one line.

#include <atomic>
#include <cstdarg>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "framework/core/command.h"
#include "platform/condition_lock.h"
#include "platform/value.h"

class QPX_Framework_Storage;
class QPX_Framework_Storage_Subscription;

// "QPX Project Logging Enabled": the setting, a boolean in "/User Defaults".
extern const char* const QPX_Framework_Project_Logging_Enabled_Key;
// "Logfile.txt" in the per-user folder.
extern const char* const QPX_Framework_Project_Logging_FileName;

class QPX_Framework_Project_Logging : public platform::ValueObject,
                                      public std::enable_shared_from_this<QPX_Framework_Project_Logging> {
 public:
  // --- Class operations ---

  // Class initialiser (run modes 1 and 3): creates the one instance and starts it; acts only
  // for "QPX_Framework_Project_Logging" itself (YES for any other class). When the project
  // registers "QPX_Project_Logging" (a subclass), that is made instead. Must run on a worker
  // thread (the setting's notices arrive there); a second instance is a programming error.
  static bool QPX_Framework_Init(const std::string& className);
  // The instance, or null.
  static std::shared_ptr<QPX_Framework_Project_Logging> Get();
  // Takes one entry of the logging entry point (installed as its user-log receiver): only
  // levels 2 to 5, only while the instance exists and is enabled.
  static void SourceFile(const char* sourceFile, unsigned sourceLine, const char* functionName,
                         const char* threadName, double timeStamp, int entryClass, const char* format,
                         va_list args);

  // --- Instance ---

  // The log file is "Logfile.txt" in the per-user folder, or the given path (tests).
  explicit QPX_Framework_Project_Logging(std::optional<std::string> logfilePath = std::nullopt);
  ~QPX_Framework_Project_Logging() override;
  QPX_Framework_Project_Logging(const QPX_Framework_Project_Logging&) = delete;
  QPX_Framework_Project_Logging& operator=(const QPX_Framework_Project_Logging&) = delete;

  // Subscribes to the setting (on the calling worker thread), starts the writer, waits until
  // it has opened the file, and applies the setting. The object must be owned by a shared_ptr.
  void init();
  // Ends the subscription, lets the writer finish what is queued, ends it and closes the file.
  // The process's instance lives as long as the process; this is for orderly ends and tests.
  void Shutdown();

  // Queues a line for the file (UTF-8, line end included).
  void SubmitLine(std::string line);
  // Queues work for the writer thread. It runs in order with the lines while the file is
  // open; when the file is not open (it could not be opened, or a write failed) `dropped`
  // runs instead, on the writer thread.
  void SubmitInvocation(std::function<void()> invocation, std::function<void()> dropped = {});

  // The entry's line, as the class operation makes it (for levels 2 to 5 while enabled).
  void TakeEntry(const char* sourceFile, double timeStamp, int entryClass, const std::string& message);

  // A header line for the event ("start", "stop", "cleared"); a time stamp of 0 means now
  // (seconds since 1970).
  std::string MakeHeaderLine(const char* event, double timeStamp) const;
  // The header and the application lines: queued, or (on the writer thread) written at once.
  void MakeLongHeaderInfo(const char* event, bool submit);

  // Applies the setting: switching on queues a long "start" header, then takes entries;
  // switching off stops taking them, then queues a "stop" header.
  void EnableChanged();
  bool IsEnabled() const { return enabled_.load(std::memory_order_acquire); }
  // Storage notices of the setting.
  void QPX_Framework_Storage_NotificationFor(const std::shared_ptr<QPX_Framework_Storage>& node,
                                             const std::string& elementName, const Value& value);

  // Empties the file (on the writer thread, after what was queued before) and writes a long
  // "cleared" header.
  void ClearLog();
  // Saves the log as a zip archive at the path (".zip" is added unless the path ends in it,
  // in any case). The completion runs on the calling worker thread (on the writer thread when
  // the caller is none) with the arguments YES or NO, the archive's path, and on failure the
  // reason (text). An existing file at the path is replaced only by a complete archive.
  void SaveLog(const std::string& path, const QPX_Framework_InvocationPtr& completion);
  // The archive path SaveLog uses for the given path.
  static std::string ArchivePath(const std::string& path);

  std::string Description() const override;

  // Replaces the process's instance (null: none). For tests only.
  static void _SetInstance(std::shared_ptr<QPX_Framework_Project_Logging> instance);

 protected:
  // The settings panel's checkbox follows the setting; the GUI toolkit's panel does that here.
  virtual void GUIEnableChanged() {}

 private:
  struct Entry {
    std::string line;
    std::function<void()> invocation;  // set: an invocation instead of a line
    std::function<void()> dropped;
  };

  void WriteThread();
  void OpenLogfile(bool truncate);
  void CloseLogfile();
  void WriteLogLine(const std::string& line);
  void DoClearLog();
  void DoSaveLog(const std::string& path, const Value& context);
  static void CompleteSave(const Value& context, bool success, const std::string& path,
                           const std::optional<std::string>& reason);
  void Submit(Entry entry);

  std::shared_ptr<QPX_Framework_Storage_Subscription> subscription_;
  std::atomic<bool> enabled_{false};
  const std::optional<std::string> configuredPath_;
  // Writer thread only.
  std::optional<std::string> logfilePath_;
  int fd_ = -1;

  std::deque<Entry> lines_;               // producers append here (under condition_)
  std::deque<Entry> lines2_;              // the writer's batch
  platform::ConditionLock condition_{1};  // 1: entries are waiting
  bool stopping_ = false;                 // under condition_

  std::mutex lifeMutex_;  // guards writer_ and subscription_ changes
  std::thread writer_;
};

// Enters "QPX_Framework_Project_Logging" in the class registry. Called by main() before
// start-up walks the class table.
void QPX_Framework_Project_Logging_RegisterClasses();
