#include "Common/netUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "Common/oserror.h"
#include "tests/support/loopback.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

using testsupport::Contains;
using testsupport::LoopbackListener;
using testsupport::OwnedSocket;

namespace {

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

// A refused connect fails at once with the system's text; one that waits for an answer ends as soon as it is cancelled.
TEST_F(Net, RefusedConnectFailsAtOnceAndAPendingOneEndsWhenCancelled) {
  const unsigned short port = testsupport::ClosedLoopbackPort();
  EXPECT_EQ("Can't connect to address=127.0.0.1, port=" + std::to_string(port) + " - " +
                libmo::ErrorText(netutils::os::ConnectionRefusedCode()) + " func(netutils::Connect netUtils:183)",
            ConnectError("127.0.0.1", port));

  // A listener whose queue is full drops new connection requests: their connects wait.
  OwnedSocket listener(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address = testsupport::LoopbackAddress(0);
  socklen_t length = sizeof address;
  ASSERT_EQ(0, ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, ::listen(listener.get(), 0));
  ASSERT_EQ(0, ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length));
  std::vector<OwnedSocket> queued;
  for (int i = 0; i < 4; ++i) {
    queued.emplace_back(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(netutils::os::SetBlocking(queued.back().get(), false));
    netutils::os::BeginConnect(queued.back().get(), address);
  }
  const auto start = std::chrono::steady_clock::now();
  const auto cancelled = [&] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(100); };
  std::string pending = "connected";
  try {
    OwnedSocket s(netutils::Connect("127.0.0.1", ntohs(address.sin_port), cancelled));
  } catch (const std::runtime_error& e) {
    pending = e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(Contains(pending, "is not responding. [0]")) << pending;
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

}  // namespace
