// The connector's start and stop order and its log rotation, end to end: the
// real relvoclient against the fake proxy on 127.0.0.1, stopped with Ctrl+C.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/fake_proxy.h"
#include "tests/support/text.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

constexpr auto kSoon = 30s;  // a process start under Wine included

std::string Ini(uint16_t proxyPort, uint16_t serverPort, int level = 2) {
  return "[general]\ndebug_level=" + std::to_string(level) + "\nreconnect_tmo=5000\n[proxyServer]\naddress=127.0.0.1\nport=" +
         std::to_string(proxyPort) + "\n[servers]\nmain=1\n[main]\naddress=127.0.0.1\nport=" +
         std::to_string(serverPort) + "\n[system]\nservice_name=RelvoLifecycleTest\n";
}

TEST(Lifecycle, ConsoleBreakStopsEveryPartInOrderAndExitsZero) {
  ProxyScript script;
  script.commandScripts = {Pings(120, 1s)};
  FakeProxy proxy(std::move(script));
  TempDir dir;
  const std::string exe = InstallClient(dir);
  WriteFile(dir.path() / "relvoclient.ini", Ini(proxy.port(), FreePort()));
  ChildProcess client(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");
  const auto events = [&] { return ReadFile(dir.path() / "logs" / "events.log"); };
  ASSERT_TRUE(WaitFor([&] { return events().find("Command connection is established") != std::string::npos; }, kSoon))
      << events();

  client.Interrupt();
  ASSERT_EQ(std::optional<int>(0), client.WaitExit(kSoon)) << events();
  // The command reader may end as soon as the command connection is closed,
  // so its line is only required after the stop began.
  const std::string text = events();
  EXPECT_TRUE(InOrder(text, {"startService: run as debug", "Launching the relvoclient (2.0.0.19).",
                             "Starting command reconnect thread.",
                             "service stop requested.", "Service stopping...", "Command reconnect thread stopped.",
                             "Stop listening ini changes ...", "Completion thread stopped.",
                             "Service stop asked, report service stopped...", "Service exited."}))
      << text;
  EXPECT_TRUE(InOrder(text, {"Start completion thread.", "Service stopping...", "Read command thread stopped.",
                             "Completion thread stopped."}))
      << text;
  EXPECT_TRUE(Contains(text, "Main thread started.")) << text;
  EXPECT_FALSE(Contains(text, "startService: run as service")) << text;
  EXPECT_EQ(std::string::npos, ReadFile(dir.path() / "logs" / "errors.log").find("threadFunc error"));
}

constexpr size_t kMiB = 1 << 20;
constexpr int kPings = 25000;  // about 1.2 MiB of "ping received" lines

size_t Pings(const std::string& log) {
  size_t n = 0;
  for (size_t p = log.find("ping received\n"); p != std::string::npos; p = log.find("ping received\n", p + 1)) ++n;
  return n;
}

// Whole lines only: each starts with its time stamp and ends with "\n".
bool WholeLines(const std::string& log) {
  if (log.empty() || log.back() != '\n') return false;
  for (size_t start = 0; start < log.size(); start = log.find('\n', start) + 1) {
    if (log.compare(start + 2, 1, ".") != 0 || log.compare(start + 11, 1, ":") != 0) return false;
  }
  return true;
}

// Pings at log level 9 write one events line each, enough to pass
// [log] max_size_mb twice.
TEST(LogRotation, FullLogIsNumberedWithoutLosingOrSplittingALineAndOnlyKeepFilesStay) {
  FakeProxy proxy;
  TempDir dir;
  const std::string exe = InstallClient(dir);
  WriteFile(dir.path() / "relvoclient.ini", Ini(proxy.port(), FreePort(), 9) + "[log]\nmax_size_mb=1\nkeep=1\n");
  ChildProcess client(ClientCommand(exe, {"-debug"}), dir / "out.txt", dir / "err.txt");
  ASSERT_TRUE(proxy.WaitForCommandConnections(1));
  const size_t command = proxy.IndexesOfType(1).front();
  const auto log = [&](const char* name) { return ReadFile(dir.path() / "logs" / name); };
  std::string pings;
  for (int i = 0; i < kPings; ++i) pings += std::string("\x19\x00", 2);

  // One rotation: every ping is in events.1.log or events.log.
  ASSERT_TRUE(proxy.Send(command, pings));
  ASSERT_TRUE(WaitFor([&] { return Pings(log("events.1.log")) + Pings(log("events.log")) == kPings; }))
      << Pings(log("events.1.log")) << " + " << Pings(log("events.log"));
  const std::string first = log("events.1.log");
  EXPECT_GE(first.size(), kMiB);
  EXPECT_LT(first.size(), kMiB + 2048);
  EXPECT_TRUE(WholeLines(first));

  // A second one: the first file is gone (keep=1), the rest is all there.
  ASSERT_TRUE(proxy.Send(command, pings));
  ASSERT_TRUE(WaitFor([&] {
    return Pings(log("events.1.log")) + Pings(log("events.log")) == 2 * kPings - Pings(first);
  })) << Pings(log("events.1.log")) << " + " << Pings(log("events.log"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "logs" / "events.2.log"));
  EXPECT_GE(log("events.1.log").size(), kMiB);
  EXPECT_TRUE(WholeLines(log("events.1.log")));
  EXPECT_TRUE(WholeLines(log("events.log")));
  client.Interrupt();
  EXPECT_EQ(std::optional<int>(0), client.WaitExit(std::chrono::seconds(30)));
}

}  // namespace
