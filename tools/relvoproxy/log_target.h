// Where relvoproxy's log lines go. Every line, error lines included, goes
// to one place: a file, or standard output.
#pragma once

#include <string>

namespace relvoproxy {

// Routes the logs of Common/log.h before LogInit: to `file` when it is not
// empty, otherwise to standard output. Returns a warning for the user when
// standard output cannot take the lines (they are then dropped); empty
// otherwise.
std::string RouteLog(const std::string& file);

namespace os {

// The device that swallows what is written to it.
const char* NullDevice();

// A path that opens the process's standard output when it is not a console,
// or null when the platform has none.
const char* StdoutDevice();

}  // namespace os

}  // namespace relvoproxy
