#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "Common/systemd_unit_posix.h"

extern char** environ;

namespace libmo::systemd {
namespace {

// '%' starts a specifier in every unit setting.
std::string EscapeSpecifiers(const std::string& text) {
  std::string result;
  for (const char c : text) {
    if (c == '%') result += '%';
    result += c;
  }
  return result;
}

std::string CommandLineWord(const std::string& path) {
  const std::string escaped = EscapeSpecifiers(path);
  if (escaped.find_first_of(" \t\"'\\") == std::string::npos) return escaped;
  std::string quoted = "\"";
  for (const char c : escaped) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace

std::string UnitFilePath(const std::string& serviceName) {
  return std::string(kUnitFolder) + "/" + serviceName + ".service";
}

std::string UnitFileText(const std::string& executable, const std::string& description) {
  std::string oneLine = description;
  for (char& c : oneLine) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return "[Unit]\nDescription=" + EscapeSpecifiers(oneLine) + "\n\n[Service]\nType=notify\nExecStart=" +
         CommandLineWord(executable) + "\n";
}

int Systemctl(const std::vector<std::string>& args) {
  std::vector<std::string> words = {"systemctl"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  errno = EINTR;
  return -1;
}

}  // namespace libmo::systemd
