#include "crash/code_location.h"

#include <dlfcn.h>

#include <algorithm>

#include "crash/elf_modules_posix.h"

namespace tezra::se {

CodeLocation LocateCode(const void* address) {
  CodeLocation location;
  Dl_info info;
  if (address == nullptr || ::dladdr(address, &info) == 0) return location;
  const uint64_t at = reinterpret_cast<uint64_t>(address);
  const std::vector<callstack::LoadedObject> objects = callstack::LoadedObjects();
  const callstack::LoadedObject* object = callstack::FindObject(objects, at);
  if (object == nullptr) {
    location.modulePath = info.dli_fname != nullptr ? info.dli_fname : "";
    return location;
  }
  location.modulePath = object->mainProgram || info.dli_fname == nullptr ? object->path : info.dli_fname;
  for (size_t i = 0; i < object->segments.size(); ++i) {
    const callstack::LoadSegment& s = object->segments[i];
    if (at >= s.start && at - s.start <= std::max(s.memorySize, s.fileSize)) {
      location.section = static_cast<unsigned>(i + 1);
      location.offset = at - s.start;
      break;
    }
  }
  return location;
}

}  // namespace tezra::se
