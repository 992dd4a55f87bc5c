// Test helpers for sockets on 127.0.0.1 only. REQUIRES: the socket library is started (netutils::InitNet).
#pragma once

#include <chrono>
#include <utility>

#include "Common/platform.h"

namespace testsupport {

// Move-only owner of one socket handle; closes it when destroyed.
class OwnedSocket {
 public:
  OwnedSocket() noexcept = default;
  explicit OwnedSocket(SOCKET s) noexcept : socket_(s) {}
  OwnedSocket(OwnedSocket&& other) noexcept : socket_(other.Release()) {}
  OwnedSocket& operator=(OwnedSocket&& other) noexcept {
    if (this != &other) Reset(), socket_ = other.Release();
    return *this;
  }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;
  ~OwnedSocket() { Reset(); }

  SOCKET get() const noexcept { return socket_; }
  bool valid() const noexcept { return socket_ != INVALID_SOCKET; }
  // Gives the handle up without closing it.
  SOCKET Release() noexcept { return std::exchange(socket_, INVALID_SOCKET); }
  // Closes the handle, if any.
  void Reset() noexcept;

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

// A TCP socket listening on 127.0.0.1.
class LoopbackListener {
 public:
  // Listens on `port` (0: one the system picks). Throws std::runtime_error when it cannot.
  explicit LoopbackListener(unsigned short port = 0);

  unsigned short port() const noexcept { return port_; }
  SOCKET get() const noexcept { return socket_.get(); }

  // The next incoming connection, or an invalid socket when none arrived within `timeout`.
  OwnedSocket Accept(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Stops listening; connects to port() are refused from then on.
  void Close() noexcept { socket_.Reset(); }

 private:
  OwnedSocket socket_;
  unsigned short port_ = 0;
};

// 127.0.0.1:port as a socket address.
sockaddr_in LoopbackAddress(unsigned short port);

// A port on 127.0.0.1 on which nothing listens: one that was just listened on and released.
unsigned short ClosedLoopbackPort();

// A connected pair on 127.0.0.1 made with plain blocking calls.
struct LoopbackPair {
  OwnedSocket client;
  OwnedSocket server;
};
// Throws std::runtime_error when the pair cannot be made.
LoopbackPair MakeLoopbackPair();

}  // namespace testsupport
