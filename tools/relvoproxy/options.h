// The command line of relvoproxy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/relvoproxy/server.h"

namespace relvoproxy {

struct Options {
  Endpoint connectorListen{"127.0.0.1", 7100};
  Endpoint publicListen{"127.0.0.1", 7101};
  uint32_t pingIntervalMs = 5000;
  uint32_t transportTimeoutMs = 10000;
  uint32_t handshakeTimeoutMs = 5000;
  uint32_t idleTimeoutMs = 600000;  // 0: no bound
  uint32_t maxHandshakes = 256;
  uint32_t maxHandshakesPerAddress = 16;
  uint32_t maxConnectors = 64;
  uint32_t maxClientsPerAddress = 256;
  std::string connectorAllow;  // empty: any address
  std::string logFile;   // empty: standard output
  std::string portFile;  // empty: none
  int logLevel = 0;
  bool help = false;
};

// Reads `args` (the arguments after the program name) into `*options`.
// Each option takes its value as the next argument or after "=". False with
// `*error` set on an unknown option, a missing value or a value out of
// range; `*options` is then partly filled.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// The --help text.
std::string UsageText();

// The settings of the server that `options` describe.
ServerSettings ServerSettingsFrom(const Options& options);

}  // namespace relvoproxy
