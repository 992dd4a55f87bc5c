// Windows-only behaviour of the crash reports: minidumps, version resources,
// PE sections, walks of other threads and of crafted contexts.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>

#include "crash/crash_test_util.h"
#include "crash/exception_handler.h"
#include "crash/test_support.h"

// A leaf without unwind information: the walker takes its return address
// from the stack pointer.
extern "C" void crashtest_EndlessLeaf();
asm(R"(
    .text
    .globl crashtest_EndlessLeaf
crashtest_EndlessLeaf:
    ret
)");

namespace {

namespace fs = std::filesystem;
using crashtest::CrashLogTest;
using crashtest::Lines;

class QuietHandler : public tezra::se::Handler {
 public:
  explicit QuietHandler(std::shared_ptr<Lines> lines) { output = std::move(lines); }
};

std::vector<fs::path> DumpFiles(const fs::path& dir) {
  std::vector<fs::path> files;
  if (!fs::exists(dir / "Dumps")) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir / "Dumps")) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  return files;
}

void ExpectOneMiniDump(const fs::path& dir) {
  const std::vector<fs::path> files = DumpFiles(dir);
  ASSERT_EQ(files.size(), 1u);
  const fs::path& file = files[0];
  EXPECT_TRUE(std::regex_match(file.filename().string(), std::regex(R"(mini\d{6}_\d{3}\.dmp)"))) << file;
  EXPECT_TRUE(std::regex_match(file.parent_path().filename().string(), std::regex(R"(\d{8})"))) << file;
  EXPECT_EQ(file.parent_path().parent_path(), dir / "Dumps");
  EXPECT_EQ(testsupport::ReadFile(file).substr(0, 4), "MDMP");  // the minidump signature
}

tezra::ExceptionRecord AccessViolation() {
  tezra::ExceptionRecord record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(&crashtest::NullWrite);
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = 1;
  return record;
}

TEST_F(CrashLogTest, BaseHandlerWritesAMiniDumpOfAnAccessViolation) {
  testsupport::TempDir dir;
  crashtest::CurrentDirectory cwd(dir.path());
  auto lines = std::make_shared<Lines>();
  QuietHandler handler(lines);
  tezra::ExceptionRecord record = AccessViolation();
  EXPECT_EQ(crashtest::HandleRecord(handler, record).rfind("Exception 0xC0000005 occurred at address 0x", 0), 0u);
  EXPECT_EQ(tezra::se::DumpStatus(), 0);
  ExpectOneMiniDump(dir.path());
  EXPECT_EQ(lines->lines.front(), ">>============ Exception =============");  // the dump comes first
}

TEST_F(CrashLogTest, BaseHandlerWritesNoDumpOfAnRpcStatus) {
  testsupport::TempDir dir;
  crashtest::CurrentDirectory cwd(dir.path());
  QuietHandler handler(std::make_shared<Lines>());
  tezra::ExceptionRecord record{};
  record.ExceptionCode = 1750;
  crashtest::HandleRecord(handler, record);
  EXPECT_FALSE(fs::exists(dir.path() / "Dumps"));
}

TEST_F(CrashLogTest, ConnectorHandlerWritesNoDump) {
  testsupport::TempDir dir;
  crashtest::CurrentDirectory cwd(dir.path());
  ExceptionHandler handler;
  tezra::ExceptionRecord record = AccessViolation();
  crashtest::HandleRecord(handler, record);
  EXPECT_TRUE(crashtest::ParseReport(NewErrors()).complete);
  EXPECT_FALSE(fs::exists(dir.path() / "Dumps"));
}

TEST_F(CrashLogTest, DumpWithoutExceptionInformationUsesTheDumpThreadsOwnFault) {
  testsupport::TempDir dir;
  crashtest::CurrentDirectory cwd(dir.path());
  QuietHandler handler(std::make_shared<Lines>());
  handler.WriteDump(nullptr);
  EXPECT_EQ(tezra::se::DumpStatus(), 0);
  ExpectOneMiniDump(dir.path());
}

