#pragma once
// Reductions that reproduce numpy's float64 results bit for bit, so decisions taken on
// them (z-score thresholds, barrier tests) agree with a numpy implementation.

#include <cstddef>

namespace velmora::core {

// numpy's pairwise summation (add.reduce on a contiguous or strided float64 vector):
// plain loop below 8 elements, eight accumulators up to 128, recursive halves above.
double pairwise_sum(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride = 1);

// np.mean(x): pairwise sum divided by n (NaN for n == 0, as numpy gives).
double numpy_mean(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride = 1);

// np.std(x) with ddof = 0: sqrt(pairwise_sum((x - mean)^2) / n).
double numpy_std(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride = 1);

}  // namespace velmora::core
