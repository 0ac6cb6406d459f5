#include "velmora/core/numeric.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace velmora::core {

namespace {
constexpr std::ptrdiff_t kBlock = 128;  // numpy's PW_BLOCKSIZE

template <class Get>
double pairwise(Get&& at, std::ptrdiff_t lo, std::ptrdiff_t n) {
  if (n < 8) {
    // numpy starts from -0.0 so that a sum of negative zeros stays -0.0.
    double res = -0.0;
    for (std::ptrdiff_t i = 0; i < n; ++i) res += at(lo + i);
    return res;
  }
  if (n <= kBlock) {
    double r[8];
    for (int j = 0; j < 8; ++j) r[j] = at(lo + j);
    std::ptrdiff_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (int j = 0; j < 8; ++j) r[j] += at(lo + i + j);
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += at(lo + i);
    return res;
  }
  std::ptrdiff_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise(at, lo, n2) + pairwise(at, lo + n2, n - n2);
}
}  // namespace

double pairwise_sum(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride) {
  return pairwise([x, stride](std::ptrdiff_t i) { return x[i * stride]; }, 0, n);
}

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
