#include <windows.h>

#include <memory>

#include "crash/test_support.h"

namespace crashtest {

const uint32_t kAccessFaultCode = EXCEPTION_ACCESS_VIOLATION;
const uint32_t kDivideFaultCode = EXCEPTION_INT_DIVIDE_BY_ZERO;

__attribute__((noinline)) void WithOwnContext(const std::function<void(tezra::ThreadContext&)>& body) {
  CONTEXT context;
  ::RtlCaptureContext(&context);
  body(context);
}

namespace {
struct HandleCloser {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;
}  // namespace

ChildResult RunCrashChild(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  char self[MAX_PATH + 1] = {};
  const DWORD n = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path(self, n);
  path = path.substr(0, path.find_last_of('\\') + 1) + "crash_child.exe";
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
  UniqueHandle process(info.hProcess), thread(info.hThread);
  if (::WaitForSingleObject(info.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    ::TerminateProcess(info.hProcess, 1);
    ::WaitForSingleObject(info.hProcess, INFINITE);
    return result;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(info.hProcess, &code);
  result.finished = true;
  result.exitCode = static_cast<int>(code);
  return result;
}

ChildResult AccessFaultCrash() { return ChildResult{true, static_cast<int>(EXCEPTION_ACCESS_VIOLATION), 0}; }

}  // namespace crashtest

#include "crash/crash_test_util.h"

namespace crashtest {
std::string DumpSeparatorPattern() { return R"(\\)"; }
}  // namespace crashtest
