// The command line of the real relvoclient binary: option precedence, the
// exact texts it prints, the folder it works in and the ini file it picks.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/loopback.h"

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
    // A complete ini whose proxy server does not answer: the connector runs
    // and retries until it is stopped.
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

TEST_F(CommandLine, SlashFormsAndCapitalsRunAsServiceAndFailWithoutManager) {
  for (const char* option : {"/d", "-DEBUG", "-V"}) {
    // Not recognised: the connector is started as a service, which fails
    // outside the service manager; that is logged and still exits 0.
    RunResult r = RunClient(dir, exe, {option}, std::chrono::seconds(60), {"NOTIFY_SOCKET="});
    EXPECT_EQ(0, r.exitCode) << option;
    EXPECT_NE(std::string::npos, ReadFile(dir.path() / "logs" / "events.log").find("startService: run as service"))
        << option;
    EXPECT_EQ(std::string::npos, r.out.find("relvoclient 2.0.0.19\n")) << option;
    const std::string errors = ReadFile(dir.path() / "logs" / "errors.log");
    EXPECT_NE(std::string::npos, errors.find("startService: StartServiceCtrlDispatcher failed : OS error '"))
        << option << "\n" << errors;
    EXPECT_NE(std::string::npos, errors.find("func(libmo::Service::startService service:377)")) << errors;
    EXPECT_EQ(std::string::npos, ReadFile(dir.path() / "logs" / "events.log").find("Main thread started."));
  }
}

TEST_F(CommandLine, RunFromAnotherFolderUsesTheExecutablesFolder) {
  TempDir elsewhere;
  const std::string out = elsewhere / "out.txt";
  ChildProcess child(ClientCommand(exe, {"-V"}), out, elsewhere / "err.txt", elsewhere.path().string(),
                     {"NOTIFY_SOCKET="});
  ASSERT_EQ(std::optional<int>(0), child.WaitExit(std::chrono::seconds(60)));
  const std::string text = ReadFile(out);
  EXPECT_NE(std::string::npos, text.find("Loading service properties from 'relvoclient.ini'")) << text;
  EXPECT_TRUE(fs::exists(dir.path() / "logs" / "events.log"));
  EXPECT_TRUE(fs::exists(dir.path() / "logs" / "errors.log"));
  EXPECT_FALSE(fs::exists(elsewhere.path() / "logs"));
}

TEST_F(CommandLine, IniNameFollowsTheExecutablesStem) {
  const std::string other = InstallClient(dir, Client().wine() ? "other.exe" : "other");
  RunResult r = RunClient(dir, other, {"-v"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_NE(std::string::npos, r.out.find("other.ini does not exists. Default relvoclient.ini is accepted.")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Loading service properties from 'relvoclient.ini'")) << r.out;

  WriteFile(dir.path() / "other.ini", "[system]\nservice_name=Other\n");
  r = RunClient(dir, other, {"-v"});
  EXPECT_EQ(std::string::npos, r.out.find("does not exists")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Loading service properties from 'other.ini'")) << r.out;
}

TEST_F(CommandLine, MissingIniGivesDefaultsWithOneErrorLine) {
  fs::remove(dir.path() / "relvoclient.ini");
  RunResult r = RunClient(dir, exe, {"-?"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_TRUE(PrintsLast(r.out, kUsage));
  // LogError echoes each line once for each log: two copies, one message.
  const std::string line = "Ini file 'relvoclient.ini' does not exist.\n";
  size_t count = 0;
  for (size_t p = r.out.find(line); p != std::string::npos; p = r.out.find(line, p + 1)) ++count;
  EXPECT_EQ(2u, count) << r.out;
}

}  // namespace
