// Crash reports of processor-level faults.
//
// A report goes through the handler's output: the exception section
//   ">>============ Exception ============="
//   "Exception 0x<code> occurred at address 0x<address> (<section>:<offset>
//    <module path>) params: 0x<p1>, 0x<p2>..."
//   "<<============ Exception ============="
// then the module-list and call-stack sections of the stack walker. Handle
// then throws std::runtime_error with the description and " [code:N]", N
// being the thread's last OS error at that moment.
//
// Windows: the fault's own record; section and offset from the module's PE
// section headers.
// POSIX: code = signal number << 16 | si_code, the address is the faulting
// instruction; SIGSEGV and SIGBUS carry si_addr (the data address) as their
// one parameter, SIGFPE and SIGILL none. The "section" is the loadable
// segment (PT_LOAD, numbered from 1) of the module that holds the address.
// Minidumps exist on Windows only: on POSIX WriteDump does nothing and no
// dump file is ever written.
#pragma once

#include <memory>
#include <string>

#include "crash/platform.h"
#include "crash/stack_walker.h"

namespace tezra::se {

// The report's output: the stack walker's, plus the exception section.
class Output : public callstack::Output {
 public:
  virtual void ExceptionBegin();
  virtual void ExceptionLine(const std::string& text);
  virtual void ExceptionEnd();
};

class HandlerBase {
 public:
  virtual ~HandlerBase();
  // Throws std::runtime_error: text, " [code:", code in decimal, "]".
  [[noreturn]] virtual void ThrowException(unsigned code, const std::string& text);
};

// Writes the report of one fault to `output` (standard output by default)
// and a minidump for the faults that NeedDump accepts. Lives on the stack of
// the translator or filter for one fault.
class Handler : public HandlerBase {
 public:
  Handler();
  ~Handler() override;

  // Null `ep`: does nothing. Code 1723 (RPC_S_SERVER_TOO_BUSY): writes only
  // "Error RPC_S_SERVER_TOO_BUSY:1723". Otherwise: dump when NeedDump,
  // exception section, module list and call stack, OnHandled. Then throws
  // (see ThrowException). Reports of concurrent faults do not interleave.
  virtual void Handle(ExceptionPointers* ep);
  // "Dumps\YYYYMMDD\" + ("full" or "mini") + "HHMMSS_mmm.dmp" (local time;
  // '/' separators on POSIX); creates the two folders (failures ignored).
  virtual std::string MakeDumpFileName(bool full);
  // True for exception codes 1700 to 1791 (the RPC status range).
  virtual bool IsRpcException(ExceptionPointers* ep);
  virtual bool NeedDump(ExceptionPointers* ep);  // !IsRpcException
  virtual unsigned GetDumpType(ExceptionPointers* ep);  // 0: the normal minidump
  // Windows: writes the dump from a dump thread that this one waits for.
  // POSIX: does nothing.
  virtual void WriteDump(ExceptionPointers* ep);
  virtual void WriteException(ExceptionPointers* ep);
  virtual void WriteCallStack(ThreadContext* context);
  virtual void OnHandled(ExceptionPointers* ep);

 protected:
  std::shared_ptr<Output> output;
};

// The exception description of the report and of the thrown text.
std::string DescribeException(const ExceptionPointers& ep);

// The outcome of the last dump attempt: 0 written, 1 the debug help library
// did not load, 2 it has no MiniDumpWriteDump, 3 bad argument, 4 the file
// could not be created, 5 MiniDumpWriteDump failed, 8 no attempt yet (always
// 8 on POSIX).
int DumpStatus();

}  // namespace tezra::se

// The connector's report output: every line goes to the errors log.
class StackPrinter : public tezra::se::Output {
 public:
  void Write(const std::string& line) override;
  virtual ~StackPrinter();
};

// The connector's handler: reports to the errors log, never writes a dump.
class ExceptionHandler : public tezra::se::Handler {
 public:
  ExceptionHandler();
  bool NeedDump(tezra::ExceptionPointers* ep) override;
};
