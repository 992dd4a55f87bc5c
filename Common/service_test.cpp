// The service host's building blocks: the fixed-size name and description
// buffers, and on POSIX the systemd notification socket, the unit file text,
// the systemctl runner, the signal thread and the host's status sequence.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Common/fixed_text.h"

namespace {

TEST(CopyTruncated, NameLongerThan39IsCutTo39InA40ByteBuffer) {
  const std::string name(45, 'N');
  char buffer[40];
  std::memset(buffer, 'x', sizeof buffer);
  libmo::CopyTruncated(buffer, name.c_str());
  EXPECT_EQ(std::string(39, 'N'), std::string(buffer));
  EXPECT_EQ('\0', buffer[39]);
}

TEST(CopyTruncated, DescriptionLongerThan99IsCutTo99InA100ByteBuffer) {
  std::string description;
  for (int i = 0; i < 150; ++i) description += static_cast<char>('a' + i % 26);
  char buffer[100];
  libmo::CopyTruncated(buffer, description.c_str());
  EXPECT_EQ(description.substr(0, 99), std::string(buffer));
}

TEST(CopyTruncated, ShortTextIsCopiedWholeAndTheRestIsZero) {
  char buffer[40];
  std::memset(buffer, 'x', sizeof buffer);
  libmo::CopyTruncated(buffer, "Relvo");
  EXPECT_EQ("Relvo", std::string(buffer));
  for (size_t i = 5; i < sizeof buffer; ++i) EXPECT_EQ('\0', buffer[i]) << i;
}

TEST(CopyTruncated, NullTextGivesAnEmptyBuffer) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  libmo::CopyTruncated(buffer, nullptr);
  EXPECT_EQ(std::string(8, '\0'), std::string(buffer, sizeof buffer));
}

}  // namespace

#if !defined(_WIN32)

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "Common/sd_notify.h"
#include "Common/service.h"
#include "Common/signal_thread.h"
#include "Common/systemd_unit.h"
#include "Common/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace {

using libmo::UniqueFd;
using libmo::sd::NotifySocket;
using libmo::sd::NotifyText;
using libmo::sd::ServiceState;
using libmo::sd::ServiceStatus;
using testsupport::TempDir;

// A datagram socket bound the way a service manager binds its notification
// socket: at a path, or in the abstract namespace for a name starting '@'.
class NotifyListener {
 public:
  explicit NotifyListener(const std::string& address) : address_(address) {
    fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, address.data(), address.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    if (address[0] == '@') {
      sa.sun_path[0] = '\0';
    } else {
      ++length;
    }
    bound_ = fd_.Valid() && ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), length) == 0;
  }
  ~NotifyListener() {
    if (bound_ && address_[0] != '@') ::unlink(address_.c_str());
  }

  bool bound() const { return bound_; }

  // The next datagram, or nothing when none arrives within `timeout`.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    pollfd p = {fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
  }

 private:
  std::string address_;
  UniqueFd fd_;
  bool bound_ = false;
};

ServiceStatus Status(ServiceState state, uint32_t checkPoint, uint32_t waitHint, int exitCode = 0) {
  ServiceStatus s;
  s.state = state;
  s.controlsAccepted = 7;
  s.checkPoint = checkPoint;
  s.waitHintMs = waitHint;
  s.exitCode = exitCode;
  return s;
}

TEST(NotifyText, RunningIsReadyAndStopPendingIsStopping) {
  EXPECT_EQ("READY=1\nSTATUS=Service running", NotifyText(Status(ServiceState::kRunning, 0, 0)));
  EXPECT_EQ("STOPPING=1\nSTATUS=Service stop pending (check point 1)\nEXTEND_TIMEOUT_USEC=5000000",
            NotifyText(Status(ServiceState::kStopPending, 1, 5000)));
}

