#include "tools/relvoproxy/log_target.h"

namespace relvoproxy::os {

const char* NullDevice() { return "NUL"; }

// A redirected standard output has no name to open it by.
const char* StdoutDevice() { return nullptr; }

}  // namespace relvoproxy::os
