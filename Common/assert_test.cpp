#include "Common/assert.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/support/test_logs.h"
#include "tests/support/text.h"

using testsupport::Contains;

namespace {

void Report(const char* function) { libmo::Detail::AssertFailNoExceptionImpl(function, "Common/relvo/X.cpp", 62); }

// Reports from inside the handler of `thrown`.
template <class E>
void ReportThrown(E thrown, const char* function) {
  try {
    throw thrown;
  } catch (...) {
    Report(function);
  }
}

TEST(Reports, CatchAllClassifiesWhatIsInFlightAndNeverTerminates) {
  testsupport::TestLogs logs{"ERR"};
  testing::internal::CaptureStderr();
  ReportThrown(std::runtime_error("bad %s here"), "A::std");
  ReportThrown("c text", "A::cstr");
  ReportThrown(7, "A::int");
  ReportThrown(2.5, "A::other");
  Report("Nowhere");  // outside any handler
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string errors = logs.Errors();
  const std::string lines[] = {
      "STANDART exception caught in function A::std, file Common/relvo/X.cpp, line 62: \"bad %s here\".",
      "C-STRING exception caught in function A::cstr, file Common/relvo/X.cpp, line 62: \"c text\".",
      "INTEGER exception caught in function A::int, file Common/relvo/X.cpp, line 62: \"Code: 7\".",
      "UNKNOWN exception caught in function A::other, file Common/relvo/X.cpp, line 62: \"Unresolved Exception\".",
  };
  for (const std::string& line : lines) {
    EXPECT_TRUE(Contains(err, line + "\n")) << line << "\n" << err;
    EXPECT_TRUE(Contains(errors, "): " + line + "\n")) << line << "\n" << errors;
  }
  EXPECT_TRUE(Contains(err, "UNKNOWN exception caught in function Nowhere")) << err;
  // The unknown kind is preceded by its own placed OS-error line.
  const size_t unhandled = errors.find("Unhandled exception caught : OS error '");
  ASSERT_NE(std::string::npos, unhandled) << errors;
  EXPECT_NE(std::string::npos, errors.find("func(libmo::Detail::AssertFailNoExceptionImpl assert:72)", unhandled));
  EXPECT_LT(unhandled, errors.find("UNKNOWN exception caught"));
}

}  // namespace
