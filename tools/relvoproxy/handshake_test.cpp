#include "tools/relvoproxy/handshake.h"

#include <gtest/gtest.h>

#include <future>
#include <atomic>
#include <utility>

#include "Common/netUtils.h"
#include "Common/relvo/Wire.h"
#include "tests/support/fake_connector.h"
#include "tests/support/loopback.h"
#include "tools/relvoproxy/challenge.h"

namespace relvoproxy {
namespace {

using namespace std::chrono_literals;
using testing::ConnectorHandshake;
using testing::ReadBytes;
using testsupport::LoopbackPair;
using testsupport::MakeLoopbackPair;

const std::string kAccepted("\x01\x00", 2);
const std::string kRejected("\x00\x00", 2);

class HandshakeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { netutils::InitNet(); }

  // Runs the proxy side on pair.server in the background.
  void Begin(std::string key = "", Clock::duration limit = 10s, bool allow = true) {
    if (key.empty()) key = keys.MakeKey();
    this->key = key;
    result = std::async(std::launch::async, [this, key, limit, allow] {
      return AcceptHandshake(pair.server.get(), key, Clock::now() + limit, [this, allow] {
        ++beforeAcceptCalls;
        return allow;
      });
    });
  }
  HandshakeResult End() {
    EXPECT_EQ(std::future_status::ready, result.wait_for(30s));
    return result.get();
  }
  void Send(const std::string& bytes) {
    ASSERT_TRUE(netutils::SendAll(pair.client.get(), bytes.data(), static_cast<int>(bytes.size())));
  }
  // Sends the right answer and reads the acceptance word.
  void AnswerRight() {
    Send(relvo::wire::HandshakeAnswer(key) + std::string(1, '\0'));
    EXPECT_EQ(kAccepted, ReadBytes(pair.client.get(), 2));
  }
  void ReadKey() { EXPECT_EQ(key + std::string(1, '\0'), ReadBytes(pair.client.get(), key.size() + 1)); }

  KeySource keys;
  LoopbackPair pair = MakeLoopbackPair();
  std::string key;
  std::atomic<int> beforeAcceptCalls{0};
  std::future<HandshakeResult> result;
};

TEST_F(HandshakeTest, RightAnswerIsAcceptedAndTheTypeWordDecidesTheKind) {
  const std::pair<uint16_t, HandshakeStatus> types[] = {
      {1, HandshakeStatus::kCommand}, {2, HandshakeStatus::kTransport}, {7, HandshakeStatus::kBadType}};
  int accepted = 0;
  for (const auto& [type, status] : types) {
    pair = MakeLoopbackPair();
    Begin();
    std::string seen;
    EXPECT_EQ(1, ConnectorHandshake(pair.client.get(), type, nullptr, &seen));
    EXPECT_EQ(key, seen);
    const HandshakeResult r = End();
    EXPECT_EQ(status, r.status) << type;
    EXPECT_EQ(type == 7 ? "7" : "", r.detail);
    EXPECT_EQ(++accepted, beforeAcceptCalls.load());
  }
}

TEST_F(HandshakeTest, AnswerAndTypeMayArriveInPieces) {
  Begin("hello");
  ReadKey();
  Send("-2035");
  Send("115983");
  Send(std::string(1, '\0'));
  EXPECT_EQ(kAccepted, ReadBytes(pair.client.get(), 2));
  Send(std::string(1, '\x02'));
  Send(std::string(1, '\x00'));
  EXPECT_EQ(HandshakeStatus::kTransport, End().status);
}

TEST_F(HandshakeTest, WrongOverlongOrTrailedAnswerGetsZeroAndNoAcceptance) {
  struct Case {
    std::string sent;
    std::string detail;  // empty: not checked
  };
  const Case cases[] = {
      {std::string("12345\0", 6), "12345\\x00"},
      {relvo::wire::HandshakeAnswer("hellp") + std::string(1, '\0'), ""},  // the answer to another key
      {std::string(4000, '7'), std::string(relvo::wire::kMaxAnswerLength + 2, '7')},  // no zero byte: not waited for
      {relvo::wire::HandshakeAnswer("hello") + std::string("\0\x01\x00", 3), ""},   // more bytes after a right one
  };
  for (const Case& c : cases) {
    pair = MakeLoopbackPair();
    Begin("hello");
    ReadKey();
    Send(c.sent);
    EXPECT_EQ(kRejected, ReadBytes(pair.client.get(), 2)) << c.sent;
    const HandshakeResult r = End();
    EXPECT_EQ(HandshakeStatus::kWrongAnswer, r.status) << c.sent;
    if (!c.detail.empty()) {
      EXPECT_EQ(c.detail, r.detail);
    }
  }
  EXPECT_EQ(0, beforeAcceptCalls.load());
}

TEST_F(HandshakeTest, NothingPastTheTypeWordIsRead) {
  Begin("a");
  ReadKey();
  AnswerRight();
  Send(std::string("\x02\x00payload", 9));
  EXPECT_EQ(HandshakeStatus::kTransport, End().status);
  EXPECT_EQ("payload", ReadBytes(pair.server.get(), 7));
}

TEST_F(HandshakeTest, CloseBeforeTheAnswerOrTheTypeIsReported) {
  Begin();
  ReadKey();
  pair.client.Reset();
  EXPECT_EQ(HandshakeStatus::kClosed, End().status);

  pair = MakeLoopbackPair();
  Begin();
  ReadKey();
  AnswerRight();
  Send(std::string(1, '\x01'));
  pair.client.Reset();
  EXPECT_EQ(HandshakeStatus::kClosed, End().status);
}

TEST_F(HandshakeTest, DeadlineCoversTheAnswerAndTheTypeWord) {
  const auto start = Clock::now();
  Begin("", 300ms);
  ReadKey();
  EXPECT_EQ(HandshakeStatus::kTimedOut, End().status);
  EXPECT_GE(Clock::now() - start, 250ms);

  pair = MakeLoopbackPair();
  Begin("", 300ms);
  ReadKey();
  AnswerRight();
  EXPECT_EQ(HandshakeStatus::kTimedOut, End().status);
}

TEST_F(HandshakeTest, RefusalBeforeTheAcceptanceSendsNothingMore) {
  Begin("abc", 10s, /*allow=*/false);
  ReadKey();
  Send(relvo::wire::HandshakeAnswer("abc") + std::string(1, '\0'));
  EXPECT_EQ(HandshakeStatus::kAborted, End().status);
  EXPECT_EQ(1, beforeAcceptCalls.load());
  pair.server.Reset();
  std::string extra;
  EXPECT_TRUE(testing::WaitEnd(pair.client.get(), 10s, &extra));
  EXPECT_EQ("", extra);
}

TEST(Printable, EscapesWhatIsNotPrintableAndCutsLongTexts) {
  EXPECT_EQ("ab\\x00\\x5C\\xFF", Printable(std::string("ab\0\\\xFF", 5)));
  EXPECT_EQ("xxx...", Printable("xxxxx", 3));
}

}  // namespace
}  // namespace relvoproxy
