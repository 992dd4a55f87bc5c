// The proxy's side of the handshake played from the input (key, acceptance, cut into segments as the input says)
// against the connector's. What the connector sends is always the start of the answer owed for a key it could have
// taken (the stream's first 1 to 1000 bytes, up to a zero byte), a zero byte and its type word; all of it exactly when
// it reports success.
#include <sys/socket.h>

#include <algorithm>

#include "Common/UniqueSocket.h"
#include "Common/relvo/Wire.h"
#include "client/handshake.h"
#include "tests/fuzz/feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const relvo::ConnType type = input.ConsumeBool() ? relvo::ConnType::Command : relvo::ConnType::Transport;
  std::vector<std::string> segments = fuzz::Segments(input, 1100);
  const std::string stream = fuzz::Joined(segments);

  fuzz::FedPair pair(std::move(segments));
  const bool shaken = relvo::DoHandShake(libmo::UniqueSocket(pair.tested, false), type);
  pair.StopFeeding();
  // Read before the close: a close with bytes unread resets the pair.
  const std::string sent = fuzz::Read(pair.peer, MSG_DONTWAIT);
  const std::string answer = sent.substr(0, sent.find('\0'));
  std::string owed;
  for (size_t taken = 1; taken <= std::min(stream.size(), relvo::wire::kMaxKeyBytes) && owed.empty(); ++taken) {
    if (relvo::wire::HandshakeAnswer(stream.substr(0, std::min(taken, stream.find('\0')))) == answer) {
      owed = answer + '\0' + relvo::wire::Word(static_cast<uint16_t>(type));
    }
  }
  FUZZ_CHECK(sent.empty() || !owed.empty());
  FUZZ_CHECK(owed.compare(0, sent.size(), sent) == 0);
  FUZZ_CHECK(shaken == (!sent.empty() && sent == owed));
  return 0;
}
