#include "client/handshake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Common/netUtils.h"
#include "tests/support/loopback.h"

namespace {

using testsupport::MakeLoopbackPair;

class Handshake : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { netutils::InitNet(); }

  // Runs the connector's side on one end while `proxy` plays the other.
  template <typename Proxy>
  bool Run(relvo::ConnType type, Proxy proxy) {
    testsupport::LoopbackPair pair = MakeLoopbackPair();
    std::thread peer([&] { proxy(pair.server.get()); });
    const bool ok = relvo::DoHandShake(libmo::UniqueSocket(pair.client.get(), false), type);
    pair.client.Reset();
    peer.join();
    return ok;
  }

  static void SendBytes(SOCKET s, const std::string& bytes) {
    ASSERT_TRUE(netutils::SendAll(s, bytes.data(), static_cast<int>(bytes.size())));
  }
  // Reads up to the zero byte that ends the answer.
  static std::string ReadAnswer(SOCKET s) {
    std::string text;
    char c;
    while (::recv(s, &c, 1, 0) == 1 && c != '\0') text += c;
    return text;
  }
  static std::string ReadBytes(SOCKET s, size_t n) {
    std::string out;
    char buffer[16];
    while (out.size() < n) {
      const int got = static_cast<int>(::recv(s, buffer, static_cast<int>(n - out.size()), 0));
      if (got <= 0) break;
      out.append(buffer, static_cast<size_t>(got));
    }
    return out;
  }
};

TEST_F(Handshake, KeyWithAndWithoutZeroGiveTheSameAnswerAndTypeFollows) {
  for (const std::string& key : {std::string("hello", 6), std::string("hello")}) {
    std::string answer, typeWord;
    EXPECT_TRUE(Run(relvo::ConnType::Command, [&](SOCKET s) {
      SendBytes(s, key);
      answer = ReadAnswer(s);
      SendBytes(s, std::string("\x01\x00", 2));
      typeWord = ReadBytes(s, 2);
    }));
    EXPECT_EQ("-2035115983", answer);
    EXPECT_EQ(std::string("\x01\x00", 2), typeWord);
  }
}

TEST_F(Handshake, BytesAfterTheKeysZeroAreDiscardedAndTransportSendsTwo) {
  std::string answer, typeWord;
  EXPECT_TRUE(Run(relvo::ConnType::Transport, [&](SOCKET s) {
    SendBytes(s, std::string("abc\0junk", 8));
    answer = ReadAnswer(s);
    SendBytes(s, std::string("\x00\x01", 2));  // any non-zero word accepts
    typeWord = ReadBytes(s, 2);
  }));
  EXPECT_EQ("1462498813", answer);
  EXPECT_EQ(std::string("\x02\x00", 2), typeWord);
}

TEST_F(Handshake, EmptyKeyHashesTheSaltAlone) {
  std::string answer;
  EXPECT_TRUE(Run(relvo::ConnType::Command, [&](SOCKET s) {
    SendBytes(s, std::string(1, '\0'));
    answer = ReadAnswer(s);
    SendBytes(s, "\xff\xff");
    ReadBytes(s, 2);
  }));
  EXPECT_EQ("-1453979438", answer);
}

TEST_F(Handshake, ZeroWordRejectsAndOneByteCountsAsLowByte) {
  std::string rest;
  EXPECT_FALSE(Run(relvo::ConnType::Command, [&](SOCKET s) {
    SendBytes(s, "k");
    ReadAnswer(s);
    SendBytes(s, std::string("\x00\x00", 2));
    rest = ReadBytes(s, 2);  // nothing more comes: the connector gave up
  }));
  EXPECT_EQ("", rest);

  EXPECT_TRUE(Run(relvo::ConnType::Command, [&](SOCKET s) {
    SendBytes(s, "k");
    ReadAnswer(s);
    SendBytes(s, "\x01");
    ReadBytes(s, 2);
  }));
}

TEST_F(Handshake, ProxyClosingEarlyFails) {
  EXPECT_FALSE(Run(relvo::ConnType::Command, [&](SOCKET s) { ::shutdown(s, SD_BOTH); }));
  EXPECT_FALSE(Run(relvo::ConnType::Command, [&](SOCKET s) {
    SendBytes(s, "k");
    ReadAnswer(s);
    ::shutdown(s, SD_BOTH);
  }));
}

}  // namespace
