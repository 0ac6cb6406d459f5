#pragma once
// The state of one PairsTradingSerialCointegrationFactor. Every host object it holds is
// listed in for_each_object, which the cycle collector's traverse and clear walk.

#include "common/common.hpp"

#include <cstdint>
#include <vector>

#include "velmora/core/factor/cleaning.hpp"
#include "velmora/core/pairs/walk.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;

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

  std::int64_t bars_per_trading_day() const {
    return core::factor::bars_per_trading_day(minutes_in_trading_day, resolution_in_mins);
  }
};

}  // namespace velmora::bind::cointpairs
