// POSIX-only parts of the crash reports: ELF segments as sections, the program's module line.
#include <gtest/gtest.h>
#include <link.h>

#include <cstdio>
#include <filesystem>

#include "crash/exception_handler.h"
#include "tests/crash/faults.h"

namespace {

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

TEST(PosixCrash, SectionIsTheLoadSegmentAndTheProgramsModuleLineHasItsDebugInformation) {
  Segment expected{reinterpret_cast<uint64_t>(&crashtest::NullWrite)};
  dl_iterate_phdr(&FindSegment, &expected);
  ASSERT_NE(expected.index, 0u);
  tezra::ExceptionRecord record{};
  record.ExceptionAddress = reinterpret_cast<void*>(&crashtest::NullWrite);
  tezra::ExceptionPointers ep{&record, nullptr};
  char location[64];
  std::snprintf(location, sizeof location, " (%02X:%08llX ", expected.index,
                static_cast<unsigned long long>(expected.offset));
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string description = tezra::se::DescribeException(ep);
  EXPECT_NE(description.find(location + self + ") params:"), std::string::npos) << description << " / " << location;

  crashtest::Lines out;
  tezra::callstack::StackWalker walker(out);
  ASSERT_TRUE(walker.WalkStack(tezra::CurrentThreadHandle(), nullptr));
  const std::string line = "[ModuleList] " + self + ":" + std::filesystem::path(self).filename().string() + " (0x";
  const auto own = std::find_if(out.lines.begin(), out.lines.end(), [&](const std::string& l) { return l.rfind(line, 0) == 0; });
  ASSERT_NE(own, out.lines.end());
  EXPECT_EQ(own->substr(own->size() - 25), ", SymType: 'DIA', PDB: ''") << *own;  // ELF files have no version
}

}  // namespace
