// The service host of the real relvoclient: registration, running under the service manager, stop controls, removal and
// their failures. Windows: Wine's Service Control Manager; Linux: the unit folder in a private mount namespace, a
// recording systemctl stand-in, a notification socket of the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Common/unique_fd_posix.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/text.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testsupport;

namespace {

constexpr auto kTimeout = std::chrono::seconds(60);

// A service run's events log lines in their order, and the stop's. A stop may come as soon as the service runs: "Main
// thread started." and the stop's lines have no order between them.
const std::vector<std::string> kServiceRun = {
    "startService: run as service", "Main thread started.", "Service stop asked, report service stopped...",
    "Service exited."};
const std::vector<std::string> kServiceStop = {"startService: run as service", "service stop requested.",
                                               "Service stopping...", "Service stop asked, report service stopped..."};

// A service name of its own for every test: a leftover never meets a rerun.
std::string UniqueName(const std::string& base) {
  static std::atomic<unsigned> counter{0};
  return base + std::to_string(::getpid()) + "x" + std::to_string(counter++);
}

class ServiceHost : public ::testing::Test {
 protected:
  void SetUp() override {
    exe = InstallClient(dir);
    Configure(UniqueName("RelvoSvcE2E"), "Relvo service host test");
  }

  // A complete ini whose proxy server does not answer: the connector retries until stopped.
  void Configure(const std::string& serviceName, const std::string& serviceDescription) {
    name = serviceName;
    description = serviceDescription;
    const std::string port = std::to_string(ClosedLoopbackPort());
    WriteFile(dir.path() / "relvoclient.ini", "[system]\nservice_name=" + name + "\nservice_desc=" + description +
                                                  "\n[proxyServer]\naddress=127.0.0.1\nport=" + port +
                                                  "\n[servers]\nweb=1\n[web]\naddress=127.0.0.1\nport=" + port + "\n");
  }

  std::string EventsLog() const { return ReadFile(dir.path() / "logs" / "events.log"); }
  std::string ErrorsLog() const { return ReadFile(dir.path() / "logs" / "errors.log"); }
  bool EventsLogShows(const std::string& text) const {
    return WaitFor([&] { return Contains(EventsLog(), text); });
  }

  TempDir dir;
  std::string exe;
  std::string name;
  std::string description;
};

// ------------------------------------------------------------ Windows (Wine)

class WineServiceHost : public ServiceHost {
 protected:
  void SetUp() override {
    if (!Client().wine()) GTEST_SKIP() << "Service Control Manager tests need the Windows build";
    ServiceHost::SetUp();
  }
  // Whatever a test registered is removed, also when it failed half-way.
  void TearDown() override {
    if (!State().empty()) RunCommand(dir, "cleanup", ClientCommand(exe, {"-remove"}));
  }

  RunResult Sc(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {Client().wineRun, "sc"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(dir, "sc", argv);
  }
  // sc query's STATE, e.g. "4  RUNNING"; empty when not registered.
  std::string State() {
    const RunResult r = Sc({"query", name});
    const size_t colon = r.out.find(':', r.out.find("STATE"));
    if (r.exitCode != 0 || colon == std::string::npos) return std::string();
    const std::string state = r.out.substr(colon + 2, r.out.find_first_of("\r\n", colon) - colon - 2);
    return state.substr(0, state.find_last_not_of(' ') + 1);
  }
  bool StateBecomes(const std::string& state) { return WaitFor([&] { return State() == state; }); }
  // How Wine shows a Unix path: drive Z: with backslashes.
  static std::string WindowsPath(std::string p) { return "Z:" + (std::replace(p.begin(), p.end(), '/', '\\'), p); }
};

// A name over 39 characters and a description over 99: the dispatcher table takes 39 characters of the name, the
// handler the whole name, and the description is cut to 99.
TEST_F(WineServiceHost, InstallRegistersADemandStartServiceThatStartsAndStops) {
  Configure(UniqueName("RelvoServiceHostWithAVeryLongName") + "_padding", std::string(150, 'd'));
  RunResult r = RunClient(dir, exe, {"-install"});
  ASSERT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "installService: service installed\n")) << r.out;
  EXPECT_EQ("1  STOPPED", State());
  // The configuration as the manager stored it (Wine's sc has no "qc").
  const std::vector<std::string> reg = {Client().wineRun, "reg", "query",
                                        "HKLM\\System\\CurrentControlSet\\Services\\" + name};
  const std::string stored = RunCommand(dir, "reg", reg).out;
  for (const std::string& value :
       {"Description    REG_SZ    " + description.substr(0, 99), "DisplayName    REG_SZ    " + name,
        "ImagePath    REG_SZ    \"" + WindowsPath(exe) + "\"", std::string("Start    REG_DWORD    0x3"),
        std::string("Type    REG_DWORD    0x10"), std::string("ErrorControl    REG_DWORD    0x1"),
        std::string("ObjectName    REG_SZ    LocalSystem")}) {
    EXPECT_TRUE(Contains(stored, value + "\r\n")) << value << "\n" << stored;
  }
  r = RunClient(dir, exe, {"-install"});
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(InOrder(r.out, {"installService: CreateService failed : OS error '",
                              "' func(libmo::`anonymous-namespace'::installService service:300)\n",
                              "Cannot install " + name + " " + description + " " + WindowsPath(exe) + "\n"}))
      << r.out;

