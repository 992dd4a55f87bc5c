#include "tools/relvoproxy/server.h"

#include <list>
#include <utility>

#include "Common/log.h"
#include "Common/socket_io.h"
#include "Common/netUtils.h"
#include "Common/oserror.h"
#include "Common/relvo/Wire.h"
#include "tools/relvoproxy/handshake.h"
#include "tools/relvoproxy/net.h"

namespace relvoproxy {

namespace {

unsigned long long Number(ConnectionId id) { return static_cast<unsigned long long>(id); }

struct Peer {
  std::string host;
  std::string text;  // "address:port"
};

Peer PeerOf(SOCKET s) {
  std::string address;
  std::string port;
  netutils::GetPeerInfo(s, address, port);
  return Peer{address, address + ":" + port};
}

}  // namespace

Server::Server(ServerSettings settings)
    : settings_(std::move(settings)),
      controller_(settings_.broker, settings_.limits, threads_),
      handshakes_(settings_.maxHandshakes, settings_.maxHandshakesPerAddress) {}

Server::~Server() { Stop(); }

void Server::Start() {
  try {
    connectorListener_ = std::make_shared<libmo::UniqueSocket>(
        net::Listen(settings_.connectorListen.host, settings_.connectorListen.port));
    connectorPort_ = net::BoundPort(connectorListener_->socket());
    const std::list<std::string> bound = netutils::GetIpAddress(settings_.connectorListen.host);
    if (settings_.connectorAllow.Empty() && !bound.empty() && !IsLoopback(bound.front())) {
      LogError("warning: connectors are taken from any address on %s:%u; --connector-allow names the ones to take",
               bound.front().c_str(), static_cast<unsigned>(connectorPort_));
    }
    publicListener_ =
        std::make_shared<libmo::UniqueSocket>(net::Listen(settings_.publicListen.host, settings_.publicListen.port));
    publicPort_ = net::BoundPort(publicListener_->socket());
    controller_.Start();
    if (!threads_.Spawn("ACCCON", [this] { AcceptLoop(true); }) ||
        !threads_.Spawn("ACCPUB", [this] { AcceptLoop(false); })) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "no accept thread");
    }
  } catch (...) {
    Stop();
    throw;
  }
}

void Server::Stop() {
  std::map<ConnectionId, std::shared_ptr<libmo::UniqueSocket>> tracked;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  stopped_.notify_all();
  if (connectorListener_) connectorListener_->Reset();
  if (publicListener_) publicListener_->Reset();
  controller_.Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tracked.swap(tracked_);
  }
  for (auto& [id, socket] : tracked) socket->Reset();
  threads_.JoinAll();
}

void Server::Untrack(ConnectionId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  tracked_.erase(id);
}

bool Server::EndHandshake(ConnectionId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  handshakes_.Release(id);
  return replaced_.erase(id) > 0;
}