TEST(NotifyText, OtherStatesAreStatusLinesWithTheWaitHintAndTheError) {
  EXPECT_EQ("STATUS=Service start pending (check point 2)\nEXTEND_TIMEOUT_USEC=1000000",
            NotifyText(Status(ServiceState::kStartPending, 2, 1000)));
  EXPECT_EQ("STATUS=Service stopped", NotifyText(Status(ServiceState::kStopped, 0, 0)));
  EXPECT_EQ("STATUS=Service stopped\nERRNO=111", NotifyText(Status(ServiceState::kStopped, 0, 0, 111)));
}

TEST(NotifySocket, SendsOneDatagramToASocketBoundAtAPath) {
  TempDir dir;
  const std::string path = dir / "notify.sock";
  NotifyListener listener(path);
  ASSERT_TRUE(listener.bound()) << std::strerror(errno);

  const NotifySocket socket = NotifySocket::Open(path);
  ASSERT_TRUE(socket.Valid()) << std::strerror(errno);
  ASSERT_TRUE(socket.Send("READY=1\nSTATUS=Service running")) << std::strerror(errno);
  EXPECT_EQ(std::optional<std::string>("READY=1\nSTATUS=Service running"), listener.Receive());
  ASSERT_TRUE(socket.Send("STOPPING=1"));
  EXPECT_EQ(std::optional<std::string>("STOPPING=1"), listener.Receive());
}

TEST(NotifySocket, AnAddressStartingWithAtIsAnAbstractSocket) {
  const std::string address = "@relvo-notify-test-" + std::to_string(::getpid());
  NotifyListener listener(address);
  ASSERT_TRUE(listener.bound()) << std::strerror(errno);

  const NotifySocket socket = NotifySocket::Open(address);
  ASSERT_TRUE(socket.Valid());
  ASSERT_TRUE(socket.Send("READY=1")) << std::strerror(errno);
  EXPECT_EQ(std::optional<std::string>("READY=1"), listener.Receive());
}

TEST(NotifySocket, RejectsEmptyRelativeAndOverlongAddresses) {
  errno = 0;
  EXPECT_FALSE(NotifySocket::Open("").Valid());
  EXPECT_EQ(EINVAL, errno);
  errno = 0;
  EXPECT_FALSE(NotifySocket::Open("run/notify").Valid());
  EXPECT_EQ(EINVAL, errno);
  errno = 0;
  EXPECT_FALSE(NotifySocket::Open("/" + std::string(sizeof(sockaddr_un::sun_path), 'x')).Valid());
  EXPECT_EQ(ENAMETOOLONG, errno);
}

TEST(NotifySocket, SendFailsWithErrnoWhenNobodyListensOrTheSocketIsInvalid) {
  TempDir dir;
  const NotifySocket socket = NotifySocket::Open(dir / "nobody.sock");
  ASSERT_TRUE(socket.Valid());
  errno = 0;
  EXPECT_FALSE(socket.Send("READY=1"));
  EXPECT_EQ(ENOENT, errno);

  errno = 0;
  EXPECT_FALSE(NotifySocket().Send("READY=1"));
  EXPECT_EQ(EBADF, errno);
}

TEST(UnitFile, IsANotifyServiceRunningTheExecutableWithoutArguments) {
  EXPECT_EQ(
      "[Unit]\nDescription=OVIK proxy client\n\n"
      "[Service]\nType=notify\nExecStart=/opt/relvo/relvoclient\n",
      libmo::systemd::UnitFileText("/opt/relvo/relvoclient", "OVIK proxy client"));
  EXPECT_EQ("[Service]\nType=notify\nExecStart=/opt/relvo/relvoclient\n",
            libmo::systemd::UnitFileText("/opt/relvo/relvoclient", nullptr));
}

TEST(UnitFile, EscapesSpecifiersQuotesOddPathsAndKeepsTheDescriptionOnOneLine) {
  EXPECT_EQ(
      "[Unit]\nDescription=100%% up  now\n\n"
      "[Service]\nType=notify\nExecStart=\"/opt/my relvo/a\\\\b\\\"c%%d\"\n",
      libmo::systemd::UnitFileText("/opt/my relvo/a\\b\"c%d", "100% up\r\nnow"));
}

