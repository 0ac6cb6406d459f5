#pragma once
// Sample-uniqueness weights of labelled samples whose label spans overlap in time.
//
// Times are int64 ticks of one unit (the bindings use nanoseconds). A sample's span is every
// grid time t with start <= t <= end; the concurrency of a grid time is the number of spans
// holding it, and a sample's uniqueness is the mean of 1 / concurrency over its own span.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::core {

// Uniqueness of each of the `n` samples (NaN for a span holding no grid time) into `out`.
// The grid must be ascending (repeated times are allowed and behave as in a label slice of a
// non-unique sorted index); a descending step throws std::invalid_argument.
// Cost: O(g + n log g), independent of how long the spans are.
void sample_uniqueness(const std::int64_t* grid, std::ptrdiff_t g, const std::int64_t* starts,
                       const std::int64_t* ends, std::ptrdiff_t n, double* out);

// Weights that sum to their count: x / sum(x) * len(x) with x = |impact| / uniqueness, or
// x = uniqueness when `n_impact` is 0. The two lengths broadcast as numpy's elementwise
// division does (equal, or one of them 1); anything else throws std::invalid_argument.
// The sum is numpy's pairwise sum, so the result equals numpy's to the last bit.
std::vector<double> normalised_sample_weights(const double* uniqueness, std::ptrdiff_t n_uniqueness,
                                              const double* impact, std::ptrdiff_t n_impact);

}  // namespace velmora::core
