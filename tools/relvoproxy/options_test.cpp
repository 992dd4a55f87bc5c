#include "tools/relvoproxy/options.h"

#include <gtest/gtest.h>

namespace relvoproxy {
namespace {

using namespace std::chrono_literals;

TEST(Options, DefaultsEveryOptionInBothFormsAndHelp) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({}, &o, &error)) << error;
  EXPECT_EQ("127.0.0.1:7100 127.0.0.1:7101 5000 10000", o.connectorListen.host + ":" +
                std::to_string(o.connectorListen.port) + " " + o.publicListen.host + ":" +
                std::to_string(o.publicListen.port) + " " + std::to_string(o.pingIntervalMs) + " " +
                std::to_string(o.transportTimeoutMs));
  ASSERT_TRUE(ParseOptions({"--connector-listen", "127.0.0.1:0", "--public-listen=host.example:65535",
                            "--ping-interval", "250", "--transport-timeout=1500", "--log", "p.log",
                            "--port-file=ports.txt", "--log-level", "3", "-?"},
                           &o, &error))
      << error;
  EXPECT_EQ(0, o.connectorListen.port);
  EXPECT_EQ("host.example", o.publicListen.host);
  EXPECT_EQ("p.log ports.txt 3", o.logFile + " " + o.portFile + " " + std::to_string(o.logLevel));
  EXPECT_TRUE(o.help);
  const ServerSettings s = ServerSettingsFrom(o);
  EXPECT_EQ(Clock::duration(250ms), s.broker.pingInterval);
  EXPECT_EQ(Clock::duration(1500ms), s.broker.transportTimeout);
  EXPECT_EQ(Clock::duration(1500ms), s.handshakeTimeout);
  EXPECT_EQ(65535, s.publicListen.port);
  for (const char* name : {"--help", "-h"}) EXPECT_TRUE(ParseOptions({name}, &o, &error) && o.help) << name;
  for (const char* option : {"--connector-listen", "--public-listen", "--ping-interval", "--transport-timeout",
                             "--log ", "--port-file", "--log-level", "--help", "SIGINT"}) {
    EXPECT_NE(std::string::npos, UsageText().find(option)) << option;
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
