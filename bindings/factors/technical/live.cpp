// The factor's live prediction: catching the walk state up with the latest bar, with the
// study's best trial and the meta-label model as they are now, and the weights it gives.

#include "factors/technical/register.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "factors/technical/factor_state.hpp"
#include "factors/technical/factor_walk.hpp"
#include "factors/technical/search.hpp"
#include "factors/technical/study_watch.hpp"
#include "factors/technical/walk_params.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;

namespace {

py::module_ pandas() { return py::module_::import("pandas"); }

bool empty_or_none(py::handle obj) { return obj.is_none() || py::len(obj) == 0; }

// Whether `behind` (a pandas Timedelta) is at least `n` minutes. Compared in whole minutes,
// floor(behind / 1 min) >= n, which holds exactly when behind >= n minutes: any 64-bit n has
// a meaning, where pandas refuses a Timedelta of more than about 1.5e8 minutes, and a very
// large tolerance is never reached (no rerun on time alone).
bool at_least_minutes(py::handle behind, std::int64_t n) {
  const std::int64_t ns = behind.attr("value").cast<std::int64_t>();
  constexpr std::int64_t kNsPerMinute = 60'000'000'000;
  std::int64_t whole = ns / kNsPerMinute;
  if (ns % kNsPerMinute < 0) whole -= 1;
  return whole >= n;
}

// Whether the per-pair state is the one a full backtest of `params` on the stored data
// would leave: walked with these parameters, with the meta-label model of the latest load or
// retraining, and vetoing exactly when that load found a model.
bool walk_state_is_current(const Factor& f, const py::dict& params) {
  if (f.walk_state_params.is_none() || !f.walk_state_params.equal(params)) return false;
  if (f.walk_state_model_generation != f.vodED_model_generation) return false;
  const bool veto = truth(f.vodED_ready);
  return f.walk_state_vetoed == veto && veto == f.vodED_model_loaded;
}

// The legs' market values at the latest closes, as a share of their gross: the backtest's
// sizing. A security not held enters with 0 whatever its close.
py::object market_value_weights(py::handle positions, py::handle closes) {
  py::module_ np = numpy();
  NumpyErrstate quiet;
  py::object values = np.attr("where")(np.attr("not_equal")(positions, 0.0),
                                       py::reinterpret_borrow<py::object>(positions) * closes, 0.0);
  py::object gross = np.attr("sum")(np.attr("abs")(values));
  if (gross.equal(py::float_(0.0))) return values;
  return values / gross;
}

// Sets one of the factor's flags for a scope and gives it back its value on every way out.
class FlagSetFor {
 public:
  explicit FlagSetFor(bool& flag) : flag_(flag), before_(flag) { flag_ = true; }
  ~FlagSetFor() { flag_ = before_; }
  FlagSetFor(const FlagSetFor&) = delete;
  FlagSetFor& operator=(const FlagSetFor&) = delete;

 private:
  bool& flag_;
  bool before_;
};

// A best trial of the study other than the one whose parameters the factor holds.
struct BestTrialChange {
  bool changed = false;
  std::int64_t number = -1;
  py::object params;
  StudyFileStamp stamp;

