// relvoproxy's broker driven by events the input chooses (clients, command and transport connections from three hosts,
// answers, closes, time passing) in any order its contract allows. After every event its own invariants hold, and no
// client or transport is ended or paired twice.
#include <set>

#include "tests/fuzz/feed.h"
#include "tools/relvoproxy/broker.h"

using Kind = relvoproxy::BrokerAction::Kind;

namespace {

struct Connection {
  relvoproxy::ConnectionId id;
  std::string host;
};

Connection Take(FuzzedDataProvider& input, std::vector<Connection>& from) {
  const auto at = from.begin() + input.ConsumeIntegralInRange<ptrdiff_t>(0, static_cast<ptrdiff_t>(from.size()) - 1);
  const Connection taken = *at;
  from.erase(at);
  return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  relvoproxy::Broker broker({std::chrono::seconds(5), std::chrono::seconds(10)});
  relvoproxy::Clock::time_point now{};
  relvoproxy::ConnectionId next = 1;
  std::vector<Connection> pending, commands;  // in their handshake; command connections
  std::set<relvoproxy::ConnectionId> ended;   // clients and transports paired or ended
  while (input.remaining_bytes() > 0) {
    const std::string host = "10.0.0." + std::to_string(input.ConsumeIntegralInRange(1, 3));
    // A connection that finished its handshake: a new one, or one announced.
    auto shaken = [&] { return pending.empty() || input.ConsumeBool() ? Connection{next++, host} : Take(input, pending); };
    const int event = input.ConsumeIntegralInRange(0, 8);
    if (event == 0) broker.AddClient(next++, now);
    if (event == 1) pending.push_back({next++, host}), broker.AwaitingType(pending.back().id, host);
    if (event == 2 && !pending.empty()) {
      const Connection c = Take(input, pending);
      broker.HandshakeEnded(c.id, c.host, now);
    }
    if (event == 3) commands.push_back(shaken()), broker.AddCommand(commands.back().id, commands.back().host, now);
    if (event == 4) {
      const Connection c = shaken();
      broker.AddTransport(c.id, c.host, now);
    }
    if (event == 5 && !commands.empty()) {
      const size_t i = input.ConsumeIntegralInRange<size_t>(0, commands.size() - 1);
      broker.Answer(commands[i].id, input.ConsumeIntegralInRange<uint16_t>(0, 2), now);
    }
    if (event == 6 && !commands.empty()) broker.CommandClosed(Take(input, commands).id, now);
    if (event == 7) now += std::chrono::milliseconds(input.ConsumeIntegralInRange(0, 12000)), broker.Tick(now);
    if (event == 8 && input.ConsumeIntegralInRange(0, 15) == 0) broker.StopAll();
    for (const auto& a : broker.TakeActions()) {
      if (a.kind == Kind::kPair || a.kind == Kind::kCloseClient) FUZZ_CHECK(a.client && ended.insert(a.client).second);
      if (a.kind == Kind::kPair || a.kind == Kind::kCloseTransport) {
        FUZZ_CHECK(a.transport && ended.insert(a.transport).second);
      }
    }
    const std::string broken = broker.CheckInvariants();
    if (!broken.empty()) std::fprintf(stderr, "broker invariant: %s\n", broken.c_str());
    FUZZ_CHECK(broken.empty());
  }
  return 0;
}
