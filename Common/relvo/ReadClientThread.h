// The two pumps of an entry: ReadClientThread copies from the transport
// connection to the target server, WriteClientThread the other way. Each
// keeps its own references to both socket holders and only a weak one to
// its entry. A pump that fails (or is stopped) hands the entry to the
// completion thread at once; one whose source ended cleanly only when the
// other direction has ended too.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Common/Socket2SocketTransport.h"
#include "Common/UniqueSocket.h"

namespace relvo {

struct CEntry;
class CompletionThread;

// What an entry's pumps tell about its traffic; read by the completion
// thread's sweep for the entry time-outs (Common/relvo/entry_timeouts.h).
struct EntryActivity {
  // Directions whose source has not ended cleanly yet.
  std::atomic<int> liveDirections{2};
  // Steady-clock times (libmo::SteadyNs): the last byte received either way
  // (the start of the pumps before the first; 0 until they start), and the
  // clean end of the first direction to end (0 while both run).
  std::atomic<int64_t> lastByteNs{0};
  std::atomic<int64_t> halfClosedNs{0};
};

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
  // The entry's; the entry outlives the pump's thread (its destructor
  // joins it).
  EntryActivity* activity_ = nullptr;
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