  ASSERT_EQ(0, Sc({"start", name}).exitCode);
  ASSERT_TRUE(EventsLogShows("Launching the relvoclient (2.0.0.19).")) << EventsLog();
  ASSERT_TRUE(StateBecomes("4  RUNNING")) << State();
  ASSERT_EQ(0, Sc({"stop", name}).exitCode);
  ASSERT_TRUE(StateBecomes("1  STOPPED")) << State();
  EXPECT_TRUE(Contains(Sc({"query", name}).out, "WIN32_EXIT_CODE    : 0  (0x0)"));
  ASSERT_TRUE(EventsLogShows("Service exited.")) << EventsLog();
  EXPECT_TRUE(InOrder(EventsLog(), kServiceRun)) << EventsLog();
  EXPECT_TRUE(InOrder(EventsLog(), kServiceStop)) << EventsLog();
  EXPECT_FALSE(Contains(ErrorsLog(), "Service")) << ErrorsLog();

  r = RunClient(dir, exe, {"-remove"});
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Service uninstalled\n")) << r.out;
  EXPECT_FALSE(Contains(r.out, "Stopping service...")) << r.out;
  EXPECT_NE(0, RunCommand(dir, "reg", reg).exitCode);
}

// A start that fails (no proxy server in the ini) is a stopped service with its own exit code, not a clean stop.
TEST_F(WineServiceHost, AFailedStartStopsWithAServiceSpecificExitCode) {
  ASSERT_EQ(0, RunClient(dir, exe, {"-install"}).exitCode);
  WriteFile(dir.path() / "relvoclient.ini", "[system]\nservice_name=" + name + "\n");
  ASSERT_EQ(0, Sc({"start", name}).exitCode);
  ASSERT_TRUE(EventsLogShows("Service exited.")) << EventsLog();
  ASSERT_TRUE(StateBecomes("1  STOPPED")) << State();
  const std::string query = Sc({"query", name}).out;
  EXPECT_TRUE(Contains(query, "WIN32_EXIT_CODE    : 1066  (0x42a)")) << query;
  EXPECT_TRUE(Contains(query, "SERVICE_EXIT_CODE  : 2  (0x2)")) << query;
  EXPECT_TRUE(Contains(ErrorsLog(), "Address of [proxyServer] is undefined.")) << ErrorsLog();
}

TEST_F(WineServiceHost, RemovingARunningServiceStopsItWaitsOnceAndDeletesIt) {
  ASSERT_EQ(0, RunClient(dir, exe, {"-install"}).exitCode);
  ASSERT_EQ(0, Sc({"start", name}).exitCode);
  ASSERT_TRUE(EventsLogShows("Main thread started.")) << EventsLog();

  const auto began = std::chrono::steady_clock::now();
  RunResult r = RunClient(dir, exe, {"-remove"});
  EXPECT_GE(std::chrono::steady_clock::now() - began, 500ms);
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(InOrder(r.out, {"Stopping service...\n", "Service uninstalled\n"})) << r.out;
  ASSERT_TRUE(EventsLogShows("Service exited.")) << EventsLog();
  EXPECT_TRUE(WaitFor([&] { return State().empty(); })) << State();

  r = RunClient(dir, exe, {"-remove"});
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(InOrder(r.out, {"OpenService failed : OS error '",
                              "' func(libmo::`anonymous-namespace'::uninstallService service:331)\n",
                              "Cannot uninstall " + name + "\n"}))
      << r.out;
}

