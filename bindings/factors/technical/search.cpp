#include "factors/technical/search.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/interrupted_search.hpp"
#include "common/studies.hpp"
#include "factors/technical/factor_walk.hpp"
#include "factors/technical/register.hpp"
#include "factors/technical/trade_data.hpp"
#include "factors/technical/walk_params.hpp"
#include "velmora/core/accounting/accounting.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

constexpr const char* kRunMethod = "__run_pairs_trading_serial_cointegration_factor";
constexpr const char* kSingleInstanceMethod = "__fit_single_instance";

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

void log_info(const std::string& message) { shared_logger().attr("info")(message); }

std::string suffix(const StudyIdentity& id) {
  return " | PAIRS TRADING SERIAL COINTEGRATION FACTOR " + std::to_string(id.resolution_in_mins);
}

std::string rounded(py::handle value, int digits) {
  return text_of(py::module_::import("builtins").attr("round")(value, digits));
}

py::dict params_dict(py::handle params) {
  check_assigned_type(params, reinterpret_cast<PyObject*>(&PyDict_Type));
  return py::reinterpret_borrow<py::dict>(params);
}

// The window no search draws: any search draws one of at least 31 bars and at most half the
// bars of the factor it runs on, which may hold more bars than this one (a refit elsewhere on a
// longer history), so only the lower bound and the integer's kind say the study is damaged.
constexpr double kLongestDrawableWindow = 1e18;

// The longest window a run on `rows` bars can walk and score: one that leaves two bars or more
// to its training part and to its test part, when there is one (a part of one bar holds no
// return to score).
std::int64_t longest_tradable_window(std::int64_t rows, double ratio) {
  auto scorable = [&](std::int64_t w) {
    const std::int64_t split = velmora::core::pairs::split_row(w, rows, ratio);
    return split - w >= 2 && (rows - split >= 2 || rows == split);
  };
  std::int64_t w = rows - 1;
  while (w >= 31 && !scorable(w)) --w;
  return w;
}

// The best trial's parameters, refused unless some search could have drawn every one of them
// and the factor's bars can trade them.
py::dict checked_best_params(py::handle params, const StudyIdentity& id) {
  py::dict checked = params_dict(params);
  check_best_params(checked, id);
  const std::string untradable = untradable_window(checked, id);
  if (!untradable.empty()) {
    throw py::value_error("The best trial of the study in " + id.file_name() + " cannot be traded by this factor: " +
                          untradable);
  }
  return checked;
}

constexpr const char* kStudyRemedy = "erase it (erase_fit_memory) and run fit again, or correct that trial";

// The study's best trial. optuna's own best_trial fails with a bare ValueError when no
// trial has completed: every trial failed (as bankrupt ones do) or none has finished.
py::object best_completed_trial(py::handle study, const StudyIdentity& id) {
  py::tuple complete = py::make_tuple(studies::optuna().attr("trial").attr("TrialState").attr("COMPLETE"));
  if (py::len(study.attr("get_trials")("deepcopy"_a = false, "states"_a = complete)) == 0) {
    raise_plain("No trial of the study in " + id.file_name() +
                " has completed (a trial whose training run goes bankrupt or cannot be scored fails), so there "
                "are no best parameters yet: please run fit");
  }
  return study.attr("best_trial");
}

// A study the search cannot go on in is refused before a trial is added to it: its best
// trial as the search would end on it, and every trial's distributions.
void check_study_before_search(py::handle study, const StudyIdentity& id) {
  py::tuple complete = py::make_tuple(studies::optuna().attr("trial").attr("TrialState").attr("COMPLETE"));
  const auto space = search_space(id.number_of_rows);
  if (py::len(study.attr("get_trials")("deepcopy"_a = false, "states"_a = complete)) > 0) {
    py::object best = study.attr("best_trial");
    checked_best_params(best.attr("params"), id);
    studies::check_best_distributions(best, space, id.file_name(), kStudyRemedy);
  }
  studies::check_trials_distributions(study, space, id.file_name(), kStudyRemedy);
}

// optuna follows every trial answered with NaN by two warnings of its own ("Trial n failed
// with parameters: {...} because of the following error: The value nan is not acceptable."
// and "Trial n failed with value nan."). For a trial the run failed on purpose, whose own line
// already says why, they only repeat it (hundreds of times in a long search): while a search's
// optimize runs, a filter on the optuna loggers that write them drops those two for exactly
// those trials. The filter is taken off again however the search ends, Ctrl-C included;
// optuna's levels and handlers, and everything else it logs, are left as they are.
class OwnFailuresReportedOnce {
 public:
  OwnFailuresReportedOnce() : numbers_(std::make_shared<std::unordered_set<long long>>()) {
    py::module_ logging = py::module_::import("logging");
    py::dict existing = logging.attr("Logger").attr("manager").attr("loggerDict");
    py::object logger_type = logging.attr("Logger");
    std::shared_ptr<const std::unordered_set<long long>> numbers = numbers_;
    filter_ = py::cpp_function([numbers](py::handle record) { return !is_repeat(record, *numbers); });
    // Looked up, not made: a search must not add loggers to the caller's configuration.
    for (const char* name : {"optuna.study._optimize", "optuna.study._tell"}) {
      if (!existing.contains(name)) continue;
      py::object logger = existing[name];
      if (!py::isinstance(logger, logger_type)) continue;
      logger.attr("addFilter")(filter_);
      loggers_.push_back(logger);
    }
    active().push_back(numbers_);
  }
  OwnFailuresReportedOnce(const OwnFailuresReportedOnce&) = delete;
  OwnFailuresReportedOnce& operator=(const OwnFailuresReportedOnce&) = delete;

