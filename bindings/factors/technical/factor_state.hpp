#pragma once
// The state of one PairsTradingSerialCointegrationFactor. Every host object it holds is
// listed in for_each_object, which the cycle collector's traverse and clear walk.

#include "common/common.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "velmora/core/factor/cleaning.hpp"
#include "velmora/core/pairs/walk.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;

// A closed trade as the walk saw it: the parameters it was walked with (an id of
// Factor::trade_contexts), the pair, the window ends of its entry and exit (rows only grow at
// the end, so an end names the same bars in every later run) and its outcome. Two runs of the
// same parameters over the same bars close the same trades, whatever time they stamp on them.
struct RecordedTrade {
  std::int64_t context = 0;
  std::int64_t pair = 0;
  std::int64_t entry_end = -1;
  std::int64_t exit_end = -1;
  int label = 0;
  std::uint64_t return_bits = 0;

  bool operator==(const RecordedTrade& o) const {
    return context == o.context && pair == o.pair && entry_end == o.entry_end && exit_end == o.exit_end &&
           label == o.label && return_bits == o.return_bits;
  }
};

struct RecordedTradeHash {
  std::size_t operator()(const RecordedTrade& t) const {
    std::size_t h = std::hash<std::int64_t>()(t.context);
    for (const std::uint64_t v : {static_cast<std::uint64_t>(t.pair), static_cast<std::uint64_t>(t.entry_end),
                                  static_cast<std::uint64_t>(t.exit_end), static_cast<std::uint64_t>(t.label),
                                  t.return_bits}) {
      h ^= std::hash<std::uint64_t>()(v) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    }
    return h;
  }
};

// An entry as the classifier judged it: the parameters of the walk (an id of
// Factor::trade_contexts), the pair, the window end and the hedge ratios of the entry. Rows only
// grow at the end, so the same parameters reach the same entry with the same window and
// features, whichever run or step reaches it: its verdict under one model is known.
struct JudgedEntry {
  std::int64_t context = 0;
  std::int64_t pair = 0;
  std::int64_t end = 0;
  std::uint64_t hedge_a_bits = 0, hedge_b_bits = 0;

  bool operator==(const JudgedEntry& o) const {
    return context == o.context && pair == o.pair && end == o.end && hedge_a_bits == o.hedge_a_bits &&
           hedge_b_bits == o.hedge_b_bits;
  }
};

struct JudgedEntryHash {
  std::size_t operator()(const JudgedEntry& e) const {
    std::size_t h = std::hash<std::int64_t>()(e.context);
    for (const std::uint64_t v : {static_cast<std::uint64_t>(e.pair), static_cast<std::uint64_t>(e.end),
                                  e.hedge_a_bits, e.hedge_b_bits}) {
      h ^= std::hash<std::uint64_t>()(v) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    }
    return h;
  }
};

// What the study file looked like when the best trial was last read from it: a change of any
// of these (a write, a replacement, a restored copy) means the best trial must be read again.
struct StudyFileStamp {
  std::int64_t device = 0, inode = 0, size = 0, mtime_ns = 0, ctime_ns = 0;
  std::int64_t wal_size = -1, wal_mtime_ns = -1;  // SQLite's write-ahead log, when there is one
  // Taken within a moment of the file's last change: a write in the same clock tick could leave
  // every field as it is, so such a stamp is never trusted to mean "unchanged".
  bool racy = false;

  bool same_file_state(const StudyFileStamp& o) const {
    return device == o.device && inode == o.inode && size == o.size && mtime_ns == o.mtime_ns &&
           ctime_ns == o.ctime_ns && wal_size == o.wal_size && wal_mtime_ns == o.wal_mtime_ns;
  }
};

