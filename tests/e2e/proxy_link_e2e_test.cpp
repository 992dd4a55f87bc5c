// The link to the proxy server, end to end: the real relvoclient against the
// scriptable fake proxy on 127.0.0.1. Handshake answers on the wire, the
// command connection's commands, its replacement after silence or failure,
// connect failures, live reloads of the ini file and clean stops.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/fake_proxy.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::string kZero(1, '\0');
const std::string kRejected("\x00\x00", 2);
const std::string kCommandType("\x01\x00", 2);

// Generous bounds: a wait that involves the 5 s reconnect time-out, and one
// for things that happen at once (a process start under Wine included).
constexpr auto kAfterTimeout = 60s;
constexpr auto kSoon = 30s;

// A proxy that pings every second for two minutes, so the link stays up
// whatever else a test does.
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
                    int debugLevel = 2, int reconnectTmo = 5000) {
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
  ini += "[system]\nservice_name=RelvoLinkTest\n";
  return ini;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t eol = text.find('\n'); eol != std::string::npos; eol = text.find('\n', start)) {
    lines.push_back(text.substr(start, eol - start));
    start = eol + 1;
  }
  return lines;
}

// The numbers N of every "Reconnect: timeout N ms." line.
std::vector<long> ReconnectSilences(const std::string& events) {
  std::vector<long> out;
  const std::string tag = "Reconnect: timeout ";
  for (const std::string& line : Lines(events)) {
    const size_t p = line.find(tag);
    if (p != std::string::npos) out.push_back(std::strtol(line.c_str() + p + tag.size(), nullptr, 10));
  }
  return out;
}

// Milliseconds of the day from a line's "DD.MM.YY HH:MM:SS.mmm" stamp.
long StampMs(const std::string& line) {
  int d = 0, mo = 0, y = 0, h = 0, mi = 0, s = 0, ms = 0;
  if (std::sscanf(line.c_str(), "%d.%d.%d %d:%d:%d.%d", &d, &mo, &y, &h, &mi, &s, &ms) != 7) return -1;
  return ((h * 60L + mi) * 60L + s) * 1000L + ms;
}

std::string FirstLineWith(const std::string& text, const std::string& needle) {
  for (const std::string& line : Lines(text)) {
    if (line.find(needle) != std::string::npos) return line;
  }
  return "";
}

// One installed connector in its own folder, with a fake proxy; the
// connector is stopped with Ctrl+C at the end of every test and must exit 0.
class ProxyLink : public ::testing::Test {
 protected:
  void SetUp() override { exe = InstallClient(dir); }

  void TearDown() override {
    if (client && client->Running()) {
      client->Interrupt();
      EXPECT_EQ(std::optional<int>(0), client->WaitExit(kSoon)) << Events();
    }
  }

  void StartProxy(ProxyScript script = {}) { proxy.emplace(std::move(script)); }

  std::vector<TargetServer> MainServer() { return {{"main", FreePort()}}; }

