#include <algorithm>
#include <cstring>
#include <memory>

#include "crash/debug_libraries_win.h"
#include "crash/stack_walker.h"

namespace tezra::callstack {

namespace {

constexpr DWORD kBufferSize = 8096;

struct FoundModule {
  std::string image;
  std::string module;
  uint64_t base = 0;
  DWORD size = 0;
};

struct HandleCloser {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

std::vector<FoundModule> ModulesByToolHelp(DWORD processId) {
  std::vector<FoundModule> found;
  const ToolHelp& th = ToolHelpLibrary();
  if (!th.available) return found;
  HANDLE raw = th.createSnapshot(TH32CS_SNAPMODULE, processId);
  if (raw == INVALID_HANDLE_VALUE) return found;
  UniqueHandle snapshot(raw);
  MODULEENTRY32 entry;
  std::memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  for (BOOL more = th.module32First(raw, &entry); more; more = th.module32Next(raw, &entry)) {
    found.push_back({entry.szExePath, entry.szModule, reinterpret_cast<uint64_t>(entry.modBaseAddr), entry.modBaseSize});
  }
  return found;
}

// The file version of `image` from its version resource; 0 when it has none.
uint64_t FileVersion(const std::string& image) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(image.c_str(), &ignored);
  if (size == 0) return 0;
  std::vector<char> data(size);
  if (!::GetFileVersionInfoA(image.c_str(), 0, size, data.data())) return 0;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!::VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return 0;
  }
  return (static_cast<uint64_t>(info->dwFileVersionMS) << 32) | info->dwFileVersionLS;
}

}  // namespace

void StackWalker::ListModules() {
  const DebugHelp& dh = DebugHelpLibrary();
  std::vector<FoundModule> found = ModulesByToolHelp(processId_);
  const bool byProcessStatus = found.empty();
  if (byProcessStatus && ProcessStatusLibrary().available) {
    const ProcessStatus& ps = ProcessStatusLibrary();
    std::vector<HMODULE> handles(kBufferSize / sizeof(HMODULE));
    DWORD needed = 0;
    if (ps.enumProcessModules(process_, handles.data(), kBufferSize, &needed)) {
      handles.resize(std::min<size_t>(handles.size(), needed / sizeof(HMODULE)));
      std::vector<char> image(kBufferSize), name(kBufferSize);
      for (HMODULE h : handles) {
        MODULEINFO mi;
        std::memset(&mi, 0, sizeof mi);
        ps.getModuleInformation(process_, h, &mi, sizeof mi);
        image[0] = name[0] = '\0';
        ps.getModuleFileNameExA(process_, h, image.data(), kBufferSize);
        ps.getModuleBaseNameA(process_, h, name.data(), kBufferSize);
        found.push_back({image.data(), name.data(), reinterpret_cast<uint64_t>(mi.lpBaseOfDll), mi.SizeOfImage});
      }
    }
  }
  for (const FoundModule& f : found) {
    if (dh.symLoadModule64(process_, nullptr, f.image.c_str(), f.module.c_str(), f.base, f.size) == 0 &&
        byProcessStatus && ::GetLastError() != ERROR_SUCCESS) {
      ReportError("LoadModule", static_cast<int>(::GetLastError()), 0);
    }
    ModuleEntry m;
    m.imagePath = f.image;
    m.moduleName = f.module;
    m.base = f.base;
    m.size = f.size;
    if ((options_ & kRetrieveFileVersion) != 0) m.fileVersion = FileVersion(f.image);
    IMAGEHLP_MODULE64 info;
    std::memset(&info, 0, sizeof info);
    info.SizeOfStruct = sizeof info;
    if (dh.symGetModuleInfo64(process_, f.base, &info)) {
      m.symType = SymTypeText(info.SymType);
      m.pdbName = info.LoadedPdbName;
    }
    ReportModule(m);
    modules_.push_back(std::move(m));
  }
}

}  // namespace tezra::callstack
