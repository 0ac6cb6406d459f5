#include "velmora/core/factor/cleaning.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "velmora/core/numeric.hpp"

namespace velmora::core::factor {

namespace {

// int((delta_us / 10**6) / 60): timedelta.total_seconds() is a correctly rounded integer
// division, then the host divides by 60 and truncates toward zero.
std::int64_t whole_minutes(std::int64_t delta_us) {
  const double seconds = static_cast<double>(delta_us) / 1e6;
  return static_cast<std::int64_t>(std::trunc(seconds / 60.0));
}

constexpr std::int64_t kEndOfDayUs = (23LL * 3600 + 59 * 60 + 59) * 1'000'000;

// A series cleaned as the host does it: +-inf made missing, missing values carried
// forward, the leading missing values dropped. Returns the position of its first value
// (n when it has none) and writes the cleaned values.
std::ptrdiff_t clean_series(std::vector<double>& v) {
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(v.size());
  std::ptrdiff_t first = n;
  double last = std::numeric_limits<double>::quiet_NaN();
  for (std::ptrdiff_t t = 0; t < n; ++t) {
    double x = v[t];
    if (std::isinf(x)) x = std::numeric_limits<double>::quiet_NaN();
    if (std::isnan(x)) {
      x = last;
    } else if (first == n) {
      first = t;
    }
    v[t] = x;
    last = x;
  }
  return first;
}

}  // namespace

std::int64_t minutes_in_trading_day(const std::vector<TradingPeriod>& periods) {
  if (periods.empty()) return 1440;
  std::int64_t total = 0;
  for (const TradingPeriod& p : periods) {
    if (p.end_us > p.start_us) {
      total += whole_minutes(p.end_us - p.start_us);
    } else {
      total += whole_minutes((kEndOfDayUs - p.start_us) + p.end_us);
    }
  }
  return total;
}

std::int64_t bars_per_trading_day(std::int64_t minutes, std::int64_t resolution) {
  const double q = static_cast<double>(minutes) / static_cast<double>(resolution);
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::trunc(q)));
}

std::int64_t minimum_number_of_bars(std::int64_t minutes, std::int64_t resolution) {
  const double q = static_cast<double>(minutes * 252) / static_cast<double>(resolution);
  return static_cast<std::int64_t>(std::trunc(q));
}

std::ptrdiff_t unusable_price_bars(const MatrixView& prices, const std::vector<std::ptrdiff_t>& columns, bool* out) {
  std::ptrdiff_t count = 0;
  for (std::ptrdiff_t t = 0; t < prices.rows; ++t) {
    bool present = false, unusable = false;
    for (const std::ptrdiff_t c : columns) {
      const double x = prices(t, c);
      present = present || !std::isnan(x);
      unusable = unusable || !(std::isfinite(x) && x > 0.0);
    }
    out[t] = present && unusable;
    count += out[t] ? 1 : 0;
  }
  return count;
}

std::ptrdiff_t first_complete_row(const MatrixView& prices, const std::vector<std::ptrdiff_t>& columns) {
  std::ptrdiff_t latest = 0;
  for (const std::ptrdiff_t c : columns) {
    std::ptrdiff_t t = 0;
    while (t < prices.rows && std::isnan(prices(t, c))) ++t;
    latest = std::max(latest, t);
  }
  return latest;
}

std::ptrdiff_t last_complete_row(const MatrixView& prices, const std::vector<std::ptrdiff_t>& columns) {
  const std::ptrdiff_t first = first_complete_row(prices, columns);
  for (std::ptrdiff_t t = prices.rows - 1; t >= first; --t) {
    bool complete = true;
    for (const std::ptrdiff_t c : columns) complete = complete && !std::isnan(prices(t, c));
    if (complete) return t;
  }
  return -1;
}

void fill_missing_bars(double* rows, std::ptrdiff_t n_rows, std::ptrdiff_t cols, const double* before,
                       const std::vector<std::ptrdiff_t>& price_columns, const bool* price_mask,
                       const std::vector<std::ptrdiff_t>& volume_columns, const bool* volume_mask) {
  const auto n_prices = static_cast<std::ptrdiff_t>(price_columns.size());
  const auto n_volumes = static_cast<std::ptrdiff_t>(volume_columns.size());
  for (std::ptrdiff_t t = 0; t < n_rows; ++t) {
    double* row = rows + t * cols;
    const double* previous = t == 0 ? before : rows + (t - 1) * cols;
    for (std::ptrdiff_t k = 0; k < n_prices; ++k) {
      const std::ptrdiff_t c = price_columns[k];
      if (price_mask[t * n_prices + k] || std::isnan(row[c])) row[c] = previous[c];
    }
    for (std::ptrdiff_t k = 0; k < n_volumes; ++k) {
      double& volume = row[volume_columns[k]];
      if (volume_mask[t * n_volumes + k] || std::isnan(volume)) volume = 0.0;
    }
  }
}

