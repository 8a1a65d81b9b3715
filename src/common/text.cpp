#include "common/text.h"

#include <cstdint>

namespace vr {
namespace {

// Code point for the Windows-1251 byte b (b >= 0x80); 0 when unmapped.
char32_t Cp1251Upper(unsigned char b) {
  if (b >= 0xC0) return 0x0410 + (b - 0xC0);
  switch (b) {
    case 0xA8:
      return 0x0401;  // Ё
    case 0xB8:
      return 0x0451;  // ё
    case 0xB9:
      return 0x2116;  // №
    case 0xA0:
      return 0x00A0;
    case 0xAB:
      return 0x00AB;
    case 0xBB:
      return 0x00BB;
    case 0xB0:
      return 0x00B0;
    case 0x96:
      return 0x2013;
    case 0x97:
      return 0x2014;
    default:
      return 0;
  }
}

int ToCp1251(char32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<int>(0xC0 + (cp - 0x0410));
  for (int b = 0x80; b < 0xC0; ++b)
    if (Cp1251Upper(static_cast<unsigned char>(b)) == cp) return b;
  return '?';
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string Utf8ToCp1251(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c, len = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F, len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F, len = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07, len = 4;
    } else {
      out += '?';
      ++i;
      continue;
    }
    if (i + len > s.size()) {
      out += '?';
      break;
    }
    bool ok = true;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    out += ok ? static_cast<char>(ToCp1251(cp)) : '?';
    i += ok ? len : 1;
  }
  return out;
}

std::string Cp1251ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (unsigned char b : s) {
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      char32_t cp = Cp1251Upper(b);
      AppendUtf8(out, cp ? cp : U'?');
    }
  }
  return out;
}

}  // namespace vr
