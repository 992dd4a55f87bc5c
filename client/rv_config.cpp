#include "client/rv_config.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <filesystem>
#include <mutex>
#include <thread>

#include "Common/assert.h"
#include "Common/ini.h"
#include "Common/log.h"
#include "Common/relay_buffer.h"
#include "Common/utils.h"
#include "Common/relvo/OnlineUsers.h"
#include "Common/relvo/entry_timeouts.h"
#include "client/ProxyServer.h"
#include "client/numeric_setting.h"

namespace fs = std::filesystem;

namespace relvo {

int32_t AtoiSaturated(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;  // saturated either way
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(value);
}

void AppConfiguration::InitConfigFileName() {
  const std::string modulePath = libmo::GetModulePath();
  std::string candidate;
  if (!modulePath.empty()) {
    const std::string stem = fs::path(modulePath).stem().string();
    if (!stem.empty()) candidate = stem + ".ini";
  }
  if (candidate.empty()) {
    configFileName_ = kDefaultIniName;
    LogEvent("Failed to construct <process_name>.ini. Default %s is accepted.", kDefaultIniName);
    return;
  }
  configFileName_ = candidate;
  std::error_code ec;
  if (!fs::exists(candidate, ec) && candidate != kDefaultIniName) {
    configFileName_ = kDefaultIniName;
    LogEvent("%s does not exists. Default %s is accepted.", candidate.c_str(), kDefaultIniName);
  }
}

void AppConfiguration::LoadServiceProperties(std::string& name, std::string& description) {
  try {
    LogEvent("Loading service properties from '%s'", configFileName_.c_str());
    name = kDefaultServiceName;
    description = kDefaultServiceDesc;
    const libmo::Ini ini(configFileName_);
    name = ini.GetString("system", "service_name", kDefaultServiceName);
    description = ini.GetString("system", "service_desc", kDefaultServiceDesc);
  } catch (const std::exception& e) {
    LogError("%s", e.what());
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("AppConfiguration::LoadServiceProperties", "rv_config", 132);
  }
}

void AppConfiguration::GetLogFiles(std::string& eventsLog, std::string& errorsLog) {
  if (eventsLogPath_.empty() || errorsLogPath_.empty()) {
    std::string folder = "logs";
    try {
      const libmo::Ini ini(configFileName_);
      folder = ini.GetString("log", "folder", "logs");
      const std::string sizeText = ini.GetValue("log", "max_size_mb");
      const int32_t megabytes = std::clamp<int32_t>(AtoiSaturated(sizeText), 0, 4096);
      logMaxBytes_ = static_cast<uint64_t>(megabytes) << 20;
      // A count that is not a plain number from 0 to 99 keeps the most old
      // files: read as 0 it would delete the whole log at every rotation.
      const std::string keepText = ini.GetValue("log", "keep");
      logKeep_ = keepText.empty()               ? 0u
                 : IsNumberIn(keepText, 0, 99) ? static_cast<unsigned>(AtoiSaturated(keepText))
                                               : 99u;
      // The logs are not open yet: the first load writes these.
      if (!sizeText.empty() && !IsNumberIn(sizeText, 0, 4096)) {
        logNotes_.push_back(NumberMessage("log", "max_size_mb", sizeText, 0, 4096, megabytes));
      }
      if (!keepText.empty() && !IsNumberIn(keepText, 0, 99)) {
        logNotes_.push_back(NumberMessage("log", "keep", keepText, 0, 99, logKeep_));
      }
    } catch (const std::exception& e) {
      LogError("%s", e.what());
    } catch (...) {
      libmo::Detail::AssertFailNoExceptionImpl("AppConfiguration::GetLogFiles", "rv_config", 146);
    }
    eventsLogPath_ = (fs::path(folder) / "events.log").string();
    errorsLogPath_ = (fs::path(folder) / "errors.log").string();
  }
  eventsLog = eventsLogPath_;
  errorsLog = errorsLogPath_;
}

}  // namespace relvo

