// Crash reports of real faults in real threads, and the report formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "Common/CommonThread.h"
#include "crash/hooks.h"
#include "crash/stack_walker.h"
#include "crash/translator.h"
#include "tests/crash/faults.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

using testsupport::Contains;

namespace {

using namespace crashtest;

// A worker that runs the translator, as every connector thread does.
class FaultingWorker : public libmo::Thread {
 public:
  explicit FaultingWorker(std::function<void()> fault) : fault_(std::move(fault)) {}
  ~FaultingWorker() override { Join(); }

 protected:
  void onStart() override {
    tezra::se::InstallThreadTranslator();
    Thread::onStart();
  }
  void body() override { fault_(); }

 private:
  std::function<void()> fault_;
};

class CrashReport : public ::testing::Test {
 protected:
  // Runs `fault` on a worker; returns the errors log's messages it caused.
  std::vector<std::string> Fault(std::function<void()> fault) {
    const size_t start = logs_.Errors().size();
    FaultingWorker worker(std::move(fault));
    EXPECT_TRUE(worker.Start("FAULT"));
    worker.Join();
    return Messages(logs_.Errors().substr(start));
  }
  testsupport::TestLogs logs_;
};

// The line after the report: the worker's own report of the exception.
std::string Caught(const std::vector<std::string>& messages) {
  for (const std::string& m : messages) {
    if (m.rfind("libmo::threadFunc error: ", 0) == 0) return m.substr(25);
  }
  return "";
}

const std::regex kExceptionLine(
    R"(^Exception 0x([0-9A-F]+) occurred at address 0x([0-9A-F]{8,}) \(([0-9A-F]{2}):([0-9A-F]{8}) (.*)\) params:((?:,? 0x[0-9A-F]{8,})*)$)");
const std::regex kModuleLine(
    R"(^(.+):([^:]*) \(0x[0-9a-f]{16}\), size: \d+, SymType: '[^']*', PDB: '[^']*'(, fileVersion: \d+\.\d+\.\d+\.\d+)?$)");
const std::regex kFrameLine(
    R"(^\[CallStack\] 0x[0-9a-f]{16}  0x[0-9a-f]{16}  \[Module="[^"]*"\] \[Source="[^"]*":\d+\] \[Func=.*\]$)");

TEST_F(CrashReport, FaultIsReportedThenCaughtByTheWorkerAfterUnwindingItsFrames) {
  bool cleaned = false;
  const std::vector<std::string> messages = Fault([&] { NullWriteWithCleanup(cleaned); });
  EXPECT_TRUE(cleaned);
  const Report r = ParseReport(messages);
  ASSERT_TRUE(r.complete) << logs_.Errors();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.exception, m, kExceptionLine)) << r.exception;
  EXPECT_EQ(m[1].str(), Hex(kAccessFaultCode));
  EXPECT_NE(m[3].str(), "00") << r.exception;
  EXPECT_TRUE(Contains(m[5].str(), "crash_test")) << r.exception;
  EXPECT_TRUE(m[6].str().size() >= 11 && m[6].str().substr(m[6].str().size() - 11) == " 0x00000000") << r.exception;
  EXPECT_EQ(Caught(messages).rfind(r.exception + " [code:", 0), 0u) << Caught(messages);

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
    faultFrame |= Contains(line, "NullWriteWithCleanup") && Contains(line, "faults.cpp");
  }
  EXPECT_TRUE(faultFrame) << logs_.Errors();

  // Each fault lists the modules again; a division has no parameters.
  volatile int zero = 0;
  const Report d = ParseReport(Fault([&] { Divide(zero); }));
  ASSERT_TRUE(d.complete) << logs_.Errors();
  EXPECT_EQ(d.exception.rfind("Exception 0x" + Hex(kDivideFaultCode) + " occurred at address 0x", 0), 0u);
  EXPECT_EQ(d.exception.substr(d.exception.size() - 9), ") params:") << d.exception;
}

TEST_F(CrashReport, CallThroughANullPointerIsWalkedFromItsReturnAddress) {
  const std::vector<std::string> messages = Fault(&CallNull);
  const Report r = ParseReport(messages);
  ASSERT_TRUE(r.complete) << logs_.Errors();
  EXPECT_EQ(r.exception.rfind("Exception 0x" + Hex(kAccessFaultCode) + " occurred at address 0x00000000 (00:", 0), 0u)
      << r.exception;
  EXPECT_TRUE(std::any_of(r.frames.begin(), r.frames.end(),
                          [](const std::string& f) { return Contains(f, "[Func=crashtest::CallNull"); }))
      << logs_.Errors();
  EXPECT_EQ(Caught(messages).rfind(r.exception + " [code:", 0), 0u) << logs_.Errors();
}

TEST_F(CrashReport, WithoutDebugLibraryOnlyTheInitialisationErrorFollowsTheException) {
  tezra::hooks::SetDebugLibraryEnabled(false);
  const std::vector<std::string> messages = Fault(&NullWrite);
  tezra::hooks::SetDebugLibraryEnabled(true);
  ASSERT_GE(messages.size(), 5u) << logs_.Errors();
  EXPECT_EQ(messages[0], ">>============ Exception =============");
  EXPECT_TRUE(std::regex_match(messages[1], kExceptionLine)) << messages[1];
  EXPECT_TRUE(InNullWrite(std::stoull(messages[1].substr(messages[1].find("address 0x") + 10), nullptr, 16)));
  EXPECT_EQ(messages[2], "<<============ Exception =============");
  EXPECT_EQ(messages[3], "ERROR: Error while initializing dbghelp.dll, GetLastError: 0 (Address: 0000000000000000)");
  EXPECT_EQ(Caught(messages), messages[1] + " [code:1114]");
}

