#include "Common/oserror.h"

#include <system_error>

#include "Common/platform.h"

namespace libmo {

int LastOsError() { return static_cast<int>(::GetLastError()); }
int LastSocketError() { return ::WSAGetLastError(); }
void SetLastOsError(int code) { ::SetLastError(static_cast<DWORD>(code)); }

std::string ErrorText(int code) {
  std::string text = std::system_category().message(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace libmo
