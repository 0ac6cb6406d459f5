// PairsTradingSerialCointegrationFactor: construction, cleaning into working arrays, the
// slippage spread estimate, the classifier load hook, pickling and cyclic GC.

#include "factors/technical/register.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "factors/technical/factor_state.hpp"
#include "factors/technical/factor_walk.hpp"
#include "factors/technical/history_span.hpp"
#include "factors/technical/search.hpp"
#include "factors/technical/study_watch.hpp"
#include "factors/technical/walk_params.hpp"
#include "velmora/core/factor/cleaning.hpp"
#include "velmora/core/labels.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;
namespace cf = velmora::core::factor;
namespace cp = velmora::core::pairs;

namespace {

constexpr const char* kModuleName = "velmora.factors.technical.cointpairs";
constexpr const char* kFactorName = "PairsTradingSerialCointegrationFactor";
constexpr const char* kDefaultObjective =
    "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns";

py::module_ this_module() { return py::module_::import(kModuleName); }
py::module_ pandas() { return py::module_::import("pandas"); }

// ---------------------------------------------------------------- argument conversion

std::int64_t to_long(py::handle obj) {
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
  if (!index) throw py::error_already_set();
  const long long v = PyLong_AsLongLong(index.ptr());
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

double to_double(py::handle obj) {
  const double v = PyFloat_AsDouble(obj.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

// ---------------------------------------------------------------- trading hours

std::int64_t time_of_day_us(py::handle t) {
  return ((t.attr("hour").cast<std::int64_t>() * 60 + t.attr("minute").cast<std::int64_t>()) * 60 +
          t.attr("second").cast<std::int64_t>()) *
             1'000'000 +
         t.attr("microsecond").cast<std::int64_t>();
}

// Each entry must unpack into exactly (start, end) of datetime.time; a length of None or an
// entry of another shape fails with the host's own error.
std::vector<cf::TradingPeriod> parse_trading_hours(py::handle trading_hours) {
  if (trading_hours.is_none()) {
    raise_type_error("object of type 'NoneType' has no len()");
  }
  py::module_ datetime = py::module_::import("datetime");
  py::object time_type = datetime.attr("time");
  std::vector<cf::TradingPeriod> periods;
  for (py::handle entry : trading_hours) {
    py::tuple pair = py::tuple(py::module_::import("builtins").attr("tuple")(entry));
    if (pair.size() != 2) {
      PyErr_SetString(PyExc_ValueError,
                      pair.size() < 2
                          ? ("not enough values to unpack (expected 2, got " + std::to_string(pair.size()) + ")").c_str()
                          : "too many values to unpack (expected 2)");
      throw py::error_already_set();
    }
    for (py::handle t : pair) {
      if (!py::isinstance(t, time_type)) {
        raise_type_error("trading_hours entries must hold datetime.time values, got " + type_name(t));
      }
    }
    periods.push_back({time_of_day_us(pair[0]), time_of_day_us(pair[1])});
  }
  return periods;
}

// ---------------------------------------------------------------- cleaning

std::string resample_rule(std::int64_t resolution_in_mins) {
  // Whole days are calendar days of the index's zone: fixed multiples of 1440 minutes would
  // drift by an hour across a daylight-saving change and put bars on the wrong day.
  if (resolution_in_mins % 1440 == 0) return std::to_string(resolution_in_mins / 1440) + "D";
  return std::to_string(resolution_in_mins) + "min";
}

// The labels' endings of a security's price columns.
constexpr std::array<std::string_view, 4> kPriceSuffixes = {"_open", "_high", "_close", "_low"};

bool has_suffix(py::handle label, std::string_view suffix) {
  if (!PyUnicode_Check(label.ptr())) return false;
  const std::string s = label.cast<std::string>();
  return core::security_of_label(s, suffix).has_value();
}

py::array_t<bool> filter_trading_hours(py::handle index, const std::vector<cf::TradingPeriod>& periods) {
  py::module_ np = numpy();
  // Wall-clock time of day in the index's own zone, the zone the caller gives hours in.
  py::object local = index.attr("tz_localize")(py::none()).attr("as_unit")("ns");
  py::array_t<std::int64_t> ns = np.attr("ascontiguousarray")(local.attr("asi8"), "int64");
  py::array_t<std::int64_t> tod =
      np.attr("remainder")(ns, py::int_(cf::kMicrosPerDay * 1000));
  const auto n = static_cast<std::ptrdiff_t>(tod.size());
  py::array_t<bool> mask(n);
  cf::trading_hours_mask(tod.data(), n, periods, mask.mutable_data());
  return mask;
}

// An owned C-contiguous float64 copy of a frame's values.
py::array owned_matrix(py::handle frame) {
  py::module_ np = numpy();
  py::object values = frame.attr("to_numpy")(py::arg("dtype") = np.attr("float64"));
  return np.attr("array")(values, py::arg("dtype") = np.attr("float64"), py::arg("order") = "C",
                          py::arg("copy") = true);
}

std::string security_of_price_label(py::handle label) {
  const std::string s = label.cast<std::string>();
  for (const std::string_view suffix : kPriceSuffixes) {
    if (auto name = core::security_of_label(s, suffix)) return std::string(*name);
  }
  return s;
}

// A frame's price labels (open, high, close, low) and volume labels, in column order, with
// their column positions.
struct LabelGroups {
  py::list prices, volumes;
  std::vector<std::ptrdiff_t> price_columns, volume_columns;
};

LabelGroups label_groups(py::handle columns) {
  LabelGroups g;
  std::ptrdiff_t c = 0;
  for (py::handle label : columns) {
    if (std::any_of(kPriceSuffixes.begin(), kPriceSuffixes.end(),
                    [&](std::string_view suffix) { return has_suffix(label, suffix); })) {
      g.prices.append(label);
      g.price_columns.push_back(c);
    } else if (has_suffix(label, "_volume")) {
      g.volumes.append(label);
      g.volume_columns.push_back(c);
    }
    ++c;
  }
  return g;
}

// The bars in which a security holds a price nobody could trade at: an open, high, low or
// close that is not a positive finite number (an exchange glitch, a bad download) would reach
// the walk as the log of 0 or of a negative number, and the accounting as a trade at no price.
// Such a bar is stored as that security's missing bar, so all five of its fields are flagged
// (one flag per row and label); one warning per security says how many bars were replaced.
// The cleaning of a history and update both store bars by this one rule.
struct UnusableBars {
  py::array_t<bool> prices;   // rows x price labels
  py::array_t<bool> volumes;  // rows x volume labels
  bool any = false;
};

UnusableBars unusable_bars(py::handle frame, const LabelGroups& labels) {
  // Price columns by security, in the order the securities first appear.
  std::vector<std::string> names;
  std::vector<std::vector<std::ptrdiff_t>> columns;
  for (std::size_t c = 0; c < labels.prices.size(); ++c) {
    const std::string name = security_of_price_label(labels.prices[c]);
    auto at = std::find(names.begin(), names.end(), name);
    if (at == names.end()) {
      names.push_back(name);
      columns.emplace_back();
      at = names.end() - 1;
    }
    columns[static_cast<std::size_t>(at - names.begin())].push_back(static_cast<std::ptrdiff_t>(c));
  }
  const py::array values = owned_matrix(frame[labels.prices]);
  const View2D view = view_2d(values);
  const py::ssize_t rows = view.rows;
  const auto n_prices = static_cast<py::ssize_t>(labels.prices.size());
  const auto n_volumes = static_cast<py::ssize_t>(labels.volumes.size());
  UnusableBars bad{py::array_t<bool>({rows, n_prices}), py::array_t<bool>({rows, n_volumes}), false};
  bool* price_mask = bad.prices.mutable_data();
  bool* volume_mask = bad.volumes.mutable_data();
  std::fill(price_mask, price_mask + rows * n_prices, false);
  std::fill(volume_mask, volume_mask + rows * n_volumes, false);
  py::array_t<bool> flag_array(rows);
  const bool* flags = flag_array.data();
  for (std::size_t k = 0; k < names.size(); ++k) {
    const std::ptrdiff_t count = cf::unusable_price_bars(view, columns[k], flag_array.mutable_data());
    if (count == 0) continue;
    bad.any = true;
    std::vector<std::ptrdiff_t> volume_of_security;
    for (py::ssize_t c = 0; c < n_volumes; ++c) {
      if (core::security_of_label(labels.volumes[static_cast<std::size_t>(c)].cast<std::string>(), "_volume") ==
          names[k]) {
        volume_of_security.push_back(c);
      }
    }
    for (py::ssize_t t = 0; t < rows; ++t) {
      if (!flags[t]) continue;
      for (const std::ptrdiff_t c : columns[k]) price_mask[t * n_prices + c] = true;
      for (const std::ptrdiff_t c : volume_of_security) volume_mask[t * n_volumes + c] = true;
    }
    shared_logger().attr("warning")(std::to_string(count) + " bars of " + names[k] +
                                    " have an open, high, low or close that is not a positive finite number: "
                                    "each is treated as a missing bar and filled from the bar before");
  }
  return bad;
}

py::object clean_dataframe(py::handle frame, std::int64_t resolution_in_mins,
                           const std::vector<cf::TradingPeriod>& periods, bool trades_only_on_weekdays) {
  py::object columns = frame.attr("columns");
  const LabelGroups labels = label_groups(columns);
  const std::string rule = resample_rule(resolution_in_mins);
  // Missing bars are left for the resampling to fill from the bar before, like any gap.
  const UnusableBars bad = unusable_bars(frame, labels);
  py::object raw_prices = frame[labels.prices];
  py::object raw_volumes = frame[labels.volumes];
  if (bad.any) {
    raw_prices = raw_prices.attr("mask")(bad.prices);
    raw_volumes = raw_volumes.attr("mask")(bad.volumes);
  }
  py::object binned = raw_prices.attr("resample")(rule).attr("last")();
  const SecurityStarts starts = security_starts(binned);
  py::object prices = binned.attr("ffill")().attr("dropna")();
  py::object volumes = raw_volumes.attr("resample")(rule).attr("sum")().attr("ffill")().attr("dropna")();
  py::object merged = prices.attr("merge")(volumes, py::arg("how") = "outer", py::arg("right_index") = true,
                                           py::arg("left_index") = true)
                          .attr("ffill")()
                          .attr("dropna")();
  // A label of the input outside the five fields is missing here: the frame's KeyError.
  py::object clean = merged[columns];
  if (resolution_in_mins != 1440) {
    clean = clean.attr("loc")[filter_trading_hours(clean.attr("index"), periods)];
  }
  if (trades_only_on_weekdays) {
    py::object weekday = clean.attr("index").attr("day_of_week");
    clean = clean.attr("loc")[weekday.attr("__le__")(4)];
  }
  if (starts.first_kept_bin > 0) {
    // Counted as the rows they would have been, after the same hours and weekday filters.
    py::object dropped = binned.attr("index")[py::slice(0, starts.first_kept_bin, 1)];
    if (resolution_in_mins != 1440) dropped = dropped[filter_trading_hours(dropped, periods)];
    if (trades_only_on_weekdays) dropped = dropped[dropped.attr("day_of_week").attr("__le__")(4)];
    warn_late_starts(starts, binned.attr("index"), static_cast<std::ptrdiff_t>(py::len(dropped)),
                     static_cast<std::ptrdiff_t>(py::len(clean)));
  }
  warn_early_ends(starts, binned.attr("index"), clean);
  return clean;
}

std::string security_name(py::handle name) {
  if (!PyUnicode_Check(name.ptr())) {
    raise_type_error("security names must be str, got " + type_name(name));
  }
  return name.cast<std::string>();
}

py::list labels_for(py::handle securities, const char* suffix) {
  py::list labels;
  for (py::handle name : securities) labels.append(py::str(security_name(name) + suffix));
  return labels;
}

// The proportional bid-ask spread of every security, in securities_names_list order, from
// the cleaned frame re-binned to one bar per trading day.
py::array_t<double> estimate_proportional_spread_for_slippage(const Factor& f, py::handle clean) {
  py::module_ np = numpy();
  py::object daily = clean_dataframe(clean, f.minutes_in_trading_day, f.trading_periods, f.trades_only_on_weekdays);
  const auto S = static_cast<std::ptrdiff_t>(f.number_of_securities);
  py::array_t<double> estimates(S);
  double* out = estimates.mutable_data();
  for (std::ptrdiff_t j = 0; j < S; ++j) out[j] = 0.0;
  if (S == 0) return estimates;

  py::array lc, lh, ll;
  {
    // Zero prices give -inf logs and negative ones NaN; both are handled as missing below.
    NumpyErrstate quiet;
    lc = np.attr("log")(owned_matrix(daily[labels_for(f.securities_names_list, "_close")]));
    lh = np.attr("log")(owned_matrix(daily[labels_for(f.securities_names_list, "_high")]));
    ll = np.attr("log")(owned_matrix(daily[labels_for(f.securities_names_list, "_low")]));
  }
  const View2D c = view_2d(lc), h = view_2d(lh), l = view_2d(ll);
  py::list names = py::list(f.securities_names_list);
  for (std::ptrdiff_t j = 0; j < S; ++j) {
    const double e = cf::proportional_spread(c.data + j * c.col_stride, h.data + j * h.col_stride,
                                             l.data + j * l.col_stride, c.row_stride, c.rows, f.number_of_rows);
    if (std::isnan(e)) {
      // Too few usable daily bars: charging NaN would make every bar's slippage NaN.
      shared_logger().attr("warning")(
          "No proportional spread can be estimated for " + security_name(names[j]) +
          " (too few usable bars); its slippage is taken as 0");
      out[j] = 0.0;
    } else {
      out[j] = e;
    }
  }
  return estimates;
}

// ---------------------------------------------------------------- set-up methods

void intialize_pairs_trading_data_structures(Factor& f) {
  py::module_ np = numpy();
  std::vector<cf::TradingPeriod> periods = parse_trading_hours(f.trading_hours);
  const std::int64_t minutes = cf::minutes_in_trading_day(periods);
  const std::int64_t bars_per_day = cf::bars_per_trading_day(minutes, f.resolution_in_mins);

  py::object clean = clean_dataframe(f.raw_OHCLV_dataframe, f.resolution_in_mins, periods, f.trades_only_on_weekdays);
  py::object utc_index = clean.attr("index").attr("tz_convert")("UTC").attr("tz_localize")(py::none()).attr("as_unit")("ns");
  py::object datetimes = np.attr("array")(utc_index, py::arg("dtype") = "datetime64[ns]");
  py::array data = owned_matrix(clean);
  py::object names = np.attr("asarray")(clean.attr("columns"), py::arg("dtype") = py::module_::import("builtins").attr("str"));
  const auto rows = static_cast<std::int64_t>(data.shape(0));
  const auto cols = static_cast<std::int64_t>(data.shape(1));
  // Zero rows fall under the same rule (rather than failing on a missing first bar).
  if (rows == 0 || rows < cf::minimum_number_of_bars(minutes, f.resolution_in_mins)) {
    raise_plain("Insufficient data encountered, please consider getting more data");
  }

  f.trading_periods = std::move(periods);
  f.minutes_in_trading_day = minutes;
  f.hedge_ratio_reestimation_interval = bars_per_day;
  f.johansen_sampling_step = bars_per_day;
  f.barrier_readjustment_interval = bars_per_day;
  f.datetime_array = datetimes;
  f.data_matrix_array = data;
  f.data_column_names_array = names;
  f.last_run_time = datetimes[py::int_(0)];
  f.number_of_rows = rows;
  f.number_of_data_columns = cols;
  f.maximum_zscore_window = static_cast<std::int64_t>(std::trunc(static_cast<double>(rows) * 0.5));

  f.number_of_securities = static_cast<std::int64_t>(py::len(f.securities_names_list));
  py::dict index_dict;
  std::int64_t i = 0;
  for (py::handle name : f.securities_names_list) index_dict[name] = py::int_(i++);
  f.securities_index_dict = index_dict;
  const auto S = static_cast<py::ssize_t>(f.number_of_securities);
  f.positions_matrix_array = np.attr("zeros")(py::make_tuple(rows, S), py::arg("dtype") = np.attr("float64"));
  f.positions_array = np.attr("zeros")(S, py::arg("dtype") = np.attr("float64"));
  f.latest_position_weights_array = np.attr("zeros")(S, py::arg("dtype") = np.attr("float64"));
  // By exact label, in securities_names_list order, so that column j is the close of the
  // security whose positions live in column j (whatever the frame's column order).
  f.close_matrix_array = owned_matrix(clean[labels_for(f.securities_names_list, "_close")]);
  f.proportional_spread_array = estimate_proportional_spread_for_slippage(f, clean);
  // Walk state belongs to the arrays it was walked on: new arrays start from none.
  f.pairs_list = py::none();
  f.pair_specs.clear();
  f.pair_states.clear();
  f.walk_state_params = py::none();
  f.walk_state_end = -1;
  f.forget_recorded_trades();
}

}  // namespace

py::object check_if_vodED_optimal_entry_exists_and_load(Factor& f) {
  // Whatever the load finds (another file, none, or an error half-way), the model may have
  // changed under the walk state.
  ++f.vodED_model_generation;
  f.vodED_model_loaded = false;
  if (f.vodED_tradegate.is_none()) return py::bool_(false);
  py::object loaded =
      f.vodED_tradegate.attr("__check_and_load_optimal_entry_classifier")(py::arg("factor_name") = f.factor_name);
  f.vodED_model_loaded = truth(loaded);
  return loaded;
}

namespace {

void initialize_vodED_data_structures(Factor& f, py::object signalsmith, py::object tradegate) {
  f.vodED_signalsmith = std::move(signalsmith);
  f.vodED_tradegate = std::move(tradegate);
  f.trade_counter = 0;
  py::dict record;
  for (const char* key : {"time_of_entry", "time_of_exit", "trade_label", "trade_returns", "trade_securities", "features"}) {
    record[key] = py::none();
  }
  f.trade_record_template = record;
  f.trade_store = py::dict();
  f.forget_recorded_trades();
  f.vodED_ready = py::bool_(false);
  f.vodED_ready = check_if_vodED_optimal_entry_exists_and_load(f);
}

// ---------------------------------------------------------------- constructor

void construct(py::detail::value_and_holder& v_h, py::object universe_name, py::object raw_OHCLV_dataframe,
               py::object resolution_in_mins, py::object trading_hours, py::object trades_only_on_weekdays,
               py::object vodED_signalsmith, py::object vodED_tradegate, py::object securities_names_list,
               py::object objective, py::object train_split_ratio, py::object starting_equity,
               py::object pct_equity_invested, py::object market_value_pct_commissions,
               py::object bid_ask_spread_pct_slippage, py::object scale_equity_to_traded_securities) {
  // Conversions first, in argument order, then the exact-type tests, then the checks.
  const std::int64_t resolution = to_long(resolution_in_mins);
  const bool weekdays = truth(trades_only_on_weekdays);
  const double split = to_double(train_split_ratio);
  const double equity = to_double(starting_equity);
  const double invested = to_double(pct_equity_invested);
  const double commissions = to_double(market_value_pct_commissions);
  const double slippage = to_double(bid_ask_spread_pct_slippage);
  const bool scale = truth(scale_equity_to_traded_securities);
  check_str(universe_name, "universe_name");
  check_list(trading_hours, "trading_hours");
  check_list(securities_names_list, "securities_names_list");
  check_str(objective, "objective");

  py::module_ pd = pandas();
  if (!py::isinstance(raw_OHCLV_dataframe, pd.attr("DataFrame"))) {
    raise_plain("pd.DataFrame is not passed, pass a pd.DataFrame object containing the OHCLV of all the "
                "securities in this universe and indexed by datetime");
  }
  py::object index = raw_OHCLV_dataframe.attr("index");
  if (!py::isinstance(index, pd.attr("DatetimeIndex"))) {
    raise_plain("pd.DataFrame is not indexed by datetime, please pass a pd.DataFrame object containing the "
                "OHCLV of all the securities in this universe and indexed by datetime");
  }
  if (index.attr("tzinfo").is_none()) {
    raise_plain("pd.DataFrame is not datetime aware, please pass a pd.DataFrame object that is datetime aware, "
                "and to pass the trading hours in the same timezone");
  }
  py::module_ module = this_module();
  if (securities_names_list.is_none() || py::len(securities_names_list) == 0) {
    securities_names_list = module.attr("Inference")().attr("infer_securities_from_OHCLV_df")(raw_OHCLV_dataframe);
    check_assigned_type(securities_names_list, reinterpret_cast<PyObject*>(&PyList_Type));
  }
  const std::size_t n_securities = securities_names_list.is_none() ? 0 : py::len(securities_names_list);
  if (py::len(raw_OHCLV_dataframe.attr("columns")) != 5 * n_securities) {
    raise_plain("Number of columns passed in the pd.DataFrame does not match with the number of securities in "
                "the securities_name_list");
  }
  // One security has no pair: every run would close no trade and still read as a result.
  if (n_securities < 2) {
    raise_plain("At least two securities are needed to form a pair, got " + std::to_string(n_securities));
  }
  if (resolution < 1) raise_plain("resolution_in_mins cannot be less than 1");
  if (!trading_hours.is_none() && py::len(trading_hours) > 0) {
    py::object first = trading_hours[py::int_(0)][py::int_(0)];
    if (!py::isinstance(first, py::module_::import("datetime").attr("time"))) {
      raise_plain("trading_hours should be a List[Tuple[time(start), time(end)]] object. Please ensure the data "
                  "structures match");
    }
  }
  py::object objectives = module.attr("Scorebook").attr("available_objectives");
  if (!objectives.attr("__contains__")(objective).cast<bool>()) {
    raise_plain("Objective specified is not available");
  }
  if (!(split > 0.0 && split <= 1.0)) {
    raise_plain("train_split_ratio is mispecified, please ensure 0 < train_split_ratio <= 1.0");
  }
  if (!(invested > 0.0)) {
    raise_plain("pct_equity_invested is less than 0, please ensure pct_equity_invested > 0");
  }
  // Any other equity makes every trial read "BANKRUPT" or "NOT A NUMBER" after a full run.
  if (!(equity > 0.0 && std::isfinite(equity))) {
    raise_plain("starting_equity must be a positive finite number, got " +
                py::repr(py::float_(equity)).cast<std::string>());
  }

  auto* f = new Factor();
  v_h.value_ptr() = f;
  // Own the holder now: the set-up methods below are looked up on the new object itself.
  v_h.type->init_instance(v_h.inst, nullptr);
  f->object_store_dict = py::dict();
  f->minimum_resolution_in_mins = 1;
  f->minimum_zscore_window = 30;
  f->factor_name = py::str(kFactorName);
  f->resolution_in_mins = std::max(resolution, f->minimum_resolution_in_mins);
  f->raw_OHCLV_dataframe = raw_OHCLV_dataframe;
  f->trading_hours = trading_hours;
  f->trades_only_on_weekdays = weekdays;
  f->universe_name = universe_name;
  f->securities_names_list = securities_names_list;
  f->objective = objective;
  f->scale_equity_to_traded_securities = scale;
  f->starting_equity = equity;
  f->train_split_ratio = split;
  f->pct_equity_invested = invested;
  f->market_value_pct_commissions = commissions;
  f->bid_ask_spread_pct_slippage = slippage;

  py::handle self(reinterpret_cast<PyObject*>(v_h.inst));
  self.attr("intialize_pairs_trading_data_structures")();
  self.attr("initialize_vodED_data_structures")(vodED_signalsmith, vodED_tradegate);
}


// ---------------------------------------------------------------- rolling walk

py::object zeros(py::ssize_t n) {
  py::module_ np = numpy();
  return np.attr("zeros")(n, py::arg("dtype") = np.attr("float64"));
}

// The id of a parameter set among those trades were recorded with; equal sets (200 and 200.0
// alike, in any key order) share one.
std::int64_t trade_context_of(Factor& f, const py::dict& params) {
  std::vector<std::string> items;
  for (auto item : params) {
    std::string text = py::repr(item.first).cast<std::string>() + "=";
    const double value = PyFloat_AsDouble(item.second.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
      PyErr_Clear();
      text += "repr " + py::repr(item.second).cast<std::string>();
    } else {
      std::uint64_t bits = 0;
      std::memcpy(&bits, &value, sizeof bits);
      text += std::to_string(bits);
    }
    items.push_back(std::move(text));
  }
  std::sort(items.begin(), items.end());
  std::string key;
  for (const std::string& item : items) key += item + "\n";
  const auto next = static_cast<std::int64_t>(f.trade_contexts.size());
  return f.trade_contexts.emplace(std::move(key), next).first->second;
}

// Sees the walk's entries and closes; everything it does needs the host, so it takes the
// GIL for the duration of each call. Entries and closes arrive in bar-major, pair-minor order.
class FactorObserver final : public cp::WalkObserver {
 public:
  FactorObserver(Factor& f, py::list pairs, py::object data, py::object datetimes, std::int64_t w,
                 std::int64_t trade_context, py::dict held_entries = py::dict())
      : f_(f), pairs_(std::move(pairs)), data_(std::move(data)), datetimes_(std::move(datetimes)),
        live_time_(f.current_time), w_(w), trade_context_(trade_context), skip_recorded_(f.skip_recorded_trades),
        held_entries_(std::move(held_entries)), poller_(true) {
    f_.open_trade_entry_ends.resize(py::len(pairs_), -1);
  }

  bool on_entry(const cp::EntryEvent& e) override {
    py::gil_scoped_acquire gil;
    stamp(e.end);
    py::object pair = pairs_[static_cast<std::size_t>(e.pair)];
    py::object features = py::none();
    const bool ready = truth(f_.vodED_ready);
    if (f_.vodED_features_requested || ready) {
      // The window the decision was taken on: the bars before the current one.
      py::object window = data_[py::slice(e.end - w_, e.end, 1)];
      features = f_.vodED_signalsmith.attr("generate_features_for_pair_spreads")(
          py::arg("pair_of_security") = pair, py::arg("pair_hedge_ratios") = py::make_tuple(e.hedge_a, e.hedge_b),
          py::arg("data_column_names_array") = f_.data_column_names_array,
          py::arg("rolling_window_matrix_array") = numpy().attr("asarray")(window));
    }
    bool vetoed = false;
    if (ready) {
      py::object row = pandas().attr("DataFrame").attr("from_dict")(features, py::arg("orient") = "index").attr("T");
      const bool prediction = truth(f_.vodED_tradegate.attr("predict")(row));
      py::module_::import("builtins").attr("print")(
          "CURRENT TIME: " + py::str(f_.current_time).cast<std::string>() + " | PAIR: " +
          py::str(pair).cast<std::string>() + " | PREDICTION: " + (prediction ? "True" : "False"));
      vetoed = !prediction;
    }
    if (!vetoed) {
      py::dict record = py::reinterpret_steal<py::dict>(PyDict_Copy(f_.trade_record_template.ptr()));
      if (!record) throw py::error_already_set();
      record["time_of_entry"] = f_.current_time;
      record["trade_securities"] = pair;
      record["features"] = features;
      if (held_entries_.contains(pair)) {
        py::tuple held = held_entries_[pair];
        if (held[0].cast<std::int64_t>() == e.end) record["time_of_entry"] = held[1];
      }
      f_.open_trade_records[pair] = record;
    }
    f_.open_trade_entry_ends[static_cast<std::size_t>(e.pair)] = vetoed ? -1 : e.end;
    return !vetoed;
  }

  void on_close(const cp::CloseEvent& e) override {
    py::gil_scoped_acquire gil;
    stamp(e.end);
    py::object pair = pairs_[static_cast<std::size_t>(e.pair)];
    py::object record = f_.open_trade_records[pair];
    record["time_of_exit"] = f_.current_time;
    record["trade_label"] = py::int_(e.label);
    record["trade_returns"] = py::float_(e.trade_return);
    RecordedTrade trade{trade_context_, static_cast<std::int64_t>(e.pair),
                        f_.open_trade_entry_ends[static_cast<std::size_t>(e.pair)], e.end, e.label, 0};
    std::memcpy(&trade.return_bits, &e.trade_return, sizeof trade.return_bits);
    f_.open_trade_entry_ends[static_cast<std::size_t>(e.pair)] = -1;
    if (skip_recorded_ && holds(trade)) return;
    py::object stored = py::reinterpret_steal<py::object>(PyDict_Copy(record.ptr()));
    if (!stored) throw py::error_already_set();
    f_.trade_store[py::int_(f_.trade_counter)] = stored;
    f_.recorded_trades[trade] = f_.trade_counter;
    ++f_.trade_counter;
  }

  void poll() override { poller_.poll(); }

 private:
  // The time of the bar being decided. A window that ends at the last row has no bar of
  // its own in the data (a live step on the latest bars): the caller's current_time stands,
  // also after earlier windows of the same catch-up stamped their own bars.
  void stamp(std::int64_t end) {
    f_.current_time =
        end < static_cast<std::int64_t>(py::len(datetimes_)) ? py::object(datetimes_[py::int_(end)]) : live_time_;
  }

  // Whether trade_store still holds this trade under the number it was stored with (the caller
  // may have emptied or edited the store meanwhile).
  bool holds(const RecordedTrade& trade) const {
    const auto at = f_.recorded_trades.find(trade);
    if (at == f_.recorded_trades.end() || !PyDict_Check(f_.trade_store.ptr())) return false;
    const int held = PyDict_Contains(f_.trade_store.ptr(), py::int_(at->second).ptr());
    if (held < 0) throw py::error_already_set();
    return held == 1;
  }

  Factor& f_;
  py::list pairs_;
  py::object data_;
  py::object datetimes_;
  py::object live_time_;
  std::int64_t w_;
  std::int64_t trade_context_;
  bool skip_recorded_;
  // pair -> (entry window end, time_of_entry) of trades a rerun finds open again.
  py::dict held_entries_;
  InterruptPoller poller_;
};

std::ptrdiff_t position_entry(const Factor& f, py::handle name) {
  return f.securities_index_dict[name].cast<std::ptrdiff_t>();
}

// The per-pair host dicts (all but the open trade records), filled pair by pair and then
// installed on the factor together.
struct PairDicts {
  py::dict hedge, flags, halflife, spread, position, countdown, take_profit, stop_loss, time_barrier,
      spread_at_entry, std_at_entry, barrier_countdown, veto;

  void install(Factor& f) const {
    f.hedge_ratios_dict = hedge;
    f.cointegration_flags_dict = flags;
    f.halflife_dict = halflife;
    f.spread_dict = spread;
    f.spread_position_dict = position;
    f.reestimation_countdown_dict = countdown;
    f.take_profit_dict = take_profit;
    f.stop_loss_dict = stop_loss;
    f.time_barrier_dict = time_barrier;
    f.spread_at_entry_dict = spread_at_entry;
    f.std_at_entry_dict = std_at_entry;
    f.barrier_countdown_dict = barrier_countdown;
    f.meta_label_veto = veto;
  }
};

// The per-pair dicts of the host from the native states after a walk that ended at `end`.
void publish_pair_state(Factor& f, const cp::Market& market, std::int64_t end, std::int64_t w) {
  PairDicts d;
  auto& [hedge, flags, halflife, spread, position, countdown, take_profit, stop_loss, time_barrier,
         spread_at_entry, std_at_entry, barrier_countdown, veto] = d;
  py::list pairs = f.pairs_list;
  for (std::size_t k = 0; k < f.pair_states.size(); ++k) {
    const cp::PairState& s = f.pair_states[k];
    py::object pair = pairs[k];
    hedge[pair] = py::make_tuple(s.hedge_a, s.hedge_b);
    flags[pair] = py::bool_(s.cointegrated);
    halflife[pair] = py::int_(s.halflife);
    py::array_t<double> values(static_cast<py::ssize_t>(w));
    cp::window_spread(market, f.pair_specs[k], s, end, w, values.mutable_data());
    spread[pair] = values;
    position[pair] = py::int_(s.position);
    countdown[pair] = py::int_(s.reestimation_countdown);
    take_profit[pair] = py::float_(s.take_profit);
    stop_loss[pair] = py::float_(s.stop_loss);
    time_barrier[pair] = py::float_(s.time_barrier);
    spread_at_entry[pair] = py::float_(s.spread_at_entry);
    std_at_entry[pair] = py::float_(s.std_at_entry);
    barrier_countdown[pair] = py::int_(s.barrier_countdown);
    veto[pair] = py::bool_(s.vetoed);
  }
  d.install(f);
}

// Marks the factor as walking for the guard's lifetime. A second walk of the same factor,
// started from one of its callbacks, is refused outright.
class WalkingGuard {
 public:
  explicit WalkingGuard(Factor& f) : f_(f) {
    if (f_.walking) throw std::runtime_error("a walk of this factor is already running");
    f_.walking = true;
  }
  ~WalkingGuard() { f_.walking = false; }
  WalkingGuard(const WalkingGuard&) = delete;
  WalkingGuard& operator=(const WalkingGuard&) = delete;

 private:
  Factor& f_;
};

cp::WalkParams walk_params_of(const Factor& f, const py::dict& params) {
  return walk_params_from_dict(params, f.hedge_ratio_reestimation_interval, f.johansen_sampling_step,
                               f.barrier_readjustment_interval, f.maximum_zscore_window, f.minimum_zscore_window);
}

// The closes of rows [0, rows) and their logs, as the walk reads them.
cp::Market market_of_rows(const Factor& f, std::int64_t rows) {
  py::array closes = require_float64(f.close_matrix_array, "close_matrix_array", 2);
  if (closes.shape(0) < rows || closes.shape(1) != static_cast<py::ssize_t>(f.number_of_securities)) {
    throw py::value_error("the factor's arrays hold fewer bars than number_of_rows");
  }
  closes = closes[py::slice(0, rows, 1)];
  py::array logs;
  {
    NumpyErrstate quiet;  // a zero close is -inf and a negative one NaN, as the spread model expects
    logs = numpy().attr("log")(closes);
  }
  const View2D cv = view_2d(closes), lv = view_2d(logs);
  return cp::Market(cv, lv);
}

// What a walk or step is made with besides the data: the parameters (a copy) and the
// meta-label model, taken before it starts, recorded on the factor once it has finished.
struct WalkIdentity {
  py::object params;
  std::int64_t model_generation;
  bool vetoed;

  void record(Factor& f) const {
    f.walk_state_params = params;
    f.walk_state_model_generation = model_generation;
    f.walk_state_vetoed = vetoed;
  }
};

WalkIdentity walk_identity(const Factor& f, const py::dict& params) {
  return {py::module_::import("copy").attr("copy")(params), f.vodED_model_generation, truth(f.vodED_ready)};
}

}  // namespace

Factor& factor_of(py::handle self) { return self.cast<Factor&>(); }

void initialize_pair_state(Factor& f, std::int64_t w) {
  py::list names = py::list(f.securities_names_list);
  const std::size_t S = names.size();
  py::list pairs;
  std::vector<cp::PairSpec> specs;
  for (std::size_t a = 0; a < S; ++a) {
    for (std::size_t b = a + 1; b < S; ++b) {
      pairs.append(py::make_tuple(names[a], names[b]));
      // Columns come from the mapping fixed when the arrays were built, not from the list's
      // current order, so a caller reordering its list cannot pair prices with wrong names.
      const std::ptrdiff_t first = position_entry(f, names[a]), second = position_entry(f, names[b]);
      specs.push_back({first, second, first, second});
    }
  }
  PairDicts d;
  auto& [hedge, flags, halflife, spread, position, countdown, take_profit, stop_loss, time_barrier,
         spread_at_entry, std_at_entry, barrier_countdown, veto] = d;
  py::dict records;
  py::int_ zero(0);
  for (py::handle pair : pairs) {
    hedge[pair] = zeros(2);
    flags[pair] = py::bool_(false);
    halflife[pair] = zero;
    spread[pair] = zeros(static_cast<py::ssize_t>(std::max<std::int64_t>(w, 0)));
    position[pair] = zero;
    countdown[pair] = zero;
    take_profit[pair] = zero;
    stop_loss[pair] = zero;
    time_barrier[pair] = zero;
    spread_at_entry[pair] = zero;
    std_at_entry[pair] = zero;
    barrier_countdown[pair] = zero;
    py::object record = py::reinterpret_steal<py::object>(PyDict_Copy(f.trade_record_template.ptr()));
    if (!record) throw py::error_already_set();
    records[pair] = record;
    veto[pair] = py::bool_(false);
  }
  f.pairs_list = pairs;
  f.pair_specs = std::move(specs);
  f.pair_states.assign(f.pair_specs.size(), cp::PairState{});
  d.install(f);
  f.open_trade_records = records;
  f.open_trade_entry_ends.assign(f.pair_specs.size(), -1);
  // Fresh state was walked with no parameters: until a run completes and records its own,
  // predict must not step on from it (a walk cut short by an error or Ctrl-C leaves it so).
  f.walk_state_params = py::none();
  f.walk_state_model_generation = -1;
  f.walk_state_end = -1;
}

// The trades open in the walk state, by pair, as (entry window end, time_of_entry), when that
// state was walked with the parameters of `context`. predict's rerun walks them again: the
// entry it then opens at the same window end is the trade already open, and keeps the time it
// was entered at (a step stamps the latest bar, a full walk the bar after the window).
py::dict open_entries_walked_with(Factor& f, std::int64_t context) {
  py::dict held;
  if (f.walk_state_params.is_none() || !PyDict_Check(f.walk_state_params.ptr()) || f.pairs_list.is_none() ||
      f.open_trade_records.is_none() ||
      trade_context_of(f, py::reinterpret_borrow<py::dict>(f.walk_state_params)) != context) {
    return held;
  }
  py::list pairs = f.pairs_list;
  const std::size_t n = std::min(f.open_trade_entry_ends.size(), py::len(pairs));
  for (std::size_t k = 0; k < n; ++k) {
    if (f.open_trade_entry_ends[k] < 0) continue;
    py::object record = f.open_trade_records[pairs[k]];
    held[pairs[k]] = py::make_tuple(f.open_trade_entry_ends[k], record["time_of_entry"]);
  }
  return held;
}

py::object walk_positions(Factor& f, const py::dict& params) {
  WalkingGuard walking(f);
  py::module_ np = numpy();
  const cp::WalkParams p = walk_params_of(f, params);
  const WalkIdentity identity = walk_identity(f, params);
  const std::int64_t w = p.size_of_rolling_windows;
  const std::int64_t rows = f.number_of_rows;
  const auto S = static_cast<py::ssize_t>(f.number_of_securities);
  const std::int64_t context = trade_context_of(f, params);
  py::dict held_entries = f.skip_recorded_trades ? open_entries_walked_with(f, context) : py::dict();
  initialize_pair_state(f, w);

  // The arrays the walk's callbacks read stay referenced here for its whole duration.
  py::object data = f.data_matrix_array;
  py::object datetimes = f.datetime_array;
  if (py::len(datetimes) < static_cast<std::size_t>(rows)) {
    throw py::value_error("the factor's arrays hold fewer bars than number_of_rows");
  }
  const cp::Market market = market_of_rows(f, rows);

  // A fresh matrix of the current row count: bars appended since the last walk get rows too.
  py::array_t<double> positions(std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows), S});
  std::fill(positions.mutable_data(), positions.mutable_data() + rows * S, 0.0);
  f.positions_matrix_array = positions;

  // The loop works on its own copies of the pairs and states: a host callback that touches
  // the factor cannot pull them from under it.
  const std::vector<cp::PairSpec> specs = f.pair_specs;
  std::vector<cp::PairState> states;
  FactorObserver observer(f, f.pairs_list, data, datetimes, w, context, held_entries);
  double* out = positions.mutable_data();
  {
    py::gil_scoped_release nogil;
    cp::walk(market, specs, p, states, out, S, observer);
  }
  f.pair_specs = specs;
  f.pair_states = std::move(states);
  if (rows > 0) {
    f.current_time = datetimes[py::int_(rows - 1)];
    f.positions_array = np.attr("array")(positions[py::int_(rows - 1)]);
  }
  if (rows > w) publish_pair_state(f, market, rows - 1, w);
  f.walk_state_end = rows - 1;
  identity.record(f);
  return positions;
}

py::object step_positions(Factor& f, const py::dict& params, std::int64_t first_end, std::int64_t last_end) {
  WalkingGuard walking(f);
  const cp::WalkParams p = walk_params_of(f, params);
  const std::int64_t w = p.size_of_rolling_windows;
  const auto S = static_cast<py::ssize_t>(f.number_of_securities);
  if (f.pairs_list.is_none() || f.pair_states.size() != f.pair_specs.size()) initialize_pair_state(f, w);
  if (w < 2 || first_end < w || first_end > last_end || last_end > f.number_of_rows) {
    throw py::value_error("windows of " + std::to_string(w) + " rows cannot end at rows " + std::to_string(first_end) +
                          " to " + std::to_string(last_end) + " of " + std::to_string(f.number_of_rows));
  }
  const WalkIdentity identity = walk_identity(f, params);
  const cp::Market market = market_of_rows(f, last_end);
  const std::vector<cp::PairSpec> specs = f.pair_specs;
  for (const cp::PairSpec& spec : specs) {
    // The step reads and writes by these indices without checks.
    if (spec.first >= S || spec.second >= S || spec.first_position >= S || spec.second_position >= S) {
      throw std::runtime_error("the factor's pair state does not match its arrays; rerun the backtest");
    }
  }
  std::vector<cp::PairState> states = f.pair_states;
  py::array_t<double> positions(S);
  FactorObserver observer(f, f.pairs_list, f.data_matrix_array, f.datetime_array, w, trade_context_of(f, params));
  double* out = positions.mutable_data();
  {
    py::gil_scoped_release nogil;
    cp::Workspace workspace;
    cp::step_through(market, specs, p, first_end, last_end, states, out, S, observer, workspace);
  }
  f.pair_states = std::move(states);
  f.positions_array = positions;
  publish_pair_state(f, market, last_end, w);
  f.walk_state_end = last_end;
  identity.record(f);
  return positions;
}

py::object one_bar_positions(Factor& f, const py::dict& params, std::int64_t end) {
  return step_positions(f, params, end, end);
}

py::tuple train_test_split(Factor& f, double ratio, std::int64_t end, std::int64_t start) {
  const std::int64_t split = cp::split_row(start, end, ratio);
  py::object dt = f.datetime_array, pos = f.positions_matrix_array, close = f.close_matrix_array;
  py::slice train(start, split, 1), test(split, end, 1);
  py::module_ np = numpy();
  return py::make_tuple(dt[train], np.attr("asarray")(pos[train]), np.attr("asarray")(close[train]), dt[test],
                        np.attr("asarray")(pos[test]), np.attr("asarray")(close[test]));
}

namespace {

// ---------------------------------------------------------------- host-visible methods

py::object get_clean_dataframe(const Factor& f) {
  return pandas().attr("DataFrame")(f.data_matrix_array, py::arg("index") = f.datetime_array,
                                    py::arg("columns") = f.data_column_names_array);
}

py::tuple reduce(const Factor& f) {
  py::object rebuild = py::module_::import("velmora.utils.pickling.rebuilds")
                           .attr("rebuild_pairs_trading_serial_cointegration_factor");
  py::tuple args = py::make_tuple(
      f.universe_name, f.raw_OHCLV_dataframe, py::int_(f.resolution_in_mins), f.trading_hours,
      py::bool_(f.trades_only_on_weekdays), f.vodED_signalsmith, f.vodED_tradegate, f.securities_names_list,
      f.objective, py::float_(f.train_split_ratio), py::float_(f.starting_equity),
      py::float_(f.pct_equity_invested), py::float_(f.market_value_pct_commissions),
      py::float_(f.bid_ask_spread_pct_slippage), py::bool_(f.scale_equity_to_traded_securities));
  return py::make_tuple(rebuild, args);
}

// Every field by name, for tests and debugging; the objects are the factor's own.
py::dict factor_fields(Factor& f) {
  py::dict d;
  d["minimum_resolution_in_mins"] = f.minimum_resolution_in_mins;
  d["hedge_ratio_reestimation_interval"] = f.hedge_ratio_reestimation_interval;
  d["johansen_sampling_step"] = f.johansen_sampling_step;
  d["maximum_zscore_window"] = f.maximum_zscore_window;
  d["barrier_readjustment_interval"] = f.barrier_readjustment_interval;
  d["minimum_zscore_window"] = f.minimum_zscore_window;
  d["objective"] = f.objective;
  d["universe_name"] = f.universe_name;
  d["factor_name"] = f.factor_name;
  d["securities_names_list"] = f.securities_names_list;
  d["market_value_pct_commissions"] = f.market_value_pct_commissions;
  d["bid_ask_spread_pct_slippage"] = f.bid_ask_spread_pct_slippage;
  d["starting_equity"] = f.starting_equity;
  d["pct_equity_invested"] = f.pct_equity_invested;
  d["train_split_ratio"] = f.train_split_ratio;
  d["resolution_in_mins"] = f.resolution_in_mins;
  d["trades_only_on_weekdays"] = f.trades_only_on_weekdays;
  d["trading_hours"] = f.trading_hours;
  d["minutes_in_trading_day"] = f.minutes_in_trading_day;
  d["number_of_rows"] = f.number_of_rows;
  d["number_of_data_columns"] = f.number_of_data_columns;
  d["number_of_securities"] = f.number_of_securities;
  d["scale_equity_to_traded_securities"] = f.scale_equity_to_traded_securities;
  d["current_time"] = f.current_time;
  d["last_run_time"] = f.last_run_time;
  d["raw_OHCLV_dataframe"] = f.raw_OHCLV_dataframe;
  d["datetime_array"] = f.datetime_array;
  d["data_column_names_array"] = f.data_column_names_array;
  d["data_matrix_array"] = f.data_matrix_array;
  d["positions_matrix_array"] = f.positions_matrix_array;
  d["positions_array"] = f.positions_array;
  d["close_matrix_array"] = f.close_matrix_array;
  d["proportional_spread_array"] = f.proportional_spread_array;
  d["latest_position_weights_array"] = f.latest_position_weights_array;
  d["securities_index_dict"] = f.securities_index_dict;
  d["optimal_params"] = f.optimal_params;
  d["pairs_list"] = f.pairs_list;
  d["hedge_ratios_dict"] = f.hedge_ratios_dict;
  d["cointegration_flags_dict"] = f.cointegration_flags_dict;
  d["halflife_dict"] = f.halflife_dict;
  d["spread_dict"] = f.spread_dict;
  d["spread_position_dict"] = f.spread_position_dict;
  d["reestimation_countdown_dict"] = f.reestimation_countdown_dict;
  d["take_profit_dict"] = f.take_profit_dict;
  d["stop_loss_dict"] = f.stop_loss_dict;
  d["time_barrier_dict"] = f.time_barrier_dict;
  d["spread_at_entry_dict"] = f.spread_at_entry_dict;
  d["std_at_entry_dict"] = f.std_at_entry_dict;
  d["barrier_countdown_dict"] = f.barrier_countdown_dict;
  d["vodED_features_requested"] = f.vodED_features_requested;
  d["trade_counter"] = f.trade_counter;
  d["trade_record_template"] = f.trade_record_template;
  d["trade_store"] = f.trade_store;
  d["open_trade_records"] = f.open_trade_records;
  d["meta_label_veto"] = f.meta_label_veto;
  d["train_trades_store_df"] = f.train_trades_store_df;
  d["test_trades_store_df"] = f.test_trades_store_df;
  d["vodED_signalsmith"] = f.vodED_signalsmith;
  d["vodED_tradegate"] = f.vodED_tradegate;
  d["vodED_ready"] = f.vodED_ready;
  d["object_store_dict"] = f.object_store_dict;
  return d;
}

// ---------------------------------------------------------------- live update and predict

py::object utc_naive_index(py::handle index) {
  py::object idx = py::reinterpret_borrow<py::object>(index);
  if (!idx.attr("tz").is_none()) idx = idx.attr("tz_convert")("UTC").attr("tz_localize")(py::none());
  return idx.attr("as_unit")("ns");
}

void update(Factor& f, py::object frame) {
  py::module_ pd = pandas();
  py::module_ np = numpy();
  if (!py::isinstance(frame, pd.attr("DataFrame"))) {
    raise_plain("New row of data is not a pd.core.frame.DataFrame object");
  }
  if (static_cast<std::int64_t>(py::len(frame.attr("columns"))) != f.number_of_data_columns) {
    raise_plain("New row of data does not have the same column length as the dataframe initialised");
  }
  if (!py::isinstance(frame.attr("index"), pd.attr("DatetimeIndex"))) {
    raise_plain("New row of data does not have a datetime index");
  }
  // A bar without a time compares false with every time: stored, it would let any later bar in.
  if (truth(frame.attr("index").attr("hasnans"))) {
    raise_plain("New row of data has a missing datetime (NaT) in its index, every bar needs its time");
  }
  // Stored times are UTC without a zone: a zone-aware index is compared on the same clock.
  py::object index = utc_naive_index(frame.attr("index"));
  py::object latest = pd.attr("Timestamp")(f.datetime_array[py::int_(f.number_of_rows - 1)]);
  py::object first = index[py::int_(0)];
  if (first <= latest) {
    raise_plain("Datetime of new row of data is before the latest datetime already recorded");
  }
  // A repeated or backward time inside the frame would leave the stored bars no time series.
  if (!truth(index.attr("is_monotonic_increasing")) || !truth(index.attr("is_unique"))) {
    raise_plain("Datetimes of new rows of data are not strictly increasing, every bar must be later than the one "
                "before it");
  }
  // Everything is converted before anything is replaced: a failure leaves the factor as it was.
  py::object ordered = frame[py::list(f.data_column_names_array)];
  py::object new_times = np.attr("asarray")(index, py::arg("dtype") = "datetime64[ns]");
  py::array new_data = owned_matrix(ordered);
  // A bad quote is stored as the history's cleaning stores it: that security's missing bar,
  // carried from the bar before (the last stored one is always usable).
  const LabelGroups labels = label_groups(ordered.attr("columns"));
  const UnusableBars bad = unusable_bars(ordered, labels);
  py::array_t<double> before = np.attr("ascontiguousarray")(
      f.data_matrix_array[py::int_(f.number_of_rows - 1)], py::arg("dtype") = np.attr("float64"));
  cf::fill_missing_bars(static_cast<double*>(new_data.mutable_data()), new_data.shape(0), new_data.shape(1),
                        before.data(), labels.price_columns, bad.prices.data(), labels.volume_columns,
                        bad.volumes.data());
  py::object stored = pd.attr("DataFrame")(new_data, py::arg("columns") = ordered.attr("columns"),
                                           py::arg("copy") = false);
  py::array new_closes = owned_matrix(stored[labels_for(f.securities_names_list, "_close")]);
  py::object datetimes = np.attr("concatenate")(py::make_tuple(f.datetime_array, new_times));
  py::object data = np.attr("concatenate")(py::make_tuple(f.data_matrix_array, new_data));
  py::object closes = np.attr("concatenate")(py::make_tuple(f.close_matrix_array, new_closes));
  f.datetime_array = datetimes;
  f.data_matrix_array = data;
  f.close_matrix_array = closes;
  f.number_of_rows += static_cast<std::int64_t>(new_data.shape(0));
}

bool empty_or_none(py::handle obj) { return obj.is_none() || py::len(obj) == 0; }

// Whether `behind` (a pandas Timedelta) is at least `n` minutes. Compared in whole minutes,
// floor(behind / 1 min) >= n, which holds exactly when behind >= n minutes: any 64-bit n has
// a meaning, where pandas refuses a Timedelta of more than about 1.5e8 minutes, and a very
// large tolerance is never reached (no rerun on time alone).
bool at_least_minutes(py::handle behind, std::int64_t n) {
  const std::int64_t ns = behind.attr("value").cast<std::int64_t>();
  constexpr std::int64_t kNsPerMinute = 60'000'000'000;
  std::int64_t whole = ns / kNsPerMinute;
  if (ns % kNsPerMinute < 0) whole -= 1;
  return whole >= n;
}

// Whether the per-pair state is the one a full backtest of `params` on the stored data
// would leave: walked with these parameters, with the meta-label model of the latest load or
// retraining, and vetoing exactly when that load found a model.
bool walk_state_is_current(const Factor& f, const py::dict& params) {
  if (f.walk_state_params.is_none() || !f.walk_state_params.equal(params)) return false;
  if (f.walk_state_model_generation != f.vodED_model_generation) return false;
  const bool veto = truth(f.vodED_ready);
  return f.walk_state_vetoed == veto && veto == f.vodED_model_loaded;
}

// The legs' market values at the latest closes, as a share of their gross: the backtest's
// sizing. A security not held enters with 0 whatever its close.
py::object market_value_weights(py::handle positions, py::handle closes) {
  py::module_ np = numpy();
  NumpyErrstate quiet;
  py::object values = np.attr("where")(np.attr("not_equal")(positions, 0.0),
                                       py::reinterpret_borrow<py::object>(positions) * closes, 0.0);
  py::object gross = np.attr("sum")(np.attr("abs")(values));
  if (gross.equal(py::float_(0.0))) return values;
  return values / gross;
}

// While predict catches up, trades the store already holds from an earlier run of the same
// parameters over the same bars are not stored again: a live process that reruns at every bar
// would otherwise store the whole history's trades once per predict.
class SkippingRecordedTrades {
 public:
  explicit SkippingRecordedTrades(Factor& f) : f_(f), before_(f.skip_recorded_trades) { f_.skip_recorded_trades = true; }
  ~SkippingRecordedTrades() { f_.skip_recorded_trades = before_; }
  SkippingRecordedTrades(const SkippingRecordedTrades&) = delete;
  SkippingRecordedTrades& operator=(const SkippingRecordedTrades&) = delete;

