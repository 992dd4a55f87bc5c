// The link to the proxy server, end to end: the real relvoclient against the scriptable fake proxy on 127.0.0.1.
// Handshake answers on the wire, the command connection's commands, its replacement after silence or failure, connect
// failures, live reloads of the ini file, log rotation, start and stop order and clean stops.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/relay_fixture.h"

namespace fs = std::filesystem;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::string kZero(1, '\0');
const std::string kRejected("\x00\x00", 2);
const std::string kCommandType("\x01\x00", 2);

constexpr auto kAfterTimeout = 60s;  // a generous bound for a wait that involves the 5 s reconnect time-out

// A proxy that pings every second for two minutes, so the link stays up whatever else a test does.
ProxyScript Pinging() {
  ProxyScript script;
  script.commandScripts = {Pings(120, 1s)};
  return script;
}

struct TargetServer {
  std::string name;
  uint16_t port = 0;
  std::string address = "127.0.0.1";  // empty: the section has no address
};

std::string LinkIni(const std::string& proxyAddress, uint16_t proxyPort, const std::vector<TargetServer>& servers,
                    int debugLevel = 2, int reconnectTmo = 5000, const std::string& logFolder = "logs") {
  std::string ini = "[general]\ndebug_level=" + std::to_string(debugLevel) +
                    "\nreconnect_tmo=" + std::to_string(reconnectTmo) + "\n";
  if (!proxyAddress.empty()) {
    ini += "[proxyServer]\naddress=" + proxyAddress + "\nport=" + std::to_string(proxyPort) + "\n";
  }
  ini += "[servers]\n";
  for (const TargetServer& s : servers) ini += s.name + "=1\n";
  for (const TargetServer& s : servers) {
    ini += "[" + s.name + "]\n";
    if (!s.address.empty()) ini += "address=" + s.address + "\n";
    ini += "port=" + std::to_string(s.port) + "\n";
  }
  ini += "[system]\nservice_name=RelvoLinkTest\n[log]\nfolder=" + logFolder + "\n";
  return ini;
}

// The numbers N of every "Reconnect: timeout N ms." line.
std::vector<long> ReconnectSilences(const std::string& events) {
  std::vector<long> out;
  const std::string tag = "Reconnect: timeout ";
  for (size_t p = events.find(tag); p != std::string::npos; p = events.find(tag, p + 1)) {
    out.push_back(std::strtol(events.c_str() + p + tag.size(), nullptr, 10));
  }
  return out;
}

class ProxyLink : public ClientFixture {
 protected:
  void StartProxy(ProxyScript script = {}) { proxy.emplace(std::move(script)); }

  std::vector<TargetServer> MainServer() { return {{"main", ClosedLoopbackPort()}}; }

  void Start(const std::string& ini) {
    WriteFile(dir.path() / "relvoclient.ini", ini);
    client.emplace(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");
  }
  void StartLinked(int debugLevel = 2) {
    Start(LinkIni("127.0.0.1", proxy->port(), MainServer(), debugLevel));
  }

  bool EventsHave(const std::string& text, std::chrono::milliseconds timeout = kSoon, size_t times = 1) const {
    return WaitFor([&] { return Occurrences(Events(), text) >= times; }, timeout);
  }
  bool ErrorsHave(const std::string& text, std::chrono::milliseconds timeout = kSoon, size_t times = 1) const {
    return WaitFor([&] { return Occurrences(Errors(), text) >= times; }, timeout);
  }

  // Ctrl+C, then the exit code within a generous bound.
  std::optional<int> Stop() {
    client->Interrupt();
    return client->WaitExit(kSoon);
  }
};

// The hash itself has its known-answer test; here the exchange around it.
TEST_F(ProxyLink, HandshakeKeysEndAtTheirZeroAndRejectedOrStalledHandshakesAreRetried) {
  ProxyScript script;
  script.handshakes = {
      // Bytes after the key's zero byte in the same segment are not part of it.
      {.key = std::string("abc\0junk", 8), .keyZero = false, .acceptance = kRejected},
      // A zero byte that comes in a later segment is not part of the key either; the connector then reads it as part of
      // a rejecting word.
      {.key = "abc", .splitAt = 3, .acceptance = kRejected},
      // Stalled: no key at all, then no acceptance word.
      {.sendKey = false}, {.acceptance = ""},
      // Accepted: a key without a zero byte.
      {.key = "hello", .keyZero = false}};
  StartProxy(script);
  StartLinked();

  ASSERT_TRUE(proxy->WaitForCommandConnections(1, 2 * kAfterTimeout)) << Errors();
  const std::vector<ProxyConnection> all = proxy->Connections();
  ASSERT_EQ(5u, all.size());
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(HandshakeAnswer("abc") + kZero, all[i].answer) << i;
    EXPECT_TRUE(all[i].closedByPeer) << i;  // the connector drops a rejected connection
    EXPECT_EQ("", all[i].typeBytes) << i;   // and never sends its type
  }
  EXPECT_TRUE(all[2].closedByPeer);
  EXPECT_EQ("", all[2].answer);
  EXPECT_TRUE(all[3].answerOk);
  EXPECT_TRUE(all[3].closedByPeer);
  EXPECT_LE(all[2].closedAt, all[3].accepted);
  EXPECT_LE(all[3].closedAt, all[4].accepted);
  EXPECT_EQ("-2035115983" + kZero + kCommandType, all[4].received);
  EXPECT_TRUE(all[4].failures.empty());
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, "Handshake recv key failed")) << errors;
  EXPECT_TRUE(Contains(errors, "Handshake recv acceptanceResult")) << errors;
  EXPECT_EQ(4u, Occurrences(errors, "Handshake with proxy server failed.")) << errors;
  EXPECT_TRUE(EventsHave("Handshake is successful."));
}

