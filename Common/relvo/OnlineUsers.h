// Relay entries and the table of live ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "Common/UniqueSocket.h"
#include "Common/relvo/ReadClientThread.h"

namespace relvo {

struct TServer;
class CompletionThread;

// One relayed connection: the transport connection to the proxy server, the
// connection to the target server and the two pumps between them. Always
// held through std::shared_ptr; destroying it stops and joins both pumps.
struct CEntry : std::enable_shared_from_this<CEntry> {
  CEntry(int32_t uid, CompletionThread* completion);
  ~CEntry();
  CEntry(const CEntry&) = delete;
  CEntry& operator=(const CEntry&) = delete;

  // Stop flags, close of both sockets (wakes the pumps), join of both.
  // Never throws. Called by the destructor.
  void StopUserWork() noexcept;

  const int32_t uid;
  std::weak_ptr<TServer> server;  // counts against this server while it resolves
  std::shared_ptr<libmo::UniqueSocket> proxySocket;
  std::shared_ptr<libmo::UniqueSocket> serverSocket;
  EntryActivity activity;  // see EntryPump
  ReadClientThread readThread;
  WriteClientThread writeThread;
};

// The entry number after `last`. Numbers wrap to 1 before the signed range
// ends, so thread names and the proxy record always show a positive number.
int32_t NextUid(int32_t last);

// The live entries. Numbers start at 1 and are not reused before the wrap.
class OnlineUsers {
 public:
  static constexpr int kMaxEntries = 1000;

  // `completion` receives finished entries from their pumps; it outlives the
  // table's entries.
  explicit OnlineUsers(CompletionThread* completion) : completion_(completion) {}
  OnlineUsers(const OnlineUsers&) = delete;
  OnlineUsers& operator=(const OnlineUsers&) = delete;

  // A new entry, already in the table; empty (after a log line) when the
  // table is full. REQUIRES: one allocating thread (the limit relies on it).
  std::shared_ptr<CEntry> AllocEntry();

  int GetCount() const;

  // Entries whose server reference resolves to exactly `server`.
  int CountByServer(const TServer* server) const;

  // Calls `fn` for each entry in table order, under the table's mutex: `fn`
  // must not call back into the table. Throws std::bad_function_call for an
  // empty `fn`.
  void ForEach(const std::function<void(std::shared_ptr<CEntry>)>& fn) const;

  // Removes every element that points to `entry`; returns them so that the
  // caller drops them outside the lock.
  std::list<std::shared_ptr<CEntry>> Remove(const std::shared_ptr<CEntry>& entry);

  // Drops every entry; their destructors run on the calling thread, with the
  // table's mutex held (they never take it).
  void Clear();

 private:
  CompletionThread* const completion_;
  mutable std::mutex mutex_;
  std::list<std::shared_ptr<CEntry>> entries_;
  int32_t lastUid_ = 0;
};

}  // namespace relvo
