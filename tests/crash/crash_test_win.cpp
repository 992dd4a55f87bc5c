// Windows-only parts of the crash reports: minidumps, PE sections, version resources.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>

#include "crash/exception_handler.h"
#include "tests/crash/faults.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

class QuietHandler : public tezra::se::Handler {
 public:
  QuietHandler() { output = std::make_shared<crashtest::Lines>(); }
};

TEST(WindowsCrash, BaseHandlerWritesAMiniDumpUnderTheDatedFolder) {
  testsupport::TempDir dir;
  const fs::path saved = fs::current_path();
  fs::current_path(dir.path());
  QuietHandler handler;
  tezra::ExceptionRecord record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(&crashtest::NullWrite);
  crashtest::WithOwnContext([&](tezra::ThreadContext& context) {
    tezra::ExceptionPointers ep{&record, &context};
    EXPECT_THROW(handler.Handle(&ep), std::runtime_error);
  });
  EXPECT_EQ(tezra::se::DumpStatus(), 0);
  fs::current_path(saved);
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir.path() / "Dumps")) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0].filename().string(), std::regex(R"(mini\d{6}_\d{3}\.dmp)"))) << files[0];
  EXPECT_TRUE(std::regex_match(files[0].parent_path().filename().string(), std::regex(R"(\d{8})"))) << files[0];
  EXPECT_EQ(files[0].parent_path().parent_path(), dir.path() / "Dumps");
  EXPECT_EQ(testsupport::ReadFile(files[0]).substr(0, 4), "MDMP");  // the minidump signature
}

TEST(WindowsCrash, SectionComesFromThePeHeadersAndTheModuleLineShowsTheFileVersion) {
  const auto* base = reinterpret_cast<const unsigned char*>(::GetModuleHandleA(nullptr));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto address = reinterpret_cast<const unsigned char*>(&crashtest::NullWrite);
  const DWORD rva = static_cast<DWORD>(address - base);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  unsigned index = 0;
  while (index < nt->FileHeader.NumberOfSections &&
         !(rva >= section[index].VirtualAddress && rva < section[index].VirtualAddress + section[index].Misc.VirtualSize)) {
    ++index;
  }
  ASSERT_LT(index, nt->FileHeader.NumberOfSections);
  EXPECT_EQ(std::strncmp(reinterpret_cast<const char*>(section[index].Name), ".text", 5), 0);
  char module[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, module, MAX_PATH);
  char expected[512];
  std::snprintf(expected, sizeof expected, " (%02X:%08lX %s) params:", index + 1,
                static_cast<unsigned long>(rva - section[index].VirtualAddress), module);
  tezra::ExceptionRecord record{};
  record.ExceptionAddress = const_cast<unsigned char*>(address);
  tezra::ExceptionPointers ep{&record, nullptr};
  const std::string description = tezra::se::DescribeException(ep);
  EXPECT_NE(description.find(expected), std::string::npos) << description << " / " << expected;

  crashtest::Lines out;
  tezra::callstack::StackWalker walker(out);
  ASSERT_TRUE(walker.WalkStack(::GetCurrentThread(), nullptr));
  const auto own = std::find_if(out.lines.begin(), out.lines.end(),
                                [](const std::string& l) { return l.find("crash_test.exe (0x") != std::string::npos; });
  ASSERT_NE(own, out.lines.end());
  EXPECT_EQ(own->substr(own->size() - 23), ", fileVersion: 2.0.0.19") << *own;
}

}  // namespace
