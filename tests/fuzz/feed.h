// What the harnesses share: a check that stops the run, and a socket pair
// through which the code under test reads bytes the harness writes in
// segments of its choosing.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace fuzz {

// Both logs to /dev/null: the code under test logs freely.
void QuietLogs();

// The rest of `data` cut into segments of 1 to `maxSegment` bytes, each
// length taken from the input before its bytes.
std::vector<std::string> Segments(FuzzedDataProvider& data, size_t maxSegment);
std::string Joined(const std::vector<std::string>& segments);

// A connected pair of stream sockets: `tested` for the code under test,
// `peer` for the harness.
struct SocketPair {
  SocketPair();
  ~SocketPair();
  int tested = -1;
  int peer = -1;
};

// Writes the segments to `peer`, each once the tested side has taken all of
// the previous one, then ends the peer's sending. A read there mostly sees
// one segment; one that is still copying when the next comes takes it too. Stop (or the destructor) ends the feeding early
// once the code under test reads no more.
class Feeder {
 public:
  Feeder(const SocketPair& pair, std::vector<std::string> segments);
  ~Feeder() { Stop(); }
  void Stop();

 private:
  void Run(int peer, std::vector<std::string> segments);

  int tested_;  // a duplicate: the code under test may close its own
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Everything `fd` yields until its end (or 10 seconds, a finding).
std::string ReadToEnd(int fd);
// What `fd` holds now, without waiting.
std::string ReadQueued(int fd);

}  // namespace fuzz
