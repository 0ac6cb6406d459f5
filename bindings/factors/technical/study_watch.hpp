#pragma once
// Watching the factor's study and its classifier's model file from a live process: whether
// a file changed, the study's best trial now, the model file's bytes. Other processes (a
// nightly refit, a parallel search, a retrained classifier) write to the same files.

#include "common/common.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "factors/technical/factor_state.hpp"
#include "factors/technical/search.hpp"

namespace velmora::bind::cointpairs {

// The study file's state now, or none when there is no such file.
std::optional<StudyFileStamp> study_file_stamp(const std::string& file_name);

struct BestTrial {
  std::int64_t number = -1;
  pybind11::dict params;
};

// The best completed trial of the stored study, or none when the study has gone away: no
// file, no study of that name in it, or no completed trial (a study being built again).
std::optional<BestTrial> current_best_trial(const StudyIdentity& id);

// The classifier's model file of the factor, relative to the working directory.
std::string model_file_path(const Factor& f);

// A digest of the file's bytes, or none when it cannot be read (gone meanwhile).
std::optional<std::uint64_t> file_digest(const std::string& path);

// Loads the classifier's model file when it changed since the latest load (another process
// rewrote it, or the classifier was retrained), through the classifier's own load and checks,
// and logs one line naming the file. A file gone away, or one the checks refuse, leaves the
// model held as it is, with one line saying which. Nothing happens without a classifier.
void look_for_new_model(Factor& f);

}  // namespace velmora::bind::cointpairs
