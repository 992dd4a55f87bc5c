#include "tests/support/fake_connector.h"

#include <cstring>
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
int ReceiveUntil(SOCKET s, char* data, int length, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return -1;
    netutils::SetReceiveTimeout(s, static_cast<uint32_t>(left));
    const int n = static_cast<int>(::recv(s, data, length, 0));
    if (n >= 0) return n;
    if (!net::IsTimeoutError(libmo::LastSocketError())) return 0;  // a reset ends it too
  }
}

bool SendWord(SOCKET s, uint16_t value) {
  const std::string word = wire::Word(value);
  return netutils::SendAll(s, word.data(), static_cast<int>(word.size()));
}

}  // namespace

int ConnectorHandshake(SOCKET s, uint16_t type, const std::string* answer, std::string* key) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  std::string received;
  while (received.find('\0') == std::string::npos) {
    char buffer[1000];
    const int n = ReceiveUntil(s, buffer, sizeof buffer, deadline);
    if (n <= 0) return -1;
    received.append(buffer, static_cast<size_t>(n));
  }
  const std::string keyText = received.substr(0, received.find('\0'));
  if (key != nullptr) *key = keyText;
  std::string reply = answer != nullptr ? *answer : wire::HandshakeAnswer(keyText);
  reply += '\0';
  if (!netutils::SendAll(s, reply.data(), static_cast<int>(reply.size()))) return -1;
  const std::string word = ReadBytes(s, wire::kWordSize);
  if (word.size() != wire::kWordSize) return -1;
  const int acceptance = wire::ReadWord(word.data());
  if (acceptance != wire::kRejected && !SendWord(s, type)) return -1;
  return acceptance;
}

std::string ReadBytes(SOCKET s, size_t n, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  std::string out;
  while (out.size() < n) {
    char buffer[16384];
    const size_t want = std::min(sizeof buffer, n - out.size());
    const int got = ReceiveUntil(s, buffer, static_cast<int>(want), deadline);
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

bool WaitEnd(SOCKET s, std::chrono::milliseconds timeout, std::string* extra) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    char buffer[4096];
    const int n = ReceiveUntil(s, buffer, sizeof buffer, deadline);
    if (n == 0) return true;
    if (n < 0) return false;
    if (extra != nullptr) extra->append(buffer, static_cast<size_t>(n));
  }
}

std::shared_ptr<libmo::UniqueSocket> ConnectLoopback(uint16_t port) {
  return std::make_shared<libmo::UniqueSocket>(netutils::Connect("127.0.0.1", port));
}

FakeConnector::FakeConnector(uint16_t proxyPort, std::function<Reply(int)> reply)
    : port_(proxyPort), reply_(std::move(reply)), command_(ConnectLoopback(proxyPort)) {
  if (ConnectorHandshake(command_->socket(), wire::kCommandConnection) != wire::kAccepted) {
    throw std::runtime_error("command handshake failed");
  }
  netutils::SetReceiveTimeout(command_->socket(), 0);
  reader_ = std::thread([this] { ReadCommands(); });
}

FakeConnector::~FakeConnector() {
  command_->Reset();
  reader_.join();
  std::list<std::thread> echoes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& t : transports_) t->Reset();
    echoes.swap(echoes_);
  }
  for (std::thread& t : echoes) t.join();
}

void FakeConnector::ReadCommands() {
  for (;;) {
    const std::string word = ReadBytes(command_->socket(), wire::kWordSize, std::chrono::hours(1));
    if (word.size() != wire::kWordSize) break;
    if (wire::ReadWord(word.data()) == wire::kPing) {
      pings_.fetch_add(1);
    } else if (wire::ReadWord(word.data()) == wire::kCreateTransport) {
      const int n = creates_.fetch_add(1);
      CreateTransport(n, reply_ ? reply_(n) : Reply::kCreate);
    } else {
      unknown_.fetch_add(1);
    }
  }
  ended_.store(true);
}

void FakeConnector::Answer(uint16_t word) { SendWord(command_->socket(), word); }

// As the real connector: the transport is handshaken before the answer.
void FakeConnector::CreateTransport(int n, Reply reply) {
  if (reply == Reply::kNoAnswer) return;
  if (reply == Reply::kRefuse) {
    Answer(wire::kNotCreated);
    return;
  }
  std::shared_ptr<libmo::UniqueSocket> transport;
  try {
    transport = ConnectLoopback(port_);
  } catch (const std::exception&) {
    Answer(wire::kNotCreated);
    return;
  }
  if (ConnectorHandshake(transport->socket(), wire::kTransportConnection) != wire::kAccepted) {
    Answer(wire::kNotCreated);
    return;
  }
  netutils::SetReceiveTimeout(transport->socket(), 0);
  if (reply == Reply::kRefuseAfterTransport) {
    transport->Reset();
    Answer(wire::kNotCreated);
    return;
  }
  // Like a target's greeting, it reaches the proxy before the answer.
  const std::string greeting = "#" + std::to_string(n) + ";";
  netutils::SendAll(transport->socket(), greeting.data(), static_cast<int>(greeting.size()));
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
