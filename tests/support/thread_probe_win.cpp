#include "tests/support/thread_probe.h"

namespace testsupport {

bool Sleeps(unsigned /*tid*/) { return true; }

}  // namespace testsupport
