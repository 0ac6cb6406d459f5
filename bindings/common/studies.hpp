#pragma once
// optuna studies kept in SQLite files, shared by the factor's and the classifier's searches.

#include "common/common.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace velmora::bind {

namespace studies {

namespace py = pybind11;
using namespace pybind11::literals;

inline py::module_ optuna() { return py::module_::import("optuna"); }

// A name that becomes part of a file name and a SQLite URL must not escape the working
// directory or be cut short by URL syntax.
inline void check_file_stem(const std::string& what, const std::string& value) {
  const bool unsafe = value.find_first_of(std::string("?#/\\\0", 5)) != std::string::npos ||
                      value.find("..") != std::string::npos;
  if (unsafe) {
    // Shown through repr: a NUL inside the name would otherwise cut the message short.
    const std::string shown = py::repr(py::str(value.data(), value.size())).cast<std::string>();
    raise_plain(what + " " + shown +
                " cannot name a study file: it must not contain '?', '#', '/', '\\', NUL or '..'");
  }
}

// The SQLite URL of a study file in the working directory. The URL parser decodes %XX
// escapes in the file part, so a literal '%' goes in as "%25": a name holding "%2F" must
// stay that file, not become a path into another folder.
inline std::string sqlite_url(const std::string& file_name) {
  std::string url = "sqlite:///";
  for (const char c : file_name) {
    if (c == '%') {
      url += "%25";
    } else {
      url += c;
    }
  }
  return url;
}

// The TPE sampler of every search, every setting passed explicitly so that optuna releases
// with other defaults draw the same trials.
inline py::object tpe_sampler(py::handle seed) {
  py::module_ op = optuna();
  py::dict kwargs("n_startup_trials"_a = 30, "multivariate"_a = true, "group"_a = true,
                  "constant_liar"_a = true, "seed"_a = seed);
  // Only a log message hangs on this flag; optuna 4.9 deprecated passing it.
  const std::string version = py::str(op.attr("__version__"));
  int major = 0, minor = 0;
  std::sscanf(version.c_str(), "%d.%d", &major, &minor);
  if (major < 4 || (major == 4 && minor < 9)) kwargs["warn_independent_sampling"] = false;
  return op.attr("samplers").attr("TPESampler")(**kwargs);
}

// Every connection to a study writes ahead to a log ("-wal" beside the file) and syncs the
// disk only at checkpoints: in the default rollback journal each suggest and each finished
// trial is a commit that waits for the disk, which took as long as a short trial's walk. The
// log keeps the file consistent through a crash; a power cut may lose the last trials, which
// the next search repeats. The journal mode stays with the file, the sync level is each
// connection's own, so both are set as each connection opens, before the storage's first
// statement.
inline py::handle study_connection_class() {
  static py::handle cls = [] {
    py::object base = py::module_::import("sqlite3").attr("Connection");
    py::object made = py::module_::import("builtins").attr("type")("StudyConnection", py::make_tuple(base), py::dict());
    made.attr("__init__") = py::cpp_function(
        [base](py::object self, py::args args, py::kwargs kwargs) {
          base.attr("__init__")(self, *args, **kwargs);
          self.attr("execute")("PRAGMA journal_mode=WAL").attr("close")();
          self.attr("execute")("PRAGMA synchronous=NORMAL").attr("close")();
        },
        py::name("open_with_write_ahead_log"), py::is_method(made));
    return made.release();
  }();
  return cls;
}

// The file a SQLite URL names, as the storage reads it.
inline std::string file_of_url(const std::string& url) {
  return py::str(py::module_::import("sqlalchemy.engine").attr("make_url")(url).attr("database")).cast<std::string>();
}

namespace detail {

// The SQLite error behind a storage error (sqlalchemy keeps it as `orig`, optuna as the
// cause of its own), or None.
inline py::object sqlite_error_behind(py::handle error) {
  py::object sqlite_error = py::module_::import("sqlite3").attr("DatabaseError");
  py::object seen = py::reinterpret_borrow<py::object>(error);
  for (int depth = 0; depth < 8 && !seen.is_none(); ++depth) {
    if (py::isinstance(seen, sqlite_error)) return seen;
    py::object orig = py::getattr(seen, "orig", py::none());
    if (py::isinstance(orig, sqlite_error)) return orig;
    seen = py::getattr(seen, "__cause__", py::none());
  }
  return py::none();
}

// SQLITE_CORRUPT and SQLITE_NOTADB: the file's pages are not a database's.
inline bool is_damage(py::handle sqlite_error) {
  py::object code = py::getattr(sqlite_error, "sqlite_errorcode", py::none());
  if (!code.is_none()) {
    const long long primary = code.cast<long long>() & 0xff;
    return primary == 11 || primary == 26;
  }
  const std::string text = py::str(sqlite_error).cast<std::string>();
  return text.find("malformed") != std::string::npos || text.find("not a database") != std::string::npos;
}

}  // namespace detail

// Runs `open` on the study file of `url`, telling a file that is no study of this optuna
// release apart from other failures: a damaged file, or one whose table schema another
// release wrote, is refused naming the file, instead of with sqlalchemy's or optuna's words
// alone. A locked file, a missing folder and the like pass as they came.
template <class Open>
auto reading_study_file(const std::string& url, Open&& open) -> decltype(open()) {
  try {
    return open();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    const std::string file = file_of_url(url);
    const std::string said = py::str(e.value()).cast<std::string>();
    py::object sqlite_error = detail::sqlite_error_behind(e.value());
    if (!sqlite_error.is_none() && detail::is_damage(sqlite_error)) {
      throw py::value_error("The study file " + file + " is damaged (" + py::str(sqlite_error).cast<std::string>() +
                            "): restore it from a copy, or erase it and run the search again");
    }
    if (e.matches(PyExc_RuntimeError) && said.find("compatible with the table schema") != std::string::npos) {
      throw py::value_error("The study file " + file + " holds tables of another optuna release's schema, which " +
                            "this one cannot read (" + said + "): upgrade it with `optuna storage upgrade " +
                            "--storage " + url + "`, or erase it and run the search again");
    }
    throw;
  }
}

// The study connections a library call opened are closed when it returns, however it ends.
// A storage's engine keeps its connections pooled until the collector finds it (it lives in
// reference cycles), and an open connection keeps the write-ahead log beside the study;
// worse, when it closes at last, long after, it removes that log by name, even if the study
// was erased meanwhile and a new one of the same name writes there. Each storage opened
// while a scope lives is disposed of by the innermost one; outside any scope a storage is
// left to the collector.
class StudyConnectionsScope {
 public:
  StudyConnectionsScope() { scopes().push_back(this); }
  StudyConnectionsScope(const StudyConnectionsScope&) = delete;
  StudyConnectionsScope& operator=(const StudyConnectionsScope&) = delete;
  ~StudyConnectionsScope() {
    auto& open = scopes();
    open.erase(std::remove(open.begin(), open.end(), this), open.end());
    for (const py::object& engine : engines_) undo_in_destructor([&] { engine.attr("dispose")(); });
  }

