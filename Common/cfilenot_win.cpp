// ReadDirectoryChangesW side of the change watcher. The folder is opened for
// overlapped I/O: each read is issued with an event and collected with
// GetOverlappedResult. Stop cancels the pending read and closes the folder;
// reads are issued and collected under handleMutex, so the watcher never
// uses a closed handle. The system reports every write of a file, so a name
// is handed on only once its file has settled: kSettleMs without a further
// change.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "Common/assert.h"
#include "Common/cfilenot.h"
#include "Common/oserror.h"

namespace libmo {

namespace {

// Files created or moved into the folder under a new name (FILE_NAME) and
// files written (LAST_WRITE).
constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME;
constexpr DWORD kChangesBufferSize = 4096;
constexpr int kNameBufferSize = 512;
constexpr ULONGLONG kSettleMs = 500;

const char kStartFunction[] = "libmo::TChangeFileChangeManager::TChangeFilesNotifier::Start";
const char kFile[] = "Common/cfilenot";

// Move-only owner of one kernel object handle; closing keeps the last error.
class UniqueHandle {
 public:
  UniqueHandle() noexcept = default;
  explicit UniqueHandle(HANDLE h) noexcept : h_(h) {}
  UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.h_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const noexcept { return h_; }
  bool Valid() const noexcept { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

  void Reset(HANDLE h = nullptr) noexcept {
    if (Valid()) {
      const DWORD saved = ::GetLastError();
      ::CloseHandle(h_);
      ::SetLastError(saved);
    }
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

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

[[noreturn]] void ThrowReadError(DWORD error) {
  SetLastOsError(static_cast<int>(error));
  SetPlace(72);
  ThrowOsError("Can't get data change");
}

bool Reported(DWORD action) {
  return action == FILE_ACTION_ADDED || action == FILE_ACTION_MODIFIED || action == FILE_ACTION_RENAMED_NEW_NAME;
}

}  // namespace

struct TChangeFileChangeManager::TChangeFilesNotifier::Handle {
  UniqueHandle folder;
};

TChangeFileChangeManager::TChangeFilesNotifier::TChangeFilesNotifier(std::string folder, Callback onChange)
    : CommonFilesNotifier(std::move(folder), std::move(onChange)) {}

TChangeFileChangeManager::TChangeFilesNotifier::~TChangeFilesNotifier() = default;

void TChangeFileChangeManager::TChangeFilesNotifier::Watch() {
  auto opened = std::make_unique<Handle>();
  opened->folder.Reset(::CreateFileA(directory.c_str(), FILE_LIST_DIRECTORY,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
  if (!opened->folder.Valid()) ThrowOpenError();
  // Owned here, not by `handle`: it must outlive a read that Stop cancels.
  UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done.Valid()) ThrowOpenError();
  {
    std::lock_guard<std::mutex> lock(handleMutex);
    handle = std::move(opened);
  }

  alignas(FILE_NOTIFY_INFORMATION) unsigned char changes[kChangesBufferSize];
  std::memset(changes, 0, sizeof changes);
  char name[kNameBufferSize];
  struct Changed {
    std::string name;
    ULONGLONG at;  // tick count of its last change
  };
  std::vector<Changed> unsettled;  // in order of their first change
  OVERLAPPED pending{};
  bool reading = false;
  // However the loop ends (a callback may throw), a pending read owns the
  // buffer until it completes: it is cancelled and waited for.
  struct ReadGuard {
    TChangeFilesNotifier& self;
    bool& reading;
    HANDLE done;
    ~ReadGuard() {
      if (!reading) return;
      {
        std::lock_guard<std::mutex> lock(self.handleMutex);
        if (self.handle != nullptr) ::CancelIoEx(self.handle->folder.Get(), nullptr);
      }
      ::WaitForSingleObject(done, INFINITE);
    }
  } guard{*this, reading, done.Get()};
  while (running.load()) {
    DWORD error = ERROR_SUCCESS;
    if (!reading) {
      pending = OVERLAPPED{};
      pending.hEvent = done.Get();
      // Issued under the lock: a Stop either comes before (the loop ends
      // here) or finds the read pending and cancels it.
      std::lock_guard<std::mutex> lock(handleMutex);
      if (!running.load() || handle == nullptr) break;
      ::ResetEvent(done.Get());
      reading = ::ReadDirectoryChangesW(handle->folder.Get(), changes, sizeof changes, FALSE, kNotifyFilter,
                                        nullptr, &pending, nullptr) != FALSE;
      if (!reading) error = ::GetLastError();
    }
    if (error != ERROR_SUCCESS) {
      if (!running.load()) break;
      ThrowReadError(error);
    }
    DWORD wait = INFINITE;
    if (!unsettled.empty()) {
      const ULONGLONG now = ::GetTickCount64();
      for (const Changed& c : unsettled) {
        const ULONGLONG at = c.at + kSettleMs;
        wait = std::min<DWORD>(wait, static_cast<DWORD>(at > now ? at - now : 0));
      }
    }
    // Completes with the changes, or aborted by Stop; the buffer stays in use
    // by the system until then.
    if (::WaitForSingleObject(done.Get(), wait) == WAIT_TIMEOUT) {
      const ULONGLONG now = ::GetTickCount64();
      for (size_t i = 0; i < unsettled.size() && running.load();) {
        if (unsettled[i].at + kSettleMs > now) {
          ++i;
          continue;
        }
        const std::string settled = std::move(unsettled[i].name);
        unsettled.erase(unsettled.begin() + static_cast<long>(i));
        callback(settled.c_str());
      }
      continue;
    }
    reading = false;
    DWORD bytes = 0;
    {
      std::lock_guard<std::mutex> lock(handleMutex);
      if (handle == nullptr) break;  // closed by Stop
      if (!::GetOverlappedResult(handle->folder.Get(), &pending, &bytes, FALSE)) {
        error = ::GetLastError();
        // More changes than the buffer holds: they are lost, as for a
        // synchronous read that returns no records.
        if (error == ERROR_NOTIFY_ENUM_DIR) error = ERROR_SUCCESS;
        bytes = 0;
      }
    }
    if (!running.load()) break;
    if (error != ERROR_SUCCESS) ThrowReadError(error);

    std::memset(name, 0, sizeof name);
    const ULONGLONG now = ::GetTickCount64();
    constexpr size_t kHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    for (size_t at = 0; bytes != 0 && at + kHeader <= bytes;) {
      const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(changes + at);
      const size_t nameBytes = record->FileNameLength;
      if (nameBytes != 0 && at + kHeader + nameBytes <= bytes && Reported(record->Action)) {
        const int length = ::WideCharToMultiByte(CP_ACP, 0, record->FileName, static_cast<int>(nameBytes / 2), name,
                                                 kNameBufferSize, nullptr, nullptr);
        if (length > 0 && length < kNameBufferSize) {
          const std::string changed(name, static_cast<size_t>(length));
          bool known = false;
          for (Changed& c : unsettled) {
            if (c.name == changed) {
              c.at = now;
              known = true;
            }
          }
          if (!known) unsettled.push_back({changed, now});
        }
      }
      if (record->NextEntryOffset == 0) break;
      at += record->NextEntryOffset;
    }
  }
}

void TChangeFileChangeManager::TChangeFilesNotifier::Stop() {
  CommonFilesNotifier::Stop();
  std::lock_guard<std::mutex> lock(handleMutex);
  if (handle != nullptr) {
    ::CancelIoEx(handle->folder.Get(), nullptr);
    handle.reset();
  }
}

void TChangeFileChangeManager::TChangeFilesNotifier::Close() {
  std::lock_guard<std::mutex> lock(handleMutex);
  handle.reset();
}

}  // namespace libmo
