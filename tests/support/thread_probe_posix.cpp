#include "tests/support/temp_dir.h"
#include "tests/support/thread_probe.h"

namespace testsupport {

bool Sleeps(unsigned tid) {
  const std::string stat = ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
  const size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
}

}  // namespace testsupport
