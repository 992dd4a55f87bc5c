#include "tests/support/thread_probe.h"

namespace testsupport {

unsigned LoggedThreadId(const std::string& log, const std::string& tag, const std::string& message) {
  const size_t at = log.find(":" + tag + "): " + message);
  if (at == std::string::npos) return 0;
  const size_t open = log.rfind('(', at);
  if (open == std::string::npos) return 0;
  return static_cast<unsigned>(std::stoul(log.substr(open + 1, at - open - 1)));
}

}  // namespace testsupport
