#include "client/rv_config.h"

#include <exception>
#include <filesystem>

#include "Common/assert.h"
#include "Common/ini.h"
#include "Common/log.h"
#include "Common/utils.h"

namespace fs = std::filesystem;

namespace relvo {

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
