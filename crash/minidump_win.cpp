#include <windows.h>

#include <dbghelp.h>

#include <atomic>
#include <memory>
#include <string>

#include "crash/exception_handler.h"
#include "crash/minidump.h"

// The dump thread's own fault, for a dump without exception information:
// tezra_se_DumpFault(job) reads address 0 at tezra_se_DumpFaultSite with the
// job in rcx; the handler resumes it at tezra_se_DumpFaultResume.
extern "C" void tezra_se_DumpFault(void* job);
extern "C" char tezra_se_DumpFaultSite[];
extern "C" char tezra_se_DumpFaultResume[];
asm(R"(
    .text
    .p2align 4
    .globl tezra_se_DumpFault
    .def tezra_se_DumpFault; .scl 2; .type 32; .endef
    .seh_proc tezra_se_DumpFault
tezra_se_DumpFault:
    .seh_endprologue
    xorl %eax, %eax
    .globl tezra_se_DumpFaultSite
tezra_se_DumpFaultSite:
    movl (%rax), %eax
    .globl tezra_se_DumpFaultResume
tezra_se_DumpFaultResume:
    ret
    .seh_endproc
)");

namespace tezra::se {

namespace detail {
const char kDumpPathSeparator = '\\';
void CreateDumpFolder(const char* path) { ::CreateDirectoryA(path, nullptr); }
}  // namespace detail

namespace {

using MiniDumpWriteDumpFn = decltype(&::MiniDumpWriteDump);

std::atomic<int> dumpStatus{8};
std::atomic<MiniDumpWriteDumpFn> miniDumpWriteDump{nullptr};

struct HandleCloser {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct DumpJob {
  unsigned type;
  const char* path;
  EXCEPTION_POINTERS* ep;
  DWORD threadId;
};

bool Readable(const void* address, size_t size) {
  MEMORY_BASIC_INFORMATION mbi;
  if (address == nullptr || ::VirtualQuery(address, &mbi, sizeof mbi) == 0) return false;
  const DWORD unreadable = PAGE_NOACCESS | PAGE_GUARD;
  const auto end = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
  return mbi.State == MEM_COMMIT && (mbi.Protect & unreadable) == 0 &&
         static_cast<size_t>(end - static_cast<const char*>(address)) >= size;
}

bool ToWide(const char* text, std::wstring& wide) {
  const int n = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return false;
  wide.assign(static_cast<size_t>(n), L'\0');
  if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide.data(), n) != n) return false;
  wide.pop_back();  // the terminating zero
  return true;
}

// Returns and records the status (see DumpStatus).
int WriteMiniDump(unsigned type, const char* path, DWORD threadId, EXCEPTION_POINTERS* ep) {
  std::wstring widePath;
  if (!Readable(path, 1) || !Readable(ep, sizeof *ep) || threadId == 0 || !ToWide(path, widePath)) return dumpStatus = 3;
  if (miniDumpWriteDump.load() == nullptr) {
    const int status = dumpStatus.load();
    if (status == 1 || status == 2) return status;
    HMODULE module = nullptr;  // referenced for the life of the process
    if (!::GetModuleHandleExA(0, "DBGHELP.DLL", &module)) module = ::LoadLibraryA("DBGHELP.DLL");
    if (module == nullptr) return dumpStatus = 1;
    FARPROC proc = ::GetProcAddress(module, "MiniDumpWriteDump");
    if (proc == nullptr) return dumpStatus = 2;
    miniDumpWriteDump = reinterpret_cast<MiniDumpWriteDumpFn>(reinterpret_cast<void (*)()>(proc));
  }
  UniqueHandle file(::CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return dumpStatus = 4;
  }
  MINIDUMP_EXCEPTION_INFORMATION info;
  info.ThreadId = threadId;
  info.ExceptionPointers = ep;
  info.ClientPointers = TRUE;
  const BOOL written = miniDumpWriteDump.load()(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(),
                                                static_cast<MINIDUMP_TYPE>(type), &info, nullptr, nullptr);
  file.reset();
  return dumpStatus = written ? 0 : 5;
}

LONG CALLBACK OwnFaultHandler(EXCEPTION_POINTERS* ep) {
  if (ep->ExceptionRecord->ExceptionAddress != tezra_se_DumpFaultSite) return EXCEPTION_CONTINUE_SEARCH;
  const auto* job = reinterpret_cast<const DumpJob*>(ep->ContextRecord->Rcx);
  WriteMiniDump(job->type, job->path, ::GetCurrentThreadId(), ep);
  ep->ContextRecord->Rip = reinterpret_cast<DWORD64>(tezra_se_DumpFaultResume);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// A vectored handler registered for the life of this object.
class VectoredHandler {
 public:
  explicit VectoredHandler(PVECTORED_EXCEPTION_HANDLER handler) : cookie_(::AddVectoredExceptionHandler(1, handler)) {}
  ~VectoredHandler() {
    if (cookie_ != nullptr) ::RemoveVectoredExceptionHandler(cookie_);
  }
  VectoredHandler(const VectoredHandler&) = delete;
  VectoredHandler& operator=(const VectoredHandler&) = delete;

 private:
  PVOID cookie_;
};

// Writing from a thread of its own keeps the faulting thread's stack intact.
DWORD WINAPI DumpThread(void* data) {
  auto* job = static_cast<DumpJob*>(data);
  if (job->ep != nullptr) {
    WriteMiniDump(job->type, job->path, job->threadId, job->ep);
  } else {
    VectoredHandler handler(&OwnFaultHandler);
    tezra_se_DumpFault(job);
  }
  return 0;
}

}  // namespace

void Handler::WriteDump(ExceptionPointers* ep) {
  const unsigned type = GetDumpType(ep);
  const std::string path = MakeDumpFileName(type != 0);
  if (path.empty() || path.size() > MAX_PATH) return;
  DumpJob job{type, path.c_str(), ep, ::GetCurrentThreadId()};
  UniqueHandle thread(::CreateThread(nullptr, 0, &DumpThread, &job, 0, nullptr));
  if (thread != nullptr) ::WaitForSingleObject(thread.get(), INFINITE);
}

int DumpStatus() { return dumpStatus.load(); }

}  // namespace tezra::se
