#include <limits.h>

#include <algorithm>

#include "Common/native_thread.h"

namespace libmo::os {

void ApplyStackSize(pthread_attr_t* attributes, size_t stackBytes) {
  ::pthread_attr_setstacksize(attributes, std::max<size_t>(stackBytes, PTHREAD_STACK_MIN));
}

}  // namespace libmo::os
