#include "client/handshake.h"

#include <cstring>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/socket_io.h"

namespace relvo {

std::string HashHandshakeKey(std::string_view key) { return wire::HandshakeAnswer(key); }

bool DoHandShake(const libmo::UniqueSocket& s, ConnType type) {
  // 1. The key: one receive, up to the first zero byte.
  char keyBuffer[wire::kMaxKeyBytes] = {};
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
  if (wire::ReadWord(word) == wire::kRejected) return false;

  // 4. The connection type.
  const std::string typeWord = wire::Word(static_cast<uint16_t>(type));
  if (!netutils::SendAll(s, typeWord.data(), static_cast<int>(typeWord.size()))) {
    LogEvent("Handshake send connType failed");
    return false;
  }
  LogEvent("Handshake is successful.");
  return true;
}

}  // namespace relvo
