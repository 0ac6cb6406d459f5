// velmora.utils.results.scorebook: the record of one backtest stretch, its results table
// against a benchmark, bootstrapped alternative paths, the search objectives and the plot.
//
// The bootstrap is the only loop over data and runs in the core; everything else is glue
// around pandas, empyrical, yfinance and matplotlib, looked up as module globals at call
// time so a caller (or a test) can substitute any of them.

#include "common/common.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "velmora/core/results/bootstrap.hpp"

namespace py = pybind11;
namespace vb = velmora::bind;
namespace vc = velmora::core;
using namespace pybind11::literals;

namespace {

constexpr const char* kModuleName = "velmora.utils.results.scorebook";
constexpr const char* kScoreContext =
    "velmora.utils.results.scorebook.Scorebook.get_objective_score";
constexpr const char* kBarSeriesName = "total_pnl_after_transaction_costs_series";
constexpr const char* kBenchmarkTicker = "VT";
constexpr std::uint32_t kFirstSeed = 69;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kDefaultObjective = "stability_weighted_median_bootstrapped_cumprod_returns";

// The names the search may be scored on. Names 7 and 8 are spelled "boostrapped": stored
// studies and callers use these exact strings.
constexpr std::array<const char*, 14> kObjectiveNames = {
    "latest_cumprod_returns",
    "annual_sharpe_ratio",
    "activity_weighted_annual_sharpe_ratio",
    "daily_sharpe_ratio",
    "activity_weighted_daily_sharpe_ratio",
    "annual_sortino_ratio",
    "median_boostrapped_cumprod_returns",
    "25_percentile_boostrapped_cumprod_returns",
    "stability_weighted_median_bootstrapped_cumprod_returns",
    "stability_weighted_25_percentile_bootstrapped_cumprod_returns",
    "activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
    "activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
    "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
    "stability_activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
};

constexpr std::size_t kMatrixCount = 8;
constexpr std::size_t kArrayCount = 12;
constexpr std::array<const char*, kArrayCount> kArrayArguments = {
    "positions_matrix_array",
    "positions_market_value_matrix_array",
    "change_in_positions_matrix_array",
    "change_in_positions_market_value_matrix_array",
    "securities_pnl_matrix_array",
    "commissions_matrix_array",
    "slippage_matrix_array",
    "securities_pnl_after_transaction_costs_matrix_array",
    "total_pnl_after_transaction_costs_array",
    "equity_value_array",
    "returns_after_transaction_costs_array",
    "cumprod_returns_after_transaction_costs_array",
};
enum ArrayField : std::size_t {
  kSecuritiesPnl = 4,
  kCommissions = 5,
  kSlippage = 6,
  kTotalPnl = 8,
  kEquity = 9,
  kReturns = 10,
  kCumprodReturns = 11,
};

// The twelve exposed frames and series, then the results table; the test attributes are
// the same names with "test_" in front, in the same order.
constexpr std::size_t kExposedCount = 12;
constexpr std::array<const char*, kExposedCount + 1> kTrainingAttributes = {
    "positions_matrix_df",
    "positions_market_value_matrix_df",
    "change_in_positions_matrix_df",
    "change_in_positions_market_value_matrix_df",
    "securities_pnl_matrix_df",
    "commissions_matrix_df",
    "slippage_matrix_df",
    "securities_pnl_after_transaction_costs_matrix_df",
    "total_pnl_after_transaction_costs_series",
    "equity_value_series",
    "returns_after_transaction_costs_series",
    "cumprod_returns_after_transaction_costs_series",
    "full_results_df",
};
constexpr std::size_t kFullResults = kExposedCount;
constexpr std::size_t kTestOffset = kExposedCount + 1;
constexpr std::size_t kTestFullResults = kTestOffset + kFullResults;

struct Scorebook {
  std::int64_t bootstrap_resample_count = 10000;
  double starting_equity = 0.0;
  py::object securities_names_list = py::none();
  py::ssize_t datetime_length = 0;
  py::object datetime_array = py::none();
  std::array<py::object, kArrayCount> arrays;
  std::array<py::object, 2 * (kExposedCount + 1)> attributes;
  // (objective, universe name) of the run the record comes from, when its maker knows them:
  // the factor's final runs say which search chose their parameters. Only the plot reads it.
  py::object run_description = py::none();

  Scorebook() {
    for (auto& a : arrays) a = py::none();
    for (auto& a : attributes) a = py::none();
  }

