#pragma once
// What every velmora extension module repeats: logging set-up, argument checks with the
// library's messages, numpy buffer checks that reject instead of converting, numpy error
// states, Ctrl-C polling and pickling refusal. Include this first in every binding file.

#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "velmora/core/matrix.hpp"

namespace velmora::bind {

namespace py = pybind11;

// ---------------------------------------------------------------- errors

// A plain host `Exception(message)`: the library's way of refusing an argument.
[[noreturn]] inline void raise_plain(const std::string& message) {
  PyErr_SetString(PyExc_Exception, message.c_str());
  throw py::error_already_set();
}

[[noreturn]] inline void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw py::error_already_set();
}

inline std::string type_name(py::handle obj) {
  return py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>();
}

// The host's truth test of `obj`, its errors included (an array of several elements has no
// truth value).
inline bool truth(py::handle obj) {
  const int v = PyObject_IsTrue(obj.ptr());
  if (v < 0) throw py::error_already_set();
  return v != 0;
}

// "Argument 'x' has incorrect type (expected list, got tuple)" unless `obj` is exactly of
// `expected` (subclasses are refused, as for typed arguments) or None where that is allowed.
inline void check_exact_type(py::handle obj, const char* argument, py::handle expected,
                             bool none_allowed = true) {
  if (none_allowed && obj.is_none()) return;
  if (reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == expected.ptr()) return;
  raise_type_error("Argument '" + std::string(argument) + "' has incorrect type (expected " +
                   py::str(expected.attr("__name__")).cast<std::string>() + ", got " +
                   type_name(obj) + ")");
}

inline void check_list(py::handle obj, const char* argument, bool none_allowed = true) {
  check_exact_type(obj, argument, reinterpret_cast<PyObject*>(&PyList_Type), none_allowed);
}
inline void check_str(py::handle obj, const char* argument, bool none_allowed = true) {
  check_exact_type(obj, argument, reinterpret_cast<PyObject*>(&PyUnicode_Type), none_allowed);
}
inline void check_dict(py::handle obj, const char* argument, bool none_allowed = true) {
  check_exact_type(obj, argument, reinterpret_cast<PyObject*>(&PyDict_Type), none_allowed);
}

// A TypeError naming the argument unless `obj` is a pandas DataFrame (subclasses pass): what
// reads a frame's columns would otherwise fail on the first attribute it looks up.
inline void check_dataframe(py::handle obj, const char* argument) {
  if (py::isinstance(obj, py::module_::import("pandas").attr("DataFrame"))) return;
  raise_type_error("Argument '" + std::string(argument) +
                   "' must be a pandas DataFrame of OHCLV columns, got " + type_name(obj));
}

// "Expected dict, got int": the check applied to values assigned to typed attributes.
inline void check_assigned_type(py::handle obj, py::handle expected, bool none_allowed = true) {
  if (none_allowed && obj.is_none()) return;
  if (reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == expected.ptr()) return;
  raise_type_error("Expected " + py::str(expected.attr("__name__")).cast<std::string>() +
                   ", got " + type_name(obj));
}

// ---------------------------------------------------------------- logging

// basicConfig(), the shared logger " " at INFO, and the noisy grammar driver at WARNING.
// Returns the shared logger.
inline py::object setup_module_logging() {
  py::module_ logging = py::module_::import("logging");
  logging.attr("basicConfig")();
  py::object logger = logging.attr("getLogger")(" ");
  logger.attr("setLevel")(logging.attr("INFO"));
  logging.attr("getLogger")("blib2to3.pgen2.driver").attr("setLevel")(logging.attr("WARNING"));
  return logger;
}

inline py::object shared_logger() {
  return py::module_::import("logging").attr("getLogger")(" ");
}

inline std::string banner(const std::string& text) {
  const std::string dashes(29, '-');
  return dashes + text + dashes;
}

// ---------------------------------------------------------------- numpy buffers

// A strided read-only view of a float64 array; strides are in elements.
struct View1D {
  const double* data = nullptr;
  std::ptrdiff_t size = 0;
  std::ptrdiff_t stride = 1;
  double operator[](std::ptrdiff_t i) const { return data[i * stride]; }
};

// The core's matrix view, so a checked array goes to any kernel as it is.
using View2D = velmora::core::MatrixView;

inline py::module_ numpy() { return py::module_::import("numpy"); }

