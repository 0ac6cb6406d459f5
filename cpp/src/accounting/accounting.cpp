#include "velmora/core/accounting/accounting.hpp"

#include <cmath>
#include <limits>

#include "velmora/core/numeric.hpp"

namespace velmora::core::accounting {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double gross_exposure(const MatrixView& positions, std::ptrdiff_t t, std::ptrdiff_t S,
                      std::vector<double>& scratch) {
  for (std::ptrdiff_t j = 0; j < S; ++j) scratch[j] = std::fabs(positions(t, j));
  return pairwise_sum(scratch.data(), S);
}

// np.nan_to_num defaults: NaN -> 0, +inf -> max, -inf -> lowest.
double nan_to_num(double x) {
  if (std::isnan(x)) return 0.0;
  if (std::isinf(x)) return x > 0 ? std::numeric_limits<double>::max() : std::numeric_limits<double>::lowest();
  return x;
}

}  // namespace

void size_targets(const double* position_row, double gross, const double* close_row, std::ptrdiff_t S,
                  double equity, const Settings& settings, double* target_out) {
  std::vector<double> v(static_cast<std::size_t>(S)), absv(static_cast<std::size_t>(S));
  for (std::ptrdiff_t j = 0; j < S; ++j) {
    const double w = position_row[j] / gross;
    v[j] = w * close_row[j];
    absv[j] = std::fabs(v[j]);
  }
  const double s = pairwise_sum(absv.data(), S);
  std::ptrdiff_t traded = 0;
  for (std::ptrdiff_t j = 0; j < S; ++j) {
    const double n = v[j] / s;
    if (n != 0.0) ++traded;  // NaN counts as traded, as np.count_nonzero does
    target_out[j] = n * equity * settings.pct_equity_invested;
  }
  if (settings.scale_equity_to_traded_securities) {
    const double share = static_cast<double>(traded) / static_cast<double>(S);
    for (std::ptrdiff_t j = 0; j < S; ++j) target_out[j] = target_out[j] * share;
  }
}

