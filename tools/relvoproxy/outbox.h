// The bytes waiting for one connection, sent by a thread of their own, so
// that the thread that queues them never waits on the peer. A peer that
// reads nothing stops only its own sender; the owner sees how long the
// bytes have not moved and ends the connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "Common/UniqueSocket.h"

namespace relvoproxy {

class Outbox {
 public:
  using Clock = std::chrono::steady_clock;
  // Most bytes that may wait; more is a peer that does not read.
  static constexpr size_t kMaxWaiting = 4096;

  explicit Outbox(std::shared_ptr<libmo::UniqueSocket> socket) : socket_(std::move(socket)) {}
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Queues `bytes` for Run to send; drops them once the outbox was closed.
  // False (nothing queued) when more than kMaxWaiting bytes would wait. Any
  // thread.
  bool Queue(const std::string& bytes);

  // True while bytes wait or a send is under way. Any thread.
  bool Busy() const;

  // How long the oldest byte has waited without a byte going out; zero when
  // none waits. Any thread.
  Clock::duration StalledFor(Clock::time_point now) const;

  // Sends what is queued, as it comes, until Close, or until a send fails
  // (the socket is then closed). The body of the sending thread.
  void Run();

  // Ends Run once its send under way (if any) ends; the caller closes the
  // socket to end that send. Any thread.
  void Close();

 private:
  const std::shared_ptr<libmo::UniqueSocket> socket_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::string waiting_;          // guarded by mutex_
  bool sending_ = false;         // guarded by mutex_
  bool closed_ = false;          // guarded by mutex_
  Clock::time_point lastMove_;   // when bytes last went out or began to wait; guarded by mutex_
};

}  // namespace relvoproxy
