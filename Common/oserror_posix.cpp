#include "Common/oserror.h"

#include <cerrno>
#include <system_error>

namespace libmo {

int LastOsError() { return errno; }
int LastSocketError() { return errno; }
void SetLastOsError(int code) { errno = code; }

std::string ErrorText(int code) {
  std::string text = std::system_category().message(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace libmo
