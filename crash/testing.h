// Test-only controls of the crash diagnostics; built into the test library
// relvo_crash_testing, never into the product.
#pragma once

namespace tezra::callstack::testing {

// Points the stack walker's debug library loader at nothing, so that the
// library is unavailable (Windows: reloads from an empty search list; POSIX:
// drops the libbacktrace state).
void MakeDebugLibraryUnavailable();

// Loads the debug library again from the default search order.
void RestoreDebugLibrary();

}  // namespace tezra::callstack::testing
