#include "crash/debug_libraries_win.h"

namespace tezra::callstack {

bool Library::Load(const std::string& path) {
  Free();
  module_ = ::LoadLibraryA(path.c_str());
  return module_ != nullptr;
}

void Library::Free() {
  if (module_ != nullptr) ::FreeLibrary(module_);
  module_ = nullptr;
}

namespace {

// Loads the first candidate that loads; false when none does.
bool LoadFirst(Library& library, const std::vector<std::string>& candidates) {
  for (const std::string& candidate : candidates) {
    if (library.Load(candidate)) return true;
  }
  library.Free();
  return false;
}

}  // namespace

DebugHelp::DebugHelp() { Load(DefaultDebugHelpSearchList()); }

void DebugHelp::Load(const std::vector<std::string>& candidates) {
  available_ = false;
  if (!LoadFirst(library_, candidates)) return;
  bool all = library_.Resolve("SymInitialize", symInitialize);
  all &= library_.Resolve("SymCleanup", symCleanup);
  all &= library_.Resolve("StackWalk64", stackWalk64);
  all &= library_.Resolve("SymGetOptions", symGetOptions);
  all &= library_.Resolve("SymSetOptions", symSetOptions);
  all &= library_.Resolve("SymFunctionTableAccess64", symFunctionTableAccess64);
  all &= library_.Resolve("SymGetModuleBase64", symGetModuleBase64);
  all &= library_.Resolve("SymGetModuleInfo64", symGetModuleInfo64);
  all &= library_.Resolve("SymGetSymFromAddr64", symGetSymFromAddr64);
  all &= library_.Resolve("UnDecorateSymbolName", unDecorateSymbolName);
  all &= library_.Resolve("SymLoadModule64", symLoadModule64);
  library_.Resolve("SymGetLineFromAddr64", symGetLineFromAddr64);
  library_.Resolve("SymGetSearchPath", symGetSearchPath);
  if (!all) {
    library_.Free();
    return;
  }
  available_ = true;
}

std::vector<std::string> DefaultDebugHelpSearchList() {
  std::vector<std::string> list;
  char exe[MAX_PATH + 1] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string folder(exe, length);
  folder.erase(folder.find_last_of('\\') + 1);  // whole name when there is no '\'
  list.push_back(folder + "dbghelp.dll");
  char programFiles[4096];
  const DWORD n = ::GetEnvironmentVariableA("ProgramFiles", programFiles, sizeof programFiles);
  if (n > 0 && n < sizeof programFiles) {
    const std::string base(programFiles, n);
    list.push_back(base + "\\Debugging Tools for Windows (x64)\\dbghelp.dll");
    list.push_back(base + "\\Debugging Tools for Windows\\dbghelp.dll");
    list.push_back(base + "\\Debugging Tools for Windows 64-Bit\\dbghelp.dll");
  }
  list.push_back("dbghelp.dll");
  return list;
}

ToolHelp::ToolHelp() {
  if (!LoadFirst(library_, {"kernel32.dll", "tlhelp32.dll"})) return;
  available = library_.Resolve("CreateToolhelp32Snapshot", createSnapshot) &&
              library_.Resolve("Module32First", module32First) && library_.Resolve("Module32Next", module32Next);
  if (!available) library_.Free();
}

ProcessStatus::ProcessStatus() {
  if (!LoadFirst(library_, {"psapi.dll"})) return;
  available = library_.Resolve("EnumProcessModules", enumProcessModules) &&
              library_.Resolve("GetModuleFileNameExA", getModuleFileNameExA) &&
              library_.Resolve("GetModuleBaseNameA", getModuleBaseNameA) &&
              library_.Resolve("GetModuleInformation", getModuleInformation);
  if (!available) library_.Free();
}

namespace {
// Built during static initialisation, before main.
DebugHelp debugHelp;
const ToolHelp toolHelp;
const ProcessStatus processStatus;
}  // namespace

const DebugHelp& DebugHelpLibrary() { return debugHelp; }
const ToolHelp& ToolHelpLibrary() { return toolHelp; }
const ProcessStatus& ProcessStatusLibrary() { return processStatus; }

}  // namespace tezra::callstack
