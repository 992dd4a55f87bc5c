// Crash reports of real faults in real threads, and the report formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Common/CommonThread.h"
#include "Common/log.h"
#include "Common/os.h"
#include "crash/crash_test_util.h"
#include "crash/exception_handler.h"
#include "crash/stack_walker.h"
#include "crash/test_support.h"
#include "crash/testing.h"
#include "crash/translator.h"
#include "tests/support/text.h"

using testsupport::Contains;

namespace {

using crashtest::CrashLogTest;
using crashtest::HandleRecord;
using crashtest::Hex;
using crashtest::Lines;
using crashtest::ParseReport;
using crashtest::Report;

// Runs `fault` on a new thread that installed the translator; returns the
// text of the std::runtime_error that the thread caught ("" if none).
std::string FaultOnTranslatorThread(const std::function<void()>& fault) {
  std::string caught;
  std::thread worker([&] {
    tezra::se::InstallThreadTranslator();
    try {
      fault();
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
  });
  worker.join();
  return caught;
}

const std::regex kExceptionLine(
    R"(^Exception 0x([0-9A-F]+) occurred at address 0x([0-9A-F]{8,}) \(([0-9A-F]{2}):([0-9A-F]{8}) (.*)\) params:((?:,? 0x[0-9A-F]{8,})*)$)");
const std::regex kModuleLine(
    R"(^(.+):([^:]*) \(0x[0-9a-f]{16}\), size: \d+, SymType: '[^']*', PDB: '[^']*'(, fileVersion: \d+\.\d+\.\d+\.\d+)?$)");
const std::regex kFrameLine(
    R"(^\[CallStack\] 0x[0-9a-f]{16}  0x[0-9a-f]{16}  \[Module="[^"]*"\] \[Source="[^"]*":\d+\] \[Func=.*\]$)");

TEST_F(CrashLogTest, NullWriteOnTranslatorThreadIsReportedAndCaughtThere) {
  const std::string caught = FaultOnTranslatorThread(&crashtest::NullWrite);
  ASSERT_FALSE(caught.empty()) << "the thread's handler did not get the translated exception";

  const Report r = ParseReport(NewErrors());
  ASSERT_TRUE(r.complete) << ErrorsText();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.exception, m, kExceptionLine)) << r.exception;
  EXPECT_EQ(m[1].str(), Hex(crashtest::kAccessFaultCode));
  EXPECT_TRUE(crashtest::InNullWrite(std::stoull(m[2].str(), nullptr, 16))) << r.exception;
  EXPECT_NE(m[3].str(), "00") << r.exception;
  EXPECT_TRUE(Contains(m[5].str(), "crash_test")) << r.exception;
  // The last parameter is the data address: 0.
  const std::string params = m[6].str();
  ASSERT_GE(params.size(), 11u) << r.exception;
  EXPECT_EQ(params.substr(params.size() - 11), " 0x00000000") << r.exception;

  EXPECT_EQ(caught.rfind(r.exception + " [code:", 0), 0u) << caught;
  EXPECT_TRUE(std::regex_match(caught.substr(r.exception.size()), std::regex(R"( \[code:\d+\])"))) << caught;

  bool ownModule = false;
  for (const std::string& line : r.modules) {
    EXPECT_TRUE(std::regex_match(line, kModuleLine)) << line;
    ownModule |= Contains(line, "crash_test");
  }
  EXPECT_TRUE(ownModule);

  bool faultFrame = false;
  for (const std::string& line : r.frames) {
    if (line.rfind("ERROR: ", 0) == 0) continue;
    EXPECT_TRUE(std::regex_match(line, kFrameLine)) << line;
    faultFrame |= Contains(line, "NullWrite") && Contains(line, "crash_test") && Contains(line, "test_faults.cpp");
  }
  EXPECT_TRUE(faultFrame) << ErrorsText();
}

TEST_F(CrashLogTest, UnwindingFromTheFaultRunsTheFaultingFramesDestructors) {
  bool cleaned = false;
  const std::string caught = FaultOnTranslatorThread([&] { crashtest::NullWriteWithCleanup(cleaned); });
  EXPECT_FALSE(caught.empty());
  EXPECT_TRUE(cleaned);
}