  ~OwnFailuresReportedOnce() {
    auto& guards = active();
    guards.erase(std::remove(guards.begin(), guards.end(), numbers_), guards.end());
    // Only a Ctrl-C can fail a removal; the filter then stays, dropping only the lines of
    // trials now over.
    for (const py::object& logger : loggers_) undo_in_destructor([&] { logger.attr("removeFilter")(filter_); });
  }

  // The run failed trial `number` on purpose and has said why.
  static void note(long long number) {
    if (!active().empty()) active().back()->insert(number);
  }

 private:
  static std::vector<std::shared_ptr<std::unordered_set<long long>>>& active() {
    static std::vector<std::shared_ptr<std::unordered_set<long long>>> guards;
    return guards;
  }

  // "Trial <n> failed with parameters: " or "Trial <n> failed with value " for a noted n.
  static bool is_repeat(py::handle record, const std::unordered_set<long long>& numbers) {
    std::string text;
    try {
      text = record.attr("getMessage")().cast<std::string>();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      return false;  // not one of optuna's own lines: left to the handlers
    } catch (const py::cast_error&) {
      return false;
    }
    constexpr std::string_view head = "Trial ";
    if (text.compare(0, head.size(), head) != 0) return false;
    std::size_t end = head.size();
    long long number = 0;
    while (end < text.size() && end < head.size() + 18 && text[end] >= '0' && text[end] <= '9') {
      number = number * 10 + (text[end] - '0');
      ++end;
    }
    if (end == head.size()) return false;
    const std::string_view rest = std::string_view(text).substr(end);
    constexpr std::string_view with_parameters = " failed with parameters: ";
    constexpr std::string_view with_value = " failed with value ";
    const bool repeat = rest.substr(0, with_parameters.size()) == with_parameters ||
                        rest.substr(0, with_value.size()) == with_value;
    return repeat && numbers.count(number) > 0;
  }

  std::shared_ptr<std::unordered_set<long long>> numbers_;
  py::object filter_;
  std::vector<py::object> loggers_;
};

}  // namespace

std::vector<studies::SearchParam> search_space(std::int64_t number_of_rows) {
  using Kind = studies::SearchParam::Kind;
  // The window's upper bound follows the rows the factor holds (update grows them).
  const double window_high = std::trunc(static_cast<double>(number_of_rows) * 0.5);
  auto real = [](const char* name) { return studies::SearchParam{name, Kind::real, 0.01, 10.0}; };
  return {
      {"size_of_rolling_windows", Kind::integer, 31, window_high, false, {}, /*high_follows_data=*/true},
      real("zscore_halflife_multiplier"),
      {"starting_sd_for_position_entry", Kind::integer, 1, 10},
      real("rolling_volatility_halflife_multiplier"),
      real("take_profit_std_multiplier"),
      real("take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry"),
      real("take_profit_current_volatility_multiplier_sensitivity_at_adjustment"),
      real("stop_loss_std_multiplier"),
      real("stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry"),
      real("stop_loss_current_volatility_multiplier_sensitivity_at_adjustment"),
      real("time_stop_halflife_multiplier"),
      real("time_stop_adjustment_sensitivity"),
  };
}

void check_best_params(py::handle params, const StudyIdentity& id) {
  std::vector<studies::SearchParam> space = search_space(id.number_of_rows);
  space[0].high = kLongestDrawableWindow;
  studies::check_best_params(params, space, id.file_name(),
                             "erase it (erase_fit_memory) and run fit again, or correct that trial");
}

std::string untradable_window(py::handle params, const StudyIdentity& id) {
  const std::int64_t window = window_from_params(py::reinterpret_borrow<py::object>(params)["size_of_rolling_windows"]);
  const std::int64_t longest = longest_tradable_window(id.number_of_rows, id.train_split_ratio);
  if (window <= longest) return "";
  return "its 'size_of_rolling_windows' is " + std::to_string(window) + ", and the " +
         std::to_string(id.number_of_rows) + " bars it holds walk windows of at most " + std::to_string(longest) +
         " bars (a window must leave two bars or more to each part of the backtest). The study is sound: it "
         "was searched on a longer history; build the factor on that history or update it with more bars";
}

std::string StudyIdentity::file_name() const {
  const std::string universe = text_of(universe_name);
  studies::check_file_stem("universe_name", universe);
  studies::check_file_stem("objective", text_of(objective));
  return universe + "_" + std::to_string(resolution_in_mins) + "_" + text_of(objective) + "_0.9_" + factor_name +
         ".db";
}

