// Relaying, end to end: the real relvoclient between the fake proxy and
// target servers, all on 127.0.0.1. Create-transport commands and their
// answers, bytes relayed both ways, the proxy record, the per-server limits
// and the least-loaded choice, failures to reach a target, the end of an
// entry from either side, and a stop with entries still live.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/fake_proxy.h"
#include "tests/support/relay_peers.h"
#include "tests/support/text.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::string kCreateTransport("\x21\x00", 2);
const std::string kCreated("\x01\x00", 2);
const std::string kNotCreated("\x00\x00", 2);

// Generous bounds: things that happen at once (a process start under Wine
// included), and bulk transfers.
constexpr auto kSoon = 30s;
constexpr auto kBulk = 180s;

struct Target {
  std::string name;
  uint16_t port = 0;
  int maxcon = 0;        // 0: no maxcon key
  int proxyrecord = -1;  // -1: no proxyrecord key
};

// Level 2 shows the entry lines; the reconnect time-out is far longer than
// any test, so the command connection is never replaced.
std::string RelayIni(uint16_t proxyPort, const std::vector<Target>& servers) {
  std::string ini = "[general]\ndebug_level=2\nreconnect_tmo=3600000\n";
  ini += "[proxyServer]\naddress=127.0.0.1\nport=" + std::to_string(proxyPort) + "\n";
  ini += "[servers]\n";
  for (const Target& s : servers) ini += s.name + "=1\n";
  for (const Target& s : servers) {
    ini += "[" + s.name + "]\naddress=127.0.0.1\nport=" + std::to_string(s.port) + "\n";
    if (s.maxcon != 0) ini += "maxcon=" + std::to_string(s.maxcon) + "\n";
    if (s.proxyrecord >= 0) ini += "proxyrecord=" + std::to_string(s.proxyrecord) + "\n";
  }
  ini += "[system]\nservice_name=RelvoRelayTest\n";
  return ini;
}

// The proxy record the connector owes a target for entry `uid` when the far
// end of the transport connection is 127.0.0.1:`proxyPort`.
std::string ProxyRecord(int uid, uint16_t proxyPort) {
  const std::string text = "[" + std::to_string(uid) + "] srcin=/127.0.0.1:" + std::to_string(proxyPort) + " dstin";
  const uint32_t length = static_cast<uint32_t>(text.size() + 1);
  std::string record("\xFF\xFF", 2);
  record += "kavu";
  for (int shift = 24; shift >= 0; shift -= 8) record.push_back(static_cast<char>((length >> shift) & 0xFF));
  record += text;
  record.push_back('\0');
  return record;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out.push_back(digits[(static_cast<unsigned char>(c) >> 4) & 0xF]);
    out.push_back(digits[static_cast<unsigned char>(c) & 0xF]);
    out.push_back(' ');
  }
  return out;
}

// Where two byte streams first differ, for failure messages that must not
// print megabytes.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
  const auto [e, a] = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  std::ostringstream out;
  if (e == expected.end() && a == actual.end()) return "streams are equal";
  out << "expected " << expected.size() << " bytes, got " << actual.size() << "; first difference at offset "
      << (e - expected.begin());
  return out.str();
}

// The number in the last "Online users count: N" line, or -1.
int LastOnlineCount(const std::string& events) {
  const std::string tag = "Online users count: ";
  const size_t p = events.rfind(tag);
  if (p == std::string::npos) return -1;
  return std::atoi(events.c_str() + p + tag.size());
}

// One installed connector in its own folder, with the fake proxy and the
// target servers of the test; the connector is stopped with Ctrl+C at the
// end of every test and must exit 0.
class Relay : public ::testing::Test {
 protected:
  void SetUp() override {
    exe = InstallClient(dir);
    proxy.emplace();
  }

  void TearDown() override {
    if (client && client->Running()) {
      client->Interrupt();
      EXPECT_EQ(std::optional<int>(0), client->WaitExit(kSoon)) << Events();
    }
    // Whatever a test provoked, nothing reached a catch-all handler.
    EXPECT_EQ(0u, Occurrences(Errors(), "exception caught")) << Errors();
  }

  RelayTarget& AddTarget(TargetBehaviour behaviour = {}) { return targets.emplace_back(std::move(behaviour)); }

