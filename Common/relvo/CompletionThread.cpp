#include "Common/relvo/CompletionThread.h"

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/relvo/OnlineUsers.h"
#include "Common/relvo/entry_timeouts.h"
#include "Common/steady_clock.h"

namespace relvo {

void CompletionThread::AddEntry(std::weak_ptr<CEntry> entry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(entry));
  }
  condition_.notify_one();
}

void CompletionThread::CompleteAll() {
  std::list<std::weak_ptr<CEntry>> all;
  if (users_ != nullptr) users_->ForEach([&all](std::shared_ptr<CEntry> entry) { all.push_back(entry); });
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.splice(queue_.end(), all);
}

void CompletionThread::Wake() {
  // The lock orders the wake-up after a waiter's test of the stop flag.
  { std::lock_guard<std::mutex> lock(mutex_); }
  condition_.notify_one();
}

void CompletionThread::onStart() {
  Thread::onStart();
  LogEvent("Start completion thread.");
}

void CompletionThread::onFinish() {
  LogEvent("Completion thread stopped.");
  if (onFinished_) onFinished_();
}

void CompletionThread::body() {
  while (!IsStopping()) {
    try {
      ReapOnce();
    } catch (...) {
      libmo::Detail::AssertFailNoExceptionImpl("CompletionThread::body", "Common/relvo/CompletionThread", 62);
    }
  }
}

void CompletionThread::ReapOnce() {
  std::list<std::weak_ptr<CEntry>> finished;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto interval = SweepInterval(HalfCloseTimeoutMs(), IdleTimeoutMs());
    condition_.wait_for(lock, interval, [this] { return !queue_.empty() || IsStopping(); });
    finished.swap(queue_);
  }
  // A pass that only swept and found nothing leaves no line.
  const bool handedOver = !finished.empty() || IsStopping();
  if (!IsStopping()) SweepSilent(finished);
  if (!handedOver && finished.empty()) return;
  for (const std::weak_ptr<CEntry>& weak : finished) {
    std::shared_ptr<CEntry> entry = weak.lock();
    if (!entry) continue;
    // The removed references are dropped here, outside the table's mutex:
    // the entry's destructor (stop and join of its pumps) runs on this thread.
    std::list<std::shared_ptr<CEntry>> removed = users_ != nullptr ? users_->Remove(entry) : decltype(removed){};
    removed.clear();
    entry.reset();
  }
  LogEvent("Online users count: %d", users_ != nullptr ? users_->GetCount() : 0);
}

void CompletionThread::SweepSilent(std::list<std::weak_ptr<CEntry>>& finished) {
  const uint32_t halfCloseMs = HalfCloseTimeoutMs(), idleMs = IdleTimeoutMs();
  if (users_ == nullptr || (halfCloseMs == 0 && idleMs == 0)) return;
  struct Silent {
    std::weak_ptr<CEntry> entry;
    int32_t uid;
    Expiry expiry;
    int64_t silentMs;
  };
  std::list<Silent> silent;
  const int64_t now = libmo::SteadyNs();
  users_->ForEach([&](std::shared_ptr<CEntry> entry) {
    int64_t silentMs = 0;
    const Expiry expiry = ExpiryOf(entry->activity, now, halfCloseMs, idleMs, &silentMs);
    if (expiry != Expiry::kNone) silent.push_back({entry, entry->uid, expiry, silentMs});
  });
  for (Silent& s : silent) {
    if (s.expiry == Expiry::kHalfClose) {
      LogEvent("[%d] Entry ended: no byte for %lld ms after one direction ended (halfclose_tmo %u ms).", s.uid,
               static_cast<long long>(s.silentMs), halfCloseMs);
    } else {
      LogEvent("[%d] Entry ended: no byte either way for %lld ms (idle_tmo %u ms).", s.uid,
               static_cast<long long>(s.silentMs), idleMs);
    }
    finished.push_back(std::move(s.entry));
  }
}

}  // namespace relvo