 private:
  Factor& f_;
  bool before_;
};

// A best trial of the study other than the one whose parameters the factor holds.
struct BestTrialChange {
  bool changed = false;
  std::int64_t number = -1;
  py::object params;
  StudyFileStamp stamp;

  // After the rerun: the parameters it loaded are this trial's (unless the study changed
  // once more in between, which the next look finds).
  void adopt_if_held(Factor& f) const {
    if (f.optimal_params.is_none() || !f.optimal_params.equal(params)) return;
    f.optimal_params_trial = number;
    f.optimal_params_study_stamp = stamp;
  }
};

// Reads the best trial again only when the study file changed since it was last confirmed (a
// stat or two otherwise). A study that has gone away (no file, no such study, no completed
// trial yet) changes nothing: the parameters held stay, and stepping goes on with them.
BestTrialChange look_for_new_best_trial(Factor& f, const StudyIdentity& study) {
  BestTrialChange change;
  const std::optional<StudyFileStamp> stamp = study_file_stamp(study.file_name());
  const std::optional<StudyFileStamp>& seen = f.optimal_params_study_stamp;
  if (stamp && seen && !seen->racy && seen->same_file_state(*stamp)) return change;
  const std::optional<BestTrial> best = stamp ? current_best_trial(study) : std::nullopt;
  if (!best) {
    f.optimal_params_study_stamp.reset();  // looked at again when it comes back
    return change;
  }
  const bool same_trial = f.optimal_params_trial < 0 || f.optimal_params_trial == best->number;
  if (same_trial && best->params.equal(f.optimal_params)) {
    f.optimal_params_trial = best->number;
    f.optimal_params_study_stamp = stamp;
    return change;
  }
  const std::string before =
      f.optimal_params_trial < 0 ? "AN EARLIER BEST TRIAL" : "TRIAL " + std::to_string(f.optimal_params_trial);
  shared_logger().attr("info")("BEST TRIAL OF THE STUDY CHANGED FROM " + before + " TO TRIAL " +
                               std::to_string(best->number) + ": RERUNNING THE BACKTEST WITH ITS PARAMETERS" +
                               " | PAIRS TRADING SERIAL COINTEGRATION FACTOR " + std::to_string(f.resolution_in_mins));
  change.changed = true;
  change.number = best->number;
  change.params = best->params;
  change.stamp = *stamp;
  return change;
}

py::object predict(py::object self, bool return_arrays, bool convert_to_actual_positions, double current_equity,
                   std::int64_t number_of_minutes_away_before_needing_to_rerun) {
  if (convert_to_actual_positions && !(std::isfinite(current_equity) && current_equity > 0.0)) {
    raise_plain("current_equity must be a positive finite number to convert the weights into positions, got " +
                py::str(py::float_(current_equity)).cast<std::string>());
  }
  Factor& f = factor_of(self);
  py::module_ pd = pandas();
  py::module_ np = numpy();
  const StudyIdentity study = study_of(f);
  if (empty_or_none(f.optimal_params)) {
    f.optimal_params = load_best_params(study);
    f.forget_optimal_params_trial();
  }
  // The study's current best trial is traded, whatever the tolerance: a refit elsewhere
  // since the parameters were read makes this predict rerun with the new best.
  const BestTrialChange best = look_for_new_best_trial(f, study);
  py::dict params = py::reinterpret_borrow<py::dict>(f.optimal_params);
  py::object latest = f.datetime_array[py::int_(f.number_of_rows - 1)];
  auto behind = [&]() { return pd.attr("Timestamp")(latest) - pd.attr("Timestamp")(f.last_run_time); };

  // The walk state catches up with the latest bar by stepping every window it has not seen,
  // in order, or by one whole rerun; both end in the same state. A rerun is due when the
  // tolerance says so, or when the state belongs to other parameters (a later fit, say) or to
  // another meta-label model (loaded or retrained since) than a full backtest would use now.
  // Otherwise stepping is the cheaper way for any k windows a state can be behind (k <=
  // rows - w + 1): k steps cost k of the walk's per-bar passes, while a rerun walks all
  // rows - w windows and then books and scores both parts, downloads included. bench/live.py:
  // 100 hourly bars of 28 pairs step in about a millisecond, over a hundred times faster than
  // the rerun, and a stepped window costs a few microseconds beside a predict's fixed one.
  // A rerun walks again windows stepped or walked before, and the step after it the window
  // the last predict stepped: trades held from those are not stored again.
  SkippingRecordedTrades once(f);
  if (best.changed || !walk_state_is_current(f, params) ||
      at_least_minutes(behind(), number_of_minutes_away_before_needing_to_rerun)) {
    self.attr("get_full_backtest_results")();
    if (best.changed) best.adopt_if_held(f);
    params = py::reinterpret_borrow<py::dict>(f.optimal_params);
  }
  const std::int64_t window = window_from_params(params["size_of_rolling_windows"]);
  // A rerun that left no state of these parameters (one overridden by a subclass, say): the
  // steps start from fresh state, which walks every window.
  if (!walk_state_is_current(f, params)) initialize_pair_state(f, window);

  // Step the windows the walk state has not seen: after new bars, and after any full run
  // (whose last window ends before the latest bar).
  if (f.walk_state_end < f.number_of_rows) {
    // Records opened or closed in the latest window belong to the latest bar.
    f.current_time = latest;
    py::object positions =
        step_positions(f, params, std::max(f.walk_state_end + 1, window), f.number_of_rows);
    // Legs are in hedge-ratio units: weights follow their market values at the latest closes,
    // as the backtest's sizing does.
    py::object weights = market_value_weights(positions, f.close_matrix_array[py::int_(f.number_of_rows - 1)]);
    f.current_time = latest;
    f.last_run_time = latest;
    f.latest_position_weights_array = np.attr("asarray")(weights, py::arg("dtype") = "float64");
  }

  py::object weights = f.latest_position_weights_array;
  py::object result = weights;
  if (convert_to_actual_positions) {
    if (f.scale_equity_to_traded_securities) {
      py::object nonzero = np.attr("not_equal")(weights, 0.0);
      const double ratio = py::float_(np.attr("count_nonzero")(nonzero)).cast<double>() /
                           static_cast<double>(py::len(weights));
      py::object closes = f.close_matrix_array[py::int_(f.number_of_rows - 1)];
      NumpyErrstate quiet;
      // A security with no weight holds no units, whatever its latest close.
      py::object units = weights * py::float_(current_equity) * py::float_(ratio) / closes;
      result = np.attr("where")(nonzero, units, 0.0);
    } else {
      result = weights * py::float_(current_equity);
    }
  }
  if (return_arrays) return result;
  py::dict by_security;
  py::list names = py::list(f.securities_names_list);
  for (std::size_t j = 0; j < names.size(); ++j) by_security[names[j]] = result[py::int_(j)];
  py::list columns;
  columns.append(f.current_time);
  return pd.attr("DataFrame").attr("from_dict")(by_security, py::arg("orient") = "index",
                                                py::arg("columns") = columns);
}

const char* kClassDoc = R"doc(
Pairs-trading factor on serial Johansen cointegration of every pair of a universe.

Args:
    universe_name (str): name of the universe; part of the study file name.
    raw_OHCLV_dataframe (pd.DataFrame): bars indexed by a time-zone-aware DatetimeIndex,
        five columns "<security>_open/_high/_low/_close/_volume" per security.
    resolution_in_mins (int): bar size in minutes the data is resampled to.
    trading_hours (list): (start, end) pairs of datetime.time in the index's zone; [] for
        the whole day.
    trades_only_on_weekdays (bool): drop Saturday and Sunday bars.
    vodED_signalsmith: feature generator called at entries, or None.
    vodED_tradegate: entry classifier whose saved model vetoes entries, or None.
    securities_names_list (list): the securities; inferred from the columns when empty.
    objective (str): one of Scorebook.available_objectives.
    train_split_ratio (float): in-sample share of the walked bars, 0 < ratio <= 1.
    starting_equity (float): equity at the first bar.
    pct_equity_invested (float): share of equity put into positions, > 0.
    market_value_pct_commissions (float): commission rate on traded market value.
    bid_ask_spread_pct_slippage (float): share of the estimated spread paid as slippage.
    scale_equity_to_traded_securities (bool): scale invested equity by the share of
        securities traded.
)doc";

}  // namespace

