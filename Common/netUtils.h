// The socket toolbox: start-up and clean-up of the socket library, a TCP
// connect with a time-out, name resolution, the peer's address, a send-all
// loop and the check of a receive result. IPv4 and TCP only.
//
// All functions are reentrant and keep no state between calls. Failures are
// reported with the placed-error operations of Common/assert.h; Connect
// reports by throwing std::runtime_error.
#pragma once

#include <functional>
#include <list>
#include <string>
#include <string_view>

#include "Common/platform.h"

namespace netutils {

// Starts the socket library (version 2.2). A failure is logged ("Can't
// startup sockets.") and nothing else happens. On POSIX it also makes a write
// to a connection the peer has closed fail with an error instead of raising
// SIGPIPE. Call once per process before any socket is used.
void InitNet();

// Cleans the socket library up; a failure is logged ("Can't cleanup
// sockets."). Call once, at the very end.
void CleanupNet();

// True when `result` (of a recv) is greater than 0. Otherwise false; with
// `report` a 0 is logged as "<what>  Connection closed." and a negative
// result as `what` with the last socket error.
bool CheckRecvResult(int result, const std::string& what, bool report = true);

// Sends all `length` bytes of `data` on `s`, blocking until done. True at
// once when `length` is less than 1. False, without a report, when a send
// fails; the last socket error tells why. Never raises SIGPIPE.
bool SendAll(SOCKET s, const char* data, int length);

// The one send-all loop: calls `sendSome(offset, left)` (one send of up to
// `left` bytes starting `offset` bytes into the caller's data; the count sent
// or -1) until `length` bytes went out. True at once when `length` is less
// than 1; false as soon as one call returns a negative count.
bool SendEvery(int length, const std::function<int(int offset, int left)>& sendSome);

// The numeric address and port of the connected peer of `s`. On failure the
// error is logged and both outputs are left unchanged.
void GetPeerInfo(SOCKET s, std::string& address, std::string& port);

// The numeric IPv4 addresses of `host`, in resolver order, duplicates kept.
// Empty (and logged) when `host` cannot be resolved.
std::list<std::string> GetIpAddress(std::string_view host);

// Connects to the first address of `host` on `port`, waiting at most 2
// seconds, and less once `cancelled` (tested every 50 ms) returns true: a
// cancelled connect fails as one that timed out. Returns a connected,
// blocking TCP socket with TCP_NODELAY set (best effort) that the caller owns
// and must close; never an invalid one. Every failure closes the socket it
// made and throws std::runtime_error.
SOCKET Connect(std::string_view host, unsigned short port, const std::function<bool()>& cancelled = {});

// Sends small writes on `s` at once (TCP_NODELAY) instead of holding them
// until earlier data is acknowledged. False when the option was refused.
bool SetNoDelay(SOCKET s);

// Closes `s`. Keeps the calling thread's last socket error, so that the
// failure that led to the close can still be reported. False when the close
// itself failed.
bool CloseSocket(SOCKET s);

// One send of up to `length` bytes (flags 0); the result of send. Never
// raises SIGPIPE.
int Send(SOCKET s, const char* data, int length);

// The thin layer over the calls that differ between the socket libraries
// (netUtils_win.cpp, netUtils_posix.cpp). Failures leave their code as the
// calling thread's last socket error (libmo::LastSocketError).
namespace os {

// WSAStartup(2.2) / nothing but ignoring SIGPIPE. 0 or the error code.
int StartupLibrary();

// WSACleanup / nothing. 0 or the error code.
int CleanupLibrary();

// Switches `s` to blocking or non-blocking mode. False on failure.
bool SetBlocking(SOCKET s, bool blocking);

// setsockopt(IPPROTO_TCP, TCP_NODELAY, 1). False on failure.
bool SetNoDelay(SOCKET s);

// Starts a connect of the non-blocking `s` to `address`. 0 when the
// connection is made or under way, otherwise the error code of a connect that
// failed at once.
int BeginConnect(SOCKET s, const sockaddr_in& address);

// Waits up to `ms` milliseconds for a connect under way on `s` to end,
// successfully or not. 1 when it ended, 0 on time-out, SOCKET_ERROR.
int WaitConnect(SOCKET s, int ms);

// getaddrinfo of `host` for IPv4 stream sockets. 0 or non-zero; on non-zero
// the last socket error is set.
int ResolveIpv4(const char* host, addrinfo** result);

// getnameinfo with NI_NUMERICHOST | NI_NUMERICSERV. 0 or non-zero; on
// non-zero the last socket error is set.
int NumericNameInfo(const sockaddr* address, int length, char* host, int hostSize, char* service, int serviceSize);

// The error code of a refused connection, as the socket layer reports it.
int ConnectionRefusedCode();

// The wake-up object of one socket holder (libmo::UniqueSocket): a
// manual-reset event on Windows, none (nullptr) on POSIX, where shutting the
// socket down wakes the calls blocked on it.
void* NewWake();
void SignalWake(void* wake);
void FreeWake(void* wake);

}  // namespace os

}  // namespace netutils
