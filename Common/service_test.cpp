// The service host's building blocks: the fixed-size name and description
// buffers, and on POSIX the systemd notification socket, the unit file text,
// the systemctl runner, the signal thread and the host's status sequence.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Common/fixed_text.h"

namespace {

TEST(CopyTruncated, CutsToTheBufferLessOneAndZeroesTheRest) {
  char name[40];
  std::memset(name, 'x', sizeof name);
  libmo::CopyTruncated(name, std::string(45, 'N').c_str());
  EXPECT_EQ(std::string(39, 'N') + '\0', std::string(name, sizeof name));

  std::string description;
  for (int i = 0; i < 150; ++i) description += static_cast<char>('a' + i % 26);
  char text[100];
  libmo::CopyTruncated(text, description.c_str());
  EXPECT_EQ(description.substr(0, 99) + '\0', std::string(text, sizeof text));

  std::memset(name, 'x', sizeof name);
  libmo::CopyTruncated(name, "Relvo");
  EXPECT_EQ("Relvo" + std::string(35, '\0'), std::string(name, sizeof name));
  libmo::CopyTruncated(name, nullptr);
  EXPECT_EQ(std::string(40, '\0'), std::string(name, sizeof name));
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

// A datagram socket bound at `path`, as a service manager binds its
// notification socket.
class NotifyListener {
 public:
  explicit NotifyListener(const std::string& path) : path_(path) {
    fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    path.copy(sa.sun_path, sizeof sa.sun_path - 1);
    bound_ = fd_.Valid() && ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~NotifyListener() {
    if (bound_) ::unlink(path_.c_str());
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
  std::string path_;
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

// The status sequence of a running service is checked by the host's own
// test below; these are the texts it does not reach.
TEST(NotifyText, StoppedWithAnErrorCarriesItsErrno) {
  EXPECT_EQ("STATUS=Service stopped\nERRNO=111", NotifyText(Status(ServiceState::kStopped, 0, 0, 111)));
  EXPECT_EQ("STATUS=Service start pending (check point 3)\nEXTEND_TIMEOUT_USEC=250000",
            NotifyText(Status(ServiceState::kStartPending, 3, 250)));
}

TEST(NotifySocket, RejectsBadAddressesAndFailsToSendWithErrno) {
  errno = 0;
  EXPECT_FALSE(NotifySocket::Open("").Valid());
  EXPECT_EQ(EINVAL, errno);
  errno = 0;
  EXPECT_FALSE(NotifySocket::Open("run/notify").Valid());
  EXPECT_EQ(EINVAL, errno);
  errno = 0;
  EXPECT_FALSE(NotifySocket::Open("/" + std::string(sizeof(sockaddr_un::sun_path), 'x')).Valid());
  EXPECT_EQ(ENAMETOOLONG, errno);

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

TEST(UnitFile, NotifyServiceWithEscapedTextsInTheSystemUnitFolder) {
  EXPECT_EQ(
      "[Unit]\nDescription=OVIK proxy client\n\n"
      "[Service]\nType=notify\nExecStart=/opt/relvo/relvoclient\n",
      libmo::systemd::UnitFileText("/opt/relvo/relvoclient", "OVIK proxy client"));
  EXPECT_EQ("[Service]\nType=notify\nExecStart=/opt/relvo/relvoclient\n",
            libmo::systemd::UnitFileText("/opt/relvo/relvoclient", nullptr));
  // '%' signs, quotes and odd paths are escaped; the description stays on one line.
  EXPECT_EQ(
      "[Unit]\nDescription=100%% up  now\n\n"
      "[Service]\nType=notify\nExecStart=\"/opt/my relvo/a\\\\b\\\"c%%d\"\n",
      libmo::systemd::UnitFileText("/opt/my relvo/a\\b\"c%d", "100% up\r\nnow"));
  EXPECT_EQ("/etc/systemd/system/RelvoClient.service", libmo::systemd::UnitFilePath("RelvoClient"));
}

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
  const std::string saved = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
  const std::string three = notExecutable.path().string() + ":" + first.path().string() + ":" + second.path().string();
  ::setenv("PATH", three.c_str(), 1);
  const std::string found = libmo::systemd::FindSystemctl();
  ::setenv("PATH", notExecutable.path().c_str(), 1);
  const std::string none = libmo::systemd::FindSystemctl();
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(first / "systemctl", found);
  EXPECT_EQ("", none);
}

TEST(RunProgram, PassesTheArgumentsAndReturnsTheExitStatusOrMinusOneWithErrno) {
  TempDir dir;
  const std::string record = dir / "args.txt";
  WriteScript(dir / "tool", "printf '%s|' \"$@\" > '" + record + "'\nexit 3\n");
  EXPECT_EQ(3, libmo::systemd::RunProgram(dir / "tool", {"is-active", "--quiet", "My Unit.service"}));
  EXPECT_EQ("is-active|--quiet|My Unit.service|", testsupport::ReadFile(record));

  errno = 0;
  EXPECT_EQ(-1, libmo::systemd::RunProgram(dir / "missing", {}));
  EXPECT_NE(0, errno);
  WriteScript(dir / "killed", "kill -9 $$\n");
  errno = 0;
  EXPECT_EQ(-1, libmo::systemd::RunProgram(dir / "killed", {}));
  EXPECT_EQ(EINTR, errno);
}

bool IsBlocked(int signal) {
  sigset_t mask;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

TEST(SignalThread, HandsProcessSignalsToTheHandlerOnItsOwnThreadAndKeepsThemBlocked) {
  std::mutex mutex;
  std::vector<int> received;
  const auto count = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return received.size();
  };
  std::atomic<bool> onOtherThread{true};
  const pthread_t self = ::pthread_self();
  {
    libmo::SignalThread thread({SIGUSR1, SIGWINCH}, [&](int signal) {
      if (::pthread_equal(self, ::pthread_self())) onOtherThread = false;
      std::lock_guard<std::mutex> lock(mutex);
      received.push_back(signal);
    });
    EXPECT_TRUE(IsBlocked(SIGUSR1));
    EXPECT_TRUE(IsBlocked(SIGWINCH));
    ASSERT_EQ(0, ::kill(::getpid(), SIGUSR1));
    ASSERT_TRUE(testsupport::WaitFor([&] { return count() == 1; }));
    ASSERT_EQ(0, ::kill(::getpid(), SIGWINCH));
    ASSERT_TRUE(testsupport::WaitFor([&] { return count() == 2; }));
  }  // joins: the wake-up reached the thread
  EXPECT_EQ((std::vector<int>{SIGUSR1, SIGWINCH}), received);
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
    for (int i = 0; argv != nullptr && i <= argc; ++i) runArgs.emplace_back(argv[i] != nullptr ? argv[i] : "<null>");
    ::kill(::getpid(), signal_);
    std::unique_lock<std::mutex> lock(mutex_);
    stopReached = changed_.wait_for(lock, std::chrono::seconds(20), [this] { return stopped_; });
  }

  int runArgc = -1;
  bool runArgvIsNull = false;
  std::vector<std::string> runArgs;  // with the closing null
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
  ASSERT_TRUE(manager.bound()) << std::strerror(errno);
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  SelfStoppingService service(SIGTERM);
  libmo::startService(true, service, 0, nullptr);
  ::unsetenv("NOTIFY_SOCKET");

  EXPECT_TRUE(service.stopReached);
  EXPECT_EQ(0, service.runArgc);
  EXPECT_TRUE(service.runArgvIsNull);
  std::vector<std::string> got;
  for (int i = 0; i < 5; ++i) got.push_back(manager.Receive().value_or("<none>"));
  // The stop is asked for at once, so it may be reported before READY=1, as
  // under Windows.
  std::sort(got.begin() + 2, got.begin() + 4);
  EXPECT_EQ((std::vector<std::string>{
                "STATUS=Service start pending (check point 1)\nEXTEND_TIMEOUT_USEC=5000000",
                "STATUS=Service start pending (check point 2)\nEXTEND_TIMEOUT_USEC=1000000",
                "READY=1\nSTATUS=Service running",
                "STOPPING=1\nSTATUS=Service stop pending (check point 1)\nEXTEND_TIMEOUT_USEC=5000000",
                "STATUS=Service stopped",
            }),
            got);
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
  EXPECT_EQ((std::vector<std::string>{"relvoclient", "-debug", "<null>"}), service.runArgs);
}

}  // namespace

#endif  // !_WIN32
