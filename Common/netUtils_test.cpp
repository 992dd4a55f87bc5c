#include "Common/netUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "Common/log.h"
#include "Common/oserror.h"
#include "tests/support/loopback.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

using testsupport::Contains;
using testsupport::LoopbackListener;
using testsupport::OwnedSocket;

namespace {

// Routes the logs into a temp folder and starts the socket library for one
// test.
class Net : public ::testing::Test {
 protected:
  void SetUp() override {
    netutils::InitNet();
    errorsAtStart_ = logs_.Errors().size();
  }
  void TearDown() override {
    netutils::CleanupNet();
  }
  std::string Events() const { return logs_.Events(); }
  // Error lines written since the set-up (LogInit writes one of its own).
  std::string Errors() const { return logs_.Errors().substr(errorsAtStart_); }

  testsupport::TestLogs logs_{"NET"};  // first: outlives everything that logs
  size_t errorsAtStart_ = 0;
};

// What Connect threw, or "nothing thrown" (the socket is then closed).
std::string ConnectError(const std::string& host, unsigned short port) {
  try {
    OwnedSocket connected(netutils::Connect(host, port));
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "nothing thrown";
}

std::string ConnectingLine(const std::string& address, unsigned short port) {
  return ": Connecting to '" + address + ":" + std::to_string(port) + "'...\n";
}

// A name is resolved, and the log shows the numeric address it connects to.
TEST_F(Net, ConnectByNameLogsTheNumericAddress) {
  const std::list<std::string> local = netutils::GetIpAddress("localhost");
  EXPECT_NE(local.end(), std::find(local.begin(), local.end(), "127.0.0.1"));
  LoopbackListener listener;
  OwnedSocket client(netutils::Connect("localhost", listener.port()));
  EXPECT_TRUE(listener.Accept().valid());
  EXPECT_TRUE(Contains(Events(), ConnectingLine("127.0.0.1", listener.port()))) << Events();
  EXPECT_EQ("", Errors());
}

TEST_F(Net, UnresolvableNameFailsWithTwoReportsAndARefusedConnectWithTheSystemText) {
  const std::string thrown = ConnectError("no-such-host.invalid", 80);
  EXPECT_EQ(0u, thrown.find("Address 'no-such-host.invalid' can not be resolved : last OS error '")) << thrown;
  EXPECT_TRUE(thrown.ends_with("' func(netutils::Connect netUtils:128)")) << thrown;

  const std::string errors = Errors();
  const std::string logged = ": Failed to get address info for 'no-such-host.invalid'. : socket error '";
  EXPECT_TRUE(Contains(errors, logged)) << errors;
  EXPECT_TRUE(Contains(errors, "' func(netutils::GetIpAddress netUtils:74)\n")) << errors;
  EXPECT_FALSE(Contains(Events(), "Connecting to")) << Events();

  EXPECT_TRUE(netutils::GetIpAddress("no-such-host.invalid").empty());

  // A refused connect fails at once with the system text.
  const unsigned short port = testsupport::ClosedLoopbackPort();
  const std::string refused = libmo::ErrorText(netutils::os::ConnectionRefusedCode());
  ASSERT_FALSE(refused.empty());
  EXPECT_EQ("Can't connect to address=127.0.0.1, port=" + std::to_string(port) + " - " + refused +
                " func(netutils::Connect netUtils:183)",
            ConnectError("127.0.0.1", port));
  EXPECT_TRUE(Contains(Events(), ConnectingLine("127.0.0.1", port))) << Events();
}

TEST_F(Net, GetPeerInfoOfAnUnconnectedSocketLogsAndKeepsTheOutputs) {
  OwnedSocket lone(::socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_TRUE(lone.valid());
  std::string address = "kept";
  std::string port = "kept too";
  netutils::GetPeerInfo(lone.get(), address, port);
  EXPECT_EQ("kept", address);
  EXPECT_EQ("kept too", port);
  const std::string errors = Errors();
  EXPECT_TRUE(Contains(errors, ": Failed to get remote peer name. : OS error '")) << errors;
  EXPECT_TRUE(Contains(errors, "' func(netutils::GetPeerInfo netUtils:30)\n")) << errors;
}

TEST_F(Net, CheckRecvResultReportsOnlyWhenAsked) {
  EXPECT_TRUE(netutils::SendAll(INVALID_SOCKET, nullptr, 0));  // nothing to send
  EXPECT_FALSE(netutils::SendAll(INVALID_SOCKET, "x", 1));
  EXPECT_TRUE(netutils::CheckRecvResult(1, "one"));
  EXPECT_TRUE(netutils::CheckRecvResult(4096, "many", false));
  EXPECT_FALSE(netutils::CheckRecvResult(0, "quiet zero", false));
  EXPECT_FALSE(netutils::CheckRecvResult(-1, "quiet negative", false));
  EXPECT_EQ("", Errors());

  EXPECT_FALSE(netutils::CheckRecvResult(0, "reader 5"));
  const int code = netutils::os::ConnectionRefusedCode();
  libmo::SetLastOsError(code);
  EXPECT_FALSE(netutils::CheckRecvResult(-1, "reader %s 6"));

  const std::string errors = Errors();
  EXPECT_EQ(2, std::count(errors.begin(), errors.end(), '\n')) << errors;
  EXPECT_TRUE(Contains(errors, ": reader 5  Connection closed.\n")) << errors;
  EXPECT_TRUE(Contains(errors, ": reader %s 6 : socket error '" + libmo::ErrorText(code) +
                                   "' func(netutils::CheckRecvResult netUtils:60)\n"))
      << errors;
}

}  // namespace
