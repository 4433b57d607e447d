#include "window/progress_math.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace torv2::window {
namespace {

double Fraction(int position, int lower, int upper) {
  const double f = (static_cast<double>(position) - lower) / (static_cast<double>(upper) - lower);
  return std::clamp(f, 0.0, 1.0);
}

}  // namespace

int FilledWidth(int width, int position, int lower, int upper) {
  if (lower >= upper || width <= 0) return 0;
  return static_cast<int>(std::trunc(width * Fraction(position, lower, upper)));
}

int PercentShown(int position, int lower, int upper) {
  if (lower >= upper) return 0;
  return static_cast<int>(std::trunc(Fraction(position, lower, upper) * 100.0));
}

std::string ProgressText(std::string_view label, int position, int lower, int upper) {
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", PercentShown(position, lower, upper));
  std::string text(label);
  text += " - ";
  text += percent;
  return text;
}

}  // namespace torv2::window
