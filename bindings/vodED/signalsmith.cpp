// velmora.vodED.signalsmith: spread features of a pair (Signalsmith) and sample-uniqueness
// weights of overlapping trades (SampleWeights).

#include "common/common.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "velmora/core/signals/bars.hpp"
#include "velmora/core/signals/sample_weights.hpp"

namespace py = pybind11;
namespace vb = velmora::bind;

namespace {

// ---------------------------------------------------------------- shared argument checks

[[noreturn]] void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw py::error_already_set();
}

py::object ndarray_type() { return vb::numpy().attr("ndarray"); }

// "Argument 'x' has incorrect type (expected numpy.ndarray, got list)"; subclasses of
// ndarray and None pass.
void check_ndarray(py::handle obj, const char* argument) {
  if (obj.is_none() || py::isinstance(obj, ndarray_type())) return;
  vb::raise_type_error("Argument '" + std::string(argument) +
                       "' has incorrect type (expected numpy.ndarray, got " + vb::type_name(obj) +
                       ")");
}

// ---------------------------------------------------------------- SampleWeights

struct SampleWeights {};

constexpr const char* kGrid = "complete_datetime_indices_array";
constexpr const char* kStarts = "training_samples_start_datetime_array";
constexpr const char* kEnds = "training_samples_end_datetime_array";
constexpr const char* kImpact = "training_samples_impact_array";

// The datetimes of `obj` as int64 nanoseconds, whatever numpy unit they come in (pandas 3
// hands over microseconds as often as nanoseconds). Arrays without elements need no dtype.
py::array_t<std::int64_t> datetimes_as_ns(py::handle obj, const char* argument) {
  if (obj.is_none()) {
    vb::raise_type_error("Argument '" + std::string(argument) + "' must be a numpy array, got None");
  }
  py::array arr = py::reinterpret_borrow<py::array>(obj);
  if (arr.ndim() != 1) {
    raise_value_error("Argument '" + std::string(argument) + "' must be one-dimensional, got " +
                      std::to_string(arr.ndim()) + " dimensions");
  }
  if (arr.size() == 0) return py::array_t<std::int64_t>(0);
  const char kind = arr.dtype().kind();
  if (kind != 'M' && kind != 'O') {
    vb::raise_type_error("Argument '" + std::string(argument) + "' must hold datetimes, got dtype " +
                         py::str(arr.dtype()).cast<std::string>());
  }
  py::object ns = arr.attr("astype")("datetime64[ns]").attr("view")("int64");
  auto ticks = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(ns);
  const std::int64_t* data = ticks.data();
  for (py::ssize_t i = 0; i < ticks.size(); ++i) {
    if (data[i] == std::numeric_limits<std::int64_t>::min()) {
      raise_value_error("Argument '" + std::string(argument) + "' holds NaT at position " +
                        std::to_string(i));
    }
  }
  return ticks;
}

py::array_t<double> get_sample_uniqueness_weights(py::handle, py::handle grid_obj,
                                                  py::handle starts_obj, py::handle ends_obj) {
  check_ndarray(grid_obj, kGrid);
  check_ndarray(starts_obj, kStarts);
  check_ndarray(ends_obj, kEnds);
  auto grid = datetimes_as_ns(grid_obj, kGrid);
  auto starts = datetimes_as_ns(starts_obj, kStarts);
  auto ends = datetimes_as_ns(ends_obj, kEnds);
  const py::ssize_t n = starts.size();
  if (ends.size() < n) {
    PyErr_SetString(PyExc_IndexError, ("index " + std::to_string(ends.size()) +
                                       " is out of bounds for axis 0 with size " +
                                       std::to_string(ends.size()) + " (" + kEnds + " is shorter than " +
                                       kStarts + ")")
                                          .c_str());
    throw py::error_already_set();
  }
  if (ends.size() > n) {
    raise_value_error(std::string(kEnds) + " has " + std::to_string(ends.size()) + " elements but " +
                      kStarts + " has " + std::to_string(n));
  }
  py::array_t<double> out(n);
  double* result = out.mutable_data();
  {
    py::gil_scoped_release release;
    velmora::core::sample_uniqueness(grid.data(), grid.size(), starts.data(), ends.data(), n, result);
  }
  return out;
}

