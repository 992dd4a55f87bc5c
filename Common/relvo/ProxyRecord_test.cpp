#include "Common/relvo/ProxyRecord.h"

#include <gtest/gtest.h>

#include <iterator>
#include <regex>

#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/socket_timeout.h"
#include "tests/support/loopback.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

using relvo::SendProxyRecord;
using testsupport::Contains;
using testsupport::LoopbackPair;

namespace {

// The failures of the record; its bytes are checked end to end (tests/e2e/relay_e2e_test.cpp).
class ProxyRecord : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { netutils::InitNet(); }
  static void TearDownTestSuite() { netutils::CleanupNet(); }
  void SetUp() override {
    pair_ = testsupport::MakeLoopbackPair();
    netutils::SetReceiveTimeout(pair_.server.get(), 20000);
  }
  std::string Events() const { return logs_.Events(); }
  std::string Errors() const { return logs_.Errors(); }

  testsupport::TestLogs logs_;
  LoopbackPair pair_;
};

TEST_F(ProxyRecord, EmptyAddressSendsNothing) {
  SetLogLevel(2);
  EXPECT_FALSE(SendProxyRecord(pair_.client.get(), "", "5000", 1));
  EXPECT_TRUE(Contains(Errors(), ":TEST): Send proxy rec failed. Address is empty.\n")) << Errors();
  EXPECT_FALSE(Contains(Events(), "Proxy record is sent."));
  ::shutdown(pair_.client.get(), SD_SEND);
  char byte = 0;
  EXPECT_EQ(0, ::recv(pair_.server.get(), &byte, 1, 0));  // nothing was sent
}

TEST_F(ProxyRecord, ResetPeerFailsAtTheStepThatMeetsIt) {
  SetLogLevel(2);
  // Close the peer with a reset and wait until the reset has arrived.
  linger abort{1, 0};
  ASSERT_EQ(0, ::setsockopt(pair_.server.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                            sizeof abort));
  pair_.server.Reset();
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(pair_.client.get(), &readable);
  timeval wait{20, 0};
  ASSERT_EQ(1, ::select(static_cast<int>(pair_.client.get()) + 1, &readable, nullptr, nullptr, &wait));

  EXPECT_FALSE(SendProxyRecord(pair_.client.get(), "127.0.0.1", "5000", 1));
  const std::string errors = Errors();
  const std::regex line(
      R"(:TEST\): Send proxy rec failed\. Step\[([1-4])\]\. : socket error '[^\n]*' func\(SendProxyRecord ProxyRecord:([0-9]+)\)\n)");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(errors, match, line)) << errors;
  const char* const lineOfStep[] = {"18", "24", "34", "39"};
  EXPECT_EQ(lineOfStep[match[1].str()[0] - '1'], match[2].str()) << match[0].str();
  EXPECT_EQ(1, std::distance(std::sregex_iterator(errors.begin(), errors.end(), line), std::sregex_iterator()));
  EXPECT_FALSE(Contains(Events(), "Proxy record is sent."));
}

}  // namespace
