#pragma once
// Reductions that reproduce numpy's float64 results bit for bit, so decisions taken on
// them (z-score thresholds, barrier tests) agree with a numpy implementation.

#include <cstddef>

namespace velmora::core {

namespace detail {

// numpy's pairwise summation of at(lo), ..., at(lo + n - 1): plain loop below 8 elements,
// eight accumulators up to 128 (numpy's PW_BLOCKSIZE), recursive halves above. In the header
// so that the walk's hot loops inline and vectorise it.
template <class Get>
inline double pairwise(const Get& at, std::ptrdiff_t lo, std::ptrdiff_t n) {
  if (n < 8) {
    // numpy starts from -0.0 so that a sum of negative zeros stays -0.0.
    double res = -0.0;
    for (std::ptrdiff_t i = 0; i < n; ++i) res += at(lo + i);
    return res;
  }
  if (n <= 128) {
    double r0 = at(lo), r1 = at(lo + 1), r2 = at(lo + 2), r3 = at(lo + 3);
    double r4 = at(lo + 4), r5 = at(lo + 5), r6 = at(lo + 6), r7 = at(lo + 7);
    std::ptrdiff_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      r0 += at(lo + i);
      r1 += at(lo + i + 1);
      r2 += at(lo + i + 2);
      r3 += at(lo + i + 3);
      r4 += at(lo + i + 4);
      r5 += at(lo + i + 5);
      r6 += at(lo + i + 6);
      r7 += at(lo + i + 7);
    }
    double res = ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7));
    for (; i < n; ++i) res += at(lo + i);
    return res;
  }
  std::ptrdiff_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise(at, lo, n2) + pairwise(at, lo + n2, n - n2);
}

}  // namespace detail

// numpy's pairwise summation (add.reduce on a contiguous or strided float64 vector).
inline double pairwise_sum(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride = 1) {
  if (stride == 1) return detail::pairwise([x](std::ptrdiff_t i) { return x[i]; }, 0, n);
  return detail::pairwise([x, stride](std::ptrdiff_t i) { return x[i * stride]; }, 0, n);
}

// np.mean(x): pairwise sum divided by n (NaN for n == 0, as numpy gives).
double numpy_mean(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride = 1);

// np.std(x) with ddof = 0: sqrt(pairwise_sum((x - mean)^2) / n).
double numpy_std(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride = 1);

}  // namespace velmora::core
