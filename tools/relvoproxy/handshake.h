// The accepting side of the handshake that opens every connection a
// connector makes to the proxy:
//   proxy -> key, then one zero byte (in one send)
//   connector -> answer text, then one zero byte
//   proxy -> acceptance word 01 00, or 00 00 for a wrong answer (then close)
//   connector -> connection type word: 01 00 command, 02 00 transport
// Words are 16-bit little-endian.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Common/UniqueSocket.h"

namespace relvoproxy {

using Clock = std::chrono::steady_clock;

enum class HandshakeStatus {
  kCommand,      // accepted; a command connection
  kTransport,    // accepted; a transport connection
  kWrongAnswer,  // the answer was wrong, too long or not alone; 00 00 sent
  kBadType,      // accepted, but the type word is neither 1 nor 2
  kClosed,       // the peer closed the connection before the end
  kTimedOut,     // the deadline passed
  kFailed,       // a socket error
  kAborted,      // the caller's check before the acceptance said no
};

// A short English description ("wrong answer", "timed out", ...).
const char* HandshakeStatusText(HandshakeStatus status);

struct HandshakeResult {
  HandshakeStatus status = HandshakeStatus::kFailed;
  // kWrongAnswer: what arrived, with unprintable bytes escaped; kBadType:
  // the type value; kFailed: the socket error text.
  std::string detail;
};

// Runs the handshake with `key` on the connected, blocking socket `s`; every
// receive ends by `deadline`, or at once when the holder is closed (kClosed). The answer is read up to its zero byte and at
// most kMaxAnswerLength characters; bytes after the zero byte, before the
// acceptance word was sent, make a wrong answer. Once the answer is found
// right, `beforeAccept` runs; when it returns false nothing more is sent
// (kAborted). Nothing past the type word is read: every later byte belongs
// to the connection's own protocol. On success the receive time-out of `s`
// is cleared again. Never throws (but `beforeAccept` may).
HandshakeResult AcceptHandshake(libmo::UniqueSocket& s, std::string_view key, Clock::time_point deadline,
                                const std::function<bool()>& beforeAccept);

// The two parts of AcceptHandshake, for a caller that sends the key at once
// and hands the rest to another thread. SendHandshakeKey: the key and its
// zero byte in one send; nothing when it went out, the failure (kFailed)
// otherwise. ContinueHandshake: the rest, once the key went out.
std::optional<HandshakeResult> SendHandshakeKey(libmo::UniqueSocket& s, std::string_view key);
HandshakeResult ContinueHandshake(libmo::UniqueSocket& s, std::string_view key, Clock::time_point deadline,
                                  const std::function<bool()>& beforeAccept);

// `bytes` as printable text: characters outside ' ' to '~' and the
// backslash are written as \xNN; cut after `limit` bytes with "...".
std::string Printable(std::string_view bytes, size_t limit = 40);

}  // namespace relvoproxy
