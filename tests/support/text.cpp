#include "tests/support/text.h"

namespace testsupport {

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t from = 0;
  for (const std::string& part : parts) {
    const size_t at = text.find(part, from);
    if (at == std::string::npos) return ::testing::AssertionFailure() << "missing or out of order: " << part;
    from = at + part.size();
  }
  return ::testing::AssertionSuccess();
}

std::string PatternBytes(size_t size, uint32_t variant) {
  std::string out(size, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(variant) * 0xBF58476D1CE4E5B9ull);
  for (char& c : out) {
    // xorshift64*: cheap, and no run of equal bytes hides a shifted stream
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    c = static_cast<char>((x * 0x2545F4914F6CDD1Dull) >> 56);
  }
  return out;
}

unsigned LoggedThreadId(const std::string& log, const std::string& tag, const std::string& message) {
  const size_t at = log.find(":" + tag + "): " + message);
  if (at == std::string::npos) return 0;
  const size_t open = log.rfind('(', at);
  if (open == std::string::npos) return 0;
  return static_cast<unsigned>(std::stoul(log.substr(open + 1, at - open - 1)));
}

}  // namespace testsupport
