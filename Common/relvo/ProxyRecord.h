// The proxy record: sent first on a new connection to a target server that
// asks for it, it tells the entry number and the far end of the entry's
// transport connection. Its layout is in Common/relvo/Wire.h.
#pragma once

#include <string_view>

#include "Common/platform.h"

namespace relvo {

// Sends the record on `s`. False, after logging which step failed, when a
// send fails or `address` is empty (then nothing is sent).
bool SendProxyRecord(SOCKET s, std::string_view address, std::string_view port, int uid);

}  // namespace relvo
