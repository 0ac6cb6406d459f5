#include "velmora/core/pairs/walk.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "velmora/core/pairs/kernels.hpp"

namespace velmora::core::pairs {

Market::Market(MatrixView closes, MatrixView log_closes)
    : rows_(closes.rows), securities_(closes.cols) {
  if (log_closes.rows != closes.rows || log_closes.cols != closes.cols) {
    throw std::invalid_argument("closes and log closes must have the same shape");
  }
  const auto size = static_cast<std::size_t>(rows_ * securities_);
  close_.resize(size);
  log_.resize(size);
  for (std::ptrdiff_t s = 0; s < securities_; ++s) {
    double* c = close_.data() + s * rows_;
    double* l = log_.data() + s * rows_;
    for (std::ptrdiff_t r = 0; r < rows_; ++r) {
      c[r] = closes(r, s);
      l[r] = log_closes(r, s);
    }
  }
}

std::vector<PairSpec> all_pairs(std::ptrdiff_t securities) {
  std::vector<PairSpec> pairs;
  for (std::ptrdiff_t a = 0; a < securities; ++a) {
    for (std::ptrdiff_t b = a + 1; b < securities; ++b) pairs.push_back({a, b, a, b});
  }
  return pairs;
}

namespace {

// The spread of one pair over the window, filled on demand from the back: most bars need
// only the latest value, a flat cointegrated pair the z-score's tail, and only
// re-estimations, entries and barrier re-adjustments the whole window. Each element is
// (h_a * log_a) + (h_b * log_b), the same value whichever bar computes it.
class LazySpread {
 public:
  LazySpread(const double* la, const double* lb, double ha, double hb, std::ptrdiff_t n,
             std::vector<double>& buffer)
      : la_(la), lb_(lb), ha_(ha), hb_(hb), n_(n), filled_from_(n) {
    buffer.resize(static_cast<std::size_t>(n));
    data_ = buffer.data();
  }

  // Makes elements [from, n) available and returns the whole buffer.
  const double* from(std::ptrdiff_t from) {
    from = std::max<std::ptrdiff_t>(from, 0);
    for (std::ptrdiff_t t = from; t < filled_from_; ++t) data_[t] = (ha_ * la_[t]) + (hb_ * lb_[t]);
    filled_from_ = std::min(filled_from_, from);
    return data_;
  }
  const double* all() { return from(0); }
  double last() { return from(n_ - 1)[n_ - 1]; }

