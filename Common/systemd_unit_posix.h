// The systemd side of service registration: unit files in the system unit
// folder and the systemctl commands that act on them. POSIX only.
#pragma once

#include <string>
#include <vector>

namespace libmo::systemd {

// Where units installed by the administrator live.
constexpr const char* kUnitFolder = "/etc/systemd/system";

// kUnitFolder/<serviceName>.service
std::string UnitFilePath(const std::string& serviceName);

// The unit text for a notify-type service that runs `executable` without
// arguments. `description` must already be cut to its final length; line
// breaks in it become blanks. Both texts are escaped for the unit file
// syntax ('%' specifiers; the path is quoted when it contains blanks, quotes
// or backslashes).
std::string UnitFileText(const std::string& executable, const std::string& description);

// Runs "systemctl <args>", found on PATH, inheriting the standard streams
// and environment, and waits for it. Returns its exit status, or -1 with
// errno set when it cannot be started (ENOENT: no systemctl) or ends by a
// signal (EINTR).
int Systemctl(const std::vector<std::string>& args);

}  // namespace libmo::systemd