  static void adopt(py::object engine) {
    if (!scopes().empty()) scopes().back()->engines_.push_back(std::move(engine));
  }

 private:
  static std::vector<StudyConnectionsScope*>& scopes() {
    static std::vector<StudyConnectionsScope*> open;
    return open;
  }
  std::vector<py::object> engines_;
};

// SQLite storage that waits for a lock instead of failing when worker processes write at once.
inline py::object sqlite_storage(const std::string& url) {
  py::dict connect_args("timeout"_a = 120, "factory"_a = study_connection_class());
  py::dict engine_kwargs("connect_args"_a = connect_args);
  py::object storage = reading_study_file(url, [&] {
    // Two processes opening a new file at once both create its tables and stamp its schema
    // version, one statement after another: the one that comes second meets "table ...
    // already exists" or a duplicate version row. Opening again finds what the other made.
    py::module_ sqlalchemy_exc = py::module_::import("sqlalchemy.exc");
    for (int attempt = 1;; ++attempt) {
      try {
        return optuna().attr("storages").attr("RDBStorage")(url, "engine_kwargs"_a = engine_kwargs);
      } catch (py::error_already_set& e) {
        const bool created_meanwhile =
            e.matches(sqlalchemy_exc.attr("IntegrityError")) ||
            (e.matches(sqlalchemy_exc.attr("OperationalError")) &&
             py::str(e.value()).cast<std::string>().find("already exists") != std::string::npos);
        if (!created_meanwhile || attempt == 5) throw;
      }
      py::module_::import("time").attr("sleep")(0.05 * attempt);
    }
  });
  StudyConnectionsScope::adopt(storage.attr("engine"));
  return storage;
}

// A study whose stored direction is not maximise ranks its trials upside down for these
// searches: optuna keeps the direction a study was created with, whatever a later search
// asks, so the best trial would be the worst. Refused before anything runs on it.
inline void check_direction(py::handle study, const std::string& url) {
  py::object maximize = optuna().attr("study").attr("StudyDirection").attr("MAXIMIZE");
  py::list directions(study.attr("directions"));
  if (directions.size() == 1 && py::object(directions[0]).equal(maximize)) return;
  std::string stored;
  for (py::handle d : directions) {
    if (!stored.empty()) stored += ", ";
    stored += py::str(d.attr("name")).cast<std::string>();
  }
  throw py::value_error("The study " + py::str(study.attr("study_name")).cast<std::string>() + " in " +
                        file_of_url(url) + " is stored with direction " + stored +
                        ", but its searches maximise their objective, so its best trial would be its worst: erase "
                        "it, or keep it under another name, and run the search again");
}

// Opens a study and reads its trials once, so that a file damaged past its header is refused
// here, naming it, before anything runs on it.
template <class Open>
py::object opened_study(const std::string& url, Open&& open) {
  return reading_study_file(url, [&] {
    py::object study = open();
    check_direction(study, url);
    study.attr("get_trials")("deepcopy"_a = false);
    return study;
  });
}

inline py::object create_or_load(const std::string& study_name, const std::string& url, py::handle seed) {
  return opened_study(url, [&] {
    return optuna().attr("create_study")("study_name"_a = study_name, "direction"_a = "maximize",
                                         "storage"_a = sqlite_storage(url), "load_if_exists"_a = true,
                                         "sampler"_a = tpe_sampler(seed));
  });
}

// optuna creates an empty database when asked to load from a missing file: look first.
inline py::object load_existing(const std::string& study_name, const std::string& file_name) {
  py::module_ os_path = py::module_::import("os.path");
  if (!py::bool_(os_path.attr("isfile")(file_name))) {
    PyErr_SetString(PyExc_FileNotFoundError,
                    ("no study file '" + file_name + "' in the working directory: run fit first").c_str());
    throw py::error_already_set();
  }
  const std::string url = sqlite_url(file_name);
  return opened_study(url, [&] {
    return optuna().attr("load_study")("study_name"_a = study_name, "storage"_a = sqlite_storage(url));
  });
}

inline py::ssize_t trial_count(py::handle study) {
  return py::len(study.attr("get_trials")("deepcopy"_a = false));
}

// Trials queued in the study (enqueued, WAITING) and not yet taken by a search. SQLite gives
// optuna no atomic way to take one, so two worker processes that start together can both run
// the first of them: the parallel searches run queued trials in the calling process first.
inline py::ssize_t waiting_count(py::handle study) {
  py::tuple waiting = py::make_tuple(optuna().attr("trial").attr("TrialState").attr("WAITING"));
  return py::len(study.attr("get_trials")("deepcopy"_a = false, "states"_a = waiting));
}

// ---------------------------------------------------------------- a search's parameters

// One parameter of a search space, as the search's trial draws it.
struct SearchParam {
  enum class Kind { integer, real, category };
  const char* name;
  Kind kind;
  double low = 0.0, high = 0.0;  // inclusive bounds of an integer or a real parameter
  bool log = false;
  std::vector<const char*> choices = {};  // of a category, in the order drawn
  // An integer whose upper bound follows the data the search runs on: any bound from `low`
  // on is one some search drew it with.
  bool high_follows_data = false;
};

namespace detail {

inline std::string shown(py::handle value) {
  std::string text = py::repr(value).cast<std::string>();
  if (text.size() > 200) text = text.substr(0, 200) + "...";
  return text;
}

inline std::string bound(const SearchParam& p, double value) {
  if (p.kind == SearchParam::Kind::integer) return std::to_string(static_cast<long long>(value));
  return py::repr(py::float_(value)).cast<std::string>();
}

}  // namespace detail

// What is wrong with the value of `p` in `params` (a mapping), for the search that draws
// it, or "" when the search could have drawn it: present, of its kind (an integer parameter
// an int, never a bool, a text or a float; a real one an int or a float, never a bool),
// finite, and within its bounds or among its choices.
inline std::string param_fault(py::handle params, const SearchParam& p) {
  PyObject* value = PyMapping_Check(params.ptr()) ? PyObject_GetItem(params.ptr(), py::str(p.name).ptr()) : nullptr;
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
    return std::string("parameter '") + p.name + "' is missing";
  }
  py::object v = py::reinterpret_steal<py::object>(value);
  const std::string head = std::string("parameter '") + p.name + "' is " + detail::shown(v);
  const bool is_int = PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr());
  switch (p.kind) {
    case SearchParam::Kind::category: {
      if (PyUnicode_Check(v.ptr())) {
        const std::string text = py::reinterpret_borrow<py::str>(v).cast<std::string>();
        for (const char* choice : p.choices) {
          if (text == choice) return "";
        }
      }
      std::string listed;
      for (const char* choice : p.choices) listed += (listed.empty() ? "\"" : ", \"") + std::string(choice) + "\"";
      return head + ", not one of " + listed;
    }
    case SearchParam::Kind::integer:
      if (!is_int) return head + " (" + type_name(v) + "), not an integer";
      break;
    case SearchParam::Kind::real:
      if (!is_int && !PyFloat_Check(v.ptr())) return head + " (" + type_name(v) + "), not a number";
      if (PyFloat_Check(v.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(v.ptr()))) return head + ", not a finite number";
      break;
  }
  // Compared as the host compares numbers: exact for integers of any size.
  py::object low = p.kind == SearchParam::Kind::integer ? py::object(py::int_(static_cast<long long>(p.low)))
                                                        : py::object(py::float_(p.low));
  py::object high = p.kind == SearchParam::Kind::integer ? py::object(py::int_(static_cast<long long>(p.high)))
                                                         : py::object(py::float_(p.high));
  if (v < low || v > high) {
    return head + ", outside its search range " + detail::bound(p, p.low) + " to " + detail::bound(p, p.high);
  }
  return "";
}

