// Relaying, end to end: relvoclient between the fake proxy and target servers on 127.0.0.1: answers, the proxy record,
// server choice and limits, a refusing target, stops that never wait for a peer. Bytes under load, half closes, aborts
// and restarts: tests/soak.
#include "tests/support/relay_fixture.h"

using namespace testsupport;

namespace {

using Relay = RelayFixture;

TEST_F(Relay, ProxyRecordComesFirstOnlyWhereTheServerAsksForIt) {
  RelayTarget& withRecord = AddTarget({.greeting = "", .echo = false});
  RelayTarget& without = AddTarget({.greeting = "", .echo = false});
  ASSERT_NO_FATAL_FAILURE(Start({{"a_record", withRecord.port(), 0, 1}, {"b_zero", without.port(), 0, 0}}));
  for (int uid = 1; uid <= 2; ++uid) {
    const auto [answer, transport] = CreateTransport();
    ASSERT_EQ(kCreated, answer) << Errors();
    ASSERT_TRUE(proxy->Send(transport, "payload"));
  }
  const std::string text = "[1] srcin=/127.0.0.1:" + std::to_string(proxy->port()) + " dstin";
  // FF FF, the magic, the 32-bit length in network order, the text with its zero.
  std::string record("\xFF\xFFkavu\x00\x00\x00", 9);
  record += static_cast<char>(text.size() + 1);
  record += text + std::string(1, '\0') + "payload";
  ASSERT_TRUE(withRecord.WaitForReceived(0, record.size())) << Events();
  EXPECT_EQ(record, withRecord.Connection(0).received);
  ASSERT_TRUE(without.WaitForReceived(0, 7)) << Events();
  EXPECT_EQ("payload", without.Connection(0).received);
  EXPECT_EQ(1u, Occurrences(Events(), "Proxy record is sent. address(127.0.0.1:" + std::to_string(proxy->port()) +
                                          ") uid(1)"));
  EXPECT_EQ(kCreated + kCreated, proxy->Connection(command).afterHandshake);  // answers only
}

TEST_F(Relay, LeastLoadedServerWithRoomIsChosenAndMaxconRefusesOnceAllAreFull) {
  RelayTarget& a = AddTarget();
  RelayTarget& b = AddTarget();
  ASSERT_NO_FATAL_FAILURE(Start({{"srv_a", a.port(), 2}, {"srv_b", b.port(), 2}}));
  // Both idle: A, the first. Then always the one with fewer entries, until both hold their 2 and the fifth is refused.
  const std::vector<std::pair<size_t, size_t>> counts = {{1, 0}, {1, 1}, {2, 1}, {2, 2}};
  std::vector<size_t> transports;
  for (const auto& [onA, onB] : counts) {
    const auto [answer, transport] = CreateTransport();
    transports.push_back(transport);
    ASSERT_EQ(kCreated, answer) << Errors();
    EXPECT_TRUE(WaitFor([&, onA = onA, onB = onB] { return a.ConnectionCount() == onA && b.ConnectionCount() == onB; },
                        kSoon))
        << a.ConnectionCount() << " " << b.ConnectionCount();
  }
  const auto [refused, fifth] = CreateTransport();
  EXPECT_EQ(kNotCreated, refused);
  ASSERT_TRUE(proxy->WaitForClosed(fifth)) << Events();  // handshaken, then closed
  EXPECT_EQ("", proxy->Connection(fifth).afterHandshake);
  EXPECT_TRUE(WaitFor([&] {
    return Contains(Errors(), "[5] Number of active connections is exceeded or server is not defined in config file.");
  }));
  EXPECT_TRUE(EventsHave("[5] entry deleted."));

  // Entry 1 ends (from the proxy side; the target ends its side too): A has room again, and numbering goes on.
  ASSERT_TRUE(proxy->Close(transports[0]));
  ASSERT_TRUE(EventsHave("[1] entry deleted.")) << Events();
  const auto [answer, transport] = CreateTransport();
  ASSERT_EQ(kCreated, answer) << Errors();
  ASSERT_TRUE(a.WaitForConnections(3));
  ASSERT_TRUE(proxy->Send(transport, "sixth"));
  EXPECT_TRUE(proxy->WaitForReceived(transport, 5));  // echoed by A
  EXPECT_TRUE(EventsHave("[6] New entry is assigned. [total:4]"));
}

TEST_F(Relay, RefusedTargetIsReportedAndAnsweredWithZero) {
  const uint16_t port = ClosedLoopbackPort();
  ASSERT_NO_FATAL_FAILURE(Start({{"down", port}}));
  const auto [answer, transport] = CreateTransport();
  EXPECT_EQ(kNotCreated, answer);
  ASSERT_TRUE(proxy->WaitForClosed(transport)) << Events();
  EXPECT_TRUE(proxy->Connection(transport).closedByPeer);
  EXPECT_TRUE(EventsHave("[1] entry deleted."));
  EXPECT_TRUE(InOrder(Events(), {"Connection to proxy client is established ",
                                 "Can't connect to address=127.0.0.1, port=" + std::to_string(port) + " - "}));
}

// Stopping while a pump waits on a target that reads nothing and the reader waits for the key of a transport connection
// (and the command connection would be replaced only after a minute): both sides of the entry end.
TEST_F(Relay, StopIsPromptWithABlockedSendAndAStalledTransportHandshake) {
  LoopbackListener deaf;  // accepts (in the backlog) and never reads
  // A fixed receive buffer: grown by the system (up to 32 MB on recent Linux), the target alone could take the bytes
  // meant to fill every buffer on the way, which together stay below 64 MB.
  const int small = 64 * 1024;
  ASSERT_EQ(0, ::setsockopt(deaf.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small));
  ProxyScript script;
  script.handshakes = {HandshakeScript{}, HandshakeScript{}, HandshakeScript{.sendKey = false}};
  ASSERT_NO_FATAL_FAILURE(Start({{"deaf", deaf.port()}}, script, 60000));
  const auto [answer, transport] = CreateTransport();
  ASSERT_EQ(kCreated, answer) << Errors();
  OwnedSocket target = deaf.Accept();
  ASSERT_TRUE(proxy->Send(transport, std::string(64u << 20, 'x'), 1s) == false);  // fills every buffer
  ASSERT_TRUE(proxy->Send(command, kCreateTransport));
  ASSERT_TRUE(proxy->WaitForConnections(3));
  ASSERT_NO_FATAL_FAILURE(StopPromptly());
  EXPECT_TRUE(proxy->WaitForClosed(transport));
  EXPECT_TRUE(proxy->WaitForClosed(2));
}

TEST_F(Relay, StopIsPromptWithAStalledCommandHandshake) {
  ProxyScript script;
  script.handshakes = {HandshakeScript{.sendKey = false}};
  proxy.emplace(script);
  WriteFile(dir.path() / "relvoclient.ini", RelayIni(proxy->port(), {{"none", ClosedLoopbackPort()}}, 60000));
  client.emplace(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");
  ASSERT_TRUE(proxy->WaitForConnections(1, kSoon));
  ASSERT_NO_FATAL_FAILURE(StopPromptly());
  EXPECT_TRUE(proxy->WaitForClosed(0));
}

}  // namespace