void Server::Pause(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void Server::AcceptLoop(bool connectors) {
  const std::shared_ptr<libmo::UniqueSocket>& listener = connectors ? connectorListener_ : publicListener_;
  const char* what = connectors ? "connector" : "public";
  for (;;) {
    net::AcceptFailure failure = net::AcceptFailure::kFatal;
    const SOCKET s = net::Accept(*listener, &failure);
    if (s == INVALID_SOCKET) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
      }
      const std::string error = libmo::ErrorText(libmo::LastSocketError());
      if (failure == net::AcceptFailure::kRetry) continue;
      if (failure == net::AcceptFailure::kBackOff) {
        LogEvent("accept on the %s port failed, retrying: %s", what, error.c_str());
        Pause(100);
        continue;
      }
      LogError("accept on the %s port failed; no more connections there: %s", what, error.c_str());
      return;
    }
    auto socket = std::make_shared<libmo::UniqueSocket>(s);
    const ConnectionId id = nextId_.fetch_add(1);
    const Peer peer = PeerOf(s);
    if (!connectors) {
      if (!controller_.ClientArrived(id, socket, peer.host, peer.text)) socket->Reset();
      continue;
    }
    std::string held;
    if (!settings_.connectorAllow.Allows(peer.host)) {
      if (connectorLines_.Allow(&held)) {
        LogEvent("connector connection #%llu %s closed: its address is not in --connector-allow%s", Number(id),
                 peer.text.c_str(), held.c_str());
      }
      socket->Reset();
      continue;
    }
    ConnectionId gone = 0;
    std::shared_ptr<libmo::UniqueSocket> goneSocket;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        socket->Reset();
        return;
      }
      tracked_[id] = socket;
      gone = handshakes_.Admit(id, peer.host);
      if (gone != 0) {
        replaced_.insert(gone);
        const auto t = tracked_.find(gone);
        if (t != tracked_.end()) goneSocket = t->second;
      }
    }
    if (goneSocket) {
      if (connectorLines_.Allow(&held)) {
        LogEvent("connector connection #%llu closed in its handshake: replaced by #%llu %s (at most %zu handshakes, %zu "
                 "from one address; the address holding the most gives way)%s",
                 Number(gone), Number(id), peer.text.c_str(), settings_.maxHandshakes,
                 settings_.maxHandshakesPerAddress, held.c_str());
      }
      goneSocket->Reset();
    }
    // The key goes out from here, so that the connector works on its answer
    // while the handshake's thread is woken.
    std::string key = keys_.MakeKey();
    std::optional<HandshakeResult> keyFailure = SendHandshakeKey(*socket, key);
    const Clock::time_point accepted = Clock::now();
    if (!threads_.Spawn("CONN", [this, id, socket, peer, key = std::move(key), keyFailure = std::move(keyFailure),
                                 accepted] {
          RunConnector(id, socket, peer.host, peer.text, key, keyFailure, accepted);
        })) {
      EndHandshake(id);
      Untrack(id);
      socket->Reset();
    }
  }
}

void Server::RunConnector(ConnectionId id, std::shared_ptr<libmo::UniqueSocket> socket, const std::string& host,
                          const std::string& text, const std::string& key,
                          const std::optional<HandshakeResult>& keyFailure, Clock::time_point accepted) {
  // Named from the accept: the socket may be closed already (replaced).
  const Peer peer{host, text};
  const Clock::time_point deadline = accepted + settings_.handshakeTimeout;
  bool announced = false;
  auto beforeAccept = [&] {
    announced = controller_.AwaitingType(id, peer.host);
    return announced;
  };
  const HandshakeResult result =
      keyFailure ? *keyFailure : ContinueHandshake(*socket, key, deadline, beforeAccept);
  const bool replaced = EndHandshake(id);

  switch (result.status) {
    case HandshakeStatus::kCommand:
      if (controller_.CommandUp(id, peer.host, peer.text, socket)) {
        SetThreadTag("CMD");
        ReadAnswers(id, socket);
      }
      break;
    case HandshakeStatus::kTransport:
      controller_.TransportUp(id, peer.host, peer.text, socket);
      break;
    case HandshakeStatus::kAborted:
      break;
    default: {
      if (announced) controller_.HandshakeEnded(id, peer.host);
      std::string held;
      if (!replaced && connectorLines_.Allow(&held)) {
        LogEvent("connector connection #%llu %s rejected: %s%s%s%s", Number(id), peer.text.c_str(),
                 HandshakeStatusText(result.status), result.detail.empty() ? "" : " ", result.detail.c_str(),
                 held.c_str());
      }
      break;
    }
  }
  // A socket the controller took stays open with it.
  socket.reset();
  Untrack(id);
}

void Server::ReadAnswers(ConnectionId id, const std::shared_ptr<libmo::UniqueSocket>& socket) {
  unsigned char buffer[64];
  unsigned char word[relvo::wire::kWordSize];
  size_t have = 0;  // bytes of `word` received so far
  for (;;) {
    const int n = netutils::Recv(*socket, reinterpret_cast<char*>(buffer), sizeof buffer);
    if (n <= 0) {
      const std::string how =
          n == 0 ? std::string("closed by the connector")
                 : "receive failed: " + libmo::ErrorText(libmo::LastSocketError());
      controller_.CommandDown(id, how);
      return;
    }
    for (int i = 0; i < n; ++i) {
      word[have++] = buffer[i];
      if (have < sizeof word) continue;
      controller_.AnswerWord(id, relvo::wire::ReadWord(word));
      have = 0;
    }
  }
}

}  // namespace relvoproxy
