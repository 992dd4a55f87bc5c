// What the harnesses share: both logs going to /dev/null (also for threads
// that open them when they start), a check that stops the run, and a socket
// pair through which the code under test reads what the harness writes.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#define FUZZ_CHECK(c) \
  ((c) ? void() : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c), std::abort()))

namespace fuzz {

// The rest of `data` cut into segments of 1 to `maxSegment` bytes, each
// length taken from the input; and the segments joined again.
std::vector<std::string> Segments(FuzzedDataProvider& data, size_t maxSegment);
std::string Joined(const std::vector<std::string>& segments);

// A connected pair of stream sockets: `tested` for the code under test.
struct SocketPair {
  SocketPair();
  ~SocketPair();
  int tested = -1;
  int peer = -1;
};

// Writes the segments to `peer`, each once the tested side has taken all of
// the previous one, then ends the peer's sending. A read there mostly sees
// one segment; one that is still copying when the next comes takes it too.
// Stop ends the feeding early once the code under test reads no more.
class Feeder {
 public:
  Feeder(const SocketPair& pair, std::vector<std::string> segments);
  ~Feeder() { Stop(); }
  void Stop();

 private:
  int tested_;  // a duplicate: the code under test may close its own
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Everything `fd` yields until its end (10 seconds at most: a finding), or
// with `flags` MSG_DONTWAIT what it holds now.
std::string Read(int fd, int flags = 0);

}  // namespace fuzz
