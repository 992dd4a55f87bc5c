#include "tools/relvoproxy/net.h"

#include <cstring>
#include <list>
#include <stdexcept>

#include "Common/netUtils.h"
#include "Common/oserror.h"

namespace relvoproxy::net {

namespace {

[[noreturn]] void Fail(SOCKET s, const std::string& what) {
  const std::string text = what + ": " + libmo::ErrorText(libmo::LastSocketError());
  if (s != INVALID_SOCKET) netutils::CloseSocket(s);
  throw std::runtime_error(text);
}

}  // namespace

SOCKET Listen(const std::string& host, uint16_t port) {
  const std::list<std::string> addresses = netutils::GetIpAddress(host);
  if (addresses.empty()) throw std::runtime_error("cannot resolve '" + host + "'");
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = ::inet_addr(addresses.front().c_str());

  const std::string where = addresses.front() + ":" + std::to_string(port);
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) Fail(s, "cannot create a socket for " + where);
  if (!os::PrepareListener(s)) Fail(s, "cannot set the address options of " + where);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) Fail(s, "cannot bind " + where);
  if (::listen(s, SOMAXCONN) != 0) Fail(s, "cannot listen on " + where);
  return s;
}

uint16_t BoundPort(SOCKET s) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  socklen_t length = sizeof address;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

SOCKET Accept(const libmo::UniqueSocket& listener, AcceptFailure* failure) {
  if (!os::WaitAcceptable(listener)) {
    *failure = AcceptFailure::kFatal;
    return INVALID_SOCKET;
  }
  const SOCKET s = ::accept(listener.Handle(), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    *failure = os::ClassifyAcceptError();
  } else if (!os::PrepareAccepted(s)) {
    *failure = AcceptFailure::kRetry;
    netutils::CloseSocket(s);
    return INVALID_SOCKET;
  } else {
    netutils::SetNoDelay(s);
  }
  return s;
}

bool ShutdownSend(SOCKET s) { return ::shutdown(s, os::ShutdownSendHow()) == 0; }

bool IsTimeoutError(int error) { return os::IsTimeoutError(error); }
bool IsInterruptedError(int error) { return os::IsInterruptedError(error); }

}  // namespace relvoproxy::net
