#include "client/rv_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "Common/log.h"
#include "Common/relay_buffer.h"
#include "Common/relvo/entry_timeouts.h"
#include "client/CommandReconnectThread.h"
#include "client/ProxyServer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;
using testsupport::Contains;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// The running settings, loaded from an ini file in a temp folder.
class RunningSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    proxy = std::make_shared<relvo::ProxyServer>();
    config.SetProxyServer(proxy);
    config.SetConfigFileName(dir / "relvoclient.ini");
  }
  void TearDown() override { SetLogLevel(1); }

  // Writes `ini`, loads it, and returns what the load printed.
  std::string Load(const std::string& ini, bool reload = false) {
    WriteFile(dir.path() / "relvoclient.ini", ini);
    testing::internal::CaptureStdout();
    try {
      config.LoadServersConfiguration(reload);
    } catch (...) {
      testing::internal::GetCapturedStdout();
      throw;
    }
    return testing::internal::GetCapturedStdout();
  }

  // The text a failed load throws.
  std::string LoadError(const std::string& ini, bool reload = false) {
    try {
      Load(ini, reload);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no error";
  }

  std::vector<std::string> ServerNames() const {
    std::vector<std::string> names;
    for (const auto& s : config.Servers()) names.push_back(s->name);
    return names;
  }

  TempDir dir;
  std::shared_ptr<relvo::ProxyServer> proxy;
  std::chrono::steady_clock::time_point now{};  // the servers' back-off clock
  relvo::AppConfiguration config{[this] { return now; }};
};

const std::string kProxy = "[proxyServer]\naddress=proxy.example\nport=7000\n";
const std::string kOneServer = "[servers]\nweb=1\n[web]\naddress=127.0.0.1\nport=8080\n";

TEST(Atoi, BehavesLikeTheCLibraryAndSaturates) {
  EXPECT_EQ(80, relvo::AtoiSaturated("80x"));
  EXPECT_EQ(-3, relvo::AtoiSaturated("  -3"));
  EXPECT_EQ(0, relvo::AtoiSaturated("abc"));
  EXPECT_EQ(7, relvo::AtoiSaturated("+7"));
  EXPECT_EQ(2147483647, relvo::AtoiSaturated("99999999999999999999"));
  EXPECT_EQ(-2147483647 - 1, relvo::AtoiSaturated("-99999999999999999999"));
}

TEST_F(RunningSettings, FirstLoadFillsTheProxyServerLevelAndTimeoutWithTheirLimits) {
  std::string out = Load(kProxy + kOneServer);
  EXPECT_EQ("proxy.example", proxy->host);
  EXPECT_EQ(7000, proxy->port);
  EXPECT_EQ(15000u, config.reconnectTimeout.load());
  EXPECT_EQ(0, libmo::EventsLog().Level());
  EXPECT_TRUE(Contains(out, "server [web]: 127.0.0.1:8080 proxyrec(0) maxcon(1000) is added.")) << out;
  out = Load("[general]\ndebug_level=11\nreconnect_tmo=1000\n" + kProxy + kOneServer, true);
  EXPECT_TRUE(Contains(out, "Can't to set log level to unsupported value 11. It's been automatically adjusted to 10"));
  EXPECT_EQ(10, libmo::EventsLog().Level());
  EXPECT_TRUE(Contains(out, "Reconnect timeout: 5000 ms")) << out;
  out = Load("[general]\ndebug_level=-3\nreconnect_tmo=-1\n" + kProxy + kOneServer, true);
  EXPECT_TRUE(Contains(out, "Can't to set log level to unsupported value -3. It's been automatically adjusted to 0"));
  EXPECT_EQ(0, libmo::EventsLog().Level());
  EXPECT_EQ(4294967295u, config.reconnectTimeout.load());
  out = Load("[general]\ndebug_level=high\n" + kProxy + kOneServer, true);
  EXPECT_EQ(std::string::npos, out.find("unsupported value")) << out;
}

TEST_F(RunningSettings, RelayBufferAndEntryTimeoutsHaveDefaultsAndBadValuesGetAMessage) {
  std::string out = Load(kProxy + kOneServer);
  EXPECT_EQ(4000, libmo::RelayBufferBytes());
  EXPECT_TRUE(Contains(out, "Relay buffer: 4000 bytes")) << out;
  EXPECT_TRUE(Contains(out, "Entry time-outs: halfclose_tmo 60000 ms, idle_tmo 0 ms (0: none)")) << out;
  out = Load("[general]\nhalfclose_tmo=-5\nidle_tmo=3000x\n" + kProxy + kOneServer, true);
  EXPECT_TRUE(Contains(out, "halfclose_tmo of -5 ms is out of range. It's been adjusted to 60000")) << out;
  EXPECT_EQ(60000u, relvo::HalfCloseTimeoutMs());
  EXPECT_EQ(3000u, relvo::IdleTimeoutMs());
  Load("[general]\nhalfclose_tmo=0\n" + kProxy + kOneServer, true);
  EXPECT_EQ(0u, relvo::HalfCloseTimeoutMs());
  EXPECT_EQ(0u, relvo::IdleTimeoutMs());
  Load("[general]\nrelay_buffer=65536\n" + kProxy + kOneServer, true);
  EXPECT_EQ(65536, libmo::RelayBufferBytes());
  out = Load("[general]\nrelay_buffer=100\n" + kProxy + kOneServer, true);
  EXPECT_TRUE(Contains(out, "Relay buffer of 100 bytes is out of range. It's been adjusted to 512")) << out;
  Load("[general]\nrelay_buffer=9999999999\n" + kProxy + kOneServer, true);
  EXPECT_EQ(1048576, libmo::RelayBufferBytes());
  Load(kProxy + kOneServer, true);
  EXPECT_EQ(4000, libmo::RelayBufferBytes());
}

