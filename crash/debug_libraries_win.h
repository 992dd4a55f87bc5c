// The run-time libraries of the stack walker on Windows: the debug help
// library, tool help and process status. Each is loaded once during static
// initialisation and freed at process exit; each is unavailable when its
// library or one of its required functions is missing.
#pragma once

#include <windows.h>

#include <dbghelp.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace tezra::callstack {

// An owned module handle (LoadLibraryA / FreeLibrary).
class Library {
 public:
  Library() = default;
  ~Library() { Free(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Load(const std::string& path);
  void Free();
  bool loaded() const { return module_ != nullptr; }

  // Sets `fn` to the exported function `name`; false (and null) when missing.
  template <typename Fn>
  bool Resolve(const char* name, Fn& fn) const {
    FARPROC proc = module_ != nullptr ? ::GetProcAddress(module_, name) : nullptr;
    fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
    return proc != nullptr;
  }

 private:
  HMODULE module_ = nullptr;
};

// The debug help library, from the first candidate that loads.
class DebugHelp {
 public:
  DebugHelp();  // loads from DefaultDebugHelpSearchList()

  bool available() const { return available_; }

  // Required.
  decltype(&::SymInitialize) symInitialize = nullptr;
  decltype(&::SymCleanup) symCleanup = nullptr;
  decltype(&::StackWalk64) stackWalk64 = nullptr;
  decltype(&::SymGetOptions) symGetOptions = nullptr;
  decltype(&::SymSetOptions) symSetOptions = nullptr;
  decltype(&::SymFunctionTableAccess64) symFunctionTableAccess64 = nullptr;
  decltype(&::SymGetModuleBase64) symGetModuleBase64 = nullptr;
  decltype(&::SymGetModuleInfo64) symGetModuleInfo64 = nullptr;
  decltype(&::SymGetSymFromAddr64) symGetSymFromAddr64 = nullptr;
  decltype(&::UnDecorateSymbolName) unDecorateSymbolName = nullptr;
  decltype(&::SymLoadModule64) symLoadModule64 = nullptr;
  // Optional: null when the library lacks them.
  decltype(&::SymGetLineFromAddr64) symGetLineFromAddr64 = nullptr;
  decltype(&::SymGetSearchPath) symGetSearchPath = nullptr;

 private:
  // Loads the first of `candidates` that loads; unavailable when none does
  // or a required function is missing.
  void Load(const std::vector<std::string>& candidates);

  Library library_;
  bool available_ = false;
};

// "dbghelp.dll" in the executable's folder; under %ProgramFiles% (when set):
// "Debugging Tools for Windows (x64)", "Debugging Tools for Windows" and
// "Debugging Tools for Windows 64-Bit"; then "dbghelp.dll" by the system's
// library search.
std::vector<std::string> DefaultDebugHelpSearchList();

struct ToolHelp {
  ToolHelp();  // "kernel32.dll", then "tlhelp32.dll"
  bool available = false;
  decltype(&::CreateToolhelp32Snapshot) createSnapshot = nullptr;
  decltype(&::Module32First) module32First = nullptr;
  decltype(&::Module32Next) module32Next = nullptr;

 private:
  Library library_;
};

struct ProcessStatus {
  ProcessStatus();  // "psapi.dll"
  bool available = false;
  BOOL(WINAPI* enumProcessModules)(HANDLE, HMODULE*, DWORD, LPDWORD) = nullptr;
  DWORD(WINAPI* getModuleFileNameExA)(HANDLE, HMODULE, LPSTR, DWORD) = nullptr;
  DWORD(WINAPI* getModuleBaseNameA)(HANDLE, HMODULE, LPSTR, DWORD) = nullptr;
  BOOL(WINAPI* getModuleInformation)(HANDLE, HMODULE, LPMODULEINFO, DWORD) = nullptr;

 private:
  Library library_;
};

// The process-wide loaders.
const DebugHelp& DebugHelpLibrary();
const ToolHelp& ToolHelpLibrary();
const ProcessStatus& ProcessStatusLibrary();

}  // namespace tezra::callstack
