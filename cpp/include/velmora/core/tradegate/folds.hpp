#pragma once
// Purging of cross-validation folds over labelled trades: no training trade may overlap a test
// trade in time, nor start within the embargo after one ends.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::core {

// Each trade spans [entry, exit] (any integer clock, e.g. nanoseconds). Returns the training
// positions, in their given order, of the trades that end before every test trade starts and
// start later than `embargo` after every test trade ends that began before them: a training
// trade i is dropped when, for some test trade j, entry[j] <= exit[i] and
// entry[i] <= exit[j] + embargo. Positions index `entry` and `exit`; they must be in range.
std::vector<std::int64_t> purged_training_positions(const std::int64_t* entry,
                                                    const std::int64_t* exit,
                                                    const std::int64_t* train, std::size_t n_train,
                                                    const std::int64_t* test, std::size_t n_test,
                                                    std::int64_t embargo);

}  // namespace velmora::core
