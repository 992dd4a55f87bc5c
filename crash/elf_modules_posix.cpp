#include "crash/elf_modules_posix.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "Common/unique_fd_posix.h"

namespace tezra::callstack {

namespace {

std::string MainProgramPath() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

int AddObject(dl_phdr_info* info, size_t, void* data) {
  auto* objects = static_cast<std::vector<LoadedObject>*>(data);
  LoadedObject o;
  o.mainProgram = objects->empty() && (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0');
  o.path = o.mainProgram ? MainProgramPath() : std::string(info->dlpi_name != nullptr ? info->dlpi_name : "");
  uint64_t low = UINT64_MAX, high = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const uint64_t start = info->dlpi_addr + ph.p_vaddr;
    o.segments.push_back({start, ph.p_memsz, ph.p_filesz});
    low = std::min(low, start);
    high = std::max(high, start + ph.p_memsz);
  }
  if (o.segments.empty()) return 0;
  o.base = low;
  o.size = high - low;
  objects->push_back(std::move(o));
  return 0;
}

bool ReadAt(int fd, uint64_t offset, void* out, size_t size) {
  return ::pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

}  // namespace

std::vector<LoadedObject> LoadedObjects() {
  std::vector<LoadedObject> objects;
  ::dl_iterate_phdr(&AddObject, &objects);
  return objects;
}

const LoadedObject* FindObject(const std::vector<LoadedObject>& objects, uint64_t address) {
  for (const LoadedObject& o : objects) {
    for (const LoadSegment& s : o.segments) {
      if (address >= s.start && address - s.start < std::max(s.memorySize, s.fileSize)) return &o;
    }
  }
  return nullptr;
}

const char* SymbolKind(const std::string& path) {
  libmo::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  Elf64_Ehdr eh;
  if (!fd.Valid() || !ReadAt(fd.Get(), 0, &eh, sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shstrndx >= eh.e_shnum) {
    return "-unknown-";
  }
  std::vector<Elf64_Shdr> sections(eh.e_shnum);
  if (!ReadAt(fd.Get(), eh.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) return "-unknown-";
  const Elf64_Shdr& names = sections[eh.e_shstrndx];
  std::string strings(names.sh_size, '\0');
  if (!ReadAt(fd.Get(), names.sh_offset, strings.data(), strings.size())) return "-unknown-";
  bool symtab = false, dynsym = false;
  for (const Elf64_Shdr& s : sections) {
    if (s.sh_name >= strings.size()) continue;
    const char* name = strings.c_str() + s.sh_name;
    if (std::strcmp(name, ".debug_info") == 0) return "DIA";
    symtab |= s.sh_type == SHT_SYMTAB;
    dynsym |= s.sh_type == SHT_DYNSYM;
  }
  return symtab ? "SYM" : dynsym ? "-exported-" : "-nosymbols-";
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace tezra::callstack
