#include "tools/relvoproxy/outbox.h"

#include "Common/socket_io.h"

namespace relvoproxy {

bool Outbox::Queue(const std::string& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return true;  // the connection is ending: its bytes no longer matter
    if (waiting_.size() + bytes.size() > kMaxWaiting) return false;
    if (waiting_.empty() && !sending_) lastMove_ = Clock::now();
    waiting_ += bytes;
  }
  wake_.notify_one();
  return true;
}

bool Outbox::Busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sending_ || !waiting_.empty();
}

Outbox::Clock::duration Outbox::StalledFor(Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!sending_ && waiting_.empty()) return Clock::duration::zero();
  return now - lastMove_;
}

void Outbox::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closed_ || !waiting_.empty(); });
    if (closed_) return;
    std::string batch;
    batch.swap(waiting_);
    sending_ = true;
    lock.unlock();
    const bool sent = netutils::SendAll(*socket_, batch.data(), static_cast<int>(batch.size()));
    lock.lock();
    sending_ = false;
    lastMove_ = Clock::now();
    if (!sent) {
      closed_ = true;
      lock.unlock();
      socket_->Reset();  // the connection's reader then reports the end
      return;
    }
  }
}

void Outbox::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  wake_.notify_one();
}

}  // namespace relvoproxy
