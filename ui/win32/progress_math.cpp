#include "ui/win32/progress_math.h"

#include <algorithm>
#include <cmath>
#include <cwchar>

namespace torv2::win32 {
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

std::wstring ProgressText(std::wstring_view label, int position, int lower, int upper) {
  wchar_t percent[8];
  std::swprintf(percent, std::size(percent), L"%3d", PercentShown(position, lower, upper));
  return std::wstring(label) + L" - " + percent + L"%";
}

}  // namespace torv2::win32
