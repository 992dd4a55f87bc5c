#include "tools/relvoproxy/session.h"

#include <memory>
#include <utility>

#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/oserror.h"
#include "Common/socket_io.h"
#include "Common/splice_channel.h"
#include "tools/relvoproxy/net.h"

namespace relvoproxy {

namespace {

constexpr int kChunk = 16384;       // one copy through the process's memory
constexpr int kPipeBytes = 1 << 20;  // one move through a pipe, when it may be that large
constexpr int kSmallPipeBytes = 65536;

// Moves bytes from one socket to another: through a pipe inside the kernel
// (splice) in large moves where the platform has one, otherwise through a
// buffer (recv, send).
class Mover {
 public:
  Mover() {
    if (pipe_.Open(kPipeBytes)) return;
    pipeBytes_ = kSmallPipeBytes;
    if (pipe_.Open(pipeBytes_)) return;
    buffer_ = std::make_unique<char[]>(kChunk);
  }

  // Like recv: the count taken from `from`, 0 at its end, -1 on an error.
  int Receive(const libmo::UniqueSocket& from) {
    if (buffer_) return netutils::Recv(from, buffer_.get(), kChunk);
    return pipe_.Receive(from.Handle(), pipeBytes_);
  }

  // Passes all `count` bytes just received on to `to`. False when a send
  // failed.
  bool Send(const libmo::UniqueSocket& to, int count) {
    if (buffer_) return netutils::SendAll(to, buffer_.get(), count);
    return netutils::SendEvery(count, [&](int, int left) { return pipe_.Send(to.Handle(), left); });
  }

 private:
  libmo::SpliceChannel pipe_;
  int pipeBytes_ = kPipeBytes;  // what the pipe holds, the most one move takes
  std::unique_ptr<char[]> buffer_;
};

}  // namespace

Session::Session(SessionInfo info, std::shared_ptr<libmo::UniqueSocket> client,
                 std::shared_ptr<libmo::UniqueSocket> transport)
    : info_(std::move(info)),
      client_(std::move(client)),
      transport_(std::move(transport)),
      lastMove_(Clock::now().time_since_epoch().count()) {}

bool Session::Start(const std::shared_ptr<Session>& session, ThreadGroup& threads) {
  if (!threads.Spawn("UP", [session] { session->Pump(Direction::kUp); })) {
    session->NoteEnd("no thread for the relay");
    session->CloseBoth();
    session->DirectionEnded();
    session->DirectionEnded();
    return false;
  }
  if (!threads.Spawn("DOWN", [session] { session->Pump(Direction::kDown); })) {
    session->NoteEnd("no thread for the relay");
    session->CloseBoth();
    session->DirectionEnded();
    return false;
  }
  return true;
}

void Session::End(const std::string& why) {
  NoteEnd(why);
  CloseBoth();
}

void Session::NoteEnd(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (end_.empty()) end_ = what;
}

void Session::CloseBoth() {
  client_->Reset();
  transport_->Reset();
}

void Session::Pump(Direction direction) {
  const bool up = direction == Direction::kUp;
  libmo::UniqueSocket& from = up ? *client_ : *transport_;
  libmo::UniqueSocket& to = up ? *transport_ : *client_;
  std::atomic<uint64_t>& count = up ? up_ : down_;
  const char* source = up ? "client" : "connector";
  const char* target = up ? "connector" : "client";
  Mover mover;
  for (;;) {
    const int n = mover.Receive(from);
    if (n > 0) {
      if (!mover.Send(to, n)) {
        NoteEnd(std::string("send to the ") + target + " failed: " + libmo::ErrorText(libmo::LastSocketError()));
        CloseBoth();
        break;
      }
      count.fetch_add(static_cast<uint64_t>(n));
      lastMove_.store(Clock::now().time_since_epoch().count());
    } else if (n == 0) {
      NoteEnd(std::string("closed by the ") + source);
      netutils::ShutdownSend(to);
      break;
    } else {
      NoteEnd(std::string("receive from the ") + source + " failed: " + libmo::ErrorText(libmo::LastSocketError()));
      CloseBoth();
      break;
    }
  }
  DirectionEnded();
}

void Session::DirectionEnded() {
  if (running_.fetch_sub(1) != 1) return;
  CloseBoth();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - info_.since).count();
  std::string end;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    end = end_;
  }
  LogEvent("client #%llu %s via connector #%llu %s: relayed %llu bytes up, %llu bytes down in %lld ms; %s",
           static_cast<unsigned long long>(info_.client), info_.clientPeer.c_str(),
           static_cast<unsigned long long>(info_.command), info_.connectorPeer.c_str(),
           static_cast<unsigned long long>(up_.load()), static_cast<unsigned long long>(down_.load()),
           static_cast<long long>(ms), end.c_str());
}

}  // namespace relvoproxy
