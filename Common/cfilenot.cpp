#include "Common/cfilenot.h"

#include <exception>
#include <future>
#include <system_error>
#include <utility>

#include "Common/CommonThread.h"
#include "Common/assert.h"
#include "Common/log.h"
#include "Common/os.h"

namespace libmo {

CommonFilesNotifier::CommonFilesNotifier(std::string folder, Callback onChange)
    : directory(std::move(folder)), callback(std::move(onChange)) {}

CommonFilesNotifier::~CommonFilesNotifier() = default;

void CommonFilesNotifier::Stop() { running.store(false); }

void TChangeFileChangeManager::TChangeFilesNotifier::Start() {
  try {
    Watch();
  } catch (const std::exception& e) {
    LogError("Error while change control: %s", e.what());
  }
  Close();
}

TChangeFileChangeManager::TChangeFileChangeManager() = default;

TChangeFileChangeManager::~TChangeFileChangeManager() { StopChangeControl(); }

bool TChangeFileChangeManager::StartChangeControl() {
  if (thread.joinable()) {
    LogError("Change control for directory already started, thread id: %lu", threadId);
    return false;
  }
  notifier = std::make_shared<TChangeFilesNotifier>(directory, [this](const char* fileName) {
    NotifySubscribes(fileName);
  });
  // The watcher hands back its OS id first, so that the id is known here.
  std::promise<unsigned long> started;
  std::future<unsigned long> id = started.get_future();
  thread = std::thread(
      [watched = notifier, started = std::move(started)]() mutable {
        started.set_value(os::CurrentThreadId());
        WatcherBody(std::move(watched));
      });
  threadId = id.get();
  return true;
}

void TChangeFileChangeManager::WatcherBody(std::shared_ptr<TChangeFilesNotifier> watched) {
  PrepareThread("FNOT");
  watched->Start();
  watched.reset();
}

void TChangeFileChangeManager::StopChangeControl() noexcept {
  try {
    if (notifier != nullptr && thread.joinable()) notifier->Stop();
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
      throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    thread.join();
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("libmo::TChangeFileChangeManager::StopChangeControl",
                                             "Common/cfilenot", 259);
  }
}

void TChangeFileChangeManager::NotifySubscribes(const char* fileName) {
  std::lock_guard<std::mutex> lock(subscribersMutex);
  subscribers.remove_if([](const std::weak_ptr<FileChangeSubscriber>& s) { return s.expired(); });
  for (const std::weak_ptr<FileChangeSubscriber>& weak : subscribers) {
    if (std::shared_ptr<FileChangeSubscriber> subscriber = weak.lock()) subscriber->FileChanged(fileName);
  }
}

void TChangeFileChangeManager::Subscribe(std::weak_ptr<FileChangeSubscriber> subscriber) {
  std::lock_guard<std::mutex> lock(subscribersMutex);
  subscribers.push_back(std::move(subscriber));
}

}  // namespace libmo
