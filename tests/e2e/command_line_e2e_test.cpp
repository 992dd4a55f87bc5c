// The real relvoclient's command line: option precedence, the exact texts it prints, its working folder and ini file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kVersion =
    "relvoclient 2.0.0.19\n"
    "Relay connector for the relvo proxy server.\n";

const std::string kUsage = kVersion +
                           "***************************************\n"
                           "-debug    or /d  - start as console\n"
                           "-install  or /i  - install service\n"
                           "-remove   or /r  - remove service\n"
                           "-v        or /v  - print version\n"
                           "***************************************\n";

// Output of a branch that opens no log: log lines echoed, then `text`.
::testing::AssertionResult PrintsLast(const std::string& out, const std::string& text) {
  const size_t at = out.rfind(text);
  if (at != std::string::npos && at + text.size() == out.size() && (at == 0 || out[at - 1] == '\n')) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << out;
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    exe = InstallClient(dir);
    // A complete ini whose proxy server does not answer: the connector runs and retries until it is stopped.
    const std::string port = std::to_string(testsupport::ClosedLoopbackPort());
    WriteFile(dir.path() / "relvoclient.ini",
              "[system]\nservice_name=RelvoCmdLineTest\n[proxyServer]\naddress=127.0.0.1\nport=" + port +
                  "\n[servers]\nweb=1\n[web]\naddress=127.0.0.1\nport=" + port + "\n");
  }
  TempDir dir;
  std::string exe;
};

// The option table's order decides, not the order on the command line.
TEST_F(CommandLine, UsageAndVersionTextsAreExactAndTableOrderDecides) {
  for (const auto& [args, text] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-?"}, kUsage}, {{"-v"}, kVersion}, {{"--version"}, kVersion},
           {{"-v", "-debug", "-?"}, kUsage}, {{"-debug", "-install", "-v"}, kVersion}}) {
    RunResult r = RunClient(dir, exe, args);
    EXPECT_EQ(0, r.exitCode) << args[0];
    EXPECT_TRUE(PrintsLast(r.out, text)) << args[0];
  }
  EXPECT_FALSE(fs::exists(dir.path() / "logs")) << "nothing was installed or run";
}

// Not recognised: the connector is started as a service, which fails outside the service manager; that is logged and
// still exits 0. Started from another folder, it works in its own.
TEST_F(CommandLine, SlashFormsAndCapitalsRunAsServiceAndFailWithoutManager) {
  TempDir elsewhere;
  for (const char* option : {"/d", "-DEBUG", "-V"}) {
    fs::remove_all(dir.path() / "logs");
    ChildProcess child(ClientCommand(exe, {option}), elsewhere / "out.txt", elsewhere / "err.txt",
                       elsewhere.path().string(), {"NOTIFY_SOCKET="});
    ASSERT_EQ(std::optional<int>(0), child.WaitExit(std::chrono::seconds(60))) << option;
    const std::string out = ReadFile(elsewhere / "out.txt");
    EXPECT_TRUE(Contains(out, "Loading service properties from 'relvoclient.ini'")) << out;
    EXPECT_FALSE(Contains(out, "relvoclient 2.0.0.19\n")) << option;
    const std::string events = ReadFile(dir.path() / "logs" / "events.log");
    EXPECT_TRUE(InOrder(events, {"startService: run as service", "startService: StartServiceCtrlDispatcher failed"}))
        << events;
    EXPECT_FALSE(Contains(events, "Main thread started.")) << events;
    EXPECT_TRUE(Contains(ReadFile(dir.path() / "logs" / "errors.log"),
                         "' func(libmo::Service::startService service:377)\n"));
  }
  EXPECT_FALSE(fs::exists(elsewhere.path() / "logs"));
}

TEST_F(CommandLine, MissingIniGivesDefaultsWithOneErrorLine) {
  fs::remove(dir.path() / "relvoclient.ini");
  RunResult r = RunClient(dir, exe, {"-?"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_TRUE(PrintsLast(r.out, kUsage));
  // LogError echoes each line once for each log: two copies, one message.
  EXPECT_EQ(2u, Occurrences(r.out, "Ini file 'relvoclient.ini' does not exist.\n")) << r.out;
}

}  // namespace
