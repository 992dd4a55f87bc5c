#include "Common/chunk_buffer.h"

#include <gtest/gtest.h>

namespace {

using libmo::ChunkBuffer;

// What one pump gives back, the next pump that asks for that size uses: the pages of idle tunnels' buffers are not
// multiplied. Another size (the setting changed) never gets a buffer too small.
TEST(ChunkBuffer, AReleasedBufferServesTheNextTakeOfItsSizeOnly) {
  ChunkBuffer first;
  char* const data = first.Take(4000);
  EXPECT_EQ(data, first.Take(4000)) << "a held buffer of the size asked is kept";
  first.Release();
  ChunkBuffer second;
  EXPECT_EQ(data, second.Take(4000));
  ChunkBuffer third;
  EXPECT_NE(data, third.Take(4000)) << "a held buffer is nobody else's";
  second.Release();
  ChunkBuffer larger;
  char* const big = larger.Take(65536);
  EXPECT_NE(data, big);
  big[65535] = 1;  // the whole size is there (the sanitizers check)
}

}  // namespace
