// An echo target for the benchmarks: one thread, epoll, any number of
// connections on 127.0.0.1. Everything a connection sends comes back to it.
//
//   relvo_bench_echo PORTFILE
//
// Binds a port the system picks, writes it to PORTFILE (through a rename, so
// a reader never sees half of it) and runs until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <unordered_map>

namespace {

volatile sig_atomic_t stopping = 0;
void OnSignal(int) { stopping = 1; }

// Bytes read but not yet echoed because the peer's window was full.
std::unordered_map<int, std::string> pending;

void Close(int epoll, int fd) {
  ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
  ::close(fd);
  pending.erase(fd);
}

// Sends what is pending on `fd`; false when the connection failed.
bool Flush(int epoll, int fd) {
  std::string& rest = pending[fd];
  while (!rest.empty()) {
    const ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno != EAGAIN) return false;
      epoll_event ev{EPOLLOUT, {.fd = fd}};  // read no more until this is out
      ::epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &ev);
      return true;
    }
    rest.erase(0, static_cast<size_t>(n));
  }
  epoll_event ev{EPOLLIN, {.fd = fd}};
  ::epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &ev);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: relvo_bench_echo PORTFILE\n");
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4096) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return 1;
  }
  const std::string partial = std::string(argv[1]) + ".partial";
  if (FILE* f = std::fopen(partial.c_str(), "w")) {
    std::fprintf(f, "%d\n", ntohs(address.sin_port));
    std::fclose(f);
    std::rename(partial.c_str(), argv[1]);
  }

  const int epoll = ::epoll_create1(0);
  epoll_event ev{EPOLLIN, {.fd = listener}};
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &ev);
  static char buffer[65536];
  epoll_event events[256];
  while (!stopping) {
    const int n = ::epoll_wait(epoll, events, 256, 200);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listener) {
        for (int c; (c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
          ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          epoll_event add{EPOLLIN, {.fd = c}};
          ::epoll_ctl(epoll, EPOLL_CTL_ADD, c, &add);
        }
        continue;
      }
      bool ok = true;
      if (events[i].events & EPOLLOUT) ok = Flush(epoll, fd);
      if (ok && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
          pending[fd].append(buffer, static_cast<size_t>(got));
          ok = Flush(epoll, fd);
        } else {
          ok = got < 0 && errno == EAGAIN;
        }
      }
      if (!ok) Close(epoll, fd);
    }
  }
  return 0;
}