  // Starts the connector and waits for its command connection.
  void Start(const std::vector<Target>& servers) {
    WriteFile(dir.path() / "relvoclient.ini", RelayIni(proxy->port(), servers));
    client.emplace(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");
    ASSERT_TRUE(proxy->WaitForCommandConnections(1, kSoon)) << Errors();
    command = proxy->IndexesOfType(1).at(0);
  }

  struct Created {
    std::string answer;                // the answer word on the command connection
    size_t transport = SIZE_MAX;       // the proxy's record of the transport connection
  };

  // Sends one create-transport command and waits for its answer and for the
  // transport connection the connector opened for it. Transport creations
  // run one after another, so the next connection the proxy accepts is
  // this command's.
  Created CreateTransport() {
    Created created;
    const size_t connections = proxy->ConnectionCount();
    if (!proxy->Send(command, kCreateTransport)) {
      ADD_FAILURE() << "create-transport not sent";
      return created;
    }
    ++commandsSent;
    if (!proxy->WaitForReceived(command, 2 * commandsSent, kSoon)) {
      ADD_FAILURE() << "no answer to create-transport " << commandsSent << "\n" << Events();
      return created;
    }
    created.answer = proxy->Connection(command).afterHandshake.substr(2 * (commandsSent - 1), 2);
    const bool opened = proxy->WaitUntil(
        [connections](const std::vector<ProxyConnection>& all) {
          return all.size() > connections && (all[connections].Handshaken() || all[connections].closed);
        },
        kSoon);
    if (!opened) {
      ADD_FAILURE() << "no transport connection for create-transport " << commandsSent;
      return created;
    }
    created.transport = connections;
    EXPECT_EQ(2, proxy->Connection(connections).connType) << "connection " << connections;
    return created;
  }

  // `payload` from the proxy side of `transport` to connection `at` of the
  // echo target `target`, and back: each side receives exactly it after what
  // it had already.
  void RoundTrip(size_t transport, const RelayTarget& target, size_t at, const std::string& payload) {
    const size_t proxyHad = proxy->Connection(transport).afterHandshake.size();
    const size_t targetHad = target.Connection(at).received.size();
    ASSERT_TRUE(proxy->Send(transport, payload)) << "transport " << transport;
    ASSERT_TRUE(target.WaitForReceived(at, targetHad + payload.size(), kSoon)) << "target connection " << at;
    EXPECT_EQ(payload, target.Connection(at).received.substr(targetHad)) << "target connection " << at;
    ASSERT_TRUE(proxy->WaitForReceived(transport, proxyHad + payload.size(), kSoon)) << "transport " << transport;
    EXPECT_EQ(payload, proxy->Connection(transport).afterHandshake.substr(proxyHad)) << "transport " << transport;
  }

  std::string Events() const { return ReadFile(dir.path() / "logs" / "events.log"); }
  std::string Errors() const { return ReadFile(dir.path() / "logs" / "errors.log"); }
  bool EventsHave(const std::string& text, size_t times = 1, std::chrono::milliseconds timeout = kSoon) const {
    return WaitFor([&] { return Occurrences(Events(), text) >= times; }, timeout);
  }
  bool ErrorsHave(const std::string& text, size_t times = 1, std::chrono::milliseconds timeout = kSoon) const {
    return WaitFor([&] { return Occurrences(Errors(), text) >= times; }, timeout);
  }
  static std::string DeletedLine(int uid) { return "[" + std::to_string(uid) + "] entry deleted."; }
  static std::string CreatedLine(int uid) {
    return "[" + std::to_string(uid) + "] Transport for new client is created";
  }

  TempDir dir;
  std::string exe;
  // Both outlive the client: declared first.
  std::optional<FakeProxy> proxy;
  std::deque<RelayTarget> targets;
  std::optional<ChildProcess> client;
  size_t command = 0;       // the proxy's record of the command connection
  size_t commandsSent = 0;  // create-transport commands sent on it
};

TEST_F(Relay, TenMegabytesGoBothWaysInOrder) {
  RelayTarget& echo = AddTarget();
  ASSERT_NO_FATAL_FAILURE(Start({{"echo", echo.port()}}));

  const Created t = CreateTransport();
  ASSERT_EQ(kCreated, t.answer) << Errors();
  ASSERT_TRUE(echo.WaitForConnections(1)) << Events();
  EXPECT_TRUE(EventsHave("[1] New entry is assigned. [total:1]")) << Events();
  EXPECT_TRUE(EventsHave(CreatedLine(1))) << Events();

  const std::string data = PatternBytes(10u << 20, 1);
  ASSERT_TRUE(proxy->Send(t.transport, data, kBulk));
  ASSERT_TRUE(echo.WaitForReceived(0, data.size(), kBulk)) << echo.Connection(0).received.size() << " bytes arrived";
  ASSERT_TRUE(proxy->WaitForReceived(t.transport, data.size(), kBulk))
      << proxy->Connection(t.transport).afterHandshake.size() << " bytes came back";

  // Proxy side to target, then target back to proxy side: every byte, in order.
  const std::string there = echo.Connection(0).received;
  EXPECT_EQ(data.size(), there.size());
  EXPECT_EQ(Fnv1a64(data), Fnv1a64(there)) << FirstDifference(data, there);
  const std::string back = proxy->Connection(t.transport).afterHandshake;
  EXPECT_EQ(data.size(), back.size());
  EXPECT_EQ(Fnv1a64(data), Fnv1a64(back)) << FirstDifference(data, back);
  EXPECT_TRUE(echo.Connection(0).failures.empty());
  EXPECT_TRUE(proxy->Connection(t.transport).failures.empty());

  // The command connection carried nothing but the answer.
  EXPECT_EQ(kCreated, proxy->Connection(command).afterHandshake);
  EXPECT_EQ(1u, echo.ConnectionCount());
}

TEST_F(Relay, GreetingOfTheTargetAndTheAnswerBothArriveInEitherOrder) {
  const std::string greeting = "220 target ready\r\n";
  RelayTarget& greeter = AddTarget({.greeting = greeting});
  ASSERT_NO_FATAL_FAILURE(Start({{"greeter", greeter.port()}}));

  // The greeting may reach the transport connection before the answer
  // reaches the command connection, or after it; both must arrive.
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("transport " + std::to_string(i + 1));
    const Created t = CreateTransport();
    ASSERT_EQ(kCreated, t.answer) << Errors();
    ASSERT_TRUE(proxy->WaitForReceived(t.transport, greeting.size())) << Events();
    EXPECT_EQ(greeting, proxy->Connection(t.transport).afterHandshake);
    ASSERT_TRUE(greeter.WaitForConnections(i + 1));
    EXPECT_EQ("", greeter.Connection(i).received);  // nothing went to the target first

    // Relaying goes on after the greeting: the target gets the payload alone,
    // the proxy side gets its echo behind the greeting.
    ASSERT_NO_FATAL_FAILURE(RoundTrip(t.transport, greeter, i, "HELO relay-" + std::to_string(i) + "\r\n"));
    EXPECT_EQ(greeting + "HELO relay-" + std::to_string(i) + "\r\n", proxy->Connection(t.transport).afterHandshake);
  }
  // Nothing relayed ever leaks onto the command connection.
  EXPECT_EQ(kCreated + kCreated + kCreated, proxy->Connection(command).afterHandshake);
}

