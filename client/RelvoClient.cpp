// Entry point of relvoclient.
#include <cstdio>
#include <exception>
#include <string>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/os.h"
#include "Common/service.h"
#include "Common/utils.h"
#include "client/connector.h"
#include "client/connector_service.h"
#include "client/options.h"

namespace {

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int Main(int argc, char** argv) {
  using namespace relvo;
  try {
    libmo::SetCurrentDir();
    ConnectorGlobals& g = Globals();
    g.config.InitConfigFileName();
    RelvoConnectorService service(g.config, &ServiceStart, &RequestStop);

    std::string scratch;
    if (FindOption(argc, argv, "-?", scratch)) {
      Print(UsageText());
      return 0;
    }
    if (FindOption(argc, argv, "--version", scratch) || FindOption(argc, argv, "-v", scratch)) {
      Print(VersionText());
      return 0;
    }
    if (FindOption(argc, argv, "-install", scratch)) {
      libmo::installService(service);
      return 0;
    }
    if (FindOption(argc, argv, "-remove", scratch)) {
      libmo::uninstallService(service);
      return 0;
    }
    const bool console = FindOption(argc, argv, "-debug", scratch);
    // A log that cannot be opened fails the start (ServiceStart), so that the
    // service manager sees the failure.
    g.logInitError = LogInit("GLOBAL");
    return libmo::startService(!console, service, argc, argv);
  } catch (const std::exception& e) {
    LogError("%s", e.what());
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("main", "RelvoClient", 129);
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  libmo::os::SetStdoutBinary();
  libmo::os::RaiseOpenFileLimit();
  return Main(argc, argv);
}