struct Factor {
  // ------------------------------------------------------------ settings
  std::int64_t minimum_resolution_in_mins = 1;
  std::int64_t hedge_ratio_reestimation_interval = 1;
  std::int64_t johansen_sampling_step = 1;
  std::int64_t maximum_zscore_window = 0;
  std::int64_t barrier_readjustment_interval = 1;
  std::int64_t minimum_zscore_window = 30;
  py::object objective = py::none();
  py::object universe_name = py::none();
  py::object factor_name = py::none();
  py::object securities_names_list = py::none();
  double market_value_pct_commissions = 0.0;
  double bid_ask_spread_pct_slippage = 0.0;
  double starting_equity = 0.0;
  double pct_equity_invested = 0.0;
  double train_split_ratio = 0.0;
  std::int64_t resolution_in_mins = 1;
  bool trades_only_on_weekdays = false;
  py::object trading_hours = py::none();
  std::int64_t minutes_in_trading_day = 0;
  std::int64_t number_of_rows = 0;
  std::int64_t number_of_data_columns = 0;
  std::int64_t number_of_securities = 0;
  bool scale_equity_to_traded_securities = true;

  // ------------------------------------------------------------ data and working arrays
  // The float64 matrices are owned, C-contiguous numpy buffers made by the factor itself
  // (never views of the caller's frame), so native loops may read them directly.
  py::object current_time = py::none();
  py::object last_run_time = py::none();
  py::object raw_OHCLV_dataframe = py::none();
  py::object datetime_array = py::none();          // datetime64[ns], UTC instants without zone
  py::object data_column_names_array = py::none(); // str labels of data_matrix_array's columns
  py::object data_matrix_array = py::none();       // rows x data columns
  py::object positions_matrix_array = py::none();  // rows x securities
  py::object positions_array = py::none();
  py::object close_matrix_array = py::none();      // rows x securities, securities_names_list order
  py::object proportional_spread_array = py::none();
  py::object latest_position_weights_array = py::none();
  py::object securities_index_dict = py::none();

  // ------------------------------------------------------------ per run and per pair
  py::object optimal_params = py::none();
  // The study's trial optimal_params came from (-1: not known, as after fit or a caller's
  // get_full_backtest_results), and the study file as it was when that was last confirmed
  // (none: not confirmed since). predict reads the best trial again only when the file changed.
  std::int64_t optimal_params_trial = -1;
  std::optional<StudyFileStamp> optimal_params_study_stamp;
  // The study's best trial is one the factor's bars cannot trade (a window searched on a longer
  // history): predict trades on with the parameters it holds, having said so once for the trial
  // numbered `untradable_best_logged`.
  bool holding_params_against_best = false;
  std::int64_t untradable_best_logged = -1;
  // The parameters the per-pair state was last walked with (a copy), so a live step can
  // tell when that state belongs to other parameters than optimal_params.
  py::object walk_state_params = py::none();
  py::object pairs_list = py::none();
  py::object hedge_ratios_dict = py::none();
  py::object cointegration_flags_dict = py::none();
  py::object halflife_dict = py::none();
  py::object spread_dict = py::none();
  py::object spread_position_dict = py::none();
  py::object reestimation_countdown_dict = py::none();
  py::object take_profit_dict = py::none();
  py::object stop_loss_dict = py::none();
  py::object time_barrier_dict = py::none();
  py::object spread_at_entry_dict = py::none();
  py::object std_at_entry_dict = py::none();
  py::object barrier_countdown_dict = py::none();

  // ------------------------------------------------------------ meta-label layer
  bool vodED_features_requested = false;
  std::int64_t trade_counter = 0;
  py::object trade_record_template = py::none();
  py::object trade_store = py::none();
  py::object open_trade_records = py::none();
  py::object meta_label_veto = py::none();
  py::object train_trades_store_df = py::none();
  py::object test_trades_store_df = py::none();
  py::object vodED_signalsmith = py::none();
  py::object vodED_tradegate = py::none();
  py::object vodED_ready = py::none();
  py::object object_store_dict = py::none();

