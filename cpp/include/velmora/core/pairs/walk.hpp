#pragma once
// The rolling walk of the pairs-trading factor, bar by bar and pair by pair, in plain C++.
//
// The walk never calls Python. The factor is told about the two rare moments that need the
// host (an entry, which may want features and a classifier veto, and the close of a booked
// trade, which becomes a trade record) through a WalkObserver, so the per-bar cost stays
// native while fakes and subclasses on the Python side still see every entry in bar-major,
// pair-minor order.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "velmora/core/matrix.hpp"
#include "velmora/core/pairs/window_sums.hpp"

namespace velmora::core::pairs {

// Bars x securities.
using MatrixView = velmora::core::MatrixView;

// Closes and their natural logarithms, copied once into one contiguous column per security.
// The logs are handed in rather than computed here: numpy's vectorised log may differ from
// the C library's in the last bit, and the walk must agree with numpy arithmetic.
class Market {
 public:
  // `closes` and `log_closes` must have the same shape (std::invalid_argument otherwise).
  Market(MatrixView closes, MatrixView log_closes);

  std::ptrdiff_t rows() const { return rows_; }
  std::ptrdiff_t securities() const { return securities_; }
  const double* close(std::ptrdiff_t security) const { return close_.data() + security * rows_; }
  const double* log_close(std::ptrdiff_t security) const { return log_.data() + security * rows_; }

 private:
  std::ptrdiff_t rows_ = 0;
  std::ptrdiff_t securities_ = 0;
  std::vector<double> close_;
  std::vector<double> log_;
};

// One pair: the Market columns of its two securities (first security first) and the entries
// of the positions row that their legs are booked into.
struct PairSpec {
  std::ptrdiff_t first = 0;
  std::ptrdiff_t second = 0;
  std::ptrdiff_t first_position = 0;
  std::ptrdiff_t second_position = 0;
};

// Every unordered pair of `securities` columns in combinations order: (0,1), (0,2), ...,
// (1,2), ...; positions entries equal to the columns.
std::vector<PairSpec> all_pairs(std::ptrdiff_t securities);

// The trial's strategy parameters and the factor's day-based settings.
struct WalkParams {
  std::int64_t size_of_rolling_windows = 0;
  double zscore_halflife_multiplier = 0.0;
  double starting_sd_for_position_entry = 0.0;
  double rolling_volatility_halflife_multiplier = 0.0;
  double take_profit_std_multiplier = 0.0;
  double take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry = 0.0;
  double take_profit_current_volatility_multiplier_sensitivity_at_adjustment = 0.0;
  double stop_loss_std_multiplier = 0.0;
  double stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry = 0.0;
  double stop_loss_current_volatility_multiplier_sensitivity_at_adjustment = 0.0;
  double time_stop_halflife_multiplier = 0.0;
  double time_stop_adjustment_sensitivity = 0.0;

