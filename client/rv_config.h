// The connector's one process-wide configuration object: start-up settings
// (ini file name, service name and description, log paths) and the running
// settings (log level, reconnect time-out, proxy server, target servers),
// reloaded whenever the ini file changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "Common/cfilenot.h"
#include "client/server_backoff.h"

namespace libmo {
class Ini;
}

namespace relvo {

class ProxyServer;
class OnlineUsers;

constexpr const char* kDefaultIniName = "relvoclient.ini";
constexpr const char* kDefaultServiceName = "OvikProxyClient";
constexpr const char* kDefaultServiceDesc = "OVIK proxy client";

// One target server; created by a load and never changed afterwards.
struct TServer {
  std::string name;  // its key in [servers], lower case; also its section
  std::string address;
  uint16_t port = 0;
  int32_t maxcon = 1000;
  bool proxyrecord = false;
};

// atoi: optional sign, digits, stop at the first other character; 0 without
// digits; saturates at the 32-bit signed range.
int32_t AtoiSaturated(const std::string& text);

class AppConfiguration : public libmo::TChangeFileChangeManager {
 public:
  // `now` is the clock of the servers' back-offs (tests give their own).
  explicit AppConfiguration(std::function<ServerBackoff::Clock::time_point()> now = &ServerBackoff::Clock::now)
      : backoff_(std::move(now)) {}
  // The watch ends before the override it calls is gone.
  ~AppConfiguration() override { StopChangeControl(); }
  AppConfiguration(const AppConfiguration&) = delete;
  AppConfiguration& operator=(const AppConfiguration&) = delete;

  // Settles the ini file name from the executable's stem (other.exe ->
  // other.ini), falling back to relvoclient.ini when that file is missing.
  // REQUIRES: the current directory is the executable's folder.
  void InitConfigFileName();
  std::string GetConfigFileName() const { return configFileName_; }
  // Tests point the configuration at a file of their own.
  void SetConfigFileName(std::string name) { configFileName_ = std::move(name); }

  // Service name and description from [system]; defaults when the ini file
  // or the keys are missing. Never throws.
  void LoadServiceProperties(std::string& name, std::string& description);

  // Paths of the two logs from [log] folder (default "logs"); worked out on
  // the first call and cached for the life of the process. Never throws.
  // REQUIRES: first call before other threads log (it has no lock).
  void GetLogFiles(std::string& eventsLog, std::string& errorsLog);

  // Size-based log rotation from [log] max_size_mb (0 to 4096, in MiB) and
  // keep (0 to 99, default 0; any other text keeps 99); 0 MiB, the default,
  // means no rotation. Read with the log folder by the first GetLogFiles and
  // kept from then on; what was wrong with them the first load reports.
  void GetLogRotation(uint64_t& maxBytes, unsigned& keep) const {
    maxBytes = logMaxBytes_;
    keep = logKeep_;
  }

  // The proxy server whose host and port the first load fills in.
  void SetProxyServer(std::weak_ptr<ProxyServer> proxyServer) { proxyServer_ = std::move(proxyServer); }

  // One load of the running settings; `reload` skips the proxy server.
  // Throws std::runtime_error on a reader error or an invalid setting; the
  // servers appended before the failure stay.
  void LoadServersConfiguration(bool reload);

  // Starts watching the ini file's folder. Throws when watching is on.
  void StartListeningChanges();

  // Reloads when `fileName` is the ini file's name (any letter case); the
  // logs' own files are ignored without a word. Runs on the watcher thread;
  // never throws.
  void NotifySubscribes(const char* fileName) override;

  // The table whose entry counts decide the server choice.
  // REQUIRES: set before the first FindServerForNewClientConnection.
  void SetOnlineUsers(const OnlineUsers* users) { onlineUsers_ = users; }

  // The least-loaded server below its maxcon (the earlier one on a tie)
  // among those not set aside after a failed connect; when every server with
  // room is set aside, the one whose time aside ends first (the earlier one
  // on a tie). Empty when every server is full. Safe to call from any thread.
  std::shared_ptr<TServer> FindServerForNewClientConnection() const;

  // A connect to `server` failed: it is set aside (see ServerBackoff), with
  // a line in the errors log. Safe to call from any thread.
  void TargetConnectFailed(const TServer& server);
  // A connect to `server` succeeded: its back-off ends, with a line in the
  // events log when it had been set aside. Safe to call from any thread.
  void TargetConnected(const TServer& server);

  // A copy of the target servers, in the order they were added.
  std::list<std::shared_ptr<TServer>> Servers() const;

  // Milliseconds of command silence before the command connection is
  // replaced (at least 5000 once loaded).
  std::atomic<uint32_t> reconnectTimeout{0};

 private:
  void LoadServer(const libmo::Ini& ini, const std::string& name);

  mutable std::shared_mutex serversLock_;
  std::list<std::shared_ptr<TServer>> servers_;
  std::string eventsLogPath_;
  std::string errorsLogPath_;
  uint64_t logMaxBytes_ = 0;
  unsigned logKeep_ = 0;
  std::vector<std::string> logNotes_;  // errors-log lines owed by GetLogFiles
  std::string configFileName_;
  std::vector<std::string> ownLogs_;  // full paths, lower case; set at the start of a watch
  std::weak_ptr<ProxyServer> proxyServer_;
  const OnlineUsers* onlineUsers_ = nullptr;
  ServerBackoff backoff_;
};

}  // namespace relvo
