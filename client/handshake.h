// The four-step handshake that opens every connection to the proxy server:
//   proxy -> key (1..1000 bytes, optionally ending in a zero byte)
//   connector -> answer text + one zero byte
//   proxy -> 16-bit little-endian acceptance word (0 rejects)
//   connector -> 16-bit little-endian connection type
#pragma once

#include <string>
#include <string_view>

#include "Common/UniqueSocket.h"

namespace relvo {

enum class ConnType : unsigned short { Command = 1, Transport = 2 };

// The salt appended to every key; also the magic of the proxy record.
constexpr std::string_view kHandshakeSalt = "kavu";

// One-at-a-time hash of key + salt in 32-bit unsigned arithmetic, written as
// a signed decimal int ("-1" for all bits set).
std::string HashHandshakeKey(std::string_view key);

// Runs the connector's side of the handshake on `s`. True when every step
// succeeded and the proxy server accepted. Failures are logged here, except
// a rejection (acceptance word 0), which is silent. Closing `socket` from
// another thread ends a handshake that waits for the proxy server.
bool DoHandShake(const libmo::UniqueSocket& socket, ConnType type);

}  // namespace relvo
