#pragma once
// The pieces of velmora.factors.technical.cointpairs, each bound from its own file.

#include "common/common.hpp"

namespace velmora::bind::cointpairs {

// Private numeric kernels (Johansen, half-life, z-score, ...) exposed under leading-underscore
// names, for the tests and the reference comparisons.
void register_kernels(pybind11::module_& m);

// Backtest accounting: a positions matrix into the twelve result arrays (`_book_positions`).
void register_accounting(pybind11::module_& m);

// PairsTradingSerialCointegrationFactor itself.
void register_factor(pybind11::module_& m);

}  // namespace velmora::bind::cointpairs