TEST(UnitFile, PathIsInTheSystemUnitFolderNamedAfterTheService) {
  EXPECT_EQ("/etc/systemd/system/RelvoClient.service", libmo::systemd::UnitFilePath("RelvoClient"));
}

// Sets PATH for the life of the object.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) {
    const char* old = std::getenv("PATH");
    if (old != nullptr) old_ = old;
    ::setenv("PATH", value.c_str(), 1);
  }
  ~ScopedPath() {
    if (old_) {
      ::setenv("PATH", old_->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }

 private:
  std::optional<std::string> old_;
};

void WriteScript(const std::string& path, const std::string& body, mode_t mode = 0755) {
  testsupport::WriteFile(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), mode);
}

TEST(Systemctl, IsTheFirstExecutableOnPath) {
  TempDir notExecutable;
  TempDir first;
  TempDir second;
  WriteScript(notExecutable / "systemctl", "exit 0\n", 0644);
  WriteScript(first / "systemctl", "exit 0\n");
  WriteScript(second / "systemctl", "exit 0\n");
  {
    ScopedPath path(notExecutable.path().string() + ":" + first.path().string() + ":" + second.path().string());
    EXPECT_EQ(first / "systemctl", libmo::systemd::FindSystemctl());
  }
  {
    ScopedPath path(notExecutable.path().string());
    EXPECT_EQ("", libmo::systemd::FindSystemctl());
  }
}

TEST(RunProgram, PassesTheArgumentsAndReturnsTheExitStatus) {
  TempDir dir;
  const std::string record = dir / "args.txt";
  WriteScript(dir / "tool", "printf '%s|' \"$@\" > '" + record + "'\nexit 3\n");
  EXPECT_EQ(3, libmo::systemd::RunProgram(dir / "tool", {"is-active", "--quiet", "My Unit.service"}));
  EXPECT_EQ("is-active|--quiet|My Unit.service|", testsupport::ReadFile(record));
}

TEST(RunProgram, IsMinusOneWithErrnoWhenTheProgramCannotRunOrIsKilled) {
  TempDir dir;
  errno = 0;
  EXPECT_EQ(-1, libmo::systemd::RunProgram(dir / "missing", {}));
  EXPECT_NE(0, errno);

  WriteScript(dir / "killed", "kill -9 $$\n");
  errno = 0;
  EXPECT_EQ(-1, libmo::systemd::RunProgram(dir / "killed", {}));
  EXPECT_EQ(EINTR, errno);
}

// Collects the signals a SignalThread hands over.
struct Received {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> signals;

  void Add(int signal) {
    std::lock_guard<std::mutex> lock(mutex);
    signals.push_back(signal);
    changed.notify_all();
  }
  bool WaitForCount(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return signals.size() >= count; });
  }
};

bool IsBlocked(int signal) {
  sigset_t mask;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

TEST(SignalThread, HandsProcessSignalsToTheHandlerOnItsOwnThreadAndKeepsThemBlocked) {
  Received received;
  std::atomic<bool> onOtherThread{true};
  const pthread_t self = ::pthread_self();
  {
    libmo::SignalThread thread({SIGUSR1, SIGWINCH}, [&](int signal) {
      if (::pthread_equal(self, ::pthread_self())) onOtherThread = false;
      received.Add(signal);
    });
    EXPECT_TRUE(IsBlocked(SIGUSR1));
    EXPECT_TRUE(IsBlocked(SIGWINCH));
    ASSERT_EQ(0, ::kill(::getpid(), SIGUSR1));
    ASSERT_TRUE(received.WaitForCount(1));
    ASSERT_EQ(0, ::kill(::getpid(), SIGWINCH));
    ASSERT_TRUE(received.WaitForCount(2));
  }  // joins: the wake-up reached the thread
  EXPECT_EQ((std::vector<int>{SIGUSR1, SIGWINCH}), received.signals);
  EXPECT_TRUE(onOtherThread);

  // After the thread has gone the signal stays blocked and pending.
  EXPECT_TRUE(IsBlocked(SIGUSR1));
  ASSERT_EQ(0, ::kill(::getpid(), SIGUSR1));
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, SIGUSR1);
  const timespec wait = {5, 0};
  EXPECT_EQ(SIGUSR1, ::sigtimedwait(&only, nullptr, &wait));
}