  void Start(const std::string& ini) {
    WriteFile(dir.path() / "relvoclient.ini", ini);
    client.emplace(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");
  }
  void StartLinked(int debugLevel = 2) {
    Start(LinkIni("127.0.0.1", proxy->port(), MainServer(), debugLevel));
  }

  std::string Events() const { return ReadFile(dir.path() / "logs" / "events.log"); }
  std::string Errors() const { return ReadFile(dir.path() / "logs" / "errors.log"); }
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

  TempDir dir;
  std::string exe;
  std::optional<FakeProxy> proxy;  // outlives the client: declared first
  std::optional<ChildProcess> client;
};

struct KeyCase {
  std::string key;
  bool zero;
  std::string answer;  // the published answer text
};

TEST_F(ProxyLink, HandshakeAnswersOnTheWireAndRejectionsAreRetried) {
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  // The hash itself is checked against every published vector by the wire
  // module's unit test; here the framing: empty key, with and without zero.
  const std::vector<KeyCase> keys = {
      {"", true, "-1453979438"}, {"KEY-12345", true, "868801796"}, {fox, false, "-1312838265"}};
  ProxyScript script;
  script.handshakes.clear();
  for (const KeyCase& k : keys) script.handshakes.push_back({.key = k.key, .keyZero = k.zero, .acceptance = kRejected});
  // Bytes after the key's zero byte in the same segment are not part of it.
  script.handshakes.push_back({.key = std::string("abc\0junk", 8), .keyZero = false, .acceptance = kRejected});
  // A zero byte that comes in a later segment is not part of the key either;
  // the connector then reads it as (part of) a rejecting acceptance word.
  script.handshakes.push_back({.key = "abc", .splitAt = 3, .acceptance = kRejected});
  // The last one is accepted: a key without a zero byte.
  script.handshakes.push_back({.key = "hello", .keyZero = false});
  const size_t rejected = script.handshakes.size() - 1;
  StartProxy(script);
  StartLinked();

  ASSERT_TRUE(proxy->WaitForCommandConnections(1, kAfterTimeout)) << Errors();
  ASSERT_TRUE(EventsHave("Command connection is established"));
  const std::vector<ProxyConnection> all = proxy->Connections();
  ASSERT_EQ(rejected + 1, all.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(keys[i].answer + kZero, all[i].answer) << "key '" << keys[i].key << "' zero=" << keys[i].zero;
    EXPECT_TRUE(all[i].answerOk) << i;
  }
  EXPECT_EQ(HandshakeAnswer("abc") + kZero, all[keys.size()].answer);
  EXPECT_EQ(HandshakeAnswer("abc") + kZero, all[keys.size() + 1].answer);
  for (size_t i = 0; i < rejected; ++i) {
    EXPECT_TRUE(all[i].closedByPeer) << i;  // the connector drops a rejected connection
    EXPECT_EQ("", all[i].typeBytes) << i;   // and never sends its type
    EXPECT_TRUE(all[i].failures.empty()) << i;
  }
  const ProxyConnection& accepted = all.back();
  EXPECT_EQ("-2035115983" + kZero, accepted.answer);
  EXPECT_EQ(kCommandType, accepted.typeBytes);
  EXPECT_EQ(accepted.answer + kCommandType, accepted.Received());
  EXPECT_TRUE(accepted.failures.empty());

  const std::string errors = Errors();
  EXPECT_EQ(rejected, Occurrences(errors, "Handshake with proxy server failed.")) << errors;
  EXPECT_EQ(1u, Occurrences(Events(), "Handshake is successful."));
}

TEST_F(ProxyLink, StalledHandshakesAreAbandonedAndTheConnectorConnectsAgain) {
  ProxyScript script;
  script.handshakes = {HandshakeScript{.sendKey = false}, HandshakeScript{.acceptance = ""}, HandshakeScript{}};
  StartProxy(script);
  StartLinked();

  ASSERT_TRUE(proxy->WaitForCommandConnections(1, 2 * kAfterTimeout)) << Errors();
  const std::vector<ProxyConnection> all = proxy->Connections();
  ASSERT_EQ(3u, all.size());
  EXPECT_TRUE(all[0].closedByPeer);
  EXPECT_EQ("", all[0].answer);
  EXPECT_TRUE(all[1].answerOk);
  EXPECT_TRUE(all[1].closedByPeer);
  EXPECT_LE(all[0].closedAt, all[1].accepted);
  EXPECT_LE(all[1].closedAt, all[2].accepted);
  EXPECT_EQ(kCommandType, all[2].typeBytes);

  const std::string errors = Errors();
  EXPECT_NE(std::string::npos, errors.find("Handshake recv key failed")) << errors;
  EXPECT_NE(std::string::npos, errors.find("Handshake recv acceptanceResult")) << errors;
  EXPECT_EQ(2u, Occurrences(errors, "Handshake with proxy server failed.")) << errors;
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
  EXPECT_TRUE(proxy->Connection(0).closedByPeer);
  const std::string events = Events();
  const std::vector<long> silences = ReconnectSilences(events);
  ASSERT_FALSE(silences.empty()) << events;
  for (long ms : silences) EXPECT_GT(ms, 5000) << events;
  EXPECT_GT(events.find("Reconnect: timeout"), events.rfind("ping received"));
  EXPECT_EQ(9u, Occurrences(events, "ping received"));
}

// The answer to a create-transport command is one 16-bit word: 01 00 when a
// transport was made, 00 00 when none could be. Here the only target server
// refuses connections, so it must be 00 00.
TEST_F(ProxyLink, UnknownCommandsAndCreateTransportKeepTheConnectionUntilTheProxyCloses) {
  ProxyScript script;
  script.commandScripts = {{ProxyStep::Send(std::string("\x07\x00", 2)), ProxyStep::Send("\xff\xff"),
                            ProxyStep::CreateTransport(), ProxyStep::Expect(2), ProxyStep::Close()},
                           {}};
  StartProxy(script);
  StartLinked();

  ASSERT_TRUE(proxy->WaitForScriptDone(0, kAfterTimeout)) << Events();
  const ProxyConnection first = proxy->Connection(0);
  EXPECT_TRUE(first.failures.empty());
  EXPECT_EQ(2u, first.afterHandshake.size());
  EXPECT_EQ(kRejected, first.afterHandshake);
  // A transport connection made for the command is handshaken with type 2
  // and, with no target server to relay to, dropped by the connector.
  for (const ProxyConnection& c : proxy->Connections()) {
    if (c.connType != 2) continue;
    EXPECT_TRUE(c.answerOk) << "transport connection " << c.index;
    EXPECT_TRUE(proxy->WaitForClosed(static_cast<size_t>(c.index), kSoon)) << "transport connection " << c.index;
    EXPECT_TRUE(proxy->Connection(static_cast<size_t>(c.index)).closedByPeer);
  }
  const std::string errors = Errors();
  EXPECT_NE(std::string::npos, errors.find("Receive unknown command 7\n")) << errors;
  EXPECT_NE(std::string::npos, errors.find("Receive unknown command -1\n")) << errors;
  EXPECT_LT(errors.find("Receive unknown command 7\n"), errors.find("Receive unknown command -1\n"));

  // The proxy closed the connection: one failure line, the reader ends, and
  // the connection is replaced once the time-out has passed.
  ASSERT_TRUE(EventsHave("Read command thread stopped.")) << Events();
  ASSERT_TRUE(proxy->WaitForCommandConnections(2, kAfterTimeout)) << Events();
  const std::string events = Events();
  EXPECT_EQ(1u, Occurrences(Errors(), "recv command failed.  Connection closed.")) << Errors();
  const size_t failed = events.find("recv command failed.  Connection closed.");
  ASSERT_NE(std::string::npos, failed) << events;
  EXPECT_LT(failed, events.find("Read command thread stopped."));
  EXPECT_LT(events.find("Read command thread stopped."), events.find("Reconnect: timeout"));
  EXPECT_EQ(kCommandType, proxy->CommandConnections().at(1).typeBytes);
}

TEST_F(ProxyLink, RefusedProxyIsRetriedUntilItListens) {
  const uint16_t port = FreePort();
  Start(LinkIni("127.0.0.1", port, MainServer()));
  const std::string refused = "Can't connect to address=127.0.0.1, port=" + std::to_string(port) + " - ";
  ASSERT_TRUE(ErrorsHave(refused, kAfterTimeout, 3)) << Errors();
  const std::string events = Events();
  const std::string connecting = "Connecting to '127.0.0.1:" + std::to_string(port) + "'...";
  EXPECT_GE(Occurrences(events, connecting), 3u) << events;
  EXPECT_LT(events.find(connecting), events.find(refused));

  // The proxy comes up on that port: the next attempt succeeds.
  proxy.emplace(ProxyScript{}, port);
  ASSERT_TRUE(proxy->WaitForCommandConnections(1, kSoon)) << Errors();
  EXPECT_TRUE(EventsHave("Command connection is established"));
}

TEST_F(ProxyLink, UnresolvableProxyHostIsReportedAndRetried) {
  Start(LinkIni("no-such-host.invalid", 4000, MainServer()));
  ASSERT_TRUE(ErrorsHave("Address 'no-such-host.invalid' can not be resolved", kAfterTimeout, 2)) << Errors();
  const std::string errors = Errors();
  const size_t lookup = errors.find("Failed to get address info for 'no-such-host.invalid'.");
  ASSERT_NE(std::string::npos, lookup) << errors;
  EXPECT_LT(lookup, errors.find("Address 'no-such-host.invalid' can not be resolved"));

  // Every attempt fails the same way, so every lookup line carries the same
  // socket error text, the first one on the thread included.
  std::vector<std::string> texts;
  for (const std::string& line : Lines(errors)) {
    if (line.find("Failed to get address info for 'no-such-host.invalid'.") == std::string::npos) continue;
    const size_t from = line.find("socket error '");
    const size_t to = line.rfind("' func(");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos && to > from) << line;
    texts.push_back(line.substr(from + 14, to - from - 14));
  }
  ASSERT_GE(texts.size(), 2u) << errors;
  for (const std::string& t : texts) EXPECT_EQ(texts.back(), t) << errors;
}