TEST_F(Relay, ProxyRecordComesFirstOnlyWhereTheServerAsksForIt) {
  // Recording targets, so that whatever arrives stays there.
  RelayTarget& withRecord = AddTarget({.greeting = "", .echo = false});
  RelayTarget& flagZero = AddTarget({.greeting = "", .echo = false});
  RelayTarget& flagAbsent = AddTarget({.greeting = "", .echo = false});
  // Names in list order; all idle, the first one wins, then the next idle one.
  ASSERT_NO_FATAL_FAILURE(Start({{"a_record", withRecord.port(), 0, 1},
                                 {"b_zero", flagZero.port(), 0, 0},
                                 {"c_absent", flagAbsent.port()}}));

  struct Expected {
    RelayTarget* target;
    size_t at;
    std::string prefix;
  };
  const std::vector<Expected> expected = {
      {&withRecord, 0, ProxyRecord(1, proxy->port())},
      {&flagZero, 0, ""},
      {&flagAbsent, 0, ""},
      {&withRecord, 1, ProxyRecord(4, proxy->port())},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    const int uid = static_cast<int>(i + 1);
    SCOPED_TRACE("entry " + std::to_string(uid));
    const Created t = CreateTransport();
    ASSERT_EQ(kCreated, t.answer) << Errors();
    const Expected& e = expected[i];
    ASSERT_TRUE(e.target->WaitForConnections(e.at + 1)) << Events();

    const std::string payload = "payload of entry " + std::to_string(uid);
    ASSERT_TRUE(proxy->Send(t.transport, payload));
    ASSERT_TRUE(e.target->WaitForReceived(e.at, e.prefix.size() + payload.size())) << Events();
    const std::string got = e.target->Connection(e.at).received;
    EXPECT_EQ(Hex(e.prefix + payload), Hex(got));

    // And the way back carries the target's bytes alone.
    const std::string reply = "reply to entry " + std::to_string(uid);
    ASSERT_TRUE(e.target->Send(e.at, reply));
    ASSERT_TRUE(proxy->WaitForReceived(t.transport, reply.size()));
    EXPECT_EQ(reply, proxy->Connection(t.transport).afterHandshake);
  }

  // The record of entry 1, read field by field.
  const std::string first = withRecord.Connection(0).received;
  const std::string text = "[1] srcin=/127.0.0.1:" + std::to_string(proxy->port()) + " dstin";
  ASSERT_GE(first.size(), 10 + text.size() + 1);
  EXPECT_EQ(std::string("\xFF\xFF", 2), first.substr(0, 2));
  EXPECT_EQ("kavu", first.substr(2, 4));
  const uint32_t length = (static_cast<uint32_t>(static_cast<unsigned char>(first[6])) << 24) |
                          (static_cast<uint32_t>(static_cast<unsigned char>(first[7])) << 16) |
                          (static_cast<uint32_t>(static_cast<unsigned char>(first[8])) << 8) |
                          static_cast<uint32_t>(static_cast<unsigned char>(first[9]));
  EXPECT_EQ(text.size() + 1, length);
  EXPECT_EQ(text + std::string(1, '\0'), first.substr(10, length));
  EXPECT_EQ(10 + text.size() + 1, ProxyRecord(1, proxy->port()).size());

  const std::string events = Events();
  const std::string port = std::to_string(proxy->port());
  EXPECT_EQ(1u, Occurrences(events, "Proxy record is sent. address(127.0.0.1:" + port + ") uid(1)")) << events;
  EXPECT_EQ(1u, Occurrences(events, "Proxy record is sent. address(127.0.0.1:" + port + ") uid(4)")) << events;
  EXPECT_EQ(2u, Occurrences(events, "Proxy record is sent.")) << events;
}

