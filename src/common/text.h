#pragma once
#include <string>
#include <string_view>

namespace vr {

// The library keeps its texts in UTF-8; the host's Windows side sees them in
// Windows-1251. Every character of the code page round-trips; characters
// outside it, byte 0x98 (undefined there) and broken UTF-8 become '?'.
std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view cp1251);

}  // namespace vr