TEST_F(ProxyLink, ReloadAddsAServerAndAppliesLevelAndTimeout) {
  StartProxy(Pinging());
  const std::vector<TargetServer> servers = MainServer();
  Start(LinkIni("127.0.0.1", proxy->port(), servers));
  ASSERT_TRUE(EventsHave("Command connection is established")) << Events();

  std::vector<TargetServer> more = servers;
  more.push_back({"extra", FreePort()});
  WriteFile(dir.path() / "relvoclient.ini", LinkIni("127.0.0.1", proxy->port(), more, 3, 7000));
  const std::string added =
      "server [extra]: 127.0.0.1:" + std::to_string(more[1].port) + " proxyrec(0) maxcon(1000) is added.";
  ASSERT_TRUE(EventsHave(added)) << Events();
  const std::string events = Events();
  EXPECT_LT(events.find("relvoclient.ini changed."), events.find(added));
  EXPECT_NE(std::string::npos, events.find("Item with same name [main]' is already loaded and has been skipped."));
  EXPECT_NE(std::string::npos, events.find("SetLogLevel: 2 -> 3")) << events;
  EXPECT_NE(std::string::npos, events.find("Reconnect timeout: 7000 ms")) << events;
  EXPECT_EQ(1u, proxy->ConnectionCount());  // the proxy link is left alone
}