// The first fault of `params` against `space`, in the space's order, or "".
inline std::string params_fault(py::handle params, const std::vector<SearchParam>& space) {
  for (const SearchParam& p : space) {
    std::string fault = param_fault(params, p);
    if (!fault.empty()) return fault;
  }
  return "";
}

// Refuses a study's best trial whose parameters its search could not have drawn (a study
// file changed outside the library, or a trial queued with values of its own): nothing may
// run on them. `remedy` tells what to do.
inline void check_best_params(py::handle params, const std::vector<SearchParam>& space, const std::string& study_file,
                              const std::string& remedy) {
  const std::string fault = params_fault(params, space);
  if (fault.empty()) return;
  throw py::value_error("The best trial of the study in " + study_file + " cannot be used: its " + fault +
                        ". The search never draws such a value, so the study was written or changed outside it; " +
                        remedy);
}

// The distribution optuna stores for `p` when the search draws it, `high` standing for the
// upper bound of a parameter whose bound follows the data.
inline py::object search_distribution(const SearchParam& p, py::handle high) {
  py::object distributions = optuna().attr("distributions");
  switch (p.kind) {
    case SearchParam::Kind::category: {
      py::list choices;
      for (const char* choice : p.choices) choices.append(py::str(choice));
      return distributions.attr("CategoricalDistribution")(choices);
    }
    case SearchParam::Kind::integer:
      return distributions.attr("IntDistribution")(static_cast<long long>(p.low), high, "log"_a = p.log,
                                                   "step"_a = 1);
    case SearchParam::Kind::real:
      return distributions.attr("FloatDistribution")(p.low, p.high, "log"_a = p.log, "step"_a = py::none());
  }
  throw std::logic_error("unknown parameter kind");
}

