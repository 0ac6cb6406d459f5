#pragma once
// Bootstrapped alternative histories of a daily returns series, drawn exactly as
// sklearn.utils.resample(x, random_state=seed) draws them, so a path chosen here is the path
// a pure-numpy implementation would choose for the same seed.
//
// Only the final value of each path is kept over the whole run; a selected path is rebuilt
// from its seed afterwards. Holding every path would cost N x L doubles per call.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace velmora::core {

// The index draws of numpy's legacy RandomState(seed).randint(0, n, size=n): a 32-bit
// Mersenne Twister seeded with init_genrand, each index taken from the low bits under the
// smallest all-ones mask covering n - 1, rejecting values above n - 1. For n == 1 nothing
// is drawn and every index is 0. Writes n indices.
void legacy_resample_indices(std::uint32_t seed, std::ptrdiff_t n, std::int64_t* out);

// The last value of cumprod(1 + x[indices]) for the indices drawn with `seed`, multiplied
// left to right as numpy's cumprod does. n must be at least 1.
double bootstrap_final_value(const double* x, std::ptrdiff_t n, std::uint32_t seed);

// Final values of `count` paths, path k drawn with seed first_seed + k. `poll` (may be
// empty) is called once per path so a long run can be interrupted.
void bootstrap_final_values(const double* x, std::ptrdiff_t n, std::int64_t count,
                            std::uint32_t first_seed, double* finals,
                            const std::function<void()>& poll);

// Rebuilds one path: the resampled returns and their cumulative product, n values each.
void bootstrap_path(const double* x, std::ptrdiff_t n, std::uint32_t seed, double* sample,
                    double* cumprod);

// np.isclose(value, target, rtol, atol) for scalars: |value - target| <= atol + rtol*|target|,
// equal infinities close, NaN never.
bool numpy_isclose(double value, double target, double rtol, double atol);

// Position of the first final value close to `target` (rtol = atol = 1e-3), or -1.
std::ptrdiff_t first_close_path(const double* finals, std::int64_t count, double target);

// Share of entries that differ from 0 (NaN counts as non-zero, as in numpy); NaN when empty.
double activity_weight(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride = 1);

// Straight-line extrapolation mean*t + 1 for t = 0..m-1 with a band of +-2 sd sqrt(t).
void straight_line_extrapolation(double mean, double sd, std::ptrdiff_t m, double* line,
                                 double* upper, double* lower);

}  // namespace velmora::core
