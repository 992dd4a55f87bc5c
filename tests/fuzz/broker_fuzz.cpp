// relvoproxy's broker driven by events the input chooses (clients, command
// and transport connections from three hosts, answers, closes, time passing)
// in any order allowed by its contract. After every event its own
// invariants hold, and no client or transport is ended or paired twice.
#include <set>

#include "tests/fuzz/feed.h"
#include "tools/relvoproxy/broker.h"

using relvoproxy::BrokerAction;
using relvoproxy::ConnectionId;

namespace {

struct Connection {
  ConnectionId id;
  std::string host;
};

template <typename T>
T Take(FuzzedDataProvider& input, std::vector<T>& from) {
  const size_t i = input.ConsumeIntegralInRange<size_t>(0, from.size() - 1);
  T taken = from[i];
  from.erase(from.begin() + static_cast<ptrdiff_t>(i));
  return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  relvoproxy::Broker broker({std::chrono::seconds(5), std::chrono::seconds(10)});
  relvoproxy::Clock::time_point now{};
  ConnectionId nextId = 1;
  std::vector<Connection> pending, commands;  // in their handshake; command connections
  std::set<ConnectionId> ended;               // clients and transports paired or ended
  const char* hosts[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
  while (input.remaining_bytes() > 0) {
    const std::string host = hosts[input.ConsumeIntegralInRange(0, 2)];
    switch (input.ConsumeIntegralInRange(0, 8)) {
      case 0:
        broker.AddClient(nextId++, now);
        break;
      case 1:
        pending.push_back({nextId++, host});
        broker.AwaitingType(pending.back().id, host);
        break;
      case 2:
        if (pending.empty()) break;
        {
          const Connection c = Take(input, pending);
          broker.HandshakeEnded(c.id, c.host, now);
        }
        break;
      case 3: {
        const Connection c = pending.empty() || input.ConsumeBool() ? Connection{nextId++, host} : Take(input, pending);
        commands.push_back(c);
        broker.AddCommand(c.id, c.host, now);
        break;
      }
      case 4: {
        const Connection c = pending.empty() || input.ConsumeBool() ? Connection{nextId++, host} : Take(input, pending);
        broker.AddTransport(c.id, c.host, now);
        break;
      }
      case 5:
        if (!commands.empty()) {
          const Connection c = commands[input.ConsumeIntegralInRange<size_t>(0, commands.size() - 1)];
          broker.Answer(c.id, input.ConsumeIntegralInRange<uint16_t>(0, 2), now);
        }
        break;
      case 6:
        if (!commands.empty()) broker.CommandClosed(Take(input, commands).id, now);
        break;
      case 7:
        now += std::chrono::milliseconds(input.ConsumeIntegralInRange(0, 12000));
        broker.Tick(now);
        break;
      case 8:
        if (input.ConsumeIntegralInRange(0, 15) == 0) broker.StopAll();
        break;
    }
    for (const BrokerAction& a : broker.TakeActions()) {
      if (a.kind == BrokerAction::Kind::kPair || a.kind == BrokerAction::Kind::kCloseClient) {
        FUZZ_CHECK(a.client != 0 && ended.insert(a.client).second);
      }
      if (a.kind == BrokerAction::Kind::kPair || a.kind == BrokerAction::Kind::kCloseTransport) {
        FUZZ_CHECK(a.transport != 0 && ended.insert(a.transport).second);
      }
    }
    const std::string broken = broker.CheckInvariants();
    if (!broken.empty()) std::fprintf(stderr, "broker invariant: %s\n", broken.c_str());
    FUZZ_CHECK(broken.empty());
  }
  return 0;
}