namespace relvo {
namespace {

// [general] `key` in milliseconds: `fallback` when empty, and (with a line
// naming the key) when negative; 0 means no limit.
uint32_t ReadEntryTimeout(const libmo::Ini& ini, const char* key, uint32_t fallback) {
  const std::string text = ini.GetValue("general", key);
  const int32_t value = text.empty() ? static_cast<int32_t>(fallback) : AtoiSaturated(text);
  if (value >= 0) return static_cast<uint32_t>(value);
  LogEvent("%s of %d ms is out of range. It's been adjusted to %u", key, value, fallback);
  return fallback;
}

// 1 to 65535, given as text; 0 when empty or out of range.
uint16_t ParsePort(const std::string& text) {
  if (text.empty()) return 0;
  const uint32_t value = static_cast<uint32_t>(AtoiSaturated(text));
  return value == 0 || value > 65535 ? 0 : static_cast<uint16_t>(value);
}

}  // namespace

void AppConfiguration::LoadServersConfiguration(bool reload) {
  LogEvent("Loading settings from '%s'", configFileName_.c_str());
  const libmo::Ini ini(configFileName_);
  for (const std::string& note : ini.Notes()) LogError("%s", note.c_str());
  if (!reload) {
    for (const std::string& note : logNotes_) LogError("%s", note.c_str());
    logNotes_.clear();
  }

  const std::string levelText = ini.GetValue("general", "debug_level");
  int32_t level = levelText.empty() ? 0 : AtoiSaturated(levelText);
  if (level < 0 || level > 10) {
    const int32_t adjusted = level < 0 ? 0 : 10;
    LogEvent("Can't to set log level to unsupported value %d. It's been automatically adjusted to %d", level,
             adjusted);
    level = adjusted;
  }
  CheckNumber("general", "debug_level", levelText, 0, 10, level);
  SetLogLevel(static_cast<uint8_t>(level));

  const std::string tmoText = ini.GetValue("general", "reconnect_tmo");
  uint32_t tmo = tmoText.empty() ? 15000u : static_cast<uint32_t>(AtoiSaturated(tmoText));
  if (tmo < 5000) tmo = 5000;
  CheckNumber("general", "reconnect_tmo", tmoText, 5000, INT_MAX, tmo);
  reconnectTimeout.store(tmo);
  LogEvent("Reconnect timeout: %d ms", static_cast<int>(tmo));

  const std::string bufferText = ini.GetValue("general", "relay_buffer");
  const int32_t buffer = bufferText.empty() ? libmo::kRelayBufferDefault : AtoiSaturated(bufferText);
  const int32_t bufferUsed = libmo::ClampRelayBuffer(buffer);
  if (bufferUsed != buffer) {
    LogEvent("Relay buffer of %d bytes is out of range. It's been adjusted to %d", buffer, bufferUsed);
  }
  CheckNumber("general", "relay_buffer", bufferText, libmo::kRelayBufferMin, libmo::kRelayBufferMax, bufferUsed);
  libmo::SetRelayBufferBytes(bufferUsed);
  LogEvent("Relay buffer: %d bytes", bufferUsed);

  const uint32_t halfClose = ReadEntryTimeout(ini, "halfclose_tmo", kHalfCloseTimeoutDefault);
  const uint32_t idle = ReadEntryTimeout(ini, "idle_tmo", kIdleTimeoutDefault);
  SetEntryTimeouts(halfClose, idle);
  LogEvent("Entry time-outs: halfclose_tmo %u ms, idle_tmo %u ms (0: none)", halfClose, idle);

  if (!reload) {
    const std::shared_ptr<ProxyServer> proxy = proxyServer_.lock();
    const std::string address = ini.GetValue("proxyServer", "address");
    if (address.empty()) {
      SetErrorPlace("AppConfiguration::LoadServersConfiguration", "rv_config", 54);
      ThrowPlacedError("Address of [%s] is undefined.", "proxyServer");
    }
    if (proxy) proxy->host = address;
    const std::string portText = ini.GetValue("proxyServer", "port");
    const uint16_t port = ParsePort(portText);
    if (port == 0) {
      SetErrorPlace("AppConfiguration::LoadServersConfiguration", "rv_config", 60);
      ThrowPlacedError("Port of [%s] is undefined or value is incorrect.", "proxyServer");
    }
    CheckNumber("proxyServer", "port", portText, 1, 65535, port);
    if (proxy) proxy->port = port;
  }

  for (const auto& entry : ini.GetSection("servers")) LoadServer(ini, entry.first);

  bool none;
  {
    std::shared_lock<std::shared_mutex> lock(serversLock_);
    none = servers_.empty();
  }
  if (none) {
    SetErrorPlace("AppConfiguration::LoadServersConfiguration", "rv_config", 116);
    ThrowPlacedError("Target server is not defined in %s.", ini.GetFileName().c_str());
  }
}

void AppConfiguration::LoadServer(const libmo::Ini& ini, const std::string& name) {
  auto server = std::make_shared<TServer>();
  server->name = name;
  server->address = ini.GetValue(name, "address");
  if (server->address.empty()) {
    SetErrorPlace("AppConfiguration::LoadServersConfiguration::<lambda_1>::operator ()", "rv_config", 69);
    ThrowPlacedError("Address of [%s] is undefined.", name.c_str());
  }
  const std::string portText = ini.GetValue(name, "port");
  server->port = ParsePort(portText);
  if (server->port == 0) {
    SetErrorPlace("AppConfiguration::LoadServersConfiguration::<lambda_1>::operator ()", "rv_config", 74);
    ThrowPlacedError("Port of [%s] is undefined or value is incorrect.", name.c_str());
  }
  const std::string maxconText = ini.GetValue(name, "maxcon");
  server->maxcon = maxconText.empty() ? 1000 : AtoiSaturated(maxconText);
  if (server->maxcon < 1) server->maxcon = 1000;
  const std::string recordText = ini.GetValue(name, "proxyrecord");
  server->proxyrecord = !recordText.empty() && AtoiSaturated(recordText) != 0;

  std::unique_lock<std::shared_mutex> lock(serversLock_);
  for (const std::shared_ptr<TServer>& known : servers_) {
    if (known->name == name) {
      LogEvent("Item with same name [%s]' is already loaded and has been skipped.", known->name.c_str());
      return;
    }
    if (known->address == server->address && known->port == server->port) {
      LogEvent("[%s] has been skipped because another item with same address [%s]: %s:%d is found.", name.c_str(),
               known->name.c_str(), known->address.c_str(), static_cast<int>(server->port));
      return;
    }
  }
  servers_.push_back(server);
  CheckNumber(name, "port", portText, 1, 65535, server->port);
  CheckNumber(name, "maxcon", maxconText, 1, INT_MAX, server->maxcon);
  CheckNumber(name, "proxyrecord", recordText, INT_MIN, INT_MAX, server->proxyrecord ? 1 : 0);
  LogEvent("server [%s]: %s:%d proxyrec(%d) maxcon(%d) is added.", server->name.c_str(), server->address.c_str(),
           static_cast<int>(server->port), server->proxyrecord ? 1 : 0, static_cast<int>(server->maxcon));
}

std::shared_ptr<TServer> AppConfiguration::FindServerForNewClientConnection() const {
  std::shared_lock<std::shared_mutex> lock(serversLock_);
  std::shared_ptr<TServer> choice, soonestBack;
  int best = INT_MAX;
  auto soonest = ServerBackoff::Clock::time_point::max();
  for (const std::shared_ptr<TServer>& server : servers_) {
    const int count = onlineUsers_ != nullptr ? onlineUsers_->CountByServer(server.get()) : 0;
    if (count >= server->maxcon) continue;
    const auto asideUntil = backoff_.AsideUntil(server.get());
    if (asideUntil == ServerBackoff::Clock::time_point::min()) {
      if (count < best) {
        choice = server;
        best = count;
      }
    } else if (asideUntil < soonest) {
      soonestBack = server;
      soonest = asideUntil;
    }
  }
  return choice ? choice : soonestBack;
}

void AppConfiguration::TargetConnectFailed(const TServer& server) {
  const std::chrono::milliseconds aside = backoff_.Failed(&server);
  LogError("Target server [%s] %s:%d is set aside for %d ms after a failed connect.", server.name.c_str(),
           server.address.c_str(), static_cast<int>(server.port), static_cast<int>(aside.count()));
}

void AppConfiguration::TargetConnected(const TServer& server) {
  if (backoff_.Succeeded(&server)) {
    LogEvent("Target server [%s] %s:%d is back.", server.name.c_str(), server.address.c_str(),
             static_cast<int>(server.port));
  }
}

std::list<std::shared_ptr<TServer>> AppConfiguration::Servers() const {
  std::shared_lock<std::shared_mutex> lock(serversLock_);
  return servers_;
}

namespace {

// A file's full path, in one spelling whatever its letter case.
std::string PathKey(const fs::path& path) { return libmo::ToLowerAscii(fs::absolute(path).lexically_normal().string()); }

}  // namespace

void AppConfiguration::StartListeningChanges() {
  // An ini that is a link (the Debian package's, to /etc/relvo) is watched
  // where the file lies.
  std::error_code ec;
  fs::path absolute = fs::weakly_canonical(fs::absolute(configFileName_), ec);
  if (ec) absolute = fs::absolute(configFileName_);
  directory = absolute.parent_path().string();
  ownLogs_.clear();
  for (const std::string& log : {eventsLogPath_, errorsLogPath_}) {
    if (!log.empty()) ownLogs_.push_back(PathKey(log));
  }
  if (!StartChangeControl()) {
    SetErrorPlace("AppConfiguration::StartListeningChanges", "rv_config", 160);
    ThrowOsError("Failed to start listening changes of %s", absolute.string().c_str());
  }
}

void AppConfiguration::NotifySubscribes(const char* fileName) {
  if (fileName == nullptr) {
    SetErrorPlace("AppConfiguration::NotifySubscribes", "rv_config", 166);
    LogPlacedError("fileName is null");
    return;
  }
  // The connector's own logs may lie in the watched folder ([log] folder=.);
  // reporting their writes would feed on itself.
  for (const std::string& log : ownLogs_) {
    if (PathKey(fs::path(directory) / fileName) == log) return;
  }
  try {
    // Lets the writer of the file finish.
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
    LogEventAt(2, "File '%s' changed.", fileName);
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(configFileName_), ec);
    const std::string own = (ec ? fs::path(configFileName_) : resolved).filename().string();
    if (libmo::ToLowerAscii(own) == libmo::ToLowerAscii(fileName)) {
      LogEvent("%s changed.", fileName);
      LoadServersConfiguration(true);
    }
  } catch (...) {
    libmo::Detail::AssertFailNoExceptionImpl("AppConfiguration::NotifySubscribes", "rv_config", 186);
  }
}

}  // namespace relvo
