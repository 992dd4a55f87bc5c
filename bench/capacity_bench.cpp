// Capacity check: a full table of entries through the real connector.
//
//   RELVO_CLIENT=build/linux/client/relvoclient build/linux/bench/relvo_capacity_bench [entries]
//   RELVO_CLIENT=build/win/client/relvoclient.exe RELVO_WINE=scripts/wine-run build/linux/bench/relvo_capacity_bench
//
// Opens `entries` (default 1000) transports at once through the fake proxy to
// an echo target, relays a small payload on each, asks for one more (which
// the full table must refuse), and prints the connector's threads, open
// descriptors and resident memory while all entries are live.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/fake_proxy.h"
#include "tests/support/relay_peers.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

std::string StatusField(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return line.substr(field.size() + 1);
  }
  return "?";
}

size_t OpenDescriptors(pid_t pid) {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "capacity bench FAILED: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::atoi(argv[1]) : 1000;
  RelayTarget echo;
  ProxyScript script;
  std::vector<ProxyStep> commands;
  for (int i = 0; i <= entries; ++i) {  // one more than the table holds
    commands.push_back(ProxyStep::CreateTransport());
    commands.push_back(ProxyStep::Expect(2, 120s));
  }
  script.commandScripts = {commands};
  FakeProxy proxy(script);

  TempDir dir;
  const std::string exe = InstallClient(dir);
  WriteFile(dir.path() / "relvoclient.ini",
            "[general]\ndebug_level=0\nreconnect_tmo=3600000\n[proxyServer]\naddress=127.0.0.1\nport=" +
                std::to_string(proxy.port()) + "\n[servers]\necho=1\n[echo]\naddress=127.0.0.1\nport=" +
                std::to_string(echo.port()) + "\nmaxcon=1000\n");
  ChildProcess client(ClientCommand(exe, {"-debug"}), dir / "stdout.txt", dir / "stderr.txt");

  const auto started = std::chrono::steady_clock::now();
  if (!proxy.WaitForScriptDone(0, 600s)) return Fail("not every create-transport command was answered");
  const std::string answers = proxy.Connection(0).afterHandshake;
  int created = 0;
  for (size_t i = 0; i + 1 < answers.size(); i += 2) created += answers[i] == '\x01' ? 1 : 0;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // Everything is live now: measure before any entry ends.
  const std::string threads = StatusField(client.pid(), "Threads");
  const std::string rss = StatusField(client.pid(), "VmRSS");
  const size_t fds = OpenDescriptors(client.pid());

  const std::vector<size_t> transports = proxy.IndexesOfType(2);
  size_t echoed = 0;
  for (size_t i = 0; i < transports.size(); ++i) proxy.Send(transports[i], "ping-" + std::to_string(i));
  for (size_t i = 0; i < transports.size(); ++i) {
    const std::string expected = "ping-" + std::to_string(i);
    if (proxy.WaitForReceived(transports[i], expected.size(), 60s) &&
        proxy.Connection(transports[i]).afterHandshake == expected)
      ++echoed;
  }
  const bool refusedLast = answers.size() >= 2 && answers.substr(answers.size() - 2) == std::string("\0\0", 2);
  const std::string errors = ReadFile(dir.path() / "logs" / "errors.log");
  const bool limitLogged =
      errors.find("AllocEntry - not enough slots. Current number of connections: 1000") != std::string::npos;

  client.Interrupt();
  const std::optional<int> code = client.WaitExit(300s);

  std::printf("entries asked %d, created %d in %.1f s, echoed %zu\n", entries + 1, created, seconds, echoed);
  std::printf("connector while full: threads %s, open descriptors %zu, resident memory %s\n", threads.c_str(), fds,
              rss.c_str());
  std::printf("one more refused: %s, limit logged: %s, exit code %d\n", refusedLast ? "yes" : "no",
              limitLogged ? "yes" : "no", code ? *code : -1);
  if (created != std::min(entries, 1000) || echoed != static_cast<size_t>(created)) return Fail("entries");
  if (entries >= 1000 && !(refusedLast && limitLogged)) return Fail("the full table did not refuse");
  if (code != 0) return Fail("exit code");
  return 0;
}
