#include <windows.h>

#include "tests/crash/faults.h"

namespace crashtest {

const uint32_t kAccessFaultCode = EXCEPTION_ACCESS_VIOLATION;
const uint32_t kDivideFaultCode = EXCEPTION_INT_DIVIDE_BY_ZERO;

__attribute__((noinline)) void WithOwnContext(const std::function<void(tezra::ThreadContext&)>& body) {
  CONTEXT context;
  ::RtlCaptureContext(&context);
  body(context);
}

ChildResult RunCrashChild(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  char self[MAX_PATH + 1] = {};
  const std::string exe(self, ::GetModuleFileNameA(nullptr, self, MAX_PATH));
  const std::string path = exe.substr(0, exe.find_last_of('\\') + 1) + "crash_child.exe";
  std::string commandLine = "\"" + path + "\"";
  for (const std::string& a : args) commandLine += " \"" + a + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  ChildResult result;
  if (!::CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
    return result;
  }
  DWORD code = 0;
  if (::WaitForSingleObject(info.hProcess, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0) {
    ::GetExitCodeProcess(info.hProcess, &code);
    result = ChildResult{true, static_cast<int>(code), 0};
  } else {
    ::TerminateProcess(info.hProcess, 1);
    ::WaitForSingleObject(info.hProcess, INFINITE);
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return result;
}

ChildResult AccessFaultCrash() { return ChildResult{true, static_cast<int>(EXCEPTION_ACCESS_VIOLATION), 0}; }

void RedirectStandardError(const std::string& path) {
  ::SetStdHandle(STD_ERROR_HANDLE, ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace crashtest
