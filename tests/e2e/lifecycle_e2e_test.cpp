// The connector's start and stop order and its log rotation, end to end: the
// real relvoclient against the fake proxy on 127.0.0.1, stopped with Ctrl+C.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/fake_proxy.h"
#include "tests/support/text.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

constexpr auto kSoon = 30s;    // a process start under Wine included
constexpr auto kFlood = 120s;  // 25000 log lines under Wine on a busy machine
constexpr size_t kMiB = 1 << 20;
constexpr int kPings = 25000;  // about 1.2 MiB of "ping received" lines at level 9

size_t Pings(const std::string& log) { return Occurrences(log, "ping received\n"); }

// Whole lines only: each starts with its time stamp and ends with "\n".
bool WholeLines(const std::string& log) {
  if (log.empty() || log.back() != '\n') return false;
  for (size_t start = 0; start < log.size(); start = log.find('\n', start) + 1) {
    if (log.compare(start + 2, 1, ".") != 0 || log.compare(start + 11, 1, ":") != 0) return false;
  }
  return true;
}

TEST(Lifecycle, StartsInOrderRotatesItsLogsAndAConsoleBreakStopsEveryPartInOrder) {
  FakeProxy proxy;
  TempDir dir;
  const std::string exe = InstallClient(dir);
  WriteFile(dir.path() / "relvoclient.ini",
            "[general]\ndebug_level=9\n[proxyServer]\naddress=127.0.0.1\nport=" + std::to_string(proxy.port()) +
                "\n[servers]\nmain=1\n[main]\naddress=127.0.0.1\nport=" + std::to_string(FreePort()) +
                "\n[log]\nmax_size_mb=1\nkeep=1\n");
  ChildProcess client(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");
  const auto log = [&](const char* name) { return ReadFile(dir.path() / "logs" / name); };
  ASSERT_TRUE(WaitFor([&] { return Contains(log("events.log"), "Command connection is established"); }, kSoon))
      << log("events.log");
  // The completion and reconnect threads start side by side.
  EXPECT_TRUE(InOrder(log("events.log"), {"startService: run as debug", "Launching the relvoclient (2.0.0.19).",
                                          "Starting command reconnect thread."}))
      << log("events.log");
  EXPECT_TRUE(Contains(log("events.log"), "Main thread started.") && Contains(log("events.log"), "Start completion"));

  // Once a log passes 1 MiB it becomes events.1.log: every ping is in one of
  // the two, each file holds whole lines.
  ASSERT_TRUE(proxy.WaitForCommandConnections(1));
  const size_t command = proxy.IndexesOfType(1).front();
  std::string pings;
  for (int i = 0; i < kPings; ++i) pings += std::string("\x19\x00", 2);
  ASSERT_TRUE(proxy.Send(command, pings));
  ASSERT_TRUE(WaitFor([&] { return Pings(log("events.1.log")) + Pings(log("events.log")) == kPings; }, kFlood))
      << Pings(log("events.1.log")) << " + " << Pings(log("events.log"));
  const std::string first = log("events.1.log");
  EXPECT_TRUE(first.size() >= kMiB && first.size() < kMiB + 2048 && WholeLines(first)) << first.size();
  // A second rotation: the first file is gone (keep=1), the rest is all there.
  ASSERT_TRUE(proxy.Send(command, pings));
  ASSERT_TRUE(WaitFor([&] {
    return Pings(log("events.1.log")) + Pings(log("events.log")) == 2 * kPings - Pings(first);
  }, kFlood)) << Pings(log("events.1.log")) << " + " << Pings(log("events.log"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "logs" / "events.2.log"));
  EXPECT_TRUE(log("events.1.log").size() >= kMiB && WholeLines(log("events.1.log")) && WholeLines(log("events.log")));

  client.Interrupt();
  ASSERT_EQ(std::optional<int>(0), client.WaitExit(kSoon)) << log("events.log");
  // The command reader may end as soon as the command connection is closed,
  // so its line is only required after the stop began.
  const std::string text = log("events.log");
  EXPECT_TRUE(InOrder(text, {"service stop requested.", "Service stopping...", "Command reconnect thread stopped.",
                             "Stop listening ini changes ...", "Completion thread stopped.",
                             "Service stop asked, report service stopped...", "Service exited."}))
      << text;
  EXPECT_TRUE(InOrder(text, {"Service stopping...", "Read command thread stopped.", "Completion thread stopped."}));
  EXPECT_FALSE(Contains(text, "startService: run as service")) << text;
  EXPECT_FALSE(Contains(log("errors.log"), "threadFunc error"));
}

}  // namespace