TEST_F(ProxyLink, BrokenReloadIsReportedAndTheNextGoodSaveReloads) {
  StartProxy();
  std::vector<TargetServer> servers = MainServer();
  Start(LinkIni("127.0.0.1", proxy->port(), servers));
  ASSERT_TRUE(EventsHave("Command connection is established")) << Events();

  const std::string report = "STANDART exception caught in function AppConfiguration::NotifySubscribes";
  std::vector<TargetServer> broken = servers;
  broken.push_back({"x", FreePort(), ""});
  WriteFile(dir.path() / "relvoclient.ini", LinkIni("127.0.0.1", proxy->port(), broken));
  ASSERT_TRUE(ErrorsHave("Address of [x] is undefined.")) << Events();
  const std::string line = FirstLineWith(Errors(), "Address of [x] is undefined.");
  EXPECT_NE(std::string::npos, line.find(report)) << line;

  std::vector<TargetServer> good = servers;
  good.push_back({"y", FreePort()});
  WriteFile(dir.path() / "relvoclient.ini", LinkIni("127.0.0.1", proxy->port(), good));
  const std::string added = "server [y]: 127.0.0.1:" + std::to_string(good[1].port);
  ASSERT_TRUE(EventsHave(added)) << Events();

  // A save may be seen as more than one change, and a reload may read the
  // file half written; but no reload writes more than one report, at least
  // one reload of the broken file wrote it, and the reload that added [y]
  // wrote none.
  const std::string events = Events();
  std::vector<size_t> reportsPerReload;
  bool sawAdded = false;
  for (const std::string& l : Lines(events)) {
    if (l.find("relvoclient.ini changed.") != std::string::npos) reportsPerReload.push_back(0);
    if (l.find(report) != std::string::npos && !reportsPerReload.empty()) ++reportsPerReload.back();
    if (l.find(added) != std::string::npos) {
      sawAdded = true;
      break;
    }
  }
  ASSERT_TRUE(sawAdded) << events;
  ASSERT_GE(reportsPerReload.size(), 2u) << events;
  for (size_t i = 0; i < reportsPerReload.size(); ++i) EXPECT_LE(reportsPerReload[i], 1u) << "reload " << i << events;
  EXPECT_EQ(0u, reportsPerReload.back()) << events;
  EXPECT_EQ(0u, Occurrences(events, "server [x]")) << events;
}

