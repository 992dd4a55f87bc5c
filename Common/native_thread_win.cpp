#include "Common/native_thread.h"

namespace libmo::os {

void ApplyStackSize(pthread_attr_t*, size_t) {}

}  // namespace libmo::os