TEST_F(ProxyLink, PingsKeepTheConnectionAndSilenceReplacesIt) {
  ProxyScript script;
  script.commandScripts = {Pings(9, 1s), {}};  // ~8 s of pings, then silence
  StartProxy(script);
  StartLinked(9);

  ASSERT_TRUE(proxy->WaitForScriptDone(0, kAfterTimeout)) << Events();
  EXPECT_EQ(1u, proxy->ConnectionCount());
  EXPECT_FALSE(proxy->Connection(0).closed);
  ASSERT_TRUE(EventsHave("ping received", kSoon, 9)) << Events();
  EXPECT_EQ(0u, Occurrences(Events(), "Reconnect: timeout"));

  ASSERT_TRUE(proxy->WaitForCommandConnections(2, kAfterTimeout)) << Events();
  ASSERT_TRUE(EventsHave("Command connection is established", kSoon, 2));
  EXPECT_TRUE(WaitFor([&] { return proxy->Connection(0).closedByPeer; }, kSoon));
  const std::string events = Events();
  const std::vector<long> silences = ReconnectSilences(events);
  ASSERT_FALSE(silences.empty()) << events;
  for (long ms : silences) EXPECT_GT(ms, 5000) << events;
  EXPECT_GT(events.find("Reconnect: timeout"), events.rfind("ping received"));
  EXPECT_EQ(9u, Occurrences(events, "ping received"));
}

TEST_F(ProxyLink, UnknownCommandsKeepTheConnectionUntilTheProxyClosesIt) {
  ProxyScript script;
  script.commandScripts = {{ProxyStep::Send("\xff\xff"), ProxyStep::Send(std::string("\x07\x00", 2)),
                            ProxyStep::Ping(), ProxyStep::Close()},
                           {}};
  StartProxy(script);
  StartLinked();

  ASSERT_TRUE(proxy->WaitForScriptDone(0, kAfterTimeout)) << Events();
  EXPECT_EQ("", proxy->Connection(0).afterHandshake);  // no answers
  // The first unknown code is named, the others counted when the connection ends.
  ASSERT_TRUE(ErrorsHave("Receive unknown command: 1 more on this connection\n")) << Errors();
  const std::string errors = Errors();
  EXPECT_LT(errors.find("Receive unknown command -1\n"), errors.find("Receive unknown command: 1 more"));
  EXPECT_FALSE(Contains(errors, "Receive unknown command 7")) << errors;

  // The proxy closed the connection: one failure line, the reader ends, and the connection is replaced once the
  // time-out has passed.
  ASSERT_TRUE(proxy->WaitForCommandConnections(2, kAfterTimeout)) << Events();
  const std::string events = Events();
  EXPECT_EQ(1u, Occurrences(Errors(), "recv command failed.  Connection closed.")) << Errors();
  EXPECT_TRUE(InOrder(events, {"recv command failed.  Connection closed.", "Read command thread stopped.",
                               "Reconnect: timeout"}));
}

