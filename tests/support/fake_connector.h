// The connector's side of relvoproxy, for its unit tests: the handshake,
// bounded reads, and a scriptable connector that keeps a command connection
// and opens echoing transport connections on request. Loopback only.
// REQUIRES: the socket library is started.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Common/UniqueSocket.h"

namespace relvoproxy::testing {

using Socket = std::shared_ptr<libmo::UniqueSocket>;

// A connected socket to 127.0.0.1:`port`.
Socket ConnectLoopback(uint16_t port);

// Up to `n` bytes from `s`; fewer when the connection ends or `timeout`
// passes first.
std::string ReadBytes(SOCKET s, size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// True when the peer ends the connection (an end of file or a reset) within
// `timeout`; bytes still arriving before the end go to `*extra`.
bool WaitEnd(SOCKET s, std::chrono::milliseconds timeout = std::chrono::seconds(10), std::string* extra = nullptr);

// Reads the key (up to its zero byte; into `*key`), sends `answer` (default:
// the right one) with its zero byte, reads the acceptance word and, when it
// is not 0, sends `type`. The acceptance word, or -1 when the connection
// ended or 10 s passed.
int ConnectorHandshake(SOCKET s, uint16_t type, const std::string* answer = nullptr, std::string* key = nullptr);

class FakeConnector {
 public:
  enum class Reply {
    kCreate,                // a transport that sends "#n;" and then echoes; 01 00
    kRefuse,                // 00 00 without a transport
    kRefuseAfterTransport,  // a transport, closed at once; 00 00
    kNoAnswer,              // neither
  };

  // Connects to the proxy's connector port and answers the n-th (from 0)
  // create-transport with `reply(n)`. Throws std::runtime_error when the
  // handshake fails.
  explicit FakeConnector(uint16_t proxyPort, std::function<Reply(int)> reply = {});
  ~FakeConnector();
  FakeConnector(const FakeConnector&) = delete;
  FakeConnector& operator=(const FakeConnector&) = delete;

  int Pings() const { return pings_.load(); }
  int Creates() const { return creates_.load(); }
  bool CommandEnded() const { return ended_.load(); }
  SOCKET CommandSocket() const { return command_->socket(); }
  void CloseCommand() { command_->Reset(); }

 private:
  void ReadCommands();
  void CreateTransport(int n, Reply reply);
  void Answer(uint16_t word);

  const uint16_t port_;
  const std::function<Reply(int)> reply_;
  const Socket command_;
  std::atomic<int> pings_{0};
  std::atomic<int> creates_{0};
  std::atomic<bool> ended_{false};
  std::mutex mutex_;
  std::list<Socket> transports_;   // guarded by mutex_
  std::list<std::thread> echoes_;  // guarded by mutex_
  std::thread reader_;
};

}  // namespace relvoproxy::testing
