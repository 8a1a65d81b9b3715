#include "ui/model/table_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace vr::ui {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Blanks and control characters, as the value's trimming removes them.
bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlankOrControl(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlankOrControl(s.back())) s.remove_suffix(1);
  return s;
}

// sign? (digits ('.' digits?)? | '.' digits) (('e'|'E') sign? digits)?
bool IsDecimalNumber(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exponent = 0;
    while (i < s.size() && IsDigit(s[i])) ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return i == s.size();
}

// For a number that from_chars finds out of range: whether it is too small
// (rounds to zero) rather than too large. The number's decimal magnitude is the
// place of its first significant digit plus the exponent.
bool Underflows(std::string_view s) {
  size_t i = (s.front() == '+' || s.front() == '-') ? 1 : 0;
  int64_t magnitude = 0;
  bool found = false;
  int64_t intDigits = 0;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    if (found || s[i] != '0') {
      found = true;
      ++intDigits;
    }
  }
  if (found) {
    magnitude = intDigits - 1;
  } else if (i < s.size() && s[i] == '.') {
    for (int64_t place = -1; ++i < s.size() && IsDigit(s[i]); --place) {
      if (s[i] != '0') {
        magnitude = place;
        found = true;
        break;
      }
    }
  }
  if (!found) return true;  // all zeros (not reached: zero is in range)
  size_t e = s.find_first_of("eE");
  int64_t exponent = 0;
  if (e != std::string_view::npos) {
    bool negative = s[e + 1] == '-';
    for (size_t k = e + 1; k < s.size(); ++k)
      if (IsDigit(s[k])) exponent = std::min<int64_t>(exponent * 10 + (s[k] - '0'), 1000000000);
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent < 0;
}

std::string Fixed(double value, int decimals, char separator) {
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (ec != std::errc()) return "0";
  std::string text(buf, end);
  // A negative value that rounds to zero is written without its sign.
  if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  std::replace(text.begin(), text.end(), '.', separator);
  return text;
}

}  // namespace

std::optional<double> StrToFloatDot(std::string_view text) {
  std::string s(text);
  std::replace(s.begin(), s.end(), ',', '.');
  if (!IsDecimalNumber(s)) return std::nullopt;
  // from_chars takes no leading '+'.
  const char* first = s.data() + (s.front() == '+' ? 1 : 0);
  double value = 0.0;
  auto [ptr, ec] = std::from_chars(first, s.data() + s.size(), value, std::chars_format::general);
  // A number too small for a double is zero; one too large is refused.
  if (ec == std::errc::result_out_of_range && Underflows(s)) return s.front() == '-' ? -0.0 : 0.0;
  if (ec != std::errc() || ptr != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::vector<GradPoint> TextToPoints(const std::vector<std::string>& lines, Units units) {
  std::vector<GradPoint> points;
  for (const std::string& line : lines) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::optional<double> l = StrToFloatDot(std::string_view(line).substr(0, eq));
    std::optional<double> v = StrToFloatDot(Trim(std::string_view(line).substr(eq + 1)));
    if (!l || !v) continue;
    GradPoint p;
    if (units == Units::kFile) {
      p.Level = *l * 10.0;
      p.Volume = *v;
    } else {
      p.Level = *l;
      p.Volume = *v * 1000.0;
    }
    if (!std::isfinite(p.Level) || !std::isfinite(p.Volume)) continue;
    points.push_back(p);
  }
  // Ascending volume. Points less than 0.001 l apart may come in any order;
  // ordering them exactly is one such order and keeps the sort well defined.
  std::stable_sort(points.begin(), points.end(),
                   [](const GradPoint& a, const GradPoint& b) { return a.Volume < b.Volume; });
  return points;
}

std::vector<std::string> PointsToText(const std::vector<GradPoint>& points, Units units,
                                      char decimalSeparator) {
  const char sep = decimalSeparator == ',' ? ',' : '.';
  std::vector<std::string> lines;
  lines.reserve(points.size());
  for (const GradPoint& p : points) {
    if (units == Units::kFile)
      lines.push_back(Fixed(p.Level / 10.0, 2, sep) + "=" + Fixed(p.Volume, 2, sep));
    else
      lines.push_back(Fixed(p.Level, 1, sep) + "=" + Fixed(p.Volume / 1000.0, 3, sep));
  }
  return lines;
}

std::string SettingsSection(int index) {
  return kSettingsSectionPrefix + std::to_string(index);
}

}  // namespace vr::ui
