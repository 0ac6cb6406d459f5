#include "factors/technical/trade_data.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

py::module_ pandas() { return py::module_::import("pandas"); }

py::object np_and(py::handle a, py::handle b) { return numpy().attr("logical_and")(a, b); }

// Columns of a trade record that are not features.
const char* const kRecordColumns[] = {"time_of_exit", "trade_label", "trade_returns", "trade_securities",
                                      "time_of_entry"};

}  // namespace

py::tuple split_trades_at(py::handle split_time, py::handle trade_store) {
  if (py::len(trade_store) == 0) return py::make_tuple(py::none(), py::none());
  py::module_ pd = pandas();
  py::object df = pd.attr("DataFrame").attr("from_dict")(trade_store, "orient"_a = "index");
  df = df.attr("set_index")("time_of_entry").attr("sort_index")(py::arg("kind") = "stable");
  py::object features = df["features"];
  py::list dropped;
  dropped.append("features");
  df = df.attr("drop")("columns"_a = dropped);
  // One column per feature name, in the records' key order; records without features give NaN.
  py::list feature_rows;
  for (py::handle f : features) feature_rows.append(f.is_none() ? py::dict() : py::reinterpret_borrow<py::object>(f));
  py::object expanded = pd.attr("DataFrame").attr("from_records")(feature_rows, "index"_a = df.attr("index"));
  if (py::len(expanded.attr("columns")) > 0) {
    expanded = expanded.attr("astype")("float64");
  }
  df = pd.attr("concat")(py::make_tuple(df, expanded), "axis"_a = 1);

  py::object entry = df.attr("index");
  py::object exit = df["time_of_exit"];
  py::object split = pd.attr("Timestamp")(split_time);
  py::object train_mask = np_and(entry.attr("__le__")(split), exit.attr("__le__")(split).attr("to_numpy")());
  py::object test_mask = entry.attr("__gt__")(split);
  py::object train = df[train_mask].attr("reset_index")();
  py::object test = df[test_mask].attr("reset_index")();
  return py::make_tuple(train, test);
}

py::tuple preprocess_train_trades(py::handle train_trades_store_df, const std::string& returns_column_name) {
  py::module_ np = numpy();
  py::object df = py::reinterpret_borrow<py::object>(train_trades_store_df);
  py::object time_of_entry = df.attr("reset_index")()["time_of_entry"];
  py::object time_of_exit = df["time_of_exit"];
  py::object abs_returns = np.attr("abs")(df[py::str(returns_column_name)]);
  py::object impact = abs_returns / np.attr("sum")(abs_returns);
  py::list feature_columns;
  for (py::handle column : df.attr("columns")) {
    bool record_column = false;
    for (const char* name : kRecordColumns) {
      if (py::str(column).equal(py::str(name)) && PyUnicode_Check(column.ptr())) record_column = true;
    }
    if (!record_column) feature_columns.append(column);
  }
  return py::make_tuple(df[feature_columns], df["trade_label"], time_of_entry, time_of_exit, impact);
}

void register_trade_data(py::module_& m) {
  m.def("_split_trades_at", &split_trades_at, py::arg("split_time"), py::arg("trade_store"),
        "Splits a trade store into (train, test) trade tables at the split time.");
  m.def("_preprocess_train_trades", &preprocess_train_trades, py::arg("train_trades_store_df"),
        py::arg("returns_column_name") = "trade_returns",
        "Cuts a training trade table into the classifier's five training pieces.");
}

}  // namespace velmora::bind::cointpairs
