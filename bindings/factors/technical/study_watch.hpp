#pragma once
// Watching the factor's study from a live process: whether its file changed, and its best
// trial now. Other processes (a nightly refit, a parallel search) write to the same file.

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

}  // namespace velmora::bind::cointpairs
