#include "factors/technical/study_watch.hpp"

#include <algorithm>

#include "common/studies.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// A stamp taken less than this long after the file's last change may miss a second write in
// the same tick of the file system's clock (coarse on some systems).
constexpr std::int64_t kRacyWindowNs = 2'000'000'000;

std::optional<py::object> stat_or_none(py::module_& os, const std::string& path) {
  try {
    return os.attr("stat")(path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_FileNotFoundError)) throw;
    return std::nullopt;
  }
}

std::int64_t field(const py::object& st, const char* name) { return st.attr(name).cast<std::int64_t>(); }

}  // namespace

std::optional<StudyFileStamp> study_file_stamp(const std::string& file_name) {
  py::module_ os = py::module_::import("os");
  const std::optional<py::object> st = stat_or_none(os, file_name);
  if (!st) return std::nullopt;
  StudyFileStamp stamp;
  stamp.device = field(*st, "st_dev");
  stamp.inode = field(*st, "st_ino");
  stamp.size = field(*st, "st_size");
  stamp.mtime_ns = field(*st, "st_mtime_ns");
  stamp.ctime_ns = field(*st, "st_ctime_ns");
  if (const std::optional<py::object> wal = stat_or_none(os, file_name + "-wal")) {
    stamp.wal_size = field(*wal, "st_size");
    stamp.wal_mtime_ns = field(*wal, "st_mtime_ns");
  }
  const std::int64_t now = py::module_::import("time").attr("time_ns")().cast<std::int64_t>();
  const std::int64_t changed = std::max({stamp.mtime_ns, stamp.ctime_ns, stamp.wal_mtime_ns});
  stamp.racy = now - changed < kRacyWindowNs;
  return stamp;
}

std::optional<BestTrial> current_best_trial(const StudyIdentity& id) {
  studies::StudyConnectionsScope closes;
  const std::string file = id.file_name();
  if (!py::bool_(py::module_::import("os.path").attr("isfile")(file))) return std::nullopt;
  py::object study;
  try {
    study = studies::load_existing(id.factor_name, file);
  } catch (py::error_already_set& e) {
    // optuna's answer for a file without a study of this name (removed meanwhile, say).
    if (e.matches(PyExc_KeyError) || e.matches(PyExc_FileNotFoundError)) return std::nullopt;
    throw;
  }
  py::object best;
  try {
    best = study.attr("best_trial");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;  // optuna's "no trials are completed yet"
    return std::nullopt;
  }
  py::object params = best.attr("params");
  check_assigned_type(params, reinterpret_cast<PyObject*>(&PyDict_Type), /*none_allowed=*/false);
  return BestTrial{best.attr("number").cast<std::int64_t>(), py::reinterpret_borrow<py::dict>(params)};
}

}  // namespace velmora::bind::cointpairs
