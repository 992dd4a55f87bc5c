#include "tools/relvoproxy/handshake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>

#include "Common/netUtils.h"
#include "Common/relvo/Wire.h"
#include "tests/support/fake_connector.h"
#include "tests/support/loopback.h"
#include "tools/relvoproxy/challenge.h"

namespace relvoproxy {
namespace {

using namespace std::chrono_literals;
using relvo::wire::HandshakeAnswer;
using testing::ReadBytes;

const std::string kAccepted("\x01\x00", 2);
const std::string kZero(1, '\0');

class HandshakeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { netutils::InitNet(); }

  // Runs the proxy side on a fresh pair's server end in the background.
  void Begin(std::string key = "", Clock::duration limit = 10s, bool allow = true) {
    pair = testsupport::MakeLoopbackPair();
    this->key = key.empty() ? keys.MakeKey() : key;
    result = std::async(std::launch::async, [this, limit, allow] {
      return AcceptHandshake(pair.server.get(), this->key, Clock::now() + limit, [this, allow] {
        ++beforeAcceptCalls;
        return allow;
      });
    });
    EXPECT_EQ(this->key + kZero, ReadBytes(pair.client.get(), this->key.size() + 1));
  }
  HandshakeResult End() {
    EXPECT_EQ(std::future_status::ready, result.wait_for(30s));
    return result.get();
  }
  void Send(const std::string& bytes) {
    ASSERT_TRUE(netutils::SendAll(pair.client.get(), bytes.data(), static_cast<int>(bytes.size())));
  }
  std::string Read(size_t n) { return ReadBytes(pair.client.get(), n); }

  KeySource keys;
  testsupport::LoopbackPair pair;
  std::string key;
  std::atomic<int> beforeAcceptCalls{0};
  std::future<HandshakeResult> result;
};

TEST_F(HandshakeTest, RightAnswerInPiecesIsAcceptedAndTheTypeWordDecidesTheKind) {
  const std::pair<std::string, HandshakeStatus> types[] = {{std::string("\x01\x00", 2), HandshakeStatus::kCommand},
                                                           {std::string("\x02\x00", 2), HandshakeStatus::kTransport},
                                                           {std::string("\x00\x01", 2), HandshakeStatus::kBadType}};
  for (const auto& [type, status] : types) {
    Begin("hello");
    const std::string answer = HandshakeAnswer("hello") + kZero;
    Send(answer.substr(0, 3));
    Send(answer.substr(3));
    EXPECT_EQ(kAccepted, Read(2));
    Send(type.substr(0, 1));
    Send(type.substr(1) + "payload");
    const HandshakeResult r = End();
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(status == HandshakeStatus::kBadType ? "256" : "", r.detail);
    EXPECT_EQ("payload", ReadBytes(pair.server.get(), 7));  // nothing past the type word is read
  }
  EXPECT_EQ(3, beforeAcceptCalls.load());
}

TEST_F(HandshakeTest, WrongOverlongOrTrailedAnswerGetsZeroAndNoAcceptance) {
  const std::pair<std::string, std::string> cases[] = {  // sent, detail (empty: not checked)
      {std::string("12345\0", 6), "12345\\x00"},
      {HandshakeAnswer("hellp") + kZero, ""},  // the answer to another key
      {std::string(4000, '7'), std::string(relvo::wire::kMaxAnswerLength + 2, '7')},  // not waited for
      {HandshakeAnswer("hello") + std::string("\0\x01\x00", 3), ""},                   // bytes after a right one
  };
  for (const auto& [sent, detail] : cases) {
    Begin("hello");
    Send(sent);
    EXPECT_EQ(std::string("\x00\x00", 2), Read(2)) << sent;
    const HandshakeResult r = End();
    EXPECT_EQ(HandshakeStatus::kWrongAnswer, r.status) << sent;
    EXPECT_TRUE(detail.empty() || detail == r.detail) << r.detail;
  }
  EXPECT_EQ(0, beforeAcceptCalls.load());
}

TEST_F(HandshakeTest, CloseOrDeadlineBeforeTheTypeWordIsReported) {
  for (const bool close : {false, true}) {
    for (const bool answered : {false, true}) {
      Begin("", close ? 10s : 300ms);
      if (answered) {
        Send(HandshakeAnswer(key) + kZero);
        EXPECT_EQ(kAccepted, Read(2));
        if (close) Send("\x01");  // half a type word
      }
      if (close) pair.client.Reset();
      EXPECT_EQ(close ? HandshakeStatus::kClosed : HandshakeStatus::kTimedOut, End().status) << answered;
    }
  }
}

TEST_F(HandshakeTest, RefusalBeforeTheAcceptanceSendsNothingMore) {
  Begin("abc", 10s, /*allow=*/false);
  Send(HandshakeAnswer("abc") + kZero);
  EXPECT_EQ(HandshakeStatus::kAborted, End().status);
  EXPECT_EQ(1, beforeAcceptCalls.load());
  pair.server.Reset();
  std::string extra;
  EXPECT_TRUE(testing::WaitEnd(pair.client.get(), 10s, &extra));
  EXPECT_EQ("", extra);
}

TEST(Challenge, KeysArePrintableWithinTheirLengthsAndDiffer) {
  KeySource first, second;
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string key = (i % 2 == 0 ? first : second).MakeKey();
    EXPECT_TRUE(key.size() >= kMinKeyLength && key.size() <= kMaxKeyLength) << key;
    for (const char c : key) ASSERT_TRUE(c >= '!' && c <= '~') << static_cast<int>(c);
    EXPECT_TRUE(seen.insert(key).second) << key;
  }
  EXPECT_EQ("ab\\x00\\x5C\\xFF", Printable(std::string("ab\0\\\xFF", 5)));
  EXPECT_EQ("xxx...", Printable("xxxxx", 3));
}

}  // namespace
}  // namespace relvoproxy