 private:
  const double* la_;
  const double* lb_;
  double ha_, hb_;
  std::ptrdiff_t n_;
  std::ptrdiff_t filled_from_;
  double* data_ = nullptr;
};

double sign_of(int position) { return position > 0 ? 1.0 : (position < 0 ? -1.0 : 0.0); }

// The trade's return relative to the size of the entry spread, signed so that a gain is
// positive whatever the sign of the entry spread; an entry spread of 0 has no scale and
// counts as no return.
double relative_change(double gain, double entry) {
  const double scale = std::abs(entry);
  return scale == 0.0 ? 0.0 : gain / scale;
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// The volatility multiplier of the window starting at absolute row `start`, reusing the run
// stds that an earlier window of the same hedge ratios already computed.
double cached_volatility_multiplier(RunStdCache& cache, LazySpread& spread, std::ptrdiff_t n,
                                    std::ptrdiff_t start, const PairState& st,
                                    double multiplier, std::vector<double>& scratch) {
  const std::ptrdiff_t wv = volatility_run_length(n, st.halflife, multiplier);
  const std::ptrdiff_t runs = n - wv + 1;
  if (runs < 1) throw std::invalid_argument("spread too short for a rolling volatility");
  const auto held = static_cast<std::ptrdiff_t>(cache.values.size());
  const bool reusable = cache.run_length == wv && same_bits(cache.hedge_a, st.hedge_a) &&
                        same_bits(cache.hedge_b, st.hedge_b) && cache.first <= start &&
                        start <= cache.first + held;
  if (reusable) {
    cache.values.erase(cache.values.begin(), cache.values.begin() + (start - cache.first));
    if (static_cast<std::ptrdiff_t>(cache.values.size()) > runs) cache.values.resize(runs);
  } else {
    cache.values.clear();
    cache.hedge_a = st.hedge_a;
    cache.hedge_b = st.hedge_b;
    cache.run_length = wv;
  }
  cache.first = start;
  const auto have = static_cast<std::ptrdiff_t>(cache.values.size());
  if (have < runs) {
    const double* s = spread.from(have);
    cache.values.resize(static_cast<std::size_t>(runs));
    sliding_std(s + have, n - have, wv, cache.values.data() + have, scratch);
  }
  return volatility_multiplier_from_runs(cache.values.data(), runs);
}

// Below this many rows a window is cheap enough to take every value by its two-pass
// definition; above it, running sums decide what they can.
constexpr std::ptrdiff_t kSumsWindow = 256;
// Fewer steps than this through a workspace without sums leave the sums unbuilt.
constexpr std::int64_t kSumsSteps = 16;
// The z-score's tail from which the running sums screen the entry test.
constexpr std::ptrdiff_t kSumsTail = 64;
// In windows shorter than kExactWindow, volatility runs of up to kExactRunValues values in
// all are computed by the two-pass definition, so barriers are then exactly those values;
// longer windows take whichever route reads fewer values.
constexpr std::ptrdiff_t kExactWindow = 512;
constexpr std::ptrdiff_t kExactRunValues = std::ptrdiff_t{1} << 15;
// Runs this short cost the two-pass definition no more than the sums, whose bound is loose
// on a run of a few nearly equal values.
constexpr std::ptrdiff_t kSumsRun = 16;

// Take-profit and stop-loss from the entry spread and std and the volatility multiplier v;
// `error` bounds v's distance from its two-pass value (0: it is that value).
void set_barriers(PairState& st, const WalkParams& p, double v, double error, bool at_entry,
                  std::int64_t end) {
  const double d = st.spread_at_entry, s = st.std_at_entry;
  const double sign = sign_of(st.position);
  const double tp_sens = at_entry
                             ? p.take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry
                             : p.take_profit_current_volatility_multiplier_sensitivity_at_adjustment;
  const double sl_sens = at_entry
                             ? p.stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry
                             : p.stop_loss_current_volatility_multiplier_sensitivity_at_adjustment;
  const double tp_scale = p.take_profit_std_multiplier * s;
  const double sl_scale = p.stop_loss_std_multiplier * s;
  st.take_profit = d + (tp_scale * (tp_sens * v)) * sign;
  st.stop_loss = d - (sl_scale * (sl_sens * v)) * sign;
  st.barriers_end = end;
  st.barriers_at_entry = at_entry;
  if (error == 0.0) {
    st.take_profit_error = st.stop_loss_error = 0.0;
  } else {
    // Each barrier is the same rounded formula of v, which moves by at most its slope times
    // v's error, plus the rounding of the two evaluations.
    constexpr double u = std::numeric_limits<double>::epsilon() / 2.0;
    const double tp_slope = std::abs(tp_scale * tp_sens), sl_slope = std::abs(sl_scale * sl_sens);
    st.take_profit_error = 1.1 * tp_slope * error + 8.0 * u * (std::abs(d) + tp_slope * std::abs(v));
    st.stop_loss_error = 1.1 * sl_slope * error + 8.0 * u * (std::abs(d) + sl_slope * std::abs(v));
    if (!std::isfinite(st.take_profit_error) || !std::isfinite(st.stop_loss_error)) {
      st.take_profit_error = st.stop_loss_error = std::numeric_limits<double>::infinity();
    }
  }
}

// The volatility multiplier of the window [end - w, end) of the pair, with a bound on its
// distance from the two-pass value: 0 when it is that value.
double volatility_multiplier_for(const Market& market, const PairSpec& pair, const PairState& st,
                                 const WalkParams& p, std::int64_t end, std::size_t k,
                                 Workspace& ws, LazySpread* current_spread, bool estimate,
                                 double& error) {
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(p.size_of_rolling_windows);
  const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(end) - n;
  const std::ptrdiff_t wv =
      volatility_run_length(n, st.halflife, p.rolling_volatility_halflife_multiplier);
  const std::ptrdiff_t runs = n - wv + 1;
  if (runs < 1) throw std::invalid_argument("spread too short for a rolling volatility");
  error = 0.0;
  const double two_pass_values = static_cast<double>(runs) * static_cast<double>(wv);
  const double budget = n < kExactWindow ? static_cast<double>(kExactRunValues)
                                         : 8.0 * static_cast<double>(n + runs);
  if (estimate && !ws.exact && wv >= kSumsRun && two_pass_values > budget) {
    double v = 0.0, e = 0.0;
    if (ws.spread_runs[k].multiplier(market.log_close(pair.first), market.log_close(pair.second),
                                     st.hedge_a, st.hedge_b, start, n, wv, v, e) &&
        e <= 1e-6 * v) {
      error = e;
      return v;
    }
  }
  if (current_spread != nullptr) {
    return cached_volatility_multiplier(ws.run_std[k], *current_spread, n, start, st,
                                        p.rolling_volatility_halflife_multiplier, ws.c);
  }
  LazySpread spread(market.log_close(pair.first) + start, market.log_close(pair.second) + start,
                    st.hedge_a, st.hedge_b, n, ws.b);
  return cached_volatility_multiplier(ws.run_std[k], spread, n, start, st,
                                      p.rolling_volatility_halflife_multiplier, ws.c);
}

// Whether the spread value x lies within a barrier's error of it, where the estimated barrier
// might decide otherwise than the two-pass one.
bool near_a_barrier(const PairState& st, double x) {
  return std::abs(x - st.take_profit) <= st.take_profit_error ||
         std::abs(x - st.stop_loss) <= st.stop_loss_error;
}

}  // namespace

void step(const Market& market, std::span<const PairSpec> pairs, const WalkParams& p,
          std::int64_t end, std::span<PairState> states, double* positions,
          WalkObserver& observer, Workspace& ws) {
  const std::int64_t w = p.size_of_rolling_windows;
  if (w < 2) throw std::invalid_argument("size_of_rolling_windows must be at least 2");
  if (end < w || end > market.rows()) throw std::out_of_range("window outside the data");
  if (states.size() != pairs.size()) throw std::invalid_argument("one state per pair is needed");
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(w);
  const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(end - w);
  const std::ptrdiff_t last_row = static_cast<std::ptrdiff_t>(end - 1);
  if (ws.run_std.size() != pairs.size()) ws.run_std.assign(pairs.size(), RunStdCache{});
  if (ws.spread_runs.size() != pairs.size()) ws.spread_runs.assign(pairs.size(), SpreadRunSums{});
  const bool use_sums = !ws.exact && ws.window_sums && n >= kSumsWindow;
  if (use_sums) ws.sums.cover(market, pairs, start, static_cast<std::ptrdiff_t>(end));

  for (std::size_t k = 0; k < pairs.size(); ++k) {
    observer.poll();
    const PairSpec& pair = pairs[k];
    PairState& st = states[k];
    const double* la = market.log_close(pair.first) + start;
    const double* lb = market.log_close(pair.second) + start;

    // Spread model: re-estimate only a flat pair whose countdown has run out.
    const bool reestimate = st.position == 0 && st.reestimation_countdown <= 0;
    if (reestimate) {
      const HedgeEstimate est = hedge_ratio_from_johansen(la, lb, n, p.johansen_sampling_step);
      st.hedge_a = est.hedge_a;
      st.hedge_b = est.hedge_b;
      st.cointegrated = est.cointegrated;
    } else {
      st.reestimation_countdown -= 1;
    }
    LazySpread spread(la, lb, st.hedge_a, st.hedge_b, n, ws.a);
    if (reestimate) {
      std::int64_t h = -1;
      if (!st.cointegrated) {
        h = 0;
      } else if (use_sums) {
        h = halflife_estimate(ws.sums, k, pair.first, pair.second, st.hedge_a, st.hedge_b, start,
                              static_cast<std::ptrdiff_t>(end),
                              (st.hedge_a * la[0]) + (st.hedge_b * lb[0]), spread.last());
      }
      st.halflife = h >= 0 ? h : halflife_from_spread(st.cointegrated, w, spread.all(), n);
      st.reestimation_countdown = p.hedge_ratio_reestimation_interval;
    }
    const double current = spread.last();

    if (st.position == 0) {
      // The z-score matters only to a flat pair: an open one goes to its barriers whatever
      // the z-score says.
      const bool maybe_valid = st.halflife > 0 && st.cointegrated;
      ZScore z;
      z.current = current;
      bool settled = false;  // the entry test is known to fail
      if (maybe_valid) {
        const double window = std::max(
            std::trunc(p.zscore_halflife_multiplier * static_cast<double>(st.halflife)),
            static_cast<double>(p.minimum_zscore_window));
        const std::ptrdiff_t tail =
            window < static_cast<double>(n) ? static_cast<std::ptrdiff_t>(window) : n;
        // Beyond the longest window (or NaN) there is no z-score: it stays 0.
        const bool within = window <= static_cast<double>(p.maximum_zscore_window);
        if (within && use_sums && tail >= kSumsTail) {
          settled = zscore_surely_within(ws.sums, k, pair.first, pair.second, st.hedge_a,
                                         st.hedge_b, static_cast<std::ptrdiff_t>(end) - tail,
                                         static_cast<std::ptrdiff_t>(end), current,
                                         p.starting_sd_for_position_entry);
        }
        if (within && !settled) {
          z = zscore_for_pair(spread.from(n - tail), n, st.halflife, p.zscore_halflife_multiplier,
                              p.minimum_zscore_window, p.maximum_zscore_window, st.cointegrated,
                              ws.b);
        }
      }
      if (!settled && std::abs(z.zscore) > p.starting_sd_for_position_entry) {
        const int position = z.zscore > 0.0 ? -1 : (z.zscore < 0.0 ? 1 : 0);
        EntryEvent event{static_cast<std::ptrdiff_t>(k), end, position, st.hedge_a, st.hedge_b,
                         z.zscore, current, z.std};
        if (!observer.on_entry(event)) st.vetoed = true;
        st.position = position;
        st.spread_at_entry = current;
        st.std_at_entry = z.std;
        double error = 0.0;
        const double v = volatility_multiplier_for(market, pair, st, p, end, k, ws, &spread, true, error);
        set_barriers(st, p, v, error, true, end);
        st.time_barrier = p.time_stop_halflife_multiplier * static_cast<double>(st.halflife);
      }
    } else {
      // Open trade: move the barriers, then test them. The entry bar never gets here, so a
      // trade is first tested on the bar after its entry.
      if (st.barrier_countdown > 0) {
        st.barrier_countdown -= 1;
      } else {
        double error = 0.0;
        const double v = volatility_multiplier_for(market, pair, st, p, end, k, ws, &spread, true, error);
        set_barriers(st, p, v, error, false, end);
        st.barrier_countdown = p.barrier_readjustment_interval;
      }
      st.time_barrier = st.time_barrier - 1.0 * p.time_stop_adjustment_sensitivity;
      if (near_a_barrier(st, current)) {
        // Too close to tell from the estimate: the barriers as the two-pass values set them.
        double error = 0.0;
        const double v = volatility_multiplier_for(market, pair, st, p, st.barriers_end, k, ws,
                                                   nullptr, false, error);
        if (error != 0.0) throw std::logic_error("exact volatility multiplier expected");
        set_barriers(st, p, v, 0.0, st.barriers_at_entry, st.barriers_end);
      }
      const Crossing c = check_barrier_crossing(st, current);
      if (c.crossed) {
        st.position = 0;
        if (st.vetoed) {
          st.vetoed = false;
        } else {
          observer.on_close(CloseEvent{static_cast<std::ptrdiff_t>(k), end, c.label, c.trade_return});
        }
      }
    }

    // Each leg is scaled by the other leg's latest close, so the legs' market values stand
    // in the ratio of the hedge ratios.
    const int booked = st.vetoed ? 0 : st.position;
    if (booked != 0) {
      const double pos = static_cast<double>(booked);
      positions[pair.first_position] += (pos * st.hedge_a) * market.close(pair.second)[last_row];
      positions[pair.second_position] += (pos * st.hedge_b) * market.close(pair.first)[last_row];
    }
  }
}

void step_through(const Market& market, std::span<const PairSpec> pairs, const WalkParams& params,
                  std::int64_t first_end, std::int64_t last_end, std::span<PairState> states,
                  double* positions, std::ptrdiff_t positions_size, WalkObserver& observer,
                  Workspace& ws) {
  if (first_end > last_end) throw std::invalid_argument("no window to step");
  // A few steps (a live bar) cost less by the two-pass definitions than by building the sums.
  if (last_end - first_end + 1 < kSumsSteps &&
      !ws.sums.covers(static_cast<std::ptrdiff_t>(first_end - params.size_of_rolling_windows),
                      static_cast<std::ptrdiff_t>(first_end))) {
    ws.window_sums = false;
  }
  for (std::int64_t end = first_end; end <= last_end; ++end) {
    std::fill(positions, positions + positions_size, 0.0);
    step(market, pairs, params, end, states, positions, observer, ws);
  }
}

void walk(const Market& market, std::span<const PairSpec> pairs, const WalkParams& params,
          std::vector<PairState>& states, double* positions, std::ptrdiff_t positions_cols,
          WalkObserver& observer) {
  Workspace ws;
  walk(market, pairs, params, states, positions, positions_cols, observer, ws);
}

void walk(const Market& market, std::span<const PairSpec> pairs, const WalkParams& params,
          std::vector<PairState>& states, double* positions, std::ptrdiff_t positions_cols,
          WalkObserver& observer, Workspace& ws) {
  if (params.size_of_rolling_windows < 2) {
    throw std::invalid_argument("size_of_rolling_windows must be at least 2");
  }
  for (const PairSpec& pair : pairs) {
    if (pair.first < 0 || pair.first >= market.securities() || pair.second < 0 ||
        pair.second >= market.securities() || pair.first_position < 0 ||
        pair.first_position >= positions_cols || pair.second_position < 0 ||
        pair.second_position >= positions_cols) {
      throw std::out_of_range("pair refers to a security outside the data");
    }
  }
  states.assign(pairs.size(), PairState{});
  for (std::int64_t i = params.size_of_rolling_windows; i < market.rows(); ++i) {
    double* row = positions + i * positions_cols;
    std::fill(row, row + positions_cols, 0.0);
    step(market, pairs, params, i, states, row, observer, ws);
  }
}

Crossing check_barrier_crossing(const PairState& st, double x) {
  Crossing c;
  const double d = st.spread_at_entry;
  if (st.position > 0) {
    const double r = relative_change(x - d, d);
    if (x >= st.take_profit) {
      c = {true, 1, r};
    } else if (x <= st.stop_loss) {
      c = {true, 0, r};
    } else if (st.time_barrier <= 0.0) {
      c = {true, r > 0.0 ? 1 : 0, r};
    }
  } else if (st.position < 0) {
    const double r = relative_change(d - x, d);
    if (x <= st.take_profit) {
      c = {true, 1, r};
    } else if (x >= st.stop_loss) {
      c = {true, 0, r};
    } else if (st.time_barrier <= 0.0) {
      c = {true, r > 0.0 ? 1 : 0, r};
    }
  }
  return c;
}

void window_spread(const Market& market, const PairSpec& pair, const PairState& state,
                   std::int64_t end, std::int64_t w, double* out) {
  if (w < 0 || end < w || end > market.rows()) throw std::out_of_range("window outside the data");
  const double* la = market.log_close(pair.first) + (end - w);
  const double* lb = market.log_close(pair.second) + (end - w);
  for (std::int64_t t = 0; t < w; ++t) out[t] = (state.hedge_a * la[t]) + (state.hedge_b * lb[t]);
}

std::int64_t split_row(std::int64_t start, std::int64_t end, double ratio) {
  if (!(ratio >= 0.0 && ratio <= 1.0)) throw std::invalid_argument("the train/test split ratio must lie in [0, 1]");
  // Between 0 and end - start for a ratio in [0, 1], so it has an integer.
  return start + static_cast<std::int64_t>(static_cast<double>(end - start) * ratio);
}

}  // namespace velmora::core::pairs
