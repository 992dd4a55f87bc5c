// Real faults, the calling thread's own context, the crash child program, and crash reports as the tests read them.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "crash/exception_handler.h"

namespace crashtest {

void NullWrite();  // writes to address 0
// As NullWrite, inside the scope of a local whose destructor sets `cleaned`.
void NullWriteWithCleanup(bool& cleaned);
int Divide(int divisor);  // integer division: a real fault for 0
void CallNull();          // calls through a null function pointer
bool InNullWrite(uint64_t address);

// The exception codes of the access fault and of the integer division.
extern const uint32_t kAccessFaultCode;
extern const uint32_t kDivideFaultCode;

// Calls `body` with a context of the calling thread, captured in a frame that stays alive while `body` runs.
void WithOwnContext(const std::function<void(tezra::ThreadContext&)>& body);

struct ChildResult {
  bool finished = false;
  int exitCode = -1;  // when it exited
  int signal = 0;     // POSIX: the signal that ended it
  bool operator==(const ChildResult& o) const {
    return finished == o.finished && exitCode == o.exitCode && signal == o.signal;
  }
};
// Runs crash_child (beside the test program) with `args`; kills it after `timeout`.
ChildResult RunCrashChild(const std::vector<std::string>& args, std::chrono::milliseconds timeout);
// How a process ends after a reported access fault: exit code 0xC0000005 on Windows, SIGSEGV on POSIX.
ChildResult AccessFaultCrash();

// In the child: standard error (also the system's handle) goes to `path`.
void RedirectStandardError(const std::string& path);

// Reports.

// The message part of each line of a log ("... (tid:TAG): message").
std::vector<std::string> Messages(const std::string& log);

// The first report in a sequence of messages.
struct Report {
  bool complete = false;  // the six markers in order, the sections adjacent
  std::string exception;  // the exception section's line
  std::vector<std::string> modules;  // module lines, without "[ModuleList] "
  std::vector<std::string> frames;   // call stack lines: frames and errors
};
Report ParseReport(const std::vector<std::string>& messages);

// Upper-case hexadecimal without leading zeros, as in the description.
std::string Hex(uint64_t value);

// Collects the lines that a report output writes.
class Lines : public tezra::se::Output {
 public:
  void Write(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

}  // namespace crashtest
