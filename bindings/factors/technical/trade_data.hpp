#pragma once
// The factor's closed trades as the meta-label classifier's training data.

#include "common/common.hpp"

namespace velmora::bind::cointpairs {

// (train, test) trade tables around `split_time`, or (None, None) for an empty store.
// Training trades are those that entered and exited by the split time; test trades entered
// strictly after it. A trade still open across the split belongs to neither, so no test-period
// outcome reaches a training label.
pybind11::tuple split_trades_at(pybind11::handle split_time, pybind11::handle trade_store);

// (X_train_df, y_train_series, train_time_of_entry_series, train_time_of_exit_series,
// impact_series) from a training trade table.
pybind11::tuple preprocess_train_trades(pybind11::handle train_trades_store_df,
                                        const std::string& returns_column_name);

// Module-level `_split_trades_at` and `_preprocess_train_trades`, for tests.
void register_trade_data(pybind11::module_& m);

}  // namespace velmora::bind::cointpairs
