#include "factors/technical/search.hpp"

#include "common/studies.hpp"

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

}  // namespace

std::string StudyIdentity::file_name() const {
  const std::string universe = text_of(universe_name);
  studies::check_file_stem("universe_name", universe);
  studies::check_file_stem("objective", text_of(objective));
  return universe + "_" + std::to_string(resolution_in_mins) + "_" + text_of(objective) + "_0.9_" + factor_name +
         ".db";
}

std::string StudyIdentity::classifier_storage_name() const {
  const std::string name = file_name();
  return name.substr(0, name.size() - 3);
}

py::dict run_search(py::handle self, const StudyIdentity& id, long long n_trials, long long n_jobs) {
  const std::string url = id.storage_url();
  // A fresh study starts from the usual seeds; a continued one shifts them by the trials it
  // holds, so a second fit explores new start-up points instead of repeating the first.
  py::object study = studies::create_or_load(id.factor_name, url, py::int_(69));
  const py::ssize_t held = studies::trial_count(study);
  if (held > 0) study = studies::create_or_load(id.factor_name, url, py::int_(69 + held));

  if (studies::is_parallel(n_jobs)) {
    long long remaining = n_trials;
    if (held == 0) {
      log_info(banner("STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT"));
      log_info(banner("FITTING SINGLE FIT BEFORE MULTIPROCESSING"));
      self.attr(kSingleInstanceMethod)();
      remaining -= 1;
    }
    log_info(banner("BEGINNING MULTIPROCESSED IN-SAMPLE FACTOR OPTIMISATION"));
    py::module_ joblib = py::module_::import("joblib");
    py::object task = joblib.attr("delayed")(self.attr(kSingleInstanceMethod));
    py::list tasks;
    for (long long i = 0; i < remaining; ++i) tasks.append(task(py::int_(held + i)));
    NumpyErrstate quiet(/*all_errors=*/true);
    joblib.attr("Parallel")("n_jobs"_a = n_jobs)(tasks);
  } else {
    NumpyErrstate quiet(/*all_errors=*/true);
    study.attr("optimize")(self.attr(kRunMethod), "n_trials"_a = n_trials);
  }

  log_info(banner("IN-SAMPLE FACTOR OPTIMISATION COMPLETE"));
  // Trials of other processes are in the file, not in this handle's cache: reload.
  study = studies::load_existing(id.factor_name, id.file_name());
  py::object best = study.attr("best_trial");
  log_info("BEST TRIAL SO FAR: " + text_of(best.attr("number")) + " WITH SCORE: " +
           rounded(study.attr("best_value"), 3) + suffix(id) + "\n");
  return params_dict(best.attr("params"));
}

void fit_single_instance(py::handle self, const StudyIdentity& id, py::handle index) {
  py::object seed = py::int_(69) + py::reinterpret_borrow<py::object>(index);
  py::object study = studies::create_or_load(id.factor_name, id.storage_url(), seed);
  study.attr("optimize")(self.attr(kRunMethod), "n_trials"_a = 1);
}

py::dict load_best_params(const StudyIdentity& id) {
  py::object study = studies::load_existing(id.factor_name, id.file_name());
  return params_dict(study.attr("best_trial").attr("params"));
}

void erase_study_file(const StudyIdentity& id) {
  const std::string name = id.file_name();
  py::module_ os = py::module_::import("os");
  if (py::bool_(os.attr("path").attr("exists")(name))) {
    os.attr("remove")(name);
    log_info("FIT FILE: " + name + " SUCCESSFULLY REMOVED FROM MEMORY");
  } else {
    log_info("FIT FILE: " + name + " DOES NOT EXIT IN MEMORY, FILE MISPECIFIED OR PREVIOUSLY REMOVED");
  }
}

void fit_classifier(py::handle vodED_tradegate, py::handle training_pieces, py::handle datetime_array,
                    const StudyIdentity& id, long long n_trials_for_vodED, long long n_jobs_for_vodED) {
  py::sequence pieces = py::reinterpret_borrow<py::sequence>(training_pieces);
  if (py::len(pieces) != 5) {
    throw py::value_error("expected 5 training pieces, got " + std::to_string(py::len(pieces)));
  }
  py::module_ pd = py::module_::import("pandas");
  vodED_tradegate.attr("fit")(
      "X_train_df"_a = pieces[0], "y_train_series"_a = pieces[1], "n_splits"_a = 10, "n_test_splits"_a = 3,
      "embargo_td"_a = pd.attr("Timedelta")("1d"), "complete_datetime_index_series"_a = pd.attr("Series")(datetime_array),
      "train_time_of_entry_series"_a = pieces[2], "train_time_of_exit_series"_a = pieces[3],
      "impact_series"_a = pieces[4], "factor_name"_a = id.factor_name,
      "storage_name"_a = id.classifier_storage_name(), "n_trials_to_estimate_params"_a = n_trials_for_vodED,
      "n_jobs"_a = n_jobs_for_vodED);
}

}  // namespace velmora::bind::cointpairs
