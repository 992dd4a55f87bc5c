#include <gtest/gtest.h>

#include "tools/relvoproxy/address_filter.h"
#include "tools/relvoproxy/fair_slots.h"

namespace relvoproxy {
namespace {

TEST(FairSlots, AFullAddressOrTableGivesUpTheOldestOfTheAddressHoldingTheMost) {
  FairSlots slots(4, 3);
  EXPECT_EQ(0u, slots.Admit(1, "a"));
  EXPECT_EQ(0u, slots.Admit(2, "a"));
  EXPECT_EQ(0u, slots.Admit(3, "a"));
  EXPECT_EQ(1u, slots.Admit(4, "a"));  // its own bound: its own oldest goes
  EXPECT_EQ(0u, slots.Admit(5, "b"));
  EXPECT_EQ(2u, slots.Admit(6, "c"));  // the table is full: "a" holds the most
  EXPECT_EQ(3u, slots.Admit(7, "b"));  // "a" and "b" (with the newcomer) hold 2: "a"'s oldest is older
  EXPECT_EQ(5u, slots.Admit(8, "b"));  // "b" with the newcomer holds the most
  slots.Release(4);
  slots.Release(4);
  EXPECT_EQ(0u, slots.Admit(9, "d"));
  EXPECT_EQ(4u, slots.Size());
  EXPECT_EQ(2u, slots.CountOf("b"));
}

TEST(AddressCounts, AHoldCountsUntilItsLastCopyGoes) {
  AddressCounts counts(2);
  std::shared_ptr<void> a = counts.Take("x"), b = counts.Take("x");
  EXPECT_TRUE(a && b && counts.Take("y"));
  EXPECT_EQ(nullptr, counts.Take("x"));
  a.reset();
  EXPECT_NE(nullptr, counts.Take("x"));
}

TEST(AddressFilter, NetworksOfEitherFamilyAndBadEntries) {
  AddressFilter filter;
  std::string error;
  EXPECT_TRUE(filter.Allows("192.0.2.1"));  // no list: everyone
  ASSERT_TRUE(filter.Parse("10.1.0.0/15,192.0.2.7,2001:db8::/33,::1", &error)) << error;
  for (const char* in : {"10.0.0.1", "10.1.255.255", "192.0.2.7", "2001:db8:7fff::1", "::1"}) {
    EXPECT_TRUE(filter.Allows(in)) << in;
  }
  for (const char* out : {"10.2.0.0", "192.0.2.8", "2001:db8:8000::", "::2", "127.0.0.1", "junk"}) {
    EXPECT_FALSE(filter.Allows(out)) << out;
  }
  for (const char* bad : {"", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/x", "host/8", "10.0.0.1,"}) {
    EXPECT_FALSE(filter.Parse(bad, &error)) << bad;
    EXPECT_TRUE(filter.Allows("192.0.2.7")) << "unchanged after " << bad;
  }
  EXPECT_TRUE(IsLoopback("127.0.0.2") && IsLoopback("::1") && !IsLoopback("0.0.0.0"));
}

}  // namespace
}  // namespace relvoproxy
