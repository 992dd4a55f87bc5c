// Blocking receive and send on a socket holder, woken when the holder is
// closed from another thread. Every call that may block on a connection the
// connector shares between threads goes through these functions.
#pragma once

#include <cstdint>

#include "Common/UniqueSocket.h"

namespace netutils {

// One receive of up to `length` bytes, as recv: the count (> 0), 0 at the
// end of the stream or once `socket` was closed (Reset), -1 on an error or
// after the receive time-out (the last socket error tells which).
// REQUIRES: the caller holds `socket` for the whole call.
int Recv(const libmo::UniqueSocket& socket, char* data, int length);

// One send of up to `length` bytes, as send: the count sent, or -1 on an
// error or once `socket` was closed. Never raises SIGPIPE.
int Send(const libmo::UniqueSocket& socket, const char* data, int length);

// One send like Send; with `more`, the bytes may wait in the system to leave
// with those of the next send, in fewer and larger segments (Linux:
// MSG_MORE; elsewhere `more` changes nothing). Waiting bytes leave at the
// latest with a later send without `more`, a Push or a ShutdownSend.
int SendPart(const libmo::UniqueSocket& socket, const char* data, int length, bool more);

// Sends at once the bytes that sends with `more` left waiting. False when
// that failed.
bool Push(const libmo::UniqueSocket& socket);

// Like Recv, but kNothingYet at once when no byte is waiting, where the
// platform can tell without waiting (Linux); elsewhere it waits like Recv.
constexpr int kNothingYet = -2;
int RecvIfReady(const libmo::UniqueSocket& socket, char* data, int length);

// Waits until a receive on `socket` would not wait (bytes, the end, an
// error, or the holder closed), where the platform can wait without a
// buffer (Linux) and `socket` has no receive bound; elsewhere it returns at
// once and the receive that follows waits.
void WaitReadable(const libmo::UniqueSocket& socket);

// Sends all `length` bytes; true at once when `length` is less than 1. False
// when a send fails (the last socket error tells why).
bool SendAll(const libmo::UniqueSocket& socket, const char* data, int length);

// Shuts the sending direction down: the peer reads the end of the stream
// after everything sent so far. False when that failed.
bool ShutdownSend(const libmo::UniqueSocket& socket);

// Bounds every later Recv on `socket` to `ms` milliseconds (0: no bound).
// False when the bound cannot be set.
bool SetReceiveTimeout(libmo::UniqueSocket& socket, uint32_t ms);

}  // namespace netutils
