// Any bytes as the connector's ini file: the start-up settings, the first load and a reload (of the text after a line
// "#reload", if any). Every value loaded stays within its range, and a rotation that keeps no old log is only ever one
// that the operator asked for.
#include <stdlib.h>

#include <fstream>

#include "Common/ini.h"
#include "Common/relay_buffer.h"
#include "client/ProxyServer.h"
#include "client/numeric_setting.h"
#include "client/rv_config.h"
#include "tests/fuzz/feed.h"

namespace {

// The ini file, in a folder of its own.
const std::string path = [] {
  char dir[] = "/tmp/relvo_ini_fuzz.XXXXXX";
  return std::string(::mkdtemp(dir)) + "/relvoclient.ini";
}();

void Write(const std::string& text) { std::ofstream(path, std::ios::binary | std::ios::trunc) << text; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size), marker = "\n#reload\n";
  const size_t cut = text.find(marker);
  Write(text.substr(0, cut));
  const libmo::Ini ini(path);

  relvo::AppConfiguration config;
  config.SetConfigFileName(path);
  const auto proxy = std::make_shared<relvo::ProxyServer>();
  config.SetProxyServer(proxy);
  std::string first, second;
  config.LoadServiceProperties(first, second);
  config.GetLogFiles(first, second);
  uint64_t maxBytes = 0;
  unsigned keep = 0;
  config.GetLogRotation(maxBytes, keep);
  const std::string keepText = ini.GetValue("log", "keep");
  FUZZ_CHECK(maxBytes <= (uint64_t{4096} << 20) && keep <= 99);
  FUZZ_CHECK(maxBytes == 0 || keep > 0 || keepText.empty() || relvo::IsNumberIn(keepText, 0, 0));

  for (const bool reload : {false, true}) {
    try {
      config.LoadServersConfiguration(reload);
    } catch (const std::exception&) {
    }
    if (cut != std::string::npos) Write(text.substr(cut + marker.size()));
  }
  FUZZ_CHECK(config.reconnectTimeout.load() >= 5000);
  FUZZ_CHECK(libmo::RelayBufferBytes() >= libmo::kRelayBufferMin && libmo::RelayBufferBytes() <= libmo::kRelayBufferMax);
  for (const auto& server : config.Servers()) FUZZ_CHECK(server->port && server->maxcon >= 1 && !server->address.empty());
  return 0;
}
