#include "Common/utils.h"

#include "Common/assert.h"
#include "Common/os.h"

namespace libmo {

std::string GetModulePath() { return os::ModulePath(); }

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void SetCurrentDir() {
  const std::string folder = FolderOf(GetModulePath());
  if (!os::ChangeDirectory(folder)) {
    SetErrorPlace("libmo::SetCurrentDir", "Common/utils", 73);
    ThrowSocketError("SetCurrentDirectory(%s) failed.", folder.c_str());
  }
}

}  // namespace libmo
