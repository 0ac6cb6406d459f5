#include "velmora/core/signals/sample_weights.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "velmora/core/numeric.hpp"

namespace velmora::core {

namespace {

// An unevaluated sum hi + lo carried without rounding loss (Knuth's two-sum). Prefix sums of
// the reciprocals in this form let a span's sum be read as a difference of two prefixes
// without the cancellation a plain double prefix would suffer over half a million bars.
struct DoubleDouble {
  double hi = 0.0;
  double lo = 0.0;

  void add(double x) {
    const double s = hi + x;
    const double bp = s - hi;
    const double err = (hi - (s - bp)) + (x - bp);
    hi = s;
    lo += err;
  }
};

double span_sum(const DoubleDouble& upper, const DoubleDouble& lower) {
  return (upper.hi - lower.hi) + (upper.lo - lower.lo);
}

}  // namespace

void sample_uniqueness(const std::int64_t* grid, std::ptrdiff_t g, const std::int64_t* starts,
                       const std::int64_t* ends, std::ptrdiff_t n, double* out) {
  for (std::ptrdiff_t t = 1; t < g; ++t) {
    if (grid[t] < grid[t - 1]) {
      throw std::invalid_argument(
          "complete_datetime_indices_array must be in ascending order (position " +
          std::to_string(t) + " lies before position " + std::to_string(t - 1) + ")");
    }
  }

  // Span i covers grid positions [first[i], last[i]), the positions a label slice
  // loc[start:end] selects on a sorted index.
  std::vector<std::ptrdiff_t> first(static_cast<std::size_t>(n)), last(static_cast<std::size_t>(n));
  std::vector<std::int64_t> delta(static_cast<std::size_t>(g) + 1, 0);
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    const std::ptrdiff_t lo = std::lower_bound(grid, grid + g, starts[i]) - grid;
    const std::ptrdiff_t hi = std::upper_bound(grid, grid + g, ends[i]) - grid;
    first[i] = lo;
    last[i] = hi;
    if (hi > lo) {
      ++delta[lo];
      --delta[hi];
    }
  }

  std::vector<DoubleDouble> prefix(static_cast<std::size_t>(g) + 1);
  std::int64_t concurrency = 0;
  for (std::ptrdiff_t t = 0; t < g; ++t) {
    concurrency += delta[t];
    prefix[t + 1] = prefix[t];
    // Uncovered times (concurrency 0) lie in no span, so they never enter a span's sum.
    if (concurrency > 0) prefix[t + 1].add(1.0 / static_cast<double>(concurrency));
  }

  for (std::ptrdiff_t i = 0; i < n; ++i) {
    const std::ptrdiff_t m = last[i] - first[i];
    out[i] = m > 0 ? span_sum(prefix[last[i]], prefix[first[i]]) / static_cast<double>(m)
                   : std::numeric_limits<double>::quiet_NaN();
  }
}

std::vector<double> normalised_sample_weights(const double* uniqueness, std::ptrdiff_t n_uniqueness,
                                              const double* impact, std::ptrdiff_t n_impact) {
  std::vector<double> x;
  if (n_impact == 0) {
    x.assign(uniqueness, uniqueness + n_uniqueness);
  } else {
    std::ptrdiff_t m = n_uniqueness;
    if (n_impact != n_uniqueness && n_impact != 1 && n_uniqueness != 1) {
      throw std::invalid_argument("operands could not be broadcast together with shapes (" +
                                  std::to_string(n_impact) + ",) (" + std::to_string(n_uniqueness) +
                                  ",) ");
    }
    if (n_uniqueness == 1) m = n_impact;
    x.resize(static_cast<std::size_t>(m));
    for (std::ptrdiff_t i = 0; i < m; ++i) {
      const double imp = impact[n_impact == 1 ? 0 : i];
      const double u = uniqueness[n_uniqueness == 1 ? 0 : i];
      x[i] = std::fabs(imp) / u;
    }
  }
  const auto count = static_cast<std::ptrdiff_t>(x.size());
  const double total = pairwise_sum(x.data(), count);
  for (double& v : x) v = v / total * static_cast<double>(count);
  return x;
}

}  // namespace velmora::core