// `arr` itself when element strides can read it, else an aligned C-ordered copy: strides
// that are not whole elements, or unaligned data (a field of a structured array, a buffer
// read at an odd offset), would otherwise be read as the wrong numbers.
inline py::array aligned_float64(const py::array& arr) {
  bool whole_elements = reinterpret_cast<std::uintptr_t>(arr.data()) % alignof(double) == 0;
  for (py::ssize_t d = 0; d < arr.ndim(); ++d) {
    whole_elements = whole_elements && arr.strides(d) % static_cast<py::ssize_t>(sizeof(double)) == 0;
  }
  if (whole_elements) return arr;
  return numpy().attr("array")(arr, py::arg("dtype") = "float64", py::arg("order") = "C",
                               py::arg("copy") = true);
}

// `obj` as a readable float64 array (itself, or its aligned copy) when it is a float64 ndarray
// of `ndim` dimensions; a TypeError naming the argument otherwise. Never converts: a silent int-to-float cast would hide a caller bug.
inline py::array require_float64(py::handle obj, const char* argument, int ndim) {
  py::module_ np = numpy();
  if (!py::isinstance(obj, np.attr("ndarray"))) {
    raise_type_error("Argument '" + std::string(argument) + "' must be a numpy float64 array, got " +
                     type_name(obj));
  }
  py::array arr = py::reinterpret_borrow<py::array>(obj);
  if (!arr.dtype().is(py::dtype::of<double>()) &&
      !(arr.dtype().kind() == 'f' && arr.dtype().itemsize() == 8 &&
        py::bool_(arr.dtype().attr("isnative")))) {
    raise_type_error("Argument '" + std::string(argument) + "' must have dtype float64, got " +
                     py::str(arr.dtype()).cast<std::string>() + " (convert it with .astype(np.float64))");
  }
  if (arr.ndim() != ndim) {
    PyErr_SetString(PyExc_ValueError, ("Argument '" + std::string(argument) + "' must be " +
                                       std::to_string(ndim) + "-dimensional, got " +
                                       std::to_string(arr.ndim()) + " dimensions")
                                          .c_str());
    throw py::error_already_set();
  }
  return aligned_float64(arr);
}

inline View1D view_1d(const py::array& arr) {
  View1D v;
  v.data = static_cast<const double*>(arr.data());
  v.size = arr.shape(0);
  v.stride = arr.strides(0) / static_cast<std::ptrdiff_t>(sizeof(double));
  return v;
}

inline View2D view_2d(const py::array& arr) {
  View2D v;
  v.data = static_cast<const double*>(arr.data());
  v.rows = arr.shape(0);
  v.cols = arr.shape(1);
  v.row_stride = arr.strides(0) / static_cast<std::ptrdiff_t>(sizeof(double));
  v.col_stride = arr.strides(1) / static_cast<std::ptrdiff_t>(sizeof(double));
  return v;
}

// `arr` as a typed float64 buffer argument takes it, with the buffer protocol's ValueErrors
// ("Buffer has wrong number of dimensions ...", then "Buffer dtype mismatch ..."); never
// converts the element type. The result is safe to read through view_1d/view_2d: `arr`
// itself, or an aligned copy when its strides are not whole elements or its data are not
// aligned (a field of a structured array, a buffer read at an odd offset), which element
// strides would otherwise read as the wrong numbers.
inline py::array float64_buffer(const py::array& arr, int ndim) {
  if (arr.ndim() != ndim) {
    PyErr_SetString(PyExc_ValueError, ("Buffer has wrong number of dimensions (expected " +
                                       std::to_string(ndim) + ", got " +
                                       std::to_string(arr.ndim()) + ")")
                                          .c_str());
    throw py::error_already_set();
  }
  const py::dtype dtype = arr.dtype();
  if (!(dtype.kind() == 'f' && dtype.itemsize() == 8 && py::bool_(dtype.attr("isnative")))) {
    PyErr_SetString(PyExc_ValueError, ("Buffer dtype mismatch, expected 'float64_t' but got '" +
                                       py::str(dtype).cast<std::string>() + "'")
                                          .c_str());
    throw py::error_already_set();
  }
  return aligned_float64(arr);
}

// A fresh C-contiguous float64 array owned by numpy.
inline py::array_t<double> new_array(std::initializer_list<py::ssize_t> shape) {
  return py::array_t<double>(std::vector<py::ssize_t>(shape));
}

// ---------------------------------------------------------------- undoing in destructors

