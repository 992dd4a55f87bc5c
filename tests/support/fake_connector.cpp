#include "tests/support/fake_connector.h"

#include <stdexcept>

#include "Common/netUtils.h"
#include "Common/socket_io.h"
#include "Common/oserror.h"
#include "Common/relvo/Wire.h"
#include "Common/socket_timeout.h"
#include "tools/relvoproxy/net.h"

namespace relvoproxy::testing {
namespace {

using Clock = std::chrono::steady_clock;
namespace wire = relvo::wire;

// One receive bounded by `deadline`: > 0 bytes, 0 at the end, -1 on a
// time-out.
int ReceiveUntil(SOCKET s, char* data, size_t length, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return -1;
    netutils::SetReceiveTimeout(s, static_cast<uint32_t>(left));
    const int n = static_cast<int>(::recv(s, data, static_cast<int>(length), 0));
    if (n >= 0) return n;
    if (!net::IsTimeoutError(libmo::LastSocketError())) return 0;  // a reset ends it too
  }
}

bool SendBytes(SOCKET s, const std::string& bytes) {
  return netutils::SendAll(s, bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace

Socket ConnectLoopback(uint16_t port) {
  return std::make_shared<libmo::UniqueSocket>(netutils::Connect("127.0.0.1", port));
}

std::string ReadBytes(SOCKET s, size_t n, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  std::string out;
  char buffer[16384];
  while (out.size() < n) {
    const int got = ReceiveUntil(s, buffer, std::min(sizeof buffer, n - out.size()), deadline);
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

bool WaitEnd(SOCKET s, std::chrono::milliseconds timeout, std::string* extra) {
  const Clock::time_point deadline = Clock::now() + timeout;
  char buffer[4096];
  for (int n; (n = ReceiveUntil(s, buffer, sizeof buffer, deadline)) != 0;) {
    if (n < 0) return false;
    if (extra != nullptr) extra->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

int ConnectorHandshake(SOCKET s, uint16_t type, const std::string* answer, std::string* key) {
  std::string received;
  while (received.find('\0') == std::string::npos) {
    const std::string more = ReadBytes(s, 1);
    if (more.empty()) return -1;
    received += more;
  }
  received.pop_back();
  if (key != nullptr) *key = received;
  if (!SendBytes(s, (answer != nullptr ? *answer : wire::HandshakeAnswer(received)) + '\0')) return -1;
  const std::string word = ReadBytes(s, wire::kWordSize);
  if (word.size() != wire::kWordSize) return -1;
  const int acceptance = wire::ReadWord(word.data());
  if (acceptance != wire::kRejected && !SendBytes(s, wire::Word(type))) return -1;
  return acceptance;
}

FakeConnector::FakeConnector(uint16_t proxyPort, std::function<Reply(int)> reply)
    : port_(proxyPort), reply_(std::move(reply)), command_(ConnectLoopback(proxyPort)) {
  if (ConnectorHandshake(command_->socket(), wire::kCommandConnection) != wire::kAccepted) {
    throw std::runtime_error("command handshake failed");
  }
  reader_ = std::thread([this] { ReadCommands(); });
}

FakeConnector::~FakeConnector() {
  command_->Reset();
  reader_.join();
  std::list<std::thread> echoes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Socket& t : transports_) t->Reset();
    echoes.swap(echoes_);
  }
  for (std::thread& t : echoes) t.join();
}

void FakeConnector::ReadCommands() {
  for (std::string word; (word = ReadBytes(command_->socket(), wire::kWordSize, std::chrono::hours(1))).size() ==
                         wire::kWordSize;) {
    if (wire::ReadWord(word.data()) == wire::kPing) pings_.fetch_add(1);
    if (wire::ReadWord(word.data()) != wire::kCreateTransport) continue;
    const int n = creates_.fetch_add(1);
    CreateTransport(n, reply_ ? reply_(n) : Reply::kCreate);
  }
  ended_.store(true);
}

void FakeConnector::Answer(uint16_t word) { SendBytes(command_->socket(), wire::Word(word)); }

// As the real connector: the transport is handshaken before the answer, and
// its first bytes (like a target's greeting) reach the proxy before it.
void FakeConnector::CreateTransport(int n, Reply reply) {
  if (reply == Reply::kNoAnswer) return;
  Socket transport;
  if (reply != Reply::kRefuse) {
    try {
      transport = ConnectLoopback(port_);
    } catch (const std::exception&) {  // the proxy is gone
    }
    if (transport && ConnectorHandshake(transport->socket(), wire::kTransportConnection) != wire::kAccepted) {
      transport.reset();
    }
  }
  if (!transport || reply == Reply::kRefuseAfterTransport) {
    if (transport) transport->Reset();
    Answer(wire::kNotCreated);
    return;
  }
  netutils::SetReceiveTimeout(transport->socket(), 0);
  SendBytes(transport->socket(), "#" + std::to_string(n) + ";");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    transports_.push_back(transport);
    echoes_.emplace_back([transport] {
      char buffer[16384];
      for (;;) {
        const int n = netutils::Recv(*transport, buffer, sizeof buffer);
        if (n <= 0 || !netutils::SendAll(*transport, buffer, n)) break;
      }
      transport->Reset();
    });
  }
  Answer(wire::kCreated);
}

}  // namespace relvoproxy::testing
