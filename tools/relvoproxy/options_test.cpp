#include "tools/relvoproxy/options.h"

#include <gtest/gtest.h>

namespace relvoproxy {
namespace {

using namespace std::chrono_literals;

TEST(Options, DefaultsListenOnLoopback) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({}, &o, &error)) << error;
  EXPECT_EQ("127.0.0.1", o.connectorListen.host);
  EXPECT_EQ(7100, o.connectorListen.port);
  EXPECT_EQ("127.0.0.1", o.publicListen.host);
  EXPECT_EQ(7101, o.publicListen.port);
  EXPECT_EQ(5000u, o.pingIntervalMs);
  EXPECT_EQ(10000u, o.transportTimeoutMs);
}

TEST(Options, ReadsEveryOptionInBothForms) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--connector-listen", "127.0.0.1:0", "--public-listen=host.example:65535",
                            "--ping-interval", "250", "--transport-timeout=1500", "--log", "p.log",
                            "--port-file=ports.txt", "--log-level", "3"},
                           &o, &error))
      << error;
  EXPECT_EQ("127.0.0.1", o.connectorListen.host);
  EXPECT_EQ(0, o.connectorListen.port);
  EXPECT_EQ("host.example", o.publicListen.host);
  EXPECT_EQ("p.log", o.logFile);
  EXPECT_EQ("ports.txt", o.portFile);
  EXPECT_EQ(3, o.logLevel);
  EXPECT_FALSE(o.help);

  const ServerSettings s = ServerSettingsFrom(o);
  EXPECT_EQ(Clock::duration(250ms), s.broker.pingInterval);
  EXPECT_EQ(Clock::duration(1500ms), s.broker.transportTimeout);
  EXPECT_EQ(Clock::duration(1500ms), s.handshakeTimeout);
  EXPECT_EQ(65535, s.publicListen.port);
}

TEST(Options, HelpIsRecognisedAndNamesEveryOption) {
  for (const char* name : {"--help", "-h", "-?"}) {
    Options o;
    std::string error;
    ASSERT_TRUE(ParseOptions({name}, &o, &error)) << name;
    EXPECT_TRUE(o.help);
  }
  const std::string usage = UsageText();
  for (const char* option : {"--connector-listen", "--public-listen", "--ping-interval", "--transport-timeout",
                             "--log ", "--port-file", "--log-level", "--help", "SIGINT"}) {
    EXPECT_NE(std::string::npos, usage.find(option)) << option;
  }
}

TEST(Options, RejectsBadCommandLines) {
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"}, {"--ping-interval"}, {"--ping-interval", "0"}, {"--ping-interval", "-5"},
      {"--ping-interval", "12x"}, {"--transport-timeout", "3600001"}, {"--connector-listen", "127.0.0.1"},
      {"--connector-listen", ":80"}, {"--public-listen", "127.0.0.1:65536"}, {"--public-listen", "127.0.0.1:"},
      {"--public-listen", "h:99999999999"}, {"--log="}, {"--log-level", "11"}, {"extra"},
  };
  for (const auto& args : bad) {
    Options o;
    std::string error;
    EXPECT_FALSE(ParseOptions(args, &o, &error)) << args.back();
    EXPECT_FALSE(error.empty()) << args.back();
  }
}

}  // namespace
}  // namespace relvoproxy