// A service whose run() asks for its own stop by sending `signal` to the
// process, as the service manager or a console would.
class SelfStoppingService : public libmo::Service {
 public:
  explicit SelfStoppingService(int signal) : signal_(signal) {}

  const char* getName() override { return "RelvoUnitTestService"; }
  const char* getDescription() override { return "service host unit test"; }
  void stop() override {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }
  void run(int argc, char** argv) override {
    runArgc = argc;
    runArgvIsNull = argv == nullptr;
    for (int i = 0; argv != nullptr && i < argc; ++i) runArgs.emplace_back(argv[i]);
    if (argv != nullptr) runArgvEndsWithNull = argv[argc] == nullptr;
    ::kill(::getpid(), signal_);
    std::unique_lock<std::mutex> lock(mutex_);
    stopReached = changed_.wait_for(lock, std::chrono::seconds(20), [this] { return stopped_; });
  }

  int runArgc = -1;
  bool runArgvIsNull = false;
  bool runArgvEndsWithNull = false;
  std::vector<std::string> runArgs;
  bool stopReached = false;

 private:
  int signal_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopped_ = false;
};

// The host blocks its control signals in the calling thread for good (a late
// signal must not end a process that is stopping in order); in this test
// binary that is the main thread, which only runs tests.
TEST(ServiceHost, UnderAServiceManagerReportsTheStatusSequenceAndStopsOnSigterm) {
  TempDir dir;
  const std::string path = dir / "notify.sock";
  NotifyListener manager(path);
  ASSERT_TRUE(manager.bound());
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  SelfStoppingService service(SIGTERM);
  libmo::startService(true, service, 0, nullptr);
  ::unsetenv("NOTIFY_SOCKET");

  EXPECT_TRUE(service.stopReached);
  EXPECT_EQ(0, service.runArgc);
  EXPECT_TRUE(service.runArgvIsNull);
  const std::vector<std::string> expected = {
      "STATUS=Service start pending (check point 1)\nEXTEND_TIMEOUT_USEC=5000000",
      "STATUS=Service start pending (check point 2)\nEXTEND_TIMEOUT_USEC=1000000",
      "READY=1\nSTATUS=Service running",
      "STOPPING=1\nSTATUS=Service stop pending (check point 1)\nEXTEND_TIMEOUT_USEC=5000000",
      "STATUS=Service stopped",
  };
  // READY=1 and the stop race: the stop may come first, as under Windows.
  std::vector<std::string> got;
  for (size_t i = 0; i < expected.size(); ++i) got.push_back(manager.Receive().value_or("<none>"));
  std::vector<std::string> sortedGot(got.begin() + 2, got.begin() + 4);
  std::sort(sortedGot.begin(), sortedGot.end());
  EXPECT_EQ(expected[0], got[0]);
  EXPECT_EQ(expected[1], got[1]);
  EXPECT_EQ((std::vector<std::string>{expected[2], expected[3]}), sortedGot);
  EXPECT_EQ(expected[4], got[4]);
  EXPECT_EQ(std::nullopt, manager.Receive(std::chrono::milliseconds(0)));
}

TEST(ServiceHost, InConsoleModeStopsOnSighupAndHandsTheArgumentsToRun) {
  SelfStoppingService service(SIGHUP);
  char program[] = "relvoclient";
  char option[] = "-debug";
  char* argv[] = {program, option, nullptr};
  libmo::startService(false, service, 2, argv);

  EXPECT_TRUE(service.stopReached);
  EXPECT_EQ(2, service.runArgc);
  EXPECT_FALSE(service.runArgvIsNull);
  EXPECT_TRUE(service.runArgvEndsWithNull);
  EXPECT_EQ((std::vector<std::string>{"relvoclient", "-debug"}), service.runArgs);
}

}  // namespace

#endif  // !_WIN32
