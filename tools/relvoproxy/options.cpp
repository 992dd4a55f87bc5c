#include "tools/relvoproxy/options.h"

#include <cstdlib>

namespace relvoproxy {

namespace {

// A decimal number without sign in [low, high].
bool ParseNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n < low || n > high) return false;
  *value = n;
  return true;
}

// "HOST:PORT" (PORT 0 to 65535; HOST not empty); false when malformed.
bool ParseEndpoint(const std::string& text, Endpoint* endpoint) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  uint64_t port = 0;
  if (!ParseNumber(text.substr(colon + 1), 0, 65535, &port)) return false;
  endpoint->host = text.substr(0, colon);
  endpoint->port = static_cast<uint16_t>(port);
  return true;
}

}  // namespace


bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool hasValue = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    if (name == "--help" || name == "-h" || name == "-?") {
      options->help = true;
      continue;
    }
    const bool known = name == "--connector-listen" || name == "--public-listen" || name == "--ping-interval" ||
                       name == "--transport-timeout" || name == "--log" || name == "--port-file" ||
                       name == "--log-level";
    if (!known) {
      *error = "unknown option '" + args[i] + "'";
      return false;
    }
    if (!hasValue) {
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    uint64_t number = 0;
    bool ok = true;
    if (name == "--connector-listen") {
      ok = ParseEndpoint(value, &options->connectorListen);
    } else if (name == "--public-listen") {
      ok = ParseEndpoint(value, &options->publicListen);
    } else if (name == "--ping-interval") {
      ok = ParseNumber(value, 1, 3600000, &number);
      options->pingIntervalMs = static_cast<uint32_t>(number);
    } else if (name == "--transport-timeout") {
      ok = ParseNumber(value, 1, 3600000, &number);
      options->transportTimeoutMs = static_cast<uint32_t>(number);
    } else if (name == "--log-level") {
      ok = ParseNumber(value, 0, 10, &number);
      options->logLevel = static_cast<int>(number);
    } else if (name == "--log") {
      ok = !value.empty();
      options->logFile = value;
    } else {
      ok = !value.empty();
      options->portFile = value;
    }
    if (!ok) {
      *error = "bad value '" + value + "' for " + name;
      return false;
    }
  }
  return true;
}

std::string UsageText() {
  return "Usage: relvoproxy [options]\n"
         "\n"
         "Reference proxy server for relvo connectors. Connectors connect to the\n"
         "connector port and keep a command connection there; every client that\n"
         "connects to the public port makes one connector open a transport\n"
         "connection, and the proxy relays between the client and that transport\n"
         "until either side closes.\n"
         "\n"
         "Options:\n"
         "  --connector-listen HOST:PORT  where connectors connect (default 127.0.0.1:7100)\n"
         "  --public-listen HOST:PORT     where clients connect (default 127.0.0.1:7101)\n"
         "                                PORT 0: a port the system picks\n"
         "  --ping-interval MS            ping every command connection this often\n"
         "                                (default 5000, 1 to 3600000)\n"
         "  --transport-timeout MS        the longest wait for an answer to a create-transport\n"
         "                                command, for the transport connection after 01 00, for\n"
         "                                a connector's handshake and for a client to be taken\n"
         "                                by a connector (default 10000, 1 to 3600000)\n"
         "  --log FILE                    append the log to FILE (default: standard output)\n"
         "  --log-level N                 also log socket details up to level N (0 to 10,\n"
         "                                default 0)\n"
         "  --port-file FILE              once listening, write the two ports to FILE as\n"
         "                                \"connector=PORT\" and \"public=PORT\" lines\n"
         "  --help                        this text\n"
         "\n"
         "Stops cleanly on SIGINT or SIGTERM (Ctrl+C or Ctrl+Break on Windows); exit code 0,\n"
         "1 when it cannot start, 2 for a bad command line.\n";
}

ServerSettings ServerSettingsFrom(const Options& options) {
  ServerSettings settings;
  settings.connectorListen = options.connectorListen;
  settings.publicListen = options.publicListen;
  settings.broker.pingInterval = std::chrono::milliseconds(options.pingIntervalMs);
  settings.broker.transportTimeout = std::chrono::milliseconds(options.transportTimeoutMs);
  settings.handshakeTimeout = std::chrono::milliseconds(options.transportTimeoutMs);
  return settings;
}

}  // namespace relvoproxy