// Runs `undo` from a destructor, which cannot raise: a Ctrl-C meanwhile is handed back to the
// interpreter, which raises it at its next check, so a long search still stops; any other
// failure is dropped. A pending error of the caller is kept as it was.
template <class Undo>
void undo_in_destructor(Undo&& undo) {
  py::error_scope keep_pending_error;
  try {
    undo();
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_KeyboardInterrupt)) PyErr_SetInterrupt();
  } catch (const std::exception&) {
  }
}

// ---------------------------------------------------------------- context managers

// A host context manager entered for the lifetime of the object and left on every exit path,
// exceptions included. `value()` is what `__enter__` returned.
class ScopedContext {
 public:
  explicit ScopedContext(py::object manager)
      : manager_(std::move(manager)), value_(manager_.attr("__enter__")()) {}
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;
  ~ScopedContext() {
    // Leaving cannot fail in practice (errstate, warning filters); keep any pending error intact.
    py::error_scope keep_pending_error;
    try {
      manager_.attr("__exit__")(py::none(), py::none(), py::none());
    } catch (py::error_already_set&) {
    }
  }
  const py::object& value() const { return value_; }

 private:
  py::object manager_;
  py::object value_;
};

// ---------------------------------------------------------------- numpy error state

// np.errstate(divide="ignore", invalid="ignore") for the lifetime of the object (or every
// error ignored with all_errors). Restored on every exit path, exceptions included.
class NumpyErrstate : public ScopedContext {
 public:
  explicit NumpyErrstate(bool all_errors = false) : ScopedContext(make(all_errors)) {}

 private:
  static py::object make(bool all_errors) {
    py::object errstate = numpy().attr("errstate");
    if (all_errors) return errstate(py::arg("all") = "ignore");
    return errstate(py::arg("divide") = "ignore", py::arg("invalid") = "ignore");
  }
};

// ---------------------------------------------------------------- Ctrl-C

// Polled from long native loops. Cheap between polls; every ~50 ms it takes the GIL (when
// the loop released it) and lets Python run signal handlers. A pending KeyboardInterrupt
// comes out as py::error_already_set and unwinds the loop.
class InterruptPoller {
 public:
  explicit InterruptPoller(bool gil_released) : gil_released_(gil_released) {}

  void poll() {
    if (++calls_ % 64 != 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(50)) return;
    last_ = now;
    if (gil_released_) {
      py::gil_scoped_acquire gil;
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    } else if (PyErr_CheckSignals() != 0) {
      throw py::error_already_set();
    }
  }

 private:
  bool gil_released_;
  std::uint64_t calls_ = 0;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// ---------------------------------------------------------------- cyclic GC

// The cycle collector's slots for a native class `T` whose instances hold host objects that
// may lead back to them. `T::for_each_object(f)` calls `f` on every py::object field.
template <class T>
int traverse_objects(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));  // a heap type is owned by its instances
  if (!py::detail::is_holder_constructed(self)) return 0;
  int result = 0;
  py::cast<T&>(py::handle(self)).for_each_object([&](py::object& o) {
    if (result == 0 && o) result = visit(o.ptr(), arg);
  });
  return result;
}

template <class T>
int clear_objects(PyObject* self) {
  if (!py::detail::is_holder_constructed(self)) return 0;
  py::cast<T&>(py::handle(self)).for_each_object([](py::object& o) {
    // Emptied before the reference is released: a finaliser run by the release sees the
    // field already None.
    py::object old = std::move(o);
    o = py::none();
  });
  return 0;
}

template <class T>
py::custom_type_setup gc_type_setup() {
  return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
    auto* type = &heap_type->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = traverse_objects<T>;
    type->tp_clear = clear_objects<T>;
  });
}

// ---------------------------------------------------------------- pickling

// Stateless native classes refuse pickling with the host's wording for such types.
template <class Class>
void refuse_pickling(Class& cls) {
  auto refuse = [](py::handle, py::args) -> py::object {
    raise_type_error("no default __reduce__ due to non-trivial __cinit__");
  };
  cls.def("__reduce__", [refuse](py::handle self) { return refuse(self, py::args()); });
  cls.def("__reduce_ex__", refuse);
}

// Constructors of stateless classes accept and ignore whatever they are given.
template <class T>
auto init_ignoring_arguments() {
  return py::init([](const py::args&, const py::kwargs&) { return T{}; });
}

}  // namespace velmora::bind