// What is wrong with the distribution a trial holds for `p` (in `distributions`, a mapping
// of a trial's), or "" when the search draws `p` so or the trial holds no such parameter:
// its kind, log scale, choices and bounds all as the search's, a bound that follows the data
// excepted. optuna itself refuses to draw a parameter of another kind, log scale or choices
// in a study that holds one, and would fail the search's trial on it.
inline std::string distribution_fault(py::handle distributions, const SearchParam& p) {
  if (!distributions.contains(py::str(p.name))) return "";
  py::object stored = distributions[py::str(p.name)];
  py::object high = py::int_(static_cast<long long>(p.high));
  py::object as_int = optuna().attr("distributions").attr("IntDistribution");
  const bool stored_int = py::type::handle_of(stored).is(as_int);
  if (p.high_follows_data && stored_int && !(py::object(stored.attr("high")) < py::int_(static_cast<long long>(p.low)))) {
    high = stored.attr("high");
  }
  py::object expected = search_distribution(p, high);
  if (stored.equal(expected)) return "";
  std::string searched = py::repr(search_distribution(p, py::int_(static_cast<long long>(p.high)))).cast<std::string>();
  if (p.high_follows_data) searched += " (its upper bound following the rows, " + detail::bound(p, p.high) + " now)";
  return std::string("parameter '") + p.name + "' was drawn from " + detail::shown(stored) +
         ", where the search draws it from " + searched;
}

