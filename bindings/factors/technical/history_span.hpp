#pragma once
// What cleaning a history keeps of it: every row needs a price of every security, so a
// security that starts late cuts everyone's history, one without any usable price would cut
// all of it, and one that ends early has its last prices carried to the end.

#include "common/common.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace velmora::bind::cointpairs {

// Where each security's prices become complete among a history's resampled price bins
// (before gaps are carried forward).
struct SecurityStarts {
  std::vector<std::string> names;          // in the order the securities first appear
  std::vector<std::ptrdiff_t> first_bins;  // per security: its first complete bin
  std::vector<std::ptrdiff_t> last_bins;   // per security: its last bin with prices of its own
  std::ptrdiff_t first_kept_bin = 0;       // the latest of them: the bins before it are dropped
};

// Refuses, naming them, the securities one of whose price columns never holds a usable value.
SecurityStarts security_starts(pybind11::handle binned_prices);

// One warning naming the securities that start after the history's first bin, their starts
// and what their late start drops: `dropped_rows` of `dropped_rows + kept_rows` rows.
void warn_late_starts(const SecurityStarts& starts, pybind11::handle binned_index, std::ptrdiff_t dropped_rows,
                      std::ptrdiff_t kept_rows);

// One warning naming the securities whose prices end before the history does, and how many of
// the kept rows (`clean`, the cleaned frame) carry their last prices forward, as over any gap.
void warn_early_ends(const SecurityStarts& starts, pybind11::handle binned_index, pybind11::handle clean);

}  // namespace velmora::bind::cointpairs