  template <class F>
  void for_each_object(F&& f) {
    f(securities_names_list);
    f(datetime_array);
    for (auto& a : arrays) f(a);
    for (auto& a : attributes) f(a);
    f(run_description);
  }
};

// ---------------------------------------------------------------- small helpers

py::module_ this_module() { return py::module_::import(kModuleName); }
py::object global(const char* name) { return this_module().attr(name); }
py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

py::object label_slice(py::handle start, py::handle stop) {
  return builtin("slice")(start, stop);
}

[[noreturn]] void raise_python(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

// Runs `body`, turning C++ exceptions (the core's and pybind11's own) into the matching
// Python error, so that callers only ever have to look at py::error_already_set.
template <class Body>
auto with_python_errors(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (py::error_already_set&) {
    throw;
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  throw py::error_already_set();
}

// Python's tuple unpacking of `obj` into exactly `count` values, with its messages.
std::vector<py::object> unpack(py::handle obj, std::size_t count) {
  std::vector<py::object> values;
  for (py::handle item : obj) {
    if (values.size() == count) {
      raise_python(PyExc_ValueError,
                   "too many values to unpack (expected " + std::to_string(count) + ")");
    }
    values.push_back(py::reinterpret_borrow<py::object>(item));
  }
  if (values.size() < count) {
    raise_python(PyExc_ValueError, "not enough values to unpack (expected " +
                                       std::to_string(count) + ", got " +
                                       std::to_string(values.size()) + ")");
  }
  return values;
}

double to_double(py::handle obj) {
  const double value = PyFloat_AsDouble(obj.ptr());
  if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

py::ssize_t to_ssize(py::handle obj) {
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
  if (!index) throw py::error_already_set();
  const Py_ssize_t value = PyLong_AsSsize_t(index.ptr());
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

bool is_empty_frame(py::handle frame) { return py::bool_(frame.attr("empty")); }

// ---------------------------------------------------------------- array arguments

// The array checks of a typed float64 buffer argument: the wrong object is a TypeError
// naming the argument; the wrong shape or element type a ValueError. Never converts.
void check_array_type(py::handle obj, const char* argument) {
  if (obj.is_none()) return;
  if (!py::isinstance(obj, vb::numpy().attr("ndarray"))) {
    vb::raise_type_error("Argument '" + std::string(argument) +
                         "' has incorrect type (expected numpy.ndarray, got " +
                         vb::type_name(obj) + ")");
  }
}

py::array float64_buffer(py::handle obj, const char* argument, int ndim) {
  check_array_type(obj, argument);
  if (obj.is_none()) vb::raise_type_error("Argument '" + std::string(argument) + "' is None");
  return vb::float64_buffer(py::reinterpret_borrow<py::array>(obj), ndim);
}

Scorebook& record_of(py::handle self) { return py::cast<Scorebook&>(self); }

// ---------------------------------------------------------------- construction

std::unique_ptr<Scorebook> construct(const std::array<py::object, 16>& a) {
  const double starting_equity = to_double(a[0]);
  const py::ssize_t datetime_length = to_ssize(a[2]);
  vb::check_list(a[1], "securities_names_list");
  check_array_type(a[3], "datetime_array");
  for (std::size_t i = 0; i < kArrayCount; ++i) check_array_type(a[4 + i], kArrayArguments[i]);
  for (std::size_t i = 0; i < kArrayCount; ++i) {
    if (!a[4 + i].is_none()) float64_buffer(a[4 + i], kArrayArguments[i], i < kMatrixCount ? 2 : 1);
  }
  auto record = std::make_unique<Scorebook>();
  record->starting_equity = starting_equity;
  record->bootstrap_resample_count = 10000;
  record->securities_names_list = a[1];
  record->datetime_length = datetime_length;
  record->datetime_array = a[3];
  for (std::size_t i = 0; i < kArrayCount; ++i) record->arrays[i] = a[4 + i];
  record->attributes[kTestFullResults] = global("pd").attr("DataFrame")(py::dict());
  return record;
}

// ---------------------------------------------------------------- exposure

py::none expose_internal_variables(const py::object& self) {
  Scorebook& s = record_of(self);
  py::object pd = global("pd");
  py::object frame = pd.attr("DataFrame");
  py::object series = pd.attr("Series");
  for (std::size_t i = 0; i < kMatrixCount; ++i) {
    s.attributes[i] =
        frame(s.arrays[i], "index"_a = s.datetime_array, "columns"_a = s.securities_names_list);
  }
  py::object later_bars = s.datetime_array[label_slice(py::int_(1), py::none())];
  s.attributes[kTotalPnl] = series(s.arrays[kTotalPnl], "index"_a = s.datetime_array,
                                   "name"_a = kTrainingAttributes[kTotalPnl]);
  s.attributes[kEquity] = series(s.arrays[kEquity], "index"_a = s.datetime_array,
                                 "name"_a = kTrainingAttributes[kEquity]);
  s.attributes[kReturns] = series(s.arrays[kReturns], "index"_a = later_bars,
                                  "name"_a = kTrainingAttributes[kReturns]);
  s.attributes[kCumprodReturns] = series(s.arrays[kCumprodReturns], "index"_a = later_bars,
                                         "name"_a = kTrainingAttributes[kCumprodReturns]);
  return py::none();
}

// ---------------------------------------------------------------- daily series

py::tuple daily_returns_series_and_length(const py::object&, double starting_equity,
                                          const py::object& total_pnl,
                                          const py::object& datetime_index) {
  float64_buffer(total_pnl, "total_pnl_after_transaction_costs_array", 1);
  py::object pd = global("pd");
  py::object np = global("np");
  py::object bars =
      pd.attr("Series")(total_pnl, "index"_a = datetime_index, "name"_a = kBarSeriesName);
  py::object daily_pnl = bars.attr("resample")("1D").attr("sum")();
  py::object daily_equity = daily_pnl.attr("cumsum")() + py::float_(starting_equity);
  // dropna removes the first day and any 0/0 day; a day over an equity of exactly 0 is
  // kept with a return of 0.
  py::list infinities;
  infinities.append(std::numeric_limits<double>::infinity());
  infinities.append(-std::numeric_limits<double>::infinity());
  py::object daily_returns = (daily_pnl / daily_equity.attr("shift")())
                                 .attr("dropna")()
                                 .attr("replace")(infinities, np.attr("nan"))
                                 .attr("fillna")(0);
  const py::ssize_t days = py::len(daily_pnl);
  return py::make_tuple(bars, daily_equity, daily_returns, py::int_(days));
}

// ---------------------------------------------------------------- benchmark

// The benchmark's "Close" as one Series, from a flat frame or yfinance's two-level
// (Price, Ticker) columns; None when the download holds no usable close.
py::object benchmark_close(const py::object& download) {
  if (download.is_none() || !py::hasattr(download, "columns") || is_empty_frame(download)) {
    return py::none();
  }
  py::object columns = download.attr("columns");
  if (!py::bool_(columns.attr("__contains__")("Close"))) return py::none();
  py::object close = download["Close"];
  if (py::isinstance(close, global("pd").attr("DataFrame"))) {
    if (py::len(close.attr("columns")) == 0) return py::none();
    if (py::bool_(close.attr("columns").attr("__contains__")(kBenchmarkTicker))) {
      close = close[py::str(kBenchmarkTicker)];
    } else {
      close = close.attr("iloc")[py::make_tuple(label_slice(py::none(), py::none()), 0)];
    }
  }
  if (py::len(close.attr("dropna")()) == 0) return py::none();
  return close;
}

// Keeps yfinance quiet while it downloads: its logger's level is raised and warnings are
// ignored, both put back on every way out. Offline, one failed download writes half a dozen
// ERROR and WARNING lines of its own and lets pandas deprecation warnings through; the single
// warning of ours that follows says all a user needs.
class QuietDownload {
 public:
  QuietDownload()
      : warnings_(py::module_::import("warnings").attr("catch_warnings")()),
        logger_(py::module_::import("logging").attr("getLogger")("yfinance")),
        level_(logger_.attr("level")) {
    py::module_::import("warnings").attr("simplefilter")("ignore");
    logger_.attr("setLevel")(py::module_::import("logging").attr("CRITICAL").cast<int>() + 1);
  }
  QuietDownload(const QuietDownload&) = delete;
  QuietDownload& operator=(const QuietDownload&) = delete;
  ~QuietDownload() {
    py::error_scope keep_pending_error;
    try {
      logger_.attr("setLevel")(level_);
    } catch (py::error_already_set&) {
      // Nothing sensible to do while unwinding; the download's own outcome stands.
    }
  }

 private:
  vb::ScopedContext warnings_;  // left after the logger's level is put back
  py::object logger_;
  py::object level_;
};

// Daily benchmark returns for [start, end), None when they cannot be had. Each
// (ticker, start, end) is downloaded once per process, failures included, so a full table
// costs one download per stretch and a missing network is reported once.
py::object benchmark_daily_returns(const py::object& start, const py::object& end) {
  py::object cache = global("_benchmark_cache");
  py::object key = py::make_tuple(kBenchmarkTicker, start, end);
  if (py::bool_(cache.attr("__contains__")(key))) return cache[key];

  py::object returns = py::none();
  std::string reason = "the download returned no closes";
  try {
    py::object download;
    {
      QuietDownload quiet;
      download = global("yf").attr("download")(kBenchmarkTicker, "start"_a = start, "end"_a = end,
                                               "progress"_a = false);
    }
    py::object close = benchmark_close(download);
    if (!close.is_none()) {
      py::object index = close.attr("index");
      if (!py::getattr(index, "tz", py::none()).is_none()) {
        close = close.attr("tz_localize")(py::none());
      }
      returns = (close / close.attr("shift")() - py::int_(1))
                    .attr("dropna")()
                    .attr("resample")("1D")
                    .attr("first")()
                    .attr("fillna")(0);
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    reason = py::str(e.value()).cast<std::string>();
    if (reason.empty()) reason = vb::type_name(e.type());
    returns = py::none();
  }
  if (returns.is_none()) {
    vb::shared_logger().attr("warning")(
        "Benchmark %s unavailable for %s to %s (%s): annual_alpha and annual_beta are NaN",
        kBenchmarkTicker, py::str(start), py::str(end), reason);
  }
  cache[key] = returns;
  return returns;
}

// ---------------------------------------------------------------- results dictionary

// empyrical's stability, the R squared of a line fitted to the cumulative log returns. A
// flat stretch (no trade) has no such R squared: scipy's linregress gives NaN there since
// 1.16 but 0.0 before, so the same stretch would score differently by scipy release. Here it
// is NaN under every release, found by the same covariances that linregress computes.
double stability_of(const py::object& returns) {
  const double stability = to_double(global("empyrical").attr("stability_of_timeseries")(returns));
  if (stability != 0.0) return stability;
  py::object np = global("np");
  py::object values = np.attr("asanyarray")(returns);
  values = values[np.attr("logical_not")(np.attr("isnan")(values))];
  py::object cumulative = np.attr("log1p")(values).attr("cumsum")();
  py::object covariances = np.attr("cov")(np.attr("arange")(py::len(cumulative)), cumulative,
                                          "bias"_a = 1).attr("flatten")();
  const double ssxm = to_double(covariances[py::int_(0)]);
  const double ssxym = to_double(covariances[py::int_(1)]);
  const double ssym = to_double(covariances[py::int_(3)]);
  return (ssxm == 0.0 || ssym == 0.0) && ssxym == 0.0 ? kNaN : stability;
}

py::object rounded(const py::object& value) {
  return py::float_(to_double(builtin("round")(value, 5)));
}

// A money total truncated toward zero; NaN when it is not finite, so one bad bar cannot
// stop the table from being built.
py::object truncated(const py::object& value) {
  const double total = to_double(value);
  if (!std::isfinite(total)) return py::float_(kNaN);
  return builtin("int")(value);
}

py::dict generate_results_dict(const py::object&, const py::object& daily_equity,
                               const py::object& daily_returns, py::ssize_t days,
                               const py::object& start, const py::object& end,
                               const py::object& gross_pnl, const py::object& slippage,
                               const py::object& commissions, const py::object& net_pnl) {
  py::object np = global("np");
  py::object empyrical = global("empyrical");
  const py::object& r = daily_returns;

  py::object benchmark = benchmark_daily_returns(start, end);
  if (days < 1 || days > static_cast<py::ssize_t>(py::len(daily_equity))) {
    raise_python(PyExc_IndexError, "number of days " + std::to_string(days) +
                                       " is outside the daily equity series of " +
                                       std::to_string(py::len(daily_equity)) + " days");
  }
  py::object last_equity = daily_equity.attr("iloc")[py::int_(days - 1)];
  auto total = [&](const py::object& values) { return np.attr("sum")(np.attr("sum")(values)); };

  // The whole table is computed quietly: a flat or one-day stretch divides by zero in
  // several empyrical ratios, and those NaN and inf cells are the answer, not a warning.
  vb::NumpyErrstate quiet;
  py::object alpha = py::float_(kNaN), beta = py::float_(kNaN);
  if (!benchmark.is_none()) {
    py::object joined = benchmark.attr("to_frame")().attr("merge")(
        r.attr("to_frame")(), "how"_a = "inner", "left_index"_a = true, "right_index"_a = true);
    py::object all = label_slice(py::none(), py::none());
    auto ab = unpack(empyrical.attr("alpha_beta")(joined.attr("iloc")[py::make_tuple(all, 1)],
                                                  joined.attr("iloc")[py::make_tuple(all, 0)]),
                     2);
    alpha = ab[0];
    beta = ab[1];
  }
  const double daily_mean = to_double(np.attr("mean")(r));
  const double daily_std = to_double(np.attr("std")(r));
  const double daily_sharpe =
      vc::numpy_isclose(daily_std, 0.0, 1e-5, 1e-8) ? 0.0 : daily_mean / daily_std;

  py::dict d;
  d["annual_returns"] = rounded(empyrical.attr("annual_return")(r));
  d["annual_volatility"] = rounded(empyrical.attr("annual_volatility")(r));
  d["annual_sharpe_ratio"] = rounded(empyrical.attr("sharpe_ratio")(r));
  d["annnual_sortino_ratio"] = rounded(empyrical.attr("sortino_ratio")(r));
  d["annual_alpha"] = rounded(alpha);
  d["annual_beta"] = rounded(beta);
  d["daily_returns_series"] = rounded(py::float_(daily_mean));
  d["daily_volatility"] = rounded(py::float_(daily_std));
  d["daily_sharpe"] = rounded(py::float_(daily_sharpe));
  d["max_drawdown"] = rounded(empyrical.attr("max_drawdown")(r));
  d["stability_of_timeseries"] = rounded(py::float_(stability_of(r)));
  d["tail_ratio"] = rounded(empyrical.attr("tail_ratio")(r));
  d["value_at_risk"] = rounded(empyrical.attr("value_at_risk")(r));
  d["ending_equity"] = truncated(last_equity);
  d["gross_pnl"] = truncated(total(gross_pnl));
  d["total_slippage"] = truncated(total(slippage));
  d["total_commission"] = truncated(total(commissions));
  d["net_pnl"] = truncated(np.attr("sum")(net_pnl));
  return d;
}

py::object results_table(const py::dict& results, const py::object& column) {
  py::list columns;
  columns.append(column);
  return global("pd").attr("DataFrame").attr("from_dict")(results, "orient"_a = "index",
                                                          "columns"_a = columns);
}

py::object merge_on_rows(const py::object& left, const py::object& right) {
  return left.attr("merge")(right, "how"_a = "inner", "right_index"_a = true,
                            "left_index"_a = true);
}

// First and last labels of the daily equity index, the benchmark window.
std::pair<py::object, py::object> first_and_last_day(const py::object& daily_equity,
                                                     py::ssize_t days) {
  py::object index = daily_equity.attr("index");
  const py::ssize_t length = py::len(index);
  if (days < 1 || days > length) {
    raise_python(PyExc_IndexError, length == 0 ? "the stretch holds no bars"
                                               : "number of days " + std::to_string(days) +
                                                     " is outside the daily index of " +
                                                     std::to_string(length) + " days");
  }
  return {index[py::int_(0)], index[py::int_(days - 1)]};
}

py::tuple results_from_both_train_and_test_set(
    const py::object& self, const py::object& train_bars, const py::object& test_bars,
    const py::object& train_gross, const py::object& test_gross, const py::object& train_slippage,
    const py::object& test_slippage, const py::object& train_commissions,
    const py::object& test_commissions, const py::object& train_net, const py::object& test_net) {
  Scorebook& s = record_of(self);
  py::object pd = global("pd");
  py::object np = global("np");
  py::object joined = train_bars;
  if (!is_empty_frame(s.attributes[kTestFullResults])) {
    // Training bars first, then the test stretch as daily sums: both parts add up per day
    // when the daily series is rebuilt from the joined bars.
    py::list parts;
    parts.append(train_bars);
    parts.append(test_bars.attr("resample")("1D").attr("sum")());
    joined = pd.attr("concat")(parts);
  }
  py::object values = np.attr("ascontiguousarray")(joined.attr("values"), "dtype"_a = np.attr("float64"));
  auto daily = unpack(self.attr("__get_daily_returns_series_and_length")(
                          s.starting_equity, values, joined.attr("index").attr("values")),
                      4);
  const py::ssize_t days = to_ssize(daily[3]);
  auto [start, end] = first_and_last_day(daily[1], days);
  py::dict results = self.attr("__generate_results_dict")(
      daily[1], daily[2], days, start, end, np.attr("append")(train_gross, test_gross),
      np.attr("append")(train_slippage, test_slippage),
      np.attr("append")(train_commissions, test_commissions), np.attr("append")(train_net, test_net));
  py::object table = results_table(results, py::str("full_in_sample_results"));
  return py::make_tuple(daily[0], daily[2], py::int_(days), table);
}

// The arguments that the joined-stretch computation takes from a record with a test set.
py::tuple joined_stretch(const py::object& self, const py::object& train_bars) {
  Scorebook& s = record_of(self);
  auto test = [&](const char* name) { return self.attr(name); };
  return self.attr("__get_results_from_both_train_and_test_set")(
      train_bars, test("test_total_pnl_after_transaction_costs_series"),
      s.arrays[kSecuritiesPnl], test("test_securities_pnl_matrix_df").attr("values"),
      s.arrays[kSlippage], test("test_slippage_matrix_df").attr("values"), s.arrays[kCommissions],
      test("test_commissions_matrix_df").attr("values"), s.arrays[kTotalPnl],
      test("test_total_pnl_after_transaction_costs_series").attr("values"));
}

// The daily series and results dictionary of the record's own stretch.
struct OwnStretch {
  std::vector<py::object> daily;  // bar series, daily equity, daily returns, days
  py::ssize_t days = 0;
  py::dict results;
};

OwnStretch own_stretch(const py::object& self) {
  Scorebook& s = record_of(self);
  OwnStretch out;
  out.daily = unpack(self.attr("__get_daily_returns_series_and_length")(
                         s.starting_equity, s.arrays[kTotalPnl], s.datetime_array),
                     4);
  out.days = to_ssize(out.daily[3]);
  auto [start, end] = first_and_last_day(out.daily[1], out.days);
  out.results = self.attr("__generate_results_dict")(
      out.daily[1], out.daily[2], out.days, start, end, s.arrays[kSecuritiesPnl],
      s.arrays[kSlippage], s.arrays[kCommissions], s.arrays[kTotalPnl]);
  return out;
}

py::object get_full_results(const py::object& self, const py::object& name) {
  vb::check_str(name, "name");
  Scorebook& s = record_of(self);
  OwnStretch own = own_stretch(self);
  s.attributes[kFullResults] = results_table(own.results, name);
  if (is_empty_frame(s.attributes[kTestFullResults])) return s.attributes[kFullResults];
  s.attributes[kFullResults] =
      merge_on_rows(s.attributes[kFullResults], s.attributes[kTestFullResults]);
  py::tuple joined = joined_stretch(self, own.daily[0]);
  auto parts = unpack(joined, 4);
  s.attributes[kFullResults] = merge_on_rows(s.attributes[kFullResults], parts[3]);
  return s.attributes[kFullResults];
}

py::none register_test_set_results(const py::object& self, const py::object& test_set_results) {
  Scorebook& s = record_of(self);
  test_set_results.attr("expose_internal_variables")();
  s.attributes[kTestFullResults] =
      test_set_results.attr("get_full_results")("name"_a = "test_set_results");
  for (std::size_t i = 0; i < kExposedCount; ++i) {
    s.attributes[kTestOffset + i] = test_set_results.attr(kTrainingAttributes[i]);
  }
  return py::none();
}

// ---------------------------------------------------------------- bootstrap

bool native_resample_in_place() {
  py::object current = global("bootstrapping_resample");
  return current.is(py::module_::import("sklearn.utils").attr("resample"));
}

struct Path {
  py::array_t<double> sample;
  py::array_t<double> cumprod;
};

// One path through whatever `bootstrapping_resample` the module now holds.
Path resampled_path_through_global(const py::object& x, std::uint32_t seed) {
  py::object np = global("np");
  py::object sample = np.attr("asarray")(
      global("bootstrapping_resample")(x, "random_state"_a = seed), "dtype"_a = np.attr("float64"));
  py::object cumprod = np.attr("cumprod")(py::int_(1) + sample);
  return {sample.cast<py::array_t<double>>(), cumprod.cast<py::array_t<double>>()};
}

py::tuple bootstrapped_cumprod_daily_returns(const py::object& self, py::ssize_t length,
                                             const py::object& daily_returns,
                                             const py::object& percentiles) {
  Scorebook& s = record_of(self);
  py::object np = global("np");
  std::vector<double> wanted;
  for (py::handle p : percentiles) wanted.push_back(to_double(p));

  py::array x = np.attr("ascontiguousarray")(daily_returns.attr("fillna")(0).attr("values"),
                                             "dtype"_a = np.attr("float64"));
  const py::ssize_t n = x.size();
  if (x.ndim() != 1 || n != length) {
    raise_python(PyExc_ValueError, "could not broadcast input array from shape (" +
                                       std::to_string(n) + ",) into shape (" +
                                       std::to_string(length) + ",)");
  }
  if (n == 0) raise_python(PyExc_IndexError, "cannot bootstrap an empty returns series");
  const std::int64_t count = s.bootstrap_resample_count;
  if (count < 0) raise_python(PyExc_ValueError, "negative bootstrap resample count");

  const bool native = native_resample_in_place();
  py::array_t<double> finals(static_cast<py::ssize_t>(count));
  double* finals_data = finals.mutable_data();
  const double* xs = static_cast<const double*>(x.data());
  if (native) {
    vb::InterruptPoller poller(true);
    with_python_errors([&] {
      py::gil_scoped_release release;
      vc::bootstrap_final_values(xs, n, count, kFirstSeed, finals_data, [&] { poller.poll(); });
    });
  } else {
    for (std::int64_t k = 0; k < count; ++k) {
      Path path = resampled_path_through_global(x, kFirstSeed + static_cast<std::uint32_t>(k));
      if (path.cumprod.size() != static_cast<py::ssize_t>(n)) {
        raise_python(PyExc_ValueError, "a resampled path does not have the series' length");
      }
      finals_data[k] = path.cumprod.at(n - 1);
    }
  }

  py::list return_rows, cumulative_paths;
  for (double p : wanted) {
    const double target = to_double(np.attr("percentile")(finals, p));
    const std::ptrdiff_t match = vc::first_close_path(finals_data, count, target);
    if (match < 0) continue;
    const auto seed = kFirstSeed + static_cast<std::uint32_t>(match);
    Path path;
    if (native) {
      path.sample = py::array_t<double>(n);
      path.cumprod = py::array_t<double>(n);
      with_python_errors([&] {
        vc::bootstrap_path(xs, n, seed, path.sample.mutable_data(), path.cumprod.mutable_data());
      });
    } else {
      path = resampled_path_through_global(x, seed);
    }
    return_rows.append(path.sample);
    cumulative_paths.append(path.cumprod);
  }
  return py::make_tuple(return_rows, cumulative_paths);
}

// ---------------------------------------------------------------- extrapolations

py::tuple extrapolations_from_train_set(const py::object&, const py::object& daily_returns,
                                        const py::object& dates) {
  py::object np = global("np");
  py::object pd = global("pd");
  const py::ssize_t m = py::len(daily_returns);
  const py::ssize_t n_dates = py::len(dates);
  py::object first_date = dates[py::int_(0)];
  py::object window_start = first_date - pd.attr("Timedelta")("days"_a = 1);
  py::object window_end = dates[py::int_(n_dates - 1)];
  py::object window = daily_returns.attr("loc")[label_slice(window_start, window_end)];
  const double mean = to_double(np.attr("mean")(window));
  const double sd = to_double(np.attr("std")(window));
  py::array_t<double> line(m), upper(m), lower(m);
  vc::straight_line_extrapolation(mean, sd, m, line.mutable_data(), upper.mutable_data(),
                                  lower.mutable_data());
  return py::make_tuple(line, upper, lower);
}

// ---------------------------------------------------------------- objectives

double empyrical_on(const char* function, const py::object& series) {
  return to_double(global("empyrical").attr(function)(series));
}

double activity_of(const py::object& values_source) {
  py::object np = global("np");
  py::array values = np.attr("ascontiguousarray")(values_source, "dtype"_a = np.attr("float64"));
  return vc::activity_weight(static_cast<const double*>(values.data()), values.size());
}

double nan_to(double value, double fallback) { return std::isnan(value) ? fallback : value; }

double latest_cumprod_return(const Scorebook& s) {
  const py::object& cumprod = s.arrays[kCumprodReturns];
  if (cumprod.is_none()) {
    raise_python(PyExc_TypeError, "cumprod_returns_after_transaction_costs_array is None");
  }
  // Held for as long as the view reads it: it may be an aligned copy.
  const py::array values = float64_buffer(cumprod, "cumprod_returns_after_transaction_costs_array", 1);
  const vb::View1D view = vb::view_1d(values);
  const py::ssize_t index = s.datetime_length - 2;
  if (index < 0 || index >= view.size) {
    raise_python(PyExc_IndexError, "datetime_length " + std::to_string(s.datetime_length) +
                                       " points outside the " + std::to_string(view.size) +
                                       " cumulative returns");
  }
  return view[index];
}

double compute_objective_score(const py::object& self, const py::object& objective) {
  Scorebook& s = record_of(self);
  py::object available = self.attr("available_objectives");
  vb::check_assigned_type(available, reinterpret_cast<PyObject*>(&PyList_Type));
  const int contained = PySequence_Contains(available.ptr(), objective.ptr());
  if (contained < 0) throw py::error_already_set();
  if (contained == 0) vb::raise_plain("Objective specified is not available");
  const std::string name = objective.cast<std::string>();

  if (name == "latest_cumprod_returns") return latest_cumprod_return(s);

  auto daily = unpack(self.attr("__get_daily_returns_series_and_length")(
                          s.starting_equity, s.arrays[kTotalPnl], s.datetime_array),
                      4);
  const py::object r = daily[2];
  to_ssize(daily[3]);  // the number of days must be an integer, as the table needs it
  py::object np = global("np");

  if (name == "annual_sortino_ratio") {
    vb::NumpyErrstate quiet;
    return nan_to(empyrical_on("sortino_ratio", r), 0.0);
  }
  if (name == "annual_sharpe_ratio") {
    vb::NumpyErrstate quiet;
    return nan_to(empyrical_on("sharpe_ratio", r), 0.0);
  }
  if (name == "activity_weighted_annual_sharpe_ratio") {
    vb::NumpyErrstate quiet;
    const double sharpe = empyrical_on("sharpe_ratio", r);
    if (std::isnan(sharpe)) return 0.0;
    return sharpe * activity_of(r.attr("values"));
  }
  if (name == "daily_sharpe_ratio" || name == "activity_weighted_daily_sharpe_ratio") {
    const double mean = to_double(np.attr("mean")(r));
    const double sd = to_double(np.attr("std")(r));
    if (name == "daily_sharpe_ratio") {
      return vc::numpy_isclose(sd, 0.0, 1e-5, 1e-8) ? 0.0 : mean / sd;
    }
    if (sd == 0.0) return 0.0;
    return activity_of(r.attr("values")) * (mean / sd);
  }

  const bool bootstrapped =
      name == "median_boostrapped_cumprod_returns" ||
      name == "25_percentile_boostrapped_cumprod_returns" ||
      name == "stability_weighted_median_bootstrapped_cumprod_returns" ||
      name == "stability_weighted_25_percentile_bootstrapped_cumprod_returns" ||
      name == "activity_weighted_annual_sharpe_from_median_bootstrapped_returns" ||
      name == "activity_weighted_annual_sharpe_from_25_bootstrapped_returns" ||
      name == "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns" ||
      name == "stability_activity_weighted_annual_sharpe_from_25_bootstrapped_returns";
  if (!bootstrapped) return 0.0;

  // Every bootstrapped objective, the "25" ones included, reads the 50th percentile path:
  // studies already stored were scored that way.
  py::list median;
  median.append(50);
  auto lists = unpack(self.attr("__get_bootstrapped_cumprod_daily_returns")(
                          py::len(r), r, median),
                      2);
  py::object path = lists[1][py::int_(0)];
  py::object row = lists[0][py::int_(0)];
  const py::ssize_t path_length = py::len(path);
  if (path_length == 0) raise_python(PyExc_IndexError, "the bootstrapped path is empty");
  const double final_value = to_double(path[py::int_(path_length - 1)]);

  if (name == "median_boostrapped_cumprod_returns" ||
      name == "25_percentile_boostrapped_cumprod_returns") {
    return final_value - 1.0;
  }
  if (name == "stability_weighted_median_bootstrapped_cumprod_returns" ||
      name == "stability_weighted_25_percentile_bootstrapped_cumprod_returns") {
    vb::NumpyErrstate quiet;
    const double stability = stability_of(r);
    return nan_to((final_value - 1.0) * stability, -1.0);
  }
  py::object b = global("pd").attr("Series")(row, "index"_a = r.attr("index"));
  vb::NumpyErrstate quiet;
  const double sharpe = empyrical_on("sharpe_ratio", b);
  const double activity = activity_of(b.attr("values"));
  if (name == "activity_weighted_annual_sharpe_from_median_bootstrapped_returns" ||
      name == "activity_weighted_annual_sharpe_from_25_bootstrapped_returns") {
    return nan_to(sharpe * activity, 0.0);
  }
  const double stability = stability_of(b);
  return nan_to(sharpe * activity * stability, 0.0);
}

// Prints the traceback, hands the error to sys.unraisablehook with the operation as
// context, and leaves no error set.
void report_unscored(py::error_already_set& e) {
  py::module_ sys = py::module_::import("sys");
  auto or_none = [](const py::object& o) { return o ? o : py::none(); };
  py::object stderr_stream = sys.attr("stderr");
  if (or_none(e.trace()).is_none()) {
    // Raised by the native code itself, so Python recorded no frame: name the operation.
    stderr_stream.attr("write")(std::string("Traceback (most recent call last):\n  in ") +
                                kScoreContext + "\n");
  }
  py::module_::import("traceback")
      .attr("print_exception")(or_none(e.type()), or_none(e.value()), or_none(e.trace()),
                               "file"_a = stderr_stream);
  py::str context(kScoreContext);
  e.restore();
  PyErr_WriteUnraisable(context.ptr());
}

double objective_score_with_errors(const py::object& self, const py::object& objective) {
  return with_python_errors([&] { return compute_objective_score(self, objective); });
}

// The score with its error raised: the factor's trials fail on an objective that cannot be
// computed rather than score it 0.0.
double get_objective_score_or_raise(const py::object& self, const py::object& objective) {
  vb::check_str(objective, "objective");
  return objective_score_with_errors(self, objective);
}

double get_objective_score(const py::object& self, const py::object& objective) {
  vb::check_str(objective, "objective");  // a wrong type is the caller's error, not a score
  try {
    return objective_score_with_errors(self, objective);
  } catch (py::error_already_set& e) {
    // A record that cannot be scored counts as 0.0; Ctrl-C and exits still get through.
    if (!e.matches(PyExc_Exception)) throw;
    report_unscored(e);
    return 0.0;
  }
}

// ---------------------------------------------------------------- plot

void plot_curve(const py::object& x, const py::object& y, const char* label, const char* color,
                double alpha, bool dashed) {
  py::object plot = global("plt").attr("plot");
  if (dashed) {
    plot(x, y, "label"_a = label, "color"_a = color, "alpha"_a = alpha, "linestyle"_a = "--");
  } else {
    plot(x, y, "color"_a = color, "alpha"_a = alpha, "label"_a = label);
  }
}

// "<universe>, best parameters for <objective>: growth of 1 ...", as far as the record knows its run.
std::string plot_title(const Scorebook& s) {
  std::string objective, universe;
  if (PyTuple_Check(s.run_description.ptr()) && py::len(s.run_description) == 2) {
    py::tuple description = py::reinterpret_borrow<py::tuple>(s.run_description);
    if (PyUnicode_Check(description[0].ptr())) objective = description[0].cast<std::string>();
    if (PyUnicode_Check(description[1].ptr())) universe = description[1].cast<std::string>();
  }
  std::string head = universe;
  if (!objective.empty()) head += (head.empty() ? "" : ", ") + std::string("best parameters for ") + objective;
  // A long head (the objective names run to 70 characters) goes on a line of its own, so the
  // title stays within the figure.
  std::string title = head.empty() ? "Growth of 1 after transaction costs"
                                   : head + (head.size() > 60 ? ":\n" : ": ") + "growth of 1 after transaction costs";
  // matplotlib reads text between two '$' as a formula: a name holding one is shown as written.
  for (std::size_t at = title.find('$'); at != std::string::npos; at = title.find('$', at + 2)) {
    title.insert(at, 1, '\\');
  }
  return title;
}

py::none plot_full_results(const py::object& self, const py::object& plot_alternate_paths,
                           const py::object& plot_extrapolations) {
  Scorebook& s = record_of(self);
  py::object pd = global("pd");
  const bool draw_paths = py::bool_(plot_alternate_paths);
  const bool draw_extrapolations = py::bool_(plot_extrapolations);

  OwnStretch own = own_stretch(self);
  const bool with_test = !is_empty_frame(s.attributes[kTestFullResults]);
  py::object returns = own.daily[2];
  if (!with_test) {
    s.attributes[kFullResults] = results_table(own.results, py::str("results"));
  } else {
    s.attributes[kFullResults] = results_table(own.results, py::str("train_set_results"));
    s.attributes[kFullResults] =
        merge_on_rows(s.attributes[kFullResults], s.attributes[kTestFullResults]);
    auto joined = unpack(joined_stretch(self, own.daily[0]), 4);
    s.attributes[kFullResults] = merge_on_rows(s.attributes[kFullResults], joined[3]);
    returns = joined[1];
  }
  py::object growth = (returns + py::int_(1)).attr("cumprod")();
  py::object returns_dates = returns.attr("index");

  py::object training_dates = own.daily[0].attr("resample")("1D").attr("last")().attr("index");
  py::object test_dates = py::none();
  if (with_test) {
    test_dates = self.attr("test_total_pnl_after_transaction_costs_series")
                     .attr("resample")("1D")
                     .attr("last")()
                     .attr("index");
    training_dates =
        training_dates.attr("append")(test_dates[label_slice(py::int_(0), py::int_(1))]);
  }

  // The worst and best alternative paths. A percentile that matched no path is left out of
  // the drawing rather than failing the whole report.
  py::object worst = py::none(), best = py::none();
  const py::ssize_t length = py::len(returns);
  if (length > 0) {
    auto bootstrap = [&](std::initializer_list<int> ps) {
      py::list wanted;
      for (int p : ps) wanted.append(p);
      return py::list(unpack(self.attr("__get_bootstrapped_cumprod_daily_returns")(
                                 length, returns, wanted),
                             2)[1]);
    };
    py::list paths = bootstrap({5, 95});
    if (py::len(paths) >= 2) {
      worst = paths[0];
      best = paths[1];
    } else if (py::len(paths) == 1) {
      if (py::len(bootstrap({5})) == 1) {
        worst = paths[0];
      } else {
        best = paths[0];
      }
    }
    if (worst.is_none() || best.is_none()) {
      vb::shared_logger().attr("warning")(
          "No bootstrapped path sits at the %s percentile: it is not drawn",
          worst.is_none() && best.is_none() ? "5th and 95th" : (worst.is_none() ? "5th" : "95th"));
    }
  }
  auto bands = unpack(self.attr("__get_extrapolations_from_train_set")(returns, training_dates), 3);

  py::print(global("tabulate")(s.attributes[kFullResults], "headers"_a = "keys",
                               "tablefmt"_a = "psql"));

  if (draw_extrapolations) {
    plot_curve(returns_dates, bands[1], "upper_bound_2sd_extrapolation_from_train_set",
               "darkgreen", 0.5, true);
    plot_curve(returns_dates, bands[2], "lower_bound_2sd_extrapolation_from_train_set", "darkred",
               0.5, true);
    plot_curve(returns_dates, bands[0], "straight_line_extrapolation_from_train_set", "black",
               0.5, true);
  }
  const py::ssize_t m = py::len(training_dates);
  py::object one_day = pd.attr("Timedelta")("days"_a = 1);
  py::object first_training_date = training_dates[py::int_(0)];
  py::object window_start = first_training_date - one_day;
  py::object last_training_date = training_dates[py::int_(m - 1)];
  py::object training_curve =
      growth.attr("loc")[label_slice(window_start, last_training_date + one_day)];
  plot_curve(training_curve.attr("index"), training_curve, "train_set_cumprod_equity_curve",
             "blue", 1.0, false);
  if (with_test) {
    py::object test_curve = growth.attr("loc")[label_slice(last_training_date, py::none())];
    // The curve's own dates: they are the test days unless a day dropped out of the
    // returns, which must not break the plot.
    py::object x = py::len(test_curve) == py::len(test_dates) ? test_dates
                                                               : test_curve.attr("index");
    plot_curve(x, test_curve, "test_set_cumprod_equity_curve", "purple", 1.0, false);
    // Where the held-out stretch begins: the curves' colours alone do not show it in grey print.
    global("plt").attr("axvline")(test_dates[py::int_(0)], "color"_a = "dimgrey", "linestyle"_a = ":",
                                  "linewidth"_a = 1.5, "label"_a = "train_test_boundary");
  }
  if (draw_paths) {
    if (!worst.is_none()) {
      plot_curve(returns_dates, worst, "worst_outcome_alternate_path", "red", 0.33, false);
    }
    if (!best.is_none()) {
      plot_curve(returns_dates, best, "best_outcome_alternate_path", "green", 0.33, false);
    }
  }
  global("plt").attr("title")(plot_title(s));
  global("plt").attr("xlabel")("date");
  // Every curve is the value of 1 invested at the start of the extrapolation window.
  global("plt").attr("ylabel")("growth of 1 (cumulative return after transaction costs)");
  global("plt").attr("legend")();
  global("plt").attr("show")();
  return py::none();
}

// ---------------------------------------------------------------- registration

void add_public_attribute(py::class_<Scorebook>& cls, std::size_t slot, const std::string& name,
                          const std::string& doc) {
  py::cpp_function fget([slot](Scorebook& s) { return s.attributes[slot]; });
  py::cpp_function fset([slot](Scorebook& s, py::object value) { s.attributes[slot] = value; });
  py::cpp_function fdel([slot](Scorebook& s) { s.attributes[slot] = py::none(); });
  cls.attr(name.c_str()) = builtin("property")(fget, fset, fdel, doc);
}

void import_dependencies(py::module_& m) {
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  m.attr("empyrical") = py::module_::import("empyrical");
  m.attr("yf") = py::module_::import("yfinance");
  m.attr("sns") = py::module_::import("seaborn");
  m.attr("tabulate") = py::module_::import("tabulate").attr("tabulate");
  m.attr("plt") = py::module_::import("matplotlib.pyplot");
  m.attr("bootstrapping_resample") = py::module_::import("sklearn.utils").attr("resample");
  // Benchmark downloads of this process, keyed by (ticker, start, end); None for a failure.
  m.attr("_benchmark_cache") = py::dict();
  m.attr("sns").attr("set_style")("darkgrid");
  m.attr("plt").attr("rcParams")["figure.figsize"] = py::make_tuple(14, 8);
}

}  // namespace

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) {
  m.doc() = "Backtest results: the Scorebook record, its results table, objectives and plot.";
  // Documentation strings open with their summary line, without generated signatures.
  py::options options;
  options.disable_function_signatures();
  m.attr("logger") = vb::setup_module_logging();
  import_dependencies(m);

  py::class_<Scorebook> cls(m, "Scorebook", vb::gc_type_setup<Scorebook>(),
                            R"doc(The record of one backtest stretch (the training or the test part of a run).

Keeps the arrays of the stretch as given and derives from them the results table against
the "VT" benchmark, the fourteen objective scores, bootstrapped alternative paths and a plot.
A test-stretch record can be registered in a training record so one object reports both.
)doc");

  py::list objectives;
  for (const char* name : kObjectiveNames) objectives.append(name);
  cls.attr("available_objectives") = objectives;

  cls.def(py::init([](py::object starting_equity, py::object securities_names_list,
                      py::object datetime_length, py::object datetime_array, py::object a5,
                      py::object a6, py::object a7, py::object a8, py::object a9, py::object a10,
                      py::object a11, py::object a12, py::object a13, py::object a14,
                      py::object a15, py::object a16) {
                return construct({starting_equity, securities_names_list, datetime_length,
                                  datetime_array, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14,
                                  a15, a16});
              }),
          "starting_equity"_a, "securities_names_list"_a, "datetime_length"_a, "datetime_array"_a,
          "positions_matrix_array"_a, "positions_market_value_matrix_array"_a,
          "change_in_positions_matrix_array"_a, "change_in_positions_market_value_matrix_array"_a,
          "securities_pnl_matrix_array"_a, "commissions_matrix_array"_a,
          "slippage_matrix_array"_a, "securities_pnl_after_transaction_costs_matrix_array"_a,
          "total_pnl_after_transaction_costs_array"_a, "equity_value_array"_a,
          "returns_after_transaction_costs_array"_a,
          "cumprod_returns_after_transaction_costs_array"_a, R"doc(Builds the record of one backtest stretch. The arrays are kept, not copied.

Args:
    starting_equity (float): equity at the start of the stretch.
    securities_names_list (list or None): security names, the matrices' column labels.
    datetime_length (int): number of bars T of the stretch.
    datetime_array (numpy.ndarray or None): the bars' datetime64 time stamps, T entries.
    positions_matrix_array ... securities_pnl_after_transaction_costs_matrix_array
        (numpy.ndarray or None): eight T x S float64 matrices of units, market values,
        their changes, profit and loss before costs, commissions, slippage and profit and
        loss after costs.
    total_pnl_after_transaction_costs_array, equity_value_array (numpy.ndarray or None):
        T float64 values per bar.
    returns_after_transaction_costs_array, cumprod_returns_after_transaction_costs_array
        (numpy.ndarray or None): T - 1 float64 values, from the second bar on.

Returns:
    Scorebook: a record with an empty test_full_results_df and every other attribute None.
)doc");

  for (std::size_t i = 0; i < kTrainingAttributes.size(); ++i) {
    const std::string name = kTrainingAttributes[i];
    add_public_attribute(cls, i, name, "Training stretch: " + name + " (None until filled).");
  }
  for (std::size_t i = 0; i < kTrainingAttributes.size(); ++i) {
    const std::string name = std::string("test_") + kTrainingAttributes[i];
    add_public_attribute(cls, kTestOffset + i, name,
                         "Registered test stretch: " + name + " (None until filled).");
  }

  cls.def("get_objective_score", &get_objective_score, "objective"_a = kDefaultObjective, R"doc(Scores the stretch on one objective of available_objectives.

An error during the computation is printed with its traceback on stderr, passed to
sys.unraisablehook, and scores 0.0 (the factor's search does not take that 0.0: a trial
whose objective cannot be computed fails). The "25" objectives use the 50th percentile
path, like their median twins.

Args:
    objective (str or None): the objective's name.

Returns:
    float: the score.
)doc");
  cls.def("__get_objective_score_or_raise", &get_objective_score_or_raise, "objective"_a = kDefaultObjective,
          R"doc(get_objective_score with the computation's error raised instead of scored 0.0.

Args:
    objective (str or None): the objective's name.

Returns:
    float: the score.
)doc");
  cls.def("__get_daily_returns_series_and_length", &daily_returns_series_and_length,
          "starting_equity"_a, "total_pnl_after_transaction_costs_array"_a, "datetime_array"_a,
          py::pos_only(), R"doc(Daily series of a stretch.

Args:
    starting_equity (float): equity at the start.
    total_pnl_after_transaction_costs_array (numpy.ndarray): 1-D float64 bar profits.
    datetime_array (numpy.ndarray): the bars' datetime64 stamps.

Returns:
    tuple: (bar profit series, daily equity series, daily returns series, number of days).
)doc");
  cls.def("expose_internal_variables", &expose_internal_variables, R"doc(Fills the twelve training frames and series from the stored arrays.

Returns:
    None
)doc");
  cls.def("register_test_set_results", &register_test_set_results,
          "test_set_results"_a = py::none(), R"doc(Registers the record of the test stretch in this (training) record.

Args:
    test_set_results (Scorebook): the test record; its frames and series are shared.

Returns:
    None
)doc");
  cls.def("get_full_results", &get_full_results, "name"_a = "train_results", R"doc(Builds the results table and stores it in full_results_df.

Args:
    name (str or None): the label of this stretch's column.

Returns:
    pandas.DataFrame: 18 rows; with a registered test set also the columns
    "test_set_results" and "full_in_sample_results".
)doc");
  cls.def("plot_full_results", &plot_full_results, "plot_alternate_paths"_a = true,
          "plot_extrapolations"_a = true, R"doc(Prints the results table and plots the cumulative returns of the stretch (and of the
registered test stretch) with extrapolations and the 5th/95th percentile bootstrapped paths.

Args:
    plot_alternate_paths (bool): draw the worst and best bootstrapped paths.
    plot_extrapolations (bool): draw the straight-line extrapolation and its 2 sd band.

Returns:
    None
)doc");
  cls.def("__generate_results_dict", &generate_results_dict, "daily_equity_series"_a,
          "daily_returns_series"_a, "number_of_days"_a, "start"_a, "end"_a, "gross_pnl"_a,
          "slippage"_a, "commissions"_a, "net_pnl"_a, py::pos_only(), R"doc(The 18 entries of one results column.

Returns:
    dict: performance ratios rounded to 5 decimals and money totals truncated to integers.
)doc");
  cls.def("__get_results_from_both_train_and_test_set",
          &results_from_both_train_and_test_set, "train_bars"_a, "test_bars"_a,
          "train_gross_pnl"_a, "test_gross_pnl"_a, "train_slippage"_a, "test_slippage"_a,
          "train_commissions"_a, "test_commissions"_a, "train_net_pnl"_a, "test_net_pnl"_a,
          py::pos_only(), R"doc(Results of the training and test stretches joined.

Returns:
    tuple: (joined bar series, joined daily returns, number of days, one-column table).
)doc");
  cls.def("__get_bootstrapped_cumprod_daily_returns",
          &bootstrapped_cumprod_daily_returns, "length"_a, "daily_returns_series"_a,
          "percentiles"_a, py::pos_only(), R"doc(Bootstrapped alternative histories of the daily returns.

Args:
    length (int): the length of the returns series.
    daily_returns_series (pandas.Series): the observed daily returns.
    percentiles (list): percentiles of the final cumulative value to pick paths at.

Returns:
    tuple: (resampled return rows, cumulative paths), one entry per matched percentile.
)doc");
  cls.def("__get_extrapolations_from_train_set", &extrapolations_from_train_set,
          "daily_returns_series"_a, "dates"_a, py::pos_only(), R"doc(Straight-line extrapolation of the mean daily return over a dated window with a 2 sd band.

Returns:
    tuple: (straight line, upper band, lower band), one value per daily return.
)doc");
  {
    py::cpp_function fget([](Scorebook& s) { return s.run_description; });
    py::cpp_function fset([](Scorebook& s, py::object value) { s.run_description = value; });
    cls.attr("_run_description") = builtin("property")(
        fget, fset, py::none(),
        "(objective, universe name) of the run the record comes from, or None: the plot's title "
        "names them.");
  }
  vb::refuse_pickling(cls);
}
