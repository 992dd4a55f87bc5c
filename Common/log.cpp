#include "Common/log.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>

#include "Common/os.h"

namespace libmo {
namespace {

// Per-thread line prefix: " (tid:TAG): " or " (tid): ".
struct ThreadPrefix {
  char tag[8];
  char prefix[24];
  uint64_t prefixLength;
  unsigned tid;  // 0 until first asked: a thread's id never changes
};
thread_local ThreadPrefix threadPrefix;  // zero at thread start

void BuildPrefix(bool withTag) {
  ThreadPrefix& p = threadPrefix;
  if (p.tid == 0) p.tid = os::CurrentThreadId();
  const unsigned tid = p.tid;
  int n = withTag ? std::snprintf(p.prefix, sizeof p.prefix, " (%u:%s): ", tid, p.tag)
                  : std::snprintf(p.prefix, sizeof p.prefix, " (%u): ", tid);
  if (n < 0) n = 0;
  if (static_cast<size_t>(n) >= sizeof p.prefix) n = sizeof p.prefix - 1;
  p.prefixLength = static_cast<uint64_t>(n);
}

// Writes `value` zero-padded to `width` digits (more when it has more).
char* PutNumber(char* out, int value, int width) {
  char digits[12];
  int n = 0;
  unsigned v = value < 0 ? 0u : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = n; i < width; ++i) *out++ = '0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

}  // namespace

namespace detail {
char* PutTimeStamp(char* out, const os::LocalTime& t) {
  out = PutNumber(out, t.day, 2);
  *out++ = '.';
  out = PutNumber(out, t.month, 2);
  *out++ = '.';
  out = PutNumber(out, t.year - 2000, 2);
  *out++ = ' ';
  out = PutNumber(out, t.hour, 2);
  *out++ = ':';
  out = PutNumber(out, t.minute, 2);
  *out++ = ':';
  out = PutNumber(out, t.second, 2);
  *out++ = '.';
  return PutNumber(out, t.millisecond, 3);
}
}  // namespace detail

namespace {

// Storage for the two logs, built and destroyed by LogsLifetime.
alignas(LogFile) unsigned char eventsStorage[sizeof(LogFile)];
alignas(LogFile) unsigned char errorsStorage[sizeof(LogFile)];
int lifetimeCount = 0;  // only touched during static initialisation and exit

LogPathSource pathSource = nullptr;

void VLogAt(LogFile& log, uint8_t level, const char* format, va_list args) {
  if (log.Level() >= level) log.Write(format, args);
}

}  // namespace

namespace detail {
LogsLifetime::LogsLifetime() {
  if (lifetimeCount++ == 0) {
    new (eventsStorage) LogFile();
    new (errorsStorage) LogFile();
  }
}
LogsLifetime::~LogsLifetime() {
  if (--lifetimeCount == 0) {
    ErrorsLog().~LogFile();
    EventsLog().~LogFile();
  }
}
}  // namespace detail

LogFile& EventsLog() { return *std::launder(reinterpret_cast<LogFile*>(eventsStorage)); }
LogFile& ErrorsLog() { return *std::launder(reinterpret_cast<LogFile*>(errorsStorage)); }

void SetLogPathSource(LogPathSource source) { pathSource = source; }

void LogPaths(std::string& eventsLog, std::string& errorsLog) {
  eventsLog = "logs/events.log";
  errorsLog = "logs/errors.log";
  if (pathSource != nullptr) pathSource(eventsLog, errorsLog);
}

std::error_code LogFile::Reopen() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fileName_.empty()) return {};
  std::unique_ptr<std::FILE, FileCloser> reopened(std::fopen(fileName_.c_str(), "ab"));
  if (!reopened) return std::error_code(errno, std::generic_category());
  file_ = std::move(reopened);
  std::error_code sizeError;
  size_ = std::filesystem::file_size(fileName_, sizeError);
  if (sizeError) size_ = 0;
  return {};
}

