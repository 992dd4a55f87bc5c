#include <sys/stat.h>

#include "crash/exception_handler.h"
#include "crash/minidump.h"

namespace tezra::se {

namespace detail {
const char kDumpPathSeparator = '/';
void CreateDumpFolder(const char* path) { ::mkdir(path, 0777); }
}  // namespace detail

// There are no minidumps on POSIX: the dump step writes nothing.
void Handler::WriteDump(ExceptionPointers*) {}

int DumpStatus() { return 8; }

}  // namespace tezra::se
