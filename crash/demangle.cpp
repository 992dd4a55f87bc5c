#include "crash/demangle.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace tezra::callstack {

std::string Demangle(const std::string& name) {
  if (name.empty()) return std::string();
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> text(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status),
                                                   &std::free);
  return status == 0 && text != nullptr ? std::string(text.get()) : std::string();
}

}  // namespace tezra::callstack
