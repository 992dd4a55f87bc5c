// Test-only helpers of the crash tests (library relvo_crash_testing): real
// faults, a thread's own context, and the crashing child program.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "crash/platform.h"

namespace crashtest {

// Writes to address 0 (a real access fault).
void NullWrite();
// As NullWrite, from inside the scope of a local whose destructor sets
// `cleaned`.
void NullWriteWithCleanup(bool& cleaned);
// Divides 1 by `divisor` in integer arithmetic (a real fault for 0).
int Divide(int divisor);
// The address range of NullWrite's code.
bool InNullWrite(uint64_t address);

// The exception codes of those faults: access fault, integer division.
extern const uint32_t kAccessFaultCode;
extern const uint32_t kDivideFaultCode;

// Calls `body` with a context of the calling thread captured in a frame
// that stays alive while `body` runs.
void WithOwnContext(const std::function<void(tezra::ThreadContext&)>& body);

// How a child process ended.
struct ChildResult {
  bool finished = false;
  int exitCode = -1;  // when it exited
  int signal = 0;     // POSIX: the signal that ended it
  bool operator==(const ChildResult& o) const {
    return finished == o.finished && exitCode == o.exitCode && signal == o.signal;
  }
};
// Runs crash_child (beside the test program) with `args`.
ChildResult RunCrashChild(const std::vector<std::string>& args, std::chrono::milliseconds timeout);
// The end of a process whose unhandled-exception filter reported an access
// fault: exit code 0xC0000005 on Windows, SIGSEGV on POSIX.
ChildResult AccessFaultCrash();

}  // namespace crashtest
