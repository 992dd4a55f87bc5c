#include "tools/relvoproxy/log_target.h"

#include "Common/log.h"
#include "Common/os.h"

namespace relvoproxy {

namespace {

std::string eventsPath;

// The errors log repeats lines the events log has already.
void Paths(std::string& events, std::string& errors) {
  events = eventsPath;
  errors = os::NullDevice();
}

}  // namespace

std::string RouteLog(const std::string& file) {
  std::string warning;
  if (!file.empty()) {
    eventsPath = file;
  } else if (libmo::os::StdoutIsConsole()) {
    eventsPath = os::NullDevice();  // the logs copy every line to a console
  } else if (os::StdoutDevice() != nullptr) {
    eventsPath = os::StdoutDevice();
  } else {
    eventsPath = os::NullDevice();
    warning = "standard output is not a console: give --log FILE to keep the log";
  }
  libmo::SetLogPathSource(&Paths);
  return warning;
}

}  // namespace relvoproxy
