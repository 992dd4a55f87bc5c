// Looks at a thread of this process from outside.
#pragma once

namespace testsupport {

// True when the thread `tid` of this process is asleep in the kernel. Linux reads its state from /proc; Windows has no
// such probe, so it answers true and the log line the caller waited for is the only evidence.
bool Sleeps(unsigned tid);

}  // namespace testsupport