TEST_F(RunningSettings, ProxyServerAddressAndPortAndATargetServerAreRequired) {
  EXPECT_EQ("Target server is not defined in " + (dir / "relvoclient.ini") +
                ". func(AppConfiguration::LoadServersConfiguration rv_config:116)",
            LoadError(kProxy + "[servers]\n"));
  EXPECT_EQ("Address of [proxyServer] is undefined. func(AppConfiguration::LoadServersConfiguration rv_config:54)",
            LoadError("[proxyServer]\nport=1\n" + kOneServer));
  for (const char* port : {"0", "65536", "-1", ""}) {
    EXPECT_EQ(
        "Port of [proxyServer] is undefined or value is incorrect. func(AppConfiguration::LoadServersConfiguration "
        "rv_config:60)",
        LoadError(std::string("[proxyServer]\naddress=new.host\nport=") + port + "\n" + kOneServer))
        << port;
  }
  EXPECT_EQ("new.host", proxy->host);  // written before the port was checked
  Load("[proxyServer]\naddress=h\nport=80x\n" + kOneServer);
  EXPECT_EQ(80, proxy->port);
}

TEST_F(RunningSettings, ServersInNameOrderWithDuplicateRules) {
  const std::string out = Load(kProxy +
                               "[servers]\nzeta=1\nbeta=1\nalpha=1\nbeta=2\n"
                               "[zeta]\naddress=10.0.0.1\nport=80\n"
                               "[beta]\naddress=10.0.0.1\nport=80\nmaxcon=0\n"
                               "[alpha]\naddress=10.0.0.1\nport=81\nmaxcon=-5\nproxyrecord=2\n");
  EXPECT_EQ((std::vector<std::string>{"alpha", "beta"}), ServerNames());
  EXPECT_TRUE(Contains(out, "Item with same name [beta]' is already loaded and has been skipped.")) << out;
  EXPECT_TRUE(Contains(out, "[zeta] has been skipped because another item with same address [beta]: 10.0.0.1:80 "
                            "is found.")) << out;
  const auto servers = config.Servers();
  EXPECT_EQ(1000, servers.front()->maxcon);
  EXPECT_TRUE(servers.front()->proxyrecord);
  EXPECT_EQ(1000, servers.back()->maxcon);
  EXPECT_FALSE(servers.back()->proxyrecord);
}

TEST_F(RunningSettings, ReloadAppendsNewServersAndKeepsTheRest) {
  Load(kProxy + kOneServer);
  const std::string out = Load("[proxyServer]\naddress=other\nport=9\n"
                               "[servers]\nweb=1\napi=1\n"
                               "[web]\naddress=127.0.0.2\nport=9999\n"
                               "[api]\naddress=127.0.0.1\nport=8081\nproxyrecord=1\nmaxcon=2\n",
                               true);
  EXPECT_EQ("proxy.example", proxy->host);
  EXPECT_EQ(7000, proxy->port);
  EXPECT_EQ((std::vector<std::string>{"web", "api"}), ServerNames());
  EXPECT_EQ(8080, config.Servers().front()->port);  // a known name keeps its settings
  EXPECT_TRUE(Contains(out, "server [api]: 127.0.0.1:8081 proxyrec(1) maxcon(2) is added.")) << out;

  // A failing server ends the load; what was added before it stays.
  EXPECT_NE(std::string::npos,
            LoadError(kProxy + "[servers]\nnew=1\nzzz=1\n[new]\naddress=h\nport=1\n[zzz]\nport=5\n", true)
                .find("Address of [zzz] is undefined."));
  EXPECT_EQ((std::vector<std::string>{"web", "api", "new"}), ServerNames());
}

