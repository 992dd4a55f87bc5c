#include "Common/relvo/OnlineUsers.h"

#include <exception>
#include <limits>

#include "Common/assert.h"
#include "Common/log.h"

namespace relvo {

int32_t NextUid(int32_t last) { return last == std::numeric_limits<int32_t>::max() ? 1 : last + 1; }

CEntry::CEntry(int32_t id, CompletionThread* completion) : uid(id), readThread(completion), writeThread(completion) {}

CEntry::~CEntry() {
  StopUserWork();
  LogEvent("[%d] entry deleted.", uid);
}

void CEntry::StopUserWork() noexcept {
  try {
    LogEventAt(2, "StopWork for user %d ...", uid);
    readThread.Stop();
    writeThread.Stop();
    if (proxySocket) proxySocket->Close();
    if (serverSocket) serverSocket->Close();
    readThread.Join();
    writeThread.Join();
    LogEventAt(2, "StopWork for user %d done.", uid);
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("CEntry::StopUserWork", "Common/relvo/OnlineUsers", 48);
  }
}

std::shared_ptr<CEntry> OnlineUsers::AllocEntry() {
  int count;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    count = static_cast<int>(entries_.size());
  }
  if (count >= kMaxEntries) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      count = static_cast<int>(entries_.size());
    }
    LogError("AllocEntry - not enough slots. Current number of connections: %d", count);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  lastUid_ = NextUid(lastUid_);
  auto entry = std::make_shared<CEntry>(lastUid_, completion_);
  entries_.push_back(entry);
  LogEvent("[%d] New entry is assigned. [total:%zu]", entry->uid, entries_.size());
  return entry;
}

int OnlineUsers::GetCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(entries_.size());
}

int OnlineUsers::CountByServer(const TServer* server) const {
  if (server == nullptr) return 0;  // unset references must not count
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const std::shared_ptr<CEntry>& entry : entries_) {
    if (entry->server.lock().get() == server) ++count;
  }
  return count;
}

void OnlineUsers::ForEach(const std::function<void(std::shared_ptr<CEntry>)>& fn) const {
  if (!fn) throw std::bad_function_call();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::shared_ptr<CEntry>& entry : entries_) fn(entry);
}

std::list<std::shared_ptr<CEntry>> OnlineUsers::Remove(const std::shared_ptr<CEntry>& entry) {
  std::list<std::shared_ptr<CEntry>> removed;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (*it == entry) {
      auto next = std::next(it);
      removed.splice(removed.end(), entries_, it);
      it = next;
    } else {
      ++it;
    }
  }
  return removed;
}

void OnlineUsers::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

}  // namespace relvo
