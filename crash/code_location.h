// Where an address lies: its module and the module's section.
#pragma once

#include <cstdint>
#include <string>

namespace tezra::se {

struct CodeLocation {
  unsigned section = 0;  // from 1; 0 when the address lies in no section
  uint64_t offset = 0;   // from the section's start; 0 with section 0
  std::string modulePath;  // empty when no module holds the address
};

// Windows: the module is the allocation base of the address's memory region,
// the section the first PE section whose range (virtual address to virtual
// address plus the larger of virtual and raw size, both ends inclusive) holds
// the address. POSIX: the ELF object and its loadable segment.
CodeLocation LocateCode(const void* address);

}  // namespace tezra::se