// An editor writes the file in two steps: the reload reads it only once finished, so the new port is 8080, never 80.
TEST_F(ProxyLink, ReloadReadsTheFinishedFileAddsServersAndAppliesLevelAndTimeout) {
  StartProxy(Pinging());
  std::vector<TargetServer> servers = MainServer();
  Start(LinkIni("127.0.0.1", proxy->port(), servers));
  ASSERT_TRUE(EventsHave("Command connection is established")) << Events();

  servers.push_back({"extra", 8080});
  const std::string ini = LinkIni("127.0.0.1", proxy->port(), servers, 3, 7000);
  const size_t cut = ini.find("port=8080") + 7;
  {
    std::ofstream out(dir.path() / "relvoclient.ini", std::ios::binary | std::ios::trunc);
    out << ini.substr(0, cut) << std::flush;
    std::this_thread::sleep_for(100ms);  // a slow writer, not a synchronisation
    out << ini.substr(cut);
  }
  ASSERT_TRUE(EventsHave("server [extra]: 127.0.0.1:8080 proxyrec(0) maxcon(1000) is added.")) << Events();
  std::string events = Events();
  EXPECT_EQ(0u, Occurrences(events, "server [extra]: 127.0.0.1:80 ")) << events;
  EXPECT_LT(events.find("relvoclient.ini changed."), events.find("server [extra]"));
  EXPECT_TRUE(Contains(events, "Item with same name [main]' is already loaded and has been skipped."));
  EXPECT_TRUE(Contains(events, "SetLogLevel: 2 -> 3")) << events;
  EXPECT_TRUE(Contains(events, "Reconnect timeout: 7000 ms")) << events;

  // Saved by renaming a new file over it.
  servers.push_back({"renamed", ClosedLoopbackPort()});
  WriteFile(dir.path() / "relvoclient.ini.new", LinkIni("127.0.0.1", proxy->port(), servers));
  fs::rename(dir.path() / "relvoclient.ini.new", dir.path() / "relvoclient.ini");
  ASSERT_TRUE(EventsHave("server [renamed]: 127.0.0.1:" + std::to_string(servers[2].port))) << Events();
  EXPECT_EQ(1u, proxy->ConnectionCount());  // the proxy link is left alone

  // A broken save is reported once; the next good one reloads.
  std::vector<TargetServer> broken = servers;
  broken.push_back({"x", ClosedLoopbackPort(), ""});
  WriteFile(dir.path() / "relvoclient.ini", LinkIni("127.0.0.1", proxy->port(), broken));
  const std::string report = "STANDART exception caught in function AppConfiguration::NotifySubscribes";
  ASSERT_TRUE(ErrorsHave(report + ", file rv_config, line 186: \"Address of [x] is undefined.")) << Errors();
  servers.push_back({"y", ClosedLoopbackPort()});
  WriteFile(dir.path() / "relvoclient.ini", LinkIni("127.0.0.1", proxy->port(), servers));
  ASSERT_TRUE(EventsHave("server [y]: 127.0.0.1:" + std::to_string(servers[3].port))) << Events();
  EXPECT_EQ(1u, Occurrences(Errors(), report)) << Errors();
  EXPECT_EQ(0u, Occurrences(Events(), "server [x]"));
}

// With the logs beside the ini file, their own writes are never reported: that would write to them again, for ever.
TEST_F(ProxyLink, OwnLogsInTheWatchedFolderAreNeverReported) {
  StartProxy(Pinging());
  Start(LinkIni("127.0.0.1", proxy->port(), MainServer(), 2, 5000, "."));
  const fs::path events = dir.path() / "events.log";
  ASSERT_TRUE(WaitFor([&] { return Contains(ReadFile(events), "Command connection is established"); }, kSoon));
  WriteFile(dir.path() / "sentinel.txt", "after the logs' writes");
  ASSERT_TRUE(WaitFor([&] { return Contains(ReadFile(events), "File 'sentinel.txt' changed."); }, kSoon));
  const std::string text = ReadFile(events);
  EXPECT_EQ(0u, Occurrences(text, "File 'events.log' changed.")) << text;
  EXPECT_EQ(0u, Occurrences(text, "File 'errors.log' changed.")) << text;
}