std::string StudyIdentity::storage_url() const { return studies::sqlite_url(file_name()); }

std::string StudyIdentity::classifier_storage_name() const {
  const std::string name = file_name();
  return name.substr(0, name.size() - 3);
}

StudyIdentity study_of(const Factor& f) {
  StudyIdentity id;
  id.number_of_rows = f.number_of_rows;
  id.train_split_ratio = f.train_split_ratio;
  id.universe_name = f.universe_name;
  id.resolution_in_mins = f.resolution_in_mins;
  id.objective = f.objective;
  id.factor_name = text_of(f.factor_name);
  return id;
}

// The trial attribute in which a search trial records whether its run closed a trade in its
// training part.
constexpr const char* kClosedTrainingTradeAttr = "closed_a_training_trade";

// A best run without a closed trade in its training part scores what an idle book scores:
// nothing to tell "no edge" from "no trades" by, and nothing for the entry classifier.
void warn_no_training_trade(const StudyIdentity& id, const std::string& run) {
  shared_logger().attr("warning")(
      run + " CLOSES NO TRADE IN ITS TRAINING PART: ITS SCORE SHOWS NO TRADING, NOT A LACK OF EDGE. MORE "
            "TRIALS, ANOTHER RESOLUTION OR ANOTHER UNIVERSE USUALLY HELP" + suffix(id));
}

py::dict run_search(py::handle self, const StudyIdentity& id, long long n_trials, long long n_jobs) {
  studies::StudyConnectionsScope closes;
  const std::string url = id.storage_url();
  py::object study = studies::create_or_load(id.factor_name, url, py::int_(69));
  check_study_before_search(study, id);
  // Trials left RUNNING by searches that ended are failed now, or when this one ends on an error.
  studies::SearchClaim claim(id.factor_name, url);
  // A fresh study starts from the usual seeds; a continued one shifts them by the trials it
  // holds, failed ones included (each took its seed), so a second fit explores new start-up
  // points instead of repeating the first.
  const py::ssize_t held = studies::trial_count(study);
  if (held > 0) study = studies::create_or_load(id.factor_name, url, py::int_(69 + held));

  if (studies::is_parallel(n_jobs)) {
    long long remaining = n_trials;
    long long first_task = held;
    if (held == 0) {
      log_info(banner("STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT"));
      log_info(banner("FITTING SINGLE FIT BEFORE MULTIPROCESSING"));
      self.attr(kSingleInstanceMethod)();
      remaining -= 1;
    } else if (remaining > 1) {
      // Queued trials are taken here, one after another: two workers starting together can
      // both take the first of them (a single task meets no other). They take the first task
      // indices, the tasks the rest: the seeds stay those of a search without queued trials.
      const long long queued = std::min<long long>(studies::waiting_count(study), remaining);
      for (long long j = 0; j < queued; ++j) self.attr(kSingleInstanceMethod)(py::int_(held + j));
      remaining -= queued;
      first_task += queued;
    }
    log_info(banner("BEGINNING MULTIPROCESSED IN-SAMPLE FACTOR OPTIMISATION"));
    py::module_ joblib = py::module_::import("joblib");
    // Workers may outlive a change of directory (joblib reuses them between calls), and the
    // study file is named relative to the working directory: each task carries this one.
    py::object cwd = py::module_::import("os").attr("getcwd")();
    py::object task = joblib.attr("delayed")(
        py::module_::import("velmora.factors.technical.cointpairs").attr("_fit_single_instance_in"));
    py::object factor = py::reinterpret_borrow<py::object>(self);
    py::list tasks;
    for (long long i = 0; i < remaining; ++i) tasks.append(task(factor, cwd, py::int_(first_task + i)));
    NumpyErrstate quiet(/*all_errors=*/true);
    joblib.attr("Parallel")("n_jobs"_a = n_jobs)(tasks);
  } else {
    NumpyErrstate quiet(/*all_errors=*/true);
    OwnFailuresReportedOnce once;
    study.attr("optimize")(self.attr(kRunMethod), "n_trials"_a = n_trials);
  }
  claim.release();

  log_info(banner("IN-SAMPLE FACTOR OPTIMISATION COMPLETE"));
  // Trials of other processes are in the file, not in this handle's cache: reload.
  study = studies::load_existing(id.factor_name, id.file_name());
  py::object best = best_completed_trial(study, id);
  log_info("BEST TRIAL SO FAR: " + text_of(best.attr("number")) + " WITH SCORE: " +
           rounded(best.attr("value"), 3) + suffix(id) + "\n");
  // Trials of studies from before the record was kept say nothing either way.
  py::object attrs = best.attr("user_attrs");
  if (attrs.contains(kClosedTrainingTradeAttr) && !truth(attrs[py::str(kClosedTrainingTradeAttr)])) {
    warn_no_training_trade(id, "BEST TRIAL " + text_of(best.attr("number")));
  }
  return checked_best_params(best.attr("params"), id);
}

