// The completion thread ("FIN"): reaps finished entries. Pumps (and failed
// transport creations) hand their entry over; the thread removes it from the
// table, and dropping the table's reference stops and joins its pumps. It
// also sweeps the table for entries silent past their time-outs
// (Common/relvo/entry_timeouts.h) and ends them the same way.
#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "Common/CommonThread.h"

namespace relvo {

struct CEntry;
class OnlineUsers;

class CompletionThread : public libmo::Thread {
 public:
  // `onFinished` runs on the thread when it ends, for any reason.
  explicit CompletionThread(std::function<void()> onFinished = {}) : onFinished_(std::move(onFinished)) {}

  // The table the thread removes entries from. REQUIRES: set before Start.
  void SetOnlineUsers(OnlineUsers* users) { users_ = users; }

  // Queues a finished entry (weakly: queuing never keeps it alive).
  // Safe to call from any thread.
  void AddEntry(std::weak_ptr<CEntry> entry);

  // Queues every entry of the table, without waking the thread.
  void CompleteAll();

  // Wakes the thread's own wait (after Stop, so that it sees the flag).
  void Wake();

 protected:
  void body() override;
  void onStart() override;
  void onFinish() override;

 private:
  void ReapOnce();
  // Appends the entries past a silence limit to `finished`, with a line each.
  void SweepSilent(std::list<std::weak_ptr<CEntry>>& finished);

  std::function<void()> onFinished_;
  OnlineUsers* users_ = nullptr;
  std::mutex mutex_;
  std::condition_variable condition_;
  std::list<std::weak_ptr<CEntry>> queue_;
};

}  // namespace relvo