TEST_F(Relay, MaxconOneRefusesASecondTransportUntilTheFirstEnds) {
  RelayTarget& echo = AddTarget();
  ASSERT_NO_FATAL_FAILURE(Start({{"only", echo.port(), 1}}));

  const Created first = CreateTransport();
  ASSERT_EQ(kCreated, first.answer) << Errors();
  ASSERT_TRUE(echo.WaitForConnections(1));
  ASSERT_NO_FATAL_FAILURE(RoundTrip(first.transport, echo, 0, "first entry"));

  // The server is at its limit: the transport connection is handshaken, then
  // closed by the connector, and the answer is 00 00.
  const Created second = CreateTransport();
  EXPECT_EQ(kNotCreated, second.answer);
  ASSERT_NE(SIZE_MAX, second.transport);
  EXPECT_TRUE(proxy->Connection(second.transport).answerOk);
  ASSERT_TRUE(proxy->WaitForClosed(second.transport)) << Events();
  EXPECT_TRUE(proxy->Connection(second.transport).closedByPeer);
  EXPECT_EQ("", proxy->Connection(second.transport).afterHandshake);
  EXPECT_TRUE(ErrorsHave(
      "[2] Number of active connections is exceeded or server is not defined in config file."))
      << Errors();
  EXPECT_TRUE(EventsHave(DeletedLine(2))) << Events();
  EXPECT_EQ(1u, echo.ConnectionCount());

  // The first entry is untouched by the refusal.
  ASSERT_NO_FATAL_FAILURE(RoundTrip(first.transport, echo, 0, "still relaying"));

  // Once it ends its place is free again, and numbering goes on from 3.
  ASSERT_TRUE(proxy->Close(first.transport));
  ASSERT_TRUE(echo.WaitForClosed(0));
  ASSERT_TRUE(EventsHave(DeletedLine(1))) << Events();
  const Created third = CreateTransport();
  ASSERT_EQ(kCreated, third.answer) << Errors();
  ASSERT_TRUE(echo.WaitForConnections(2));
  ASSERT_NO_FATAL_FAILURE(RoundTrip(third.transport, echo, 1, "third entry"));

  const std::string events = Events();
  EXPECT_EQ(1u, Occurrences(events, "[3] New entry is assigned. [total:1]")) << events;
  EXPECT_EQ(1u, Occurrences(events, CreatedLine(3))) << events;
  EXPECT_EQ(0u, Occurrences(events, CreatedLine(2))) << events;
  EXPECT_EQ(kCreated + kNotCreated + kCreated, proxy->Connection(command).afterHandshake);
}