void fit_single_instance(py::handle self, const StudyIdentity& id, py::handle index) {
  studies::StudyConnectionsScope closes;
  py::object seed = py::int_(69) + py::reinterpret_borrow<py::object>(index);
  const std::string url = id.storage_url();
  py::object study = studies::create_or_load(id.factor_name, url, seed);
  // Its trial stays its own while it runs, whatever becomes of the search that sent it.
  studies::SearchClaim claim(id.factor_name, url);
  {
    OwnFailuresReportedOnce once;
    study.attr("optimize")(self.attr(kRunMethod), "n_trials"_a = 1);
  }
  claim.release();
}

py::dict load_best_params(const StudyIdentity& id) {
  studies::StudyConnectionsScope closes;
  py::object study = studies::load_existing(id.factor_name, id.file_name());
  py::object best = best_completed_trial(study, id);
  py::dict params = checked_best_params(best.attr("params"), id);
  studies::check_best_distributions(best, search_space(id.number_of_rows), id.file_name(), kStudyRemedy);
  return params;
}

void erase_study_file(const StudyIdentity& id) {
  const std::string name = id.file_name();
  py::module_ os = py::module_::import("os");
  // The write-ahead log goes first: left beside a new study of the same name, it would be
  // read into it.
  for (const char* companion : {"-wal", "-shm"}) {
    const std::string path = name + companion;
    if (py::bool_(os.attr("path").attr("lexists")(path))) os.attr("remove")(path);
  }
  if (py::bool_(os.attr("path").attr("exists")(name))) {
    // The searches' lock goes with the study, unless a search holds it (or what lies under
    // its name is not a lock of this library's, which is left as it is).
    try {
      studies::remove_search_lock(id.factor_name, id.storage_url());
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
    os.attr("remove")(name);
    log_info("FIT FILE: " + name + " SUCCESSFULLY REMOVED FROM MEMORY");
  } else {
    log_info("FIT FILE: " + name + " DOES NOT EXIT IN MEMORY, FILE MISPECIFIED OR PREVIOUSLY REMOVED");
  }
}

// The classifier's cross-validation as the factor sets it, whatever its constructor was given.
constexpr int kClassifierGroups = 10;
constexpr int kClassifierTestGroups = 3;

// The classifier refuses too few trades in terms of its own n_splits, a setting the factor
// overrides: through the factor the remedy is more trades, so its refusal is told again in
// the factor's terms (the classifier's own stays attached as the cause). A classifier of the
// caller's own that accepts the trades is left to do so.
[[noreturn]] void refuse_too_few_trades_for_the_classifier(py::ssize_t trades, py::error_already_set& refusal) {
  const std::string groups = std::to_string(kClassifierGroups);
  py::object error = py::reinterpret_borrow<py::object>(PyExc_ValueError)(
      "Too few trades to search the entry classifier: the training part of the best run holds " +
      std::to_string(trades) + (trades == 1 ? " trade" : " trades") + ", fewer than the " + groups +
      " cross-validation groups that need at least one trade each. The factor fixes the classifier's "
      "cross-validation at " + groups + " groups (" + std::to_string(kClassifierTestGroups) +
      " of them test groups, one day of embargo), whatever n_splits the classifier was given: for more "
      "training trades give the factor more history, another resolution or a lower entry threshold "
      "(starting_sd_for_position_entry)");
  PyException_SetCause(error.ptr(), refusal.value().inc_ref().ptr());
  PyErr_SetObject(PyExc_ValueError, error.ptr());
  throw py::error_already_set();
}

void fit_classifier(py::handle vodED_tradegate, py::handle training_pieces, py::handle datetime_array,
                    const StudyIdentity& id, long long n_trials_for_vodED, long long n_jobs_for_vodED) {
  py::sequence pieces = py::reinterpret_borrow<py::sequence>(training_pieces);
  if (py::len(pieces) != 5) {
    throw py::value_error("expected 5 training pieces, got " + std::to_string(py::len(pieces)));
  }
  const py::ssize_t trades = py::len(pieces[0]);
  py::module_ pd = py::module_::import("pandas");
  // One day as a keyword: pandas deprecates the lower-case "d" unit text.
  try {
    vodED_tradegate.attr("fit")(
        "X_train_df"_a = pieces[0], "y_train_series"_a = pieces[1], "n_splits"_a = kClassifierGroups,
        "n_test_splits"_a = kClassifierTestGroups,
        "embargo_td"_a = pd.attr("Timedelta")("days"_a = 1), "complete_datetime_index_series"_a = pd.attr("Series")(datetime_array),
        "train_time_of_entry_series"_a = pieces[2], "train_time_of_exit_series"_a = pieces[3],
        "impact_series"_a = pieces[4], "factor_name"_a = id.factor_name,
        "storage_name"_a = id.classifier_storage_name(), "n_trials_to_estimate_params"_a = n_trials_for_vodED,
        "n_jobs"_a = n_jobs_for_vodED);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError) || trades >= kClassifierGroups) throw;
    refuse_too_few_trades_for_the_classifier(trades, e);
  }
}

// ---------------------------------------------------------------- the trial run

