#include <cstring>

#include "Common/netUtils.h"

namespace netutils {

bool CloseSocket(SOCKET s) {
  const int saved = ::WSAGetLastError();
  const bool closed = ::closesocket(s) == 0;
  ::WSASetLastError(saved);
  return closed;
}

int Send(SOCKET s, const char* data, int length) { return ::send(s, data, length, 0); }

namespace os {

int StartupLibrary() {
  WSADATA data;
  const int result = ::WSAStartup(0x0202, &data);
  // WSAStartup returns its error instead of setting it.
  if (result != 0) ::WSASetLastError(result);
  return result;
}

int CleanupLibrary() { return ::WSACleanup() == 0 ? 0 : ::WSAGetLastError(); }

bool SetBlocking(SOCKET s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ::ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

bool SetNoDelay(SOCKET s) {
  const BOOL on = TRUE;
  return ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

int BeginConnect(SOCKET s, const sockaddr_in& address) {
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
  const int error = ::WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS ? 0 : error;
}

// A refused or otherwise failed connect shows in the except set, a
// successful one in the write set.
int WaitConnect(SOCKET s, int ms) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(s, &writable);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(s, &failed);
  timeval timeout{};
  timeout.tv_sec = ms / 1000;
  timeout.tv_usec = (ms % 1000) * 1000;
  const int result = ::select(1, nullptr, &writable, &failed, &timeout);
  // The socket is counted once per set it shows in; it ended either way.
  return result > 1 ? 1 : result;
}

int ResolveIpv4(const char* host, addrinfo** result) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  const int code = ::getaddrinfo(host, nullptr, &hints, result);
  if (code != 0) ::WSASetLastError(code);
  return code;
}

int NumericNameInfo(const sockaddr* address, int length, char* host, int hostSize, char* service, int serviceSize) {
  const int code = ::getnameinfo(address, length, host, static_cast<DWORD>(hostSize), service,
                                 static_cast<DWORD>(serviceSize), NI_NUMERICHOST | NI_NUMERICSERV);
  if (code != 0) ::WSASetLastError(code);
  return code;
}

int ConnectionRefusedCode() { return WSAECONNREFUSED; }

void* NewWake() { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

void SignalWake(void* wake) {
  if (wake != nullptr) ::SetEvent(wake);
}

void FreeWake(void* wake) {
  if (wake != nullptr) ::CloseHandle(wake);
}

}  // namespace os

}  // namespace netutils
