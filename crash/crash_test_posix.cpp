// POSIX-only behaviour of the crash reports.
#include <gtest/gtest.h>
#include <link.h>
#include <pthread.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "crash/crash_test_util.h"
#include "crash/exception_handler.h"
#include "crash/test_support.h"

namespace {

using crashtest::CrashLogTest;
using crashtest::Lines;

class QuietHandler : public tezra::se::Handler {
 public:
  explicit QuietHandler(std::shared_ptr<Lines> lines) { output = std::move(lines); }
};

TEST(PosixHandler, BaseHandlerWritesNoDumpFile) {
  testsupport::TempDir dir;
  crashtest::CurrentDirectory cwd(dir.path());
  auto lines = std::make_shared<Lines>();
  QuietHandler handler(lines);
  tezra::ExceptionRecord record{};
  record.ExceptionCode = crashtest::kAccessFaultCode;
  tezra::ExceptionPointers ep{&record, nullptr};
  ASSERT_TRUE(handler.NeedDump(&ep));
  handler.WriteDump(&ep);
  crashtest::WithOwnContext([&](tezra::ThreadContext& context) {
    ep.ContextRecord = &context;
    EXPECT_THROW(handler.Handle(&ep), std::runtime_error);
  });
  EXPECT_FALSE(lines->lines.empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  EXPECT_EQ(tezra::se::DumpStatus(), 8);
}

TEST(PosixStackWalker, AnotherThreadsStackCannotBeWalked) {
  const pthread_t self = pthread_self();
  Lines out;
  bool walked = true;
  std::thread other([&] {
    tezra::callstack::StackWalker walker(out);
    walked = walker.WalkStack(self, nullptr);
  });
  other.join();
  EXPECT_FALSE(walked);
  EXPECT_EQ(std::count(out.lines.begin(), out.lines.end(), ">>============ Call Stack ============"), 0);
}

struct Segment {
  uint64_t address;
  unsigned index = 0;
  uint64_t offset = 0;
};

int FindSegment(dl_phdr_info* info, size_t, void* data) {
  auto* s = static_cast<Segment*>(data);
  unsigned index = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    ++index;
    const uint64_t start = info->dlpi_addr + ph.p_vaddr;
    if (s->address >= start && s->address < start + ph.p_memsz) {
      s->index = index;
      s->offset = s->address - start;
      return 1;
    }
  }
  return 0;
}

TEST(PosixHandler, SectionIsTheLoadSegmentOfTheAddress) {
  Segment expected{reinterpret_cast<uint64_t>(&crashtest::NullWrite)};
  dl_iterate_phdr(&FindSegment, &expected);
  ASSERT_NE(expected.index, 0u);
  tezra::ExceptionRecord record{};
  record.ExceptionAddress = reinterpret_cast<void*>(&crashtest::NullWrite);
  tezra::ExceptionPointers ep{&record, nullptr};
  char location[64];
  std::snprintf(location, sizeof location, " (%02X:%08llX ", expected.index,
                static_cast<unsigned long long>(expected.offset));
  const std::string description = tezra::se::DescribeException(ep);
  EXPECT_NE(description.find(location), std::string::npos) << description << " / " << location;
  EXPECT_NE(description.find(std::filesystem::read_symlink("/proc/self/exe").string() + ") params:"),
            std::string::npos)
      << description;
}

TEST(PosixStackWalker, ModuleListNamesTheProgramWithItsDebugInformation) {
  Lines out;
  tezra::callstack::StackWalker walker(out);
  ASSERT_TRUE(walker.WalkStack(tezra::CurrentThreadHandle(), nullptr));
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string expected = "[ModuleList] " + self + ":" + std::filesystem::path(self).filename().string() + " (0x";
  bool found = false;
  for (const std::string& line : out.lines) {
    if (line.rfind(expected, 0) != 0) continue;
    found = true;
    EXPECT_NE(line.find(", SymType: 'DIA', PDB: ''"), std::string::npos) << line;
    EXPECT_EQ(line.find("fileVersion"), std::string::npos) << line;
  }
  EXPECT_TRUE(found);
}

}  // namespace
