#pragma once
// Trading-day arithmetic, the trading-hours mask and the proportional bid-ask spread
// estimate of the pairs-trading factor. Times of day are counts since local midnight.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "velmora/core/matrix.hpp"

namespace velmora::core::factor {

// One trading period [start, end) of a day in microseconds since midnight (datetime.time
// resolution). A period whose end is not after its start runs across midnight.
struct TradingPeriod {
  std::int64_t start_us = 0;
  std::int64_t end_us = 0;
};

inline constexpr std::int64_t kMicrosPerDay = 86'400'000'000;

// Minutes of one trading day: 1440 for no periods, else the sum over the periods, each
// truncated to whole minutes. A period across midnight is counted up to 23:59:59, so
// 22:00-02:00 gives 239 and a period whose end equals its start gives 1439. Overlapping
// periods are counted twice.
std::int64_t minutes_in_trading_day(const std::vector<TradingPeriod>& periods);

// max(1, trunc(minutes / resolution)) with true division, as the host computes it.
std::int64_t bars_per_trading_day(std::int64_t minutes_in_trading_day, std::int64_t resolution_in_mins);

// trunc(minutes * 252 / resolution): the fewest bars the factor accepts.
std::int64_t minimum_number_of_bars(std::int64_t minutes_in_trading_day, std::int64_t resolution_in_mins);

// Bars of one security that hold a price nobody could trade at: among its price columns
// (`columns` of `prices`: open, high, low, close) some value is present, and some value is
// not a positive finite number. A bar whose prices are all missing is an ordinary gap and is
// not flagged. Writes one flag per row of `prices` and returns how many are set.
std::ptrdiff_t unusable_price_bars(const MatrixView& prices, const std::vector<std::ptrdiff_t>& columns, bool* out);

// The first row of `prices` from which every one of `columns` has held a value (not NaN),
// that is, the first row a carried-forward history of these columns is complete at;
// `prices.rows` when some column never holds one.
std::ptrdiff_t first_complete_row(const MatrixView& prices, const std::vector<std::ptrdiff_t>& columns);

// The last row of `prices` at which every one of `columns` holds a value of its own, among
// the rows whose every column has held one by then: the rows after it carry its values
// forward. -1 when there is no such row.
std::ptrdiff_t last_complete_row(const MatrixView& prices, const std::vector<std::ptrdiff_t>& columns);

// Stores bars appended after `before` (the last stored bar, whose prices are all usable) the
// way the cleaning of a whole history stores a missing bar of a security: each price that is
// flagged in `price_mask` or missing takes the same column's value of the bar before, so a
// run of such bars carries the last good one forward, and each flagged or missing volume
// becomes 0, the volume of a bin without trades (as a history's resampling sums it). `rows` is row-major with `cols` columns; each mask is
// row-major over its list of columns.
void fill_missing_bars(double* rows, std::ptrdiff_t n_rows, std::ptrdiff_t cols, const double* before,
                       const std::vector<std::ptrdiff_t>& price_columns, const bool* price_mask,
                       const std::vector<std::ptrdiff_t>& volume_columns, const bool* volume_mask);

// For each bar's local time of day (nanoseconds since local midnight), whether it falls in
// one of the periods: start <= t < end, or for a period across midnight t >= start or
// t < end. No periods: every bar passes.
void trading_hours_mask(const std::int64_t* time_of_day_ns, std::ptrdiff_t n,
                        const std::vector<TradingPeriod>& periods, bool* out);

// The proportional spread estimate of one security from its log close, log high and log
// low over D daily bars (all three aligned on the same D bar positions), limited to the
// first `number_of_rows` usable bars:
//   lc = log close, +-inf as missing, carried forward, leading missing bars dropped;
//   lm = half of (log high + log low), cleaned the same way before halving;
//   terms over the bars present in lc[:N], lm[:N] and lm[1:N-1] (each slice counted from
//   its own first bar): (lc_t - lm_t)^2;
//   estimate = 2 * sqrt(mean(terms)), NaN when no bar gives a term.
// The mean reproduces the host's missing-skipping mean over the label-aligned series
// (missing terms summed as zeros by numpy's pairwise summation), so the value is the
// host's to the last bit.
double proportional_spread(const double* log_close, const double* log_high, const double* log_low,
                           std::ptrdiff_t stride, std::ptrdiff_t n_bars, std::int64_t number_of_rows);

}  // namespace velmora::core::factor
