// inotify side of the change watcher. The watcher blocks in poll() on the
// inotify descriptor and on an eventfd that Stop signals; the watcher alone
// reads and closes both descriptors.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "Common/assert.h"
#include "Common/cfilenot.h"
#include "Common/oserror.h"
#include "Common/unique_fd_posix.h"

namespace libmo {

namespace {

// A file is reported when its writer is done with it: closed after writing,
// or moved into place. Never on its creation or at its first write, so a
// reader never sees it half written.
constexpr uint32_t kWatchedEvents = IN_CLOSE_WRITE | IN_MOVED_TO;
constexpr size_t kEventsBufferSize = 4096;
constexpr size_t kNameBufferSize = 512;

const char kStartFunction[] = "libmo::TChangeFileChangeManager::TChangeFilesNotifier::Start";
const char kFile[] = "Common/cfilenot";

// Setting the place keeps the OS error that the report names.
void SetPlace(int line) {
  const int code = LastOsError();
  SetErrorPlace(kStartFunction, kFile, line);
  SetLastOsError(code);
}

[[noreturn]] void ThrowOpenError() {
  SetPlace(63);
  ThrowOsError("Can't create change control handle.");
}

[[noreturn]] void ThrowReadError() {
  SetPlace(72);
  ThrowOsError("Can't get data change");
}

}  // namespace

struct TChangeFileChangeManager::TChangeFilesNotifier::Handle {
  UniqueFd changes;  // inotify instance watching the folder
  UniqueFd wake;     // eventfd; readable once Stop has been called
};

TChangeFileChangeManager::TChangeFilesNotifier::TChangeFilesNotifier(std::string folder, Callback onChange)
    : CommonFilesNotifier(std::move(folder), std::move(onChange)) {}

TChangeFileChangeManager::TChangeFilesNotifier::~TChangeFilesNotifier() = default;

void TChangeFileChangeManager::TChangeFilesNotifier::Watch() {
  auto opened = std::make_unique<Handle>();
  opened->changes.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!opened->changes.Valid()) ThrowOpenError();
  opened->wake.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!opened->wake.Valid()) ThrowOpenError();
  if (::inotify_add_watch(opened->changes.Get(), directory.c_str(), kWatchedEvents | IN_ONLYDIR) < 0) {
    ThrowOpenError();
  }
  const int changes = opened->changes.Get();
  const int wake = opened->wake.Get();
  {
    std::lock_guard<std::mutex> lock(handleMutex);
    handle = std::move(opened);
  }
  // A Stop before the store above has cleared `running`; one after it has
  // signalled `wake`.
  alignas(inotify_event) char events[kEventsBufferSize];
  std::memset(events, 0, sizeof events);
  char name[kNameBufferSize];
  while (running.load()) {
    pollfd fds[2] = {{changes, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      if (!running.load()) break;
      ThrowReadError();
    }
    if (!running.load()) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const ssize_t got = ::read(changes, events, sizeof events);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (!running.load()) break;
      ThrowReadError();
    }
    std::memset(name, 0, sizeof name);
    // After a Stop (also one made by the callback) no further name is handed on.
    for (size_t at = 0; running.load() && at + sizeof(inotify_event) <= static_cast<size_t>(got);) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      at += sizeof(inotify_event) + event->len;
      if (event->len == 0 || (event->mask & IN_ISDIR) != 0 || (event->mask & kWatchedEvents) == 0) continue;
      const size_t length = ::strnlen(event->name, event->len);
      if (length == 0 || length >= sizeof name) continue;
      std::memcpy(name, event->name, length);
      name[length] = '\0';
      callback(name);
    }
  }
}

void TChangeFileChangeManager::TChangeFilesNotifier::Stop() {
  CommonFilesNotifier::Stop();
  std::lock_guard<std::mutex> lock(handleMutex);
  if (handle != nullptr) {
    const uint64_t one = 1;
    // Only fails when the counter would overflow: it is then readable anyway.
    [[maybe_unused]] const ssize_t written = ::write(handle->wake.Get(), &one, sizeof one);
  }
}

void TChangeFileChangeManager::TChangeFilesNotifier::Close() {
  std::lock_guard<std::mutex> lock(handleMutex);
  handle.reset();
}

}  // namespace libmo