// ------------------------------------------------------------ Linux (systemd)

class LinuxServiceHost : public ServiceHost {
 protected:
  void SetUp() override {
    if (Client().wine()) GTEST_SKIP() << "systemd tests need the Linux build";
    ServiceHost::SetUp();
    fs::create_directory(units());
    fs::create_directory(bin());
    // Exit codes: bin/<verb>.rc when present; otherwise "is-active" says inactive (3) and every other verb succeeds.
    WriteFile(bin() / "systemctl", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + record() + "'\nrc='" + bin().string() +
                                       "/'\"$1\".rc\n[ -f \"$rc\" ] && exit \"$(cat \"$rc\")\"\n"
                                       "[ \"$1\" = is-active ] && exit 3\nexit 0\n");
    ::chmod((bin() / "systemctl").c_str(), 0755);
  }

  fs::path units() const { return dir.path() / "units"; }
  fs::path bin() const { return dir.path() / "bin"; }
  std::string record() const { return dir / "systemctl.txt"; }
  fs::path unitFile() const { return units() / (name + ".service"); }
  std::string Recorded() const { return ReadFile(record()); }

  // Runs the client with `option` where /etc/systemd/system is the test's unit folder (`mount`: the shell command that
  // prepares the view) and PATH starts with the systemctl stand-in (`path` replaces PATH when given).
  RunResult InSandbox(const std::string& option, const std::string& mount = "", const std::string& path = "") {
    const std::string prepare = mount.empty() ? "mount --bind \"$1\" /etc/systemd/system" : mount;
    std::vector<std::string> argv = {"unshare", "-m", "sh", "-c", prepare + " && shift && exec \"$@\"", "sh",
                                     units().string()};
    if (!path.empty()) argv.insert(argv.end(), {"env", "PATH=" + path});
    argv.insert(argv.end(), {exe, option});
    const char* current = std::getenv("PATH");
    return RunCommand(dir, "client", argv, {"PATH=" + bin().string() + ":" + (current ? current : "/usr/bin:/bin")});
  }

  // The private mount namespace that stands in for the unit folder takes root.
  static void RequireMountNamespaces() {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  }
};

// A name over 39 characters names the unit whole; the description is cut to 99 characters.
TEST_F(LinuxServiceHost, InstallWritesANotifyUnitOnceAndRemoveStopsAnActiveOneAndDeletesIt) {
  RequireMountNamespaces();
  Configure(UniqueName("RelvoServiceHostWithAVeryLongName") + "_padding", std::string(150, 'd'));
  RunResult r = InSandbox("-install");
  ASSERT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "installService: service installed\n")) << r.out;
  // The log folder is made, so that the unit can keep it writable.
  const std::string unit = ReadFile(unitFile());
  EXPECT_TRUE(fs::is_directory(dir.path() / "logs"));
  for (const std::string& line :
       {"Description=" + description.substr(0, 99), std::string("Type=notify"), "ExecStart=" + exe,
        std::string("Restart=on-failure"), std::string("StartLimitBurst=5"), std::string("ProtectSystem=full"),
        std::string("NoNewPrivileges=yes"), "ReadWritePaths=-" + (dir / "logs"), std::string("[Install]"),
        std::string("WantedBy=multi-user.target")}) {
    EXPECT_TRUE(Contains(unit, "\n" + line + "\n")) << line << "\n" << unit;
  }
  // Nothing else in the unit folder: no .wants link, the unit is demand start.
  EXPECT_EQ(1, std::distance(fs::directory_iterator(units()), fs::directory_iterator()));
  if (fs::exists("/usr/bin/systemd-analyze")) {
    const RunResult verify = RunCommand(dir, "verify", {"systemd-analyze", "verify", unitFile().string()});
    EXPECT_FALSE(Contains(verify.out + verify.err, unitFile().filename().string())) << verify.out << verify.err;
  }
  EXPECT_FALSE(fs::exists("/etc/systemd/system/" + name + ".service")) << "the system's folder is untouched";

  r = InSandbox("-install");
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(InOrder(r.out, {"installService: CreateService failed : OS error 'File exists' "
                              "func(libmo::`anonymous-namespace'::installService service:300)\n",
                              "Cannot install " + name + " " + description + " " + exe + "\n"}))
      << r.out;
  EXPECT_EQ(unit, ReadFile(unitFile())) << "the first unit stays";

  r = InSandbox("-remove");
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "Service uninstalled\n")) << r.out;
  EXPECT_FALSE(Contains(r.out, "Stopping service...")) << r.out;
  EXPECT_FALSE(fs::exists(unitFile()));
  const std::string removed = "daemon-reload\nis-active --quiet " + name + ".service\ndaemon-reload\n";
  EXPECT_EQ(removed, Recorded());

  // An active unit is stopped first, with one wait; its enable link goes.
  ASSERT_EQ(0, InSandbox("-install").exitCode);
  fs::create_directory(units() / "multi-user.target.wants");
  fs::create_symlink(unitFile(), units() / "multi-user.target.wants" / unitFile().filename());
  WriteFile(bin() / "is-active.rc", "0");
  const auto began = std::chrono::steady_clock::now();
  r = InSandbox("-remove");
  EXPECT_GE(std::chrono::steady_clock::now() - began, 500ms);
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(InOrder(r.out, {"Stopping service...\n", "Service uninstalled\n"})) << r.out;
  EXPECT_FALSE(fs::exists(unitFile()));
  EXPECT_FALSE(fs::is_symlink(units() / "multi-user.target.wants" / unitFile().filename()));
  EXPECT_EQ(removed + "daemon-reload\nis-active --quiet " + name + ".service\nstop --no-block " + name +
                ".service\ndaemon-reload\n",
            Recorded());
}

