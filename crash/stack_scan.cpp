// The stack walker's last resort: finding return addresses on the stack by
// their look (a word that points just after a call instruction in a module).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crash/stack_walker.h"

namespace tezra::callstack {

namespace {

constexpr uint64_t kPage = 4096;

// The length of the indirect call (FF /2) whose opcode is `code[0]`, from its
// ModRM byte and the addressing that follows; 0 when it is no such call.
size_t IndirectCallLength(const unsigned char* code) {
  if (code[0] != 0xFF || ((code[1] >> 3) & 7) != 2) return 0;
  const unsigned mod = code[1] >> 6, rm = code[1] & 7;
  if (mod == 3) return 2;  // call register
  const bool sib = rm == 4;
  size_t length = 2 + (sib ? 1 : 0);
  if (mod == 1) return length + 1;
  if (mod == 2 || (mod == 0 && rm == 5) || (mod == 0 && sib && (code[2] & 7) == 5)) return length + 4;
  return length;
}

}  // namespace

bool StackWalker::InModule(uint64_t address) const {
  for (const ModuleEntry& m : modules_) {
    if (address >= m.base + 8 && address - m.base < m.size) return true;
  }
  return false;
}

bool StackWalker::AfterCall(uint64_t address) const {
  if (!InModule(address)) return false;
  // The seven bytes before: a direct call (E8 rel32) to code in a module
  // ends there, or an indirect one of two to seven bytes (a REX prefix
  // before it changes nothing at its end).
  unsigned char code[7];
  if (ReadOwnMemory(address - sizeof code, code, sizeof code) != sizeof code) return false;
  int32_t offset;
  std::memcpy(&offset, code + 3, sizeof offset);
  if (code[2] == 0xE8 && InModule(address + static_cast<uint64_t>(static_cast<int64_t>(offset)))) return true;
  for (size_t length = 2; length <= 7; ++length) {
    if (IndirectCallLength(code + sizeof code - length) == length) return true;
  }
  return false;
}

void StackWalker::ScanStack(uint64_t stackPointer, const ResolveFn& resolve) {
  size_t found = 0;
  uint64_t at = stackPointer & ~uint64_t{7};
  const uint64_t end = at + kScanBytes;
  while (at != 0 && at < end && found < kMaxScanned) {
    // A page at a time: a page is readable as a whole or not at all.
    uint64_t words[kPage / 8];
    const size_t want = static_cast<size_t>(std::min(end, (at + kPage) & ~(kPage - 1)) - at);
    const size_t got = ReadOwnMemory(at, words, want) / 8;
    for (size_t i = 0; i < got && found < kMaxScanned; ++i) {
      if (!AfterCall(words[i])) continue;
      RawFrame raw;
      raw.pc = words[i];
      raw.frame = at + 8 * i;
      raw.lookup = raw.pc - 1;
      FrameEntry entry;
      entry.pc = raw.pc;
      entry.frame = raw.frame;
      entry.scanned = true;
      resolve(raw, entry);
      ReportFrame(FrameKind::Next, entry);
      ++found;
    }
    at += got * 8;
    if (got * 8 < want) break;
  }
  char line[256];
  const unsigned long long read = at - (stackPointer & ~uint64_t{7});
  if (found == kMaxScanned) {
    std::snprintf(line, sizeof line, "The stack scan stopped after %zu frames.", kMaxScanned);
  } else if (found != 0) {
    return;
  } else if (read == 0) {
    std::snprintf(line, sizeof line,
                  "No frame: the unwinder reached no code in a module, and the stack pointer 0x%016llx points at "
                  "no readable memory.",
                  static_cast<unsigned long long>(stackPointer));
  } else {
    std::snprintf(line, sizeof line,
                  "No frame: the unwinder reached no code in a module, and no return address into one was found "
                  "in the %llu bytes of stack read from 0x%016llx.",
                  read, static_cast<unsigned long long>(stackPointer));
  }
  output_.CallStackLine(line);
}

}  // namespace tezra::callstack