// The uniqueness values a (possibly overridden) get_sample_uniqueness_weights returned,
// held to a one-dimensional float64 array.
py::array uniqueness_result(py::handle result) {
  if (!py::isinstance(result, ndarray_type())) {
    vb::raise_type_error("Cannot convert " + vb::type_name(result) + " to numpy.ndarray");
  }
  py::array arr = vb::float64_buffer(py::reinterpret_borrow<py::array>(result), 1);
  return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(arr);
}

py::array_t<double> fit_transform(py::object self, py::handle grid, py::handle starts,
                                  py::handle ends, py::handle impact_obj) {
  check_ndarray(grid, kGrid);
  check_ndarray(starts, kStarts);
  check_ndarray(ends, kEnds);
  check_ndarray(impact_obj, kImpact);
  // Through the instance, so that a subclass's own uniqueness is the one normalised.
  auto u = py::array_t<double>(uniqueness_result(self.attr("get_sample_uniqueness_weights")(grid, starts, ends)));
  if (impact_obj.is_none()) {
    vb::raise_type_error("Argument '" + std::string(kImpact) + "' must be a numpy array, got None");
  }
  py::array impact_arr = py::reinterpret_borrow<py::array>(impact_obj);
  if (impact_arr.ndim() > 1) {
    raise_value_error("Argument '" + std::string(kImpact) + "' must be one-dimensional, got " +
                      std::to_string(impact_arr.ndim()) + " dimensions");
  }
  auto impact = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
      vb::numpy().attr("asarray")(impact_arr, py::arg("dtype") = "float64").attr("ravel")());
  std::vector<double> weights;
  {
    py::gil_scoped_release release;
    weights = velmora::core::normalised_sample_weights(u.data(), u.size(), impact.data(), impact.size());
  }
  py::array_t<double> out(static_cast<py::ssize_t>(weights.size()));
  std::copy(weights.begin(), weights.end(), out.mutable_data());
  return out;
}

void register_sample_weights(py::module_& m) {
  py::class_<SampleWeights> cls(m, "SampleWeights",
                                "Contains functionality to create, modify and enrich features");
  cls.def(vb::init_ignoring_arguments<SampleWeights>());
  cls.def("get_sample_uniqueness_weights", &get_sample_uniqueness_weights, py::arg(kGrid),
          py::arg(kStarts), py::arg(kEnds), R"doc(Calculates the uniqueness of each sample based on the amount of overlapping domain of the label function

Args:
    complete_datetime_indices_array (np.ndarray): The full datetime indices of this training set, with the same datetime resolution as the one used to generate samples for the training set
    training_samples_start_datetime_array (np.ndarray): All the start datetime of the samples in this training set
    training_samples_end_datetime_array (np.ndarray): All the end datetime of the samples in this training set

Returns:
    uniqueness_weights_array (np.ndarray[float64, ndim=1]): An array containing the uniqueness weights corresponding to each sample
)doc");
  cls.def("fit_transform", &fit_transform, py::arg(kGrid), py::arg(kStarts), py::arg(kEnds),
          py::arg_v(kImpact, vb::numpy().attr("array")(py::list()), "np.array([])"),
          R"doc(Calculates the sample weights of each sample based on the uniqueness and impact of each sample

Args:
    complete_datetime_indices_array (np.ndarray): The full datetime indices of this training set, with the same datetime resolution as the one used to generate samples for the training set
    training_samples_start_datetime_array (np.ndarray): All the start datetime of the samples in this training set
    training_samples_end_datetime_array (np.ndarray): All the end datetime of the samples in this training set
    training_samples_impact_array (np.ndarray): Optinally, the impact of the samples in this training set. An example of an impact of a sample will be the absolute returns

Returns:
    uniqueness_weights_array (np.ndarray[float64, ndim=1]): An array containing the sample weights for each sample
)doc");
  vb::refuse_pickling(cls);
  // Assigned rather than def()'d: pybind11 reads a def()'d __setstate__ as a constructor.
  cls.attr("__setstate__") = py::cpp_function(
      [](py::handle, py::handle) { vb::raise_type_error("no default __reduce__ due to non-trivial __cinit__"); },
      py::name("refuse_setstate"), py::is_method(cls));
}


