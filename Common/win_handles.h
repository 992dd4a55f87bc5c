// Owners of Win32 handles, neither copied nor moved. Windows only.
#pragma once

#include <windows.h>

#include <system_error>

namespace libmo {

// Owns one Service Control Manager handle and closes it with
// CloseServiceHandle.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle) noexcept : handle_(handle) {}
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  ~ScHandle() { Close(); }

  SC_HANDLE get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

 private:
  void Close() noexcept {
    if (handle_ != nullptr) ::CloseServiceHandle(handle_);
    handle_ = nullptr;
  }

  SC_HANDLE handle_;
};

// Owns one Win32 event handle and closes it with CloseHandle.
class EventHandle {
 public:
  // An unnamed event, not signalled. Throws std::system_error on failure.
  explicit EventHandle(bool manualReset) : handle_(::CreateEventA(nullptr, manualReset, FALSE, nullptr)) {
    if (handle_ == nullptr) {
      throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateEvent");
    }
  }
  EventHandle(const EventHandle&) = delete;
  EventHandle& operator=(const EventHandle&) = delete;
  ~EventHandle() { Close(); }

  HANDLE get() const noexcept { return handle_; }

 private:
  void Close() noexcept {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

  HANDLE handle_;
};

}  // namespace libmo
