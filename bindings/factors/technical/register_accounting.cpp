// Backtest accounting of the pairs-trading factor: a positions matrix into the twelve
// result arrays a Scorebook is built from.

#include "factors/technical/register.hpp"

#include <cstring>
#include <string>

#include "velmora/core/accounting/accounting.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;
namespace acc = velmora::core::accounting;

namespace {

py::array_t<double> to_array(const std::vector<double>& values, std::ptrdiff_t rows, std::ptrdiff_t cols) {
  py::array_t<double> out(cols < 0 ? std::vector<py::ssize_t>{rows} : std::vector<py::ssize_t>{rows, cols});
  if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(double));
  return out;
}

}  // namespace

py::dict book_positions(py::handle positions_matrix, py::handle close_matrix,
                        py::handle proportional_spread_array, py::ssize_t number_of_bars,
                        double starting_equity, double pct_equity_invested,
                        double market_value_pct_commissions, double bid_ask_spread_pct_slippage,
                        bool scale_equity_to_traded_securities) {
  py::array positions = require_float64(positions_matrix, "positions_matrix", 2);
  py::array closes = require_float64(close_matrix, "close_matrix", 2);
  py::array spreads = require_float64(proportional_spread_array, "proportional_spread_array", 1);
  const std::ptrdiff_t T = number_of_bars;
  const std::ptrdiff_t S = positions.shape(1);
  // The bar loop reads rows by index: refuse short inputs instead of reading past them.
  if (T < 0 || positions.shape(0) < T || closes.shape(0) < T || closes.shape(1) != S ||
      spreads.shape(0) < S) {
    throw py::value_error("positions " + std::to_string(positions.shape(0)) + "x" + std::to_string(S) +
                          ", closes " + std::to_string(closes.shape(0)) + "x" +
                          std::to_string(closes.shape(1)) + " and " + std::to_string(spreads.shape(0)) +
                          " spreads cannot book " + std::to_string(T) + " bars");
  }
  const View1D sv = view_1d(spreads);
  std::vector<double> spread_values(static_cast<std::size_t>(S));
  for (std::ptrdiff_t j = 0; j < S; ++j) spread_values[j] = sv[j];

  acc::Settings settings;
  settings.starting_equity = starting_equity;
  settings.pct_equity_invested = pct_equity_invested;
  settings.market_value_pct_commissions = market_value_pct_commissions;
  settings.bid_ask_spread_pct_slippage = bid_ask_spread_pct_slippage;
  settings.scale_equity_to_traded_securities = scale_equity_to_traded_securities;

  const acc::MatrixView pv = view_2d(positions), cv = view_2d(closes);
  acc::Results r;
  {
    py::gil_scoped_release release;
    r = acc::book(pv, cv, spread_values.data(), T, S, settings);
  }
  const std::ptrdiff_t Tm1 = T >= 1 ? T - 1 : 0;
  py::dict out;
  out["positions_matrix_array"] = to_array(r.units, T, S);
  out["positions_market_value_matrix_array"] = to_array(r.market_values, T, S);
  out["change_in_positions_matrix_array"] = to_array(r.change_in_units, T, S);
  out["change_in_positions_market_value_matrix_array"] = to_array(r.change_in_market_values, T, S);
  out["securities_pnl_matrix_array"] = to_array(r.pnl, T, S);
  out["commissions_matrix_array"] = to_array(r.commissions, T, S);
  out["slippage_matrix_array"] = to_array(r.slippage, T, S);
  out["securities_pnl_after_transaction_costs_matrix_array"] = to_array(r.pnl_after_costs, T, S);
  out["total_pnl_after_transaction_costs_array"] = to_array(r.total, T, -1);
  out["equity_value_array"] = to_array(r.equity, T, -1);
  out["returns_after_transaction_costs_array"] = to_array(r.returns, Tm1, -1);
  out["cumprod_returns_after_transaction_costs_array"] = to_array(r.cumprod, Tm1, -1);
  return out;
}

void register_accounting(py::module_& m) {
  m.def("_book_positions", &book_positions, py::arg("positions_matrix"), py::arg("close_matrix"),
        py::arg("proportional_spread_array"), py::arg("number_of_bars"), py::arg("starting_equity"),
        py::arg("pct_equity_invested"), py::arg("market_value_pct_commissions"),
        py::arg("bid_ask_spread_pct_slippage"), py::arg("scale_equity_to_traded_securities"),
        R"doc(
Books the first `number_of_bars` rows of a positions matrix into money.

Args:
    positions_matrix (numpy.ndarray): float64 T x S walk positions (scale free).
    close_matrix (numpy.ndarray): float64 T x S closes of the same bars.
    proportional_spread_array (numpy.ndarray): float64, one bid-ask spread per security.
    number_of_bars (int): T, the number of bars to book.
    starting_equity, pct_equity_invested, market_value_pct_commissions,
    bid_ask_spread_pct_slippage (float), scale_equity_to_traded_securities (bool): settings.

Returns:
    dict: the twelve result arrays under their Scorebook keyword names.
)doc");
}

}  // namespace velmora::bind::cointpairs
