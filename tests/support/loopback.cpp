#include "tests/support/loopback.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "Common/netUtils.h"
#include "Common/oserror.h"

namespace testsupport {

namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + libmo::ErrorText(libmo::LastSocketError()));
}

}  // namespace

sockaddr_in LoopbackAddress(unsigned short port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void OwnedSocket::Reset() noexcept {
  const SOCKET s = Release();
  if (s != INVALID_SOCKET) netutils::CloseSocket(s);
}

LoopbackListener::LoopbackListener(unsigned short port) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
  if (!socket_.valid()) Fail("socket");
  sockaddr_in address = LoopbackAddress(port);
  if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) Fail("bind");
  if (::listen(socket_.get(), 128) != 0) Fail("listen");
  socklen_t length = sizeof address;
  if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) Fail("getsockname");
  port_ = ntohs(address.sin_port);
}

OwnedSocket LoopbackListener::Accept(std::chrono::milliseconds timeout) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket_.get(), &readable);
  timeval wait{};
  wait.tv_sec = static_cast<long>(timeout.count() / 1000);
  wait.tv_usec = static_cast<long>(timeout.count() % 1000 * 1000);
  // The first argument counts descriptors on POSIX and is ignored on Windows.
  if (::select(static_cast<int>(socket_.get()) + 1, &readable, nullptr, nullptr, &wait) != 1) return OwnedSocket();
  return OwnedSocket(::accept(socket_.get(), nullptr, nullptr));
}

unsigned short ClosedLoopbackPort() {
  LoopbackListener listener;
  return listener.port();
}

LoopbackPair MakeLoopbackPair() {
  LoopbackListener listener;
  LoopbackPair pair;
  pair.client = OwnedSocket(::socket(AF_INET, SOCK_STREAM, 0));
  if (!pair.client.valid()) Fail("socket");
  const sockaddr_in address = LoopbackAddress(listener.port());
  if (::connect(pair.client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) Fail("connect");
  pair.server = listener.Accept();
  if (!pair.server.valid()) Fail("accept");
  return pair;
}

}  // namespace testsupport

// ThreadSanitizer reads this hook in its builds; elsewhere it is never called. Closing a socket while another thread is
// blocked in recv or send on it is how a connection's threads are woken; ThreadSanitizer sees the close and the blocked
// call on the same descriptor as a race. Memory races are still reported.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() { return "race:netutils::CloseSocket\n"; }
