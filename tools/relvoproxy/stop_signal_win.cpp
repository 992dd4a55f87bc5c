#include <windows.h>

#include <atomic>
#include <system_error>

#include "tools/relvoproxy/stop_signal.h"

namespace relvoproxy {

namespace {

// The console calls the handler on a thread of its own (under Wine: for a
// SIGINT); it only records the event and signals, so it never takes a lock
// of the C++ runtime.
std::atomic<HANDLE> requestedEvent{nullptr};
std::atomic<DWORD> requestedType{0};
std::atomic<bool> anyRequest{false};

BOOL WINAPI ConsoleHandler(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (!anyRequest.exchange(true)) requestedType.store(type);
      if (const HANDLE event = requestedEvent.load()) ::SetEvent(event);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

struct StopRequests::State {
  HANDLE event = nullptr;
  ~State() {
    if (event != nullptr) ::CloseHandle(event);
  }
};

StopRequests::StopRequests() : state_(std::make_unique<State>()) {
  state_->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (state_->event == nullptr) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateEvent");
  }
  requestedEvent.store(state_->event);
  if (!::SetConsoleCtrlHandler(ConsoleHandler, TRUE)) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "SetConsoleCtrlHandler");
  }
}

// The handler stays installed: a console event that comes while the
// process ends is still taken (and does nothing) instead of ending the
// process with the default handler's exit code.
StopRequests::~StopRequests() { requestedEvent.store(nullptr); }

std::string StopRequests::Wait() {
  ::WaitForSingleObject(state_->event, INFINITE);
  switch (requestedType.load()) {
    case CTRL_C_EVENT:
      return "Ctrl+C";
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "console closed";
    default:
      return "system shutdown";
  }
}

}  // namespace relvoproxy
