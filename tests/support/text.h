// Test helpers for log texts and test payloads.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// How often `part` stands in `text`, counting non-overlapping matches. REQUIRES: `part` is not empty.
size_t Occurrences(const std::string& text, const std::string& part);

// Succeeds when every one of `parts` occurs in `text`, each after the end of the one before; else names the missing.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts);

// `size` bytes of a repeatable pseudo-random stream; different `variant`s give unrelated streams, so a byte delivered
// to the wrong peer or shifted in a stream shows.
std::string PatternBytes(size_t size, uint32_t variant);

// The thread id on the first log line "(<id>:<tag>): <message>"; 0 when there is no such line.
unsigned LoggedThreadId(const std::string& log, const std::string& tag, const std::string& message);

}  // namespace testsupport
