#pragma once
// optuna studies kept in SQLite files, shared by the factor's and the classifier's searches.

#include "common/common.hpp"

#include <cstdio>
#include <string>

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

// Parallel when the worker count is above 1 or exactly -1.
inline bool is_parallel(long long n_jobs) { return n_jobs > 1 || n_jobs == -1; }

}  // namespace studies
}  // namespace velmora::bind
