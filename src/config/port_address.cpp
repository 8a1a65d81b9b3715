#include "config/port_address.h"

#include <cctype>

namespace vr {
namespace {

// Case-insensitive prefix test; removes the prefix on success.
bool TakePrefix(std::string_view& text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  text.remove_prefix(prefix.size());
  return true;
}

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsIpv6Char(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// 1..65535, decimal digits only.
bool ParsePort(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

PortForm ParsePortAddress(std::string_view value, NetAddress& address) {
  NetAddress parsed;
  if (TakePrefix(value, "tcp://")) {
    parsed.scheme = NetScheme::kTcp;
  } else if (TakePrefix(value, "rfc2217://")) {
    parsed.scheme = NetScheme::kRfc2217;
  } else {
    return PortForm::kDevice;
  }
  std::string_view host;
  if (!value.empty() && value.front() == '[') {
    const size_t close = value.find(']');
    if (close == std::string_view::npos) return PortForm::kMalformed;
    host = value.substr(1, close - 1);
    value.remove_prefix(close + 1);
    if (host.find(':') == std::string_view::npos) return PortForm::kMalformed;
    for (char c : host) {
      if (!IsIpv6Char(c)) return PortForm::kMalformed;
    }
    parsed.numeric = true;
  } else {
    const size_t colon = value.find(':');
    if (colon == std::string_view::npos) return PortForm::kMalformed;
    host = value.substr(0, colon);
    value.remove_prefix(colon);
    for (char c : host) {
      if (!IsNameChar(c)) return PortForm::kMalformed;
    }
  }
  if (host.empty() || value.empty() || value.front() != ':') return PortForm::kMalformed;
  value.remove_prefix(1);
  if (!ParsePort(value, parsed.port)) return PortForm::kMalformed;
  parsed.host = std::string(host);
  address = std::move(parsed);
  return PortForm::kNetwork;
}

}  // namespace vr
