#include <windows.h>

#include <cstring>

#include "crash/report_guard.h"
#include "crash/report_guard_os.h"

namespace tezra::se {

namespace {

HANDLE wake = nullptr;  // auto-reset event, for the life of the process

DWORD WINAPI Watchdog(void*) {
  detail::WatchdogBody();
  return 0;
}

}  // namespace

void StartReportGuard() {
  static const bool started = [] {
    wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (wake == nullptr) return false;
    HANDLE thread = ::CreateThread(nullptr, 0, &Watchdog, nullptr, 0, nullptr);
    if (thread == nullptr) return false;
    ::CloseHandle(thread);
    return true;
  }();
  (void)started;
}

namespace detail {

void WaitForWake() { ::WaitForSingleObject(wake, INFINITE); }

void WakeWatchdog() {
  if (wake != nullptr) ::SetEvent(wake);
}

void Pause() { ::Sleep(50); }

void WriteStandardError(const char* text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void EndProcess(unsigned code) {
  ::TerminateProcess(::GetCurrentProcess(), code);
  ::ExitProcess(code);
}

}  // namespace detail

}  // namespace tezra::se
