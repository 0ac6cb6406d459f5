// PairsTradingSerialCointegrationFactor: construction, cleaning into working arrays, the
// slippage spread estimate, the classifier load hook, update (live bars stored as construction
// stores them), pickling and cyclic GC.

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
  // predict catching up trades the model its look at the file settled on, not a file
  // rewritten since: its rerun and its steps are of one model.
  if (f.model_held) return py::bool_(f.vodED_model_loaded);
  // Whatever the load finds (another file, none, or an error half-way), the model may have
  // changed under the walk state.
  ++f.vodED_model_generation;
  f.vodED_model_loaded = false;
  if (f.vodED_tradegate.is_none()) return py::bool_(false);
  // Taken before the load: a rewrite while it loads is a change the next look finds.
  const std::string path = model_file_path(f);
  const std::optional<StudyFileStamp> stamp = study_file_stamp(path);
  const std::optional<std::uint64_t> digest = stamp ? file_digest(path) : std::nullopt;
  f.model_file_known = false;
  py::object loaded =
      f.vodED_tradegate.attr("__check_and_load_optimal_entry_classifier")(py::arg("factor_name") = f.factor_name);
  f.vodED_model_loaded = truth(loaded);
  f.model_file_known = true;
  f.model_file_stamp = stamp;
  f.model_file_digest = digest;
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
