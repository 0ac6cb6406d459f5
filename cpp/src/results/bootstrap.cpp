#include "velmora/core/results/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace velmora::core {

namespace {

// numpy's legacy MT19937, a whole block of 624 tempered words at a time: the twist and the
// tempering are plain array loops the compiler can vectorise, which std::mt19937's
// word-at-a-time generation cannot offer. Same seeding (init_genrand), same stream.
class BlockTwister {
 public:
  static constexpr int kWords = 624;

  void seed(std::uint32_t s) {
    state_[0] = s;
    for (int i = 1; i < kWords; ++i) {
      state_[i] = 1812433253u * (state_[i - 1] ^ (state_[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
    }
  }

  // The next 624 outputs.
  const std::uint32_t* next_block() {
    constexpr int kShift = 397;
    constexpr std::uint32_t kUpper = 0x80000000u, kLower = 0x7fffffffu, kMatrix = 0x9908b0dfu;
    auto twist = [&](std::uint32_t current, std::uint32_t next, std::uint32_t far) {
      const std::uint32_t y = (current & kUpper) | (next & kLower);
      return far ^ (y >> 1) ^ ((0u - (y & 1u)) & kMatrix);
    };
    int i = 0;
    for (; i < kWords - kShift; ++i) state_[i] = twist(state_[i], state_[i + 1], state_[i + kShift]);
    for (; i < kWords - 1; ++i) {
      state_[i] = twist(state_[i], state_[i + 1], state_[i + kShift - kWords]);
    }
    state_[kWords - 1] = twist(state_[kWords - 1], state_[0], state_[kShift - 1]);
    for (int j = 0; j < kWords; ++j) {
      std::uint32_t y = state_[j];
      y ^= y >> 11;
      y ^= (y << 7) & 0x9d2c5680u;
      y ^= (y << 15) & 0xefc60000u;
      y ^= y >> 18;
      block_[j] = y;
    }
    return block_;
  }

 private:
  std::uint32_t state_[kWords];
  std::uint32_t block_[kWords];
};

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
  if (static_cast<std::uint64_t>(n) - 1 >= 0xFFFFFFFFull) {
    // numpy switches to 64-bit draws there; no daily series comes near it.
    throw std::invalid_argument("returns series too long to bootstrap");
  }
}

// The n draws of RandomState(seed).randint(0, n, size=n), handed to `use(index)` in draw
// order: masked rejection, a value above n - 1 is thrown away and the next word tried.
// The rejection is branch-free (candidates are compacted), which matters because the
// acceptance rate sits anywhere between 50 % and 100 %.
template <class Use>
void for_each_draw(BlockTwister& twister, std::uint32_t seed, std::ptrdiff_t n, Use&& use) {
  const auto rng = static_cast<std::uint32_t>(n - 1);
  if (rng == 0) {
    for (std::ptrdiff_t j = 0; j < n; ++j) use(std::uint32_t{0});
    return;
  }
  const std::uint32_t mask = covering_mask(rng);
  twister.seed(seed);
  std::uint32_t accepted[BlockTwister::kWords];
  std::ptrdiff_t remaining = n;
  while (remaining > 0) {
    const std::uint32_t* words = twister.next_block();
    int count = 0;
    for (int j = 0; j < BlockTwister::kWords; ++j) {
      const std::uint32_t value = words[j] & mask;
      accepted[count] = value;
      count += value <= rng;
    }
    const std::ptrdiff_t take = std::min<std::ptrdiff_t>(count, remaining);
    for (std::ptrdiff_t j = 0; j < take; ++j) use(accepted[j]);
    remaining -= take;
  }
}

// 1 + x, as numpy forms it before the cumulative product.
std::vector<double> one_plus(const double* x, std::ptrdiff_t n) {
  std::vector<double> factors(static_cast<std::size_t>(n));
  for (std::ptrdiff_t i = 0; i < n; ++i) factors[i] = 1.0 + x[i];
  return factors;
}

double final_value(BlockTwister& twister, const double* factors, std::ptrdiff_t n,
                   std::uint32_t seed) {
  // Left to right like numpy's cumprod; 1.0 * f is f exactly, so starting at 1 is exact.
  double product = 1.0;
  for_each_draw(twister, seed, n, [&](std::uint32_t index) { product *= factors[index]; });
  return product;
}

}  // namespace

void legacy_resample_indices(std::uint32_t seed, std::ptrdiff_t n, std::int64_t* out) {
  if (n <= 0) return;
  require_drawable(n);
  BlockTwister twister;
  std::ptrdiff_t j = 0;
  for_each_draw(twister, seed, n, [&](std::uint32_t index) { out[j++] = index; });
}

double bootstrap_final_value(const double* x, std::ptrdiff_t n, std::uint32_t seed) {
  require_drawable(n);
  BlockTwister twister;
  const std::vector<double> factors = one_plus(x, n);
  return final_value(twister, factors.data(), n, seed);
}

void bootstrap_final_values(const double* x, std::ptrdiff_t n, std::int64_t count,
                            std::uint32_t first_seed, double* finals,
                            const std::function<void()>& poll) {
  require_drawable(n);
  if (count > 0 && static_cast<std::uint64_t>(first_seed) + static_cast<std::uint64_t>(count - 1) >
                       0xFFFFFFFFull) {
    throw std::invalid_argument("Seed must be between 0 and 2**32 - 1");
  }
  BlockTwister twister;
  const std::vector<double> factors = one_plus(x, n);
  for (std::int64_t k = 0; k < count; ++k) {
    if (poll) poll();
    finals[k] = final_value(twister, factors.data(), n, first_seed + static_cast<std::uint32_t>(k));
  }
}

void bootstrap_path(const double* x, std::ptrdiff_t n, std::uint32_t seed, double* sample,
                    double* cumprod) {
  require_drawable(n);
  BlockTwister twister;
  std::ptrdiff_t j = 0;
  double product = 1.0;
  for_each_draw(twister, seed, n, [&](std::uint32_t index) {
    sample[j] = x[index];
    product *= 1.0 + x[index];
    cumprod[j] = product;
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
    upper[t] = 2.0 * std::sqrt(td) * sd + line[t];
    // numpy evaluates -2 * sqrt(t) * sd as (-2 * sqrt(t)) * sd
    lower[t] = (-2.0 * std::sqrt(td)) * sd + line[t];
  }
}

}  // namespace velmora::core