// A server whose connect failed is set aside 1 s, then 2, 4 ... at most 30 s, while another with room is not; when all
// are, the one back first.
TEST_F(RunningSettings, AServerWhoseConnectFailedIsSetAsideForADoublingTime) {
  using namespace std::chrono_literals;
  Load(kProxy + "[servers]\na=1\nb=1\n[a]\naddress=h\nport=1\n[b]\naddress=h\nport=2\n");
  const relvo::TServer &a = *config.Servers().front(), &b = *config.Servers().back();
  const auto chosen = [this] { return config.FindServerForNewClientConnection()->name; };
  testing::internal::CaptureStdout();
  config.TargetConnectFailed(a);
  EXPECT_EQ("b", chosen());
  config.TargetConnectFailed(b);
  EXPECT_EQ("a", chosen());  // both back at once: the earlier one
  now += 500ms;
  config.TargetConnectFailed(a);  // 2 s from now, b's 1 s ends first
  EXPECT_EQ("b", chosen());
  now += 1000ms;
  config.TargetConnected(b);
  config.TargetConnected(b);
  for (int i = 0; i < 4; ++i) config.TargetConnectFailed(a);
  now += 29999ms;
  EXPECT_EQ("b", chosen());
  now += 1ms;
  EXPECT_EQ("a", chosen());
  const std::string out = testing::internal::GetCapturedStdout();
  for (const char* ms : {"1000", "2000", "4000", "8000", "16000", "30000"}) {
    EXPECT_TRUE(Contains(out, std::string("Target server [a] h:1 is set aside for ") + ms + " ms after a failed connect."))
        << out;
  }
  EXPECT_EQ(out.find("[b] h:2 is back."), out.rfind("[b] h:2 is back.")) << out;
  EXPECT_EQ(std::string::npos, out.find("[a] h:1 is back.")) << out;
}

TEST_F(RunningSettings, ChangesOfTheIniFileReloadWhateverTheLetterCaseAndFailuresAreReported) {
  Load(kProxy + kOneServer);
  WriteFile(dir.path() / "relvoclient.ini", kProxy + "[servers]\nweb=1\nsecond=1\nzbad=1\n[web]\naddress=a\nport=1\n"
                                                     "[second]\naddress=b\nport=2\n[zbad]\nport=1\n");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  config.NotifySubscribes("other.txt");
  config.NotifySubscribes("RELVOCLIENT.INI");
  const std::string err = testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ((std::vector<std::string>{"web", "second"}), ServerNames());
  EXPECT_TRUE(Contains(err, "STANDART exception caught in function AppConfiguration::NotifySubscribes, "
                                        "file rv_config, line 186: \"Address of [zbad] is undefined."))
      << err;
}

TEST_F(RunningSettings, LogPathsAreReadOnceFromTheLogFolder) {
  WriteFile(dir.path() / "relvoclient.ini", "[log]\nfolder=here\n");
  std::string events, errors;
  config.GetLogFiles(events, errors);
  EXPECT_EQ((fs::path("here") / "events.log").string(), events);
  EXPECT_EQ((fs::path("here") / "errors.log").string(), errors);
  WriteFile(dir.path() / "relvoclient.ini", "[log]\nfolder=elsewhere\n");
  config.GetLogFiles(events, errors);
  EXPECT_EQ((fs::path("here") / "events.log").string(), events);
}

TEST_F(RunningSettings, EveryNumberThatIsNoPlainNumberInRangeIsReportedWithTheValueUsedAndABomLosesNothing) {
  testsupport::TestLogs logs;
  WriteFile(dir.path() / "relvoclient.ini", "[log]\nmax_size_mb=50MB\nkeep=five\n");
  std::string events, errors;
  config.GetLogFiles(events, errors);
  uint64_t maxBytes = 0;
  unsigned keep = 0;
  config.GetLogRotation(maxBytes, keep);
  EXPECT_EQ(50u << 20, maxBytes);
  EXPECT_EQ(99u, keep);  // never 0: that would delete the log at each rotation
  Load("\xEF\xBB\xBF[general]\r\ndebug_level=five\nreconnect_tmo=-1\nrelay_buffer=1x\n[proxyServer]\naddress=p\nport=70x\n"
       "[servers]\nweb=1\n[web]\naddress=a\nport=80\nmaxcon=\x01lots\nproxyrecord=yes\n");
  libmo::SetRelayBufferBytes(libmo::kRelayBufferDefault);
  for (const char* line : {"[log] max_size_mb=50MB is not a whole number from 0 to 4096; 50 is used instead.",
                           "[log] keep=five is not a whole number from 0 to 99; 99 is used instead.",
                           "[general] debug_level=five is not a whole number from 0 to 10; 0 is used instead.",
                           "[general] reconnect_tmo=-1 is not a whole number from 5000 to 2147483647; 4294967295 is",
                           "[general] relay_buffer=1x is not a whole number from 512 to 1048576; 512 is used instead.",
                           "[proxyServer] port=70x is not a whole number from 1 to 65535; 70 is used instead.",
                           "[web] maxcon=\\x01lots is not a whole number from 1 to 2147483647; 1000 is used",
                           "[web] proxyrecord=yes is not a whole number from -2147483648 to 2147483647; 0 is"}) {
    EXPECT_TRUE(Contains(logs.Errors(), line)) << line << "\n" << logs.Errors();
  }
  EXPECT_EQ(std::string::npos, logs.Errors().find("port=80 ")) << logs.Errors();
}

TEST(Reconnect, NeverOnANegativeSilence) {
  EXPECT_FALSE(relvo::SilenceExceeds(-1, 5000));
  EXPECT_FALSE(relvo::SilenceExceeds(5000, 5000));
  EXPECT_TRUE(relvo::SilenceExceeds(5001, 5000));
}

}  // namespace
