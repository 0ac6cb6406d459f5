#include "velmora/core/results/bootstrap.hpp"

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

namespace velmora::core {

namespace {

// Smallest 2^b - 1 that is >= max.
std::uint32_t covering_mask(std::uint32_t max) {
  std::uint32_t mask = max;
  mask |= mask >> 1;
  mask |= mask >> 2;
  mask |= mask >> 4;
  mask |= mask >> 8;
  mask |= mask >> 16;
  return mask;
}

void require_drawable(std::ptrdiff_t n) {
  if (n < 1) throw std::out_of_range("cannot bootstrap an empty returns series");
  if (static_cast<std::uint64_t>(n) - 1 > 0xFFFFFFFFull) {
    // Beyond the 32-bit branch numpy draws 64-bit words; no daily series comes near this.
    throw std::invalid_argument("returns series too long to bootstrap");
  }
}

// Calls `use(index)` for each of the n draws of `seed`, in draw order.
template <class Use>
void for_each_draw(std::uint32_t seed, std::ptrdiff_t n, Use&& use) {
  const auto rng = static_cast<std::uint32_t>(n - 1);
  if (rng == 0) {
    for (std::ptrdiff_t j = 0; j < n; ++j) use(std::int64_t{0});
    return;
  }
  std::mt19937 twister(seed);
  if (rng == 0xFFFFFFFFu) {
    for (std::ptrdiff_t j = 0; j < n; ++j) use(static_cast<std::int64_t>(twister()));
    return;
  }
  const std::uint32_t mask = covering_mask(rng);
  for (std::ptrdiff_t j = 0; j < n; ++j) {
    std::uint32_t value;
    do {
      value = static_cast<std::uint32_t>(twister()) & mask;
    } while (value > rng);
    use(static_cast<std::int64_t>(value));
  }
}

}  // namespace

void legacy_resample_indices(std::uint32_t seed, std::ptrdiff_t n, std::int64_t* out) {
  if (n <= 0) return;
  require_drawable(n);
  std::ptrdiff_t j = 0;
  for_each_draw(seed, n, [&](std::int64_t index) { out[j++] = index; });
}

double bootstrap_final_value(const double* x, std::ptrdiff_t n, std::uint32_t seed) {
  require_drawable(n);
  double product = 0.0;
  bool first = true;
  for_each_draw(seed, n, [&](std::int64_t index) {
    const double factor = 1.0 + x[index];
    product = first ? factor : product * factor;
    first = false;
  });
  return product;
}

void bootstrap_final_values(const double* x, std::ptrdiff_t n, std::int64_t count,
                            std::uint32_t first_seed, double* finals,
                            const std::function<void()>& poll) {
  require_drawable(n);
  if (count > 0 && static_cast<std::uint64_t>(first_seed) + static_cast<std::uint64_t>(count - 1) >
                       0xFFFFFFFFull) {
    throw std::invalid_argument("Seed must be between 0 and 2**32 - 1");
  }
  for (std::int64_t k = 0; k < count; ++k) {
    if (poll) poll();
    finals[k] = bootstrap_final_value(x, n, first_seed + static_cast<std::uint32_t>(k));
  }
}

void bootstrap_path(const double* x, std::ptrdiff_t n, std::uint32_t seed, double* sample,
                    double* cumprod) {
  require_drawable(n);
  std::ptrdiff_t j = 0;
  for_each_draw(seed, n, [&](std::int64_t index) {
    sample[j] = x[index];
    const double factor = 1.0 + x[index];
    cumprod[j] = j == 0 ? factor : cumprod[j - 1] * factor;
    ++j;
  });
}

bool numpy_isclose(double value, double target, double rtol, double atol) {
  if (std::isnan(value) || std::isnan(target)) return false;
  if (std::isinf(value) || std::isinf(target)) return value == target;
  return std::fabs(value - target) <= atol + rtol * std::fabs(target);
}

std::ptrdiff_t first_close_path(const double* finals, std::int64_t count, double target) {
  for (std::int64_t i = 0; i < count; ++i) {
    if (numpy_isclose(finals[i], target, 0.001, 0.001)) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

double activity_weight(const double* x, std::ptrdiff_t n, std::ptrdiff_t stride) {
  std::ptrdiff_t active = 0;
  for (std::ptrdiff_t i = 0; i < n; ++i) active += x[i * stride] != 0.0;
  return static_cast<double>(active) / static_cast<double>(n);
}

void straight_line_extrapolation(double mean, double sd, std::ptrdiff_t m, double* line,
                                 double* upper, double* lower) {
  for (std::ptrdiff_t t = 0; t < m; ++t) {
    const double td = static_cast<double>(t);
    line[t] = mean * td + 1.0;
    const double spread = 2.0 * std::sqrt(td) * sd;
    upper[t] = spread + line[t];
    // numpy evaluates -2 * sqrt(t) * sd, i.e. (-2 * sqrt(t)) * sd: same magnitude, sign exact.
    lower[t] = (-2.0 * std::sqrt(td)) * sd + line[t];
  }
}

}  // namespace velmora::core
