#include "Common/assert.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "Common/oserror.h"

namespace {

// The place the calling thread recorded last.
struct ErrorPlace {
  std::string function;
  std::string file;
  int line = 0;
};
thread_local ErrorPlace errorPlace;

constexpr size_t kFormatBuffer = 4096;

// Formats into `buffer` (zero-filled, capacity 4095); never fails.
void FormatText(char (&buffer)[kFormatBuffer], const char* format, va_list args) {
  std::memset(buffer, 0, sizeof buffer);
  std::vsnprintf(buffer, kFormatBuffer - 1, format, args);
}

std::string PlaceSuffix() {
  std::ostringstream s;
  s << "func(" << errorPlace.function << ' ' << errorPlace.file << ':' << errorPlace.line << ')';
  return s.str();
}

void LogWithCode(int code, const char* kind, const char* format, va_list args) {
  char text[kFormatBuffer];
  FormatText(text, format, args);
  const std::string message = libmo::ErrorText(code);
  LogError("%s : %s error '%s' func(%s %s:%d)", text, kind, message.c_str(), errorPlace.function.c_str(),
           errorPlace.file.c_str(), errorPlace.line);
}

[[noreturn]] void ThrowWithCode(int code, const char* text) {
  throw std::runtime_error(std::string(text) + " : last OS error '" + libmo::ErrorText(code) + "' " + PlaceSuffix());
}

// Not an exception type anyone else throws: stands for "nothing in flight".
struct NoExceptionInFlight {};

}  // namespace

void SetErrorPlace(const char* function, const char* file, int line) {
  // The report that follows reads the last OS or socket error: recording the
  // place (the first touch of thread-local storage may reset it on Windows,
  // a string's allocation may change errno) must leave it as it was.
  const int lastError = libmo::LastOsError();
  errorPlace.function = function != nullptr ? function : "";
  std::string path = file != nullptr ? file : "";
  const size_t slash = path.find_last_of("\\/");
  errorPlace.file = slash == std::string::npos ? path : path.substr(slash + 1);
  errorPlace.line = line;
  libmo::SetLastOsError(lastError);
}

// The error code is taken before the message is formatted: formatting may
// itself disturb errno / the last error.
void LogOsError(const char* format, ...) {
  const int code = libmo::LastOsError();
  va_list args;
  va_start(args, format);
  LogWithCode(code, "OS", format, args);
  va_end(args);
}

void LogSocketError(const char* format, ...) {
  const int code = libmo::LastSocketError();
  va_list args;
  va_start(args, format);
  LogWithCode(code, "socket", format, args);
  va_end(args);
}

void LogPlacedError(const char* format, ...) {
  char text[kFormatBuffer];
  va_list args;
  va_start(args, format);
  FormatText(text, format, args);
  va_end(args);
  LogError("%s func(%s %s:%d)", text, errorPlace.function.c_str(), errorPlace.file.c_str(), errorPlace.line);
}

void ThrowPlacedError(const char* format, ...) {
  char text[kFormatBuffer];
  va_list args;
  va_start(args, format);
  FormatText(text, format, args);
  va_end(args);
  throw std::runtime_error(std::string(text) + ' ' + PlaceSuffix());
}

void ThrowOsError(const char* format, ...) {
  const int code = libmo::LastOsError();
  char text[kFormatBuffer];
  va_list args;
  va_start(args, format);
  FormatText(text, format, args);
  va_end(args);
  ThrowWithCode(code, text);
}

void ThrowSocketError(const char* format, ...) {
  const int code = libmo::LastSocketError();
  char text[kFormatBuffer];
  va_list args;
  va_start(args, format);
  FormatText(text, format, args);
  va_end(args);
  ThrowWithCode(code, text);
}

namespace libmo::Detail {
namespace {

// Builds and writes the report line when it goes out of scope.
class Logger {
 public:
  Logger(const char* function, const char* file, int line) : function_(function), file_(file), line_(line) {}
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  ~Logger() {
    try {
      out_ << kind_ << " exception caught" << " in function " << (function_ ? function_ : "") << ","
           << " file " << (file_ ? file_ : "") << "," << " line " << line_ << ":" << " \"" << message_ << "\".";
      const std::string line = out_.str();
      std::cerr << line << std::endl;
      LogError("%s", line.c_str());
      message_.clear();
    } catch (...) {
      SetErrorPlace("libmo::Detail::AssertFailNoExceptionImpl::Logger::~Logger", "Common/assert", 52);
      LogPlacedError("Unhandled exception caught");
    }
  }

  void Set(const char* kind, std::string message) {
    kind_ = kind;
    message_ = std::move(message);
  }

 private:
  std::ostringstream out_;
  const char* function_;
  const char* file_;
  int line_;
  const char* kind_ = "UNKNOWN";
  std::string message_ = "Unresolved Exception";
};

}  // namespace

void AssertFailNoExceptionImpl(const char* function, const char* file, int line) noexcept {
  try {
    Logger report(function, file, line);
    try {
      // A call outside a handler must not terminate the process.
      const std::exception_ptr inFlight = std::current_exception();
      if (!inFlight) throw NoExceptionInFlight{};
      std::rethrow_exception(inFlight);
    } catch (const std::exception& e) {
      report.Set("STANDART", e.what());
    } catch (const char* text) {
      report.Set("C-STRING", text != nullptr ? text : "");
    } catch (int code) {
      report.Set("INTEGER", "Code: " + std::to_string(code));
    } catch (...) {
      SetErrorPlace("libmo::Detail::AssertFailNoExceptionImpl", "Common/assert", 72);
      LogOsError("Unhandled exception caught");
    }
  } catch (...) {
    SetErrorPlace("libmo::Detail::AssertFailNoExceptionImpl", "Common/assert", 75);
    LogPlacedError("Unhandled exception caught");
  }
}

}  // namespace libmo::Detail
