#include "tests/support/test_logs.h"

#include <gtest/gtest.h>

#include "Common/log.h"

namespace testsupport {
namespace {

const TempDir* current = nullptr;

void CurrentPaths(std::string& events, std::string& errors) {
  events = (*current) / "events.log";
  errors = (*current) / "errors.log";
}

}  // namespace

TestLogs::TestLogs(const char* tag) {
  current = &dir_;
  libmo::SetLogPathSource(&CurrentPaths);
  EXPECT_FALSE(LogInit(tag)) << "cannot open the test logs";
}

TestLogs::~TestLogs() {
  SetLogLevel(1);
  libmo::SetLogPathSource(nullptr);
  libmo::EventsLog().Open(std::string());
  libmo::ErrorsLog().Open(std::string());
  current = nullptr;
}

}  // namespace testsupport
