#include "velmora/core/tradegate/features.hpp"

#include <cmath>
#include <limits>

namespace velmora::core {

void clean_feature_values(double* values, std::size_t count) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < count; ++i) {
    const double magnitude = std::fabs(values[i]);
    if (magnitude > kExtremeFeatureMagnitude) {
      values[i] = nan;
    } else if (magnitude <= kFeatureZeroTolerance) {
      values[i] = 0.0;
    }
  }
}

std::vector<std::size_t> highly_correlated_columns(const double* abs_corr, std::size_t k,
                                                   std::ptrdiff_t row_stride,
                                                   std::ptrdiff_t col_stride, double threshold) {
  std::vector<std::size_t> columns;
  for (std::size_t j = 1; j < k; ++j) {
    for (std::size_t i = 0; i < j; ++i) {
      const double value = abs_corr[static_cast<std::ptrdiff_t>(i) * row_stride +
                                    static_cast<std::ptrdiff_t>(j) * col_stride];
      if (value > threshold) {  // false for NaN
        columns.push_back(j);
        break;
      }
    }
  }
  return columns;
}

}  // namespace velmora::core
