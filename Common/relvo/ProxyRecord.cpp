#include "Common/relvo/ProxyRecord.h"

#include <cstdint>
#include <cstdio>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"

namespace relvo {
namespace {

constexpr char kMarker[2] = {'\xFF', '\xFF'};
constexpr char kSignature[4] = {'k', 'a', 'v', 'u'};

// The text with its terminating zero, formatted into 256 bytes at most.
std::string RecordText(std::string_view address, std::string_view port, int uid) {
  char text[256] = {};
  const std::string a(address), p(port);
  std::snprintf(text, sizeof text, "[%d] srcin=/%s:%s dstin", uid, a.c_str(), p.c_str());
  return std::string(text, std::char_traits<char>::length(text) + 1);
}

std::string BigEndian32(uint32_t value) {
  return std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                     static_cast<char>(value)};
}

bool SendStep(SOCKET s, const std::string& bytes, const char* failure, int line) {
  if (netutils::SendAll(s, bytes.data(), static_cast<int>(bytes.size()))) return true;
  SetErrorPlace("SendProxyRecord", "Common/relvo/ProxyRecord", line);
  LogSocketError("%s", failure);
  return false;
}

}  // namespace

std::string FormatProxyRecord(std::string_view address, std::string_view port, int uid) {
  const std::string text = RecordText(address, port, uid);
  return std::string(kMarker, 2) + std::string(kSignature, 4) + BigEndian32(static_cast<uint32_t>(text.size())) +
         text;
}

bool SendProxyRecord(SOCKET s, std::string_view address, std::string_view port, int uid) {
  if (address.empty()) {
    LogError("Send proxy rec failed. Address is empty.");
    return false;
  }
  const std::string text = RecordText(address, port, uid);
  if (!SendStep(s, std::string(kMarker, 2), "Send proxy rec failed. Step[1].", 18)) return false;
  if (!SendStep(s, std::string(kSignature, 4), "Send proxy rec failed. Step[2].", 24)) return false;
  if (!SendStep(s, BigEndian32(static_cast<uint32_t>(text.size())), "Send proxy rec failed. Step[3].", 34)) return false;
  if (!SendStep(s, text, "Send proxy rec failed. Step[4].", 39)) return false;
  const std::string a(address), p(port);
  LogEventAt(2, "Proxy record is sent. address(%s:%s) uid(%d)", a.c_str(), p.c_str(), uid);
  return true;
}

}  // namespace relvo
