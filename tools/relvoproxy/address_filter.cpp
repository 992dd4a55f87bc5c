#include "tools/relvoproxy/address_filter.h"

#include <cstring>

#include "Common/platform.h"

namespace relvoproxy {

namespace {

// The bytes of the numeric address `text`; false when it is neither IPv4
// nor IPv6.
bool ToBytes(const std::string& text, bool* v6, std::array<uint8_t, 16>* bytes) {
  bytes->fill(0);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    *v6 = false;
    std::memcpy(bytes->data(), &v4, 4);
    return true;
  }
  in6_addr six{};
  if (::inet_pton(AF_INET6, text.c_str(), &six) == 1) {
    *v6 = true;
    std::memcpy(bytes->data(), &six, 16);
    return true;
  }
  return false;
}

}  // namespace

bool AddressFilter::Parse(const std::string& list, std::string* error) {
  std::vector<Network> parsed;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const std::string entry = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    Network network;
    const size_t slash = entry.find('/');
    bool ok = ToBytes(entry.substr(0, slash), &network.v6, &network.bytes);
    const int most = network.v6 ? 128 : 32;
    network.bits = most;
    if (ok && slash != std::string::npos) {
      const std::string bits = entry.substr(slash + 1);
      ok = !bits.empty() && bits.size() <= 3 && bits.find_first_not_of("0123456789") == std::string::npos &&
           std::stoi(bits) <= most;
      if (ok) network.bits = std::stoi(bits);
    }
    if (!ok) {
      *error = "bad network '" + entry + "' (CIDR such as 192.0.2.0/24 or 2001:db8::/32 expected)";
      return false;
    }
    parsed.push_back(network);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  networks_ = std::move(parsed);
  return true;
}

bool AddressFilter::Allows(const std::string& address) const {
  if (networks_.empty()) return true;
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};
  if (!ToBytes(address, &v6, &bytes)) return false;
  for (const Network& n : networks_) {
    if (n.v6 != v6) continue;
    const int whole = n.bits / 8;
    const int rest = n.bits % 8;
    if (std::memcmp(bytes.data(), n.bytes.data(), static_cast<size_t>(whole)) != 0) continue;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    if (rest == 0 || ((bytes[whole] ^ n.bytes[whole]) & mask) == 0) return true;
  }
  return false;
}

bool IsLoopback(const std::string& address) {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};
  if (!ToBytes(address, &v6, &bytes)) return false;
  if (!v6) return bytes[0] == 127;
  static const std::array<uint8_t, 16> kOne{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return bytes == kOne;
}

}  // namespace relvoproxy