// The first distribution fault of `trial` against `space`, in the space's order, or "".
inline std::string distributions_fault(py::handle trial, const std::vector<SearchParam>& space) {
  py::object distributions = trial.attr("distributions");
  for (const SearchParam& p : space) {
    std::string fault = distribution_fault(distributions, p);
    if (!fault.empty()) return fault;
  }
  return "";
}

// Refuses a study's best trial (an optuna FrozenTrial) whose parameters its search did not
// draw so; its values are checked apart (check_best_params).
inline void check_best_distributions(py::handle trial, const std::vector<SearchParam>& space,
                                     const std::string& study_file, const std::string& remedy) {
  const std::string fault = distributions_fault(trial, space);
  if (fault.empty()) return;
  throw py::value_error("The best trial of the study in " + study_file + " cannot be used: its " + fault +
                        ". The search never draws so, so the study was written or changed outside it; " + remedy);
}

// Refuses, before a search adds anything to it, a study holding a trial whose parameters
// its search does not draw so: optuna would fail each of the search's trials on such a
// parameter (and keep it in the file as a failed trial), or rank the search's trials among
// foreign ones.
inline void check_trials_distributions(py::handle study, const std::vector<SearchParam>& space,
                                       const std::string& study_file, const std::string& remedy) {
  for (py::handle trial : study.attr("get_trials")("deepcopy"_a = false)) {
    const std::string fault = distributions_fault(trial, space);
    if (fault.empty()) continue;
    throw py::value_error("Trial " + py::str(trial.attr("number")).cast<std::string>() + " of the study in " +
                          study_file + " is no trial of its search: its " + fault +
                          ". The search never draws so, so the study was written or changed outside it, and "
                          "nothing is searched in it; " + remedy);
  }
}

// ---------------------------------------------------------------- trials left running

// Marks FAIL every trial of the study still RUNNING: called only when no search is running
// on it, so these belong to searches that ended without finishing them (interrupted, or
// their process killed) and would otherwise stay pending in every later TPE draw. A trial
// that some other program finishes meanwhile keeps its state.
inline void fail_running_trials(const std::string& study_name, const std::string& url) {
  StudyConnectionsScope closes;
  py::module_ op = optuna();
  py::object storage = sqlite_storage(url);
  py::object study_id = storage.attr("get_study_id_from_name")(study_name);
  py::object states = op.attr("trial").attr("TrialState");
  py::object running = storage.attr("get_all_trials")(study_id, "deepcopy"_a = false,
                                                      "states"_a = py::make_tuple(states.attr("RUNNING")));
  for (py::handle trial : running) {
    py::object number = trial.attr("number");
    py::object trial_id = storage.attr("get_trial_id_from_study_id_trial_number")(study_id, number);
    try {
      storage.attr("set_trial_state_values")(trial_id, "state"_a = states.attr("FAIL"));
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_RuntimeError)) throw;  // optuna's "already finished"
      continue;
    }
    shared_logger().attr("warning")("TRIAL NUM " + py::str(number).cast<std::string>() + " OF STUDY " +
                                    study_name + " WAS LEFT RUNNING BY A SEARCH THAT ENDED: MARKED FAILED");
  }
}

