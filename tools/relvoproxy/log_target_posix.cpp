#include "tools/relvoproxy/log_target.h"

namespace relvoproxy::os {

const char* NullDevice() { return "/dev/null"; }

const char* StdoutDevice() { return "/dev/stdout"; }

}  // namespace relvoproxy::os