// A start that fails exits non-zero and says why on standard error: without an ini file, and with a log folder that
// cannot be made (a file is in the way).
TEST_F(ProxyLink, AFailedStartStopsCleanlyAndExitsNonZero) {
  client.emplace(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");
  EXPECT_EQ(std::optional<int>(2), client->WaitExit(kSoon));
  EXPECT_TRUE(Contains(Errors(), "Ini file 'relvoclient.ini' does not exist.")) << Errors();
  EXPECT_TRUE(Contains(ReadFile(dir / "stderr.txt"), "relvoclient: cannot start: Ini file 'relvoclient.ini' does not"))
      << ReadFile(dir / "stderr.txt");
  EXPECT_TRUE(InOrder(Events(), {"Service stopping...", "Service exited."})) << Events();
  EXPECT_EQ(std::string::npos, Events().find("Connecting to")) << Events();

  WriteFile(dir.path() / "blocker", "");
  Start("[log]\nfolder=blocker/logs\n");
  EXPECT_EQ(std::optional<int>(2), client->WaitExit(kSoon));
  EXPECT_TRUE(Contains(ReadFile(dir / "stderr.txt"), "relvoclient: cannot start: Cannot open the log file '"))
      << ReadFile(dir / "stderr.txt");
}

constexpr auto kFlood = 120s;  // 25000 log lines under Wine on a busy machine
constexpr size_t kMiB = 1 << 20;
constexpr int kPings = 25000;  // about 1.2 MiB of "ping received" lines at level 9

size_t PingLines(const std::string& log) { return Occurrences(log, "ping received\n"); }

// Whole lines only: each starts with its time stamp and ends with "\n".
bool WholeLines(const std::string& log) {
  if (log.empty() || log.back() != '\n') return false;
  for (size_t start = 0; start < log.size(); start = log.find('\n', start) + 1) {
    if (log.compare(start + 2, 1, ".") != 0 || log.compare(start + 11, 1, ":") != 0) return false;
  }
  return true;
}

// The connector's start and stop order and its log rotation, stopped with Ctrl+C.
TEST(Lifecycle, StartsInOrderRotatesItsLogsAndAConsoleBreakStopsEveryPartInOrder) {
  FakeProxy proxy;
  TempDir dir;
  const std::string exe = InstallClient(dir);
  WriteFile(dir.path() / "relvoclient.ini",
            "[general]\ndebug_level=9\n[proxyServer]\naddress=127.0.0.1\nport=" + std::to_string(proxy.port()) +
                "\n[servers]\nmain=1\n[main]\naddress=127.0.0.1\nport=" + std::to_string(ClosedLoopbackPort()) +
                "\n[log]\nmax_size_mb=1\nkeep=1\n");
  ChildProcess client(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");
  const auto log = [&](const char* name) { return ReadFile(dir.path() / "logs" / name); };
  ASSERT_TRUE(WaitFor([&] { return Contains(log("events.log"), "Command connection is established"); }, kSoon))
      << log("events.log");
  // The completion and reconnect threads start side by side.
  EXPECT_TRUE(InOrder(log("events.log"), {"startService: run as debug", "Launching the relvoclient (2.0.0.19).",
                                          "Starting command reconnect thread."}))
      << log("events.log");
  // The host's line and the completion thread's come from other threads: nothing orders them before the connection.
  EXPECT_TRUE(WaitFor([&] {
    return Contains(log("events.log"), "Main thread started.") && Contains(log("events.log"), "Start completion");
  }, kSoon)) << log("events.log");

  // Once a log passes 1 MiB it becomes events.1.log: every ping is in one of the two, each file holds whole lines.
  ASSERT_TRUE(proxy.WaitForCommandConnections(1));
  const size_t command = proxy.IndexesOfType(1).front();
  std::string pings;
  for (int i = 0; i < kPings; ++i) pings += std::string("\x19\x00", 2);
  ASSERT_TRUE(proxy.Send(command, pings));
  ASSERT_TRUE(WaitFor([&] { return PingLines(log("events.1.log")) + PingLines(log("events.log")) == kPings; }, kFlood))
      << PingLines(log("events.1.log")) << " + " << PingLines(log("events.log"));
  const std::string first = log("events.1.log");
  EXPECT_TRUE(first.size() >= kMiB && first.size() < kMiB + 2048 && WholeLines(first)) << first.size();
  // A second rotation: the first file is gone (keep=1), the rest is all there.
  ASSERT_TRUE(proxy.Send(command, pings));
  ASSERT_TRUE(WaitFor([&] {
    return PingLines(log("events.1.log")) + PingLines(log("events.log")) == 2 * kPings - PingLines(first);
  }, kFlood)) << PingLines(log("events.1.log")) << " + " << PingLines(log("events.log"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "logs" / "events.2.log"));
  EXPECT_TRUE(log("events.1.log").size() >= kMiB && WholeLines(log("events.1.log")) && WholeLines(log("events.log")));

  client.Interrupt();
  ASSERT_EQ(std::optional<int>(0), client.WaitExit(kSoon)) << log("events.log");
  // The command reader may end as soon as its connection is closed: its line is only required after the stop began.
  const std::string text = log("events.log");
  EXPECT_TRUE(InOrder(text, {"service stop requested.", "Service stopping...", "Command reconnect thread stopped.",
                             "Stop listening ini changes ...", "Completion thread stopped.",
                             "Service stop asked, report service stopped...", "Service exited."}))
      << text;
  EXPECT_TRUE(InOrder(text, {"Service stopping...", "Read command thread stopped.", "Completion thread stopped."}));
  EXPECT_FALSE(Contains(text, "startService: run as service")) << text;
  EXPECT_FALSE(Contains(log("errors.log"), "threadFunc error"));
}

}  // namespace
