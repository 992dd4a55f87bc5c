// Watching one folder for changed files.
//
// TChangeFileChangeManager owns one watcher thread (log tag "FNOT") that
// blocks on the operating system's change notification for `directory` (the
// folder itself, not its subfolders) and calls the virtual NotifySubscribes
// with the bare name of every file in it that is written, created or moved
// into place under a new name. Deleted files and the old name of a renamed
// file are not reported. A derived class sets `directory`, starts the watch
// and overrides NotifySubscribes to act on the names it cares about.
//
// The OS side is TChangeFilesNotifier, one implementation file per OS
// (cfilenot_win.cpp, cfilenot_posix.cpp).
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Common/noncopyable.h"

namespace libmo {

// Receiver of the names reported to the base NotifySubscribes.
class FileChangeSubscriber {
 public:
  virtual ~FileChangeSubscriber() = default;
  // Called on the watcher thread, under the manager's subscribers' mutex.
  virtual void FileChanged(const char* fileName) = 0;
};

// The watch loop of one watch: runs on the watcher thread until stopped or
// until it fails. Shared by the manager and the watcher thread.
class CommonFilesNotifier : public Noncopyable {
 public:
  using Callback = std::function<void(const char*)>;

  CommonFilesNotifier(std::string directory, Callback callback);
  virtual ~CommonFilesNotifier();

  // Watches `directory` and calls `callback` with each reported name until
  // Stop is called or the watch fails. Runs on the watcher thread.
  virtual void Start() = 0;

  // Ends Start from another thread. Base: clears `running`.
  // Safe to call from any thread, any number of times, also before Start.
  virtual void Stop();

 protected:
  const std::string directory;  // the folder, in the ANSI code page
  const Callback callback;
  std::atomic<bool> running{true};  // true from construction until Stop
};

class TChangeFileChangeManager : public Noncopyable {
 public:
  class TChangeFilesNotifier;

  TChangeFileChangeManager();
  // Runs StopChangeControl. A derived class that overrides NotifySubscribes
  // must call StopChangeControl in its own destructor, so that the watcher
  // never calls into a half-destroyed object.
  virtual ~TChangeFileChangeManager();

  // Starts the watcher thread for `directory`. False, with the error line
  // "Change control for directory already started, thread id: <id>", while
  // a watcher thread has not been joined by StopChangeControl (also when it
  // has ended by itself after a failure). Throws std::system_error when the
  // thread cannot be created. An open or read failure of the watch is not
  // reported here: the watcher logs "Error while change control: <text>"
  // and ends.
  // REQUIRES: called by the owner's start and stop sequence only (not from
  // several threads at once).
  bool StartChangeControl();

  // Stops the notifier and joins the watcher thread; does nothing while
  // idle. Called from the watcher thread itself it only stops the watch and
  // writes a catch-all report. Never throws.
  void StopChangeControl() noexcept;

  // Called on the watcher thread once for every reported name: the bare
  // file name, relative to `directory`. The base hands the name to each
  // live subscriber. An override must not let exceptions escape: a
  // std::exception ends the watch with the error line, any other ends the
  // process.
  virtual void NotifySubscribes(const char* fileName);

  // Adds a subscriber; the manager keeps only a weak reference. Safe to call
  // from any thread.
  void Subscribe(std::weak_ptr<FileChangeSubscriber> subscriber);

  // REQUIRES: watching is off.
  void SetDirectory(std::string folder) { directory = std::move(folder); }

 protected:
  // The folder to watch, in the ANSI code page; read by StartChangeControl.
  std::string directory;

 private:
  static void WatcherBody(std::shared_ptr<TChangeFilesNotifier> watched);

  std::thread thread;  // joinable from StartChangeControl until joined
  std::shared_ptr<TChangeFilesNotifier> notifier;  // of the current or last watch
  std::mutex subscribersMutex;
  std::list<std::weak_ptr<FileChangeSubscriber>> subscribers;
  unsigned long threadId = 0;  // OS id of `thread`, for the log
};

// The OS's directory change notification for one watch.
class TChangeFileChangeManager::TChangeFilesNotifier final : public CommonFilesNotifier {
 public:
  TChangeFilesNotifier(std::string directory, Callback callback);
  ~TChangeFilesNotifier() override;

  // Runs the watch; a std::exception from it (open or read failure, or one
  // thrown by the callback) is logged as "Error while change control: %s".
  // The folder is closed when it returns.
  void Start() override;

  // Clears `running` and wakes the watch; it then ends without an error
  // line and hands no further name to the callback. Safe to call from any
  // thread, also from the callback.
  void Stop() override;

 private:
  struct Handle;  // the open folder and what waking it needs, per OS

  // Opens the folder and reports names until stopped; throws on failure.
  void Watch();
  // Closes `handle` if it is open; under handleMutex.
  void Close();

  std::unique_ptr<Handle> handle;  // null while closed
  std::mutex handleMutex;          // guards `handle`
};

}  // namespace libmo