TEST_F(Relay, LeastLoadedServerWithRoomIsChosen) {
  RelayTarget& a = AddTarget();
  RelayTarget& b = AddTarget();
  ASSERT_NO_FATAL_FAILURE(Start({{"srv_a", a.port(), 2}, {"srv_b", b.port(), 5}}));

  // Which target each new entry reaches; `at` is its connection there.
  struct Reached {
    char server = '-';
    size_t at = 0;
  };
  std::vector<Created> made;
  const auto create = [&](int uid) -> Reached {
    const size_t before = a.ConnectionCount() + b.ConnectionCount();
    const Created t = CreateTransport();
    made.push_back(t);
    if (t.answer != kCreated) return {};
    // One new connection on one of the targets: the one its payload reaches.
    EXPECT_TRUE(WaitFor([&] { return a.ConnectionCount() + b.ConnectionCount() == before + 1; }, kSoon));
    Reached r;
    const std::string tag = "entry " + std::to_string(uid);
    if (!proxy->Send(t.transport, tag)) return r;
    const auto hasTag = [&](const std::vector<TargetConnection>& all, size_t& index) {
      for (const TargetConnection& c : all) {
        if (c.received == tag) {
          index = static_cast<size_t>(c.index);
          return true;
        }
      }
      return false;
    };
    WaitFor(
        [&] {
          size_t index = 0;
          if (hasTag(a.Connections(), index)) {
            r = {'A', index};
          } else if (hasTag(b.Connections(), index)) {
            r = {'B', index};
          }
          return r.server != '-';
        },
        kSoon);
    EXPECT_TRUE(proxy->WaitForReceived(t.transport, tag.size())) << tag << " did not come back";
    return r;
  };

  // A idle, B idle: A. A 1, B 0: B. Both 1: A, the earlier. A full at 2:
  // B from then on, until B is full at 5 as well.
  const std::string expected = "ABABBBB-";
  std::string chosen;
  std::vector<Reached> reached;
  for (size_t i = 0; i < expected.size(); ++i) {
    reached.push_back(create(static_cast<int>(i + 1)));
    chosen.push_back(reached.back().server);
  }
  EXPECT_EQ(expected, chosen) << Events();
  EXPECT_EQ(kNotCreated, made.back().answer);
  EXPECT_TRUE(ErrorsHave("[8] Number of active connections is exceeded or server is not defined in config file."));
  EXPECT_EQ(2u, a.ConnectionCount());
  EXPECT_EQ(5u, b.ConnectionCount());

  // Entry 1 (on A) ends: A has room again and is the less loaded one.
  ASSERT_TRUE(proxy->Close(made[0].transport));
  ASSERT_TRUE(EventsHave(DeletedLine(1))) << Events();
  EXPECT_EQ('A', create(9).server) << Events();
  // Entry 2 (on B) ends: A is full again, so B, with 4 entries.
  ASSERT_TRUE(proxy->Close(made[1].transport));
  ASSERT_TRUE(EventsHave(DeletedLine(2))) << Events();
  EXPECT_EQ('B', create(10).server) << Events();
  EXPECT_EQ(3u, a.ConnectionCount());
  EXPECT_EQ(6u, b.ConnectionCount());
}

