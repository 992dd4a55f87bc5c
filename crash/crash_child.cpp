// Test-only program: installs the unhandled-exception filter and faults on a
// thread without the translator. Logs go to the folder given as argument.
#include <string>
#include <thread>

#include "Common/log.h"
#include "crash/test_support.h"
#include "crash/translator.h"

namespace {

std::string logFolder;

void LogPaths(std::string& events, std::string& errors) {
  events = logFolder + "/events.log";
  errors = logFolder + "/errors.log";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  logFolder = argv[1];
  libmo::SetLogPathSource(&LogPaths);
  if (LogInit("CHILD")) return 3;
  tezra::se::InstallThreadTranslator();  // for this thread only
  tezra::se::InstallUnhandledExceptionFilter();
  std::thread worker([] {
    SetThreadTag("WORKER");
    crashtest::NullWrite();
  });
  worker.join();
  return 0;  // not reached: the fault ends the process
}