// A search's claim on its study, held from its start to its end. It is a shared lock on a
// file named after the study (see LockFile for where it lives); the operating system drops
// it when the process ends, however it ends. Whoever gets that lock exclusively knows that no
// search of this library is running on the study, so that its RUNNING trials can never
// finish: they are failed then, when a search starts and when one ends on an error (Ctrl-C
// reaches the calling process after joblib has killed the workers). While another search
// runs, RUNNING trials are left alone, as they may be its own; the first search to start
// or fail after it has ended fails what is left. Each task of a parallel search holds a
// claim of its own too, so that a worker that outlives its search (another joblib backend,
// a killed calling process) keeps its trial.
class SearchClaim {
 public:
  // A search only ever holds the lock exclusively while it fails left-over trials, which
  // takes a moment; a lock held longer than this is not a search's, and is reported.
  static constexpr double kDefaultWaitSeconds = 30.0;

  SearchClaim(std::string study_name, std::string url, double wait_seconds = kDefaultWaitSeconds)
      : study_name_(std::move(study_name)), url_(std::move(url)), lock_(study_file(url_), study_name_, lock_name(study_name_, url_)) {
    if (lock_.try_exclusive()) fail_running_trials(study_name_, url_);
    lock_.shared(wait_seconds);
  }
  SearchClaim(const SearchClaim&) = delete;
  SearchClaim& operator=(const SearchClaim&) = delete;

  ~SearchClaim() {
    if (!lock_.is_open() || std::uncaught_exceptions() == uncaught_at_start_) return;
    py::error_scope keep_pending_error;
    try {
      lock_.unlock();
      if (lock_.try_exclusive()) fail_running_trials(study_name_, url_);
    } catch (const std::exception&) {
      // A second Ctrl-C, say: the trials stay RUNNING until the next search starts.
    }
  }

  // The search ended normally.
  void release() { lock_.close(); }

  // Where the lock file is (None where the platform has no file locks).
  py::object lock_path() const { return lock_.path(); }

  static void remove_lock_if_unused(const std::string& study_name, const std::string& url) {
    LockFile lock(study_file(url), study_name, lock_name(study_name, url), /*create=*/false);
    lock.remove_if_unused();
  }

 private:
  // The lock file. Nothing of it is ever in a folder that other users can write, where they
  // could plant a symlink, a FIFO or a file of their own under its name, or hold the lock:
  // it lies beside the study file when the study's folder is the user's own and writable by
  // no one else, and otherwise in the private folder "velmora-<uid>" of the temporary folder,
  // created 0700 and used only while it is a directory of the user's, open to no one else.
  // The file is opened without following symlinks and without blocking, through the folder's
  // descriptor, and used only while it is a regular file of the user's with mode 0600.
  class LockFile {
   public:
    // Where the platform has no fcntl (Windows) there is no lock to share, so no search can
    // tell a stale trial from a live one: the claim is left closed and does nothing there.
    // Without `create`, a lock file that does not exist is left so, and the lock stays closed.
    LockFile(const py::object& study_file, const std::string& study_name, const py::object& name, bool create = true)
        : study_file_(study_file), study_name_(study_name) {
      if (py::module_::import("importlib.util").attr("find_spec")("fcntl").is_none()) return;
      fcntl_ = py::module_::import("fcntl");
      py::module_ path = os().attr("path");
      const OwnedFd folder(folder_for(path.attr("dirname")(study_file), create));
      if (folder.fd.is_none()) return;
      path_ = path.attr("join")(folder_path_, name);
      fd_ = open_lock(folder.fd, name, create);
    }
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    ~LockFile() {
      py::error_scope keep_pending_error;
      try {
        close();
      } catch (const std::exception&) {
      }
    }

    bool is_open() const { return !fd_.is_none(); }
    py::object path() const { return path_; }

