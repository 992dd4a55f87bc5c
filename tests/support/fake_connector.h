// Test side of relvoproxy: the connector's half of the handshake, bounded
// socket reads, and a scriptable connector that keeps a command connection
// to the proxy and opens echoing transport connections on request.
// Loopback only. REQUIRES: the socket library is started.
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

// The connector's half of the handshake on `s`: reads the key (up to its
// zero byte), sends `answer` (default: the right one) with its zero byte,
// reads the acceptance word and, when it is not 0, sends `type`. Returns
// the acceptance word, or -1 when the connection ended or 10 s passed.
int ConnectorHandshake(SOCKET s, uint16_t type, const std::string* answer = nullptr, std::string* key = nullptr);

// Up to `n` bytes from `s`, fewer when the connection ends or `timeout`
// passes first.
std::string ReadBytes(SOCKET s, size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// True when the peer ends the connection (an end of file or a reset)
// within `timeout`; bytes still arriving before the end go to `*extra`.
bool WaitEnd(SOCKET s, std::chrono::milliseconds timeout = std::chrono::seconds(10), std::string* extra = nullptr);

// A connected socket to 127.0.0.1:`port`, owned by the holder.
std::shared_ptr<libmo::UniqueSocket> ConnectLoopback(uint16_t port);

class FakeConnector {
 public:
  enum class Reply {
    kCreate,               // open a transport, answer 01 00; the transport
                           // sends "#n;" and then echoes
    kRefuse,               // answer 00 00 without a transport
    kRefuseAfterTransport, // open a transport, close it, answer 00 00
    kNoAnswer,             // neither
  };

  // Connects to the proxy's connector port, hands the command connection
  // over, and answers every create-transport with `reply(n)` (n from 0).
  // Throws std::runtime_error when the handshake fails.
  FakeConnector(uint16_t proxyPort, std::function<Reply(int)> reply = {});
  ~FakeConnector();
  FakeConnector(const FakeConnector&) = delete;
  FakeConnector& operator=(const FakeConnector&) = delete;

  int Pings() const { return pings_.load(); }
  int Creates() const { return creates_.load(); }
  // Bytes other than 19 00 and 21 00 received on the command connection.
  int Unknown() const { return unknown_.load(); }
  bool CommandEnded() const { return ended_.load(); }
  SOCKET CommandSocket() const { return command_->socket(); }

  // Closes the command connection.
  void CloseCommand() { command_->Reset(); }

 private:
  void ReadCommands();
  void CreateTransport(int n, Reply reply);
  void Answer(uint16_t word);

  const uint16_t port_;
  const std::function<Reply(int)> reply_;
  std::shared_ptr<libmo::UniqueSocket> command_;
  std::atomic<int> pings_{0};
  std::atomic<int> creates_{0};
  std::atomic<int> unknown_{0};
  std::atomic<bool> ended_{false};
  std::mutex mutex_;
  std::list<std::shared_ptr<libmo::UniqueSocket>> transports_;  // guarded by mutex_
  std::list<std::thread> echoes_;                               // guarded by mutex_
  std::thread reader_;
};

}  // namespace relvoproxy::testing
