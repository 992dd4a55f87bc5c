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
    // Numbers: the option, where it goes, its range.
    struct Number {
      const char* name;
      uint32_t* value;
      uint64_t low, high;
    };
    const Number numbers[] = {
        {"--ping-interval", &options->pingIntervalMs, 1, 3600000},
        {"--transport-timeout", &options->transportTimeoutMs, 1, 3600000},
        {"--handshake-timeout", &options->handshakeTimeoutMs, 1, 3600000},
        {"--idle-timeout", &options->idleTimeoutMs, 0, 86400000},
        {"--max-handshakes", &options->maxHandshakes, 1, 100000},
        {"--max-handshakes-per-address", &options->maxHandshakesPerAddress, 1, 100000},
        {"--max-connectors", &options->maxConnectors, 1, 100000},
        {"--max-clients-per-address", &options->maxClientsPerAddress, 1, 1000000},
    };
    const Number* numeric = nullptr;
    for (const Number& n : numbers) {
      if (name == n.name) numeric = &n;
    }
    const bool known = numeric != nullptr || name == "--connector-listen" || name == "--public-listen" ||
                       name == "--log" || name == "--port-file" || name == "--log-level" ||
                       name == "--connector-allow";
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
    if (numeric != nullptr) {
      ok = ParseNumber(value, numeric->low, numeric->high, &number);
      *numeric->value = static_cast<uint32_t>(number);
    } else if (name == "--connector-allow") {
      std::string why;
      if (!AddressFilter().Parse(value, &why)) {
        *error = "bad value '" + value + "' for " + name + ": " + why;
        return false;
      }
      options->connectorAllow = value;
    } else if (name == "--connector-listen") {
      ok = ParseEndpoint(value, &options->connectorListen);
    } else if (name == "--public-listen") {
      ok = ParseEndpoint(value, &options->publicListen);
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
         "                                command (then the command connection is ended and its\n"
         "                                client goes to another connector), for the transport\n"
         "                                connection after 01 00 and for a client to be taken by\n"
         "                                a connector (default 10000, 1 to 3600000)\n"
         "  --handshake-timeout MS        the longest handshake of a connector connection,\n"
         "                                counted from its accept (default 5000, 1 to 3600000)\n"
         "  --idle-timeout MS             end a relayed client when no byte moved either way for\n"
         "                                this long (default 600000, 0: never, up to 86400000)\n"
         "\n"
         "Limits (a peer over a limit is closed, with a log line; lines about what a peer\n"
         "can repeat at will are held to one a second, with a count):\n"
         "  --connector-allow CIDR[,CIDR...]  take connector connections only from these\n"
         "                                networks (IPv4 or IPv6, e.g. 192.0.2.0/24,2001:db8::/32);\n"
         "                                others are closed before their handshake. Without it\n"
         "                                every address is taken, and a connector port on a\n"
         "                                non-loopback address is warned about at start\n"
         "  --max-connectors N            command connections at once (default 64); one more\n"
         "                                replaces the oldest of the address holding the most\n"
         "  --max-handshakes N            connector connections in their handshake at once\n"
         "                                (default 256); one more replaces the oldest handshake\n"
         "                                of the address holding the most\n"
         "  --max-handshakes-per-address N  of those, from one address (default 16); one more\n"
         "                                replaces that address's oldest\n"
         "  --max-clients-per-address N   public clients from one address at once, waiting or\n"
         "                                relayed (default 256); more are closed at once\n"
         "  A command connection whose words have not gone out for twice the ping interval\n"
         "  (at least 1 s) is ended; at most 10000 clients wait for a connector.\n"
         "\n"
         "Output:\n"
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
  settings.handshakeTimeout = std::chrono::milliseconds(options.handshakeTimeoutMs);
  settings.maxHandshakes = options.maxHandshakes;
  settings.maxHandshakesPerAddress = options.maxHandshakesPerAddress;
  settings.limits.maxConnectors = options.maxConnectors;
  settings.limits.maxClientsPerAddress = options.maxClientsPerAddress;
  settings.limits.idleTimeout = std::chrono::milliseconds(options.idleTimeoutMs);
  std::string error;  // checked by ParseOptions already
  if (!options.connectorAllow.empty()) settings.connectorAllow.Parse(options.connectorAllow, &error);
  return settings;
}

}  // namespace relvoproxy
