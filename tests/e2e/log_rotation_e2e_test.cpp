// Size-based rotation of the connector's logs, end to end: pings at log
// level 9 write one events line each, enough to pass [log] max_size_mb twice.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/fake_proxy.h"

using namespace testsupport;

namespace {

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

TEST(LogRotation, FullLogIsNumberedWithoutLosingOrSplittingALineAndOnlyKeepFilesStay) {
  FakeProxy proxy;
  TempDir dir;
  const std::string exe = InstallClient(dir);
  WriteFile(dir.path() / "relvoclient.ini",
            "[general]\ndebug_level=9\n[proxyServer]\naddress=127.0.0.1\nport=" + std::to_string(proxy.port()) +
                "\n[servers]\nweb=1\n[web]\naddress=127.0.0.1\nport=" + std::to_string(FreePort()) +
                "\n[log]\nmax_size_mb=1\nkeep=1\n");
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
