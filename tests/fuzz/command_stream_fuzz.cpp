// Any byte stream, cut into segments as the input says, on the connector's command connection. The reader answers each
// create-transport word (at an even offset) once, with 00 00 here (the transport connect is refused), and sends nothing
// else.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "Common/UniqueSocket.h"
#include "Common/relvo/Wire.h"
#include "client/ProxyServer.h"
#include "tests/fuzz/feed.h"

namespace {
namespace wire = relvo::wire;

// A loopback port bound and never listened on: every connect is refused.
const uint16_t refusingPort = [] {
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  ::bind(s, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::string> segments = fuzz::Segments(input, 8);
  const std::string stream = fuzz::Joined(segments);
  std::string expected;
  for (size_t i = 0; i + 1 < stream.size(); i += 2) {
    if (wire::ReadWord(stream.data() + i) == wire::kCreateTransport) expected += wire::Word(wire::kNotCreated);
  }

  const auto proxy = std::make_shared<relvo::ProxyServer>();
  proxy->host = "127.0.0.1";
  proxy->port = refusingPort;
  fuzz::FedPair pair(std::move(segments));
  proxy->AdoptCommandSocket(std::make_shared<libmo::UniqueSocket>(pair.tested));
  pair.tested = -1;  // the holder owns it now
  const std::string answers = fuzz::Read(pair.peer);
  pair.StopFeeding();
  proxy->StopCommandReader();
  FUZZ_CHECK(answers == expected);
  return 0;
}
