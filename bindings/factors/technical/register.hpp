#pragma once
// The pieces of velmora.factors.technical.cointpairs, each bound from its own file.

#include "common/common.hpp"

namespace velmora::bind::cointpairs {

// Private numeric kernels (Johansen, half-life, z-score, ...) exposed under leading-underscore
// names, for the tests and the reference comparisons.
void register_kernels(pybind11::module_& m);

// Backtest accounting: a positions matrix into the twelve result arrays (`_book_positions`).
void register_accounting(pybind11::module_& m);

// The first `number_of_bars` rows of a positions matrix booked into money: the twelve
// result arrays under their Scorebook keyword names, in the Scorebook's keyword order.
pybind11::dict book_positions(pybind11::handle positions_matrix, pybind11::handle close_matrix,
                              pybind11::handle proportional_spread_array, pybind11::ssize_t number_of_bars,
                              double starting_equity, double pct_equity_invested,
                              double market_value_pct_commissions, double bid_ask_spread_pct_slippage,
                              bool scale_equity_to_traded_securities);

// PairsTradingSerialCointegrationFactor itself.
void register_factor(pybind11::module_& m);

// The factor's live predict, added to the class that register_factor created.
void register_live(pybind11::module_& m);

// The factor's trial run, parameter search and study file (fit, get_full_backtest_results,
// erase_fit_memory, ...), added to the class that register_factor created.
void register_search(pybind11::module_& m);

}  // namespace velmora::bind::cointpairs
