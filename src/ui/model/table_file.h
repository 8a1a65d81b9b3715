#pragma once
// Calibration tables as text lines "L=V": the form in which the comparison
// table is kept in "*.tar" files (section "Silo") and in the settings file
// (sections "SiloItem<k>"). Pure functions, no GUI.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vr::ui {

// One point of a table: volume in litres at a level in millimetres.
struct GradPoint {
  double Volume = 0.0;
  double Level = 0.0;
  bool operator==(const GradPoint&) const = default;
};

// Table files: levels in centimetres and volumes in litres, two decimals.
// Settings file: levels in millimetres (one decimal), volumes in cubic metres
// (three decimals).
enum class Units { kFile, kSettings };

inline constexpr const char* kTableFileSection = "Silo";
inline constexpr const char* kSettingsSectionPrefix = "SiloItem";

// Reads a number of the lines: every ',' counts as '.'; the whole text must then
// be one decimal number (sign, digits with an optional point, optional
// exponent), without blanks. Infinite results are refused as well.
std::optional<double> StrToFloatDot(std::string_view text);

// Parses "L=V" lines. Lines without '=' or with an unreadable number are
// skipped. The text before '=' is taken as it is (a blank before '=' spoils
// the line); blanks and control characters around the value are ignored.
// The points come sorted by ascending volume.
std::vector<GradPoint> TextToPoints(const std::vector<std::string>& lines, Units units);

// One line per point, in the given order: "%.2f=%.2f" of level/10 and volume
// (file units) or "%.1f=%.3f" of level and volume/1000 (settings units), with
// decimalSeparator in place of the point. Only ',' and '.' can be read back by
// TextToPoints; any other separator is written as '.'.
std::vector<std::string> PointsToText(const std::vector<GradPoint>& points, Units units,
                                      char decimalSeparator);

// "SiloItem" + index: the settings section of the gauge-number list's entry
// index (0-based, so gauge tank n uses n - 1).
std::string SettingsSection(int index);

}  // namespace vr::ui