  std::int64_t hedge_ratio_reestimation_interval = 1;
  std::int64_t johansen_sampling_step = 1;
  std::int64_t barrier_readjustment_interval = 1;
  std::int64_t minimum_zscore_window = 30;
  std::int64_t maximum_zscore_window = 0;
};

// Everything the walk remembers about one pair between bars. A default-constructed state is
// the state every walk starts from.
struct PairState {
  double hedge_a = 0.0;
  double hedge_b = 0.0;
  bool cointegrated = false;
  std::int64_t halflife = 0;
  int position = 0;  // spread position: +1 long, -1 short, 0 flat
  std::int64_t reestimation_countdown = 0;
  double take_profit = 0.0;
  double stop_loss = 0.0;
  double time_barrier = 0.0;
  double spread_at_entry = 0.0;
  double std_at_entry = 0.0;
  std::int64_t barrier_countdown = 0;
  bool vetoed = false;  // a rejected entry being followed without being booked
  // How far the barriers may lie from their two-pass values (0: they are those values), and
  // the window end and kind of the step that set them, so that a spread coming that close to
  // a barrier can have it computed exactly first.
  double take_profit_error = 0.0;
  double stop_loss_error = 0.0;
  std::int64_t barriers_end = 0;
  bool barriers_at_entry = false;
};

// An entry about to open. `end` is the window's end row (exclusive): in the walk, the bar
// whose positions row is being decided, whose own data is not in the window.
struct EntryEvent {
  std::ptrdiff_t pair = 0;
  std::int64_t end = 0;
  int position = 0;  // the spread position the entry takes
  double hedge_a = 0.0;
  double hedge_b = 0.0;
  double zscore = 0.0;
  double spread = 0.0;  // the latest spread value
  double spread_std = 0.0;
};

// A booked trade that crossed one of its barriers at window end `end`.
struct CloseEvent {
  std::ptrdiff_t pair = 0;
  std::int64_t end = 0;
  int label = 0;
  double trade_return = 0.0;
};

class WalkObserver {
 public:
  virtual ~WalkObserver() = default;
  // Return false to veto the entry: it is then followed to its exit but booked as 0 and
  // never reported to on_close.
  virtual bool on_entry(const EntryEvent&) { return true; }
  virtual void on_close(const CloseEvent&) {}
  // Called between pair steps; throw to abandon the walk (Ctrl-C).
  virtual void poll() {}
};

// Rolling stds of one pair's volatility runs, by absolute start row. While a trade is open
// its hedge ratios are frozen, so a run's std never changes and each re-adjustment only
// computes the runs that are new since the last one.
struct RunStdCache {
  double hedge_a = 0.0;
  double hedge_b = 0.0;
  std::ptrdiff_t run_length = 0;
  std::ptrdiff_t first = 0;
  std::vector<double> values;
};

// Scratch memory and caches reused from step to step; one per walking thread, and only ever
// used with one Market (or with one that only has rows appended).
class Workspace {
 public:
  std::vector<double> a, b, c;
  std::vector<RunStdCache> run_std;
  // Running sums that decide most bars of a long window without a pass over it.
  MarketSums sums;
  std::vector<SpreadRunSums> spread_runs;
  // Every value by its two-pass definition (the tests compare the two routes).
  bool exact = false;
  // Whether the window sums may be built: they cost a pass over the window per security and
  // pair, which only a walk of many steps wins back.
  bool window_sums = true;
};

// One step of every pair over the window rows [end - w, end) of `market`, w =
// params.size_of_rolling_windows: spread model, z-score, entry / barrier state machine and
// conversion. Each pair's legs are added into `positions` (one entry per security, not
// cleared here), in pair order. Requires w <= end <= market.rows().
void step(const Market& market, std::span<const PairSpec> pairs, const WalkParams& params,
          std::int64_t end, std::span<PairState> states, double* positions,
          WalkObserver& observer, Workspace& workspace);

// Every window end first_end .. last_end in order, continuing from `states`: the steps the
// walk makes at those bars, so a state that is k bars behind catches up in k steps and ends
// where the walk over the longer history would. `positions` (one entry per security) is
// cleared before each step and holds the last step's legs. Requires w <= first_end.
void step_through(const Market& market, std::span<const PairSpec> pairs, const WalkParams& params,
                  std::int64_t first_end, std::int64_t last_end, std::span<PairState> states,
                  double* positions, std::ptrdiff_t positions_size, WalkObserver& observer,
                  Workspace& workspace);

// The whole walk: `states` is reset to pairs.size() fresh states, then for every bar
// i = w .. rows - 1 row i of `positions` (row-major, rows x positions_cols) is cleared and
// filled by step(end = i). Rows before w are not touched.
void walk(const Market& market, std::span<const PairSpec> pairs, const WalkParams& params,
          std::vector<PairState>& states, double* positions, std::ptrdiff_t positions_cols,
          WalkObserver& observer);
// The same with a caller's workspace (fresh, or used only with this market).
void walk(const Market& market, std::span<const PairSpec> pairs, const WalkParams& params,
          std::vector<PairState>& states, double* positions, std::ptrdiff_t positions_cols,
          WalkObserver& observer, Workspace& workspace);

// Whether an open trade's barriers are crossed by the spread value x: take-profit first, then
// stop-loss, then the time barrier; every comparison includes equality. The return is the
// spread's change relative to |spread at entry| (0 when that is 0), signed so that a gain is
// positive; the label is 1 for a take-profit, or a time-out with a positive return.
struct Crossing {
  bool crossed = false;
  int label = 0;
  double trade_return = 0.0;
};
Crossing check_barrier_crossing(const PairState& state, double x);

// The pair's spread over the window rows [end - w, end) with its current hedge ratios.
void window_spread(const Market& market, const PairSpec& pair, const PairState& state,
                   std::int64_t end, std::int64_t w, double* out);

// First out-of-sample row: start + trunc((end - start) * ratio), the product in double. A
// ratio outside [0, 1] (NaN included) throws std::invalid_argument.
std::int64_t split_row(std::int64_t start, std::int64_t end, double ratio);

}  // namespace velmora::core::pairs
