// velmora.vodED.signalsmith: spread features of a pair (Signalsmith) and sample-uniqueness
// weights of overlapping trades (SampleWeights).

#include "common/common.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

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
  py::array arr = py::reinterpret_borrow<py::array>(result);
  if (arr.ndim() != 1) {
    raise_value_error("Buffer has wrong number of dimensions (expected 1, got " +
                      std::to_string(arr.ndim()) + ")");
  }
  if (!(arr.dtype().kind() == 'f' && arr.dtype().itemsize() == 8)) {
    raise_value_error("Buffer dtype mismatch, expected 'float64_t' but got '" +
                      py::str(arr.dtype()).cast<std::string>() + "'");
  }
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

}  // namespace

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) {
  m.doc() = "Spread features of a pair of securities and sample-uniqueness weights of overlapping trades.";
  vb::setup_module_logging();
  register_sample_weights(m);
}
