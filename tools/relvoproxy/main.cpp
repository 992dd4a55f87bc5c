// relvoproxy: the reference proxy server for relvo connectors.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/os.h"
#include "tools/relvoproxy/log_target.h"
#include "tools/relvoproxy/options.h"
#include "tools/relvoproxy/server.h"
#include "tools/relvoproxy/stop_signal.h"

namespace {

using relvoproxy::Options;

// Writes the ports beside `path` first and then renames the file into place,
// so that a reader never sees half of it. False on failure.
bool WritePortFile(const std::string& path, uint16_t connectorPort, uint16_t publicPort) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << "connector=" << connectorPort << "\npublic=" << publicPort << "\n";
    if (!out.flush()) return false;
  }
  std::error_code ec;
  std::filesystem::rename(partial, path, ec);
  return !ec;
}

int Run(const Options& options) {
  relvoproxy::StopRequests stop;  // before any other thread
  const std::string warning = relvoproxy::RouteLog(options.logFile);
  if (!warning.empty()) std::fprintf(stderr, "relvoproxy: %s\n", warning.c_str());
  if (LogInit("MAIN")) return 1;
  libmo::EventsLog().ExchangeLevel(static_cast<uint8_t>(options.logLevel));
  libmo::os::RaiseOpenFileLimit();
  netutils::InitNet();

  int code = 0;
  {
    relvoproxy::Server server(relvoproxy::ServerSettingsFrom(options));
    try {
      server.Start();
    } catch (const std::exception& e) {
      LogError("relvoproxy cannot start: %s", e.what());
      code = 1;
    }
    if (code == 0) {
      LogEvent("relvoproxy started: connectors on %s:%u, clients on %s:%u; ping every %u ms, transport time-out %u ms",
               options.connectorListen.host.c_str(), static_cast<unsigned>(server.ConnectorPort()),
               options.publicListen.host.c_str(), static_cast<unsigned>(server.PublicPort()), options.pingIntervalMs,
               options.transportTimeoutMs);
      if (!options.portFile.empty() &&
          !WritePortFile(options.portFile, server.ConnectorPort(), server.PublicPort())) {
        LogError("relvoproxy cannot write the port file '%s'", options.portFile.c_str());
        code = 1;
      }
    }
    if (code == 0) {
      const std::string what = stop.Wait();
      LogEvent("%s: relvoproxy stopping", what.c_str());
    }
    server.Stop();
  }
  if (code == 0) LogEvent("relvoproxy stopped");
  netutils::CleanupNet();
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  libmo::os::SetStdoutBinary();
  const std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  std::string error;
  if (!relvoproxy::ParseOptions(args, &options, &error)) {
    std::fprintf(stderr, "relvoproxy: %s\nTry 'relvoproxy --help'.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    const std::string usage = relvoproxy::UsageText();
    std::fwrite(usage.data(), 1, usage.size(), stdout);
    return 0;
  }
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "relvoproxy: %s\n", e.what());
    LogError("%s", e.what());
  }
  return 1;
}
