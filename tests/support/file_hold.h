// Keeps a file from being moved, as a log viewer does on Windows: there it
// is held open without delete sharing; on POSIX, where an open file can
// always be renamed, a folder stands at `movedTo`, the name the move takes.
#pragma once

#include <filesystem>

namespace testsupport {

class FileHold {
 public:
  FileHold(const std::filesystem::path& file, const std::filesystem::path& movedTo);
  ~FileHold();
  FileHold(const FileHold&) = delete;
  FileHold& operator=(const FileHold&) = delete;

 private:
  std::filesystem::path movedTo_;
  void* handle_ = nullptr;
};

}  // namespace testsupport
