// The connector's one process-wide configuration object.
#pragma once

#include <string>

namespace relvo {

constexpr const char* kDefaultIniName = "relvoclient.ini";
constexpr const char* kDefaultServiceName = "OvikProxyClient";
constexpr const char* kDefaultServiceDesc = "OVIK proxy client";

class AppConfiguration {
 public:
  AppConfiguration() = default;
  AppConfiguration(const AppConfiguration&) = delete;
  AppConfiguration& operator=(const AppConfiguration&) = delete;

  // Settles the ini file name from the executable's stem (other.exe ->
  // other.ini), falling back to relvoclient.ini when that file is missing.
  // REQUIRES: the current directory is the executable's folder.
  void InitConfigFileName();
  std::string GetConfigFileName() const { return configFileName_; }

  // Service name and description from [system]; defaults when the ini file
  // or the keys are missing. Never throws.
  void LoadServiceProperties(std::string& name, std::string& description);

  // Paths of the two logs from [log] folder (default "logs"); worked out on
  // the first call and cached for the life of the process. Never throws.
  // REQUIRES: first call before other threads log (it has no lock).
  void GetLogFiles(std::string& eventsLog, std::string& errorsLog);

 private:
  std::string eventsLogPath_;
  std::string errorsLogPath_;
  std::string configFileName_;
};

}  // namespace relvo
