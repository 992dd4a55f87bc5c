// Move-only owners of Win32 handles. Windows only.
#pragma once

#include <windows.h>

#include <system_error>
#include <utility>

namespace libmo {

// Owns one Service Control Manager handle and closes it with
// CloseServiceHandle. Move-only.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle) noexcept : handle_(handle) {}
  ScHandle(ScHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  ScHandle& operator=(ScHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
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

// Owns one Win32 event handle and closes it with CloseHandle. Move-only.
class EventHandle {
 public:
  // An unnamed event, not signalled. Throws std::system_error on failure.
  explicit EventHandle(bool manualReset) : handle_(::CreateEventA(nullptr, manualReset, FALSE, nullptr)) {
    if (handle_ == nullptr) {
      throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateEvent");
    }
  }
  EventHandle(EventHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  EventHandle& operator=(EventHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
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