TEST(WindowsStackWalker, CraftedContextWhoseReturnAddressIsItsPcTripsTheGuard) {
  const auto leaf = reinterpret_cast<DWORD64>(&crashtest_EndlessLeaf);
  alignas(16) static DWORD64 stack[300];
  for (DWORD64& slot : stack) slot = leaf;
  CONTEXT context;
  ::RtlCaptureContext(&context);
  context.Rip = leaf;
  context.Rsp = reinterpret_cast<DWORD64>(&stack[0]);
  Lines out;
  tezra::callstack::StackWalker walker(out);
  ASSERT_TRUE(walker.WalkStack(::GetCurrentThread(), &context));
  const std::vector<std::string>& lines = out.lines;
  ASSERT_GE(lines.size(), 103u);
  EXPECT_EQ(lines.back(), "<<============ Call Stack ============");
  char error[128];
  std::snprintf(error, sizeof error, "(Address: %016llx)", static_cast<unsigned long long>(leaf));
  const std::string& last = lines[lines.size() - 2];
  EXPECT_EQ(last.rfind("ERROR: StackWalk64-Endless-CallStack!, GetLastError: ", 0), 0u) << last;
  EXPECT_NE(last.find(error), std::string::npos) << last;
  char pc[64];
  std::snprintf(pc, sizeof pc, "[CallStack] 0x%016llx  ", static_cast<unsigned long long>(leaf));
  for (size_t i = lines.size() - 102; i < lines.size() - 2; ++i) EXPECT_EQ(lines[i].rfind(pc, 0), 0u) << lines[i];
  EXPECT_EQ(lines[lines.size() - 103], ">>============ Call Stack ============");
}

TEST(WindowsStackWalker, ModuleListShowsTheProgramsFileVersion) {
  Lines out;
  tezra::callstack::StackWalker walker(out);
  ASSERT_TRUE(walker.WalkStack(::GetCurrentThread(), nullptr));
  bool found = false;
  for (const std::string& line : out.lines) {
    if (line.find("crash_test.exe (0x") == std::string::npos) continue;
    found = true;
    EXPECT_EQ(line.substr(line.size() - 23), ", fileVersion: 2.0.0.19") << line;
  }
  EXPECT_TRUE(found);
}

TEST(WindowsStackWalker, WalksAnotherThreadWhileItIsSuspended) {
  HANDLE release = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(release, nullptr);
  HANDLE thread = ::CreateThread(
      nullptr, 0, [](void* event) -> DWORD { return ::WaitForSingleObject(static_cast<HANDLE>(event), INFINITE); },
      release, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  Lines out;
  bool walked = false;
  {
    tezra::callstack::StackWalker walker(out);
    walked = walker.WalkStack(thread, nullptr);
  }
  ::SetEvent(release);
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
  ::CloseHandle(release);
  EXPECT_TRUE(walked);
  const auto begin = std::find(out.lines.begin(), out.lines.end(), ">>============ Call Stack ============");
  ASSERT_NE(begin, out.lines.end());
  ASSERT_NE(begin + 1, out.lines.end());
  EXPECT_EQ((begin + 1)->rfind("[CallStack] 0x", 0), 0u) << *(begin + 1);
  EXPECT_EQ(out.lines.back(), "<<============ Call Stack ============");
}

TEST(WindowsHandler, SectionAndOffsetComeFromThePeSectionHeaders) {
  const auto* base = reinterpret_cast<const unsigned char*>(::GetModuleHandleA(nullptr));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto address = reinterpret_cast<const unsigned char*>(&crashtest::NullWrite);
  const DWORD rva = static_cast<DWORD>(address - base);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  unsigned index = 0;
  DWORD offset = 0;
  for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
    if (rva >= section[i].VirtualAddress && rva < section[i].VirtualAddress + section[i].Misc.VirtualSize) {
      index = i + 1;
      offset = rva - section[i].VirtualAddress;
      break;
    }
  }
  ASSERT_NE(index, 0u);
  EXPECT_EQ(std::strncmp(reinterpret_cast<const char*>(section[index - 1].Name), ".text", 5), 0);
  char module[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, module, MAX_PATH);
  char expected[512];
  std::snprintf(expected, sizeof expected, " (%02X:%08lX %s) params:", index, static_cast<unsigned long>(offset), module);
  tezra::ExceptionRecord record{};
  record.ExceptionAddress = const_cast<unsigned char*>(address);
  tezra::ExceptionPointers ep{&record, nullptr};
  const std::string description = tezra::se::DescribeException(ep);
  EXPECT_NE(description.find(expected), std::string::npos) << description << " / " << expected;
}

}  // namespace
