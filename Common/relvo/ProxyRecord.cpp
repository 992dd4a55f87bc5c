#include "Common/relvo/ProxyRecord.h"

#include <string>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/netUtils.h"
#include "Common/relvo/Wire.h"

namespace relvo {
namespace {

bool SendStep(SOCKET s, std::string_view bytes, const char* failure, int line) {
  if (netutils::SendAll(s, bytes.data(), static_cast<int>(bytes.size()))) return true;
  SetErrorPlace("SendProxyRecord", "Common/relvo/ProxyRecord", line);
  LogSocketError("%s", failure);
  return false;
}

}  // namespace

bool SendProxyRecord(SOCKET s, std::string_view address, std::string_view port, int uid) {
  if (address.empty()) {
    LogError("Send proxy rec failed. Address is empty.");
    return false;
  }
  const std::string text = wire::RecordText(address, port, uid);
  if (!SendStep(s, wire::kRecordMarker, "Send proxy rec failed. Step[1].", 18)) return false;
  if (!SendStep(s, wire::kSalt, "Send proxy rec failed. Step[2].", 24)) return false;
  if (!SendStep(s, wire::RecordLength(static_cast<uint32_t>(text.size())), "Send proxy rec failed. Step[3].", 34)) {
    return false;
  }
  if (!SendStep(s, text, "Send proxy rec failed. Step[4].", 39)) return false;
  const std::string a(address), p(port);
  LogEventAt(2, "Proxy record is sent. address(%s:%s) uid(%d)", a.c_str(), p.c_str(), uid);
  return true;
}

}  // namespace relvo