  // After the rerun: the parameters it loaded are this trial's (unless the study changed
  // once more in between, which the next look finds).
  void adopt_if_held(Factor& f) const {
    if (f.optimal_params.is_none() || !f.optimal_params.equal(params)) return;
    f.optimal_params_trial = number;
    f.optimal_params_study_stamp = stamp;
  }
};

// Reads the best trial again only when the study file changed since it was last confirmed (a
// stat or two otherwise). A study that has gone away (no file, no such study, no completed
// trial yet) changes nothing: the parameters held stay, and stepping goes on with them.
BestTrialChange look_for_new_best_trial(Factor& f, const StudyIdentity& study) {
  BestTrialChange change;
  const std::optional<StudyFileStamp> stamp = study_file_stamp(study.file_name());
  const std::optional<StudyFileStamp>& seen = f.optimal_params_study_stamp;
  // Held against an untradable best, the study is read again: bars added since may trade it.
  if (stamp && seen && !seen->racy && seen->same_file_state(*stamp) && !f.holding_params_against_best) return change;
  const std::optional<BestTrial> best = stamp ? current_best_trial(study) : std::nullopt;
  if (!best) {
    f.optimal_params_study_stamp.reset();  // looked at again when it comes back
    return change;
  }
  const bool same_trial = f.optimal_params_trial < 0 || f.optimal_params_trial == best->number;
  if (same_trial && best->params.equal(f.optimal_params)) {
    f.optimal_params_trial = best->number;
    f.optimal_params_study_stamp = stamp;
    f.holding_params_against_best = false;
    return change;
  }
  // A study no search wrote is refused as it is everywhere else.
  check_best_params(best->params, study);
  const std::string untradable = untradable_window(best->params, study);
  if (!untradable.empty()) {
    // Sound, but searched on a longer history: the parameters held go on, until the study
    // changes again or the factor holds enough bars (a rerun then reads the study).
    if (f.untradable_best_logged != best->number) {
      shared_logger().attr("warning")(
          "BEST TRIAL " + std::to_string(best->number) + " OF THE STUDY CANNOT BE TRADED BY THIS FACTOR: " +
          untradable + ". TRADING ON WITH THE PARAMETERS HELD" + " | PAIRS TRADING SERIAL COINTEGRATION FACTOR " +
          std::to_string(f.resolution_in_mins));
      f.untradable_best_logged = best->number;
    }
    f.holding_params_against_best = true;
    f.optimal_params_study_stamp = stamp;
    return change;
  }
  f.holding_params_against_best = false;
  const std::string before =
      f.optimal_params_trial < 0 ? "AN EARLIER BEST TRIAL" : "TRIAL " + std::to_string(f.optimal_params_trial);
  shared_logger().attr("info")("BEST TRIAL OF THE STUDY CHANGED FROM " + before + " TO TRIAL " +
                               std::to_string(best->number) + ": RERUNNING THE BACKTEST WITH ITS PARAMETERS" +
                               " | PAIRS TRADING SERIAL COINTEGRATION FACTOR " + std::to_string(f.resolution_in_mins));
  change.changed = true;
  change.number = best->number;
  change.params = best->params;
  change.stamp = *stamp;
  return change;
}

py::object predict(py::object self, bool return_arrays, bool convert_to_actual_positions, double current_equity,
                   std::int64_t number_of_minutes_away_before_needing_to_rerun) {
  if (convert_to_actual_positions && !(std::isfinite(current_equity) && current_equity > 0.0)) {
    raise_plain("current_equity must be a positive finite number to convert the weights into positions, got " +
                py::str(py::float_(current_equity)).cast<std::string>());
  }
  Factor& f = factor_of(self);
  py::module_ pd = pandas();
  py::module_ np = numpy();
  const StudyIdentity study = study_of(f);
  if (empty_or_none(f.optimal_params)) {
    f.optimal_params = load_best_params(study);
    f.forget_optimal_params_trial();
  }
  // The study's current best trial and the model file as it is now are traded, whatever the
  // tolerance: a refit elsewhere since they were read makes this predict rerun with them.
  look_for_new_model(f);
  const BestTrialChange best = look_for_new_best_trial(f, study);
  // While predict catches up, a final run trades the meta-label model the factor holds.
  FlagSetFor one_model(f.model_held);
  py::dict params = py::reinterpret_borrow<py::dict>(f.optimal_params);
  py::object latest = f.datetime_array[py::int_(f.number_of_rows - 1)];
  auto behind = [&]() { return pd.attr("Timestamp")(latest) - pd.attr("Timestamp")(f.last_run_time); };

  // The walk state catches up with the latest bar by stepping every window it has not seen,
  // in order, or by one whole rerun; both end in the same state. A rerun is due when the
  // tolerance says so, or when the state belongs to other parameters (a later fit, say) or to
  // another meta-label model (loaded or retrained since) than a full backtest would use now.
  // Otherwise stepping is the cheaper way for any k windows a state can be behind (k <=
  // rows - w + 1): k steps cost k of the walk's per-bar passes, while a rerun walks all
  // rows - w windows and then books and scores both parts, downloads included. bench/live.py:
  // 100 hourly bars of 28 pairs step in about a millisecond, over a hundred times faster than
  // the rerun, and a stepped window costs a few microseconds beside a predict's fixed one.
  // A rerun walks again windows stepped or walked before, and the step after it the window
  // the last predict stepped: trades held from those are not stored again.
  // A live process that reruns at every bar would otherwise store the whole history's trades
  // once per predict.
  FlagSetFor once(f.skip_recorded_trades);
  if (best.changed || !walk_state_is_current(f, params) ||
      at_least_minutes(behind(), number_of_minutes_away_before_needing_to_rerun)) {
    if (f.holding_params_against_best && !best.changed) {
      final_run_with(self, study, f.optimal_params);
    } else {
      self.attr("get_full_backtest_results")();
    }
    if (best.changed) best.adopt_if_held(f);
    params = py::reinterpret_borrow<py::dict>(f.optimal_params);
  }
  const std::int64_t window = window_from_params(params["size_of_rolling_windows"]);
  // A rerun that left no state of these parameters (one overridden by a subclass, say): the
  // steps start from fresh state, which walks every window.
  if (!walk_state_is_current(f, params)) initialize_pair_state(f, window);

  // Step the windows the walk state has not seen: after new bars, and after any full run
  // (whose last window ends before the latest bar).
  if (f.walk_state_end < f.number_of_rows) {
    // Records opened or closed in the latest window belong to the latest bar.
    f.current_time = latest;
    py::object positions =
        step_positions(f, params, std::max(f.walk_state_end + 1, window), f.number_of_rows);
    // Legs are in hedge-ratio units: weights follow their market values at the latest closes,
    // as the backtest's sizing does.
    py::object weights = market_value_weights(positions, f.close_matrix_array[py::int_(f.number_of_rows - 1)]);
    f.current_time = latest;
    f.last_run_time = latest;
    f.latest_position_weights_array = np.attr("asarray")(weights, py::arg("dtype") = "float64");
  }

  py::object weights = f.latest_position_weights_array;
  py::object result = weights;
  if (convert_to_actual_positions) {
    if (f.scale_equity_to_traded_securities) {
      py::object nonzero = np.attr("not_equal")(weights, 0.0);
      const double ratio = py::float_(np.attr("count_nonzero")(nonzero)).cast<double>() /
                           static_cast<double>(py::len(weights));
      py::object closes = f.close_matrix_array[py::int_(f.number_of_rows - 1)];
      NumpyErrstate quiet;
      // A security with no weight holds no units, whatever its latest close.
      py::object units = weights * py::float_(current_equity) * py::float_(ratio) / closes;
      result = np.attr("where")(nonzero, units, 0.0);
    } else {
      result = weights * py::float_(current_equity);
    }
  }
  if (return_arrays) return result;
  py::dict by_security;
  py::list names = py::list(f.securities_names_list);
  for (std::size_t j = 0; j < names.size(); ++j) by_security[names[j]] = result[py::int_(j)];
  py::list columns;
  columns.append(f.current_time);
  return pd.attr("DataFrame").attr("from_dict")(by_security, py::arg("orient") = "index",
                                                py::arg("columns") = columns);
}

}  // namespace