std::error_code LogFile::Open(const std::string& path, bool* sameFile) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sameFile != nullptr) *sameFile = false;
  echo_ = os::StdoutIsConsole();
  if (file_ && path == fileName_) {
    if (sameFile != nullptr) *sameFile = true;
    return {};
  }
  auto open = [&]() -> std::error_code {
    file_.reset(std::fopen(path.c_str(), "ab"));
    if (file_) {
      fileName_ = path;
      std::error_code sizeError;
      size_ = std::filesystem::file_size(path, sizeError);
      if (sizeError) size_ = 0;
      const std::filesystem::path p(path);
      rotated_.clear();
      for (unsigned i = 1; i <= keep_; ++i) {
        rotated_.push_back((p.parent_path() / (p.stem().string() + "." + std::to_string(i) + p.extension().string()))
                               .string());
      }
      return {};
    }
    fileName_.clear();
    return std::error_code(errno, std::generic_category());
  };
  std::error_code ec = open();
  if (ec != std::errc::no_such_file_or_directory) return ec;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) return ec;
  std::error_code mk;
  std::filesystem::create_directories(folder, mk);
  if (mk) return mk;
  return open();
}

bool LogFile::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = Write(format, args);
  va_end(args);
  return ok;
}

bool LogFile::Write(const char* format, va_list args) {
  std::unique_lock<std::mutex> lock(mutex_);
  char* const line = line_;
  char* p = detail::PutTimeStamp(line, os::LocalNow());
  ThreadPrefix& tp = threadPrefix;
  if (tp.prefixLength == 0) BuildPrefix(false);
  std::memcpy(p, tp.prefix, tp.prefixLength);
  p += tp.prefixLength;
  const size_t head = static_cast<size_t>(p - line);
  const int n = std::vsnprintf(p, kLineSize - head, format, args);
  size_t length;
  if (n < 0) {
    // Formatter error: stamp and prefix, its trailing blank turned into "\n".
    length = head;
    line[length - 1] = '\n';
  } else if (head + static_cast<size_t>(n) >= kLineSize) {
    std::memcpy(line + kLineSize - 4, "...\n", 4);
    length = kLineSize;
  } else {
    length = head + static_cast<size_t>(n);
    line[length++] = '\n';
  }

  if (echo_) {
    std::fwrite(line, 1, length, stdout);
    std::fflush(stdout);
  }
  if (!file_) return false;
  const bool written = std::fwrite(line, 1, length, file_.get()) == length;
  const bool ok = written && std::fflush(file_.get()) == 0;
  size_ += length;
  if (maxBytes_ == 0 || size_ < maxBytes_ || size_ < retryAt_) return ok;
  const bool stuck = Rotate() && !stuckReported_;
  const bool recovered = std::exchange(recovered_, false);
  if (!stuck && !recovered) return ok;
  stuckReported_ = stuckReported_ || stuck;
  const std::string name = fileName_;
  lock.unlock();  // this may be the errors log itself
  if (stuck) {
    ErrorsLog().Printf("Log rotation: '%s' cannot be renamed (held open by another program?). It keeps growing; "
                       "the rotation is tried again later.",
                       name.c_str());
  } else {
    ErrorsLog().Printf("Log rotation: '%s' was renamed at last; rotation works again.", name.c_str());
  }
  return ok;
}

void LogFile::SetRotation(uint64_t maxBytes, unsigned keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  maxBytes_ = maxBytes;
  keep_ = keep;
}

bool LogFile::Rotate() {
  file_.reset();
  const bool moved = MoveAside();
  // When this fails the log has no file until the next Open, as after a
  // failed open.
  file_.reset(std::fopen(fileName_.c_str(), "ab"));
  if (moved) {
    if (stuckReported_) recovered_ = true;
    size_ = 0;
    retryAt_ = 0;
    stuckReported_ = false;
    return false;
  }
  constexpr uint64_t kRetryBytes = 64 * 1024;
  retryAt_ = size_ + std::min(maxBytes_, kRetryBytes);
  return true;
}