namespace {

constexpr const char* kModuleName = "velmora.factors.technical.cointpairs";

namespace acc = velmora::core::accounting;

// One scored part of a run: the twelve booked arrays and the Scorebook built from them.
struct BookedPart {
  py::dict arrays;
  py::object scorebook;
};

// One scored part of a run booked into money and handed to the module's Scorebook (looked
// up at call time, so it can be replaced there) with exactly its sixteen keywords.
BookedPart results_from_positions_matrix(const Factor& f, py::handle datetimes, py::handle positions,
                                         py::handle closes) {
  const auto T = static_cast<py::ssize_t>(py::len(datetimes));
  py::dict arrays = book_positions(positions, closes, f.proportional_spread_array, T, f.starting_equity,
                                   f.pct_equity_invested, f.market_value_pct_commissions,
                                   f.bid_ask_spread_pct_slippage, f.scale_equity_to_traded_securities);
  py::dict kwargs;
  kwargs["starting_equity"] = py::float_(f.starting_equity);
  kwargs["securities_names_list"] = f.securities_names_list;
  kwargs["datetime_length"] = py::int_(T);
  kwargs["datetime_array"] = datetimes;
  for (const char* key : {"positions_matrix_array", "positions_market_value_matrix_array",
                          "change_in_positions_matrix_array", "change_in_positions_market_value_matrix_array",
                          "securities_pnl_matrix_array", "commissions_matrix_array", "slippage_matrix_array",
                          "securities_pnl_after_transaction_costs_matrix_array",
                          "total_pnl_after_transaction_costs_array", "equity_value_array",
                          "returns_after_transaction_costs_array",
                          "cumprod_returns_after_transaction_costs_array"}) {
    kwargs[key] = arrays[key];
  }
  py::object scorebook = py::module_::import(kModuleName).attr("Scorebook");
  return {arrays, scorebook(**kwargs)};
}

acc::EquityFault equity_fault_of(const BookedPart& part) {
  py::array equity = require_float64(part.arrays["equity_value_array"], "equity_value_array", 1);
  const View1D v = view_1d(equity);
  return acc::first_equity_fault(v.data, v.size, v.stride);
}

std::string bar_time(py::handle datetimes, std::ptrdiff_t bar) {
  return text_of(py::module_::import("pandas").attr("Timestamp")(datetimes[py::int_(bar)]));
}

// A record's objective score, or the error that kept it from being computed. The record's
// get_objective_score answers an error with 0.0, which would rank an unscorable trial
// above every losing one: a native record is asked through its raising twin instead. A
// record whose class overrides get_objective_score is asked through the override.
py::object objective_score_or_raise(py::handle record, py::handle objective) {
  py::object native = py::module_::import("velmora.utils.results.scorebook").attr("Scorebook");
  py::handle cls = py::type::handle_of(record);
  const int derived = PyObject_IsSubclass(cls.ptr(), native.ptr());
  if (derived < 0) throw py::error_already_set();
  const char* method = "get_objective_score";
  if (derived == 1 && cls.attr(method).is(native.attr(method))) method = "__get_objective_score_or_raise";
  return record.attr(method)("objective"_a = objective);
}

// The twelve strategy parameters of one trial, drawn in the space's order.
py::dict trial_params(const Factor& f, py::handle trial) {
  py::object suggest_int = trial.attr("suggest_int");
  py::object suggest_float = trial.attr("suggest_float");
  py::dict params;
  for (const studies::SearchParam& p : search_space(f.number_of_rows)) {
    if (p.kind == studies::SearchParam::Kind::integer) {
      params[p.name] = suggest_int("name"_a = p.name, "low"_a = static_cast<std::int64_t>(p.low),
                                   "high"_a = static_cast<std::int64_t>(p.high), "log"_a = p.log);
    } else {
      params[p.name] = suggest_float("name"_a = p.name, "low"_a = p.low, "high"_a = p.high, "log"_a = p.log);
    }
  }
  return params;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string run_suffix(const Factor& f) {
  return " | PAIRS TRADING SERIAL COINTEGRATION FACTOR " + std::to_string(f.resolution_in_mins);
}

// A trial that must never be the best one: logged with the reason, and answered with NaN,
// which optuna records as a failed trial before it goes on with the search. An error is
// logged with its traceback.
py::object failed_trial(const Factor& f, py::handle trial, const std::string& reason,
                        const py::error_already_set* error = nullptr) {
  py::object number = trial.attr("number");
  const std::string message = "FAILED TRIAL NUM " + text_of(number) + ": " + reason + run_suffix(f) + "\n";
  py::object warning = shared_logger().attr("warning");
  if (error == nullptr) {
    warning(message);
  } else {
    auto or_none = [](const py::object& o) { return o ? o : py::none(); };
    warning(message, "exc_info"_a = py::make_tuple(or_none(error->type()), or_none(error->value()),
                                                   or_none(error->trace())));
  }
  if (PyLong_Check(number.ptr())) OwnFailuresReportedOnce::note(number.cast<long long>());
  return py::float_(std::numeric_limits<double>::quiet_NaN());
}

// The training part's score of a trial, or NaN (a failed trial) when the part went bankrupt,
// its equity stopped being a number, or its objective cannot be computed.
py::object score_trial(const Factor& f, py::handle trial, py::handle train_datetimes, const BookedPart& train) {
  const acc::EquityFault fault = equity_fault_of(train);
  if (fault.kind == acc::EquityFault::Kind::bankrupt) {
    return failed_trial(f, trial, "BANKRUPT, TRAINING EQUITY REACHED 0 AT " + bar_time(train_datetimes, fault.bar));
  }
  if (fault.kind == acc::EquityFault::Kind::not_finite) {
    return failed_trial(f, trial, "TRAINING EQUITY IS NOT A NUMBER FROM " + bar_time(train_datetimes, fault.bar));
  }
  py::object score;
  try {
    score = objective_score_or_raise(train.scorebook, f.objective);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // Ctrl-C stops the search
    return failed_trial(f, trial, "OBJECTIVE SCORE COULD NOT BE COMPUTED (" + type_name(e.value()) + ": " +
                                      text_of(e.value()) + ")", &e);
  }
  const double value = PyFloat_AsDouble(score.ptr());
  if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (std::isnan(value)) return failed_trial(f, trial, "OBJECTIVE SCORE IS NOT A NUMBER");
  log_info("FINISHED TRIAL NUM " + text_of(trial.attr("number")) + " WITH OBJECTIVE SCORE: " + rounded(score, 3) +
           run_suffix(f) + "\n");
  return score;
}

// A final run reports a part whose equity stopped being a number (bars appended by update
// are not cleaned): its Scorebook's daily series would otherwise read those bars as flat.
void warn_if_equity_not_finite(const Factor& f, const char* part, py::handle datetimes, const BookedPart& booked) {
  const acc::EquityFault fault = equity_fault_of(booked);
  if (fault.kind != acc::EquityFault::Kind::not_finite) return;
  shared_logger().attr("warning")(std::string("IN-SAMPLE ") + part + " RUN EQUITY IS NOT A NUMBER FROM " +
                                  bar_time(datetimes, fault.bar) + run_suffix(f));
}

// Whether the latest walk closed a booked trade in its training part (at or before the split
// time, as the training trades are split off), whether or not trade_store took it again. Its
// trades close in bar order, so its first has the earliest exit.
bool closed_a_training_trade(const Factor& f, py::handle split_time) {
  if (f.walk_first_close_end < 0) return false;
  py::object exit = f.datetime_array[py::int_(f.walk_first_close_end)];
  py::module_ pd = py::module_::import("pandas");
  const int closed_in_training =
      PyObject_RichCompareBool(pd.attr("Timestamp")(exit).ptr(), pd.attr("Timestamp")(split_time).ptr(), Py_LE);
  if (closed_in_training < 0) throw py::error_already_set();
  return closed_in_training == 1;
}

// A final run's records know which search chose their parameters, for the plot's title. A
// record of a class that keeps no such description is left as it is.
void describe_run(const Factor& f, py::handle record) {
  if (!py::hasattr(py::type::handle_of(record), "_run_description")) return;
  record.attr("_run_description") = py::make_tuple(f.objective, f.universe_name);
}

py::object run_pairs_trading_serial_cointegration_factor(py::object self, py::object trial, py::object is_optimising,
                                                         py::object optimal_params, py::object use_vodED_if_ready) {
  Factor& f = factor_of(self);
  const bool optimising = truth(is_optimising);
  py::object params;
  if (optimising) {
    // The trial's number within its study (optuna's storage-wide id can run ahead of it).
    log_info("RUNNING TRIAL NUM " + text_of(trial.attr("number")) +
             " TO OPTIMISE PARAMETERS IN-SAMPLE" + run_suffix(f));
    params = trial_params(f, trial);
    // The veto never applies during a search; features are still recorded when requested.
    f.vodED_ready = py::bool_(false);
    // optuna hands a trial queued with values outside the space (enqueue_trial) those values.
    const std::string fault = studies::params_fault(params, search_space(f.number_of_rows));
    if (!fault.empty()) return failed_trial(f, trial, "QUEUED " + upper(fault) + ", WHICH THE SEARCH NEVER DRAWS");
  } else {
    log_info("RUNNING AN IN-SAMPLE RUN WITH OPTIMAL PARAMS" + run_suffix(f));
    check_assigned_type(optimal_params, reinterpret_cast<PyObject*>(&PyDict_Type));
    params = optimal_params;
    f.vodED_ready = truth(use_vodED_if_ready) ? check_if_vodED_optimal_entry_exists_and_load(f) : py::bool_(false);
  }
  if (params.is_none()) raise_type_error("'NoneType' object is not subscriptable");
  py::dict p = py::reinterpret_borrow<py::dict>(params);

  const std::int64_t window = window_from_params(p["size_of_rolling_windows"]);
  walk_positions(f, p);
  py::tuple parts = train_test_split(f, f.train_split_ratio, f.number_of_rows, window);
  py::object train_dt = parts[0], train_pos = parts[1], train_close = parts[2];
  py::object test_dt = parts[3], test_pos = parts[4], test_close = parts[5];
  if (py::len(train_dt) == 0) {
    raise_plain("The training part of the backtest is empty: train_split_ratio x (number_of_rows - "
                "size_of_rolling_windows) = " + std::to_string(f.train_split_ratio) + " x (" +
                std::to_string(f.number_of_rows) + " - " + std::to_string(window) +
                ") is below one bar, please raise train_split_ratio or use more data");
  }
  const py::ssize_t n_train = static_cast<py::ssize_t>(py::len(train_dt));
  py::object split_time = train_dt[py::int_(n_train - 1)];
  py::object objective = f.objective;
  const bool closed_in_training = closed_a_training_trade(f, split_time);

  if (optimising) {
    if (py::hasattr(trial, "set_user_attr")) {
      trial.attr("set_user_attr")(kClosedTrainingTradeAttr, py::bool_(closed_in_training));
    }
    // A trial never reads the split of the recorded trades, which grows with every run of
    // this object: skipping it keeps a long search linear.
    const BookedPart train = results_from_positions_matrix(f, train_dt, train_pos, train_close);
    return score_trial(f, trial, train_dt, train);
  }

  py::tuple trades = split_trades_at(split_time, f.trade_store);
  f.train_trades_store_df = trades[0];
  f.test_trades_store_df = trades[1];
  f.final_run_closed_training_trade = closed_in_training ? 1 : 0;

  const BookedPart booked_train = results_from_positions_matrix(f, train_dt, train_pos, train_close);
  warn_if_equity_not_finite(f, "TRAIN", train_dt, booked_train);
  py::object train = booked_train.scorebook;
  // With train_split_ratio 1.0 there is no test part: the training record comes back alone.
  const bool has_test = py::len(test_dt) > 0;
  py::object test = py::none();
  if (has_test) {
    const BookedPart booked_test = results_from_positions_matrix(f, test_dt, test_pos, test_close);
    warn_if_equity_not_finite(f, "TEST", test_dt, booked_test);
    test = booked_test.scorebook;
  }
  py::object train_score = train.attr("get_objective_score")("objective"_a = objective);
  if (has_test) {
    py::object test_score = test.attr("get_objective_score")("objective"_a = objective);
    log_info("FINISHED IN-SAMPLE TRAIN RUN WITH OBJECTIVE SCORE: " + rounded(train_score, 3) + run_suffix(f));
    log_info("FINISHED IN-SAMPLE TEST RUN WITH OBJECTIVE SCORE: " + rounded(test_score, 3) + run_suffix(f) + "\n");
  } else {
    log_info("FINISHED IN-SAMPLE TRAIN RUN WITH OBJECTIVE SCORE: " + rounded(train_score, 3) + run_suffix(f) + "\n");
  }
  describe_run(f, train);
  if (has_test) describe_run(f, test);
  train.attr("expose_internal_variables")();
  if (has_test) train.attr("register_test_set_results")("test_set_results"_a = test);
  return train;
}

void fit(py::object self, std::int64_t n_trials_to_estimate_params, std::int64_t n_jobs, bool fit_vodED,
         std::int64_t n_trials_to_estimate_params_for_vodED, std::int64_t n_jobs_for_vodED) {
  if (n_trials_to_estimate_params <= 0) {
    raise_plain("n_trials_to_estimate_params cannot be less than 0, please ensure n_trials_to_estimate_params > 0");
  }
  Factor& f = factor_of(self);
  const StudyIdentity id = study_of(f);
  id.file_name();  // refuses an unusable universe name before anything changes
  f.vodED_features_requested = fit_vodED;
  {
    InterruptedSearchNote note("SEARCH INTERRUPTED: THE TRIALS IT WAS RUNNING ARE MARKED FAILED AND EVERY FINISHED "
                               "ONE STAYS IN " + id.file_name() + ", SO RUNNING fit AGAIN CONTINUES THE STUDY" +
                               suffix(id));
    note.run([&] { f.optimal_params = run_search(self, id, n_trials_to_estimate_params, n_jobs); });
  }
  f.forget_optimal_params_trial();
  if (!f.vodED_features_requested) return;

  // The best parameters once more, without veto and with every entry's features recorded:
  // the trades of this run (and of this process's trials) up to the split train the classifier.
  self.attr(kRunMethod)(py::none(), "is_optimising"_a = false, "optimal_params"_a = f.optimal_params,
                        "use_vodED_if_ready"_a = false);
  if (f.train_trades_store_df.is_none() || py::len(f.train_trades_store_df) == 0) {
    raise_plain("No trade closed in the training part of the best run, so the entry classifier has nothing to "
                "learn from");
  }
  py::tuple pieces = preprocess_train_trades(f.train_trades_store_df, "trade_returns");
  note_classifier_retraining(f);
  fit_classifier(f.vodED_tradegate, pieces, f.datetime_array, id, n_trials_to_estimate_params_for_vodED,
                 n_jobs_for_vodED);
}

py::object get_full_backtest_results(py::object self) {
  Factor& f = factor_of(self);
  const StudyIdentity id = study_of(f);
  py::dict params = load_best_params(id);
  if (f.optimal_params.is_none() || !f.optimal_params.equal(params)) f.forget_optimal_params_trial();
  f.optimal_params = params;
  return final_run_with(self, id, f.optimal_params);
}

}  // namespace

py::object final_run_with(py::handle self, const StudyIdentity& id, py::handle params) {
  Factor& f = factor_of(self);
  f.final_run_closed_training_trade = -1;
  py::object results = self.attr(kRunMethod)(py::none(), "is_optimising"_a = false, "optimal_params"_a = params);
  if (f.final_run_closed_training_trade == 0) warn_no_training_trade(id, "THE BEST RUN");
  return results;
}

void register_search(py::module_& m) {
  auto cls = py::reinterpret_borrow<py::class_<Factor>>(m.attr("PairsTradingSerialCointegrationFactor"));

  cls.def(kRunMethod, &run_pairs_trading_serial_cointegration_factor, "trial"_a, "is_optimising"_a = true,
          "optimal_params"_a = py::none(), "use_vodED_if_ready"_a = true, R"doc(
Runs the strategy once over the factor's data: the rolling walk, the train/test split and
the accounting of each part.

Args:
    trial (optuna.trial.Trial): the trial the parameters are drawn from (None in a final run).
    is_optimising (bool): a search trial (score of the training part) or a final run.
    optimal_params (dict): the parameters of a final run.
    use_vodED_if_ready (bool): in a final run, let a saved entry classifier veto entries.

Returns:
    float or Scorebook: the training part's objective score in a trial (NaN, which optuna
    records as a failed trial, when the training run goes bankrupt, its equity is not a
    number or its objective cannot be computed); in a final run the training Scorebook with
    the test Scorebook registered in it.
)doc");
  cls.def(
      "fit",
      [](py::object self, std::int64_t n_trials_to_estimate_params, std::int64_t n_jobs, bool fit_vodED,
         std::int64_t n_trials_to_estimate_params_for_vodED, std::int64_t n_jobs_for_vodED) {
        fit(std::move(self), n_trials_to_estimate_params, n_jobs, fit_vodED, n_trials_to_estimate_params_for_vodED,
            n_jobs_for_vodED);
      },
      "n_trials_to_estimate_params"_a = 1, "n_jobs"_a = 1, "fit_vodED"_a = false,
      "n_trials_to_estimate_params_for_vodED"_a = 1, "n_jobs_for_vodED"_a = 1, R"doc(
Searches the twelve strategy parameters in the factor's optuna study (a SQLite file in the
working directory, continued when it exists) and keeps the best trial's parameters.

Args:
    n_trials_to_estimate_params (int): trials to run now, > 0.
    n_jobs (int): joblib worker processes; parallel when > 1 or -1.
    fit_vodED (bool): also train the entry classifier on the best run's trades.
    n_trials_to_estimate_params_for_vodED (int): the classifier's search trials.
    n_jobs_for_vodED (int): the classifier's worker processes.

Returns:
    None
)doc");
  cls.def(
      kSingleInstanceMethod,
      [](py::object self, py::object index) { fit_single_instance(self, study_of(factor_of(self)), index); },
      "index"_a = 0, R"doc(
One task of a parallel search: one trial on the shared study, with a sampler seeded 69 + index.

Args:
    index (int): the task's index.

Returns:
    None
)doc");
  m.def(
      "_fit_single_instance_in",
      [](py::object factor, py::object working_directory, py::object index) {
        py::module_ os = py::module_::import("os");
        if (!os.attr("getcwd")().equal(working_directory)) os.attr("chdir")(working_directory);
        factor.attr(kSingleInstanceMethod)(index);
      },
      "factor"_a, "working_directory"_a, "index"_a,
      "One task of a parallel search in a worker process: the factor's __fit_single_instance(index), run "
      "from the calling process's working directory.");
  m.def(
      "_claim_search_lock",
      [](const std::string& study_name, const std::string& url, double wait_seconds) {
        studies::SearchClaim claim(study_name, url, wait_seconds);
        py::object path = claim.lock_path();
        claim.release();
        return path;
      },
      "study_name"_a, "url"_a, "wait_seconds"_a = studies::SearchClaim::kDefaultWaitSeconds,
      "Takes and gives back a search's claim on a study, as a search does at its start and end: the "
      "lock file's path (None where the platform has no file locks).");
  cls.def("get_full_backtest_results", &get_full_backtest_results, R"doc(
Reruns the best parameters of the stored study once. A study in which no trial has
completed has no best parameters: that raises an exception saying so.

Returns:
    Scorebook: the training part's record with the test part's registered in it.
)doc");
  cls.def(
      "erase_fit_memory", [](py::object self) { erase_study_file(study_of(factor_of(self))); }, R"doc(
Deletes the factor's study file from the working directory.

Returns:
    None
)doc");
}

}  // namespace velmora::bind::cointpairs
