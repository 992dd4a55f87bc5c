#include "Common/assert.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "Common/oserror.h"
#include "tests/support/test_logs.h"
#include "tests/support/text.h"

using testsupport::Contains;

namespace {

class Reports : public ::testing::Test {
 protected:
  std::string Errors() const { return logs_.Errors(); }
  testsupport::TestLogs logs_{"ERR"};
};

std::string Thrown(void (*f)()) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "nothing thrown";
}

TEST_F(Reports, PlaceKeepsOnlyTheLastPathComponentAndThrowsMatchTheLoggedForm) {
  SetErrorPlace("f", "C:\\src\\dir\\file.cpp", 12);
  LogPlacedError("x %d", 5);
  SetErrorPlace("g", "Common/relvo/CompletionThread", 37);
  LogPlacedError("y");
  EXPECT_TRUE(Contains(Errors(), ": x 5 func(f file.cpp:12)\n")) << Errors();
  EXPECT_TRUE(Contains(Errors(), ": y func(g CompletionThread:37)\n")) << Errors();

  SetErrorPlace("AppConfiguration::LoadServersConfiguration", "client/rv_config", 54);
  EXPECT_EQ("Address of [proxyServer] is undefined. func(AppConfiguration::LoadServersConfiguration rv_config:54)",
            Thrown([] { ThrowPlacedError("Address of [%s] is undefined.", "proxyServer"); }));
  SetErrorPlace("p", "f", 1);
  EXPECT_EQ(std::string(4094, 'q') + " func(p f:1)",
            Thrown([] { ThrowPlacedError("%s", std::string(5000, 'q').c_str()); }));
}

TEST_F(Reports, OsAndSocketErrorsCarryTheSystemText) {
  const std::string text2 = libmo::ErrorText(2);
  ASSERT_FALSE(text2.empty());
  SetErrorPlace("h", "x/y", 9);
  libmo::SetLastOsError(2);
  LogOsError("open %s", "it");
  EXPECT_TRUE(Contains(Errors(), ": open it : OS error '" + text2 + "' func(h y:9)\n")) << Errors();

  const std::string thrown = Thrown([] {
    libmo::SetLastOsError(2);
    ThrowOsError("cannot %s", "go");
  });
  EXPECT_EQ("cannot go : last OS error '" + text2 + "' func(h y:9)", thrown);
}

TEST_F(Reports, FreshThreadHasAnEmptyPlaceAndKeepsTheLastErrorWhenRecordingOne) {
  SetErrorPlace("main thread", "a/b.cpp", 1);
  std::thread([] {
    SetThreadTag("T2");
    LogPlacedError("fresh");
  }).join();
  // The first use of thread-local storage on a thread must not wipe the
  // error that the report is about to describe.
  std::thread([] {
    SetThreadTag("FRESH");
    libmo::SetLastOsError(2);
    SetErrorPlace("fresh", "f", 3);
    LogOsError("first report");
  }).join();
  EXPECT_TRUE(Contains(Errors(), ":T2): fresh func( :0)\n")) << Errors();
  EXPECT_TRUE(Contains(Errors(), "first report : OS error '" + libmo::ErrorText(2) + "' func(fresh f:3)"))
      << Errors();
}

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

TEST_F(Reports, CatchAllClassifiesWhatIsInFlightAndNeverTerminates) {
  testing::internal::CaptureStderr();
  ReportThrown(std::runtime_error("bad %s here"), "A::std");
  ReportThrown("c text", "A::cstr");
  ReportThrown(7, "A::int");
  ReportThrown(2.5, "A::other");
  Report("Nowhere");  // outside any handler
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string errors = Errors();
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
