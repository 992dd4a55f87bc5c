// The addresses connectors may connect from: a list of networks in CIDR
// notation, IPv4 ("192.0.2.0/24") or IPv6 ("2001:db8::/32"); an address
// without "/bits" is that address alone.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace relvoproxy {

class AddressFilter {
 public:
  // An empty filter allows every address.
  AddressFilter() = default;

  // Reads "CIDR[,CIDR...]". False with `*error` naming the bad entry; the
  // filter is then unchanged.
  bool Parse(const std::string& list, std::string* error);

  // True when no network was given or the numeric address `address` (IPv4
  // or IPv6 text) lies in one of them.
  bool Allows(const std::string& address) const;

  bool Empty() const { return networks_.empty(); }

 private:
  struct Network {
    bool v6 = false;
    std::array<uint8_t, 16> bytes{};
    int bits = 0;
  };
  std::vector<Network> networks_;
};

// True when the numeric address `address` is in 127.0.0.0/8 or is ::1.
bool IsLoopback(const std::string& address);

}  // namespace relvoproxy