TEST_F(CrashLogTest, IntegerDivisionByZeroHasNoParameters) {
  volatile int zero = 0;
  const std::string caught = FaultOnTranslatorThread([&] { crashtest::Divide(zero); });
  ASSERT_FALSE(caught.empty());
  const Report r = ParseReport(NewErrors());
  ASSERT_TRUE(r.complete) << ErrorsText();
  EXPECT_EQ(r.exception.rfind("Exception 0x" + Hex(crashtest::kDivideFaultCode) + " occurred at address 0x", 0), 0u)
      << r.exception;
  ASSERT_GE(r.exception.size(), 9u);
  EXPECT_EQ(r.exception.substr(r.exception.size() - 9), ") params:") << r.exception;
  EXPECT_EQ(caught.rfind(r.exception + " [code:", 0), 0u) << caught;
}

TEST_F(CrashLogTest, EveryFaultWritesTheModuleListAgainAndTheProcessGoesOn) {
  EXPECT_FALSE(FaultOnTranslatorThread(&crashtest::NullWrite).empty());
  EXPECT_FALSE(FaultOnTranslatorThread(&crashtest::NullWrite).empty());
  const std::vector<std::string> messages = NewErrors();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), ">>=========== Module List ============"), 2);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "<<============ Call Stack ============"), 2);
}

// A worker that runs the translator, as every connector thread does.
class FaultingWorker : public libmo::Thread {
 public:
  ~FaultingWorker() override {
    Stop();
    Join();
  }
  std::atomic<bool> finished{false};

 protected:
  void onStart() override {
    tezra::se::InstallThreadTranslator();
    Thread::onStart();
  }
  void body() override { crashtest::NullWrite(); }
  void onFinish() override { finished = true; }
};

TEST_F(CrashLogTest, WorkerThreadReportsTheTranslatedFaultAsItsError) {
  FaultingWorker worker;
  ASSERT_TRUE(worker.Start("FAULT"));
  worker.Join();
  EXPECT_TRUE(worker.finished);
  const std::vector<std::string> messages = NewErrors();
  const Report r = ParseReport(messages);
  ASSERT_TRUE(r.complete) << ErrorsText();
  ASSERT_LT(r.end, messages.size()) << ErrorsText();
  EXPECT_TRUE(std::regex_match(messages[r.end], std::regex(R"(libmo::threadFunc error: Exception 0x.* \[code:\d+\])")))
      << messages[r.end];
  EXPECT_EQ(messages[r.end].find(r.exception), std::string("libmo::threadFunc error: ").size());
}

TEST_F(CrashLogTest, FaultOnThreadWithoutTranslatorEndsTheProcessAfterTheReport) {
  testsupport::TempDir logs;
  const crashtest::ChildResult result = crashtest::RunCrashChild({logs.path().string()}, std::chrono::seconds(60));
  EXPECT_TRUE(result == crashtest::AccessFaultCrash())
      << "finished " << result.finished << " exit code " << result.exitCode << " signal " << result.signal;
  const std::string errors = testsupport::ReadFile(logs.path() / "errors.log");
  const Report r = ParseReport(crashtest::Messages(errors));
  ASSERT_TRUE(r.complete) << errors;
  EXPECT_EQ(r.exception.rfind("Exception 0x" + Hex(crashtest::kAccessFaultCode) + " occurred at address 0x", 0), 0u)
      << r.exception;
}

TEST_F(CrashLogTest, ServerTooBusyWritesOnlyItsLine) {
  tezra::ExceptionRecord record{};
  record.ExceptionCode = 1723;
  record.ExceptionAddress = reinterpret_cast<void*>(&crashtest::NullWrite);
  ExceptionHandler handler;
  const std::string text = HandleRecord(handler, record);
  EXPECT_EQ(NewErrors(), std::vector<std::string>{"Error RPC_S_SERVER_TOO_BUSY:1723"});
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(Exception 0x6BB occurred at address 0x[0-9A-F]{8,} .* params: \[code:\d+\])")))
      << text;
}

