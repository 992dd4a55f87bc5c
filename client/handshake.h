// The connector's side of the four-step handshake that opens every
// connection to the proxy server (the protocol: Common/relvo/Wire.h).
#pragma once

#include <string>
#include <string_view>

#include "Common/UniqueSocket.h"
#include "Common/relvo/Wire.h"

namespace relvo {

enum class ConnType : unsigned short { Command = wire::kCommandConnection, Transport = wire::kTransportConnection };

// The answer text sent for `key` (wire::HandshakeAnswer).
std::string HashHandshakeKey(std::string_view key);

// Runs the connector's side of the handshake on `s`. True when every step
// succeeded and the proxy server accepted. Failures are logged here, except
// a rejection (acceptance word 0), which is silent. Closing `socket` from
// another thread ends a handshake that waits for the proxy server.
bool DoHandShake(const libmo::UniqueSocket& socket, ConnType type);

}  // namespace relvo
