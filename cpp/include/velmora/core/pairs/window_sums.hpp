#pragma once
// Window moments of the walk at a cost that does not grow with the window.
//
// A pair's spread is a linear combination of two log-close columns, so its mean and variance
// over any window, and the sums of its half-life regression, follow from running sums of the
// log closes, their squares and (lagged) cross products. Those values are only estimates of
// what the two-pass numpy definitions give: each comes with a bound on its distance from them,
// and a decision is taken from the estimate only when the bound cannot change it. Otherwise
// (and for every value that is stored) the caller computes the two-pass value.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::core::pairs {

class Market;
struct PairSpec;

// A running sum kept as an unevaluated pair hi + lo (double-double), so that differences of
// two sums far along the data keep the precision of the window between them.
struct Compensated {
  double hi = 0.0;
  double lo = 0.0;
};

// Running sums over rows [base, top) of a Market, per security and per pair of the walk.
// Non-finite log closes count as 0 in the sums and are counted apart, so that a window that
// holds one is recognised and left to the two-pass definitions.
class MarketSums {
 public:
  // Makes the sums cover rows [lo, hi): extends them when only later rows are missing (the
  // walk moves forward one bar at a time), builds them again from lo otherwise.
  void cover(const Market& market, std::span<const PairSpec> pairs, std::ptrdiff_t lo,
             std::ptrdiff_t hi);
  bool covers(std::ptrdiff_t lo, std::ptrdiff_t hi) const {
    return ready_ && lo >= base_ && hi <= top_;
  }
  std::ptrdiff_t rows() const { return top_ - base_; }

  // Whether rows [lo, hi) of the security hold only finite log closes.
  bool finite(std::ptrdiff_t security, std::ptrdiff_t lo, std::ptrdiff_t hi) const;
  // Largest |log close| of the security over the covered rows.
  double max_abs(std::ptrdiff_t security) const { return max_abs_[security]; }

  // Sums over rows t in [lo, hi), rounded to double; the lagged ones over the pairs (t, t+1)
  // with t in [lo, hi), which need hi < the covered top.
  double sum(std::ptrdiff_t security, std::ptrdiff_t lo, std::ptrdiff_t hi) const {  // a_t
    return column(security * 3, lo, hi);
  }
  double sum_sq(std::ptrdiff_t security, std::ptrdiff_t lo, std::ptrdiff_t hi) const {  // a_t^2
    return column(security * 3 + 1, lo, hi);
  }
  double sum_lag(std::ptrdiff_t security, std::ptrdiff_t lo, std::ptrdiff_t hi) const {  // a_t a_t+1
    return column(security * 3 + 2, lo + 1, hi + 1);
  }
  double sum_cross(std::size_t pair, std::ptrdiff_t lo, std::ptrdiff_t hi) const {  // a_t b_t
    return column(pair_column(pair), lo, hi);
  }
  // a_t b_t+1 + b_t a_t+1
  double sum_cross_lag(std::size_t pair, std::ptrdiff_t lo, std::ptrdiff_t hi) const {
    return column(pair_column(pair) + 1, lo + 1, hi + 1);
  }

 private:
  void reset(const Market& market, std::span<const PairSpec> pairs, std::ptrdiff_t lo);
  void extend(const Market& market, std::ptrdiff_t hi);
  std::ptrdiff_t pair_column(std::size_t pair) const {
    return 3 * securities_ + 2 * static_cast<std::ptrdiff_t>(pair);
  }
  double column(std::ptrdiff_t c, std::ptrdiff_t lo, std::ptrdiff_t hi) const;

  bool ready_ = false;
  std::ptrdiff_t base_ = 0, top_ = 0, securities_ = 0, width_ = 0;
  std::vector<std::ptrdiff_t> first_, second_;  // the pairs' securities
  // Prefix sums, one row of width_ columns per row of data: row j covers rows [base, base + j)
  // (the lagged columns: the pairs (t, t+1) within them). Per security a, a^2 and a_t a_t+1,
  // then per pair a b and a_t b_t+1 + b_t a_t+1.
  std::vector<Compensated> table_;
  std::vector<std::int32_t> bad_;  // non-finite values so far, securities_ per row
  std::vector<double> max_abs_;
};

// Whether |z-score| > threshold is certain to fail for the spread (h_a log a + h_b log b) over
// rows [lo, hi), whose latest value (as the walk rounds it) is `current`, when the two-pass
// numpy mean and std decide it. False also when the estimate cannot tell.
bool zscore_surely_within(const MarketSums& sums, std::size_t pair, std::ptrdiff_t first,
                          std::ptrdiff_t second, double hedge_a, double hedge_b, std::ptrdiff_t lo,
                          std::ptrdiff_t hi, double current, double threshold);

// The half-life halflife_from_spread gives a cointegrated pair's spread over rows [lo, hi),
// when the estimate and its bound fix the integer; -1 when they cannot. `first_value` and
// `last_value` are the spread's first and last values as the walk rounds them.
std::int64_t halflife_estimate(const MarketSums& sums, std::size_t pair, std::ptrdiff_t first,
                               std::ptrdiff_t second, double hedge_a, double hedge_b,
                               std::ptrdiff_t lo, std::ptrdiff_t hi, double first_value,
                               double last_value);

// The rolling stds of one pair's volatility runs from running sums of its spread, by absolute
// start row. Kept while the hedge ratios and the run length hold (an open trade), so each
// re-adjustment only adds the runs that are new.
class SpreadRunSums {
 public:
  // The volatility multiplier of the window rows [start, start + n) with runs of `run_length`
  // rows, and a bound on its distance from the two-pass value. False when the spread is not
  // finite or the bound cannot be made small; the caller then computes the two-pass value.
  bool multiplier(const double* log_a, const double* log_b, double hedge_a, double hedge_b,
                  std::ptrdiff_t start, std::ptrdiff_t n, std::ptrdiff_t run_length, double& value,
                  double& error);

 private:
  double hedge_a_ = 0.0, hedge_b_ = 0.0, centre_ = 0.0;
  std::ptrdiff_t run_length_ = 0, first_ = 0;
  bool ready_ = false;
  std::vector<Compensated> y_, yy_, run_sum_;  // prefix sums from row first_
  std::vector<double> run_std_;
  double max_dev_ = 0.0, max_abs_ = 0.0, max_std_ = 0.0, min_std_ = 0.0, max_var_slack_ = 0.0;
};

}  // namespace velmora::core::pairs
