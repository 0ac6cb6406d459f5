#include "velmora/core/numeric.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace velmora::core {

double numpy_mean(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride) {
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  return pairwise_sum(x, n, stride) / static_cast<double>(n);
}

double numpy_std(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride) {
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  const double mean = numpy_mean(x, n, stride);
  std::vector<double> sq(static_cast<std::size_t>(n));
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    const double d = x[i * stride] - mean;
    sq[static_cast<std::size_t>(i)] = d * d;
  }
  return std::sqrt(pairwise_sum(sq.data(), n) / static_cast<double>(n));
}

}  // namespace velmora::core
