// velmora.vodED.tradegate: the optimal-entry classifier. It searches the meta-label
// pipeline with optuna under purged combinatorial cross-validation, fits the best pipeline
// on all training trades, saves it as a pickle, loads it back and vetoes entries.
//
// The heavy lifting is scikit-learn's: every fitted stage is a real scikit-learn object,
// because the pickle of those objects is the model file format.

#include "common/common.hpp"
#include "common/interrupted_search.hpp"
#include "common/model_files.hpp"
#include "common/studies.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tradegate_model_file.hpp"
#include "tradegate_pipeline.hpp"
#include "velmora/core/tradegate/folds.hpp"
#include "velmora/core/tradegate/solver_output.hpp"

namespace py = pybind11;
namespace vb = velmora::bind;
namespace tg = velmora::tradegate;
namespace core = velmora::core;

namespace {

using vb::model_files::kStudySuffix;
constexpr const char* kLogTag = " | OPTIMAL ENTRY CLASSIFIER VODED";
constexpr int kBaseSeed = 69;

// Fields in constructor order (0 to 10), then the six fitted stages of the model file.
enum Field : std::size_t {
  kStudyName,
  kStorageName,
  kNSplits,
  kNTestSplits,
  kEmbargoTd,
  kXTrainDf,
  kYTrainSeries,
  kCompleteDatetimeIndexSeries,
  kTrainTimeOfEntrySeries,
  kTrainTimeOfExitSeries,
  kImpactSeries,
  kImputer,
  kNoVarianceCols,
  kFeaturesToDrop,
  kScaler,
  kSelectTopKFeatures,
  kClassifierModel,
  kFieldCount
};
constexpr std::size_t kConstructorFieldCount = kImpactSeries + 1;

struct OptimalEntryClassifier {
  std::array<py::object, kFieldCount> fields;
  OptimalEntryClassifier() {
    for (auto& field : fields) field = py::none();
  }
  py::object& operator[](Field f) { return fields[f]; }