void register_factor(py::module_& m) {
  // Looked up in the module's globals at every construction, so it can be replaced there.
  m.attr("Scorebook") = py::module_::import("velmora.utils.results.scorebook").attr("Scorebook");
  m.attr("Inference") = py::module_::import("velmora.utils.inference.inference").attr("Inference");
  py::module_ optuna = py::module_::import("optuna");
  optuna.attr("logging").attr("set_verbosity")(optuna.attr("logging").attr("WARNING"));
  py::module_::import("warnings").attr("filterwarnings")(
      "ignore", py::arg("category") = py::module_::import("optuna.exceptions").attr("ExperimentalWarning"));
  m.attr("logger") = setup_module_logging();

  py::class_<Factor> cls(m, kFactorName, kClassDoc, gc_type_setup<Factor>());

  // The default list is created once; the constructor never appends to it.
  py::list default_securities;
  cls.def("__init__", &construct, py::detail::is_new_style_constructor(), py::arg("universe_name"),
          py::arg("raw_OHCLV_dataframe"), py::arg("resolution_in_mins"), py::arg("trading_hours"),
          py::arg("trades_only_on_weekdays"), py::arg("vodED_signalsmith") = py::none(),
          py::arg("vodED_tradegate") = py::none(), py::arg("securities_names_list") = default_securities,
          py::arg("objective") = py::str(kDefaultObjective), py::arg("train_split_ratio") = 0.8,
          py::arg("starting_equity") = 100000.0, py::arg("pct_equity_invested") = 0.9,
          py::arg("market_value_pct_commissions") = 0.001, py::arg("bid_ask_spread_pct_slippage") = 0.5,
          py::arg("scale_equity_to_traded_securities") = true);

  cls.def("intialize_pairs_trading_data_structures", &intialize_pairs_trading_data_structures, R"doc(
Builds the working arrays from raw_OHCLV_dataframe: resampled, filtered to trading hours
(and weekdays), at least int(252 x minutes of a trading day / resolution_in_mins) bars, and
the proportional spread estimates.

Returns:
    None
)doc");
  cls.def(
      "initialize_vodED_data_structures",
      [](Factor& f, py::object vodED_signalsmith, py::object vodED_tradegate) {
        initialize_vodED_data_structures(f, std::move(vodED_signalsmith), std::move(vodED_tradegate));
      },
      py::arg("vodED_signalsmith"), py::arg("vodED_tradegate"), R"doc(
Keeps the meta-label objects, empties the trade store and loads a saved classifier if one exists.

Args:
    vodED_signalsmith: feature generator, or None.
    vodED_tradegate: entry classifier, or None.

Returns:
    None
)doc");
  cls.def("get_clean_dataframe", &get_clean_dataframe, R"doc(
The data the factor holds, as a DataFrame indexed by zone-less UTC bar times.

Returns:
    pd.DataFrame: one row per bar, the cleaned columns in the input frame's order.
)doc");
  cls.def("__reduce__", &reduce, R"doc(
Pickles the factor as its fifteen constructor values; no fitted state travels.

Returns:
    tuple: (rebuild function, constructor arguments).
)doc");

  cls.def(
      "update", [](Factor& f, py::object new_dataframe_of_data) { update(f, std::move(new_dataframe_of_data)); },
      py::arg("new_dataframe_of_data") = py::none(), R"doc(
Updates this factor with the latest available data

Args:
    new_dataframe_of_data (pd.DataFrame): bars after the last stored bar, at the factor's
        resolution and inside its trading hours (they are neither resampled nor filtered),
        with the stored column labels in any order and a strictly increasing DatetimeIndex
        without NaT (a zone-aware one is read in UTC, a zone-less one as UTC clock time).
        A bar whose open, high, low or close of a security is not a positive finite number
        is stored as that security's missing bar, carried from the bar before; so is a bar
        left missing (NaN), and a missing volume is stored as 0.

Returns:
    None
)doc");
  cls.def("predict", &predict, py::arg("return_arrays") = false, py::arg("convert_to_actual_positions") = false,
          py::arg("current_equity") = 100000.0, py::arg("number_of_minutes_away_before_needing_to_rerun") = 5,
          R"doc(
Produces the position weights(default) or positions from the latest available data

Portfolios should aim to hold these weights or positions to reflect the factor's model.
They are those of the study's current best trial: when another process has written a new
best trial into the study since its parameters were read, predict reruns the backtest with
it and logs the change.

Args:
    return_arrays (bool): return a numpy array instead of a DataFrame.
    convert_to_actual_positions (bool): turn the weights into positions for current_equity.
    current_equity (float): the equity actually available, a positive finite number when
        converting.
    number_of_minutes_away_before_needing_to_rerun (int): rerun the whole backtest first when
        the latest bar is at least this many minutes past the last prediction; otherwise the
        windows since are stepped one by one. Both give the same weights.

Returns:
    pd.DataFrame or numpy.ndarray: one value per security, indexed by the security names
    (the DataFrame's column is the latest bar time).
)doc");

  py::object property = py::module_::import("builtins").attr("property");
  cls.attr("current_time") = property(
      py::cpp_function([](const Factor& f) { return f.current_time; }),
      py::cpp_function([](Factor& f, py::object value) { f.current_time = std::move(value); }),
      py::cpp_function([](Factor& f) { f.current_time = py::none(); }),
      "Time of the bar being processed; written into trade records.");
  cls.attr("object_store_dict") = property(
      py::cpp_function([](const Factor& f) { return f.object_store_dict; }),
      py::cpp_function([](Factor& f, py::object value) {
        check_assigned_type(value, reinterpret_cast<PyObject*>(&PyDict_Type));
        f.object_store_dict = std::move(value);
      }),
      py::cpp_function([](Factor& f) { f.object_store_dict = py::none(); }),
      "Free store for the caller's objects; the factor never reads it.");

  m.def(
      "_run_walk", [](py::handle factor, const py::dict& params) { return walk_positions(factor_of(factor), params); },
      py::arg("factor"), py::arg("params"),
      "Runs the factor's rolling walk with the given pairs_trading_params; returns positions_matrix_array.");
  m.def(
      "_one_bar_positions",
      [](py::handle factor, const py::dict& params, std::int64_t end) {
        return one_bar_positions(factor_of(factor), params, end);
      },
      py::arg("factor"), py::arg("params"), py::arg("end"),
      "One step of every pair over the window ending before row `end`, continuing from the factor's "
      "per-pair state; returns the positions vector.");
  m.def(
      "_train_test_split",
      [](py::handle factor, std::int64_t size_of_rolling_windows) {
        Factor& f = factor_of(factor);
        return train_test_split(f, f.train_split_ratio, f.number_of_rows, size_of_rolling_windows);
      },
      py::arg("factor"), py::arg("size_of_rolling_windows"),
      "The factor's train/test split of its walked rows, for tests.");
  m.def(
      "_request_features",
      [](py::handle factor, bool requested) { factor_of(factor).vodED_features_requested = requested; },
      py::arg("factor"), py::arg("requested"),
      "Sets whether entries compute features (fit does this before its final run), for tests.");
  m.def("_factor_fields", &factor_fields, py::arg("factor"),
        "Every field of a factor by name (the objects themselves), for tests.");
  m.def(
      "_clean_dataframe",
      [](py::object frame, std::int64_t resolution_in_mins, py::object trading_hours, bool trades_only_on_weekdays) {
        return clean_dataframe(frame, resolution_in_mins, parse_trading_hours(trading_hours), trades_only_on_weekdays);
      },
      py::arg("frame"), py::arg("resolution_in_mins"), py::arg("trading_hours"), py::arg("trades_only_on_weekdays"),
      "The factor's cleaning of a frame, for tests.");
  m.def(
      "_trading_day_settings",
      [](py::object trading_hours, std::int64_t resolution_in_mins) {
        const std::int64_t minutes = cf::minutes_in_trading_day(parse_trading_hours(trading_hours));
        return py::make_tuple(minutes, cf::bars_per_trading_day(minutes, resolution_in_mins),
                              cf::minimum_number_of_bars(minutes, resolution_in_mins));
      },
      py::arg("trading_hours"), py::arg("resolution_in_mins"),
      "(minutes in a trading day, bars per trading day, fewest bars accepted), for tests.");
  m.def(
      "_proportional_spread",
      [](py::handle log_close, py::handle log_high, py::handle log_low, std::int64_t number_of_rows) {
        py::array c = require_float64(log_close, "log_close", 1);
        py::array h = require_float64(log_high, "log_high", 1);
        py::array l = require_float64(log_low, "log_low", 1);
        if (h.shape(0) != c.shape(0) || l.shape(0) != c.shape(0)) throw py::value_error("lengths differ");
        py::module_ np = numpy();
        py::array cc = np.attr("ascontiguousarray")(c), hc = np.attr("ascontiguousarray")(h),
                  lc = np.attr("ascontiguousarray")(l);
        return cf::proportional_spread(static_cast<const double*>(cc.data()), static_cast<const double*>(hc.data()),
                                       static_cast<const double*>(lc.data()), 1, cc.shape(0), number_of_rows);
      },
      py::arg("log_close"), py::arg("log_high"), py::arg("log_low"), py::arg("number_of_rows"),
      "One security's proportional spread estimate from its daily log prices, for tests.");
}

}  // namespace velmora::bind::cointpairs
