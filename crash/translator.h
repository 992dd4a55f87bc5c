// The two entry points of the crash reports.
//
// The translator turns a processor-level fault (access violation, integer
// division by zero or overflow, illegal or privileged instruction, in-page
// error, misaligned data, array bounds, floating-point faults) of a thread
// that installed it into a crash report in the errors log and then into a
// std::runtime_error thrown in that thread at the faulting instruction, so
// that the thread's own catch handlers report it like any error. The faulting
// code must be built with -fnon-call-exceptions.
//
// The unhandled-exception filter writes the same report for a fault on any
// other thread; then the process ends with the crash exit code: the
// exception code on Windows, death by the signal on POSIX.
#pragma once

#include "crash/platform.h"

namespace tezra::se {

constexpr int kExecuteHandler = 1;  // EXCEPTION_EXECUTE_HANDLER

// Reports the fault with an ExceptionHandler and throws the translated
// std::runtime_error (nothing at all for a null `ep`).
void TranslateException(unsigned code, ExceptionPointers* ep);

// Reports the fault with an ExceptionHandler; returns kExecuteHandler.
int UnhandledFilter(ExceptionPointers* ep);

// Installs the translator for the calling thread (every thread runs it
// first, before LogInit). Idempotent. Windows: registers the process's
// vectored exception handler on first use; the thread's opt-in is kept in a
// TlsAlloc slot. POSIX: installs the SIGSEGV, SIGBUS, SIGFPE and SIGILL
// handlers on first use and gives the thread an alternate signal stack,
// released when the thread ends.
void InstallThreadTranslator();

// Installs the process's unhandled-exception filter (SetUnhandledExceptionFilter
// on Windows; on POSIX the signal handlers report faults of threads without
// the translator and then end the process by the signal).
void InstallUnhandledExceptionFilter();

}  // namespace tezra::se