TEST_F(Relay, RefusedTargetIsReportedAndAnsweredWithZero) {
  const uint16_t port = FreePort();
  ASSERT_NO_FATAL_FAILURE(Start({{"down", port}}));

  const std::string cannot = "Can't connect to address=127.0.0.1, port=" + std::to_string(port) + " - ";
  for (int uid = 1; uid <= 2; ++uid) {
    SCOPED_TRACE("entry " + std::to_string(uid));
    const Created t = CreateTransport();
    EXPECT_EQ(kNotCreated, t.answer);
    ASSERT_NE(SIZE_MAX, t.transport);
    EXPECT_TRUE(proxy->Connection(t.transport).answerOk);
    ASSERT_TRUE(proxy->WaitForClosed(t.transport)) << Events();
    EXPECT_TRUE(proxy->Connection(t.transport).closedByPeer);
    EXPECT_TRUE(EventsHave(DeletedLine(uid))) << Events();
  }

  const std::string events = Events();
  const size_t established = events.find("Connection to proxy client is established ");
  ASSERT_NE(std::string::npos, established) << events;
  const size_t refused = events.find(cannot);
  ASSERT_NE(std::string::npos, refused) << events;
  EXPECT_LT(established, refused);
  EXPECT_EQ(2u, Occurrences(events, "Connection to proxy client is established ")) << events;
  EXPECT_EQ(2u, Occurrences(Errors(), cannot)) << Errors();
  EXPECT_EQ(1u, Occurrences(events, "[2] New entry is assigned. [total:1]")) << events;
  EXPECT_EQ(0u, Occurrences(events, "Transport for new client is created")) << events;
  EXPECT_EQ(kNotCreated + kNotCreated, proxy->Connection(command).afterHandshake);
}

TEST_F(Relay, EitherSideClosingEndsTheEntryAndFreesItsSlot) {
  RelayTarget& echo = AddTarget();
  ASSERT_NO_FATAL_FAILURE(Start({{"only", echo.port(), 1}}));

  // The proxy side closes: the target sees the end.
  const Created first = CreateTransport();
  ASSERT_EQ(kCreated, first.answer) << Errors();
  ASSERT_TRUE(echo.WaitForConnections(1));
  ASSERT_NO_FATAL_FAILURE(RoundTrip(first.transport, echo, 0, "closed by the proxy side"));
  ASSERT_TRUE(proxy->Close(first.transport));
  ASSERT_TRUE(echo.WaitForClosed(0)) << Events();
  EXPECT_TRUE(echo.Connection(0).closedByPeer);
  ASSERT_TRUE(EventsHave(DeletedLine(1))) << Events();

  // The place is free: the next transport is accepted. Now the target closes:
  // the proxy side sees the end.
  const Created second = CreateTransport();
  ASSERT_EQ(kCreated, second.answer) << Errors();
  ASSERT_TRUE(echo.WaitForConnections(2));
  ASSERT_NO_FATAL_FAILURE(RoundTrip(second.transport, echo, 1, "closed by the target"));
  ASSERT_TRUE(echo.Close(1));
  ASSERT_TRUE(proxy->WaitForClosed(second.transport)) << Events();
  EXPECT_TRUE(proxy->Connection(second.transport).closedByPeer);
  ASSERT_TRUE(EventsHave(DeletedLine(2))) << Events();

  const Created third = CreateTransport();
  ASSERT_EQ(kCreated, third.answer) << Errors();
  ASSERT_TRUE(echo.WaitForConnections(3));
  ASSERT_NO_FATAL_FAILURE(RoundTrip(third.transport, echo, 2, "third"));

  // Each end was read by the pump of that side; the command connection
  // stayed up throughout.
  EXPECT_GE(Occurrences(Errors(), "Reading failed. Connection closed by peer."), 2u) << Errors();
  EXPECT_FALSE(proxy->Connection(command).closed);
  EXPECT_EQ(kCreated + kCreated + kCreated, proxy->Connection(command).afterHandshake);
}

