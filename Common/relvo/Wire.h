// The proxy-server protocol, written once: the salt, the 16-bit words of the
// handshake and of the command connection, the handshake answer and the
// proxy record's layout. The connector, relvoproxy and the test peers all
// speak it through this module.
//
// Handshake, on every connection a connector makes to the proxy server:
//   proxy     -> key (1 to kMaxKeyBytes bytes, optionally ending in a zero)
//   connector -> HandshakeAnswer(key), then one zero byte
//   proxy     -> acceptance word (kRejected, or any other value to accept)
//   connector -> connection type word (kCommandConnection, kTransportConnection)
// Command connection, after its handshake: the proxy sends command words
// (kPing, kCreateTransport); the connector answers a create-transport with
// kCreated or kNotCreated. Every word is 16-bit little-endian.
//
// Proxy record, first on a target connection that asks for it:
//   FF FF | salt | L (32-bit big-endian) | text (L - 1 bytes) | 00
//   text: "[<uid>] srcin=/<address>:<port> dstin", at most kMaxRecordText
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace relvo::wire {

constexpr std::string_view kSalt = "kavu";

// Longest key the connector reads (one receive of this size).
constexpr size_t kMaxKeyBytes = 1000;
// Longest answer text: a signed 32-bit decimal.
constexpr size_t kMaxAnswerLength = 11;

// Words of the handshake.
constexpr uint16_t kRejected = 0;
constexpr uint16_t kAccepted = 1;
constexpr uint16_t kCommandConnection = 1;
constexpr uint16_t kTransportConnection = 2;

// Words of the command connection.
constexpr uint16_t kPing = 25;
constexpr uint16_t kCreateTransport = 33;
constexpr uint16_t kNotCreated = 0;
constexpr uint16_t kCreated = 1;

constexpr size_t kWordSize = 2;

// The two bytes of `value` on the wire.
std::string Word(uint16_t value);

// The value of the word whose bytes start at `bytes`.
// REQUIRES: two bytes readable there.
inline uint16_t ReadWord(const void* bytes) {
  const unsigned char* b = static_cast<const unsigned char*>(bytes);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

// The answer text owed for `key` (without its zero byte): the one-at-a-time
// hash of key + salt in 32-bit unsigned arithmetic, each byte taken as
// unsigned, written as a signed decimal int ("-1" for all bits set).
std::string HandshakeAnswer(std::string_view key);

// The proxy record's parts.
constexpr std::string_view kRecordMarker{"\xFF\xFF", 2};
constexpr size_t kMaxRecordText = 255;
// The record's text for entry `uid` and the transport's far end
// `address`:`port`, cut to kMaxRecordText characters, with its zero byte.
std::string RecordText(std::string_view address, std::string_view port, int uid);
// The length field: `length` as 4 bytes, big-endian.
std::string RecordLength(uint32_t length);

}  // namespace relvo::wire
