#pragma once
#include <string>
#include <string_view>

namespace vr {

// The library keeps its texts in UTF-8; the host's Windows side sees them in
// Windows-1251. Only the characters this library uses need to round-trip
// (ASCII, Cyrillic, "№"); anything else becomes '?'.
std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view cp1251);

}  // namespace vr