// Each failing step names itself; without systemctl (no service manager) install and remove work, without a reload.
TEST_F(LinuxServiceHost, FailuresNameTheirStepAndNoSystemctlIsNoFailure) {
  RequireMountNamespaces();
  RunResult r = InSandbox("-remove");
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(InOrder(r.out, {"OpenService failed : OS error 'No such file or directory' "
                              "func(libmo::`anonymous-namespace'::uninstallService service:331)\n",
                              "Cannot uninstall " + name + "\n"}))
      << r.out;
  // An empty /etc/systemd: there is no system unit folder at all.
  r = InSandbox("-install", "mount -t tmpfs relvo-test /etc/systemd");
  EXPECT_EQ(1, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(InOrder(r.out, {"installService: OpenSCManager failed : OS error 'No such file or directory' "
                              "func(libmo::`anonymous-namespace'::installService service:282)\n",
                              "Cannot install " + name + " " + description + " " + exe + "\n"}))
      << r.out;
  EXPECT_EQ("", Recorded());

  const std::string noSystemctl = (dir.path() / "empty").string();
  fs::create_directory(noSystemctl);
  ASSERT_EQ(0, InSandbox("-install", "", noSystemctl).exitCode);
  EXPECT_TRUE(fs::exists(unitFile()));
  ASSERT_EQ(0, InSandbox("-remove", "", noSystemctl).exitCode);
  EXPECT_FALSE(fs::exists(unitFile()));
  EXPECT_EQ("", Recorded());
}

// The service manager's notification socket at `address` (a path, or '@' and an abstract name); invalid if not bound.
libmo::UniqueFd NotifySocket(const std::string& address) {
  libmo::UniqueFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  address.copy(sa.sun_path, sizeof sa.sun_path - 1);
  if (address[0] == '@') sa.sun_path[0] = '\0';
  const size_t length = offsetof(sockaddr_un, sun_path) + address.size() + (address[0] == '@' ? 0 : 1);
  const bool bound = ::bind(manager.Get(), reinterpret_cast<sockaddr*>(&sa), static_cast<socklen_t>(length)) == 0;
  return bound ? std::move(manager) : libmo::UniqueFd();
}

// Runs the client as systemd starts the unit, with its notification socket at `address`. SIGHUP is the interrogate
// control, SIGTERM the stop control.
void RunUnderServiceManager(const TempDir& dir, const std::string& exe, const std::string& address) {
  const libmo::UniqueFd manager = NotifySocket(address);
  ASSERT_TRUE(manager.Valid());
  const auto receive = [&] {
    pollfd p = {manager.Get(), POLLIN, 0};
    char buffer[4096];
    const ssize_t n = ::poll(&p, 1, 30000) == 1 ? ::recv(manager.Get(), buffer, sizeof buffer, 0) : -1;
    return n < 0 ? std::string("<none>") : std::string(buffer, static_cast<size_t>(n));
  };
  const std::string running = "READY=1\nSTATUS=Service running";
  ChildProcess child({exe}, dir / "out.txt", dir / "err.txt", "", {"NOTIFY_SOCKET=" + address});
  EXPECT_EQ("STATUS=Service start pending (check point 1)\nEXTEND_TIMEOUT_USEC=5000000", receive());
  EXPECT_EQ("STATUS=Service start pending (check point 2)\nEXTEND_TIMEOUT_USEC=1000000", receive());
  EXPECT_EQ(running, receive());
  ASSERT_TRUE(WaitFor([&] { return Contains(ReadFile(dir.path() / "logs/events.log"), "Launching the relvoclient"); }));
  child.Signal(SIGHUP);
  EXPECT_EQ(running, receive()) << "interrogate re-reports the state";
  child.Terminate();
  EXPECT_EQ("STOPPING=1\nSTATUS=Service stop pending (check point 1)\nEXTEND_TIMEOUT_USEC=5000000", receive());
  EXPECT_EQ("STATUS=Service stopped", receive());
  EXPECT_EQ(std::optional<int>(0), child.WaitExit(kTimeout));
}

// Then: an undeliverable status report ends the start before the connector runs, with no message; the process exits 0.
TEST_F(LinuxServiceHost, UnderSystemdReportsEachStateAndStopsOnSigterm) {
  for (const std::string& address : {std::string(dir / "notify.sock"), "@" + UniqueName("relvo-notify-")}) {
    fs::remove_all(dir.path() / "logs");
    RunUnderServiceManager(dir, exe, address);
    EXPECT_TRUE(InOrder(EventsLog(), kServiceRun)) << EventsLog();
    EXPECT_TRUE(InOrder(EventsLog(), kServiceStop)) << EventsLog();
    EXPECT_FALSE(Contains(ErrorsLog(), "Service")) << ErrorsLog();
  }
  fs::remove_all(dir.path() / "logs");
  RunResult r = RunClient(dir, exe, {}, {"NOTIFY_SOCKET=" + (dir / "nobody.sock")});
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Contains(EventsLog(), "startService: run as service")) << EventsLog();
  EXPECT_FALSE(Contains(EventsLog(), "Main thread started.")) << EventsLog();
  EXPECT_EQ(1u, Occurrences(ErrorsLog(), "\n")) << "only the Init log line\n" << ErrorsLog();
}

