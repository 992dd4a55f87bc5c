#include "tests/support/fake_proxy.h"

#include <algorithm>
#include <utility>

namespace testsupport {
namespace {

namespace wire = relvo::wire;

template <typename T>
const T& Pick(const std::vector<T>& list, size_t index, const T& fallback) {
  return list.empty() ? fallback : list[std::min(index, list.size() - 1)];
}

}  // namespace

ProxyStep ProxyStep::Send(std::string bytes) { return {Kind::Send, std::move(bytes)}; }
ProxyStep ProxyStep::Ping() { return Send(wire::Word(wire::kPing)); }
ProxyStep ProxyStep::CreateTransport() { return Send(wire::Word(wire::kCreateTransport)); }
ProxyStep ProxyStep::Wait(std::chrono::milliseconds duration) { return {Kind::Wait, "", duration}; }
ProxyStep ProxyStep::Close() { return {Kind::Close, "", {}}; }

std::vector<ProxyStep> Pings(int count, std::chrono::milliseconds every) {
  std::vector<ProxyStep> steps;
  for (int i = 0; i < count; ++i) {
    if (i > 0) steps.push_back(ProxyStep::Wait(every));
    steps.push_back(ProxyStep::Ping());
  }
  return steps;
}

// One accepted connection, run on its own thread from accept to close.
class FakeProxy::Session {
 public:
  Session(FakeProxy& proxy, Link& link) : proxy_(proxy), link_(link) {}

  void Run() {
    static const HandshakeScript kDefaultHandshake{};
    if (Handshake(Pick(proxy_.script_.handshakes, link_.index(), kDefaultHandshake))) RunScript();
    while (link_.open() && Read(FakeClock::time_point::max()) != Link::Read::Stopping) {
    }
  }

 private:
  void Update(const std::function<void(ProxyConnection&)>& change) { proxy_.Update(link_.index(), change); }

  // One receive until `deadline`; the bytes are recorded, and kept in pending_ until the handshake is over.
  Link::Read Read(FakeClock::time_point deadline) {
    std::string bytes;
    const Link::Read r = link_.Receive(&bytes, deadline);
    if (r != Link::Read::Data) return r;
    if (!handshaken_) pending_ += bytes;
    Update([&](ProxyConnection& c) {
      c.received += bytes;
      if (handshaken_) c.afterHandshake += bytes;
    });
    return r;
  }

  // Reads until `done()` holds; false when the deadline passed or the connection ended first.
  bool ReadUntil(const std::function<bool()>& done, FakeClock::time_point deadline) {
    while (!done()) {
      if (Read(deadline) != Link::Read::Data) return done();
    }
    return true;
  }

  bool Send(std::string_view bytes) {
    if (link_.SendAll(bytes)) return true;
    if (!link_.stopping()) link_.Fail("send failed");
    return false;
  }

  // The four handshake steps, proxy side; true when the type word arrived.
  bool Handshake(const HandshakeScript& hs) {
    if (!hs.sendKey) return false;
    std::string all = hs.key;
    if (hs.keyZero) all.push_back('\0');
    const size_t split = (hs.splitAt > 0 && hs.splitAt < all.size()) ? hs.splitAt : all.size();
    const std::string first = all.substr(0, split);
    const std::string rest = all.substr(split);
    const std::string expected = HandshakeAnswer(first.substr(0, first.find('\0'))) + std::string(1, '\0');
    if (!Send(first)) return false;

    if (!ReadUntil([&] { return pending_.find('\0') != std::string::npos; }, FakeClock::now() + hs.answerDeadline)) {
      if (link_.open()) link_.Fail("no answer with a zero byte in time; got '" + pending_ + "'");
      return false;
    }
    const std::string answer = pending_.substr(0, pending_.find('\0') + 1);
    pending_.erase(0, answer.size());
    Update([&](ProxyConnection& c) {
      c.answer = answer;
      c.answerOk = answer == expected;
    });
    if (answer != expected) {
      link_.Fail("wrong answer");
      link_.CloseHere();
      return false;
    }

    if (!rest.empty() && !Send(rest)) return false;
    if (hs.acceptance.empty() || !Send(hs.acceptance)) return false;  // empty: stall until the peer gives up
    Update([](ProxyConnection& c) { c.acceptanceSent = true; });

    handshaken_ = ReadUntil([&] { return pending_.size() >= wire::kWordSize; }, FakeClock::time_point::max());
    const std::string type = pending_.substr(0, wire::kWordSize);
    const std::string after = handshaken_ ? pending_.substr(wire::kWordSize) : std::string();
    pending_.clear();
    Update([&](ProxyConnection& c) {
      c.typeBytes = type;
      if (!handshaken_) return;
      c.connType = wire::ReadWord(type.data());
      c.afterHandshake = after;
      if (c.connType == wire::kCommandConnection) number_ = proxy_.commandCount_++;
      if (c.connType == wire::kTransportConnection) number_ = proxy_.transportCount_++;
      type_ = c.connType;
    });
    return handshaken_;
  }

  void RunScript() {
    static const std::vector<ProxyStep> kNoSteps;
    const std::vector<ProxyStep>* steps = &kNoSteps;
    if (type_ == wire::kCommandConnection) steps = &Pick(proxy_.script_.commandScripts, number_, kNoSteps);
    if (type_ == wire::kTransportConnection) steps = &Pick(proxy_.script_.transportScripts, number_, kNoSteps);
    for (const ProxyStep& step : *steps) {
      if (!link_.open()) return;
      switch (step.kind) {
        case ProxyStep::Kind::Send:
          if (!Send(step.bytes)) return;
          break;
        case ProxyStep::Kind::Wait: {
          const auto until = FakeClock::now() + step.time;
          while (link_.open() && FakeClock::now() < until) {
            if (Read(until) == Link::Read::Stopping) return;
          }
          break;
        }
        case ProxyStep::Kind::Close:
          link_.CloseHere();
          break;
      }
      if (!link_.open() && step.kind != ProxyStep::Kind::Close) return;
    }
    Update([](ProxyConnection& c) { c.scriptDone = true; });
  }

  FakeProxy& proxy_;
  Link& link_;
  std::string pending_;
  bool handshaken_ = false;
  int type_ = -1;
  size_t number_ = 0;  // among the connections of its type
};

FakeProxy::FakeProxy(ProxyScript script, uint16_t port) : Recorder(port), script_(std::move(script)) { Start(); }

FakeProxy::~FakeProxy() { Stop(); }

void FakeProxy::Serve(Link& link) { Session(*this, link).Run(); }

bool FakeProxy::WaitForCommandConnections(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil(
      [count](const auto& all) {
        return static_cast<size_t>(std::count_if(all.begin(), all.end(), [](const ProxyConnection& c) {
                 return c.connType == wire::kCommandConnection;
               })) >= count;
      },
      timeout);
}

bool FakeProxy::WaitForScriptDone(size_t index, std::chrono::milliseconds timeout) const {
  return WaitUntil([index](const auto& all) { return index < all.size() && all[index].scriptDone; }, timeout);
}

bool FakeProxy::WaitForReceived(size_t index, size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil(
      [index, count](const auto& all) { return index < all.size() && all[index].afterHandshake.size() >= count; },
      timeout);
}

std::vector<size_t> FakeProxy::IndexesOfType(int connType) const {
  return UnderLock([&] {
    std::vector<size_t> out;
    for (const ProxyConnection& c : records_) {
      if (c.connType == connType) out.push_back(static_cast<size_t>(c.index));
    }
    return out;
  });
}

}  // namespace testsupport
