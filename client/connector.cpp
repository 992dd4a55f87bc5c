#include "client/connector.h"

#include <exception>

#include "Common/assert.h"
#include "Common/log.h"
#include "client/version.h"

namespace relvo {
namespace {

ConnectorGlobals globals;

void ConfiguredLogFiles(std::string& eventsLog, std::string& errorsLog) {
  globals.config.GetLogFiles(eventsLog, errorsLog);
}

}  // namespace

ConnectorGlobals::ConnectorGlobals() { libmo::SetLogPathSource(&ConfiguredLogFiles); }

ConnectorGlobals::~ConnectorGlobals() { libmo::SetLogPathSource(nullptr); }

ConnectorGlobals& Globals() { return globals; }

void RequestStop() {
  LogEvent("service stop requested.");
  globals.stopEvent.Set();
}

void ServiceStart(int /*argc*/, char** /*argv*/) {
  try {
    LogEvent("Launching the relvoclient (" RELVO_VERSION_TEXT ").");
    globals.stopEvent.Wait();
  } catch (const std::exception& e) {
    LogError("%s", e.what());
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("ServiceStart", "RelvoClient", 60);
  }

  try {
    LogEvent("Service stopping...");
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("ServiceStart", "RelvoClient", 77);
  }
}

}  // namespace relvo
