// Thin process, thread, clock and console queries. One implementation file per
// OS (os_win.cpp, os_posix.cpp). None of these allocate except where a
// std::string is returned.
#pragma once

#include <cstdint>
#include <string>

namespace libmo::os {

// The calling thread's OS id (GetCurrentThreadId / gettid).
unsigned CurrentThreadId();

// The process id.
unsigned CurrentProcessId();

// True when standard output is a character device (a console or terminal).
bool StdoutIsConsole();

// Broken-down local time of "now", with milliseconds.
struct LocalTime {
  int year = 0;    // e.g. 2026
  int month = 0;   // 1-12
  int day = 0;     // 1-31
  int hour = 0;    // 0-23
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Wall-clock time now, converted to local time (whole seconds) plus the
// milliseconds of the same reading. Safe to call from any thread.
LocalTime LocalNow();

// Full path of the running executable, or an empty string when the system
// cannot tell (GetModuleFileNameA into 260 bytes / readlink of /proc/self/exe).
std::string ModulePath();

// Switches standard output to binary mode, so that the texts the program
// prints keep their bare line feeds on every platform (no-op on POSIX).
void SetStdoutBinary();

// Lets the process hold the sockets of a full table of entries (two per
// entry plus the command connection): raises the soft limit of open
// descriptors to the hard one where the system has such a limit.
void RaiseOpenFileLimit();

// Makes `dir` the current directory. Returns false with the last OS error set.
bool ChangeDirectory(const std::string& dir);

}  // namespace libmo::os
