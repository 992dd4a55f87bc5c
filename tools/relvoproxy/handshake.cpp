#include "tools/relvoproxy/handshake.h"

#include <cstdio>
#include <cstring>

#include "Common/netUtils.h"
#include "Common/oserror.h"
#include "Common/relvo/Wire.h"
#include "Common/socket_timeout.h"
#include "tools/relvoproxy/net.h"

namespace relvoproxy {

namespace {

using relvo::wire::kMaxAnswerLength;

// Receive's one try: -1 when a signal ended it before the deadline.
int ReceiveOnce(SOCKET s, char* data, int length, Clock::time_point deadline, HandshakeResult* result) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) {
    result->status = HandshakeStatus::kTimedOut;
    return 0;
  }
  if (!netutils::SetReceiveTimeout(s, static_cast<uint32_t>(left))) {
    result->status = HandshakeStatus::kFailed;
    result->detail = libmo::ErrorText(libmo::LastSocketError());
    return 0;
  }
  const int n = static_cast<int>(::recv(s, data, length, 0));
  if (n > 0) return n;
  if (n == 0) {
    result->status = HandshakeStatus::kClosed;
  } else {
    const int error = libmo::LastSocketError();
    if (net::IsInterruptedError(error)) return -1;
    if (net::IsTimeoutError(error)) {
      result->status = HandshakeStatus::kTimedOut;
    } else {
      result->status = HandshakeStatus::kFailed;
      result->detail = libmo::ErrorText(error);
    }
  }
  return 0;
}

// One receive into `data` that ends by `deadline`: the count received (> 0),
// or 0 with the reason in `*result`.
int Receive(SOCKET s, char* data, int length, Clock::time_point deadline, HandshakeResult* result) {
  for (;;) {
    const int n = ReceiveOnce(s, data, length, deadline, result);
    if (n >= 0) return n;
  }
}

bool SendWord(SOCKET s, uint16_t value) {
  const std::string word = relvo::wire::Word(value);
  return netutils::SendAll(s, word.data(), static_cast<int>(word.size()));
}

HandshakeResult SendFailure() {
  HandshakeResult result;
  const int error = libmo::LastSocketError();
  result.status = HandshakeStatus::kFailed;
  result.detail = libmo::ErrorText(error);
  return result;
}

}  // namespace

const char* HandshakeStatusText(HandshakeStatus status) {
  switch (status) {
    case HandshakeStatus::kCommand:
      return "command connection";
    case HandshakeStatus::kTransport:
      return "transport connection";
    case HandshakeStatus::kWrongAnswer:
      return "wrong answer";
    case HandshakeStatus::kBadType:
      return "unknown connection type";
    case HandshakeStatus::kClosed:
      return "closed by the peer";
    case HandshakeStatus::kTimedOut:
      return "timed out";
    case HandshakeStatus::kFailed:
      return "socket error";
    case HandshakeStatus::kAborted:
      return "aborted";
  }
  return "?";
}

std::string Printable(std::string_view bytes, size_t limit) {
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= ' ' && c <= '~' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  if (bytes.size() > limit) text += "...";
  return text;
}

HandshakeResult AcceptHandshake(SOCKET s, std::string_view key, Clock::time_point deadline,
                                const std::function<bool()>& beforeAccept) {
  if (std::optional<HandshakeResult> failed = SendHandshakeKey(s, key)) return *failed;
  return ContinueHandshake(s, key, deadline, beforeAccept);
}

std::optional<HandshakeResult> SendHandshakeKey(SOCKET s, std::string_view key) {
  // Key and zero byte in one send: the connector takes the key from a single
  // receive.
  std::string keyText(key);
  keyText += '\0';
  if (!netutils::SendAll(s, keyText.data(), static_cast<int>(keyText.size()))) return SendFailure();
  return std::nullopt;
}

HandshakeResult ContinueHandshake(SOCKET s, std::string_view key, Clock::time_point deadline,
                                  const std::function<bool()>& beforeAccept) {
  HandshakeResult result;

  // The answer, up to its zero byte. One byte more than the longest right
  // answer with its zero is enough to tell an overlong one.
  char answer[kMaxAnswerLength + 2];
  int have = 0;
  const char* zero = nullptr;
  while (zero == nullptr) {
    if (have == static_cast<int>(sizeof answer)) break;
    const int n = Receive(s, answer + have, static_cast<int>(sizeof answer) - have, deadline, &result);
    if (n == 0) return result;
    zero = static_cast<const char*>(std::memchr(answer + have, '\0', static_cast<size_t>(n)));
    have += n;
  }
  const bool alone = zero != nullptr && zero + 1 == answer + have;
  if (!alone || std::string_view(answer, static_cast<size_t>(zero - answer)) != relvo::wire::HandshakeAnswer(key)) {
    SendWord(s, relvo::wire::kRejected);
    result.status = HandshakeStatus::kWrongAnswer;
    result.detail = Printable(std::string_view(answer, static_cast<size_t>(have)));
    return result;
  }

  if (!beforeAccept()) {
    result.status = HandshakeStatus::kAborted;
    return result;
  }
  if (!SendWord(s, relvo::wire::kAccepted)) return SendFailure();

  // Exactly the two bytes of the type word.
  unsigned char type[2];
  int typed = 0;
  while (typed < 2) {
    const int n = Receive(s, reinterpret_cast<char*>(type) + typed, 2 - typed, deadline, &result);
    if (n == 0) return result;
    typed += n;
  }
  const uint16_t value = relvo::wire::ReadWord(type);
  if (value == relvo::wire::kCommandConnection || value == relvo::wire::kTransportConnection) {
    netutils::SetReceiveTimeout(s, 0);
    result.status = value == relvo::wire::kCommandConnection ? HandshakeStatus::kCommand : HandshakeStatus::kTransport;
  } else {
    result.status = HandshakeStatus::kBadType;
    result.detail = std::to_string(value);
  }
  return result;
}

}  // namespace relvoproxy