    // Waits at most `wait_seconds` for a process that holds the lock exclusively.
    void shared(double wait_seconds) {
      if (!is_open()) return;
      py::module_ time = py::module_::import("time");
      const double deadline = time.attr("monotonic")().cast<double>() + wait_seconds;
      while (!try_lock("LOCK_SH")) {
        if (time.attr("monotonic")().cast<double>() >= deadline) {
          raise_plain("Another process has held the search lock " + text(path_) + " of the study " + study_name_ +
                      " in " + text(study_file_) + " for over " + seconds(wait_seconds) +
                      ": a search holds it alone only for a moment, as it starts or ends. If no search of "
                      "yours is starting or ending, end the process that holds it, or remove the lock file, "
                      "then run the search again");
        }
        time.attr("sleep")(0.05);  // Ctrl-C stops the wait
      }
    }
    void unlock() {
      if (is_open()) fcntl_.attr("flock")(fd_, fcntl_.attr("LOCK_UN"));
    }
    bool try_exclusive() { return is_open() && try_lock("LOCK_EX"); }
    // Removes the lock file when no search holds it.
    void remove_if_unused() {
      if (!try_exclusive()) return;
      os().attr("unlink")(path_);
      close();
    }
    void close() {
      if (!is_open()) return;
      py::object fd = fd_;
      fd_ = py::none();
      os().attr("close")(fd);
    }

   private:
    // Closes the descriptor it holds when it goes, unless released.
    struct OwnedFd {
      py::object fd;
      explicit OwnedFd(py::object descriptor) : fd(std::move(descriptor)) {}
      OwnedFd(const OwnedFd&) = delete;
      OwnedFd& operator=(const OwnedFd&) = delete;
      ~OwnedFd() {
        if (fd.is_none()) return;
        py::error_scope keep_pending_error;
        try {
          os().attr("close")(fd);
        } catch (const std::exception&) {
        }
      }
      py::object release() {
        py::object released = fd;
        fd = py::none();
        return released;
      }
    };

    static py::module_ os() { return py::module_::import("os"); }
    static std::string text(py::handle value) { return py::str(value).cast<std::string>(); }
    static std::string seconds(double value) {
      return py::str(py::float_(value)).cast<std::string>() + " s";
    }
    static py::object flag(const char* name) { return os().attr(name); }
    static py::object uid() { return os().attr("geteuid")(); }
    static std::string octal(py::handle mode) { return text(py::module_::import("builtins").attr("oct")(mode)); }

