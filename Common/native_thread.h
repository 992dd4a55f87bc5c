// One joinable OS thread with a chosen stack size, which std::thread cannot
// set. Move-only; destroying one that is still joinable ends the process,
// as for std::thread.
#pragma once

#include <pthread.h>

#include <cstddef>

namespace libmo {

class NativeThread {
 public:
  using Entry = void (*)(void* arg);

  NativeThread() = default;
  ~NativeThread();
  NativeThread(NativeThread&& other) noexcept;
  NativeThread& operator=(NativeThread&& other) noexcept;
  NativeThread(const NativeThread&) = delete;
  NativeThread& operator=(const NativeThread&) = delete;

  // Runs entry(arg) on a new thread whose stack holds at least `stackBytes`
  // (0: the platform's default). Throws std::system_error when the system
  // refuses the thread.
  static NativeThread Start(Entry entry, void* arg, size_t stackBytes);

  bool Joinable() const { return joinable_; }

  // Waits for the thread to end. Throws std::system_error
  // (resource_deadlock_would_occur) when called from the thread itself.
  // REQUIRES: Joinable().
  void Join();

  // Lets the thread run on alone: its end frees it, and it is never joined.
  // REQUIRES: Joinable().
  void Detach();

  // Consulted by every Start before the system is asked; while it returns
  // false, Start fails as when the system is out of threads (EAGAIN). Lets
  // the callers' handling of a refused thread be exercised without
  // exhausting the machine. Null (the default) lets every Start through.
  // Safe to call from any thread.
  using Admission = bool (*)();
  static void SetAdmission(Admission admission);

 private:
  pthread_t thread_{};
  bool joinable_ = false;
};

namespace os {

// Applies `stackBytes` (not 0) to `attributes` as the platform advises.
// Windows keeps its default: it reserves 1 MB and commits stack pages only as
// they are touched, while a size given to the thread library would be
// committed at once.
void ApplyStackSize(pthread_attr_t* attributes, size_t stackBytes);

}  // namespace os

}  // namespace libmo
