// Owning holder of one socket handle, shared by the threads of a connection.
#pragma once

#include <atomic>
#include <cstdint>

#include "Common/platform.h"

namespace libmo {

// Holds one socket handle. Closing the holder (Close or Reset) wakes every
// call blocked on it through the socket I/O functions (Common/socket_io.h):
// a receive then returns 0, a send fails. The handle itself is released
// only with the holder, when no thread can use it any more, so a thread
// that still holds the holder never meets a new socket that reused the
// number.
//
// Made with std::make_shared right after a successful connect and shared
// from then on. Close, Reset, IsOwnSocket and socket are safe to call from
// any thread.
class UniqueSocket {
 public:
  // Takes `s` (a handle or INVALID_SOCKET). An owning holder (`own` true)
  // closes the handle; a non-owning one only forgets it.
  explicit UniqueSocket(SOCKET s, bool own = true) noexcept;
  // Releases the handle (after Reset when it is still open).
  ~UniqueSocket();

  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;

  // Whether this holder closes its handle.
  bool IsOwnSocket() const noexcept;

  // As Reset; a non-owning holder is a failed check: it is logged
  // ("IsOwnSocket()") and the handle is forgotten, not closed.
  void Close() noexcept;

  // Swaps the handle with INVALID_SOCKET once; if the old one was valid and
  // owned, logs "Close socket <n>" at level 1, shuts it down both ways and
  // wakes every call blocked on it. Afterwards the holder is empty and
  // owning.
  void Reset() noexcept;

  // The handle, or INVALID_SOCKET once closed.
  SOCKET socket() const noexcept { return socket_.load(); }

  // The handle that Reset shut down or that is still open: what the socket
  // I/O functions use. REQUIRES: the caller holds the holder.
  SOCKET Handle() const noexcept { return handle_; }

  // The OS object that Reset signals (Windows: a manual-reset event; POSIX:
  // none, the shut-down wakes blocked calls).
  void* WakeHandle() const noexcept { return wake_; }

  // Bound of each receive in milliseconds (0: none); see
  // netutils::SetReceiveTimeout.
  std::atomic<uint32_t> receiveTimeoutMs{0};

 private:
  const SOCKET handle_;
  const bool releases_;  // an owning holder releases handle_ when destroyed
  std::atomic<SOCKET> socket_;
  // Written only by Reset and the constructor; atomic so that concurrent
  // closes never race on it.
  std::atomic<bool> own_;
  void* const wake_;
};

}  // namespace libmo