    bool try_lock(const char* operation) {
      try {
        fcntl_.attr("flock")(fd_, fcntl_.attr(operation) | fcntl_.attr("LOCK_NB"));
        return true;
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_BlockingIOError)) throw;
        return false;
      }
    }

    // A descriptor of the folder the lock goes into, and its path in folder_path_.
    py::object folder_for(const py::object& study_folder, bool create) {
      py::module_ stat = py::module_::import("stat");
      const py::object directory_flags = flag("O_RDONLY") | flag("O_DIRECTORY") | flag("O_CLOEXEC");
      try {
        OwnedFd fd(os().attr("open")(study_folder, directory_flags));
        py::object st = os().attr("fstat")(fd.fd);
        const bool own = py::object(st.attr("st_uid")).equal(uid());
        const bool others_write = !(py::object(st.attr("st_mode")) & py::int_(022)).equal(py::int_(0));
        if (own && !others_write) {
          folder_path_ = study_folder;
          return fd.release();
        }
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;  // a folder that cannot be opened: the private one
      }
      return private_folder(stat, create);
    }

    py::object private_folder(const py::module_& stat, bool create) {
      py::object folder = os().attr("path").attr("join")(py::module_::import("tempfile").attr("gettempdir")(),
                                                         py::str("velmora-" + text(uid())));
      folder_path_ = folder;
      bool created = false;
      if (!create && !py::bool_(os().attr("path").attr("lexists")(folder))) return py::none();
      try {
        os().attr("mkdir")(folder, 0700);
        created = true;
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_FileExistsError)) throw;
      }
      py::object fd;
      try {
        fd = os().attr("open")(folder, flag("O_RDONLY") | flag("O_DIRECTORY") | flag("O_NOFOLLOW") | flag("O_CLOEXEC"));
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        refuse_folder(folder, "it is not a directory (" + text(e.value()) + ")");
      }
      OwnedFd owned(fd);
      py::object st = os().attr("fstat")(fd);
      if (!py::object(st.attr("st_uid")).equal(uid())) refuse_folder(folder, "it belongs to user id " + text(st.attr("st_uid")));
      if (created) os().attr("fchmod")(fd, 0700);  // whatever the umask made of it
      py::object mode = stat.attr("S_IMODE")(os().attr("fstat")(fd).attr("st_mode"));
      if (!(mode & py::int_(077)).equal(py::int_(0))) refuse_folder(folder, "its mode " + octal(mode) + " lets others in");
      return owned.release();
    }

    [[noreturn]] void refuse_folder(const py::object& folder, const std::string& why) {
      raise_plain("The search lock of the study " + study_name_ + " in " + text(study_file_) +
                  " goes into the private folder " + text(folder) + ", as the study's folder is not yours alone, but " +
                  why + ": remove it (a search creates it anew, open to you only), or keep the study in a folder "
                  "that only you can write");
    }

    py::object open_lock(const py::object& folder_fd, const py::object& name, bool create) {
      py::module_ stat = py::module_::import("stat");
      // Non-blocking: opening a FIFO would otherwise wait for a writer.
      const py::object flags = flag("O_RDONLY") | flag("O_NOFOLLOW") | flag("O_NONBLOCK") | flag("O_CLOEXEC");
      py::object fd;
      bool created = false;
      try {
        if (create) {
          try {
            fd = os().attr("open")(name, flags | flag("O_CREAT") | flag("O_EXCL"), 0600, "dir_fd"_a = folder_fd);
            created = true;
          } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileExistsError)) throw;
          }
        }
        if (!created) fd = os().attr("open")(name, flags, "dir_fd"_a = folder_fd);
      } catch (py::error_already_set& e) {
        if (!create && e.matches(PyExc_FileNotFoundError)) return py::none();
        if (!e.matches(PyExc_OSError)) throw;
        refuse_lock("it cannot be opened as a regular file without following links (" + text(e.value()) + ")");
      }
      OwnedFd owned(fd);
      if (created) os().attr("fchmod")(fd, 0600);  // whatever the umask made of it
      py::object st = os().attr("fstat")(fd);
      py::object mode = st.attr("st_mode");
      if (!py::bool_(stat.attr("S_ISREG")(mode))) refuse_lock("it is not a regular file");
      if (!py::object(st.attr("st_uid")).equal(uid())) refuse_lock("it belongs to user id " + text(st.attr("st_uid")));
      py::object permissions = stat.attr("S_IMODE")(mode);
      if (!permissions.equal(py::int_(0600))) refuse_lock("its mode is " + octal(permissions) + ", not 0o600");
      return owned.release();
    }

    [[noreturn]] void refuse_lock(const std::string& why) {
      raise_plain("The search lock " + text(path_) + " of the study " + study_name_ + " in " + text(study_file_) +
                  " cannot be used: " + why + ". A search creates it as a regular file of yours with mode 0600; "
                  "remove whatever is there and run the search again");
    }

    py::object study_file_;
    std::string study_name_;
    py::module_ fcntl_;
    py::object fd_ = py::none();
    py::object path_ = py::none();
    py::object folder_path_ = py::none();
  };

  // The study file as the storage reads it from the URL, all links resolved.
  static py::object study_file(const std::string& url) {
    py::module_ os = py::module_::import("os");
    py::object file = py::module_::import("sqlalchemy.engine").attr("make_url")(url).attr("database");
    return os.attr("path").attr("realpath")(file);
  }

  // Named after the study file and the study's name.
  static py::object lock_name(const std::string& study_name, const std::string& url) {
    py::module_ os = py::module_::import("os");
    py::object key = os.attr("fsencode")(study_file(url)) + py::bytes("\0", 1) + os.attr("fsencode")(study_name);
    py::object digest = py::module_::import("hashlib").attr("sha256")(key).attr("hexdigest")();
    return py::str(".velmora-search-" + digest.cast<std::string>().substr(0, 32) + ".lock");
  }

  std::string study_name_;
  std::string url_;
  int uncaught_at_start_ = std::uncaught_exceptions();
  LockFile lock_;
};

// Removes the lock file of a study's searches, when there is one and no search holds it:
// called as the study file is erased, before it goes (the lock is named after the file).
inline void remove_search_lock(const std::string& study_name, const std::string& url) {
  SearchClaim::remove_lock_if_unused(study_name, url);
}

// Parallel when the worker count is above 1 or exactly -1.
inline bool is_parallel(long long n_jobs) { return n_jobs > 1 || n_jobs == -1; }

}  // namespace studies
}  // namespace velmora::bind