  template <class F>
  void for_each_object(F&& f) {
    for (auto& field : fields) f(field);
  }
};

OptimalEntryClassifier& state_of(py::handle self) { return self.cast<OptimalEntryClassifier&>(); }

py::object logger() { return vb::shared_logger(); }

void log_info(const std::string& text) { logger().attr("info")(text); }

std::string text_of(py::handle obj) { return py::str(obj).cast<std::string>(); }

// round(x, 3) printed the host's way: 0.5 -> "0.5", NaN -> "nan".
std::string rounded3(py::handle value) {
  py::module_ builtins = py::module_::import("builtins");
  return text_of(builtins.attr("round")(builtins.attr("float")(value), 3));
}

// name + suffix with the host's concatenation (None or a number raise TypeError), and the
// result refused when it could leave the working directory or the models folder: the names
// are spliced into a file path and a database URL. A name that goes into the URL also may
// not hold the URL's query or fragment marks (which would name another file) or NUL (which
// SQLite takes as the end of the file name).
py::object checked_name(py::handle name, const char* argument, bool in_url) {
  py::object joined = py::reinterpret_borrow<py::object>(name) + py::str(kStudySuffix);
  const std::string text = text_of(name);
  const std::string refused = in_url ? std::string("/\\?#\0", 5) : std::string("/\\\0", 3);
  if (text.find_first_of(refused) != std::string::npos || text.find("..") != std::string::npos) {
    throw py::value_error(std::string(argument) + " must not contain " +
                          (in_url ? "'?', '#', " : "") + "a path separator, NUL or '..', got " +
                          py::repr(name).cast<std::string>());
  }
  return joined;
}

py::object model_path(py::handle study_name) {
  return py::str(vb::model_files::model_file_of_study(text_of(study_name)));
}

// ---------------------------------------------------------------- optuna

// The study every search step opens; optuna's "experimental" notices for the sampler's
// settings are left unsaid (the settings are deliberate).
py::object open_study(py::handle study_name, py::handle storage_url, py::handle seed) {
  py::module_ warnings = py::module_::import("warnings");
  vb::ScopedContext quiet(warnings.attr("catch_warnings")());
  warnings.attr("simplefilter")(
      "ignore", py::module_::import("optuna.exceptions").attr("ExperimentalWarning"));
  return vb::studies::create_or_load(text_of(study_name), text_of(storage_url), seed);
}

// The class this module binds under that name at import, looked up at every use, so it can
// be replaced there.
py::object sample_weights_class() {
  return py::module_::import("velmora.vodED.tradegate").attr("SampleWeights");
}

py::object rows_at(py::handle obj, py::handle positions) { return obj.attr("iloc")[positions]; }

bool is_host_exception(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// numpy's global generator, seeded for the lifetime of the object when a seed is given, and
// put back as the caller had it on every exit, errors and Ctrl-C included. The pipeline's
// stochastic stages draw from it (their own settings stay the library's defaults, as model
// files hold them), so a fit depends on the seed alone, not on the process, the worker or
// whatever the caller drew before.
class GlobalRandomState {
 public:
  explicit GlobalRandomState(std::optional<std::uint32_t> seed = std::nullopt)
      : random_(vb::numpy().attr("random")), saved_(random_.attr("get_state")()) {
    if (seed) random_.attr("seed")(*seed);
  }
  GlobalRandomState(const GlobalRandomState&) = delete;
  GlobalRandomState& operator=(const GlobalRandomState&) = delete;
  ~GlobalRandomState() {
    py::error_scope keep_pending_error;
    try {
      random_.attr("set_state")(saved_);
    } catch (py::error_already_set&) {
    }
  }

 private:
  py::object random_;
  py::object saved_;
};

// ---------------------------------------------------------------- construction, pickling

py::none restore_mp_variables(py::object self, const py::tuple& values) {
  auto& s = state_of(self);
  for (std::size_t i = 0; i < kConstructorFieldCount; ++i) {
    if (!values[i].is_none()) s.fields[i] = values[i];
  }
  return py::none();
}

py::tuple reduce(py::object self) {
  auto& s = state_of(self);
  py::object rebuild = py::module_::import("velmora.utils.pickling.rebuilds")
                           .attr("rebuild_optimal_entry_classifier");
  py::tuple values(kConstructorFieldCount);
  for (std::size_t i = 0; i < kConstructorFieldCount; ++i) values[i] = s.fields[i];
  return py::make_tuple(rebuild, values);
}

// ---------------------------------------------------------------- solver output

// One capture of fd 2 at a time in the process (it is the process's, not the thread's). It is
// waited for without the GIL, which the thread holding it may need to finish its fit; the
// same thread may nest captures, the inner one then writing back into the outer.
std::recursive_mutex& capture_mutex() {
  // Never freed: a process may end while a fit holds it.
  static std::recursive_mutex* mutex = new std::recursive_mutex();
  return *mutex;
}

void flush_host_stderr() {
  py::object err = py::module_::import("sys").attr("stderr");
  if (err.is_none()) return;
  try {
    err.attr("flush")();
  } catch (py::error_already_set& e) {
    if (!is_host_exception(e)) throw;
  }
}

// Runs `fit` with what compiled solvers print to the process's stderr caught: their own warning
// lines are added to `into`, anything else is written back to stderr once the fit is over. Only
// the fit is covered, so nothing the caller prints at any other time is held back.
template <class Fit>
void with_solver_output_captured(core::SolverWarnings& into, Fit&& fit) {
  std::unique_lock<std::recursive_mutex> lock(capture_mutex(), std::defer_lock);
  {
    py::gil_scoped_release unlocked;
    lock.lock();
  }
  flush_host_stderr();  // text of before the fit goes out before the capture starts
  struct Captured {
    core::SolverWarnings& into;
    core::StderrCapture capture;
    ~Captured() { into.add_all(capture.finish()); }
  } captured{into, {}};
  fit();
  flush_host_stderr();  // host text written during the fit is handed back with the rest
}

// "<text> (<count> TIMES)" for each distinct text, joined by "; ".
std::string listing_of(const core::SolverWarnings& warnings) {
  std::string text;
  for (const auto& [line, count] : warnings.counts()) {
    if (!text.empty()) text += "; ";
    text += line + " (" + std::to_string(count) + (count == 1 ? " TIME)" : " TIMES)");
  }
  return text;
}

// ---------------------------------------------------------------- final fit and model file

// Writes next to the target and renames over it: a crash or a failing dump never leaves a
// truncated model behind (which would break every later factor construction), and the old
// model stays until the new one is complete.
void write_model_atomically(py::handle path, py::handle model) {
  py::module_ os = py::module_::import("os");
  py::module_ builtins = py::module_::import("builtins");
  py::object folder = os.attr("path").attr("dirname")(path);
  os.attr("makedirs")(folder, py::arg("exist_ok") = true);
  py::object base = os.attr("path").attr("basename")(path);
  py::object token = py::module_::import("secrets").attr("token_hex")(8);
  py::object temporary = os.attr("path").attr("join")(
      folder, py::str("." + text_of(base) + "." + text_of(token) + ".tmp"));
  auto remove_temporary = [&]() {
    try {
      os.attr("unlink")(temporary);
    } catch (py::error_already_set& e) {
      if (!is_host_exception(e)) throw;
    }
  };
  py::object file = builtins.attr("open")(temporary, "xb");
  try {
    try {
      py::module_::import("pickle").attr("dump")(model, file);
      file.attr("flush")();
      os.attr("fsync")(file.attr("fileno")());
    } catch (py::error_already_set&) {
      file.attr("close")();
      throw;
    }
    file.attr("close")();
    os.attr("replace")(temporary, path);
  } catch (py::error_already_set&) {
    remove_temporary();
    throw;
  }
}

void fit_optimal_params_and_pickle_vodED(OptimalEntryClassifier& s, py::handle X_train_df,
                                         py::handle y_train_series,
                                         py::handle complete_datetime_index_series,
                                         py::handle train_time_of_entry_series,
                                         py::handle train_time_of_exit_series,
                                         py::handle impact_series) {
  log_info(vb::banner("BEGINNING FITTING TO TRAINING SET VODED"));
  py::object study = open_study(s[kStudyName], s[kStorageName], py::int_(kBaseSeed));
  py::object params = study.attr("best_trial").attr("params");
  // As found: 3e6 bagged members ran the fit past 90 s; 1e7 boosted ones wrote 160 MB.
  vb::studies::check_best_params(params, tg::search_space(), vb::studies::file_of_url(text_of(s[kStorageName])),
                                 "delete that study file and fit the classifier again, or correct that trial");
  const tg::PipelineParams p = tg::read_params(params);
  // The best trial's own seed: the model is the same whichever process fits it.
  GlobalRandomState seeded(tg::pipeline_seed(p, kBaseSeed));

  py::object weigher = sample_weights_class()();
  const tg::PipelineStages stages = tg::make_stages(p, /*with_imputer=*/true);
  tg::FittedPipeline fitted;
  py::object selected = tg::fit_feature_steps(X_train_df, y_train_series, stages, fitted);
  py::object weights = weigher.attr("fit_transform")(
      tg::plain_values(complete_datetime_index_series), tg::plain_values(train_time_of_entry_series),
      tg::plain_values(train_time_of_exit_series), tg::plain_values(impact_series));
  py::object labels = tg::flat_values(y_train_series);
  core::SolverWarnings solver_warnings;
  with_solver_output_captured(solver_warnings, [&] {
    stages.classifier.attr("fit")(selected, labels, py::arg("sample_weight") = weights);
  });
  if (solver_warnings.total() > 0) {
    logger().attr("warning")("THE FIT TO THE TRAINING SET PRINTED SOLVER WARNINGS: " +
                             listing_of(solver_warnings) + kLogTag);
  }
  fitted.classifier_model = stages.classifier;

  py::dict model;
  model["imputer"] = fitted.imputer;
  model["no_variance_cols"] = fitted.no_variance_cols;
  model["features_to_drop_from_multicollinearity"] = fitted.features_to_drop_from_multicollinearity;
  model["scaler"] = fitted.scaler;
  model["select_top_k_features"] = fitted.select_top_k_features;
  model["classifier_model"] = fitted.classifier_model;
  write_model_atomically(model_path(s[kStudyName]), model);

  // In-sample accuracy of the refitted model (not the cross-validated F1 of the search).
  py::object score = fitted.classifier_model.attr("score")(selected, labels);
  log_info("FINISHED FITTING VODED TO TRAINING SET WITH OBJECTIVE SCORE: " + rounded3(score) +
           kLogTag + "\n");
}

// ---------------------------------------------------------------- search

// The purged folds cut the trades into n_splits groups, each of at least one trade: with
// fewer trades every trial would fail inside the splitter on an empty group and the search
// end without a completed trial, in words that hide the cause. Checked before the study is
// opened, so a refused call leaves no study file and no trial behind. A group count that
// is not an integer is left to the splitter, which refuses it in its own words.
void check_enough_trades_for_the_folds(py::handle X_train_df, py::handle n_splits) {
  if (!py::isinstance(n_splits, py::module_::import("numbers").attr("Integral"))) return;
  if (!py::hasattr(X_train_df, "__len__")) return;
  const py::int_ trades(py::len(X_train_df));
  const py::int_ groups(py::reinterpret_borrow<py::object>(n_splits));
  if (!(trades < groups)) return;
  throw py::value_error("Too few trades to search the entry classifier: the training set holds " +
                        text_of(trades) + (trades.equal(py::int_(1)) ? " trade" : " trades") +
                        ", fewer than the " + text_of(groups) +
                        " cross-validation groups (n_splits) that need at least one trade each");
}

// The model's classes are the labels it is fitted on, and a model file is loaded only with the
// labels 0 and 1, of an integer or boolean kind, both present (the factor takes an entry where
// 1 comes out): other labels are refused before the study is opened, so that no search runs
// and no model is written that the loader would refuse.
void check_labels(py::handle y_train_series) {
  if (!py::hasattr(y_train_series, "values")) return;  // left to the pipeline, in its own words
  py::module_ np = vb::numpy();
  py::array labels = np.attr("asarray")(tg::flat_values(y_train_series));
  const char kind = labels.dtype().kind();
  py::list held = np.attr("unique")(labels).attr("tolist")();
  const bool both = std::string_view("biu").find(kind) != std::string_view::npos && py::len(held) == 2 &&
                    py::int_(held[0]).equal(py::int_(0)) && py::int_(held[1]).equal(py::int_(1));
  if (both) return;
  std::string shown;
  for (std::size_t i = 0; i < std::min<std::size_t>(py::len(held), 5); ++i) {
    shown += (i ? ", " : "") + text_of(py::repr(held[i]));
  }
  if (py::len(held) > 5) shown += ", ...";
  throw py::value_error("The entry classifier's labels (y_train_series) must be 1 or 0, of an integer or "
                        "boolean dtype, with both present: they hold [" + shown + "] of dtype " +
                        text_of(labels.dtype()));
}

py::none fit(py::object self, py::object X_train_df, py::object y_train_series,
             py::object complete_datetime_index_series, py::object train_time_of_entry_series,
             py::object train_time_of_exit_series, py::object impact_series, py::object n_splits,
             py::object n_test_splits, py::object embargo_td, py::object factor_name,
             py::object storage_name, py::object n_trials_to_estimate_params, py::object n_jobs) {
  vb::studies::StudyConnectionsScope closes;
  GlobalRandomState callers_state;
  auto& s = state_of(self);
  py::object study_name = checked_name(factor_name, "factor_name", /*in_url=*/false);
  py::object storage_base = checked_name(storage_name, "storage_name", /*in_url=*/true);
  const bool parallel = (n_jobs > py::int_(1)) || n_jobs.equal(py::int_(-1));
  // A call that runs no trial, neither asked for nor a parallel search's seeding trial, only
  // refits the best one and needs no folds.
  if (n_trials_to_estimate_params > py::int_(0) || parallel) {
    check_enough_trades_for_the_folds(X_train_df, n_splits);
  }
  check_labels(y_train_series);
  s[kStudyName] = study_name;
  // A literal '%' is escaped in the URL, which would otherwise decode "%2E%2E%2F" into "../".
  s[kStorageName] = py::str(vb::studies::sqlite_url(text_of(storage_base) + ".db"));

  // Created here, in the calling process, before any worker opens it.
  py::object study = open_study(s[kStudyName], s[kStorageName], py::int_(kBaseSeed));

  s[kNSplits] = n_splits;
  s[kNTestSplits] = n_test_splits;
  s[kEmbargoTd] = embargo_td;
  s[kXTrainDf] = X_train_df;
  s[kYTrainSeries] = y_train_series;
  s[kCompleteDatetimeIndexSeries] = complete_datetime_index_series;
  s[kTrainTimeOfEntrySeries] = train_time_of_entry_series;
  s[kTrainTimeOfExitSeries] = train_time_of_exit_series;
  s[kImpactSeries] = impact_series;

  vb::InterruptedSearchNote note("SEARCH INTERRUPTED: THE TRIALS IT WAS RUNNING ARE MARKED FAILED AND EVERY "
                                 "FINISHED ONE STAYS IN " + text_of(storage_base) + ".db, SO RUNNING fit AGAIN "
                                 "CONTINUES THE STUDY" + kLogTag);
  // Trials left RUNNING by searches that ended are failed now, or when this one ends on an error.
  vb::studies::SearchClaim claim(text_of(s[kStudyName]), text_of(s[kStorageName]));
  py::object n = n_trials_to_estimate_params;
  if (parallel && py::bool_(study.attr("trials_dataframe")().attr("empty"))) {
    log_info(vb::banner("BEGINNING IN-SAMPLE VODED OPTIMISATION"));
    log_info(vb::banner("STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT"));
    log_info(vb::banner("FITTING SINGLE FIT BEFORE MULTIPROCESSING"));
    note.run([&] { self.attr("__fit_single_instance")(0); });
    n = n - py::int_(1);
  }

  // A worker's index is its sampler's seed offset. Offsetting by the trials the study
  // already holds (failed ones included: each took its seed) keeps a continued search from
  // replaying the random start-up points of every earlier run (and the seeding trial's
  // point); a fresh study starts at 0.
  py::object held = py::int_(vb::studies::trial_count(study));
  py::module_ builtins = py::module_::import("builtins");
  // Queued trials are taken here, one after another: two workers starting together can both
  // take the first of them (any worker count but 1 may give joblib several; a single job meets
  // no other). They take the first indices, the jobs the rest: the seeds stay those of a search
  // without queued trials.
  py::object first_job = held;
  if (n > py::int_(1)) {
    py::object queued = builtins.attr("min")(py::int_(vb::studies::waiting_count(study)), n);
    for (py::handle j : builtins.attr("range")(queued)) {
      note.run([&] { self.attr("__fit_single_instance")(held + py::reinterpret_borrow<py::object>(j)); });
    }
    n = n - queued;
    first_job = held + queued;
  }
  // joblib keeps its worker processes between calls, and the study file is named relative
  // to the working directory: every job carries this process's one.
  py::module_ joblib = py::module_::import("joblib");
  py::object job = joblib.attr("delayed")(
      py::module_::import("velmora.vodED.tradegate").attr("_fit_single_instance_in"));
  py::object working_directory = py::module_::import("os").attr("getcwd")();
  py::list jobs;
  for (py::handle i : builtins.attr("range")(n)) {
    jobs.append(job(self, working_directory, first_job + py::reinterpret_borrow<py::object>(i)));
  }

  log_info(vb::banner("BEGINNING MULTIPROCESSED IN-SAMPLE VODED OPTIMISATION"));
  {
    py::object pool = joblib.attr("Parallel")(py::arg("n_jobs") = n_jobs);
    vb::NumpyErrstate quiet(/*all_errors=*/true);
    note.run([&] { pool(jobs); });
  }
  claim.release();
  log_info(vb::banner("IN-SAMPLE VODED OPTIMISATION COMPLETE"));
  py::object best = study.attr("best_trial");
  log_info("BEST TRIAL SO FAR: " + text_of(best.attr("number")) +
           " WITH SCORE: " + rounded3(study.attr("best_value")) + " | Optimal Entry Classifier\n");

  fit_optimal_params_and_pickle_vodED(s, X_train_df, y_train_series, complete_datetime_index_series,
                                      train_time_of_entry_series, train_time_of_exit_series,
                                      impact_series);
  return py::none();
}

// ---------------------------------------------------------------- purged folds

// timeseriescv 0.2 takes a test block's embargo window from the latest exit of the first
// test positions (often the whole test set, later blocks included) and, when that window
// reaches the end of the sample, applies no embargo after the block at all: the training
// trades right after it stay, though they overlap its test trades in time. Its folds are
// therefore passed on with every training trade removed that overlaps a test trade or
// starts within the embargo after one; folds it purged properly pass unchanged.
struct PurgedFolds {
  py::object folds;  // the (training positions, test positions) iterator
  py::object entry_series, exit_series, embargo_td;
  py::object entry_ns = py::none(), exit_ns = py::none();  // int64 nanoseconds, made once
  std::int64_t embargo_ns = 0;
  // How many folds the splitter will yield (one per choice of test groups), or -1 when
  // unknown: a trial of a hundred folds can run for minutes, and its first line says so.
  std::int64_t fold_count = -1;

  template <class F>
  void for_each_object(F&& f) {
    for (py::object* field : {&folds, &entry_series, &exit_series, &embargo_td, &entry_ns, &exit_ns}) f(*field);
  }
};

py::array_t<std::int64_t> int64_array(py::handle obj) {
  auto array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(obj);
  if (!array) throw py::error_already_set();
  return array;
}

py::array_t<std::int64_t> nanoseconds_of(py::handle times) {
  py::object values = vb::numpy().attr("asarray")(tg::plain_values(times));
  return int64_array(values.attr("astype")("datetime64[ns]").attr("view")("int64"));
}

py::object next_fold(PurgedFolds& f) {
  PyObject* item = PyIter_Next(f.folds.ptr());
  if (item == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    throw py::stop_iteration();
  }
  py::object pair = py::reinterpret_steal<py::object>(item);
  py::tuple positions = py::module_::import("builtins").attr("tuple")(pair);
  if (positions.size() != 2) return pair;  // not a fold: the objective refuses it
  // The times are read once the splitter has run its own checks on them.
  if (f.entry_ns.is_none()) {
    f.entry_ns = nanoseconds_of(f.entry_series);
    f.exit_ns = nanoseconds_of(f.exit_series);
    f.embargo_ns = py::module_::import("pandas").attr("Timedelta")(f.embargo_td).attr("value")
                       .cast<std::int64_t>();
  }
  auto entry = py::reinterpret_borrow<py::array_t<std::int64_t>>(f.entry_ns);
  auto exit = py::reinterpret_borrow<py::array_t<std::int64_t>>(f.exit_ns);
  if (exit.size() != entry.size()) throw py::value_error("entry and exit times differ in length");
  py::array_t<std::int64_t> train = int64_array(positions[0]);
  py::array_t<std::int64_t> test = int64_array(positions[1]);
  for (const auto& block : {train, test}) {
    for (py::ssize_t k = 0; k < block.size(); ++k) {
      const std::int64_t position = block.data()[k];
      if (position < 0 || position >= entry.size()) {
        throw py::index_error("fold position " + std::to_string(position) + " out of range");
      }
    }
  }
  const std::vector<std::int64_t> kept = core::purged_training_positions(
      entry.data(), exit.data(), train.data(), static_cast<std::size_t>(train.size()), test.data(),
      static_cast<std::size_t>(test.size()), f.embargo_ns);
  if (static_cast<py::ssize_t>(kept.size()) == train.size()) return pair;
  py::array_t<std::int64_t> purged(static_cast<py::ssize_t>(kept.size()));
  std::copy(kept.begin(), kept.end(), purged.mutable_data());
  return py::make_tuple(purged, positions[1]);
}

// ---------------------------------------------------------------- one trial

py::none fit_single_instance(py::object self, py::object i) {
  vb::studies::StudyConnectionsScope closes;
  auto& s = state_of(self);
  py::object study = open_study(s[kStudyName], s[kStorageName], py::int_(kBaseSeed) + i);
  // Its trial stays its own while it runs, whatever becomes of the search that sent it.
  vb::studies::SearchClaim claim(text_of(s[kStudyName]), text_of(s[kStorageName]));
  py::object cv = py::module_::import("timeseriescv.cross_validation")
                      .attr("CombPurgedKFoldCV")(py::arg("n_splits") = s[kNSplits],
                                                 py::arg("n_test_splits") = s[kNTestSplits],
                                                 py::arg("embargo_td") = s[kEmbargoTd]);
  py::object split = cv.attr("split")(py::arg("X") = s[kXTrainDf], py::arg("y") = s[kYTrainSeries],
                                      py::arg("pred_times") = s[kTrainTimeOfEntrySeries],
                                      py::arg("eval_times") = s[kTrainTimeOfExitSeries]);
  PurgedFolds purged{split, s[kTrainTimeOfEntrySeries], s[kTrainTimeOfExitSeries], s[kEmbargoTd]};
  // The splitter has accepted both counts as integers by now.
  purged.fold_count = py::module_::import("math")
                          .attr("comb")(cv.attr("n_splits"), cv.attr("n_test_splits"))
                          .cast<std::int64_t>();
  py::object folds = py::cast(std::move(purged));
  py::object objective = py::module_::import("functools").attr("partial")(
      self.attr("__single_instance_optimal_entry_classifier_chimera_fit"), s[kXTrainDf],
      s[kYTrainSeries], folds, s[kCompleteDatetimeIndexSeries], s[kTrainTimeOfEntrySeries],
      s[kTrainTimeOfExitSeries], s[kImpactSeries]);
  // Exception only: Ctrl-C must end the search, not be recorded as one failed trial after
  // another.
  py::tuple catch_only(1);
  catch_only[0] = py::handle(PyExc_Exception);
  vb::NumpyErrstate quiet(/*all_errors=*/true);
  study.attr("optimize")(objective, py::arg("n_trials") = 1, py::arg("catch") = catch_only);
  claim.release();
  return py::none();
}

// One fold: fit the pipeline on the training rows, score F1 on the test rows.
double score_fold(const tg::PipelineParams& p, const tg::PipelineStages& trial_stages,
                  core::SolverWarnings& solver_warnings, py::handle weigher, py::handle X_train_rows, py::handle y_train_rows,
                  py::handle X_train_df, py::handle y_train_series, py::handle train_positions,
                  py::handle test_positions, py::handle complete_datetime_index_series,
                  py::handle train_time_of_entry_series, py::handle train_time_of_exit_series,
                  py::handle impact_series) {
  tg::PipelineStages stages = trial_stages;
  stages.imputer = tg::make_imputer(p);
  tg::FittedPipeline fitted;
  py::object selected = tg::fit_feature_steps(X_train_rows, y_train_rows, stages, fitted);
  py::object weights = weigher.attr("fit_transform")(
      tg::plain_values(complete_datetime_index_series),
      tg::plain_values(rows_at(train_time_of_entry_series, train_positions)),
      tg::plain_values(rows_at(train_time_of_exit_series, train_positions)),
      tg::plain_values(rows_at(impact_series, train_positions)));
  py::tuple shape = selected.attr("shape");
  if (shape[0].cast<py::ssize_t>() <= 0 || shape[1].cast<py::ssize_t>() <= 0) return 0.0;
  with_solver_output_captured(solver_warnings, [&] {
    stages.classifier.attr("fit")(selected, tg::flat_values(y_train_rows),
                                  py::arg("sample_weight") = weights);
  });
  fitted.classifier_model = stages.classifier;

  py::object X_test_rows = rows_at(X_train_df, test_positions);
  py::object y_test_rows = rows_at(y_train_series, test_positions);
  py::object predicted =
      fitted.classifier_model.attr("predict")(tg::apply_feature_steps(X_test_rows, fitted));
  py::object f1 = py::module_::import("sklearn.metrics").attr("f1_score");
  return py::float_(f1(tg::flat_values(y_test_rows), predicted)).cast<double>();
}

// The folds of one trial that scored 0 after an error, told in one warning rather than one
// per fold: a trial of a hundred folds failing on one cause would otherwise repeat it a hundred
// times. Distinct messages keep the order in which they first came, each with its fold count.
class FoldFailures {
 public:
  void add(std::string message) {
    ++folds_;
    auto [at, fresh] = index_.try_emplace(message, counts_.size());
    if (fresh) {
      counts_.emplace_back(std::move(message), 1);
    } else {
      ++counts_[at->second].second;
    }
  }

  std::size_t folds() const { return folds_; }

  // "<message> (<count> FOLDS)" for each distinct message, joined by "; ".
  std::string listing() const {
    std::string text;
    for (const auto& [message, count] : counts_) {
      if (!text.empty()) text += "; ";
      text += message + " (" + std::to_string(count) + (count == 1 ? " FOLD)" : " FOLDS)");
    }
    return text;
  }

 private:
  std::size_t folds_ = 0;
  std::vector<std::pair<std::string, std::size_t>> counts_;
  std::unordered_map<std::string, std::size_t> index_;  // message -> its place in counts_
};

py::float_ chimera_fit(py::object self, py::object X_train_df, py::object y_train_series,
                       py::object cv_indices_generator, py::object complete_datetime_index_series,
                       py::object train_time_of_entry_series, py::object train_time_of_exit_series,
                       py::object impact_series, py::object trial) {
  (void)self;
  // trial.number, not the storage-wide trial id: one SQLite file may hold several studies.
  const std::string number = text_of(trial.attr("number"));
  std::string over_folds;
  if (py::isinstance<PurgedFolds>(cv_indices_generator)) {
    const std::int64_t count = cv_indices_generator.cast<PurgedFolds&>().fold_count;
    if (count >= 0) over_folds = " OVER " + std::to_string(count) + (count == 1 ? " FOLD" : " FOLDS");
  }
  log_info("RUNNING TRIAL NUM " + number + " TO OPTIMISE PARAMETERS IN-SAMPLE" + over_folds + kLogTag);

  tg::PipelineParams p;
  tg::draw_model_params(trial, p);
  py::object weigher = sample_weights_class()();
  const tg::PipelineStages stages = tg::make_stages(p, /*with_imputer=*/false);
  tg::draw_imputer_params(trial, p);
  GlobalRandomState seeded(tg::pipeline_seed(p, kBaseSeed));

  py::list scores;
  FoldFailures failures;
  core::SolverWarnings solver_warnings;
  std::size_t folds_with_solver_warnings = 0;
  py::module_ builtins = py::module_::import("builtins");
  for (py::handle pair : py::iter(cv_indices_generator)) {
    py::tuple positions = builtins.attr("tuple")(pair);
    if (positions.size() != 2) {
      throw py::value_error("a fold must be a (training positions, test positions) pair, got " +
                            std::to_string(positions.size()) + " values");
    }
    py::object train_positions = positions[0];
    py::object test_positions = positions[1];
    py::object X_train_rows = rows_at(X_train_df, train_positions);
    py::object y_train_rows = rows_at(y_train_series, train_positions);
    py::tuple frame_shape = X_train_rows.attr("shape");
    if (frame_shape[0].cast<py::ssize_t>() == 0 || frame_shape[1].cast<py::ssize_t>() == 0 ||
        py::len(y_train_rows) == 0) {
      continue;  // nothing to learn from: the fold does not count
    }
    // A failing fold keeps the score 0, but a library break must show, not read as a poor
    // model: its error goes into the trial's warning.
    double score = 0.0;
    core::SolverWarnings fold_warnings;
    try {
      score = score_fold(p, stages, fold_warnings, weigher, X_train_rows, y_train_rows, X_train_df,
                         y_train_series, train_positions, test_positions,
                         complete_datetime_index_series, train_time_of_entry_series,
                         train_time_of_exit_series, impact_series);
    } catch (py::error_already_set& e) {
      if (!is_host_exception(e)) throw;
      failures.add(text_of(e.type().attr("__name__")) + ": " + text_of(e.value()));
    } catch (std::exception& e) {
      failures.add(e.what());
    }
    if (fold_warnings.total() > 0) {
      ++folds_with_solver_warnings;
      solver_warnings.add_all(fold_warnings);
    }
    scores.append(score);
  }

  // The trial's fold summary: one line, however many folds failed or made a solver complain.
  std::string summary;
  const std::string of_folds = " OF " + std::to_string(py::len(scores)) + " FOLDS ";
  if (failures.folds() > 0) {
    summary = std::to_string(failures.folds()) + of_folds + "SCORED 0 AFTER AN ERROR: " + failures.listing();
  }
  if (folds_with_solver_warnings > 0) {
    if (!summary.empty()) summary += ". ";
    summary += std::to_string(folds_with_solver_warnings) + of_folds + "PRINTED SOLVER WARNINGS: " +
               listing_of(solver_warnings);
  }
  if (!summary.empty()) logger().attr("warning")("TRIAL NUM " + number + ": " + summary + kLogTag);
  py::object result = vb::numpy().attr("nanmean")(scores);
  log_info("FINISHED TRIAL NUM " + number + " WITH OBJECTIVE SCORE: " + rounded3(result) + kLogTag +
           "\n");
  return py::float_(result);
}

// ---------------------------------------------------------------- model loading, prediction

py::bool_ check_and_load(py::object self, py::object factor_name) {
  auto& s = state_of(self);
  py::object study_name = checked_name(factor_name, "factor_name", /*in_url=*/false);
  s[kStudyName] = study_name;
  py::object path = model_path(study_name);
  if (!py::bool_(py::module_::import("os").attr("path").attr("isfile")(path))) return py::bool_(false);

  // All six or nothing: a refused file must not leave a half-replaced pipeline behind.
  py::dict stages = tg::load_model_file(path);
  s[kImputer] = stages["imputer"];
  s[kNoVarianceCols] = stages["no_variance_cols"];
  s[kFeaturesToDrop] = stages["features_to_drop_from_multicollinearity"];
  s[kScaler] = stages["scaler"];
  s[kSelectTopKFeatures] = stages["select_top_k_features"];
  s[kClassifierModel] = stages["classifier_model"];
  return py::bool_(true);
}

py::object predict(py::object self, py::object X) {
  auto& s = state_of(self);
  tg::FittedPipeline fitted;
  fitted.imputer = s[kImputer];
  fitted.no_variance_cols = s[kNoVarianceCols];
  fitted.features_to_drop_from_multicollinearity = s[kFeaturesToDrop];
  fitted.scaler = s[kScaler];
  fitted.select_top_k_features = s[kSelectTopKFeatures];
  fitted.classifier_model = s[kClassifierModel];
  // Live rows get the same cleaning as training rows: a value the model learnt to treat as
  // missing must not reach it as a number.
  py::object selected = tg::apply_feature_steps(X, fitted);
  return fitted.classifier_model.attr("predict")(selected)[py::int_(0)];
}

}  // namespace

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) {
  // The methods' documentation is their own text alone, without generated signatures.
  py::options options;
  options.disable_function_signatures();
  m.doc() =
      "Optimal-entry classifier: the meta-label model that searches, fits, saves, loads and "
      "applies the pipeline that vetoes the pairs-trading factor's entries.";

  py::class_<OptimalEntryClassifier> cls(
      m, "OptimalEntryClassifier",
      "Meta-label classifier that decides whether the pairs-trading factor takes an entry.",
      vb::gc_type_setup<OptimalEntryClassifier>());

  // Import set-up: logging first, then the process-wide warning filters (the searches fit
  // thousands of models; their user, future-version and convergence warnings are noise).
  m.attr("logger") = vb::setup_module_logging();
  py::module_ warnings = py::module_::import("warnings");
  warnings.attr("simplefilter")("ignore", py::handle(PyExc_UserWarning));
  warnings.attr("simplefilter")("ignore", py::handle(PyExc_FutureWarning));
  warnings.attr("simplefilter")(
      "ignore", py::module_::import("sklearn.exceptions").attr("ConvergenceWarning"));
  m.attr("SampleWeights") = py::module_::import("velmora.vodED.signalsmith").attr("SampleWeights");
  py::module_::import("optuna");
  py::module_::import("timeseriescv.cross_validation");
  py::module_::import("joblib");
  tg::detect_library_api();
  py::object timedelta = py::module_::import("pandas").attr("Timedelta");
  py::object constructor_embargo_td = timedelta(py::arg("days") = 1);
  py::object fit_embargo_td = timedelta(py::arg("days") = 1);

  // The constructor stores nothing itself: it hands its values to restore_mp_variables,
  // looked up on the object, so a subclass's override decides what is kept.
  cls.def(py::init<>());
  py::object base_init = cls.attr("__init__");
  cls.attr("__init__") = py::cpp_function(
      [base_init](py::object self, py::object study_name, py::object storage_name,
                  py::object n_splits, py::object n_test_splits, py::object embargo_td,
                  py::object X_train_df, py::object y_train_series,
                  py::object complete_datetime_index_series, py::object train_time_of_entry_series,
                  py::object train_time_of_exit_series, py::object impact_series) {
        base_init(self);
        self.attr("restore_mp_variables")(study_name, storage_name, n_splits, n_test_splits,
                                          embargo_td, X_train_df, y_train_series,
                                          complete_datetime_index_series,
                                          train_time_of_entry_series, train_time_of_exit_series,
                                          impact_series);
      },
      py::name("__init__"), py::is_method(cls), R"doc(Creates a classifier with the settings and training set of a parameter search

Every argument is optional and may be given by position or by keyword; a None argument
leaves that setting unset. The values are stored through restore_mp_variables. fit sets
them all again, so a classifier handed to the pairs-trading factor is usually made with no
arguments. The fitted pipeline is not an argument: it comes only from the model file, loaded
by __check_and_load_optimal_entry_classifier.

Args:
    study_name (str): the optuna study name (fit sets it to factor_name + "_OptimalEntryClassifier")
    storage_name (str): the optuna storage URL of the study (fit sets it to "sqlite:///" + storage_name + "_OptimalEntryClassifier.db")
    n_splits (int): the number of groups of the purged combinatorial cross-validation (default 10)
    n_test_splits (int): the number of those groups that form each fold's test set (default 3)
    embargo_td (pd.Timedelta): the embargo after each test group within which no training trade may start (default one day)
    X_train_df (pd.DataFrame): the feature columns, one row per training trade
    y_train_series (pd.Series): the label of each training trade, 1 or 0
    complete_datetime_index_series (pd.Series): every datetime of the sample the trades come from
    train_time_of_entry_series (pd.Series): the entry time of each training trade
    train_time_of_exit_series (pd.Series): the exit time of each training trade
    impact_series (pd.Series): the impact of each training trade (such as its absolute return), for the sample weights

Returns:
    None
)doc",
      py::arg("study_name") = py::none(), py::arg("storage_name") = py::none(),
      py::arg("n_splits") = 10, py::arg("n_test_splits") = 3,
      py::arg("embargo_td") = constructor_embargo_td, py::arg("X_train_df") = py::none(),
      py::arg("y_train_series") = py::none(), py::arg("complete_datetime_index_series") = py::none(),
      py::arg("train_time_of_entry_series") = py::none(),
      py::arg("train_time_of_exit_series") = py::none(), py::arg("impact_series") = py::none());

  cls.def(
      "restore_mp_variables",
      [](py::object self, py::object study_name, py::object storage_name, py::object n_splits,
         py::object n_test_splits, py::object embargo_td, py::object X_train_df,
         py::object y_train_series, py::object complete_datetime_index_series,
         py::object train_time_of_entry_series, py::object train_time_of_exit_series,
         py::object impact_series) {
        return restore_mp_variables(
            self, py::make_tuple(study_name, storage_name, n_splits, n_test_splits, embargo_td,
                                 X_train_df, y_train_series, complete_datetime_index_series,
                                 train_time_of_entry_series, train_time_of_exit_series,
                                 impact_series));
      },
      py::arg("study_name"), py::arg("storage_name"), py::arg("n_splits"),
      py::arg("n_test_splits"), py::arg("embargo_td"), py::arg("X_train_df"),
      py::arg("y_train_series"), py::arg("complete_datetime_index_series"),
      py::arg("train_time_of_entry_series"), py::arg("train_time_of_exit_series"),
      py::arg("impact_series"), R"doc(Stores the settings and training set of a parameter search, skipping every None value

Used by the constructor and when a classifier is rebuilt in a worker process. The fitted
pipeline is left as it is.

Args:
    study_name (str or None): the optuna study name
    storage_name (str or None): the optuna storage URL of the study
    n_splits (int or None): the number of groups of the purged cross-validation
    n_test_splits (int or None): the number of test groups of each fold
    embargo_td (pd.Timedelta or None): the embargo after each test group
    X_train_df (pd.DataFrame or None): the feature columns, one row per training trade
    y_train_series (pd.Series or None): the label of each training trade, 1 or 0
    complete_datetime_index_series (pd.Series or None): every datetime of the sample
    train_time_of_entry_series (pd.Series or None): the entry time of each training trade
    train_time_of_exit_series (pd.Series or None): the exit time of each training trade
    impact_series (pd.Series or None): the impact of each training trade

Returns:
    None
)doc");

  cls.def("fit", &fit, py::arg("X_train_df"), py::arg("y_train_series"),
          py::arg("complete_datetime_index_series"), py::arg("train_time_of_entry_series"),
          py::arg("train_time_of_exit_series"), py::arg("impact_series"),
          py::arg("n_splits") = 10, py::arg("n_test_splits") = 3,
          py::arg("embargo_td") = fit_embargo_td, py::arg("factor_name") = "",
          py::arg("storage_name") = "", py::arg("n_trials_to_estimate_params") = 1,
          py::arg("n_jobs") = 1, R"doc(Searches the meta-label pipeline, refits the best one on all training trades and saves it

Each trial draws a pipeline (imputer, variance filter, correlation filter, scaler, feature
selection and an AdaBoost or bagging ensemble), scores it by its mean F1 over the purged
combinatorial folds, each fit weighted by SampleWeights, and adds itself to the optuna study
"<factor_name>_OptimalEntryClassifier" in "<storage_name>_OptimalEntryClassifier.db" in the
working directory. A later call continues the same study. The best trial's pipeline is then
refitted on every row and pickled to "../vodED/saved_models/<factor_name>_OptimalEntryClassifier.pkl";
the object takes it up only through __check_and_load_optimal_entry_classifier. A fold's
solver warnings and errors are reported in the trial's one-line fold summary.

Args:
    X_train_df (pd.DataFrame): the feature columns, one row per closed training trade
    y_train_series (pd.Series): the label of each row, 1 or 0
    complete_datetime_index_series (pd.Series): every datetime of the sample, for the sample weights
    train_time_of_entry_series (pd.Series): the entry time of each row
    train_time_of_exit_series (pd.Series): the exit time of each row
    impact_series (pd.Series): the impact of each row, for the sample weights
    n_splits (int): the number of groups of the purged cross-validation; the training set needs at least that many rows
    n_test_splits (int): the number of those groups that form each fold's test set
    embargo_td (pd.Timedelta): the embargo after each test group
    factor_name (str): the name of the calling factor; it names the study and the model file
    storage_name (str): the base name of the study's SQLite file, without "sqlite:///" or ".db"
    n_trials_to_estimate_params (int): the number of trials this call adds to the study
    n_jobs (int): the number of worker processes (-1: all cores); a parallel search of an empty study runs its first trial in this process

Returns:
    None
)doc");

  cls.def("__fit_single_instance", &fit_single_instance, py::arg("i"), py::pos_only(),
          R"doc(Runs one trial of the search: opens the study with the sampler seed 69 + i, builds the purged folds and scores one drawn pipeline

Args:
    i (int): the worker index, the offset of the sampler seed

Returns:
    None
)doc");

  cls.def("__single_instance_optimal_entry_classifier_chimera_fit", &chimera_fit,
          py::arg("X_train_df"), py::arg("y_train_series"), py::arg("cv_indices_generator"),
          py::arg("complete_datetime_index_series"), py::arg("train_time_of_entry_series"),
          py::arg("train_time_of_exit_series"), py::arg("impact_series"), py::arg("trial"),
          R"doc(The search objective: fits and scores one drawn pipeline on every purged fold

A fold whose fitting fails scores 0; a fold without training rows is skipped. The trial's
fold summary (one warning line) counts the folds that failed, with each distinct error, and
the warnings the solvers printed, with each distinct text.

Args:
    X_train_df (pd.DataFrame): the feature columns, one row per training trade
    y_train_series (pd.Series): the label of each row, 1 or 0
    cv_indices_generator (iterable): the folds, pairs of (training positions, test positions), consumed once
    complete_datetime_index_series (pd.Series): every datetime of the sample, for the sample weights
    train_time_of_entry_series (pd.Series): the entry time of each row
    train_time_of_exit_series (pd.Series): the exit time of each row
    impact_series (pd.Series): the impact of each row, for the sample weights
    trial (optuna.trial.Trial): the trial the pipeline parameters are drawn from

Returns:
    score (float): the mean F1 score of the label 1 over the scored folds; NaN when no fold was scored
)doc");

  cls.def("__check_and_load_optimal_entry_classifier", &check_and_load,
          py::arg("factor_name") = "", R"doc(Loads the fitted pipeline of a factor's model file, if there is one

The file is "../vodED/saved_models/<factor_name>_OptimalEntryClassifier.pkl", relative to
the working directory. It is checked before anything of it is kept: a file that holds
anything but the fitted stages this library writes is refused with pickle.UnpicklingError,
and the pipeline loaded before stays.

Args:
    factor_name (str): the name of the factor whose model to load

Returns:
    loaded (bool): True when the file was there and its six stages are now loaded, False when there is no such file
)doc");

  cls.def("predict", &predict, py::arg("X"), py::pos_only(), R"doc(Predicts the label of a candidate entry with the loaded pipeline

Args:
    X (pd.DataFrame): feature rows with the columns of the training frame, in its order (the factor passes one row of pair_spread_features)

Returns:
    label (int): the label the classifier predicts for the first row, 1 to take the entry, 0 to veto it
)doc");

  // What a model file may name, as (module, name) pairs.
  m.attr("_MODEL_FILE_GLOBALS") = tg::model_file_globals();
  m.def("_selected_feature_count", &tg::selected_feature_count, py::arg("selector"),
        "How many features a fitted SelectPercentile keeps, as the model-file checks count them.");

  m.def(
      "_fit_single_instance_in",
      [](py::object classifier, py::object working_directory, py::object i) {
        py::module_ os = py::module_::import("os");
        if (!os.attr("getcwd")().equal(working_directory)) os.attr("chdir")(working_directory);
        classifier.attr("__fit_single_instance")(i);
      },
      py::arg("classifier"), py::arg("working_directory"), py::arg("i"),
      "One job of a parallel search: the classifier's __fit_single_instance(i), run from the "
      "calling process's working directory.");

  py::class_<PurgedFolds>(m, "_PurgedFolds",
                          "The folds of a purged splitter with every training trade removed that "
                          "overlaps a test trade in time or starts within the embargo after one.",
                          vb::gc_type_setup<PurgedFolds>())
      .def(py::init([](py::object folds, py::object entry_times, py::object exit_times,
                       py::object embargo_td) {
             return PurgedFolds{py::iter(folds), std::move(entry_times), std::move(exit_times),
                                std::move(embargo_td)};
           }),
           py::arg("folds"), py::arg("entry_times"), py::arg("exit_times"), py::arg("embargo_td"))
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &next_fold);

  // Only the constructor values travel: a worker rebuilds a classifier without a model.
  // The rebuild makes the base class, so a host subclass's overrides do not reach workers.
  cls.def("__reduce__", &reduce, R"doc(Pickles the classifier as its eleven constructor values only

A classifier unpickled in a worker process has no fitted pipeline, and a subclass arrives as
the base class.

Returns:
    reduced (tuple): the rebuild function and the tuple of the eleven constructor values
)doc");
}
