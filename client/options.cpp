#include "client/options.h"

#include <cstring>

#include "client/version.h"

namespace relvo {
namespace {

constexpr const char* kVersionLine = RELVO_PRODUCT_NAME " " RELVO_VERSION_TEXT "\n";
constexpr const char* kNotice = "Relay connector for the relvo proxy server.";
constexpr const char* kFrame = "***************************************\n";

}  // namespace

bool FindOption(int argc, char** argv, const char* option, std::string& value) {
  value.clear();
  try {
    for (int i = 0; i < argc; ++i) {
      if (argv[i] == nullptr || std::strcmp(argv[i], option) != 0) continue;
      if (i + 1 < argc && argv[i + 1] != nullptr) {
        const char* next = argv[i + 1];
        while (*next == ' ') ++next;
        value = next;
      }
      return true;
    }
  } catch (...) {
    return false;
  }
  return false;
}

std::string VersionText() { return std::string(kVersionLine) + kNotice + "\n"; }

std::string UsageText() {
  return VersionText() + kFrame +
         "-debug    or /d  - start as console\n"
         "-install  or /i  - install service\n"
         "-remove   or /r  - remove service\n"
         "-v        or /v  - print version\n" +
         kFrame;
}

}  // namespace relvo
