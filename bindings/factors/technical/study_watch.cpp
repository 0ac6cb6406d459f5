#include "factors/technical/study_watch.hpp"

#include <algorithm>
#include <fstream>
#include <vector>

#include "common/model_files.hpp"
#include "common/studies.hpp"
#include "factors/technical/factor_walk.hpp"

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

std::string model_file_path(const Factor& f) {
  return model_files::model_file_of_factor(py::str(f.factor_name).cast<std::string>());
}

std::optional<std::uint64_t> file_digest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  // FNV-1a: a rewrite is told by the stamp; the digest only keeps a rewrite with the same
  // bytes (or a stamp too fresh to trust) from loading the same model twice.
  std::uint64_t h = 0xcbf29ce484222325ULL;
  std::vector<char> chunk(1 << 16);
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::streamsize got = in.gcount();
    for (std::streamsize i = 0; i < got; ++i) {
      h ^= static_cast<unsigned char>(chunk[static_cast<std::size_t>(i)]);
      h *= 0x100000001b3ULL;
    }
  }
  if (in.bad()) return std::nullopt;
  return h;
}

namespace {

std::string model_suffix(const Factor& f) {
  return " | PAIRS TRADING SERIAL COINTEGRATION FACTOR " + std::to_string(f.resolution_in_mins);
}

}  // namespace

void look_for_new_model(Factor& f) {
  if (f.vodED_tradegate.is_none()) return;
  const std::string path = model_file_path(f);
  const std::optional<StudyFileStamp> now = study_file_stamp(path);
  const bool known = f.model_file_known;
  if (known) {
    const std::optional<StudyFileStamp>& seen = f.model_file_stamp;
    if (!now && !seen) return;  // no file, as at the latest load
    if (now && seen && !seen->racy && seen->same_file_state(*now)) return;
  }
  py::object logger = shared_logger();
  if (known && !now) {
    logger.attr("warning")("MODEL FILE " + path + " HAS GONE AWAY: TRADING ON WITH THE MODEL HELD" + model_suffix(f));
    f.model_file_stamp.reset();
    f.model_file_digest.reset();
    return;
  }
  const std::optional<std::uint64_t> digest = now ? file_digest(path) : std::nullopt;
  if (known && digest && f.model_file_digest == digest) {
    f.model_file_stamp = now;  // the same bytes: the same model
    return;
  }
  // The classifier keeps the model it holds when a file is refused or missing: so does the factor.
  const std::int64_t generation = f.vodED_model_generation;
  const bool loaded_before = f.vodED_model_loaded;
  auto keep_held = [&]() {
    f.vodED_model_generation = generation;
    f.vodED_model_loaded = loaded_before;
  };
  py::object loaded;
  try {
    loaded = check_if_vodED_optimal_entry_exists_and_load(f);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // Ctrl-C
    keep_held();
    f.model_file_known = true;
    f.model_file_stamp = now;
    f.model_file_digest = digest;
    logger.attr("warning")("MODEL FILE " + path + " CANNOT BE LOADED (" + type_name(e.value()) + ": " +
                           py::str(e.value()).cast<std::string>() + "): TRADING ON WITH THE MODEL HELD" +
                           model_suffix(f));
    return;
  }
  if (truth(loaded)) {
    f.vodED_ready = loaded;
    logger.attr("info")("MODEL FILE " + path + " LOADED: RERUNNING THE BACKTEST WITH ITS MODEL" + model_suffix(f));
  } else if (known) {
    keep_held();  // gone between the look and the load
    logger.attr("warning")("MODEL FILE " + path + " HAS GONE AWAY: TRADING ON WITH THE MODEL HELD" + model_suffix(f));
  } else {
    f.vodED_ready = loaded;  // retrained without a file: as a rerun would find it
  }
}

}  // namespace velmora::bind::cointpairs
