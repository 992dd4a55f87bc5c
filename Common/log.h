// The two process-wide text logs: the events log (every line) and the errors
// log (error lines only; each error line goes to both).
//
// Line format: "DD.MM.YY HH:MM:SS.mmm (tid:TAG): message\n", at most 2048
// bytes; a longer line ends in "...\n". Lines are flushed at once and, while
// the log echoes, copied to standard output.
//
// Any thread may log at any time, also while static objects are being built
// or destroyed: the two logs are built before the first static object of any
// file that includes this header and destroyed after the last one.
// No heap allocation on the logging path.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#if defined(__MINGW32__)
#define LIBMO_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define LIBMO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace libmo {

// One log file. Both instances live for the whole process (EventsLog(),
// ErrorsLog()).
class LogFile {
 public:
  static constexpr size_t kLineSize = 2048;

  LogFile() = default;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens (append, binary) the log at `path`, creating missing folders. When
  // `path` is the file already open, sets *sameFile and does nothing else.
  // Also decides whether lines are echoed: only when stdout is a console.
  std::error_code Open(const std::string& path, bool* sameFile = nullptr);

  // Closes the file and opens the same path again (append), for a log that
  // was moved away (logrotate). Keeps the old file when the path cannot be
  // opened. Does nothing before the first Open.
  std::error_code Reopen();

  // Formats and writes one line, ungated. True when the whole line reached
  // the file and the file was flushed.
  bool Write(const char* format, va_list args);
  bool Printf(const char* format, ...) LIBMO_PRINTF(2, 3);

  // Size-based rotation, off while `maxBytes` is 0. Once a line has taken
  // the file to `maxBytes` or more, the file is closed and renamed
  // <stem>.1<ext> (older ones shift up to <stem>.<keep><ext>; the oldest
  // beyond that, or the file itself when `keep` is 0, is deleted) and a new
  // file is opened, all under the log's mutex: no line is split or lost
  // between the two files. Nothing is shifted or deleted before the file
  // itself has been moved aside (to <stem>.0<ext>): a file that cannot be
  // moved (on Windows, one a viewer holds open without delete sharing)
  // takes further lines, the errors log says so once (and once more when a
  // later try works), and the rotation is tried again after another
  // min(maxBytes, 64 KiB). Takes effect at the
  // next Open of a new path.
  void SetRotation(uint64_t maxBytes, unsigned keep);

  uint8_t Level() const { return level_.load(); }
  // Stores `level`; returns the previous one.
  uint8_t ExchangeLevel(uint8_t level) { return level_.exchange(level); }
  uint8_t DefaultMessageLevel() const { return defaultMessageLevel_; }

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  // REQUIRES: mutex_ held. True when the rotation could not be done.
  bool Rotate();
  // REQUIRES: mutex_ held, the file closed. True when the file was moved
  // to <stem>.1<ext> (or, with keep 0, deleted).
  bool MoveAside();
  // REQUIRES: mutex_ held; keep > 0. Drops the oldest kept file, shifts the
  // others up and renames `aside` to <stem>.1<ext>; true when that worked.
  bool ShiftInto(const std::string& aside);

  std::mutex mutex_;
  // The line being written, guarded by mutex_: off the writers' stacks, so
  // that the many relay threads that log keep small stacks.
  char line_[kLineSize];
  std::string fileName_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  bool echo_ = true;
  std::atomic<uint8_t> level_{1};
  uint8_t defaultMessageLevel_ = 0;
  uint64_t maxBytes_ = 0;
  unsigned keep_ = 0;
  uint64_t size_ = 0;                 // bytes in the open file
  uint64_t retryAt_ = 0;              // no rotation before the file has this size
  bool stuckReported_ = false;        // the failed rotation has been reported
  bool recovered_ = false;            // a reported one has worked since: say so
  std::vector<std::string> rotated_;  // <stem>.1<ext> ... <stem>.<keep><ext>
};

LogFile& EventsLog();
LogFile& ErrorsLog();

// Where LogInit finds the two log paths. The connector installs its
// configuration's GetLogFiles; without a source "logs/events.log" and
// "logs/errors.log" are used.
using LogPathSource = void (*)(std::string& eventsLog, std::string& errorsLog);
void SetLogPathSource(LogPathSource source);

// The two paths LogInit opens.
void LogPaths(std::string& eventsLog, std::string& errorsLog);

namespace os {
struct LocalTime;
}

namespace detail {
// Writes the line's time stamp "DD.MM.YY HH:MM:SS.mmm" (21 characters for
// years 2000-2099); returns the end of what was written. No terminating zero.
char* PutTimeStamp(char* out, const os::LocalTime& time);

// Keeps the two logs alive from before the first to after the last static
// object of every file that includes this header.
struct LogsLifetime {
  LogsLifetime();
  ~LogsLifetime();
};
static LogsLifetime logsLifetime;
}  // namespace detail

}  // namespace libmo

// Events log, gated by its default message level (always written).
void LogEvent(const char* format, ...) LIBMO_PRINTF(1, 2);

// Events log when its level is at least `level` (0 to 10).
void LogEventAt(uint8_t level, const char* format, ...) LIBMO_PRINTF(2, 3);

// Errors log, then (formatted anew) events log.
void LogError(const char* format, ...) LIBMO_PRINTF(1, 2);

// Opens both logs at the configured paths and sets the calling thread's tag
// (up to 7 characters). Prints "Log init error ..." on failure. Returns zero
// on success.
std::error_code LogInit(std::string_view tag);

// Sets the calling thread's tag (cut to 7 characters) and line prefix. Null
// keeps an existing prefix.
void SetThreadTag(const char* tag);

// The calling thread's tag ("" when none); valid until the thread's next
// SetThreadTag.
const char* ThreadTag();

// Sets the events log's level; logs "SetLogLevel: %d -> %d" when it changes.
void SetLogLevel(uint8_t level);
