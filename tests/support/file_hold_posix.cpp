#include <gtest/gtest.h>

#include "tests/support/file_hold.h"

namespace testsupport {

FileHold::FileHold(const std::filesystem::path&, const std::filesystem::path& movedTo) : movedTo_(movedTo) {
  EXPECT_TRUE(std::filesystem::create_directory(movedTo_));
}

FileHold::~FileHold() { std::filesystem::remove(movedTo_); }

}  // namespace testsupport