TEST_F(ProxyLink, SaveByRenamingATempFileOverTheIniReloads) {
  StartProxy();
  std::vector<TargetServer> servers = MainServer();
  Start(LinkIni("127.0.0.1", proxy->port(), servers));
  ASSERT_TRUE(EventsHave("Command connection is established")) << Events();

  servers.push_back({"renamed", FreePort()});
  WriteFile(dir.path() / "relvoclient.ini.new", LinkIni("127.0.0.1", proxy->port(), servers));
  fs::rename(dir.path() / "relvoclient.ini.new", dir.path() / "relvoclient.ini");
  const std::string added = "server [renamed]: 127.0.0.1:" + std::to_string(servers[1].port);
  ASSERT_TRUE(EventsHave(added)) << Events();
  EXPECT_NE(std::string::npos, Events().find("relvoclient.ini changed."));
}

TEST_F(ProxyLink, StopWhileTheReconnectThreadSleepsEndsAtOnce) {
  StartProxy(Pinging());
  StartLinked();
  // Right after the connect the reconnect thread starts its 3 s sleep.
  ASSERT_TRUE(EventsHave("Command connection is established")) << Events();
  ASSERT_EQ(std::optional<int>(0), Stop()) << Events();

  const std::string events = Events();
  const std::string requested = FirstLineWith(events, "service stop requested.");
  const std::string stopped = FirstLineWith(events, "Command reconnect thread stopped.");
  ASSERT_NE("", requested) << events;
  ASSERT_NE("", stopped) << events;
  EXPECT_LT(events.find("service stop requested."), events.find("Command reconnect thread stopped."));
  EXPECT_LT(events.find("Command reconnect thread stopped."), events.find("Service exited."));
  long took = StampMs(stopped) - StampMs(requested);
  if (took < 0) took += 24L * 3600 * 1000;  // across midnight
  EXPECT_LT(took, 2000) << "the stop waited for the sleep\n" << events;
  EXPECT_EQ(1u, proxy->ConnectionCount());
}

TEST_F(ProxyLink, StartWithoutUsableIniFailsAndStillStopsCleanly) {
  struct Case {
    std::string ini;  // empty: no ini file at all
    std::string message;
  };
  const std::vector<Case> cases = {
      {"", "relvoclient.ini' does not exist."},
      {LinkIni("", 0, MainServer()), "Address of [proxyServer] is undefined."},
  };
  for (const Case& c : cases) {
    TempDir folder;
    const std::string installed = InstallClient(folder);
    if (!c.ini.empty()) WriteFile(folder.path() / "relvoclient.ini", c.ini);
    ChildProcess child(ClientCommand(installed, {"-debug"}), folder / "stdout.txt", folder / "stderr.txt");
    const fs::path errors = folder.path() / "logs" / "errors.log";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(errors).find(c.message) != std::string::npos; }, kSoon))
        << c.message << "\n" << ReadFile(errors);
    // It ends by itself after the failed start, or stops cleanly when asked.
    std::optional<int> code = child.WaitExit(15s);
    if (!code) {
      child.Interrupt();
      code = child.WaitExit(kSoon);
    }
    EXPECT_EQ(std::optional<int>(0), code) << c.message;
    const std::string events = ReadFile(folder.path() / "logs" / "events.log");
    EXPECT_NE(std::string::npos, events.find("Service exited.")) << events;
    EXPECT_EQ(std::string::npos, events.find("Connecting to")) << events;
  }
}

}  // namespace