TEST_F(CrashLogTest, NullExceptionPointersWriteAndThrowNothing) {
  ExceptionHandler handler;
  EXPECT_NO_THROW(handler.Handle(nullptr));
  EXPECT_TRUE(NewErrors().empty());
}

TEST_F(CrashLogTest, DescriptionFormatsCodeAddressLocationAndParameters) {
  tezra::ExceptionRecord record{};
  record.ExceptionCode = 0xE06D7363;
  record.ExceptionAddress = nullptr;  // in no module
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = 1;
  record.ExceptionInformation[1] = 0xDEADBEEF12;
  tezra::ExceptionPointers ep{&record, nullptr};
  EXPECT_EQ(tezra::se::DescribeException(ep),
            "Exception 0xE06D7363 occurred at address 0x00000000 (00:00000000 ) params: 0x00000001, 0xDEADBEEF12");
  record.NumberParameters = 0;
  EXPECT_EQ(tezra::se::DescribeException(ep), "Exception 0xE06D7363 occurred at address 0x00000000 (00:00000000 ) params:");
}

TEST_F(CrashLogTest, RecordWithoutParametersEndsInParams) {
  tezra::ExceptionRecord record{};
  record.ExceptionCode = 0xE0000001;
  record.ExceptionAddress = reinterpret_cast<void*>(&crashtest::NullWrite);
  ExceptionHandler handler;
  const std::string text = HandleRecord(handler, record);
  const Report r = ParseReport(NewErrors());
  ASSERT_TRUE(r.complete) << ErrorsText();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.exception, m, kExceptionLine)) << r.exception;
  EXPECT_EQ(m[6].str(), "");
  EXPECT_EQ(r.exception.substr(r.exception.size() - 9), ") params:");
  EXPECT_EQ(text.rfind(r.exception + " [code:", 0), 0u) << text;
}

TEST_F(CrashLogTest, WithoutDebugLibraryOnlyTheInitialisationErrorFollowsTheException) {
  tezra::callstack::testing::MakeDebugLibraryUnavailable();
  struct Restore {
    ~Restore() { tezra::callstack::testing::RestoreDebugLibrary(); }
  } restore;
  const std::string caught = FaultOnTranslatorThread(&crashtest::NullWrite);
  const std::vector<std::string> messages = NewErrors();
  ASSERT_EQ(messages.size(), 4u) << ErrorsText();
  EXPECT_EQ(messages[0], ">>============ Exception =============");
  EXPECT_TRUE(std::regex_match(messages[1], kExceptionLine)) << messages[1];
  EXPECT_EQ(messages[2], "<<============ Exception =============");
  EXPECT_EQ(messages[3], "ERROR: Error while initializing dbghelp.dll, GetLastError: 0 (Address: 0000000000000000)");
  EXPECT_EQ(caught, messages[1] + " [code:1114]");
}

volatile int recursionSink = 0;

__attribute__((noinline)) int Recurse(int depth, const std::function<void()>& atBottom) {
  if (depth == 0) {
    atBottom();
    return 0;
  }
  const int r = Recurse(depth - 1, atBottom);  // one call site: one return address
  recursionSink = r;
  return r + 1;
}

TEST(StackWalker, EndlessStackGuardStopsAfterTheRecursionLimit) {
  Lines out;
  bool walked = false;
  Recurse(150, [&] {
    tezra::callstack::StackWalker walker(out);
    walked = walker.WalkStack(tezra::CurrentThreadHandle(), nullptr);
  });
  EXPECT_TRUE(walked);
  const std::vector<std::string>& lines = out.lines;
  const auto end = std::find(lines.begin(), lines.end(), "<<============ Call Stack ============");
  ASSERT_NE(end, lines.end());
  ASSERT_GE(end - lines.begin(), 102);
  const std::string error = *(end - 1);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(error, m, std::regex(R"(ERROR: StackWalk64-Endless-CallStack!, GetLastError: -?\d+ \(Address: ([0-9a-f]{16})\))")))
      << error;
  // The 100 frames before it all are the recursion's return address.
  const std::string pc = "[CallStack] 0x" + m[1].str();
  for (auto it = end - 101; it != end - 1; ++it) EXPECT_EQ(it->rfind(pc, 0), 0u) << *it;
  EXPECT_NE((end - 102)->rfind(pc, 0), 0u) << *(end - 102);
}

