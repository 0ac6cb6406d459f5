#pragma once
// optuna studies kept in SQLite files, shared by the factor's and the classifier's searches.

#include "common/common.hpp"

#include <cstdio>
#include <exception>
#include <string>
#include <utility>

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

// SQLite storage that waits for a lock instead of failing when worker processes write at once.
inline py::object sqlite_storage(const std::string& url) {
  py::dict connect_args("timeout"_a = 120);
  py::dict engine_kwargs("connect_args"_a = connect_args);
  return optuna().attr("storages").attr("RDBStorage")(url, "engine_kwargs"_a = engine_kwargs);
}

inline py::object create_or_load(const std::string& study_name, const std::string& url, py::handle seed) {
  return optuna().attr("create_study")("study_name"_a = study_name, "direction"_a = "maximize",
                                       "storage"_a = sqlite_storage(url), "load_if_exists"_a = true,
                                       "sampler"_a = tpe_sampler(seed));
}

// optuna creates an empty database when asked to load from a missing file: look first.
inline py::object load_existing(const std::string& study_name, const std::string& file_name) {
  py::module_ os_path = py::module_::import("os.path");
  if (!py::bool_(os_path.attr("isfile")(file_name))) {
    PyErr_SetString(PyExc_FileNotFoundError,
                    ("no study file '" + file_name + "' in the working directory: run fit first").c_str());
    throw py::error_already_set();
  }
  return optuna().attr("load_study")("study_name"_a = study_name, "storage"_a = sqlite_storage(sqlite_url(file_name)));
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

// ---------------------------------------------------------------- trials left running

// Marks FAIL every trial of the study still RUNNING: called only when no search is running
// on it, so these belong to searches that ended without finishing them (interrupted, or
// their process killed) and would otherwise stay pending in every later TPE draw. A trial
// that some other program finishes meanwhile keeps its state.
inline void fail_running_trials(const std::string& study_name, const std::string& url) {
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
// file in the temporary folder named after the study; the operating system drops it when
// the process ends, however it ends. Whoever gets that lock exclusively knows that no
// search of this library is running on the study, so that its RUNNING trials can never
// finish: they are failed then, when a search starts and when one ends on an error (Ctrl-C
// reaches the calling process after joblib has killed the workers). While another search
// runs, RUNNING trials are left alone, as they may be its own; the first search to start
// or fail after it has ended fails what is left. Each task of a parallel search holds a
// claim of its own too, so that a worker that outlives its search (another joblib backend,
// a killed calling process) keeps its trial.
class SearchClaim {
 public:
  SearchClaim(std::string study_name, std::string url)
      : study_name_(std::move(study_name)), url_(std::move(url)), lock_(lock_path()) {
    if (lock_.try_exclusive()) fail_running_trials(study_name_, url_);
    lock_.shared();
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

 private:
  class LockFile {
   public:
    // Where the platform has no fcntl (Windows) there is no lock to share, so no search can
    // tell a stale trial from a live one: the claim is left closed and does nothing there.
    explicit LockFile(const py::object& path) {
      if (py::module_::import("importlib.util").attr("find_spec")("fcntl").is_none()) return;
      fcntl_ = py::module_::import("fcntl");
      fd_ = os().attr("open")(path, os().attr("O_RDONLY") | os().attr("O_CREAT"), 0666);
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
    void shared() {
      if (is_open()) flock("LOCK_SH");
    }
    void unlock() {
      if (is_open()) flock("LOCK_UN");
    }
    bool try_exclusive() {
      if (!is_open()) return false;
      try {
        fcntl_.attr("flock")(fd_, fcntl_.attr("LOCK_EX") | fcntl_.attr("LOCK_NB"));
        return true;
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_BlockingIOError)) throw;
        return false;
      }
    }
    void close() {
      if (!is_open()) return;
      py::object fd = fd_;
      fd_ = py::none();
      os().attr("close")(fd);
    }

   private:
    static py::module_ os() { return py::module_::import("os"); }
    void flock(const char* operation) { fcntl_.attr("flock")(fd_, fcntl_.attr(operation)); }

    py::module_ fcntl_;
    py::object fd_ = py::none();
  };

  // Named after the study file as the storage reads it from the URL, and the study's name.
  py::object lock_path() const {
    py::module_ os = py::module_::import("os");
    py::object file = py::module_::import("sqlalchemy.engine").attr("make_url")(url_).attr("database");
    py::object key = os.attr("fsencode")(os.attr("path").attr("realpath")(file)) + py::bytes("\0", 1) +
                     os.attr("fsencode")(study_name_);
    py::object digest = py::module_::import("hashlib").attr("sha256")(key).attr("hexdigest")();
    const std::string name = "velmora-search-" + digest.cast<std::string>().substr(0, 32) + ".lock";
    return os.attr("path").attr("join")(py::module_::import("tempfile").attr("gettempdir")(), name);
  }

  std::string study_name_;
  std::string url_;
  int uncaught_at_start_ = std::uncaught_exceptions();
  LockFile lock_;
};

// Parallel when the worker count is above 1 or exactly -1.
inline bool is_parallel(long long n_jobs) { return n_jobs > 1 || n_jobs == -1; }

}  // namespace studies
}  // namespace velmora::bind