TEST_F(Relay, StopWithLiveEntriesClosesBothSidesAndExitsZero) {
  RelayTarget& echo = AddTarget();
  ASSERT_NO_FATAL_FAILURE(Start({{"echo", echo.port()}}));

  std::vector<size_t> transports;
  for (size_t i = 0; i < 3; ++i) {
    const Created t = CreateTransport();
    ASSERT_EQ(kCreated, t.answer) << Errors();
    ASSERT_TRUE(echo.WaitForConnections(i + 1));
    ASSERT_NO_FATAL_FAILURE(RoundTrip(t.transport, echo, i, "live " + std::to_string(i)));
    transports.push_back(t.transport);
  }

  client->Interrupt();
  ASSERT_EQ(std::optional<int>(0), client->WaitExit(kSoon)) << Events();

  for (size_t i = 0; i < transports.size(); ++i) {
    EXPECT_TRUE(proxy->WaitForClosed(transports[i])) << "transport " << i;
    EXPECT_TRUE(proxy->Connection(transports[i]).closedByPeer) << "transport " << i;
    EXPECT_TRUE(echo.WaitForClosed(i)) << "target connection " << i;
    EXPECT_TRUE(echo.Connection(i).closedByPeer) << "target connection " << i;
  }
  const std::string events = Events();
  for (int uid = 1; uid <= 3; ++uid) EXPECT_EQ(1u, Occurrences(events, DeletedLine(uid))) << events;
  EXPECT_EQ(1u, Occurrences(events, "Completion thread stopped.")) << events;
  EXPECT_EQ(0u, Occurrences(events, "[4] New entry")) << events;
}

TEST_F(Relay, FiftyEntriesAtOnceRelayAndTheCountReturnsToZero) {
  constexpr size_t kEntries = 50;
  constexpr size_t kEach = 64 * 1024;
  RelayTarget& echo = AddTarget();
  ASSERT_NO_FATAL_FAILURE(Start({{"echo", echo.port()}}));

  std::vector<size_t> transports;
  for (size_t i = 0; i < kEntries; ++i) {
    const Created t = CreateTransport();
    ASSERT_EQ(kCreated, t.answer) << "entry " << i + 1 << "\n" << Errors();
    transports.push_back(t.transport);
  }
  // Creations run one after another, each connecting before the next, so
  // the target accepts them in entry order.
  ASSERT_TRUE(echo.WaitForConnections(kEntries)) << Events();
  EXPECT_TRUE(EventsHave("[50] New entry is assigned. [total:50]")) << Events();

  // Every entry carries its own stream at the same time.
  std::vector<std::string> payloads;
  for (size_t i = 0; i < kEntries; ++i) payloads.push_back(PatternBytes(kEach, static_cast<uint32_t>(100 + i)));
  for (size_t i = 0; i < kEntries; ++i) {
    ASSERT_TRUE(proxy->Send(transports[i], payloads[i], kBulk)) << "entry " << i + 1;
  }
  for (size_t i = 0; i < kEntries; ++i) {
    ASSERT_TRUE(echo.WaitForReceived(i, kEach, kBulk)) << "entry " << i + 1;
    ASSERT_TRUE(proxy->WaitForReceived(transports[i], kEach, kBulk)) << "entry " << i + 1;
  }
  for (size_t i = 0; i < kEntries; ++i) {
    const std::string there = echo.Connection(i).received;
    EXPECT_EQ(Fnv1a64(payloads[i]), Fnv1a64(there)) << "entry " << i + 1 << ": " << FirstDifference(payloads[i], there);
    const std::string back = proxy->Connection(transports[i]).afterHandshake;
    EXPECT_EQ(Fnv1a64(payloads[i]), Fnv1a64(back)) << "entry " << i + 1 << ": " << FirstDifference(payloads[i], back);
  }

  for (size_t i = 0; i < kEntries; ++i) ASSERT_TRUE(proxy->Close(transports[i])) << "entry " << i + 1;
  for (size_t i = 0; i < kEntries; ++i) EXPECT_TRUE(echo.WaitForClosed(i)) << "entry " << i + 1;
  for (int uid = 1; uid <= static_cast<int>(kEntries); ++uid) ASSERT_TRUE(EventsHave(DeletedLine(uid))) << Events();
  // The pass that reaped the last one counts what is left: nothing.
  const auto countedZero = [&] {
    const std::string events = Events();
    size_t lastDeleted = 0;
    for (int uid = 1; uid <= static_cast<int>(kEntries); ++uid) {
      lastDeleted = std::max(lastDeleted, events.rfind(DeletedLine(uid)));
    }
    const size_t lastCount = events.rfind("Online users count: ");
    return lastCount != std::string::npos && lastCount > lastDeleted && LastOnlineCount(events) == 0;
  };
  ASSERT_TRUE(WaitFor(countedZero, kSoon)) << Events();
  for (size_t i = 0; i < kEntries; ++i) EXPECT_TRUE(echo.Connection(i).closedByPeer) << "entry " << i + 1;
}

}  // namespace