TEST(StackWalker, CurrentThreadWalkEndsAtTheOutermostFrame) {
  Lines out;
  tezra::callstack::StackWalker walker(out);
  ASSERT_TRUE(walker.WalkStack(tezra::CurrentThreadHandle(), nullptr));
  const std::vector<std::string>& lines = out.lines;
  const auto begin = std::find(lines.begin(), lines.end(), ">>============ Call Stack ============");
  ASSERT_NE(begin, lines.end());
  EXPECT_EQ(lines.back(), "<<============ Call Stack ============");
  EXPECT_EQ(lines.front(), ">>=========== Module List ============");
  bool self = false;
  for (auto it = begin + 1; it != lines.end() - 1; ++it) {
    EXPECT_TRUE(std::regex_match(*it, kFrameLine)) << *it;
    self |= Contains(*it, "crash_test.cpp");
  }
  EXPECT_TRUE(self);
  // A second walk by the same walker lists no modules again.
  out.lines.clear();
  ASSERT_TRUE(walker.WalkStack(tezra::CurrentThreadHandle(), nullptr));
  EXPECT_EQ(out.lines.front(), ">>============ Call Stack ============");
}

TEST(Output, MarkersAndPrefixesAreExact) {
  Lines out;
  out.ModuleListBegin();
  out.ModuleListLine("m");
  out.ModuleListEnd();
  out.CallStackBegin();
  out.CallStackLine("c");
  out.CallStackEnd();
  out.ExceptionBegin();
  out.ExceptionLine("e");
  out.ExceptionEnd();
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           ">>=========== Module List ============", "[ModuleList] m",
                           "<<=========== Module List ============", ">>============ Call Stack ============",
                           "[CallStack] c", "<<============ Call Stack ============",
                           ">>============ Exception =============", "e", "<<============ Exception ============="}));
}

TEST(Handler, RpcRangeNeedsNoDumpAndTheConnectorsHandlerNeverDoes) {
  tezra::ExceptionRecord record{};
  tezra::ExceptionPointers ep{&record, nullptr};
  tezra::se::Handler base;
  ExceptionHandler connector;
  for (uint32_t code : {1699u, 1700u, 1750u, 1791u, 1792u, 0xC0000005u}) {
    record.ExceptionCode = code;
    const bool rpc = code >= 1700 && code <= 1791;
    EXPECT_EQ(base.IsRpcException(&ep), rpc) << code;
    EXPECT_EQ(base.NeedDump(&ep), !rpc) << code;
    EXPECT_FALSE(connector.NeedDump(&ep)) << code;
  }
  EXPECT_EQ(base.GetDumpType(&ep), 0u);
}

TEST(Handler, DumpFileNameIsDatedAndItsFoldersExist) {
  testsupport::TempDir dir;
  crashtest::CurrentDirectory cwd(dir.path());
  tezra::se::Handler handler;
  const libmo::os::LocalTime before = libmo::os::LocalNow();
  const std::string mini = handler.MakeDumpFileName(false);
  const std::string full = handler.MakeDumpFileName(true);
  const libmo::os::LocalTime after = libmo::os::LocalNow();
  const std::string sep = crashtest::DumpSeparatorPattern();
  const std::regex name("^Dumps" + sep + R"((\d{8}))" + sep + R"((mini|full)(\d{6})_(\d{3})\.dmp$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(mini, m, name)) << mini;
  EXPECT_EQ(m[2].str(), "mini");
  const std::string day = m[1].str();
  EXPECT_TRUE(day == crashtest::Day(before) || day == crashtest::Day(after)) << day;
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Dumps" / day));
  ASSERT_TRUE(std::regex_match(full, m, name)) << full;
  EXPECT_EQ(m[2].str(), "full");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / mini));  // named, not written
}

}  // namespace
