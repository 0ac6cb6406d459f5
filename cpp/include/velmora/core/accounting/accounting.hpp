#pragma once
// Booking one scored stretch of a walk into money: units, market values, PnL, costs, the
// equity curve with its bankruptcy stop, and the step returns. Arithmetic follows the
// order of the equivalent numpy expressions so results agree to the last bit.

#include <cstddef>
#include <vector>

#include "velmora/core/matrix.hpp"

namespace velmora::core::accounting {

struct Settings {
  double starting_equity = 100000.0;
  double pct_equity_invested = 1.0;
  double market_value_pct_commissions = 0.0;
  double bid_ask_spread_pct_slippage = 0.0;
  bool scale_equity_to_traded_securities = false;
};

// Bars x securities.
using MatrixView = velmora::core::MatrixView;

// The twelve result arrays; matrices are row-major T x S.
struct Results {
  std::ptrdiff_t T = 0, S = 0;
  std::vector<double> units, market_values, change_in_units, change_in_market_values, pnl;
  std::vector<double> commissions, slippage, pnl_after_costs;
  std::vector<double> total, equity;          // T
  std::vector<double> returns, cumprod;       // T - 1 (empty when T < 2)
};

// Target market values of one bar from its position row (scale free; only proportions and
// signs count), the closes and the running equity. `gross` is the row's gross exposure.
void size_targets(const double* position_row, double gross, const double* close_row, std::ptrdiff_t S,
                  double equity, const Settings& settings, double* target_out);

// Books T bars of `positions` against `closes`, with one proportional spread per security.
Results book(const MatrixView& positions, const MatrixView& closes, const double* spreads,
             std::ptrdiff_t T, std::ptrdiff_t S, const Settings& settings);

// Where a booked equity curve stops meaning anything: the first bar at which it reached 0
// (the bankruptcy stop holds it there) or is not a finite number (a held leg met a close
// that is not a price, and every later bar is NaN too).
struct EquityFault {
  enum class Kind { none, bankrupt, not_finite };
  Kind kind = Kind::none;
  std::ptrdiff_t bar = -1;
};

// `n` equity values `stride` elements apart.
EquityFault first_equity_fault(const double* equity, std::ptrdiff_t n, std::ptrdiff_t stride);

}  // namespace velmora::core::accounting
