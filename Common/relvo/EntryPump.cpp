#include <string>
#include <system_error>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/relvo/CompletionThread.h"
#include "Common/relvo/OnlineUsers.h"
#include "Common/relvo/ReadClientThread.h"
#include "Common/steady_clock.h"

namespace relvo {
namespace {

SOCKET HandleOf(const libmo::UniqueSocket* holder) {
  return holder ? holder->socket() : INVALID_SOCKET;
}

}  // namespace

void EntryPump::StartFor(std::shared_ptr<CEntry> entry, const char* place, const char* file, const char* prefix) {
  if (!entry) {
    SetErrorPlace(place, file, 8);
    LogPlacedError("user != nullptr");
    return;
  }
  user = entry;
  proxySocket = entry->proxySocket;
  serverSocket = entry->serverSocket;
  activity_ = &entry->activity;
  SetActivityClock(&activity_->lastByteNs);
  activity_->lastByteNs.store(libmo::SteadyNs(), std::memory_order_relaxed);
  const SOCKET source = HandleOf(GetSrcSocket());
  const SOCKET destination = HandleOf(GetDstSocket());
  if (source != INVALID_SOCKET && destination != INVALID_SOCKET) {
    const std::string name = std::string(prefix) + std::to_string(entry->uid % 10000) + "]";
    try {
      Thread::Start(name.c_str());
    } catch (const std::system_error& e) {
      // The system is out of threads (a task limit, memory): the entry
      // cannot relay, and its creation fails with this text.
      SetErrorPlace(place, file, 14);
      ThrowPlacedError("[%d] Thread %s is not started: %s", entry->uid, name.c_str(), e.what());
    }
  } else {
    LogEvent("Transport thread started %d -> %d not started. Invalid socket.", static_cast<int>(source),
             static_cast<int>(destination));
  }
}

void EntryPump::onFinish() {
  LogEvent("Transport thread finished");
  // A half-closed entry stays in the table until its other direction ends
  // (or stays silent for longer than the half-close time-out allows).
  if (EndedCleanly() && activity_ != nullptr && activity_->liveDirections.fetch_sub(1) != 1) {
    activity_->halfClosedNs.store(libmo::SteadyNs(), std::memory_order_relaxed);
    return;
  }
  if (completion_ != nullptr) completion_->AddEntry(user);
}

void ReadClientThread::Start(std::shared_ptr<CEntry> entry) {
  StartFor(std::move(entry), "ReadClientThread::Start", "Common/relvo/ReadClientThread", "R[");
}
libmo::UniqueSocket* ReadClientThread::GetSrcSocket() { return proxySocket.get(); }
libmo::UniqueSocket* ReadClientThread::GetDstSocket() { return serverSocket.get(); }

void WriteClientThread::Start(std::shared_ptr<CEntry> entry) {
  StartFor(std::move(entry), "WriteClientThread::Start", "Common/relvo/WriteClientThread", "W[");
}
libmo::UniqueSocket* WriteClientThread::GetSrcSocket() { return serverSocket.get(); }
libmo::UniqueSocket* WriteClientThread::GetDstSocket() { return proxySocket.get(); }

}  // namespace relvo
