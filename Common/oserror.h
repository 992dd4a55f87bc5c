// Error codes of the operating system and of the socket layer, and their texts.
#pragma once

#include <string>

namespace libmo {

// The calling thread's last OS error (GetLastError on Windows, errno on POSIX).
int LastOsError();

// The calling thread's last socket error (WSAGetLastError on Windows, errno on
// POSIX).
int LastSocketError();

// Sets the calling thread's last OS error; tests use it to make reports
// deterministic.
void SetLastOsError(int code);

// The system's message for `code`, without a trailing line break.
std::string ErrorText(int code);

}  // namespace libmo
