#include <gtest/gtest.h>

#include "Common/platform.h"
#include "tests/support/file_hold.h"

namespace testsupport {

FileHold::FileHold(const std::filesystem::path& file, const std::filesystem::path& movedTo) : movedTo_(movedTo) {
  handle_ = ::CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, handle_);
}

FileHold::~FileHold() {
  if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
}

}  // namespace testsupport
