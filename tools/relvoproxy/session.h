// One relayed client: the bytes of a public client and of its transport
// connection copied both ways, one thread per direction. On Linux the bytes
// move through a pipe inside the kernel (splice), up to 1 MB at a time, and
// never enter the process; elsewhere through a 16 KB buffer.
//
// An end of file on one side is passed on as a half close of the other
// side's sending direction; a failed receive or send closes both sockets.
// The session ends when both directions have ended, closes both sockets
// and writes its one log line: who, for how long, the bytes each way and
// what ended it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Common/UniqueSocket.h"
#include "tools/relvoproxy/broker.h"
#include "tools/relvoproxy/thread_group.h"

namespace relvoproxy {

struct SessionInfo {
  ConnectionId client = 0;
  std::string clientPeer;     // "address:port" of the public client
  ConnectionId command = 0;   // the command connection that asked for the transport
  std::string connectorPeer;  // "address:port" of that command connection
  Clock::time_point since;    // when the client connected
  std::shared_ptr<void> hold;  // dropped with the session
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  // REQUIRES: both sockets are connected and blocking.
  Session(SessionInfo info, std::shared_ptr<libmo::UniqueSocket> client,
          std::shared_ptr<libmo::UniqueSocket> transport);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts both directions on `threads`; the threads keep the session
  // alive. False when they could not both start: the session has then been
  // ended and its line written.
  static bool Start(const std::shared_ptr<Session>& session, ThreadGroup& threads);

  // Closes both sockets; the line says the proxy stopped it. Any thread.
  void Stop() { End("proxy stopping"); }

  // Closes both sockets; the line gives `why`, unless something else ended
  // the session first. Any thread.
  void End(const std::string& why);

  // How long no byte has moved either way. Any thread.
  Clock::duration IdleFor(Clock::time_point now) const { return now - Clock::time_point(Clock::duration(lastMove_.load())); }

  uint64_t BytesUp() const { return up_.load(); }
  uint64_t BytesDown() const { return down_.load(); }

 private:
  enum class Direction { kUp, kDown };  // up: client to transport

  void Pump(Direction direction);
  // Records what ended the session, the first time only.
  void NoteEnd(const std::string& what);
  void CloseBoth();
  // Counts one direction as ended; the second writes the line.
  void DirectionEnded();

  const SessionInfo info_;
  const std::shared_ptr<libmo::UniqueSocket> client_;
  const std::shared_ptr<libmo::UniqueSocket> transport_;
  std::atomic<uint64_t> up_{0};
  std::atomic<uint64_t> down_{0};
  std::atomic<int> running_{2};
  std::atomic<Clock::rep> lastMove_;  // since the clock's epoch
  std::mutex mutex_;
  std::string end_;  // guarded by mutex_
};

}  // namespace relvoproxy
