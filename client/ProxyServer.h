// The connector's one link to the proxy server: its address, the command
// connection with the thread that reads it, and transport connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Common/CommonThread.h"
#include "Common/UniqueSocket.h"
#include "Common/platform.h"
#include "client/handshake.h"

namespace relvo {

class ProxyServer;

// Reads 2-byte commands from the command connection ("RCMD"): pings,
// create-transport requests (answered 01 00 or 00 00) and unknown codes.
// Never reconnects: when its connection fails it ends, and the reconnect
// thread notices the silence.
class ReadCmdThread : public libmo::Thread {
 public:
  enum CommandCode : int16_t { Ping = wire::kPing, CreateTransport = wire::kCreateTransport };

  // Starts a run for the current command connection.
  // REQUIRES: the previous run was stopped and joined (StopAndJoin).
  void StartWork(std::shared_ptr<ProxyServer> proxyServer);

  // Stop request, close of the command connection (wakes a blocked recv),
  // join. Throws std::system_error when called from the reader itself.
  void StopAndJoin();

 protected:
  void body() override;
  void onFinish() override;

 private:
  void CloseCommandSocket();

  std::weak_ptr<ProxyServer> proxyServer_;
};

class ProxyServer : public std::enable_shared_from_this<ProxyServer> {
 public:
  ProxyServer() = default;
  ~ProxyServer();
  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  // Written once by the first configuration load, before the reconnect
  // thread starts; read-only afterwards.
  std::string host;
  uint16_t port = 0;

  // A new connection to host:port with the handshake done for `type`. Never
  // empty: every failure throws (the socket is closed first).
  std::shared_ptr<libmo::UniqueSocket> Connect(ConnType type);

  // (Re)establishes the command connection and starts the reader. Never
  // throws; false (with its log lines) when the proxy server is not reached.
  // Runs on the reconnect thread only.
  bool CommandConnect();

  // Takes `socket`, whose handshake is done, as the command connection and
  // starts the reader on it. The second half of CommandConnect; also where a
  // harness hands the reader a connection it feeds itself.
  // REQUIRES: the reader of the previous connection was stopped and joined.
  void AdoptCommandSocket(std::shared_ptr<libmo::UniqueSocket> socket);

  // Handle of the command connection, or INVALID_SOCKET.
  SOCKET GetCommandSocket() const;

  // The command connection's holder (empty before the first connect); the
  // copy keeps it alive.
  std::shared_ptr<libmo::UniqueSocket> CommandSocket() const;

  // Closes the command connection if it is open, and every connection that
  // is still in its handshake. Safe to call from any thread.
  void CloseCommandSocket();

  // From now on every connection to the proxy server is closed as soon as
  // it is made, and those in their handshake are closed now: a stop never
  // waits for the proxy server. Safe to call from any thread.
  void StopConnecting();
  bool Stopping() const;

  // Stops the command reader and waits for it (closing the connection
  // first wakes a blocked receive).
  void StopCommandReader() { readCmdThread_.StopAndJoin(); }

  // Answers one create-transport command: true when a transport connection
  // was made and its entry's pumps started. Never throws. Runs on the
  // command reader's thread.
  bool CreateTransport();

  // Builds and starts the entry for a handshaken transport connection.
  // Never throws; a failure after the entry was allocated hands the entry to
  // the completion thread.
  static bool NewTransportConnection(std::shared_ptr<libmo::UniqueSocket> socket);

  // Steady-clock time (ns) of the last command or successful connect.
  int64_t LastCommandTime() const { return lastCommandTime_.load(std::memory_order_relaxed); }
  void TouchLastCommandTime();

  // The bound of every handshake receive, in milliseconds (0: none).
  void SetHandshakeTimeout(uint32_t ms) { handshakeTimeout_.store(ms, std::memory_order_relaxed); }

 private:
  // Guards the pointer only; the holder makes its own close thread-safe.
  mutable std::mutex socketMutex_;
  std::shared_ptr<libmo::UniqueSocket> commandSocket_;
  // The connections in their handshake, by connection type (the command
  // connection on the reconnect thread, a transport on the reader's), so
  // that a stop can close them; guarded by socketMutex_.
  std::shared_ptr<libmo::UniqueSocket> handshaking_[2];
  bool stopping_ = false;  // guarded by socketMutex_
  ReadCmdThread readCmdThread_;
  std::atomic<int64_t> lastCommandTime_{0};
  std::atomic<uint32_t> handshakeTimeout_{0};
};

// Steady-clock now in nanoseconds.
int64_t SteadyNowNs();

}  // namespace relvo
