#pragma once
// The factor's parameter search and its study file.

#include "common/common.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "common/studies.hpp"
#include "factors/technical/factor_state.hpp"

namespace velmora::bind::cointpairs {

// What names the factor's study: file "<universe>_<resolution>_<objective>_0.9_<factor>.db".
struct StudyIdentity {
  pybind11::object universe_name;  // str or None
  long long resolution_in_mins = 1;
  pybind11::object objective;      // str or None
  std::string factor_name;
  // Not part of the name: the bars the factor holds, which bound the window its search
  // draws and so the best parameters it takes from the study.
  std::int64_t number_of_rows = 0;
  double train_split_ratio = 0.8;  // with the rows, bounds the window a run can walk

  std::string file_name() const;               // refuses names that would escape the folder
  std::string storage_url() const;
  std::string classifier_storage_name() const;  // the file name without ".db"
};

// The study of a factor: its universe name, resolution, objective and factor name.
StudyIdentity study_of(const Factor& f);

// The twelve strategy parameters as a trial draws them, in order, for a factor holding
// `number_of_rows` bars; the best parameters read from a study are checked against it.
std::vector<studies::SearchParam> search_space(std::int64_t number_of_rows);

// fit's search: opens (or continues) the study and runs `n_trials` trials, sequentially
// through optuna or in joblib worker processes, each on a factor rebuilt by pickling (trials
// queued in the study, when there are several tasks, first in this process).
// Trials are the factor's `__run_pairs_trading_serial_cointegration_factor`, looked up on
// `self` so overrides are honoured. Logs the completion banner and the best trial, and
// returns the best trial's parameters.
pybind11::dict run_search(pybind11::handle self, const StudyIdentity& id, long long n_trials, long long n_jobs);

// One worker's share of a parallel search: one trial with its own sampler seeded 69 + index.
void fit_single_instance(pybind11::handle self, const StudyIdentity& id, pybind11::handle index);

// The best parameters of the stored study (which must exist), checked as check_best_params
// checks them and tradable by the factor (untradable_window is empty).
pybind11::dict load_best_params(const StudyIdentity& id);

// Refuses (ValueError naming the study file, the parameter and its value, with the advice to
// erase the study) best parameters that no search writes: missing, of another kind, not
// finite, or outside the range any search draws from. A window longer than the factor's own
// search draws is no fault here: a search on a longer history draws it.
void check_best_params(pybind11::handle params, const StudyIdentity& id);

// Why the factor cannot trade the (checked) parameters: a window its bars cannot walk with
// a training part of at least one bar; "" when it can.
std::string untradable_window(pybind11::handle params, const StudyIdentity& id);

// The final run of `params` that get_full_backtest_results makes with the study's best: the
// training Scorebook, with the warning when that run closes no training trade.
pybind11::object final_run_with(pybind11::handle self, const StudyIdentity& id, pybind11::handle params);

// Deletes the study file, logging what happened.
void erase_study_file(const StudyIdentity& id);

// Trains the classifier on the training trades with the thirteen keywords it takes.
void fit_classifier(pybind11::handle vodED_tradegate, pybind11::handle training_pieces,
                    pybind11::handle datetime_array, const StudyIdentity& id,
                    long long n_trials_for_vodED, long long n_jobs_for_vodED);

}  // namespace velmora::bind::cointpairs
