#pragma once
// The factor's rolling walk, its train/test split and the classifier load hook, for the
// factor's run and search code.

#include "factors/technical/factor_state.hpp"

namespace velmora::bind::cointpairs {

// The factor behind a host object (a PairsTradingSerialCointegrationFactor or a subclass).
Factor& factor_of(pybind11::handle self);

// Builds pairs_list (combinations of securities_names_list) and the fourteen per-pair dicts
// in their initial state, for windows of `size_of_rolling_windows` rows.
void initialize_pair_state(Factor& f, std::int64_t size_of_rolling_windows);

// Walks every bar with a trial's `pairs_trading_params`: fresh per-pair state, a fresh zero
// positions matrix of the current number_of_rows (stored as positions_matrix_array and
// returned), rows from size_of_rolling_windows on decided from the bars before them. The
// walk runs natively with the GIL released; it calls the host only at entries (features,
// classifier veto and its printed line, the trade record) and when a booked trade closes
// (the record goes into trade_store under trade_counter). Afterwards current_time is the
// last bar's time and the per-pair dicts hold every pair's final state.
pybind11::object walk_positions(Factor& f, const pybind11::dict& params);

// One step of every pair over the window rows [end - w, end), continuing from the per-pair
// state the last walk or step left (fresh state when there is none): the one-bar positions
// step a live prediction runs with end = number_of_rows. Entries and closes at end ==
// number_of_rows keep the caller's current_time. Returns the new positions_array.
pybind11::object one_bar_positions(Factor& f, const pybind11::dict& params, std::int64_t end);

// The steps of every window end first_end .. last_end in order, as one_bar_positions would
// make them one by one; the state is published to the host once, after the last.
pybind11::object step_positions(Factor& f, const pybind11::dict& params, std::int64_t first_end,
                                std::int64_t last_end);

// The six views (train datetimes, positions, closes, test datetimes, positions, closes) of
// rows [start, split) and [split, end), split = start + trunc((end - start) * ratio).
pybind11::tuple train_test_split(Factor& f, double train_split_ratio, std::int64_t end, std::int64_t start);

// None/False without a classifier, else whatever the classifier's
// __check_and_load_optimal_entry_classifier(factor_name=...) returns (its errors propagate).
// The result is what vodED_ready is set to. Counts as a new model generation.
pybind11::object check_if_vodED_optimal_entry_exists_and_load(Factor& f);

// To be called before the classifier is retrained: any walk state from before is stale.
// Its model file is loaded again at the next predict, whatever it looks like.
inline void note_classifier_retraining(Factor& f) {
  ++f.vodED_model_generation;
  f.model_file_known = false;
}

}  // namespace velmora::bind::cointpairs
