// Placed error reports and the catch-all exception reporter.
//
// A reporting function first records its place on the calling thread with
// SetErrorPlace (qualified function name, source file, line), then calls one
// of the six operations below. The place is thread-local: threads never see
// each other's places, and a new thread starts with an empty one.
#pragma once

#include "Common/log.h"

// Records the calling thread's error place. Only the last component of
// `file` (after its last '\' or '/') is kept. Null texts record empty ones.
void SetErrorPlace(const char* function, const char* file, int line);

// "<text> : OS error '<last OS error text>' func(<function> <file>:<line>)"
// written with LogError.
void LogOsError(const char* format, ...) LIBMO_PRINTF(1, 2);

// As LogOsError with the last socket error and "socket error".
void LogSocketError(const char* format, ...) LIBMO_PRINTF(1, 2);

// "<text> func(<function> <file>:<line>)" written with LogError.
void LogPlacedError(const char* format, ...) LIBMO_PRINTF(1, 2);

// Throw std::runtime_error with the texts that the Log variants write; the
// OS and socket variants both say " : last OS error '".
[[noreturn]] void ThrowPlacedError(const char* format, ...) LIBMO_PRINTF(1, 2);
[[noreturn]] void ThrowOsError(const char* format, ...) LIBMO_PRINTF(1, 2);
[[noreturn]] void ThrowSocketError(const char* format, ...) LIBMO_PRINTF(1, 2);

namespace libmo::Detail {

// REQUIRES: called from inside a catch handler. Classifies the exception in
// flight (STANDART, C-STRING, INTEGER, UNKNOWN) and writes one report line to
// stderr and with LogError. `file` is printed as passed. Never throws.
void AssertFailNoExceptionImpl(const char* function, const char* file, int line) noexcept;

}  // namespace libmo::Detail
