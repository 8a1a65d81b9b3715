// TextToPoints on arbitrary lines, as a "*.tar" file or a settings section
// may hold them: every line is taken or skipped exactly as an independent
// reading of the "L=V" rule says, the points come out finite and sorted by
// volume, and points written with PointsToText read back.
//
// Input: byte 0 bit 0 selects the units (file or settings), bit 1 the decimal
// separator written; the rest are the lines, separated by '\n'.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ui/model/table_file.h"

namespace {

using vr::ui::GradPoint;
using vr::ui::Units;

[[noreturn]] void Finding(const char* what, const std::string& line = {}) {
  std::fprintf(stderr, "table_text_fuzzer: %s\n%s\n", what, line.c_str());
  abort();
}

bool Digit(char c) {
  return c >= '0' && c <= '9';
}

// A decimal number after ',' became '.': sign, digits with an optional point
// (at least one digit in all), optional exponent with digits.
std::optional<double> Number(std::string s) {
  for (char& c : s)
    if (c == ',') c = '.';
  size_t i = 0, digits = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && Digit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.')
    for (++i; i < s.size() && Digit(s[i]); ++i) ++digits;
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exp = 0;
    while (i < s.size() && Digit(s[i])) ++i, ++exp;
    if (exp == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  const double v = std::strtod(s.c_str(), nullptr);  // C locale
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<GradPoint> Reference(const std::string& line, Units units) {
  const size_t eq = line.find('=');
  if (eq == std::string::npos) return std::nullopt;
  std::string value = line.substr(eq + 1);
  while (!value.empty() && static_cast<unsigned char>(value.front()) <= ' ') value.erase(0, 1);
  while (!value.empty() && static_cast<unsigned char>(value.back()) <= ' ') value.pop_back();
  const std::optional<double> l = Number(line.substr(0, eq)), v = Number(value);
  if (!l || !v) return std::nullopt;
  GradPoint p;
  p.Level = units == Units::kFile ? *l * 10.0 : *l;
  p.Volume = units == Units::kFile ? *v : *v * 1000.0;
  if (!std::isfinite(p.Level) || !std::isfinite(p.Volume)) return std::nullopt;
  return p;
}

bool Same(double a, double b) {
  return a == b;  // -0.0 and 0.0 alike
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const Units units = (data[0] & 1) ? Units::kSettings : Units::kFile;
  const char separator = (data[0] & 2) ? ',' : '.';
  std::vector<std::string> lines;
  std::string current;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == '\n') {
      lines.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  lines.push_back(current);

  const std::vector<GradPoint> points = vr::ui::TextToPoints(lines, units);
  std::vector<GradPoint> expected;
  for (const std::string& line : lines)
    if (std::optional<GradPoint> p = Reference(line, units)) expected.push_back(*p);
  if (points.size() != expected.size()) Finding("lines taken differ from the L=V rule");
  std::stable_sort(expected.begin(), expected.end(),
                   [](const GradPoint& a, const GradPoint& b) { return a.Volume < b.Volume; });
  for (size_t k = 0; k < points.size(); ++k) {
    if (!std::isfinite(points[k].Level) || !std::isfinite(points[k].Volume))
      Finding("a point that is not finite");
    if (k > 0 && points[k].Volume < points[k - 1].Volume) Finding("points not sorted by volume");
    if (!Same(points[k].Level, expected[k].Level) || !Same(points[k].Volume, expected[k].Volume))
      Finding("a point differs from the line's numbers");
  }

  // Written and read again: every point of a sensible size comes back, and a
  // second round changes nothing.
  std::vector<GradPoint> sensible;
  for (const GradPoint& p : points)
    if (std::fabs(p.Level) < 1e12 && std::fabs(p.Volume) < 1e12) sensible.push_back(p);
  const std::vector<GradPoint> once =
      vr::ui::TextToPoints(vr::ui::PointsToText(sensible, units, separator), units);
  if (once.size() != sensible.size()) Finding("a written point did not read back");
  const std::vector<GradPoint> twice =
      vr::ui::TextToPoints(vr::ui::PointsToText(once, units, separator), units);
  if (twice.size() != once.size()) Finding("a rewritten point did not read back");
  for (size_t k = 0; k < once.size(); ++k)
    if (!Same(once[k].Level, twice[k].Level) || !Same(once[k].Volume, twice[k].Volume))
      Finding("writing a read table again changed it");
  return 0;
}