// ---------------------------------------------------------------- Signalsmith

namespace core = velmora::core;

struct Signalsmith {};

constexpr const char* kPair = "pair_of_security";
constexpr const char* kHedges = "pair_hedge_ratios";
constexpr const char* kLabels = "data_column_names_array";
constexpr const char* kWindow = "rolling_window_matrix_array";

// A 2-D float64 ndarray as a strided view, never converted (an int64 window is a caller bug
// that a silent cast would hide). Non-contiguous and read-only windows are read in place; the
// array is held with the view because it may be an aligned copy of an odd-strided one.
struct Window {
  py::array array;
  core::WindowView view;
};

Window window_view(py::handle obj, const char* argument = kWindow) {
  if (obj.is_none()) vb::raise_type_error("'NoneType' object is not subscriptable");
  check_ndarray(obj, argument);
  Window w;
  w.array = vb::float64_buffer(py::reinterpret_borrow<py::array>(obj), 2);
  w.view = vb::view_2d(w.array);
  return w;
}

std::vector<std::string> column_labels(py::handle obj) {
  if (obj.is_none()) vb::raise_type_error("'NoneType' object is not iterable");
  check_ndarray(obj, kLabels);
  py::array arr = py::reinterpret_borrow<py::array>(obj);
  if (arr.ndim() != 1) {
    raise_value_error("Argument '" + std::string(kLabels) + "' must be one-dimensional, got " +
                      std::to_string(arr.ndim()) + " dimensions");
  }
  std::vector<std::string> labels;
  labels.reserve(static_cast<std::size_t>(arr.size()));
  for (py::handle label : py::list(arr.attr("tolist")())) {
    if (!PyUnicode_Check(label.ptr())) {
      vb::raise_type_error("Argument '" + std::string(kLabels) + "' must hold str labels, got " +
                           vb::type_name(label));
    }
    labels.push_back(label.cast<std::string>());
  }
  return labels;
}

std::string checked_str(py::handle obj, const char* what) {
  if (!PyUnicode_Check(obj.ptr())) {
    vb::raise_type_error(std::string(what) + " must be a str, got " + vb::type_name(obj));
  }
  return obj.cast<std::string>();
}

// The column of `security + "_" + field`, the left-most when labels repeat.
std::ptrdiff_t column_of(const std::vector<std::string>& labels, const core::WindowView& w,
                         const std::string& security, const char* field) {
  const std::string label = security + "_" + field;
  auto col = core::find_column(labels, label);
  if (!col) {
    PyErr_SetString(PyExc_IndexError, ("no column labelled '" + label + "' in " + kLabels).c_str());
    throw py::error_already_set();
  }
  if (*col >= w.cols) {
    PyErr_SetString(PyExc_IndexError, ("index " + std::to_string(*col) + " is out of bounds for axis 1 with size " +
                                       std::to_string(w.cols) + " (" + kWindow + " has fewer columns than " +
                                       kLabels + " has labels)")
                                          .c_str());
    throw py::error_already_set();
  }
  return *col;
}

