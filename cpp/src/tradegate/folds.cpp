#include "velmora/core/tradegate/folds.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

namespace velmora::core {

namespace {

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t bottom = std::numeric_limits<std::int64_t>::min();
  if (b > 0 && a > top - b) return top;
  if (b < 0 && a < bottom - b) return bottom;
  return a + b;
}

}  // namespace

std::vector<std::int64_t> purged_training_positions(const std::int64_t* entry,
                                                    const std::int64_t* exit,
                                                    const std::int64_t* train, std::size_t n_train,
                                                    const std::int64_t* test, std::size_t n_test,
                                                    std::int64_t embargo) {
  // Test trades by entry; reach[k] = the latest exit + embargo among the first k + 1 of them.
  // A training trade collides with a test trade that entered no later than its own exit and
  // whose embargoed end reaches its entry: one binary search and one look-up per trade.
  std::vector<std::int64_t> entries(n_test);
  std::vector<std::size_t> order(n_test);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return entry[test[a]] < entry[test[b]]; });
  std::vector<std::int64_t> reach(n_test);
  std::int64_t latest = std::numeric_limits<std::int64_t>::min();
  for (std::size_t k = 0; k < n_test; ++k) {
    const std::int64_t j = test[order[k]];
    entries[k] = entry[j];
    latest = std::max(latest, saturating_add(exit[j], embargo));
    reach[k] = latest;
  }
  std::vector<std::int64_t> kept;
  kept.reserve(n_train);
  for (std::size_t t = 0; t < n_train; ++t) {
    const std::int64_t i = train[t];
    const auto before = static_cast<std::size_t>(
        std::upper_bound(entries.begin(), entries.end(), exit[i]) - entries.begin());
    if (before > 0 && reach[before - 1] >= entry[i]) continue;
    kept.push_back(i);
  }
  return kept;
}

}  // namespace velmora::core