// A failed start (no proxy server in the ini) is reported stopped with the connector's exit code, the process's too.
TEST_F(LinuxServiceHost, AFailedStartUnderSystemdExitsNonZero) {
  WriteFile(dir.path() / "relvoclient.ini", "[system]\nservice_name=" + name + "\n");
  const std::string address = "@" + UniqueName("relvo-notify-");
  const libmo::UniqueFd manager = NotifySocket(address);
  ASSERT_TRUE(manager.Valid());
  const RunResult r = RunClient(dir, exe, {}, {"NOTIFY_SOCKET=" + address});
  EXPECT_EQ(2, r.exitCode) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, "relvoclient: cannot start: Address of [proxyServer] is undefined.")) << r.err;
  std::string last;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(manager.Get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) last.assign(buffer, n);
  EXPECT_EQ("STATUS=Service stopped (service-specific exit code 2)", last);
}

// In the console SIGTERM and SIGHUP stop the connector as SIGINT does.
TEST_F(LinuxServiceHost, DebugStopsOnSigtermAndSighup) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    fs::remove_all(dir.path() / "logs");
    ChildProcess child(ClientCommand(exe, {"-debug"}), dir / "out.txt", dir / "err.txt");
    ASSERT_TRUE(EventsLogShows("Main thread started.")) << signal << "\n" << EventsLog();
    child.Signal(signal);
    EXPECT_EQ(std::optional<int>(0), child.WaitExit(kTimeout)) << signal;
    EXPECT_TRUE(InOrder(EventsLog(), {"service stop requested.", "Service exited."})) << signal << "\n" << EventsLog();
  }
}

}  // namespace