core::BarColumns bar_columns(const std::vector<std::string>& labels, const core::WindowView& w,
                             const std::string& security) {
  core::BarColumns c;
  c.open = column_of(labels, w, security, "open");
  c.high = column_of(labels, w, security, "high");
  c.low = column_of(labels, w, security, "low");
  c.close = column_of(labels, w, security, "close");
  c.volume = column_of(labels, w, security, "volume");
  return c;
}

// Exactly two entries, as tuple unpacking demands.
std::array<py::object, 2> unpack_two(py::handle obj) {
  if (obj.is_none()) vb::raise_type_error("'NoneType' object is not iterable");
  py::tuple items = py::tuple(py::reinterpret_borrow<py::object>(obj));
  if (items.size() > 2) raise_value_error("too many values to unpack (expected 2)");
  if (items.size() < 2) {
    raise_value_error("not enough values to unpack (expected 2, got " + std::to_string(items.size()) + ")");
  }
  return {items[0], items[1]};
}

double as_double(py::handle obj) {
  const double x = PyFloat_AsDouble(obj.ptr());
  if (x == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return x;
}

// A bar tuple as five fresh float64 arrays plus the pointers the core writes through.
struct BarArrays {
  std::array<py::array_t<double>, 5> arrays;
  explicit BarArrays(py::ssize_t rows)
      : arrays{py::array_t<double>(rows), py::array_t<double>(rows), py::array_t<double>(rows),
               py::array_t<double>(rows), py::array_t<double>(rows)} {}
  core::BarOutputs outputs() {
    return {arrays[0].mutable_data(), arrays[1].mutable_data(), arrays[2].mutable_data(),
            arrays[3].mutable_data(), arrays[4].mutable_data()};
  }
  py::tuple as_tuple() const { return py::make_tuple(arrays[0], arrays[1], arrays[2], arrays[3], arrays[4]); }
};

struct SpreadArguments {
  std::string leg1, leg2;
  double h1 = 0.0, h2 = 0.0;
  Window window;
  std::vector<std::string> labels;
};

// The four arguments of the spread bars, read in the order the bars need them.
SpreadArguments spread_arguments(py::handle pair, py::handle hedges, py::handle labels_obj, py::handle window) {
  SpreadArguments a;
  auto [first, second] = unpack_two(pair);
  auto [hedge_first, hedge_second] = unpack_two(hedges);
  a.leg1 = checked_str(first, "a security name");
  a.leg2 = checked_str(second, "a security name");
  a.h1 = as_double(hedge_first);
  a.h2 = as_double(hedge_second);
  a.window = window_view(window);
  a.labels = column_labels(labels_obj);
  return a;
}

BarArrays engineer_spread(const SpreadArguments& a) {
  const core::WindowView& w = a.window.view;
  const std::vector<std::string>& labels = a.labels;
  const std::string& leg1 = a.leg1;
  const std::string& leg2 = a.leg2;
  const double h1 = a.h1, h2 = a.h2;
  const core::BarColumns c1 = bar_columns(labels, w, leg1);
  const core::BarColumns c2 = bar_columns(labels, w, leg2);
  BarArrays bars(w.rows);
  const core::BarOutputs out = bars.outputs();
  {
    py::gil_scoped_release release;
    core::spread_bars(w, c1, c2, h1, h2, out);
  }
  return bars;
}

std::pair<BarArrays, std::vector<double>> engineer_all_others(const std::vector<std::string>& securities,
                                                              const std::vector<std::string>& labels,
                                                              const core::WindowView& w) {
  std::vector<core::BarColumns> columns;
  columns.reserve(securities.size());
  for (const std::string& security : securities) columns.push_back(bar_columns(labels, w, security));
  BarArrays bars(w.rows);
  const core::BarOutputs out = bars.outputs();
  std::vector<double> weights;
  {
    py::gil_scoped_release release;
    weights = core::all_others_bars(w, columns, out);
  }
  return {std::move(bars), std::move(weights)};
}

std::vector<std::string> securities_list_of(py::handle obj) {
  if (obj.is_none()) vb::raise_type_error("object of type 'NoneType' has no len()");
  vb::check_list(obj, "securities_list", false);
  std::vector<std::string> securities;
  for (py::handle item : obj) securities.push_back(checked_str(item, "a security name"));
  return securities;
}

// ---- the feature table

enum class Params { None, Period, FastSlow, Ultosc, Adosc };
enum Period { kShort, kMedium, kLong };

struct Indicator {
  const char* function;
  Params params;
  std::vector<Period> periods;  // the variants of Period and FastSlow functions
};

// Keys and their order are the classifier's feature columns: never reorder.
const std::vector<Indicator>& indicator_table() {
  static const std::vector<Indicator> table = {
      {"BOP", Params::None, {}},
      {"ADX", Params::Period, {kShort, kMedium}},
      {"ADXR", Params::Period, {kShort}},
      {"AROONOSC", Params::Period, {kShort, kMedium, kLong}},
      {"CCI", Params::Period, {kShort, kMedium, kLong}},
      {"CMO", Params::Period, {kShort, kMedium, kLong}},
      {"DX", Params::Period, {kShort, kMedium, kLong}},
      {"MFI", Params::Period, {kShort, kMedium, kLong}},
      {"MINUS_DI", Params::Period, {kShort, kMedium, kLong}},
      {"MOM", Params::Period, {kShort, kMedium, kLong}},
      {"PLUS_DI", Params::Period, {kShort, kMedium, kLong}},
      {"PLUS_DM", Params::Period, {kShort, kMedium, kLong}},
      {"ROC", Params::Period, {kShort, kMedium, kLong}},
      {"ROCP", Params::Period, {kShort, kMedium, kLong}},
      {"ROCR", Params::Period, {kShort, kMedium, kLong}},
      {"RSI", Params::Period, {kShort, kMedium, kLong}},
      {"TRIX", Params::Period, {kShort}},
      {"WILLR", Params::Period, {kShort, kMedium}},
      {"APO", Params::FastSlow, {kMedium, kLong}},
      {"PPO", Params::FastSlow, {kMedium, kLong}},
      {"ULTOSC", Params::Ultosc, {}},
      {"AD", Params::None, {}},
      {"ADOSC", Params::Adosc, {}},
      {"OBV", Params::None, {}},
      {"TRANGE", Params::None, {}},
      {"ATR", Params::Period, {kShort, kMedium, kLong}},
      {"NATR", Params::Period, {kShort, kMedium, kLong}},
      {"HT_DCPERIOD", Params::None, {}},
      {"HT_DCPHASE", Params::None, {}},
  };
  return table;
}

std::string lower(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

// The module object, whose namespace holds the TA-Lib functions: they are looked up there at
// call time, so a replaced function is the one called.
PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<py::object> module_storage;

void module_object_init(py::module_& m) {
  module_storage.call_once_and_store_result([&m]() -> py::object { return m; });
}

py::object& module_object() { return module_storage.get_stored(); }

// A bar tuple as a bar builder returned it, held to five one-dimensional float64 arrays.
struct HeldBars {
  py::dict inputs;      // "open" ... "volume", the indicators' one positional argument
  py::ssize_t rows = 0;  // length of the open series
  py::ssize_t shortest = 0;  // length of the shortest of the five series
  bool no_data = true;  // no element of any series is a number
};

HeldBars hold_bars(py::handle result) {
  if (!PyTuple_Check(result.ptr())) {
    vb::raise_type_error("Cannot convert " + vb::type_name(result) + " to tuple");
  }
  py::tuple bars = py::reinterpret_borrow<py::tuple>(result);
  if (bars.size() != 5) {
    raise_value_error("a bar tuple has 5 series (open, high, low, close, volume), got " + std::to_string(bars.size()));
  }
  HeldBars held;
  const char* keys[5] = {"open", "high", "low", "close", "volume"};
  for (int i = 0; i < 5; ++i) {
    py::handle series = bars[static_cast<std::size_t>(i)];
    if (!py::isinstance(series, ndarray_type())) {
      vb::raise_type_error("Cannot convert " + vb::type_name(series) + " to numpy.ndarray");
    }
    py::array arr = vb::float64_buffer(py::reinterpret_borrow<py::array>(series), 1);
    auto contiguous = py::array_t<double, py::array::c_style>::ensure(arr);
    if (i == 0) held.rows = held.shortest = contiguous.size();
    held.shortest = std::min<py::ssize_t>(held.shortest, contiguous.size());
    // An empty window is no window without observations: it goes to TA-Lib and fails there.
    held.no_data = held.no_data && contiguous.size() > 0 && core::all_nan(contiguous.data(), contiguous.size());
    held.inputs[keys[i]] = contiguous;
  }
  return held;
}

// The fewest rows whose short period, int(rows * 0.2), every indicator accepts.
constexpr py::ssize_t kFewestRows = 10;

py::dict generate_features(py::handle self, py::handle pair, py::handle hedges, py::handle labels_obj,
                           py::handle window) {
  vb::check_exact_type(pair, kPair, reinterpret_cast<PyObject*>(&PyTuple_Type));
  vb::check_exact_type(hedges, kHedges, reinterpret_cast<PyObject*>(&PyTuple_Type));
  check_ndarray(labels_obj, kLabels);
  check_ndarray(window, kWindow);
  if (!window.is_none()) window_view(window);  // wrong dtype or rank: refused before any work

  // Both bar builders are reached through the instance, so a subclass may supply its own.
  const HeldBars spread = hold_bars(self.attr("__engineer_spread_OHCLV")(pair, hedges, labels_obj, window));
  auto [first, second] = unpack_two(pair);
  py::list others = py::cast(core::other_securities(column_labels(labels_obj), checked_str(first, "a security name"),
                                                    checked_str(second, "a security name")));
  const HeldBars composite = hold_bars(self.attr("__engineer_all_other_OHCLV")(others, labels_obj, window));

  // No TA-Lib call sees a window it cannot describe. An empty series has no last bar, and
  // some TA-Lib releases write past their buffers on it; under ten rows the short period is
  // below 2, which ADX refuses, so no dictionary could come of it.
  if (spread.shortest == 0 || composite.shortest == 0) {
    PyErr_SetString(PyExc_IndexError, "the window has no bars: there is no last bar to describe");
    throw py::error_already_set();
  }
  if (composite.rows < kFewestRows) {
    raise_value_error("a window of " + std::to_string(composite.rows) +
                      " rows is too short for the features: they need at least " +
                      std::to_string(kFewestRows));
  }

  const py::dict inputs[2] = {spread.inputs, composite.inputs};
  // Bars without a single observation (no other security, or a composite spoilt by a bad
  // price) have no indicator values; TA-Lib would still report some, AD as 0.
  const bool no_data[2] = {spread.no_data, composite.no_data};
  const char* bar_names[2] = {"_spread", "_all_others"};
  const auto n = static_cast<double>(composite.rows);
  // int(n * 0.2) and so on: the double product truncated toward zero.
  const long periods[3] = {static_cast<long>(n * 0.2), static_cast<long>(n * 0.5), static_cast<long>(n * 0.8)};
  const char* period_names[3] = {"_short", "_medium", "_long"};
  const py::ssize_t last = composite.rows - 1;

  py::dict namespace_ = module_object().attr("__dict__");
  py::object float64 = vb::numpy().attr("float64");
  py::dict features;
  for (const Indicator& ind : indicator_table()) {
    py::object function = namespace_[ind.function];
    const std::string stem = "float64_" + lower(ind.function);
    for (int b = 0; b < 2; ++b) {
      auto add = [&](const std::string& key, const py::dict& kwargs) {
        if (no_data[b]) {
          features[py::str(key)] = float64(std::numeric_limits<double>::quiet_NaN());
          return;
        }
        py::object values = function(inputs[b], **kwargs);
        py::object value = values[py::int_(last)];
        if (!py::isinstance(value, float64)) value = float64(value);
        features[py::str(key)] = value;
      };
      const std::string base = stem + bar_names[b];
      switch (ind.params) {
        case Params::None:
          add(base, py::dict());
          break;
        case Params::Period:
          for (Period p : ind.periods) add(base + period_names[p], py::dict(py::arg("timeperiod") = periods[p]));
          break;
        case Params::FastSlow:
          // Both periods the key names, and the moving-average type, are passed: the library's
          // defaults for the slow period and the average type are not part of the feature.
          for (Period p : ind.periods) {
            add(base + period_names[p] + "_short",
                py::dict(py::arg("fastperiod") = periods[p], py::arg("slowperiod") = periods[kShort],
                         py::arg("matype") = 0));
          }
          break;
        case Params::Ultosc:
          add(base, py::dict(py::arg("timeperiod1") = periods[kShort], py::arg("timeperiod2") = periods[kMedium],
                             py::arg("timeperiod3") = periods[kLong]));
          break;
        case Params::Adosc:
          add(base, py::dict(py::arg("fastperiod") = 3, py::arg("slowperiod") = 10));
          break;
      }
    }
  }
  return features;
}

void register_signalsmith(py::module_& m) {
  py::class_<Signalsmith> cls(m, "Signalsmith");
  cls.def(vb::init_ignoring_arguments<Signalsmith>());
  cls.def(
      "generate_features_for_pair_spreads",
      [](py::handle self, py::handle pair, py::handle hedges, py::handle labels, py::handle window) {
        return generate_features(self, pair, hedges, labels, window);
      },
      py::arg(kPair), py::arg(kHedges), py::arg(kLabels), py::arg(kWindow),
      R"doc(Computes the 126 TA-Lib indicator features of a pair spread and of the composite of the window's other securities

The spread's open, high, low and close are the hedge-weighted sums of the two legs' log
prices; its volume is the traded value of both legs divided by the absolute spread close.
The composite weighs the log prices of every other security with a "_close" column by the
least-variance eigen-portfolio of their log closes, scaled to unit variance. Each indicator
is read at the window's last bar, with periods of 20 %, 50 % and 80 % of the window's rows
(short, medium, long); a window of fewer than 10 rows fails with TA-Lib's error.

Args:
    pair_of_security (tuple): the pair's two security names (str), first leg then second leg
    pair_hedge_ratios (tuple): the two legs' hedge ratios (float), in the same order
    data_column_names_array (np.ndarray): the window's column labels, "<security>_open", "_high", "_low", "_close" or "_volume"
    rolling_window_matrix_array (np.ndarray): the window, a 2-D float64 array of one row per bar and one column per label

Returns:
    pair_spread_features (dict): 126 float64 values keyed "float64_<indicator>_spread..." and "float64_<indicator>_all_others...", in a fixed order; NaN where an indicator has no value at the last bar
)doc");

  cls.def(
      "__engineer_spread_OHCLV",
      [](py::handle, py::handle pair, py::handle hedges, py::handle labels, py::handle window) {
        return engineer_spread(spread_arguments(pair, hedges, labels, window)).as_tuple();
      },
      py::arg(kPair), py::arg(kHedges), py::arg(kLabels), py::arg(kWindow),
      "The spread bars of a pair: hedge-weighted log open, high, low, close, and traded value over |spread close|.");
  cls.def(
      "__engineer_all_other_OHCLV",
      [](py::handle, py::handle securities, py::handle labels, py::handle window) {
        const std::vector<std::string> names = securities_list_of(securities);
        const Window w = window_view(window);
        return engineer_all_others(names, column_labels(labels), w.view).first.as_tuple();
      },
      py::arg("securities_list"), py::arg(kLabels), py::arg(kWindow),
      "The bars of the unit-variance least-variance eigen-portfolio of the listed securities.");
  cls.def(
      "__get_pca_weights",
      [](py::handle, py::handle covariance) {
        const Window held = window_view(covariance, "covariance_matrix");
        const core::WindowView& c = held.view;
        if (c.rows != c.cols) raise_value_error("covariance_matrix must be square");
        std::vector<double> cov(static_cast<std::size_t>(c.rows * c.cols));
        for (std::ptrdiff_t i = 0; i < c.rows; ++i)
          for (std::ptrdiff_t j = 0; j < c.cols; ++j) cov[static_cast<std::size_t>(i * c.cols + j)] = c(i, j);
        std::vector<double> weights = core::least_variance_weights(cov, c.rows);
        py::array_t<double> out(static_cast<py::ssize_t>(weights.size()));
        std::copy(weights.begin(), weights.end(), out.mutable_data());
        return out;
      },
      py::arg("covariance_matrix"), "Unit-variance weights of the least-variance eigen-portfolio of a covariance.");
  cls.def(
      "__get_all_ohclv_array",
      [](py::handle, py::handle security, py::handle labels_obj, py::handle window, py::handle log_transform) {
        const std::string name = checked_str(security, "security");
        const Window held = window_view(window);
        const core::WindowView& w = held.view;
        const core::BarColumns c = bar_columns(column_labels(labels_obj), w, name);
        const bool log = vb::truth(log_transform);
        BarArrays bars(w.rows);
        const std::ptrdiff_t cols[5] = {c.open, c.high, c.low, c.close, c.volume};
        for (int f = 0; f < 5; ++f) core::window_column(w, cols[f], log && f < 4, bars.arrays[f].mutable_data());
        return bars.as_tuple();
      },
      py::arg("security"), py::arg(kLabels), py::arg(kWindow), py::arg("log_transform") = false,
      "A security's bar tuple (open, high, low, close, volume); prices logged when asked, volume never.");
  cls.def(
      "__get_specific_ohclv_array",
      [](py::handle, py::handle security, py::handle field, py::handle labels_obj, py::handle window,
         py::handle log_transform) -> py::object {
        const std::string name = checked_str(security, "security");
        const std::string field_name = checked_str(field, "field");
        const Window held = window_view(window);
        const core::WindowView& w = held.view;
        const std::ptrdiff_t col = column_of(column_labels(labels_obj), w, name, field_name.c_str());
        if (vb::truth(log_transform)) {
          py::array_t<double> out(w.rows);
          core::window_column(w, col, true, out.mutable_data());
          return out;
        }
        // The column itself, a view of the window.
        return window[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(col))];
      },
      py::arg("security"), py::arg("field"), py::arg(kLabels), py::arg(kWindow), py::arg("log_transform") = false,
      "One column of the window by label (the left-most of repeated labels), logged when asked.");

  // Stateless, so an instance travels as its class alone (a factor holding one can be sent to
  // worker processes).
  cls.def("__reduce__", [](py::handle self) {
    return py::make_tuple(py::type::handle_of(self), py::tuple());
  });
}

}  // namespace

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) {
  m.doc() = "Spread features of a pair of securities and sample-uniqueness weights of overlapping trades.";
  // Documentation strings are the methods' own texts, without generated signatures.
  py::options options;
  options.disable_function_signatures();
  m.attr("logger") = vb::setup_module_logging();
  module_object_init(m);
  // The indicator functions live in this module's namespace under their TA-Lib names.
  py::module_ abstract = py::module_::import("talib.abstract");
  for (py::handle name : abstract.attr("__all__")) m.attr(name) = abstract.attr(name);
  register_sample_weights(m);
  register_signalsmith(m);
}