  // Every trade trade_store received from a run or step, by what the walk saw (to the number it
  // is stored under), and the parameter sets those runs were walked with. A rerun made by
  // predict to catch up stores only the trades that are not held already, so a live process
  // keeps each trade once however often it reruns. Emptied with trade_store and with new arrays.
  std::unordered_map<RecordedTrade, std::int64_t, RecordedTradeHash> recorded_trades;
  std::unordered_map<std::string, std::int64_t> trade_contexts;
  // Set while predict catches up (its rerun and its steps).
  bool skip_recorded_trades = false;
  // The classifier's verdicts on the entries it judged, under model generation
  // `verdicts_model_generation`: a rerun with the same model and parameters asks it only about
  // entries it has not judged. Emptied with the recorded trades (their context ids).
  std::unordered_map<JudgedEntry, bool, JudgedEntryHash> verdicts;
  std::int64_t verdicts_model_generation = -1;
  // The window end of the first booked trade the latest walk closed (whether or not it was
  // stored again), -1 when it closed none.
  std::int64_t walk_first_close_end = -1;
  // The window end at which each pair's open trade entered (pairs_list order).
  std::vector<std::int64_t> open_trade_entry_ends;

  // The trading periods parsed from trading_hours when the data structures were built.
  std::vector<core::factor::TradingPeriod> trading_periods;

  // The native side of the per-pair state: the pairs of pairs_list as close-matrix columns and
  // positions entries, and each pair's state after the last walk (what the host dicts show).
  std::vector<core::pairs::PairSpec> pair_specs;
  std::vector<core::pairs::PairState> pair_states;
  // The row the last stepped window ends before: number_of_rows once predict has stepped the
  // latest window, number_of_rows - 1 after a full walk, -1 for fresh state.
  std::int64_t walk_state_end = -1;

  // The meta-label model as the factor knows it: the generation grows at every load of the
  // saved classifier and before every retraining, and `vodED_model_loaded` is whether the
  // latest load found one (so a full backtest now would veto with it).
  std::int64_t vodED_model_generation = 0;
  bool vodED_model_loaded = false;
  // The classifier's model file as the latest load found it (none: no file then), while
  // `model_file_known`; predict loads the file again only when it changed since. While
  // `model_held` (predict catching up) a final run trades the model held instead of loading
  // the file: one predict never trades two models.
  bool model_file_known = false;
  std::optional<StudyFileStamp> model_file_stamp;
  std::optional<std::uint64_t> model_file_digest;  // of its bytes, when it was there
  bool model_held = false;
  // The model generation the per-pair state was walked with and whether its veto applied:
  // a state walked before the latest load or retraining, or without a veto that a full
  // backtest would apply, holds other positions than that backtest.
  std::int64_t walk_state_model_generation = -1;
  bool walk_state_vetoed = false;
  bool walking = false;
  // Whether the latest final run (not a search trial) closed a trade in its training part:
  // 1 or 0, -1 while none has finished.
  int final_run_closed_training_trade = -1;

  template <class F>
  void for_each_object(F&& f) {
    for (py::object* o : {&objective, &universe_name, &factor_name, &securities_names_list,
                          &trading_hours, &current_time, &last_run_time, &raw_OHCLV_dataframe,
                          &datetime_array, &data_column_names_array, &data_matrix_array,
                          &positions_matrix_array, &positions_array, &close_matrix_array,
                          &proportional_spread_array, &latest_position_weights_array,
                          &securities_index_dict, &optimal_params, &walk_state_params, &pairs_list, &hedge_ratios_dict,
                          &cointegration_flags_dict, &halflife_dict, &spread_dict,
                          &spread_position_dict, &reestimation_countdown_dict, &take_profit_dict,
                          &stop_loss_dict, &time_barrier_dict, &spread_at_entry_dict,
                          &std_at_entry_dict, &barrier_countdown_dict, &trade_record_template,
                          &trade_store, &open_trade_records, &meta_label_veto,
                          &train_trades_store_df, &test_trades_store_df, &vodED_signalsmith,
                          &vodED_tradegate, &vodED_ready, &object_store_dict}) {
      f(*o);
    }
  }

  // optimal_params were read anew, from a trial predict has not confirmed.
  void forget_optimal_params_trial() {
    optimal_params_trial = -1;
    optimal_params_study_stamp.reset();
  }

  // Recorded trades belong to a trade store and to the bars of the arrays they were walked on.
  void forget_recorded_trades() {
    recorded_trades.clear();
    trade_contexts.clear();
    verdicts.clear();
  }

  std::int64_t bars_per_trading_day() const {
    return core::factor::bars_per_trading_day(minutes_in_trading_day, resolution_in_mins);
  }
};

}  // namespace velmora::bind::cointpairs
