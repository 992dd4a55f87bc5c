#include "Common/relvo/Wire.h"

#include <cstdio>

namespace relvo::wire {

std::string Word(uint16_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

std::string HandshakeAnswer(std::string_view key) {
  uint32_t h = 0;
  for (const std::string_view part : {key, kSalt}) {
    for (const unsigned char b : part) {
      h += b;
      h += h << 10;
      h ^= h >> 6;
    }
  }
  h += h << 3;
  h ^= h >> 11;
  h += h << 15;
  return std::to_string(static_cast<int32_t>(h));
}

std::string RecordText(std::string_view address, std::string_view port, int uid) {
  char text[kMaxRecordText + 1] = {};
  const std::string a(address), p(port);
  std::snprintf(text, sizeof text, "[%d] srcin=/%s:%s dstin", uid, a.c_str(), p.c_str());
  return std::string(text, std::char_traits<char>::length(text) + 1);
}

std::string RecordLength(uint32_t length) {
  return std::string{static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                     static_cast<char>(length)};
}

}  // namespace relvo::wire