void trading_hours_mask(const std::int64_t* tod, std::ptrdiff_t n, const std::vector<TradingPeriod>& periods,
                        bool* out) {
  if (periods.empty()) {
    std::fill(out, out + n, true);
    return;
  }
  std::fill(out, out + n, false);
  for (const TradingPeriod& p : periods) {
    const std::int64_t start = p.start_us * 1000, end = p.end_us * 1000;
    if (p.end_us > p.start_us) {
      for (std::ptrdiff_t i = 0; i < n; ++i) out[i] = out[i] || (tod[i] >= start && tod[i] < end);
    } else {
      for (std::ptrdiff_t i = 0; i < n; ++i) out[i] = out[i] || (tod[i] >= start || tod[i] < end);
    }
  }
}

double proportional_spread(const double* log_close, const double* log_high, const double* log_low,
                           std::ptrdiff_t stride, std::ptrdiff_t n_bars, std::int64_t number_of_rows) {
  const std::ptrdiff_t D = n_bars;
  std::vector<double> lc(static_cast<std::size_t>(D)), lm(static_cast<std::size_t>(D));
  for (std::ptrdiff_t t = 0; t < D; ++t) {
    lc[t] = log_close[t * stride];
    lm[t] = log_high[t * stride] + log_low[t * stride];
  }
  const std::ptrdiff_t fc = clean_series(lc);
  const std::ptrdiff_t fm = clean_series(lm);
  for (double& x : lm) x = 0.5 * x;

  // Positional slices of the cleaned series, as bar ranges [lo, hi) of the D bars.
  const std::ptrdiff_t N = static_cast<std::ptrdiff_t>(number_of_rows);
  auto slice = [D](std::ptrdiff_t first, std::ptrdiff_t from, std::ptrdiff_t to) {
    // iloc[from:to] of a series covering bars first .. D-1 (to >= from >= 0 here).
    const std::ptrdiff_t len = D - first;
    const std::ptrdiff_t a = std::min(std::max<std::ptrdiff_t>(from, 0), std::max<std::ptrdiff_t>(len, 0));
    const std::ptrdiff_t b = std::min(std::max<std::ptrdiff_t>(to, a), std::max<std::ptrdiff_t>(len, 0));
    return std::pair<std::ptrdiff_t, std::ptrdiff_t>{first + a, first + b};
  };
  const auto close_n = slice(fc, 0, N);           // lc.iloc[:N]
  const auto mid_n = slice(fm, 0, N);             // lm.iloc[:N]
  const auto mid_inner = slice(fm, 1, N - 1);     // lm.iloc[1:N-1]

  // The product is indexed by the union of the bars of lc[:N] and lm[:N] (lm[1:N-1] lies
  // inside the latter); bars missing from any operand hold no term.
  auto in = [](const std::pair<std::ptrdiff_t, std::ptrdiff_t>& r, std::ptrdiff_t t) {
    return t >= r.first && t < r.second;
  };
  std::vector<double> terms;
  std::ptrdiff_t count = 0;
  const std::ptrdiff_t lo = std::min(close_n.first, mid_n.first);
  const std::ptrdiff_t hi = std::max(close_n.second, mid_n.second);
  for (std::ptrdiff_t t = lo; t < hi; ++t) {
    if (!in(close_n, t) && !in(mid_n, t)) continue;
    if (in(close_n, t) && in(mid_n, t) && in(mid_inner, t)) {
      const double a = lc[t] - lm[t];
      const double b = lc[t] - lm[t];
      terms.push_back(a * b);
      ++count;
    } else {
      terms.push_back(0.0);
    }
  }
  if (count == 0) return std::numeric_limits<double>::quiet_NaN();
  const double mean = pairwise_sum(terms.data(), static_cast<std::ptrdiff_t>(terms.size())) /
                      static_cast<double>(count);
  return 2.0 * std::sqrt(mean);
}

}  // namespace velmora::core::factor
