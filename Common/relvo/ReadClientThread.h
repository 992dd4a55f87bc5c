// The two pumps of an entry: ReadClientThread copies from the transport
// connection to the target server, WriteClientThread the other way. Each
// keeps its own references to both socket holders and only a weak one to
// its entry. A pump that fails (or is stopped) hands the entry to the
// completion thread at once; one whose source ended cleanly only when the
// other direction has ended too.
#pragma once

#include <atomic>
#include <memory>

#include "Common/Socket2SocketTransport.h"
#include "Common/UniqueSocket.h"

namespace relvo {

struct CEntry;
class CompletionThread;

// What the two pumps share: the entry, the socket copies, the hand-over.
class EntryPump : public libmo::Socker2SocketTransport {
 public:
  // `completion` receives the entry when the pump ends; it outlives the pump.
  // Pumps live as long as their connection: their threads are reused from
  // one entry to the next.
  explicit EntryPump(CompletionThread* completion) : completion_(completion) { SetReuseThreads(true); }

 protected:
  // Takes the entry's sockets and starts the thread "<prefix>[uid % 10000]"
  // when both are valid; logs and leaves the pump idle otherwise.
  void StartFor(std::shared_ptr<CEntry> user, const char* place, const char* file, const char* prefix);
  void onFinish() override;

  std::weak_ptr<CEntry> user;
  std::shared_ptr<libmo::UniqueSocket> proxySocket;
  std::shared_ptr<libmo::UniqueSocket> serverSocket;

 private:
  CompletionThread* completion_;
  // The entry's count of directions still running; the entry outlives
  // the pump's thread (its destructor joins it).
  std::atomic<int>* liveDirections_ = nullptr;
};

class ReadClientThread : public EntryPump {
 public:
  using EntryPump::EntryPump;
  void Start(std::shared_ptr<CEntry> user);

 protected:
  libmo::UniqueSocket* GetSrcSocket() override;
  libmo::UniqueSocket* GetDstSocket() override;
};

class WriteClientThread : public EntryPump {
 public:
  using EntryPump::EntryPump;
  void Start(std::shared_ptr<CEntry> user);

 protected:
  libmo::UniqueSocket* GetSrcSocket() override;
  libmo::UniqueSocket* GetDstSocket() override;
};

}  // namespace relvo
