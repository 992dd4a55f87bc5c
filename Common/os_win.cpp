#include "Common/os.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <ctime>

namespace libmo::os {

unsigned CurrentThreadId() { return static_cast<unsigned>(::GetCurrentThreadId()); }

unsigned CurrentProcessId() { return static_cast<unsigned>(::GetCurrentProcessId()); }

bool StdoutIsConsole() {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return out != nullptr && out != INVALID_HANDLE_VALUE && ::GetFileType(out) == FILE_TYPE_CHAR;
}

LocalTime LocalNow() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  // 100 ns units since 1601-01-01, moved to 1970-01-01.
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  const unsigned long long since1970 = t.QuadPart - 116444736000000000ULL;
  const std::time_t seconds = static_cast<std::time_t>(since1970 / 10000000ULL);
  std::tm tm{};
  ::localtime_s(&tm, &seconds);
  LocalTime lt;
  lt.year = tm.tm_year + 1900;
  lt.month = tm.tm_mon + 1;
  lt.day = tm.tm_mday;
  lt.hour = tm.tm_hour;
  lt.minute = tm.tm_min;
  lt.second = tm.tm_sec;
  lt.millisecond = static_cast<int>((since1970 / 10000ULL) % 1000ULL);
  return lt;
}

std::string ModulePath() {
  char buffer[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return buffer;
}

void RaiseOpenFileLimit() {}  // sockets are not limited per process

void SetStdoutBinary() { ::_setmode(::_fileno(stdout), _O_BINARY); }

bool ChangeDirectory(const std::string& dir) { return ::SetCurrentDirectoryA(dir.c_str()) != 0; }

}  // namespace libmo::os
