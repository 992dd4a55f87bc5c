#include "tools/relvoproxy/server.h"

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

Server::Server(ServerSettings settings) : settings_(std::move(settings)), controller_(settings_.broker, threads_) {}

Server::~Server() { Stop(); }

void Server::Start() {
  try {
    connectorListener_ = std::make_shared<libmo::UniqueSocket>(
        net::Listen(settings_.connectorListen.host, settings_.connectorListen.port));
    connectorPort_ = net::BoundPort(connectorListener_->socket());
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

bool Server::Track(ConnectionId id, const std::shared_ptr<libmo::UniqueSocket>& socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return false;
  tracked_[id] = socket;
  return true;
}

void Server::Untrack(ConnectionId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  tracked_.erase(id);
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
    if (!connectors) {
      const Peer peer = PeerOf(s);
      if (!controller_.ClientArrived(id, socket, peer.text)) socket->Reset();
      continue;
    }
    if (handshakes_.load() >= kMaxHandshakes) {
      LogEvent("connector connection #%llu %s closed: too many handshakes at once", Number(id), PeerOf(s).text.c_str());
      socket->Reset();
      continue;
    }
    if (!Track(id, socket)) {
      socket->Reset();
      return;
    }
    handshakes_.fetch_add(1);
    // The key goes out from here, so that the connector works on its answer
    // while the handshake's thread is woken.
    std::string key = keys_.MakeKey();
    std::optional<HandshakeResult> keyFailure = SendHandshakeKey(socket->socket(), key);
    if (!threads_.Spawn("CONN", [this, id, socket, key = std::move(key), keyFailure = std::move(keyFailure)] {
          RunConnector(id, socket, key, keyFailure);
        })) {
      handshakes_.fetch_sub(1);
      Untrack(id);
      socket->Reset();
    }
  }
}

void Server::RunConnector(ConnectionId id, std::shared_ptr<libmo::UniqueSocket> socket, const std::string& key,
                          const std::optional<HandshakeResult>& keyFailure) {
  const Peer peer = PeerOf(socket->socket());
  bool announced = false;
  auto beforeAccept = [&] {
    announced = controller_.AwaitingType(id, peer.host);
    return announced;
  };
  const HandshakeResult result =
      keyFailure ? *keyFailure
                 : ContinueHandshake(socket->socket(), key, Clock::now() + settings_.handshakeTimeout, beforeAccept);
  handshakes_.fetch_sub(1);

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
    default:
      if (announced) controller_.HandshakeEnded(id, peer.host);
      LogEvent("connector connection #%llu %s rejected: %s%s%s", Number(id), peer.text.c_str(),
               HandshakeStatusText(result.status), result.detail.empty() ? "" : " ", result.detail.c_str());
      break;
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
