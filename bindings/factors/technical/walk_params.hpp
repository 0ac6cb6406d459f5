#pragma once
// Reading a trial's `pairs_trading_params` dict into the native walk's parameters, shared by
// the factor and by the private kernel bindings so both read the twelve keys the same way.

#include "common/common.hpp"
#include "velmora/core/pairs/walk.hpp"

namespace velmora::bind::cointpairs {

// A dict's window converted to an integer as the host's int() converts it; a value that has
// no such integer, or one beyond 64 bits, is refused naming the key.
inline std::int64_t window_from_params(pybind11::handle value) {
  namespace py = pybind11;
  PyObject* as_int = PyNumber_Long(value.ptr());
  if (as_int == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_OverflowError)) {
      throw py::error_already_set();
    }
    PyErr_Clear();
    throw py::value_error("size_of_rolling_windows " + py::repr(value).cast<std::string>() +
                          " is not a number of bars");
  }
  py::object integer = py::reinterpret_steal<py::object>(as_int);
  int overflow = 0;
  const long long window = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
  if (overflow != 0) {
    throw py::value_error("size_of_rolling_windows " + py::repr(value).cast<std::string>() +
                          " is beyond any number of bars");
  }
  if (window == -1 && PyErr_Occurred()) throw py::error_already_set();
  return window;
}

// The twelve strategy keys are read by name (a missing key raises KeyError, as a dict lookup
// would); the day-based settings come from the factor's fields.
inline core::pairs::WalkParams walk_params_from_dict(const pybind11::dict& params,
                                                     std::int64_t hedge_ratio_reestimation_interval,
                                                     std::int64_t johansen_sampling_step,
                                                     std::int64_t barrier_readjustment_interval,
                                                     std::int64_t maximum_zscore_window,
                                                     std::int64_t minimum_zscore_window = 30) {
  namespace py = pybind11;
  auto get = [&params](const char* key) -> py::object {
    PyObject* value = PyDict_GetItemString(params.ptr(), key);
    if (value == nullptr) {
      PyErr_SetObject(PyExc_KeyError, py::str(key).ptr());
      throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
  };
  auto as_double = [&get](const char* key) {
    py::object value = get(key);
    const double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
      PyErr_Clear();
      throw py::type_error(std::string(key) + " must be a number, got " + py::repr(value).cast<std::string>());
    }
    return number;
  };
  core::pairs::WalkParams p;
  p.size_of_rolling_windows = window_from_params(get("size_of_rolling_windows"));
  p.zscore_halflife_multiplier = as_double("zscore_halflife_multiplier");
  p.starting_sd_for_position_entry = as_double("starting_sd_for_position_entry");
  p.rolling_volatility_halflife_multiplier = as_double("rolling_volatility_halflife_multiplier");
  p.take_profit_std_multiplier = as_double("take_profit_std_multiplier");
  p.take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry =
      as_double("take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry");
  p.take_profit_current_volatility_multiplier_sensitivity_at_adjustment =
      as_double("take_profit_current_volatility_multiplier_sensitivity_at_adjustment");
  p.stop_loss_std_multiplier = as_double("stop_loss_std_multiplier");
  p.stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry =
      as_double("stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry");
  p.stop_loss_current_volatility_multiplier_sensitivity_at_adjustment =
      as_double("stop_loss_current_volatility_multiplier_sensitivity_at_adjustment");
  p.time_stop_halflife_multiplier = as_double("time_stop_halflife_multiplier");
  p.time_stop_adjustment_sensitivity = as_double("time_stop_adjustment_sensitivity");
  p.hedge_ratio_reestimation_interval = hedge_ratio_reestimation_interval;
  p.johansen_sampling_step = johansen_sampling_step;
  p.barrier_readjustment_interval = barrier_readjustment_interval;
  p.minimum_zscore_window = minimum_zscore_window;
  p.maximum_zscore_window = maximum_zscore_window;
  return p;
}

}  // namespace velmora::bind::cointpairs
