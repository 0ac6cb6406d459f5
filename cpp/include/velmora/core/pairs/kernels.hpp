#pragma once
// The numeric pieces of the pair spread model and of the barriers: the two-series Johansen
// test, the half-life regression, numpy-exact z-score statistics and the volatility
// multiplier. Each is checked against the library it replaces (statsmodels, scikit-learn,
// numpy) in the tests.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "velmora/core/numeric.hpp"

namespace velmora::core::pairs {

// 90 % critical values of the two-variable test with a linear trend (det_order 1) for the
// hypothesis of no cointegrating relation.
inline constexpr double kMaxEigCritical90 = 15.0006;
inline constexpr double kTraceCritical90 = 16.1619;

// Below six observations the test is degenerate: the largest canonical correlation is 1 in
// exact arithmetic, and what comes out is rounding noise that often looks cointegrated.
inline constexpr std::ptrdiff_t kJohansenMinimumObservations = 6;

struct JohansenResult {
  bool ok = false;        // false: the test could not be computed on this input
  double eig[2] = {0, 0}; // descending
  double evec[2][2] = {{0, 0}, {0, 0}};  // evec[row][column]; column 0 belongs to eig[0]
  double lr1[2] = {0, 0}; // trace statistics
  double lr2[2] = {0, 0}; // maximum-eigenvalue statistics
};

// Johansen's test on the m x 2 series (y0[k * stride0], y1[k * stride1]) with a linear trend
// in the levels (det_order 1) and no lagged differences (k_ar_diff 0), eigenvectors scaled
// and signed the way statsmodels' coint_johansen scales and signs them. Computed from
// orthogonal factors, so nearly collinear legs keep their precision. Not ok below
// kJohansenMinimumObservations samples, on non-finite values, on a leg that does not move and
// on legs collinear up to the rounding of their values.
JohansenResult johansen_two(const double* y0, std::ptrdiff_t stride0, const double* y1,
                            std::ptrdiff_t stride1, std::ptrdiff_t m);

struct HedgeEstimate {
  double hedge_a = 0.0;
  double hedge_b = 0.0;
  bool cointegrated = false;
};

// The window's log closes sampled at positions step, 2 step, ... (position 0 never used),
// tested; both tests must pass at 90 %. A test that cannot be computed gives (0, 0, false).
HedgeEstimate hedge_ratio_from_johansen(const double* log_a, const double* log_b,
                                        std::ptrdiff_t n, std::int64_t step);

// Half-life in bars of the spread's mean reversion: OLS with intercept of
// spread[i+1] - spread[i] on spread[i], then -trunc(ln 2 / slope). 0 when not cointegrated
// or when the fit fails (non-finite data, no variation, slope 0 or NaN, result outside int64).
std::int64_t halflife_from_spread(bool cointegrated, std::int64_t window_length,
                                  const double* spread, std::ptrdiff_t n);

// The z-score of the latest spread value against the trailing window of the spread.
struct ZScore {
  double zscore = 0.0;
  double current = 0.0;
  double std = 0.0;
  double mean = 0.0;
};

// spread has n = index values. The window is max(trunc(multiplier * halflife), minimum);
// the statistics are 0 unless halflife > 0, window <= maximum and the pair is cointegrated.
// A window longer than the spread uses the whole spread.
ZScore zscore_for_pair(const double* spread, std::ptrdiff_t n, std::int64_t halflife,
                       double zscore_halflife_multiplier, std::int64_t minimum_window,
                       std::int64_t maximum_window, bool cointegrated,
                       std::vector<double>& scratch);

// 1 + (latest rolling std) / (mean of the rolling stds) over runs of
// max(2, min(trunc(multiplier * halflife), n - 30)) consecutive values; 1.0 when that mean is
// not positive. Requires n >= 2.
double volatility_multiplier(const double* spread, std::ptrdiff_t n, std::int64_t halflife,
                             double rolling_volatility_halflife_multiplier,
                             std::vector<double>& scratch_runs, std::vector<double>& scratch_dev);

// Length of the rolling runs of the volatility multiplier for a spread of n values:
// max(2, min(trunc(multiplier * halflife), n - 30)). A product that is NaN (a NaN
// multiplier, or an infinite one times a half-life of 0) throws std::invalid_argument.
std::ptrdiff_t volatility_run_length(std::ptrdiff_t n, std::int64_t halflife,
                                     double rolling_volatility_halflife_multiplier);

// The multiplier from the rolling stds of its runs, oldest first.
double volatility_multiplier_from_runs(const double* run_std, std::ptrdiff_t runs);

// np.std(x) (ddof 0) with numpy's rounding; `scratch` holds the squared deviations.
double numpy_std_into(const double* x, std::ptrdiff_t n, std::vector<double>& scratch);

// np.std(sliding_window_view(x, w), axis=1) into out (n - w + 1 values).
void sliding_std(const double* x, std::ptrdiff_t n, std::ptrdiff_t w, double* out,
                 std::vector<double>& scratch);

}  // namespace velmora::core::pairs