TEST_F(CrashReport, ServerTooBusyWritesOnlyItsLineAndNullPointersNothing) {
  tezra::ExceptionRecord record{};
  record.ExceptionCode = 1723;
  record.ExceptionAddress = reinterpret_cast<void*>(&NullWrite);
  ExceptionHandler handler;
  const size_t start = logs_.Errors().size();
  EXPECT_NO_THROW(handler.Handle(nullptr));
  std::string text;
  WithOwnContext([&](tezra::ThreadContext& context) {
    tezra::ExceptionPointers ep{&record, &context};
    try {
      handler.Handle(&ep);
    } catch (const std::runtime_error& e) {
      text = e.what();
    }
  });
  EXPECT_EQ(Messages(logs_.Errors().substr(start)), std::vector<std::string>{"Error RPC_S_SERVER_TOO_BUSY:1723"});
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(Exception 0x6BB occurred at address 0x[0-9A-F]{8,} .* params: \[code:\d+\])")))
      << text;
}

TEST(CrashDescription, FormatsCodeAddressLocationAndParameters) {
  tezra::ExceptionRecord record{};
  record.ExceptionCode = 0xE06D7363;
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = 1;
  record.ExceptionInformation[1] = 0xDEADBEEF12;
  tezra::ExceptionPointers ep{&record, nullptr};
  EXPECT_EQ(tezra::se::DescribeException(ep),
            "Exception 0xE06D7363 occurred at address 0x00000000 (00:00000000 ) params: 0x00000001, 0xDEADBEEF12");
  record.NumberParameters = 0;
  EXPECT_EQ(tezra::se::DescribeException(ep), "Exception 0xE06D7363 occurred at address 0x00000000 (00:00000000 ) params:");
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
  Recurse(150, [&] {
    tezra::callstack::StackWalker walker(out);
    EXPECT_TRUE(walker.WalkStack(tezra::CurrentThreadHandle(), nullptr));
  });
  const std::vector<std::string>& lines = out.lines;
  const auto end = std::find(lines.begin(), lines.end(), "<<============ Call Stack ============");
  ASSERT_TRUE(end != lines.end() && end - lines.begin() >= 102);
  std::smatch m;
  const std::string error = *(end - 1);
  ASSERT_TRUE(std::regex_match(error, m, std::regex(R"(ERROR: StackWalk64-Endless-CallStack!, GetLastError: -?\d+ \(Address: ([0-9a-f]{16})\))")))
      << error;
  // The 100 frames before it all are the recursion's return address.
  const std::string pc = "[CallStack] 0x" + m[1].str();
  for (auto it = end - 101; it != end - 1; ++it) EXPECT_EQ(it->rfind(pc, 0), 0u) << *it;
  EXPECT_NE((end - 102)->rfind(pc, 0), 0u) << *(end - 102);
}

TEST(CrashHandler, RpcRangeNeedsNoDumpAndTheConnectorsHandlerNeverDoes) {
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

// A fault whose report cannot finish, or that faults itself, still ends the process, in a few seconds and with a line
// on standard error.
TEST(CrashChild, EveryFaultEndsTheProcessInBoundedTimeWithWhatWasWritten) {
  struct Case {
    const char* mode;
    const char* stderrText;  // null: nothing expected
    bool exceptionWritten;
    bool completeReport;
    const char* frameText = "";  // in some call stack line
  };
  // No return address into a module: found by the stack scan, or the line that says why there is none.
  std::vector<Case> cases = {{"unhandled", nullptr, true, true},
                             {"lost-caller", nullptr, true, true, "[Scanned]"},
                             {"lost-stack", nullptr, true, true, "] No frame: the unwinder reached no code"},
                             {"report-locked", "Crash report did not finish in time; the process ends.\n", false, false}};
  // ThreadSanitizer owns a fault raised inside a signal handler and ends the process itself, so the report's own exit
  // line is not ours to check there.
#if !defined(_WIN32) && !defined(__SANITIZE_THREAD__)
  cases.push_back({"report-fault", "Crash report failed: a fault inside the report.\n", true, false});
#endif
  for (const Case& c : cases) {
    testsupport::TempDir logs;
    const auto start = std::chrono::steady_clock::now();
    const ChildResult result = RunCrashChild({c.mode, logs.path().string()}, std::chrono::seconds(60));
    EXPECT_TRUE(result == AccessFaultCrash()) << c.mode << ": finished " << result.finished << " exit code "
                                              << result.exitCode << " signal " << result.signal;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << c.mode;
    const std::string errors = testsupport::ReadFile(logs.path() / "errors.log");
    if (c.stderrText != nullptr) {
      EXPECT_EQ(c.stderrText, testsupport::ReadFile(logs.path() / "stderr.txt")) << c.mode;
    }
    const Report r = ParseReport(Messages(errors));
    EXPECT_EQ(c.completeReport, r.complete) << c.mode << "\n" << errors;
    EXPECT_TRUE(!c.completeReport || std::any_of(r.frames.begin(), r.frames.end(), [&](const std::string& f) {
      return Contains(f, c.frameText) && (c.frameText[0] != '[' || Contains(f, "crash_child"));
    })) << c.mode << "\n" << errors;
    EXPECT_EQ(c.exceptionWritten, Contains(errors, "): Exception 0x" + Hex(kAccessFaultCode))) << c.mode << errors;
  }
}

}  // namespace
