// End-to-end support: one installed relvoclient in a folder of its own, between the fake proxy and target servers on
// 127.0.0.1, with helpers to send create-transport commands, read the logs and stop it promptly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Common/relvo/Wire.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_proxy.h"
#include "tests/support/loopback.h"
#include "tests/support/relay_peers.h"
#include "tests/support/text.h"

namespace testsupport {

using namespace std::chrono_literals;

inline const std::string kCreateTransport = relvo::wire::Word(relvo::wire::kCreateTransport);
inline const std::string kCreated = relvo::wire::Word(relvo::wire::kCreated);
inline const std::string kNotCreated = relvo::wire::Word(relvo::wire::kNotCreated);
constexpr auto kSoon = 30s;  // things that happen at once (a start under Wine included)

struct Target {
  std::string name;
  uint16_t port = 0;
  int maxcon = 0, proxyrecord = -1;  // 0, -1: no such key
};

// Level 2 shows the entry lines; 64 KB chunks take the pipe on Linux (the soak takes the default buffer). `general`:
// more lines of [general].
inline std::string RelayIni(uint16_t proxyPort, const std::vector<Target>& servers, int reconnectMs,
                            const std::string& general = "") {
  std::string ini = "[general]\ndebug_level=2\nrelay_buffer=65536\nreconnect_tmo=" + std::to_string(reconnectMs) + "\n";
  ini += general;
  ini += "[proxyServer]\naddress=127.0.0.1\nport=" + std::to_string(proxyPort) + "\n[servers]\n";
  for (const Target& s : servers) ini += s.name + "=1\n";
  for (const Target& s : servers) {
    ini += "[" + s.name + "]\naddress=127.0.0.1\nport=" + std::to_string(s.port) + "\n";
    ini += (s.maxcon ? "maxcon=" + std::to_string(s.maxcon) + "\n" : "") +
           (s.proxyrecord >= 0 ? "proxyrecord=" + std::to_string(s.proxyrecord) + "\n" : "");
  }
  return ini;
}

// Milliseconds of the day of the first log line that contains `text`, or -1.
inline long LineTime(const std::string& log, const std::string& text) {
  const size_t at = log.find(text), line = log.rfind('\n', at) + 1;  // "dd.mm.yy hh:mm:ss.mmm (..."
  if (at == std::string::npos) return -1;
  const auto number = [&](size_t offset) { return std::atol(log.substr(line + offset, 2).c_str()); };
  return ((number(9) * 60 + number(12)) * 60 + number(15)) * 1000 + std::atol(log.substr(line + 18, 3).c_str());
}

// One installed connector in its own folder with the fake proxy; stopped with Ctrl+C at the end, it must exit 0.
class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override { exe = InstallClient(dir); }
  void TearDown() override {
    if (client && client->Running()) {
      client->Interrupt();
      EXPECT_EQ(std::optional<int>(0), client->WaitExit(kSoon)) << Events();
    }
  }
  std::string Events() const { return ReadFile(dir.path() / "logs" / "events.log"); }
  std::string Errors() const { return ReadFile(dir.path() / "logs" / "errors.log"); }

  TempDir dir;
  std::string exe;
  std::optional<FakeProxy> proxy;  // the peers outlive the client
  std::deque<RelayTarget> targets;
  std::optional<ChildProcess> client;
};

// The same with the targets of the test, and no exception caught on the way.
class RelayFixture : public ClientFixture {
 protected:
  void TearDown() override {
    ClientFixture::TearDown();
    EXPECT_EQ(0u, Occurrences(Errors(), "exception caught")) << Errors();
  }

  RelayTarget& AddTarget(TargetBehaviour behaviour = {}) { return targets.emplace_back(std::move(behaviour)); }

  // Starts the connector and waits for its command connection.
  void Start(const std::vector<Target>& servers, ProxyScript script = {}, int reconnectMs = 3600000) {
    if (!proxy) proxy.emplace(std::move(script));
    WriteFile(dir.path() / "relvoclient.ini", RelayIni(proxy->port(), servers, reconnectMs, general));
    client.emplace(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");
    ASSERT_TRUE(proxy->WaitForCommandConnections(1, kSoon)) << Errors();
    command = proxy->IndexesOfType(1).at(0);
  }

  // Sends one create-transport command; returns its answer and the index of the transport connection made for it
  // (creations run one at a time).
  std::pair<std::string, size_t> CreateTransport() {
    const size_t next = proxy->ConnectionCount();
    EXPECT_TRUE(proxy->Send(command, kCreateTransport));
    ++commandsSent;
    EXPECT_TRUE(proxy->WaitForReceived(command, 2 * commandsSent, kSoon)) << Events();
    EXPECT_TRUE(proxy->WaitUntil([next](const auto& all) { return all.size() > next && all[next].Handshaken(); }));
    EXPECT_EQ(2, proxy->Connection(next).connType);
    return {proxy->Connection(command).afterHandshake.substr(2 * (commandsSent - 1), 2), next};
  }

  bool EventsHave(const std::string& text, size_t times = 1) const {
    return WaitFor([&] { return Occurrences(Events(), text) >= times; }, kSoon);
  }
  // Ctrl+C; the stop sequence must not take longer than 2 s whatever the peers do.
  void StopPromptly() {
    client->Interrupt();
    ASSERT_EQ(std::optional<int>(0), client->WaitExit(kSoon)) << Events();
    const std::string events = Events();
    const long took = LineTime(events, "Completion thread stopped.") - LineTime(events, "Service stopping...");
    EXPECT_LE(took, 2000) << events;
    EXPECT_GE(took, 0) << events;
  }

  std::string general;  // more lines of [general] for Start
  size_t command = 0;
  size_t commandsSent = 0;
};

}  // namespace testsupport
