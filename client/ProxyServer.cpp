#include "client/ProxyServer.h"

#include <chrono>
#include <exception>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/socket_timeout.h"

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
  const SOCKET s = netutils::Connect(host, port);
  // A proxy server that accepts and never speaks must not hold the caller:
  // every handshake receive is bounded, then the socket is blocking again.
  const uint32_t bound = handshakeTimeout_.load(std::memory_order_relaxed);
  const bool shaken = netutils::SetReceiveTimeout(s, bound) && DoHandShake(s, type) &&
                      netutils::SetReceiveTimeout(s, 0);
  if (!shaken) {
    netutils::CloseSocket(s);
    SetErrorPlace("ProxyServer::Connect", "ProxyServer", 79);
    ThrowPlacedError("Handshake with proxy server failed.");
  }
  return std::make_shared<libmo::UniqueSocket>(s);
}

bool ProxyServer::CommandConnect() {
  try {
    if (const std::shared_ptr<libmo::UniqueSocket> old = CommandSocket()) {
      old->Close();
      readCmdThread_.StopAndJoin();
    }
    std::shared_ptr<libmo::UniqueSocket> fresh = Connect(ConnType::Command);
    {
      std::lock_guard<std::mutex> lock(socketMutex_);
      commandSocket_ = std::move(fresh);
    }
    if (GetCommandSocket() == INVALID_SOCKET) {
      LogError("Command connection is not established.");
      return false;
    }
    TouchLastCommandTime();
    readCmdThread_.StartWork(shared_from_this());
    LogEvent("Command connection is established %d", static_cast<int>(GetCommandSocket()));
    return true;
  } catch (const std::exception& e) {
    LogError("%s", e.what());
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("ProxyServer::CommandConnect", "ProxyServer", 108);
  }
  return false;
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
  if (const std::shared_ptr<libmo::UniqueSocket> socket = CommandSocket()) socket->Close();
}

bool ProxyServer::CreateTransport() {
  // Transports are not made yet: every request is answered "not created".
  return false;
}

}  // namespace relvo
