#include "client/handshake.h"

#include <cstdint>
#include <cstring>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/socket_io.h"

namespace relvo {

std::string HashHandshakeKey(std::string_view key) {
  std::string text(key);
  text += kHandshakeSalt;
  uint32_t h = 0;
  for (unsigned char b : text) {
    h += b;
    h += h << 10;
    h ^= h >> 6;
  }
  h += h << 3;
  h ^= h >> 11;
  h += h << 15;
  return std::to_string(static_cast<int32_t>(h));
}

bool DoHandShake(const libmo::UniqueSocket& s, ConnType type) {
  // 1. The key: one receive, up to the first zero byte.
  char keyBuffer[1000] = {};
  const int received = netutils::Recv(s, keyBuffer, sizeof keyBuffer);
  if (!netutils::CheckRecvResult(received, "Handshake recv key failed")) return false;
  const std::string_view key(keyBuffer, ::strnlen(keyBuffer, static_cast<size_t>(received)));

  // 2. The answer with its zero byte.
  const std::string answer = HashHandshakeKey(key);
  if (!netutils::SendAll(s, answer.c_str(), static_cast<int>(answer.size() + 1))) {
    SetErrorPlace("DoHandShake", "ProxyServer", 50);
    LogSocketError("Handshake send hash failed");
    return false;
  }

  // 3. The acceptance word; a single byte is its low byte.
  unsigned char word[2] = {0, 0};
  const int got = netutils::Recv(s, reinterpret_cast<char*>(word), sizeof word);
  if (!netutils::CheckRecvResult(got, "Handshake recv acceptanceResult")) return false;
  const uint16_t acceptance = static_cast<uint16_t>(word[0] | (word[1] << 8));
  if (acceptance == 0) return false;

  // 4. The connection type.
  const uint16_t value = static_cast<uint16_t>(type);
  const char typeBytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
  if (!netutils::SendAll(s, typeBytes, sizeof typeBytes)) {
    LogEvent("Handshake send connType failed");
    return false;
  }
  LogEvent("Handshake is successful.");
  return true;
}

}  // namespace relvo
