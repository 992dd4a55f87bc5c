// Any bytes as the connector's ini file: the reader, the start-up settings,
// the first load and a reload (of the text after a line "#reload", when
// there is one). Every value loaded stays within its range.
#include <stdlib.h>

#include <fstream>

#include "Common/ini.h"
#include "Common/relay_buffer.h"
#include "client/ProxyServer.h"
#include "client/numeric_setting.h"
#include "client/rv_config.h"
#include "tests/fuzz/feed.h"

namespace {

std::string IniPath() {
  static const std::string path = [] {
    char dir[] = "/tmp/relvo_ini_fuzz.XXXXXX";
    FUZZ_CHECK(::mkdtemp(dir) != nullptr);
    return std::string(dir) + "/relvoclient.ini";
  }();
  return path;
}

void Write(const std::string& text) { std::ofstream(IniPath(), std::ios::binary | std::ios::trunc) << text; }

void Load(relvo::AppConfiguration& config, bool reload) {
  try {
    config.LoadServersConfiguration(reload);
  } catch (const std::exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string marker = "\n#reload\n";
  const size_t cut = text.find(marker);
  Write(text.substr(0, cut));

  const libmo::Ini ini(IniPath());
  for (const auto& [key, value] : ini.GetSection("servers")) {
    FUZZ_CHECK(!key.empty() && key == libmo::ToLowerAscii(key));
    ini.GetValue(key, "address");
  }

  const auto proxy = std::make_shared<relvo::ProxyServer>();
  relvo::AppConfiguration config;
  config.SetConfigFileName(IniPath());
  config.SetProxyServer(proxy);
  std::string first, second;
  config.LoadServiceProperties(first, second);
  FUZZ_CHECK(!first.empty() && !second.empty());
  config.GetLogFiles(first, second);
  uint64_t maxBytes = 0;
  unsigned keep = 0;
  config.GetLogRotation(maxBytes, keep);
  FUZZ_CHECK(maxBytes <= (uint64_t{4096} << 20) && keep <= 99);
  // A rotation that keeps no old file would delete the history.
  const std::string keepText = ini.GetValue("log", "keep");
  FUZZ_CHECK(maxBytes == 0 || keep > 0 || keepText.empty() || relvo::IsNumberIn(keepText, 0, 0));

  Load(config, false);
  if (cut != std::string::npos) Write(text.substr(cut + marker.size()));
  Load(config, true);
  FUZZ_CHECK(config.reconnectTimeout.load() >= 5000);
  const int buffer = libmo::RelayBufferBytes();
  FUZZ_CHECK(buffer >= libmo::kRelayBufferMin && buffer <= libmo::kRelayBufferMax);
  for (const auto& server : config.Servers()) {
    FUZZ_CHECK(server->port != 0 && server->maxcon >= 1 && !server->address.empty());
  }
  return 0;
}
