// GCC's C++ symbol names in readable form.
#pragma once

#include <string>

namespace tezra::callstack {

// The demangled form of the GCC (Itanium ABI) name `name`; empty when `name`
// is not such a name.
std::string Demangle(const std::string& name);

}  // namespace tezra::callstack
