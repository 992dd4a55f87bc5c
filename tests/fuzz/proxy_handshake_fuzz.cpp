// The connector's side of the handshake played from the input against relvoproxy's check: a key, then answer and type
// word cut into segments as the input says (led by the right answer when the input's flag says so, so that the type
// word is reached). Only the right answer with type word 1 or 2 is accepted, as that type.
#include "Common/UniqueSocket.h"
#include "Common/relvo/Wire.h"
#include "tests/fuzz/feed.h"
#include "tools/relvoproxy/handshake.h"

using relvoproxy::HandshakeStatus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string key = input.ConsumeRandomLengthString(relvo::wire::kMaxKeyBytes);
  const bool right = input.ConsumeBool();
  std::vector<std::string> segments = fuzz::Segments(input, 16);
  const std::string answer = relvo::wire::HandshakeAnswer(key) + '\0';
  if (right) segments.insert(segments.begin(), answer);
  const std::string stream = fuzz::Joined(segments);

  fuzz::FedPair pair(std::move(segments));
  libmo::UniqueSocket tested(pair.tested, /*own=*/false);
  const relvoproxy::HandshakeResult result = relvoproxy::AcceptHandshake(
      tested, key, relvoproxy::Clock::now() + std::chrono::seconds(10), [] { return true; });
  pair.StopFeeding();
  FUZZ_CHECK(result.status != HandshakeStatus::kTimedOut && result.status != HandshakeStatus::kFailed);
  const uint16_t type = result.status == HandshakeStatus::kCommand ? 1 : 2;
  if (result.status == HandshakeStatus::kCommand || result.status == HandshakeStatus::kTransport) {
    FUZZ_CHECK(stream.compare(0, answer.size() + 2, answer + relvo::wire::Word(type)) == 0);
  }
  if (result.status == HandshakeStatus::kBadType) FUZZ_CHECK(stream.compare(0, answer.size(), answer) == 0);
  return 0;
}