bool LogFile::MoveAside() {
  if (rotated_.empty()) return std::remove(fileName_.c_str()) == 0;
  const std::filesystem::path live(fileName_);
  const std::string aside = (live.parent_path() / (live.stem().string() + ".0" + live.extension().string())).string();
  // A file left aside by a rotation that the end of the process cut short
  // is history too: it takes its place in the row first (renaming the live
  // log onto it would replace it on POSIX).
  std::error_code ec;
  if (std::filesystem::is_regular_file(aside, ec) && !ShiftInto(aside)) return false;
  if (std::rename(fileName_.c_str(), aside.c_str()) != 0) return false;  // nothing shifted
  if (ShiftInto(aside)) return true;
  std::rename(aside.c_str(), fileName_.c_str());
  return false;
}

bool LogFile::ShiftInto(const std::string& aside) {
  // Renaming onto an existing file fails on Windows: the target goes first.
  // A kept file that is held open stops the shift without a loss.
  std::remove(rotated_.back().c_str());
  for (size_t i = rotated_.size() - 1; i > 0; --i) std::rename(rotated_[i - 1].c_str(), rotated_[i].c_str());
  return std::rename(aside.c_str(), rotated_.front().c_str()) == 0;
}

}  // namespace libmo

using libmo::ErrorsLog;
using libmo::EventsLog;

void LogEvent(const char* format, ...) {
  va_list args;
  va_start(args, format);
  libmo::VLogAt(EventsLog(), EventsLog().DefaultMessageLevel(), format, args);
  va_end(args);
}

void LogEventAt(uint8_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  libmo::VLogAt(EventsLog(), level, format, args);
  va_end(args);
}

void LogError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  libmo::VLogAt(ErrorsLog(), ErrorsLog().DefaultMessageLevel(), format, args);
  va_end(args);
  va_start(args, format);
  libmo::VLogAt(EventsLog(), EventsLog().DefaultMessageLevel(), format, args);
  va_end(args);
}

const char* ThreadTag() { return libmo::threadPrefix.tag; }

void SetThreadTag(const char* tag) {
  libmo::ThreadPrefix& p = libmo::threadPrefix;
  if (tag != nullptr) {
    size_t n = 0;
    for (; n < sizeof p.tag - 1 && tag[n] != '\0'; ++n) p.tag[n] = tag[n];
    p.tag[n] = '\0';  // a longer tag keeps its first seven characters
    libmo::BuildPrefix(p.tag[0] != '\0');
  } else if (p.prefixLength == 0) {
    libmo::BuildPrefix(false);
  }
}

namespace {
void WriteInitLine(libmo::LogFile& log, const std::string& path) {
  log.Printf("Init log: PID=%d, LogLevel=%d, File='%s'", static_cast<int>(libmo::os::CurrentProcessId()),
             static_cast<int>(log.Level()), path.c_str());
}
}  // namespace

std::error_code LogInit(std::string_view tag) {
  std::string eventsPath;
  std::string errorsPath;
  libmo::LogPaths(eventsPath, errorsPath);

  char tagText[8] = {};
  tag.copy(tagText, sizeof tagText - 1);

  bool same = false;
  SetThreadTag(tagText);
  std::error_code ec = EventsLog().Open(eventsPath, &same);
  if (!ec) {
    if (!same) WriteInitLine(EventsLog(), eventsPath);
    SetThreadTag(tagText);
    ec = ErrorsLog().Open(errorsPath, &same);
    if (!ec && !same) WriteInitLine(ErrorsLog(), errorsPath);
  }
  if (ec) {
    std::printf("Log init error (Code=%d): %s\n", ec.value(), ec.message().c_str());
    std::fflush(stdout);
  }
  return ec;
}

void SetLogLevel(uint8_t level) {
  const uint8_t old = EventsLog().ExchangeLevel(level);
  if (old != level) EventsLog().Printf("SetLogLevel: %d -> %d", static_cast<int>(old), static_cast<int>(level));
}
