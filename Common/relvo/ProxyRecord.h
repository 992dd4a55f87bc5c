// The proxy record: sent first on a new connection to a target server that
// asks for it, it tells the entry number and the far end of the entry's
// transport connection.
//
//   FF FF | "kavu" | L (32-bit big-endian) | text of L-1 bytes | 00
//   text: "[<uid>] srcin=/<address>:<port> dstin", at most 255 characters
#pragma once

#include <string>
#include <string_view>

#include "Common/platform.h"

namespace relvo {

// Formats the record's bytes (never more than 266).
std::string FormatProxyRecord(std::string_view address, std::string_view port, int uid);

// Sends the record on `s`. False, after logging which step failed, when a
// send fails or `address` is empty (then nothing is sent).
bool SendProxyRecord(SOCKET s, std::string_view address, std::string_view port, int uid);

}  // namespace relvo
