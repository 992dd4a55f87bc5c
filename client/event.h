// A settable flag that threads can wait for, with manual or automatic reset.
#pragma once

#include <condition_variable>
#include <mutex>

namespace relvo {

class Event {
 public:
  explicit Event(bool manualReset, bool signalled = false) : signalled_(signalled), manualReset_(manualReset) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Sets the flag and wakes all waiters (manual reset) or one (automatic).
  // Setting a set event does nothing. Safe to call from any thread.
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (signalled_) return;
    signalled_ = true;
    if (manualReset_) {
      wake_.notify_all();
    } else {
      wake_.notify_one();
    }
  }

  // Waits, without a time limit, until the flag is set; an automatic-reset
  // event clears it again for the next waiter.
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return signalled_; });
    if (!manualReset_) signalled_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool signalled_;
  bool manualReset_;
};

}  // namespace relvo
