// What the harnesses share: both logs going to /dev/null (also for threads that open them when they start), a check
// that stops the run, and a socket pair through which the code under test reads what the harness writes.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#define FUZZ_CHECK(c) \
  ((c) ? void() : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c), std::abort()))

namespace fuzz {

// The rest of `data` cut into segments of 1 to `maxSegment` bytes, each length taken from the input; and the segments
// joined again.
std::vector<std::string> Segments(FuzzedDataProvider& data, size_t maxSegment);
inline std::string Joined(const std::vector<std::string>& s) { return std::accumulate(s.begin(), s.end(), std::string()); }

// A connected pair of stream sockets: `tested` for the code under test, `peer` for the harness, which writes the
// segments there, each once the tested side has taken all of the previous one, then ends its sending. A read there
// mostly sees one segment; one still copying when the next comes takes it too. StopFeeding ends the feeding early, once
// the code under test reads no more. Set `tested` to -1 when the code under test owns it.
class FedPair {
 public:
  explicit FedPair(std::vector<std::string> segments);
  ~FedPair();
  void StopFeeding();
  int tested = -1;
  int peer = -1;

 private:
  int watched_ = -1;  // a duplicate of `tested`, which the code under test may close
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Everything `fd` yields until its end (a hang is libFuzzer's time-out), or with `flags` MSG_DONTWAIT what it holds
// now.
std::string Read(int fd, int flags = 0);

}  // namespace fuzz
