// Crash reports as the tests read them.
#pragma once

#include <string>
#include <vector>

#include "crash/exception_handler.h"

namespace crashtest {

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
