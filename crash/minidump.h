// The system-specific pieces of the dump file naming.
#pragma once

namespace tezra::se::detail {

// Between the parts of a dump file's path: '\' on Windows, '/' on POSIX.
extern const char kDumpPathSeparator;

// Creates one folder; failures (it exists already, for one) are ignored.
void CreateDumpFolder(const char* path);

}  // namespace tezra::se::detail
