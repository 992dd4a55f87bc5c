#include <cstdint>
#include <string>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/relvo/Wire.h"
#include "Common/socket_io.h"
#include "Common/steady_clock.h"
#include "client/ProxyServer.h"

namespace relvo {
namespace {

// Unknown codes on one command connection: the first is reported with its
// code; those after it only as a count, at most once a minute while they
// keep coming and once when the connection ends, so that a peer sending
// nothing else cannot grow the errors log by a line per code.
class UnknownCommands {
 public:
  UnknownCommands() = default;
  UnknownCommands(const UnknownCommands&) = delete;
  UnknownCommands& operator=(const UnknownCommands&) = delete;
  ~UnknownCommands() { ReportCount(); }

  void Add(int16_t code) {
    const int64_t now = libmo::SteadyNs();
    if (!seen_) {
      seen_ = true;
      lastReportNs_ = now;
      LogError("Receive unknown command %d", code);
      return;
    }
    ++unreported_;
    if (now - lastReportNs_ >= kReportEveryNs) {
      lastReportNs_ = now;
      ReportCount();
    }
  }

 private:
  static constexpr int64_t kReportEveryNs = 60LL * 1000 * 1000 * 1000;

  void ReportCount() {
    if (unreported_ == 0) return;
    LogError("Receive unknown command: %lld more on this connection", static_cast<long long>(unreported_));
    unreported_ = 0;
  }

  bool seen_ = false;
  int64_t unreported_ = 0;
  int64_t lastReportNs_ = 0;
};

}  // namespace

void ReadCmdThread::StartWork(std::shared_ptr<ProxyServer> proxyServer) {
  if (!proxyServer) {
    SetErrorPlace("ReadCmdThread::StartWork", "ProxyServer", 115);
    LogPlacedError("proxyServer != nullptr");
  }
  proxyServer_ = proxyServer;
  if (!Start("RCMD")) {
    SetErrorPlace("ReadCmdThread::StartWork", "ProxyServer", 119);
    ThrowSocketError("Failed to start ReadCmdThread.");
  }
}

void ReadCmdThread::CloseCommandSocket() {
  if (const std::shared_ptr<ProxyServer> proxy = proxyServer_.lock()) proxy->CloseCommandSocket();
}

void ReadCmdThread::StopAndJoin() {
  Stop();
  CloseCommandSocket();
  Join();
}

void ReadCmdThread::onFinish() {
  CloseCommandSocket();
  LogEvent("Read command thread stopped.");
}

void ReadCmdThread::body() {
  const std::shared_ptr<ProxyServer> proxy = proxyServer_.lock();
  if (!proxy) {
    SetErrorPlace("ReadCmdThread::body", "ProxyServer", 131);
    LogPlacedError("proxyserver != nullptr");
    return;
  }
  LogEvent("command reader thread started %d", static_cast<int>(proxy->GetCommandSocket()));
  UnknownCommands unknown;
  while (!IsStopping()) {
    // The holder is held for the whole pass: the answer goes out on the
    // connection the command came from, never on a handle reused since.
    const std::shared_ptr<libmo::UniqueSocket> socket = proxy->CommandSocket();
    if (!socket) break;
    unsigned char word[2] = {0, 0};
    int received = netutils::Recv(*socket, reinterpret_cast<char*>(word), sizeof word);
    // A code split across two segments is completed, so that the stream of
    // 2-byte commands never slips by a byte.
    if (received == 1) received = netutils::Recv(*socket, reinterpret_cast<char*>(word + 1), 1);
    if (received <= 0) {
      netutils::CheckRecvResult(received, "recv command failed.", !IsStopping());
      break;
    }
    proxy->TouchLastCommandTime();
    const int16_t code = static_cast<int16_t>(wire::ReadWord(word));
    if (code == CreateTransport) {
      LogEventAt(1, "Receive cmdCreateTransport command");
      const std::string answer = wire::Word(proxy->CreateTransport() ? wire::kCreated : wire::kNotCreated);
      // A connection closed meanwhile (a reconnect or a stop) gets no answer.
      if (socket->socket() == INVALID_SOCKET) break;
      if (!netutils::SendAll(*socket, answer.data(), static_cast<int>(answer.size()))) {
        SetErrorPlace("ReadCmdThread::body", "ProxyServer", 153);
        ThrowSocketError("Send cmdCreateTransport result failed");
      }
    } else if (code == Ping) {
      LogEventAt(9, "ping received");
    } else {
      unknown.Add(code);
    }
  }
}

}  // namespace relvo
