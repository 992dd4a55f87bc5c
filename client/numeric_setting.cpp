#include "client/numeric_setting.h"

#include <cstdio>

#include "Common/log.h"

namespace relvo {

bool IsNumberIn(std::string_view text, long long low, long long high) {
  size_t i = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
  if (i == text.size()) return false;
  const bool negative = text[0] == '-';
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
    if (value > (1LL << 40)) return false;  // beyond every range in use
  }
  if (negative) value = -value;
  return value >= low && value <= high;
}

std::string NumberMessage(std::string_view section, std::string_view key, std::string_view text, long long low,
                          long long high, long long used) {
  constexpr size_t kShown = 64;
  std::string shown;
  for (size_t i = 0; i < text.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    shown += c >= ' ' && c <= '~' && c != '\\' ? std::string(1, static_cast<char>(c)) : std::string(escaped);
  }
  if (text.size() > kShown) shown += "...";
  return "[" + std::string(section) + "] " + std::string(key) + "=" + shown + " is not a whole number from " +
         std::to_string(low) + " to " + std::to_string(high) + "; " + std::to_string(used) + " is used instead.";
}

void CheckNumber(std::string_view section, std::string_view key, std::string_view text, long long low,
                 long long high, long long used) {
  if (text.empty() || IsNumberIn(text, low, high)) return;
  LogError("%s", NumberMessage(section, key, text, low, high, used).c_str());
}

}  // namespace relvo
