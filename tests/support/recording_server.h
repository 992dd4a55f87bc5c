// End-to-end support (Linux): what the fake proxy server and the target servers share. A listener on 127.0.0.1; each
// accepted connection runs the owner's behaviour on its own thread; one record per connection under one lock; bounded
// waits; sends and closes from the test's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

namespace testsupport {

using FakeClock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kDefaultWait = std::chrono::seconds(30);

// What every connection's record holds.
struct ConnectionRecord {
  int index = -1;                      // accept order
  std::string received;                // every byte received, in order
  FakeClock::time_point accepted{};
  std::vector<std::string> failures;   // what went wrong on the server's side
  bool closedByPeer = false;
  bool closedByServer = false;         // ended from the server's side
  bool closed = false;                 // ended, by either side
  FakeClock::time_point closedAt{};
};

class RecordingServer {
 public:
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;

  uint16_t port() const { return listener_.port(); }
  size_t ConnectionCount() const;
  bool WaitForConnections(size_t count, std::chrono::milliseconds timeout = kDefaultWait) const;

  // Sends `bytes` on connection `index`; false if it is gone or not all went out within `timeout`. Arrivals are kept.
  bool Send(size_t index, std::string_view bytes, std::chrono::milliseconds timeout = kDefaultWait) const;
  // Closes connection `index` from the server's side; false when it had already ended.
  bool Close(size_t index);

 protected:
  // One accepted connection, as its behaviour sees it on its own thread.
  class Link {
   public:
    enum class Read { Data, Deadline, Closed, Stopping };
    Link(RecordingServer& server, int fd, size_t index) : server_(server), fd_(fd), index_(index) {}
    ~Link() { Release(); }
    size_t index() const { return index_; }
    bool open() const { return fd_ >= 0; }
    // One receive by `deadline` into `*bytes`; a close by the peer is recorded before Closed is returned.
    Read Receive(std::string* bytes, FakeClock::time_point deadline = FakeClock::time_point::max());
    // Sends everything, waiting for room; false when the connection failed or the server is stopping.
    bool SendAll(std::string_view bytes);
    bool stopping() const { return server_.stopping_; }
    // Ends the connection from the server's side (recorded).
    void CloseHere();
    void Fail(const std::string& what);

   private:
    void Release();
    RecordingServer& server_;
    int fd_;
    size_t index_;
  };

  // Listens on 127.0.0.1:`port` (0: an ephemeral port); throws std::runtime_error when it cannot. The owner calls Start
  // last in its constructor and Stop (ends every connection, joins every thread) first in its destructor.
  explicit RecordingServer(uint16_t port);
  virtual ~RecordingServer() = default;
  void Start();
  void Stop();

  virtual void AddRecord() = 0;                               // under the lock
  virtual ConnectionRecord& RecordAt(size_t index) = 0;       // under the lock
  virtual void Serve(Link& link) = 0;                         // from accept to close

  // Runs `read` under the lock; its result.
  template <typename F>
  auto UnderLock(F&& read) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return read();
  }
  // Runs `change` under the lock and wakes the waits.
  void Locked(const std::function<void()>& change);
  // Waits until `condition`, evaluated under the lock, holds; its last value.
  bool WaitLocked(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

 private:
  void AcceptLoop();

  LoopbackListener listener_;
  OwnedSocket wake_;  // readable (and stays so) once stopping
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<int> liveFds_;  // per connection: its descriptor while open, else -1
  std::vector<std::thread> sessions_;  // only the acceptor adds; joined after it
  std::thread acceptor_;
};

// Typed records and the accessors that copy them.
template <typename Record>
class Recorder : public RecordingServer {
 public:
  std::vector<Record> Connections() const {
    return UnderLock([&] { return records_; });
  }
  Record Connection(size_t index) const {  // an empty record when absent
    return UnderLock([&] { return index < records_.size() ? records_[index] : Record{}; });
  }
  // Bounded waits; each returns the condition's last value.
  bool WaitUntil(const std::function<bool(const std::vector<Record>&)>& condition,
                 std::chrono::milliseconds timeout = kDefaultWait) const {
    return WaitLocked([&] { return condition(records_); }, timeout);
  }
  bool WaitForClosed(size_t index, std::chrono::milliseconds timeout = kDefaultWait) const {
    return WaitUntil([index](const auto& all) { return index < all.size() && all[index].closed; }, timeout);
  }

 protected:
  using RecordingServer::RecordingServer;
  void Update(size_t index, const std::function<void(Record&)>& change) {
    Locked([&] { change(records_[index]); });
  }
  void AddRecord() override { records_.emplace_back(); }
  ConnectionRecord& RecordAt(size_t index) override { return records_[index]; }

 protected:
  std::vector<Record> records_;  // guarded by the lock
};

}  // namespace testsupport