Results book(const MatrixView& positions, const MatrixView& closes, const double* spreads,
             std::ptrdiff_t T, std::ptrdiff_t S, const Settings& settings) {
  Results r;
  r.T = T;
  r.S = S;
  const std::size_t cells = static_cast<std::size_t>(T > 0 ? T : 0) * static_cast<std::size_t>(S);
  for (auto* m : {&r.units, &r.market_values, &r.change_in_units, &r.change_in_market_values, &r.pnl,
                  &r.commissions, &r.slippage, &r.pnl_after_costs}) {
    m->assign(cells, 0.0);
  }
  r.total.assign(static_cast<std::size_t>(T > 0 ? T : 0), 0.0);
  r.equity.assign(r.total.size(), 0.0);
  if (T < 1) return r;

  std::vector<double> prev_units(static_cast<std::size_t>(S), 0.0), prev_close(static_cast<std::size_t>(S), 0.0);
  std::vector<double> scratch(static_cast<std::size_t>(S)), position_row(static_cast<std::size_t>(S)),
      close_row(static_cast<std::size_t>(S)), target(static_cast<std::size_t>(S));
  double running_equity = settings.starting_equity;
  bool invested = false;

  for (std::ptrdiff_t t = 0; t < T; ++t) {
    double* units = r.units.data() + t * S;
    double* pnl = r.pnl.data() + t * S;
    std::fill(target.begin(), target.end(), 0.0);
    for (std::ptrdiff_t j = 0; j < S; ++j) {
      position_row[j] = positions(t, j);
      close_row[j] = closes(t, j);
    }
    const double gross = gross_exposure(positions, t, S, scratch);
    const bool exposed = gross != 0.0;  // NaN counts as exposed

    if (invested) {
      // Mark the carried units to market first, so new targets see this bar's PnL. A leg
      // carried into a close that is not a price has no value this bar: marking it to 0
      // would book its whole market value as a profit or loss.
      for (std::ptrdiff_t j = 0; j < S; ++j) {
        pnl[j] = prev_units[j] != 0.0 && !(close_row[j] > 0.0) ? kNaN
                                                                : prev_units[j] * (close_row[j] - prev_close[j]);
      }
      running_equity = running_equity + pairwise_sum(pnl, S);
      if (exposed) {
        size_targets(position_row.data(), gross, close_row.data(), S, running_equity, settings, target.data());
      } else {
        invested = false;
      }
    } else if (exposed) {
      size_targets(position_row.data(), gross, close_row.data(), S, running_equity, settings, target.data());
      invested = true;
    }

    for (std::ptrdiff_t j = 0; j < S; ++j) {
      // A held leg (carried into the bar or asked for by it) whose close is not positive can
      // be neither valued nor traded: its units are NaN, as target / close gives for a zero
      // close, not a position closed at 0. A security not held holds nothing, whatever its
      // close, so a bad close of a security nobody trades leaves the equity curve alone.
      const bool held = prev_units[j] != 0.0 || position_row[j] != 0.0;
      if (!held) {
        units[j] = 0.0;
      } else if (!(close_row[j] > 0.0)) {
        units[j] = kNaN;
      } else {
        units[j] = target[j] == 0.0 ? 0.0 : target[j] / close_row[j];
      }
      const double du = units[j] - prev_units[j];
      r.change_in_units[t * S + j] = du;
      r.change_in_market_values[t * S + j] = du * close_row[j];
      r.market_values[t * S + j] = target[j];
      prev_units[j] = units[j];
      prev_close[j] = close_row[j];
    }
  }

  for (std::ptrdiff_t t = 0; t < T; ++t) {
    for (std::ptrdiff_t j = 0; j < S; ++j) {
      const std::size_t k = static_cast<std::size_t>(t * S + j);
      const double traded = std::fabs(r.change_in_market_values[k]);
      r.commissions[k] = traded * settings.market_value_pct_commissions;
      r.slippage[k] = traded * spreads[j] * settings.bid_ask_spread_pct_slippage;
      r.pnl_after_costs[k] = r.pnl[k] - r.commissions[k] - r.slippage[k];
    }
    r.total[t] = pairwise_sum(r.pnl_after_costs.data() + t * S, S);
  }

  // np.cumsum(total) + starting_equity: accumulate first, then add the start.
  double running = 0.0;
  for (std::ptrdiff_t t = 0; t < T; ++t) {
    running = t == 0 ? r.total[0] : running + r.total[t];
    r.equity[t] = running + settings.starting_equity;
  }

  // Bankruptcy stop: equity is 0 from the first bar at or below 0, and nothing is held,
  // traded or earned after it.
  std::ptrdiff_t first_bankrupt = -1;
  for (std::ptrdiff_t t = 0; t < T; ++t) {
    if (r.equity[t] <= 0.0) {
      first_bankrupt = t;
      break;
    }
  }
  if (first_bankrupt >= 0) {
    for (std::ptrdiff_t t = first_bankrupt; t < T; ++t) r.equity[t] = 0.0;
    for (std::ptrdiff_t t = first_bankrupt + 1; t < T; ++t) {
      r.total[t] = 0.0;
      for (auto* m : {&r.pnl_after_costs, &r.commissions, &r.slippage, &r.pnl, &r.units, &r.market_values,
                      &r.change_in_units, &r.change_in_market_values}) {
        std::fill(m->begin() + t * S, m->begin() + (t + 1) * S, 0.0);
      }
    }
  }

  if (T >= 2) {
    r.returns.resize(static_cast<std::size_t>(T - 1));
    r.cumprod.resize(static_cast<std::size_t>(T - 1));
    double product = 1.0;
    for (std::ptrdiff_t k = 0; k < T - 1; ++k) {
      r.returns[k] = nan_to_num(r.total[k + 1] / r.equity[k]);
      const double step = 1.0 + r.returns[k];
      product = k == 0 ? step : product * step;
      r.cumprod[k] = product;
    }
  }
  return r;
}

EquityFault first_equity_fault(const double* equity, std::ptrdiff_t n, std::ptrdiff_t stride) {
  for (std::ptrdiff_t t = 0; t < n; ++t) {
    const double e = equity[t * stride];
    if (!std::isfinite(e)) return {EquityFault::Kind::not_finite, t};
    if (e <= 0.0) return {EquityFault::Kind::bankrupt, t};
  }
  return {};
}

}  // namespace velmora::core::accounting