void register_live(py::module_& m) {
  auto cls = py::reinterpret_borrow<py::class_<Factor>>(m.attr("PairsTradingSerialCointegrationFactor"));
  cls.def("predict", &predict, py::arg("return_arrays") = false, py::arg("convert_to_actual_positions") = false,
          py::arg("current_equity") = 100000.0, py::arg("number_of_minutes_away_before_needing_to_rerun") = 5,
          R"doc(
Produces the position weights(default) or positions from the latest available data

Portfolios should aim to hold these weights or positions to reflect the factor's model.
They are those of the study's current best trial and of the entry classifier's model file
as it is now: when another process has written a new best trial into the study, or a new
model file, since they were read, predict reruns the backtest with it and logs the change. A
model file gone away or refused by the classifier's checks, and a best trial whose window
the bars held cannot walk, leave what is held in use, with one logged line.

Args:
    return_arrays (bool): return a numpy array instead of a DataFrame.
    convert_to_actual_positions (bool): turn the weights into positions for current_equity.
    current_equity (float): the equity actually available, a positive finite number when
        converting.
    number_of_minutes_away_before_needing_to_rerun (int): rerun the whole backtest first when
        the latest bar is at least this many minutes past the last prediction; otherwise the
        windows since are stepped one by one. Both give the same weights.

Returns:
    pd.DataFrame or numpy.ndarray: one value per security, indexed by the security names
    (the DataFrame's column is the latest bar time).
)doc");
}

}  // namespace velmora::bind::cointpairs
