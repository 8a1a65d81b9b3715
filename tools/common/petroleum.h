#pragma once
// Volume at 15 °C of refined products: the petroleum measurement tables for
// generalized products, metric (Table 54B: the correction of a volume to
// 15 °C from the density at 15 °C; Table 53B: the density at 15 °C from an
// observed density and temperature). Densities in kg/m3, temperatures in °C.
#include <cmath>

namespace vr::tools {

// Thermal expansion coefficient at 15 °C, per °C, by product class.
inline double Alpha15(double density15) {
  const double d = density15;
  if (d < 770.5) return 346.4228 / (d * d) + 0.4388 / d;   // gasolines
  if (d < 787.5) return -0.00336312 + 2680.3206 / (d * d);  // transition zone
  if (d < 839.0) return 594.5418 / (d * d);                 // jet fuels, kerosines
  return 186.9696 / (d * d) + 0.4862 / d;                   // fuel oils, diesel
}

// Table 54B: the factor that turns a volume at `temperature` into one at 15 °C.
inline double Vcf15(double density15, double temperature) {
  if (!(density15 > 0)) return 1.0;
  const double a = Alpha15(density15), dt = temperature - 15.0;
  return std::exp(-a * dt * (1.0 + 0.8 * a * dt));
}

// Table 53B: the density at 15 °C of a product observed at `density` and
// `temperature` (the table's iteration: the observed density is the density
// at 15 °C times the factor above).
inline double Density15(double density, double temperature) {
  if (!(density > 0)) return density;
  double d15 = density;
  for (int i = 0; i < 20; ++i) {
    const double next = density / Vcf15(d15, temperature);
    if (std::fabs(next - d15) < 1e-9) return next;
    d15 = next;
  }
  return d15;
}

}  // namespace vr::tools
