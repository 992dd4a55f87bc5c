// Test helpers that find a connector thread by its log lines and look at it
// from outside.
#pragma once

#include <string>

namespace testsupport {

// The thread id on the first log line "(<id>:<tag>): <message>"; 0 when there
// is no such line.
unsigned LoggedThreadId(const std::string& log, const std::string& tag, const std::string& message);

// True when the thread `tid` of this process is asleep in the kernel. Linux
// reads its state from /proc; Windows has no such probe, so it answers true
// and the log line the caller waited for is the only evidence.
bool Sleeps(unsigned tid);

}  // namespace testsupport
