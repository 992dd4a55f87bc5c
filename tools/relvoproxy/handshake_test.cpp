#include "tools/relvoproxy/handshake.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "Common/netUtils.h"
#include "tests/support/loopback.h"
#include "tools/relvoproxy/challenge.h"
#include "tools/relvoproxy/fake_connector.h"

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
  std::string ReadKey() {
    const std::string received = ReadBytes(pair.client.get(), key.size() + 1);
    EXPECT_EQ(key + std::string(1, '\0'), received);
    return received;
  }

  KeySource keys;
  LoopbackPair pair = MakeLoopbackPair();
  std::string key;
  std::atomic<int> beforeAcceptCalls{0};
  std::future<HandshakeResult> result;
};

TEST_F(HandshakeTest, RightAnswerIsAcceptedAndTypeOneMakesACommandConnection) {
  Begin();
  std::string seen;
  EXPECT_EQ(1, ConnectorHandshake(pair.client.get(), 1, nullptr, &seen));
  EXPECT_EQ(key, seen);
  const HandshakeResult r = End();
  EXPECT_EQ(HandshakeStatus::kCommand, r.status);
  EXPECT_EQ(1, beforeAcceptCalls.load());
}

TEST_F(HandshakeTest, TypeTwoMakesATransportConnection) {
  Begin();
  EXPECT_EQ(1, ConnectorHandshake(pair.client.get(), 2));
  EXPECT_EQ(HandshakeStatus::kTransport, End().status);
}

TEST_F(HandshakeTest, KeyIsSentWithItsZeroByteAndKnownAnswersAreAccepted) {
  for (const std::string& k : {std::string("hello"), std::string("abc"), std::string("a")}) {
    pair = MakeLoopbackPair();
    Begin(k);
    ReadKey();
    Send(ExpectedAnswer(k) + std::string(1, '\0'));
    EXPECT_EQ(kAccepted, ReadBytes(pair.client.get(), 2));
    Send(std::string("\x01\x00", 2));
    EXPECT_EQ(HandshakeStatus::kCommand, End().status) << k;
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

TEST_F(HandshakeTest, WrongAnswerGetsZeroAndNoAcceptance) {
  Begin("hello");
  ReadKey();
  Send(std::string("12345", 5) + std::string(1, '\0'));
  EXPECT_EQ(kRejected, ReadBytes(pair.client.get(), 2));
  const HandshakeResult r = End();
  EXPECT_EQ(HandshakeStatus::kWrongAnswer, r.status);
  EXPECT_EQ("12345\\x00", r.detail);
  EXPECT_EQ(0, beforeAcceptCalls.load());
}

TEST_F(HandshakeTest, AnswerToAnotherKeyIsWrong) {
  Begin("hello");
  ReadKey();
  Send(ExpectedAnswer("hellp") + std::string(1, '\0'));
  EXPECT_EQ(kRejected, ReadBytes(pair.client.get(), 2));
  EXPECT_EQ(HandshakeStatus::kWrongAnswer, End().status);
}

TEST_F(HandshakeTest, OverlongAnswerIsWrongWithoutWaitingForItsEnd) {
  Begin();
  ReadKey();
  Send(std::string(4000, '7'));  // no zero byte at all
  EXPECT_EQ(kRejected, ReadBytes(pair.client.get(), 2));
  const HandshakeResult r = End();
  EXPECT_EQ(HandshakeStatus::kWrongAnswer, r.status);
  EXPECT_EQ(std::string(kMaxAnswerLength + 2, '7'), r.detail);
}

TEST_F(HandshakeTest, RightAnswerFollowedByMoreBytesIsWrong) {
  Begin("abc");
  ReadKey();
  Send(ExpectedAnswer("abc") + std::string("\0\x01\x00", 3));
  EXPECT_EQ(kRejected, ReadBytes(pair.client.get(), 2));
  EXPECT_EQ(HandshakeStatus::kWrongAnswer, End().status);
}

TEST_F(HandshakeTest, UnknownTypeIsReported) {
  Begin();
  EXPECT_EQ(1, ConnectorHandshake(pair.client.get(), 7));
  const HandshakeResult r = End();
  EXPECT_EQ(HandshakeStatus::kBadType, r.status);
  EXPECT_EQ("7", r.detail);
}

TEST_F(HandshakeTest, NothingPastTheTypeWordIsRead) {
  Begin("a");
  ReadKey();
  Send(ExpectedAnswer("a") + std::string(1, '\0'));
  EXPECT_EQ(kAccepted, ReadBytes(pair.client.get(), 2));
  Send(std::string("\x02\x00payload", 9));
  EXPECT_EQ(HandshakeStatus::kTransport, End().status);
  EXPECT_EQ("payload", ReadBytes(pair.server.get(), 7));
}

TEST_F(HandshakeTest, CloseBeforeTheAnswerIsReported) {
  Begin();
  ReadKey();
  pair.client.Reset();
  EXPECT_EQ(HandshakeStatus::kClosed, End().status);
}

TEST_F(HandshakeTest, CloseBeforeTheTypeIsReported) {
  Begin("abc");
  ReadKey();
  Send(ExpectedAnswer("abc") + std::string(1, '\0'));
  EXPECT_EQ(kAccepted, ReadBytes(pair.client.get(), 2));
  Send(std::string(1, '\x01'));
  pair.client.Reset();
  EXPECT_EQ(HandshakeStatus::kClosed, End().status);
}

TEST_F(HandshakeTest, SilentPeerTimesOutAtTheDeadline) {
  const auto start = Clock::now();
  Begin("", 300ms);
  ReadKey();
  EXPECT_EQ(HandshakeStatus::kTimedOut, End().status);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 250ms);
  EXPECT_LT(took, 10s);
}

TEST_F(HandshakeTest, DeadlineCoversTheTypeWordToo) {
  Begin("abc", 500ms);
  ReadKey();
  Send(ExpectedAnswer("abc") + std::string(1, '\0'));
  EXPECT_EQ(kAccepted, ReadBytes(pair.client.get(), 2));
  EXPECT_EQ(HandshakeStatus::kTimedOut, End().status);
}

TEST_F(HandshakeTest, RefusalBeforeTheAcceptanceSendsNothingMore) {
  Begin("abc", 10s, /*allow=*/false);
  ReadKey();
  Send(ExpectedAnswer("abc") + std::string(1, '\0'));
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
