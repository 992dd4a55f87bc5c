#include "client/ProxyServer.h"

#include <chrono>
#include <exception>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/relvo/OnlineUsers.h"
#include "Common/relvo/ProxyRecord.h"
#include "Common/socket_io.h"
#include "client/connector.h"

namespace relvo {

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ProxyServer::~ProxyServer() {
  try {
    readCmdThread_.StopAndJoin();
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("ProxyServer::~ProxyServer", "ProxyServer", 0);
  }
  LogEventAt(2, "dtor ProxyServer");
}

void ProxyServer::TouchLastCommandTime() { lastCommandTime_.store(SteadyNowNs(), std::memory_order_relaxed); }

std::shared_ptr<libmo::UniqueSocket> ProxyServer::Connect(ConnType type) {
  auto socket = std::make_shared<libmo::UniqueSocket>(netutils::Connect(host, port, [this] { return Stopping(); }));
  std::shared_ptr<libmo::UniqueSocket>& slot = handshaking_[type == ConnType::Command ? 0 : 1];
  {
    std::lock_guard<std::mutex> lock(socketMutex_);
    slot = socket;
    if (stopping_) socket->Close();
  }
  // A proxy server that accepts and never speaks must not hold the caller:
  // every handshake receive is bounded, and a stop closes the connection.
  const bool shaken = netutils::SetReceiveTimeout(*socket, handshakeTimeout_.load(std::memory_order_relaxed)) &&
                      DoHandShake(*socket, type) && netutils::SetReceiveTimeout(*socket, 0);
  {
    std::lock_guard<std::mutex> lock(socketMutex_);
    slot.reset();
  }
  if (!shaken) {
    socket.reset();
    SetErrorPlace("ProxyServer::Connect", "ProxyServer", 79);
    ThrowPlacedError("Handshake with proxy server failed.");
  }
  return socket;
}

bool ProxyServer::CommandConnect() {
  try {
    if (const std::shared_ptr<libmo::UniqueSocket> old = CommandSocket()) {
      old->Close();
      readCmdThread_.StopAndJoin();
    }
    AdoptCommandSocket(Connect(ConnType::Command));
    if (GetCommandSocket() == INVALID_SOCKET) {
      LogError("Command connection is not established.");
      return false;
    }
    LogEvent("Command connection is established %d", static_cast<int>(GetCommandSocket()));
    return true;
  } catch (const std::exception& e) {
    LogError("%s", e.what());
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("ProxyServer::CommandConnect", "ProxyServer", 108);
  }
  return false;
}

void ProxyServer::AdoptCommandSocket(std::shared_ptr<libmo::UniqueSocket> socket) {
  {
    std::lock_guard<std::mutex> lock(socketMutex_);
    commandSocket_ = std::move(socket);
  }
  if (GetCommandSocket() == INVALID_SOCKET) return;
  TouchLastCommandTime();
  readCmdThread_.StartWork(shared_from_this());
}

std::shared_ptr<libmo::UniqueSocket> ProxyServer::CommandSocket() const {
  std::lock_guard<std::mutex> lock(socketMutex_);
  return commandSocket_;
}

SOCKET ProxyServer::GetCommandSocket() const {
  const std::shared_ptr<libmo::UniqueSocket> socket = CommandSocket();
  return socket ? socket->socket() : INVALID_SOCKET;
}

void ProxyServer::CloseCommandSocket() {
  {
    std::lock_guard<std::mutex> lock(socketMutex_);
    for (const std::shared_ptr<libmo::UniqueSocket>& socket : handshaking_) {
      if (socket) socket->Close();
    }
  }
  if (const std::shared_ptr<libmo::UniqueSocket> socket = CommandSocket()) socket->Close();
}

bool ProxyServer::Stopping() const {
  std::lock_guard<std::mutex> lock(socketMutex_);
  return stopping_;
}

void ProxyServer::StopConnecting() {
  {
    std::lock_guard<std::mutex> lock(socketMutex_);
    stopping_ = true;
  }
  CloseCommandSocket();
}

bool ProxyServer::CreateTransport() {
  try {
    std::shared_ptr<libmo::UniqueSocket> socket = Connect(ConnType::Transport);
    if (!socket) {
      SetErrorPlace("ProxyServer::CreateTransport", "ProxyServer", 179);
      LogPlacedError("socket != nullptr");
    }
    LogEvent("Connection to proxy client is established %d", static_cast<int>(socket->socket()));
    return NewTransportConnection(socket);
  } catch (const std::exception& e) {
    LogError("%s", e.what());
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("ProxyServer::CreateTransport", "ProxyServer", 187);
  }
  return false;
}

bool ProxyServer::NewTransportConnection(std::shared_ptr<libmo::UniqueSocket> socket) {
  if (!socket) {
    SetErrorPlace("ProxyServer::NewTransportConnection", "ProxyServer", 194);
    LogPlacedError("socket != nullptr");
    return false;
  }
  ConnectorGlobals& g = Globals();
  const std::shared_ptr<CEntry> entry = g.onlineUsers.AllocEntry();
  if (!entry) return false;
  try {
    const std::shared_ptr<TServer> server = g.config.FindServerForNewClientConnection();
    if (!server) {
      SetErrorPlace("ProxyServer::NewTransportConnection", "ProxyServer", 203);
      ThrowPlacedError("[%d] Number of active connections is exceeded or server is not defined in config file.",
                       entry->uid);
    }
    entry->server = server;
    entry->proxySocket = socket;
    const std::shared_ptr<ProxyServer> proxy = g.proxyServer;
    try {
      entry->serverSocket = std::make_shared<libmo::UniqueSocket>(
          netutils::Connect(server->address, server->port, [&proxy] { return proxy && proxy->Stopping(); }));
    } catch (const std::exception& e) {
      // The server is set aside for a while (unless the connect was cut
      // short by a stop), so that the next tunnels go to another one.
      LogError("%s", e.what());
      if (!(proxy && proxy->Stopping())) g.config.TargetConnectFailed(*server);
      g.completionThread.AddEntry(entry);
      return false;
    }
    g.config.TargetConnected(*server);
    LogEvent("Connection to server is established %d", static_cast<int>(entry->serverSocket->socket()));
    if (server->proxyrecord) {
      std::string address, port;
      netutils::GetPeerInfo(socket->socket(), address, port);
      if (!SendProxyRecord(entry->serverSocket->socket(), address, port, entry->uid)) {
        SetErrorPlace("ProxyServer::NewTransportConnection", "ProxyServer", 219);
        ThrowPlacedError("!!!Proxy record is not sent. address(%s:%s) uid(%d)", address.c_str(), port.c_str(),
                         entry->uid);
      }
    }
    entry->readThread.Start(entry->shared_from_this());
    entry->writeThread.Start(entry->shared_from_this());
    LogEvent("[%d] Transport for new client is created", entry->uid);
    return true;
  } catch (const std::exception& e) {
    LogError("%s", e.what());
    g.completionThread.AddEntry(entry);
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("ProxyServer::NewTransportConnection", "ProxyServer", 235);
    g.completionThread.AddEntry(entry);
  }
  return false;
}

}  // namespace relvo
