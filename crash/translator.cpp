#include "crash/translator.h"

#include "crash/exception_handler.h"

namespace tezra::se {

void TranslateException(unsigned, ExceptionPointers* ep) {
  ExceptionHandler handler;
  handler.Handle(ep);
}

int UnhandledFilter(ExceptionPointers* ep) {
  try {
    ExceptionHandler handler;
    handler.Handle(ep);
  } catch (...) {
    // Handle always throws; the process ends anyway.
  }
  return kExecuteHandler;
}

}  // namespace tezra::se
