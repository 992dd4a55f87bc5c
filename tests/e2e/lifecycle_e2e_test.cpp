// The connector's start and stop order, end to end: the real relvoclient
// against the fake proxy on 127.0.0.1, stopped with Ctrl+C.
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

std::string Ini(uint16_t proxyPort, uint16_t serverPort) {
  return "[general]\ndebug_level=2\nreconnect_tmo=5000\n[proxyServer]\naddress=127.0.0.1\nport=" +
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
  EXPECT_TRUE(InOrder(text, {"Launching the relvoclient (2.0.0.19).", "Starting command reconnect thread.",
                             "service stop requested.", "Service stopping...", "Command reconnect thread stopped.",
                             "Stop listening ini changes ...", "Completion thread stopped.", "Service exited."}))
      << text;
  EXPECT_TRUE(InOrder(text, {"Start completion thread.", "Service stopping...", "Read command thread stopped.",
                             "Completion thread stopped."}))
      << text;
  EXPECT_EQ(std::string::npos, ReadFile(dir.path() / "logs" / "errors.log").find("threadFunc error"));
}

}  // namespace
