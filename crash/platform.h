// The one place where the fault records of the two systems differ. The crash
// handler and the stack walker use these names only.
//
// Windows: the system's own EXCEPTION_POINTERS, EXCEPTION_RECORD and CONTEXT.
// POSIX: a record of the same shape built from a signal's siginfo_t, and the
// signal's ucontext_t as the context.
#pragma once

#include <cinttypes>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>

namespace tezra {
using ExceptionPointers = ::EXCEPTION_POINTERS;
using ExceptionRecord = ::EXCEPTION_RECORD;
using ThreadContext = ::CONTEXT;
using ThreadHandle = ::HANDLE;
using ProcessHandle = ::HANDLE;
inline ThreadHandle CurrentThreadHandle() { return ::GetCurrentThread(); }
}  // namespace tezra

// printf conversion of a report's pointer values, with its argument type.
#define TEZRA_PRI_PTR "p"
namespace tezra {
using PrintedPointer = const void*;
}

#else
#include <pthread.h>
#include <ucontext.h>

namespace tezra {
// Field names follow the Windows record, so that the report code reads the
// same on both systems.
struct FaultRecord {
  uint32_t ExceptionCode = 0;  // signal number << 16 | (si_code & 0xFFFF)
  void* ExceptionAddress = nullptr;  // the faulting instruction
  uint32_t NumberParameters = 0;
  uintptr_t ExceptionInformation[15] = {};
};
using ExceptionRecord = FaultRecord;
struct ExceptionPointers {
  FaultRecord* ExceptionRecord;
  ucontext_t* ContextRecord;
};
using ThreadContext = ucontext_t;
using ThreadHandle = pthread_t;
using ProcessHandle = int;  // the process id
inline ThreadHandle CurrentThreadHandle() { return ::pthread_self(); }
}  // namespace tezra

// glibc prints %p as "0x..." or "(nil)"; the reports print pointers as the
// Windows C library does: 16 lower-case hexadecimal digits.
#define TEZRA_PRI_PTR "016" PRIxPTR
namespace tezra {
using PrintedPointer = uintptr_t;
}
#endif

namespace tezra {
inline PrintedPointer PrintPointer(uint64_t value) {
  return reinterpret_cast<PrintedPointer>(static_cast<uintptr_t>(value));
}
}  // namespace tezra
