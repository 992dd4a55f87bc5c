#include "Common/netUtils.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/oserror.h"

namespace netutils {

namespace {

constexpr const char* kFile = "Common/netUtils";
constexpr int kConnectTimeoutSeconds = 2;
constexpr int kHostSize = 1025;
constexpr int kServiceSize = 32;
constexpr int kAddressSize = 16;  // sizeof(sockaddr_in)

static_assert(sizeof(sockaddr_in) == kAddressSize);

// Closes `s`, records the place of Connect's report at `line` and throws.
[[noreturn]] void FailConnect(SOCKET s, int line, const char* what) {
  CloseSocket(s);
  SetErrorPlace("netutils::Connect", kFile, line);
  ThrowSocketError("%s", what);
}

}  // namespace

void InitNet() {
  if (os::StartupLibrary() != 0) {
    SetErrorPlace("netutils::InitNet", kFile, 13);
    LogSocketError("Can't startup sockets.");
  }
}

void CleanupNet() {
  if (os::CleanupLibrary() != 0) {
    SetErrorPlace("netutils::CleanupNet", kFile, 21);
    LogSocketError("Can't cleanup sockets.");
  }
}

bool CheckRecvResult(int result, const std::string& what, bool report) {
  if (result > 0) return true;
  if (report) {
    if (result == 0) {
      LogError("%s  Connection closed.", what.c_str());
    } else {
      SetErrorPlace("netutils::CheckRecvResult", kFile, 60);
      LogSocketError("%s", what.c_str());
    }
  }
  return false;
}

bool SendEvery(int length, const std::function<int(int offset, int left)>& sendSome) {
  int sent = 0;
  while (sent < length) {
    const int n = sendSome(sent, length - sent);
    if (n < 0) return false;
    sent += n;
  }
  return true;
}

bool SendAll(SOCKET s, const char* data, int length) {
  return SendEvery(length, [&](int offset, int left) { return Send(s, data + offset, left); });
}

void GetPeerInfo(SOCKET s, std::string& address, std::string& port) {
  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  socklen_t length = kAddressSize;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    SetErrorPlace("netutils::GetPeerInfo", kFile, 30);
    LogOsError("Failed to get remote peer name.");
    return;
  }
  char host[kHostSize] = {};
  char service[kServiceSize] = {};
  if (os::NumericNameInfo(reinterpret_cast<const sockaddr*>(&peer), static_cast<int>(length), host, kHostSize,
                          service, kServiceSize) != 0) {
    SetErrorPlace("netutils::GetPeerInfo", kFile, 40);
    LogSocketError("Failed to get name info.");
    return;
  }
  address = host;
  port = service;
}

std::list<std::string> GetIpAddress(std::string_view host) {
  const std::string name(host);
  std::list<std::string> addresses;
  addrinfo* result = nullptr;
  if (os::ResolveIpv4(name.c_str(), &result) != 0) {
    const int code = libmo::LastSocketError();
    SetErrorPlace("netutils::GetIpAddress", kFile, 74);
    LogSocketError("Failed to get address info for '%s'.", name.c_str());
    // Left for the caller's report (Connect throws with it).
    libmo::SetLastOsError(code);
    return addresses;
  }
  for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
    char text[kHostSize] = {};
    char service[kServiceSize] = {};
    if (os::NumericNameInfo(entry->ai_addr, kAddressSize, text, kHostSize, service, kServiceSize) != 0) {
      SetErrorPlace("netutils::GetIpAddress", kFile, 86);
      LogSocketError("Failed to get name info.");
      ::freeaddrinfo(result);
      return addresses;
    }
    addresses.emplace_back(text);
  }
  ::freeaddrinfo(result);
  return addresses;
}

bool SetNoDelay(SOCKET s) { return os::SetNoDelay(s); }

SOCKET Connect(std::string_view host, unsigned short port, const std::function<bool()>& cancelled) {
  const std::string hostText(host);
  const std::list<std::string> addresses = GetIpAddress(host);
  if (addresses.empty()) {
    SetErrorPlace("netutils::Connect", kFile, 128);
    ThrowSocketError("Address '%s' can not be resolved", hostText.c_str());
  }
  // Only the first address is tried.
  const std::string& address = addresses.front();

  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    SetErrorPlace("netutils::Connect", kFile, 138);
    ThrowSocketError("Failed to create socket");
  }

  sockaddr_in target;
  std::memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = ::inet_addr(address.c_str());

  if (!os::SetBlocking(s, false)) FailConnect(s, 148, "Error set_non_blocking_mode");

  LogEvent("Connecting to '%s:%d'...", address.c_str(), static_cast<int>(port));

  // A connect that fails at once (rather than going under way) is treated as
  // a pending error: waiting for it would report a socket that never
  // connected as writable.
  int pending = os::BeginConnect(s, target);
  int ready = 1;
  if (pending == 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kConnectTimeoutSeconds);
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      ready = os::WaitConnect(s, static_cast<int>(std::clamp<int64_t>(left.count(), 0, cancelled ? 50 : 2000)));
      if (ready != 0 || left.count() <= 0 || (cancelled && cancelled())) break;
    }
    if (ready == SOCKET_ERROR) FailConnect(s, 171, "Error at socket select");

    // Read also after a time-out: a late failure is reported as such.
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) < 0) {
      FailConnect(s, 178, "Error at getsockopt()");
    }
    pending = error;
  }

  if (pending != 0) {
    const std::string text = libmo::ErrorText(pending);
    CloseSocket(s);
    SetErrorPlace("netutils::Connect", kFile, 183);
    ThrowPlacedError("Can't connect to address=%s, port=%d - %s", hostText.c_str(), static_cast<int>(port),
                     text.c_str());
  }
  if (ready != 1) {
    CloseSocket(s);
    SetErrorPlace("netutils::Connect", kFile, 190);
    ThrowPlacedError("server '%s:%d' is not responding. [%d]", hostText.c_str(), static_cast<int>(port), ready);
  }

  if (!os::SetBlocking(s, true)) FailConnect(s, 196, "Error set_blocking_mode");
  // The handshake, the answers and interactive payload are small writes:
  // none of them may wait for an acknowledgement of the one before.
  SetNoDelay(s);
  return s;
}

}  // namespace netutils
