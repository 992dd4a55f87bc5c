#include "Common/native_thread.h"

#include <atomic>
#include <cerrno>
#include <exception>
#include <system_error>
#include <utility>

namespace libmo {

namespace {

struct Launch {
  NativeThread::Entry entry;
  void* arg;
};

std::atomic<NativeThread::Admission> admission{nullptr};

void* Trampoline(void* raw) {
  const Launch launch = *static_cast<Launch*>(raw);
  delete static_cast<Launch*>(raw);
  launch.entry(launch.arg);
  return nullptr;
}

}  // namespace

NativeThread::~NativeThread() {
  if (joinable_) std::terminate();
}

NativeThread::NativeThread(NativeThread&& other) noexcept
    : thread_(other.thread_), joinable_(std::exchange(other.joinable_, false)) {}

NativeThread& NativeThread::operator=(NativeThread&& other) noexcept {
  if (joinable_) std::terminate();
  thread_ = other.thread_;
  joinable_ = std::exchange(other.joinable_, false);
  return *this;
}

void NativeThread::SetAdmission(Admission check) { admission.store(check); }

NativeThread NativeThread::Start(Entry entry, void* arg, size_t stackBytes) {
  if (const Admission check = admission.load(); check != nullptr && !check()) {
    throw std::system_error(EAGAIN, std::generic_category());
  }
  pthread_attr_t attributes;
  int error = ::pthread_attr_init(&attributes);
  if (error != 0) throw std::system_error(error, std::generic_category());
  if (stackBytes != 0) os::ApplyStackSize(&attributes, stackBytes);
  auto* launch = new Launch{entry, arg};
  NativeThread thread;
  error = ::pthread_create(&thread.thread_, &attributes, &Trampoline, launch);
  ::pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete launch;
    throw std::system_error(error, std::generic_category());
  }
  thread.joinable_ = true;
  return thread;
}

void NativeThread::Join() {
  if (::pthread_equal(thread_, ::pthread_self())) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  const int error = ::pthread_join(thread_, nullptr);
  if (error != 0) throw std::system_error(error, std::generic_category());
  joinable_ = false;
}

void NativeThread::Detach() {
  const int error = ::pthread_detach(thread_);
  if (error != 0) throw std::system_error(error, std::generic_category());
  joinable_ = false;
}

}  // namespace libmo
