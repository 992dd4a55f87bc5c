#include "crash/code_location.h"

#include <windows.h>

#include <algorithm>

namespace tezra::se {

CodeLocation LocateCode(const void* address) {
  CodeLocation location;
  MEMORY_BASIC_INFORMATION mbi;
  if (::VirtualQuery(address, &mbi, sizeof mbi) == 0 || mbi.AllocationBase == nullptr) return location;
  const auto* base = static_cast<const unsigned char*>(mbi.AllocationBase);
  char path[MAX_PATH + 1] = {};
  const DWORD length = ::GetModuleFileNameA(reinterpret_cast<HMODULE>(mbi.AllocationBase), path, MAX_PATH);
  location.modulePath.assign(path, length);
  if (mbi.Type != MEM_IMAGE) return location;

  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return location;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return location;
  const uint64_t rva = static_cast<uint64_t>(static_cast<const unsigned char*>(address) - base);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    const uint64_t start = section->VirtualAddress;
    const uint64_t end = start + std::max<uint64_t>(section->Misc.VirtualSize, section->SizeOfRawData);
    if (rva >= start && rva <= end) {
      location.section = i + 1u;
      location.offset = rva - start;
      break;
    }
  }
  return location;
}

}  // namespace tezra::se
