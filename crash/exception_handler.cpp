#include "crash/exception_handler.h"

#include <cstdio>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "Common/log.h"
#include "Common/oserror.h"
#include "Common/os.h"
#include "crash/code_location.h"
#include "crash/hooks.h"
#include "crash/minidump.h"

namespace tezra::se {

namespace {

constexpr unsigned kServerTooBusy = 1723;  // RPC_S_SERVER_TOO_BUSY
constexpr unsigned kFirstRpcStatus = 1700;
constexpr unsigned kLastRpcStatus = 1791;
constexpr unsigned kMaxParameters = 15;  // EXCEPTION_MAXIMUM_PARAMETERS
constexpr size_t kPathPieceSize = 261;

}  // namespace

void Output::ExceptionBegin() { Write(">>============ Exception ============="); }
void Output::ExceptionLine(const std::string& text) { Write(text); }
void Output::ExceptionEnd() { Write("<<============ Exception ============="); }

HandlerBase::~HandlerBase() = default;

void HandlerBase::ThrowException(unsigned code, const std::string& text) {
  throw std::runtime_error(text + " [code:" + std::to_string(code) + "]");
}

Handler::Handler() : output(std::make_shared<Output>()) {}

Handler::~Handler() = default;

void Handler::Handle(ExceptionPointers* ep) {
  if (ep == nullptr || ep->ExceptionRecord == nullptr) return;
  {
    std::lock_guard<std::recursive_mutex> lock(hooks::ReportLock());
    if (ep->ExceptionRecord->ExceptionCode == kServerTooBusy) {
      output->Write("Error RPC_S_SERVER_TOO_BUSY:" + std::to_string(kServerTooBusy));
    } else {
      if (NeedDump(ep)) WriteDump(ep);
      WriteException(ep);
      WriteCallStack(ep->ContextRecord);
      OnHandled(ep);
    }
  }
  const unsigned code = static_cast<unsigned>(libmo::LastOsError());
  ThrowException(code, DescribeException(*ep));
}

std::string Handler::MakeDumpFileName(bool full) {
  const libmo::os::LocalTime t = libmo::os::LocalNow();
  const char sep = detail::kDumpPathSeparator;
  char folder[kPathPieceSize];
  std::snprintf(folder, sizeof folder, "Dumps%c%04d%02d%02d%c", sep, t.year, t.month, t.day, sep);
  detail::CreateDumpFolder("Dumps");
  detail::CreateDumpFolder(folder);
  char file[kPathPieceSize];
  std::snprintf(file, sizeof file, "%s%02d%02d%02d_%03d.dmp", full ? "full" : "mini", t.hour, t.minute, t.second,
                t.millisecond);
  return std::string(folder) + file;
}

bool Handler::IsRpcException(ExceptionPointers* ep) {
  const unsigned code = ep->ExceptionRecord->ExceptionCode;
  return code >= kFirstRpcStatus && code <= kLastRpcStatus;
}

bool Handler::NeedDump(ExceptionPointers* ep) { return !IsRpcException(ep); }

unsigned Handler::GetDumpType(ExceptionPointers*) { return 0; }

void Handler::WriteException(ExceptionPointers* ep) {
  output->ExceptionBegin();
  output->ExceptionLine(DescribeException(*ep));
  output->ExceptionEnd();
}

void Handler::WriteCallStack(ThreadContext* context) {
  callstack::StackWalker walker(*output);
  walker.WalkStack(CurrentThreadHandle(), context);
}

void Handler::OnHandled(ExceptionPointers*) {}

std::string DescribeException(const ExceptionPointers& ep) {
  const ExceptionRecord& r = *ep.ExceptionRecord;
  const CodeLocation where = LocateCode(r.ExceptionAddress);
  std::ostringstream s;
  s << std::hex << std::uppercase << std::setfill('0');
  s << "Exception 0x" << static_cast<uint32_t>(r.ExceptionCode);
  s << " occurred at address 0x" << std::setw(8) << reinterpret_cast<uint64_t>(r.ExceptionAddress);
  s << " (" << std::setw(2) << where.section << ":" << std::setw(8) << where.offset << " " << where.modulePath;
  s << ") params:";
  const unsigned count = r.NumberParameters < kMaxParameters ? r.NumberParameters : kMaxParameters;
  for (unsigned i = 0; i < count; ++i) {
    if (i != 0) s << ",";
    s << " 0x" << std::setw(8) << static_cast<uint64_t>(r.ExceptionInformation[i]);
  }
  return s.str();
}

}  // namespace tezra::se

// Keeps the sections of concurrent reports apart; the walker's debug library
// is not thread-safe either.
std::recursive_mutex& tezra::hooks::ReportLock() {
  static std::recursive_mutex mutex;
  return mutex;
}

void StackPrinter::Write(const std::string& line) { LogError("%s", line.c_str()); }

StackPrinter::~StackPrinter() = default;

ExceptionHandler::ExceptionHandler() { output = std::make_shared<StackPrinter>(); }

bool ExceptionHandler::NeedDump(tezra::ExceptionPointers*) { return false; }
