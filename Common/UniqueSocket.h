// Owning holder of one socket handle, shared by the threads of a connection.
#pragma once

#include <atomic>

#include "Common/platform.h"

namespace libmo {

// Holds one socket handle and closes it (shutdown both ways, then close)
// once: a holder goes from a valid handle to INVALID_SOCKET exactly once, no
// matter how many threads call Close or Reset at the same time. Closing the
// holder is the way to wake another thread blocked in recv or send on its
// handle: that call then returns 0 or an error.
//
// Made with std::make_shared right after a successful connect and shared
// from then on. Close, Reset, IsOwnSocket and socket are safe to call from
// any thread; users copy the handle out with socket() and call the socket
// layer with the copy.
class UniqueSocket {
 public:
  // Takes `s` (a handle or INVALID_SOCKET). An owning holder (`own` true)
  // closes the handle; a non-owning one only forgets it.
  explicit UniqueSocket(SOCKET s, bool own = true) noexcept;
  // Closes a handle that is still held (Reset).
  ~UniqueSocket();

  // Moves take the other holder's handle and ownership and leave it empty.
  // REQUIRES: no other thread uses either holder during the move.
  UniqueSocket(UniqueSocket&& other) noexcept;
  UniqueSocket& operator=(UniqueSocket&& other) noexcept;
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;

  // Whether this holder closes its handle.
  bool IsOwnSocket() const noexcept;

  // As Reset; a non-owning holder is a failed check: it is logged
  // ("IsOwnSocket()") and the handle is forgotten, not closed.
  void Close() noexcept;

  // Swaps the handle with INVALID_SOCKET; if the old one was valid and owned,
  // logs "Close socket <n>" at level 1, shuts it down both ways and closes
  // it, which wakes any call blocked on it. Where the shut-down alone wakes
  // blocked calls (POSIX), the handle is released only with the holder, so
  // its number cannot be reused while a thread that copied it out still
  // holds the holder. Afterwards the holder is empty and owning.
  void Reset() noexcept;

  // The handle, or INVALID_SOCKET once closed.
  SOCKET socket() const noexcept { return socket_.load(); }

 private:
  std::atomic<SOCKET> socket_;
  // Written only by Reset and the constructors; atomic so that concurrent
  // closes never race on it.
  std::atomic<bool> own_;
  // A handle that Reset shut down; closed by the destructor.
  std::atomic<SOCKET> shutDown_{INVALID_SOCKET};
};

}  // namespace libmo
