#include "client/rv_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Common/utils.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Runs each test with a temp folder as the current directory.
class StartupSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = fs::current_path();
    fs::current_path(dir_.path());
    ownIni_ = fs::path(libmo::GetModulePath()).stem().string() + ".ini";
  }
  void TearDown() override { fs::current_path(saved_); }

  std::string Captured(void (*f)(relvo::AppConfiguration&), relvo::AppConfiguration& c) {
    testing::internal::CaptureStdout();
    f(c);
    return testing::internal::GetCapturedStdout();
  }

  TempDir dir_;
  fs::path saved_;
  std::string ownIni_;
};

TEST_F(StartupSettings, IniNameFollowsTheExecutableOrFallsBack) {
  relvo::AppConfiguration missing;
  const std::string out = Captured([](relvo::AppConfiguration& c) { c.InitConfigFileName(); }, missing);
  EXPECT_EQ("relvoclient.ini", missing.GetConfigFileName());
  EXPECT_NE(std::string::npos, out.find(ownIni_ + " does not exists. Default relvoclient.ini is accepted.")) << out;

  WriteFile(dir_.path() / ownIni_, "[system]\n");
  relvo::AppConfiguration present;
  present.InitConfigFileName();
  EXPECT_EQ(ownIni_, present.GetConfigFileName());
}

TEST_F(StartupSettings, ServicePropertiesFromTheIniOrDefaults) {
  relvo::AppConfiguration config;
  config.InitConfigFileName();
  std::string name = "x", desc = "y";
  testing::internal::CaptureStdout();
  config.LoadServiceProperties(name, desc);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("OvikProxyClient", name);
  EXPECT_EQ("OVIK proxy client", desc);
  EXPECT_NE(std::string::npos, out.find("Loading service properties from 'relvoclient.ini'")) << out;
  EXPECT_NE(std::string::npos, out.find("Ini file 'relvoclient.ini' does not exist.")) << out;

  WriteFile(dir_.path() / "relvoclient.ini", "[System]\nService_Name = MySvc\nservice_desc=\n");
  config.LoadServiceProperties(name, desc);
  EXPECT_EQ("MySvc", name);
  EXPECT_EQ("OVIK proxy client", desc);
}

TEST_F(StartupSettings, LogPathsDefaultAndAreCachedOnce) {
  relvo::AppConfiguration config;
  config.InitConfigFileName();
  std::string events, errors;
  testing::internal::CaptureStdout();
  config.GetLogFiles(events, errors);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ((fs::path("logs") / "events.log").string(), events);
  EXPECT_EQ((fs::path("logs") / "errors.log").string(), errors);

  // A later change of the folder does not move the logs.
  WriteFile(dir_.path() / "relvoclient.ini", "[log]\nfolder=elsewhere\n");
  config.GetLogFiles(events, errors);
  EXPECT_EQ((fs::path("logs") / "events.log").string(), events);
}

TEST_F(StartupSettings, AbsoluteLogFolderIsUsedUnchanged) {
  TempDir logs;
  WriteFile(dir_.path() / "relvoclient.ini", "[log]\nfolder=" + logs.path().string() + "\n");
  relvo::AppConfiguration config;
  config.InitConfigFileName();
  std::string events, errors;
  config.GetLogFiles(events, errors);
  EXPECT_EQ((logs.path() / "events.log").string(), events);
  EXPECT_EQ((logs.path() / "errors.log").string(), errors);
}

}  // namespace
