#include "crash/crash_test_util.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "Common/log.h"
#include "crash/test_support.h"

namespace crashtest {

std::vector<std::string> Messages(const std::string& log) {
  std::vector<std::string> out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t at = line.find("): ");
    out.push_back(at == std::string::npos ? line : line.substr(at + 3));
  }
  return out;
}

Report ParseReport(const std::vector<std::string>& m) {
  Report r;
  const auto at = [&](const char* marker, size_t from) {
    return static_cast<size_t>(std::find(m.begin() + static_cast<long>(std::min(from, m.size())), m.end(), marker) -
                               m.begin());
  };
  const size_t exception = at(">>============ Exception =============", 0);
  if (exception + 3 >= m.size() || m[exception + 2] != "<<============ Exception =============") return r;
  r.exception = m[exception + 1];
  const size_t modules = exception + 3;
  if (m[modules] != ">>=========== Module List ============") return r;
  const size_t modulesEnd = at("<<=========== Module List ============", modules);
  const size_t stack = modulesEnd + 1;
  if (stack >= m.size() || m[stack] != ">>============ Call Stack ============") return r;
  const size_t stackEnd = at("<<============ Call Stack ============", stack);
  if (stackEnd >= m.size()) return r;
  for (size_t i = modules + 1; i < modulesEnd; ++i) {
    if (m[i].rfind("[ModuleList] ", 0) != 0) return r;
    r.modules.push_back(m[i].substr(13));
  }
  for (size_t i = stack + 1; i < stackEnd; ++i) {
    if (m[i].rfind("[CallStack] ", 0) != 0 && m[i].rfind("ERROR: ", 0) != 0) return r;
    r.frames.push_back(m[i]);
  }
  r.end = stackEnd + 1;
  r.complete = !r.modules.empty() && !r.frames.empty();
  return r;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Day(const libmo::os::LocalTime& t) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", t.year, t.month, t.day);
  return text;
}

std::string HandleRecord(tezra::se::Handler& handler, tezra::ExceptionRecord& record) {
  std::string text = "<nothing thrown>";
  WithOwnContext([&](tezra::ThreadContext& context) {
    tezra::ExceptionPointers ep{&record, &context};
    try {
      handler.Handle(&ep);
    } catch (const std::runtime_error& e) {
      text = e.what();
    }
  });
  return text;
}

CurrentDirectory::CurrentDirectory(const std::filesystem::path& dir) : saved_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir);
}

CurrentDirectory::~CurrentDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(saved_, ignored);
}

testsupport::TempDir* CrashLogTest::dir_ = nullptr;

void CrashLogTest::SetUpTestSuite() {
  dir_ = new testsupport::TempDir();
  libmo::SetLogPathSource([](std::string& events, std::string& errors) {
    events = (*dir_) / "events.log";
    errors = (*dir_) / "errors.log";
  });
  ASSERT_FALSE(LogInit("TEST"));
}

void CrashLogTest::TearDownTestSuite() {
  libmo::SetLogPathSource(nullptr);
  libmo::EventsLog().Open(std::string());
  libmo::ErrorsLog().Open(std::string());
  delete dir_;
  dir_ = nullptr;
}

void CrashLogTest::SetUp() { start_ = testsupport::ReadFile(dir_->path() / "errors.log").size(); }

std::string CrashLogTest::ErrorsText() const {
  const std::string all = testsupport::ReadFile(dir_->path() / "errors.log");
  return start_ < all.size() ? all.substr(start_) : std::string();
}

}  // namespace crashtest
