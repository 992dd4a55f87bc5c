#include "Common/relvo/Wire.h"

#include <gtest/gtest.h>

#include <string>

namespace relvo::wire {
namespace {

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// The published known answers (key bytes in hex), and two keys with bytes above 0x7F, which must not be sign-extended
// into the sum.
TEST(Wire, HandshakeAnswerMatchesTheKnownAnswers) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", "-1453979438"},
      {"61", "735826448"},
      {"616263", "1462498813"},
      {"68656c6c6f", "-2035115983"},
      {"30313233343536373839", "-929015376"},
      {"4b45592d3132333435", "868801796"},
      {"7f", "-1516070360"},
      {"54686520717569636b2062726f776e20666f78206a756d7073206f76657220746865206c617a7920646f67", "-1312838265"},
      {"ff", "1942196985"},
      {"80fe", "333072202"},
  };
  for (const auto& [hex, answer] : vectors) EXPECT_EQ(answer, HandshakeAnswer(FromHex(hex))) << hex;
}

TEST(Wire, WordsAreLittleEndian) {
  EXPECT_EQ(std::string("\x21\x00", 2), Word(kCreateTransport));
  EXPECT_EQ(std::string("\x19\x00", 2), Word(kPing));
  EXPECT_EQ(std::string("\x02\x00", 2), Word(kTransportConnection));
  EXPECT_EQ(std::string("\x34\x12", 2), Word(0x1234));
  EXPECT_EQ(0x1234, ReadWord("\x34\x12"));
  EXPECT_EQ(0xFFFF, ReadWord("\xFF\xFF"));
}

TEST(Wire, RecordTextAndLength) {
  EXPECT_EQ(std::string("[1] srcin=/127.0.0.1:5000 dstin\0", 32), RecordText("127.0.0.1", "5000", 1));
  EXPECT_EQ(std::string("\x00\x00\x01\x02", 4), RecordLength(0x102));
  // Cut to 255 characters and the zero byte.
  const std::string cut = RecordText(std::string(300, 'a'), "5000", -3);
  EXPECT_EQ(("[-3] srcin=/" + std::string(243, 'a')) + '\0', cut);
}

}  // namespace
}  // namespace relvo::wire
