// The classifier's model file (see tradegate_model_file.hpp).

#include "common/common.hpp"

#include "tradegate_model_file.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tradegate_pipeline.hpp"
#include "velmora/core/tradegate/features.hpp"
#include "velmora/core/tradegate/pickle_scan.hpp"

namespace velmora::tradegate {

namespace vb = velmora::bind;
namespace core = velmora::core;

namespace {

constexpr const char* kLogTag = " | OPTIMAL ENTRY CLASSIFIER VODED";

std::string text_of(py::handle obj) { return py::str(obj).cast<std::string>(); }

py::object logger() { return vb::shared_logger(); }

bool is_host_exception(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// A class or function of a library, looked up once: the checks meet the same few at every
// stage and member. Kept for the life of the process, as the modules keep them.
py::object cached_attr(const char* module, const char* name) {
  struct Entry {
    std::string module, name;
    PyObject* value;
  };
  static std::vector<Entry>* cache = new std::vector<Entry>();
  for (const Entry& entry : *cache) {
    if (entry.name == name && entry.module == module) return py::reinterpret_borrow<py::object>(entry.value);
  }
  py::object value = py::module_::import(module).attr(name);
  cache->push_back({module, name, value.inc_ref().ptr()});
  return value;
}

py::object sklearn_attr(const char* module, const char* name) { return cached_attr(module, name); }

// A value of the file as a message shows it: never more of it than a short excerpt, and
// nothing that formats the value as a whole (a repr of shared nested lists never ends).
// Plain scalars and short tuples of them by their repr, text cut before its repr (a repr
// escapes newlines, so no value can start a log line of its own), the classes and functions
// a model file may name by theirs, and anything else by its type.
std::string shown(py::handle value) {
  constexpr Py_ssize_t kShown = 80;
  PyObject* v = value.ptr();
  std::string text;
  try {
    if (PyUnicode_Check(v)) {
      const Py_ssize_t length = PyUnicode_GetLength(v);
      py::str head = py::reinterpret_steal<py::str>(PyUnicode_Substring(v, 0, std::min(length, kShown)));
      if (!head) throw py::error_already_set();
      text = py::repr(head).cast<std::string>() + (length > kShown ? "..." : "");
    } else if (PyLong_Check(v) && !PyBool_Check(v) && _PyLong_NumBits(v) > 64) {
      text = "<an integer of more than 64 bits>";
    } else if (v == Py_None || PyBool_Check(v) || PyLong_Check(v) || PyFloat_Check(v) ||
               PyType_Check(v) || PyFunction_Check(v)) {
      text = py::repr(value).cast<std::string>();
    } else if (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) <= 8) {
      text = "(";
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
        if (i) text += ", ";
        PyObject* item = PyTuple_GET_ITEM(v, i);
        const bool plain = item == Py_None || PyBool_Check(item) || PyFloat_Check(item) ||
                           PyUnicode_Check(item) || (PyLong_Check(item) && _PyLong_NumBits(item) <= 64);
        text += plain ? shown(item) : "<" + vb::type_name(item) + ">";
      }
      text += PyTuple_GET_SIZE(v) == 1 ? ",)" : ")";
    } else if (PyList_CheckExact(v)) {
      text = "<a list of " + std::to_string(PyList_GET_SIZE(v)) + " items>";
    } else {
      text = "<" + vb::type_name(value) + ">";
    }
  } catch (py::error_already_set& e) {
    if (!is_host_exception(e)) throw;
    text = "<" + vb::type_name(value) + ">";
  }
  if (text.size() > 2 * kShown) {
    std::size_t cut = 2 * kShown;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    text = text.substr(0, cut) + "...";
  }
  return text;
}

// Every global that a model file written by this library names, and nothing else. Derived by
// writing a model of every family the search space produces (KNNImputer with either weighting
// and SimpleImputer with each strategy; f_classif and mutual_info_classif; AdaBoost and
// Bagging over LogisticRegression with each penalty and its solver, ComplementNB and
// GaussianNB) with pickle protocols 4 and 5 (the default protocols of the supported Pythons),
// under the lowest and the latest supported numpy and scikit-learn (2.0 with 1.4.2, 2.4 with
// 1.9), and reading the GLOBAL and STACK_GLOBAL names out of the pickles (pickletools.genops).
// Both ends gave these sixteen. The fitted estimators hold no random state (the ensembles
// give their members integer seeds), so no random-state constructor is listed; numpy 1's
// "numpy.core" spellings are not listed either, as the library needs numpy 2. The test suite
// re-derives the list under the installed versions.
constexpr std::array<std::pair<std::string_view, std::string_view>, 16> kModelFileGlobals = {{
    {"numpy", "dtype"},
    {"numpy", "ndarray"},
    {"numpy._core.multiarray", "_reconstruct"},
    {"numpy._core.multiarray", "scalar"},
    {"numpy._core.numeric", "_frombuffer"},
    {"sklearn.ensemble._bagging", "BaggingClassifier"},
    {"sklearn.ensemble._weight_boosting", "AdaBoostClassifier"},
    {"sklearn.feature_selection._mutual_info", "mutual_info_classif"},
    {"sklearn.feature_selection._univariate_selection", "SelectPercentile"},
    {"sklearn.feature_selection._univariate_selection", "f_classif"},
    {"sklearn.impute._base", "SimpleImputer"},
    {"sklearn.impute._knn", "KNNImputer"},
    {"sklearn.linear_model._logistic", "LogisticRegression"},
    {"sklearn.naive_bayes", "ComplementNB"},
    {"sklearn.naive_bayes", "GaussianNB"},
    {"sklearn.preprocessing._data", "MinMaxScaler"},
}};

// Builtin containers and scalars, admitted as before: making one runs nothing of the file's
// choosing. (Protocols 4 and 5 write the common ones with opcodes of their own.)
constexpr std::array<std::string_view, 14> kModelFileBuiltins = {
    "dict", "list", "tuple", "set", "frozenset", "bytes", "bytearray",
    "str",  "int",  "float", "complex", "bool", "slice", "range"};

bool admitted_global(std::string_view module, std::string_view name) {
  if (module == "builtins") {
    return std::find(kModelFileBuiltins.begin(), kModelFileBuiltins.end(), name) !=
           kModelFileBuiltins.end();
  }
  return std::find(kModelFileGlobals.begin(), kModelFileGlobals.end(),
                   std::pair<std::string_view, std::string_view>(module, name)) !=
         kModelFileGlobals.end();
}

// Both lists as one set of (module, name) pairs, for the test that re-derives them.
py::frozenset admitted_globals_set() {
  auto pair = [](std::string_view module, std::string_view name) {
    return py::make_tuple(py::str(module.data(), module.size()), py::str(name.data(), name.size()));
  };
  py::set pairs;
  for (const auto& [module, name] : kModelFileGlobals) pairs.add(pair(module, name));
  for (std::string_view name : kModelFileBuiltins) pairs.add(pair("builtins", name));
  return py::frozenset(pairs);
}


std::string refusal_of(const std::string& path_text) {
  return "Refusing to load the model file " + path_text + ": ";
}

[[noreturn]] void refuse_model_file(const std::string& path_text, const std::string& why) {
  const std::string message =
      refusal_of(path_text) + why +
      "; a model file holds only the fitted scikit-learn stages that this library writes, numpy "
      "arrays and scalars, and builtin containers and scalars";
  PyErr_SetObject(py::module_::import("pickle").attr("UnpicklingError").ptr(),
                  py::str(message).ptr());
  throw py::error_already_set();
}


// The dtypes a model file may rebuild. Genuine models of every family hold f8, i8, i4, b1 and
// O8 (feature names); the other fixed-size integer and float kinds are listed because a
// stage keeps the type of what it was fitted on (labels of another width give classes_ of
// that width). Each of these kinds is one numpy instance shared by the process, whose state
// numpy does not let __setstate__ change; flexible, void, structured, subarray and
// non-native dtypes are fresh objects whose state would be the file's, so none is listed.
constexpr std::array<const char*, 12> kModelFileDtypes = {
    "b1", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f4", "f8", "O8"};

// How deep a model file may nest its objects, counted as the scan counts (each container,
// call and state one level). Fresh models of every family, at protocols 4 and 5, reach 10
// (the model dictionary, an ensemble and its state, its list of members, a member and its
// state, an array and its state, the dtype and its arguments); 64 leaves room for deeper
// estimators of later scikit-learn releases and is far below the depth at which freeing a
// nested graph (slices, object arrays) overflows the C stack.
constexpr std::size_t kModelFileMaxDepth = 64;

// How far a model file's values may expand when every memo reference is copied out, per
// byte of the file. Genuine models of every family expand to about their own size (the
// dtypes and setting names shared by every array and member cost little more than the
// references to them); a comparison, repr or copy of a value costs at most this much more
// than reading the file.
constexpr std::size_t kModelFileExpansion = 8;

std::string scan_signature(py::handle value) {
  if (value.is_none()) return "N";
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True ? "T" : "F";
  if (PyLong_Check(value.ptr())) return py::str(value).cast<std::string>();
  if (PyUnicode_Check(value.ptr())) return "'" + value.cast<std::string>() + "'";
  if (PyTuple_Check(value.ptr())) {
    std::string out = "(";
    bool first = true;
    for (py::handle item : value) {
      if (!first) out += ",";
      first = false;
      out += scan_signature(item);
    }
    return out + ")";
  }
  throw std::logic_error("a dtype state holds " + vb::type_name(value));
}

// Built once, at the first load: the numpy states need numpy, and the scan reads the rules
// without the GIL.
const core::PickleRules& model_file_rules() {
  static const core::PickleRules rules = [] {
    core::PickleRules built;
    built.admitted = [](const std::string& module, const std::string& name) {
      return admitted_global(module, name);
    };
    py::object dtype = vb::numpy().attr("dtype");
    for (const char* kind : kModelFileDtypes) {
      py::object canonical = dtype(kind);
      py::tuple reduced = canonical.attr("__reduce__")();
      core::PickledDtype rule;
      rule.itemsize = canonical.attr("itemsize").cast<std::size_t>();
      rule.holds_objects = canonical.attr("hasobject").cast<bool>();
      rule.state = scan_signature(reduced[2]);
      built.dtypes.emplace(kind, std::move(rule));
    }
    built.max_depth = kModelFileMaxDepth;
    built.expansion_per_byte = kModelFileExpansion;
    return built;
  }();
  return rules;
}

// What `numpy.dtype` resolves to in a model file: numpy's shared instance of the kind, never
// a fresh copy, so a state update cannot turn it into something else.
py::object model_file_dtype(const std::string& path_text, py::handle kind, py::handle align,
                            py::handle copy) {
  const auto& dtypes = model_file_rules().dtypes;
  if (!PyUnicode_Check(kind.ptr()) || dtypes.count(kind.cast<std::string>()) == 0 ||
      align.ptr() != Py_False || copy.ptr() != Py_True) {
    refuse_model_file(path_text, "it makes the numpy dtype " + shown(kind) +
                                     ", which no model file holds");
  }
  return vb::numpy().attr("dtype")(kind);
}

// The unpickler's look-up. The scan has passed every name already; the pair is checked again
// all the same, so that the unpickler gets only listed names even if it ever read a file
// differently from the scan. Checked before importing: importing a module runs it.
py::object resolve_model_global(const std::string& path_text, py::str module, py::str name) {
  const std::string m = module.cast<std::string>();
  const std::string n = name.cast<std::string>();
  if (!admitted_global(m, n)) refuse_model_file(path_text, "it names " + shown(py::str(m + "." + n)));
  if (m == "numpy" && n == "dtype") {
    return py::cpp_function([path_text](py::handle kind, py::handle align, py::handle copy) {
      return model_file_dtype(path_text, kind, align, copy);
    });
  }
  return py::module_::import(m.c_str()).attr(name);
}

// Refuses the file (UnpicklingError) unless every opcode passes the scan: only listed names,
// called and updated only as model files do. Nothing of the file is unpickled before that.
void scan_model_file(const std::string& path_text, const py::bytes& data) {
  char* buffer = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) != 0) throw py::error_already_set();
  const core::PickleRules& rules = model_file_rules();
  std::string refusal;
  {
    py::gil_scoped_release unlocked;  // `data` is immutable and held by the caller
    try {
      core::scan_pickle(reinterpret_cast<const unsigned char*>(buffer),
                        static_cast<std::size_t>(size), rules);
    } catch (const core::RefusedPickle& refused) {
      refusal = refused.what();
    } catch (const std::bad_alloc&) {  // a file too large to follow is refused like any other
      refusal = "there is not memory enough to scan it";
    }
  }
  if (!refusal.empty()) refuse_model_file(path_text, refusal);
}


// ---------------------------------------------------------------- what the library writes

// The settings the library gives each class it builds (any scikit-learn version); every
// other setting keeps the class's default. A setting such as n_jobs would make every
// predict start worker processes.
const std::vector<std::pair<std::pair<const char*, const char*>, std::vector<const char*>>>&
stage_settings() {
  static const std::vector<std::pair<std::pair<const char*, const char*>, std::vector<const char*>>>
      settings = {
          {{"sklearn.impute", "KNNImputer"}, {"n_neighbors", "weights", "keep_empty_features"}},
          {{"sklearn.impute", "SimpleImputer"}, {"strategy", "keep_empty_features"}},
          {{"sklearn.preprocessing", "MinMaxScaler"}, {"feature_range", "clip"}},
          {{"sklearn.feature_selection", "SelectPercentile"}, {"score_func", "percentile"}},
          {{"sklearn.ensemble", "AdaBoostClassifier"},
           {"estimator", "n_estimators", "learning_rate", "algorithm"}},
          {{"sklearn.ensemble", "BaggingClassifier"},
           {"estimator", "n_estimators", "max_samples", "max_features", "bootstrap_features"}},
          {{"sklearn.linear_model", "LogisticRegression"},
           {"penalty", "C", "class_weight", "l1_ratio", "max_iter", "solver"}},
          {{"sklearn.naive_bayes", "ComplementNB"}, {"alpha"}},
          {{"sklearn.naive_bayes", "GaussianNB"}, {"var_smoothing"}},
      };
  return settings;
}

bool same_setting(py::handle a, py::handle b) {
  if (a.is(b)) return true;
  if (PyFloat_Check(a.ptr()) && PyFloat_Check(b.ptr())) {
    const double x = PyFloat_AS_DOUBLE(a.ptr()), y = PyFloat_AS_DOUBLE(b.ptr());
    return x == y || (x != x && y != y);
  }
  if (Py_TYPE(a.ptr()) != Py_TYPE(b.ptr())) return false;
  const int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}


// A class's settings with their defaults, made once per class: inspecting a constructor's
// signature (which get_params does at every call) costs more than all the rest of a check.
py::dict class_defaults(py::handle cls) {
  static py::dict* cache = new py::dict();  // never freed: it lives as long as the classes
  if (cache->contains(cls)) return (*cache)[cls];
  py::dict defaults = cls().attr("get_params")(py::arg("deep") = false);
  (*cache)[cls] = defaults;
  return defaults;
}


// Settings that would cost the caller at every predict (worker processes, printing), held at
// their defaults whichever version pickled the stage.
bool costs_at_predict(const std::string& setting) { return setting == "n_jobs" || setting == "verbose"; }

// What the library gives a setting: None, a bool, a number or text (or a tuple of them, as a
// scaler's range). Never a callable or an object that scikit-learn would call at predict, such
// as an imputer's weights or metric. An ensemble's estimator and a selector's score function
// are the objects the stage checks look at themselves.
bool plain_setting(py::handle value) {
  PyObject* v = value.ptr();
  if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
      PyUnicode_CheckExact(v)) {
    return true;
  }
  if (!PyTuple_CheckExact(v)) return false;
  for (py::handle item : py::reinterpret_borrow<py::tuple>(value)) {
    if (!plain_setting(item) || PyTuple_Check(item.ptr())) return false;
  }
  return true;
}

bool checked_elsewhere(const std::string& setting) { return setting == "estimator" || setting == "score_func"; }

// What scikit-learn writes as the version of a stage ("1.9.1", "1.6.dev0", "pre-0.18" for
// stages of before 0.18): a short run of letters, digits and . + - _ !.
bool is_version_text(py::handle version) {
  if (!PyUnicode_Check(version.ptr())) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(version.ptr(), &size);
  if (!text) {
    PyErr_Clear();
    return false;
  }
  if (size == 0 || size > 64) return false;
  return std::all_of(text, text + size, [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           c == '.' || c == '+' || c == '-' || c == '_' || c == '!';
  });
}

// Re-raises a refusal of ours as it is; any other failure, the unpickler's own
// UnpicklingError included ("unpickling stack underflow"), becomes a refusal naming the file.
[[noreturn]] void refuse_after(const std::string& path_text, const char* doing, py::error_already_set& e) {
  if (!is_host_exception(e)) throw;
  if (e.matches(py::module_::import("pickle").attr("UnpicklingError")) &&
      py::str(e.value()).cast<std::string>().rfind(refusal_of(path_text), 0) == 0) {
    throw;
  }
  refuse_model_file(path_text, std::string(doing) + " failed with " + vb::type_name(e.value()) + " " +
                                   shown(py::str(e.value())));
}


// ---------------------------------------------------------------- the genuine stages

// What one attribute of a genuinely fitted stage holds. Sizes are told by what they follow:
// the stage's width (n_features_in_), its class count, its member count, the training rows
// (free: a file brings its own rows), or a fixed size.
enum class Axis : unsigned char { Width, Classes, Estimators, Free, Fixed };

struct AxisRule {
  Axis axis = Axis::Free;
  py::ssize_t size = 0;  // Fixed
};

struct Shape {
  enum class Kind : unsigned char { None, Bool, Int, Float, Text, Dtype, Array, Estimator, List, Other };
  Kind kind = Kind::Other;
  char dtype_kind = 0;                 // Array, Dtype
  std::vector<AxisRule> axes;          // Array: one per dimension
  std::vector<PyTypeObject*> items;    // Array of objects: the types of its items
  py::object type;                     // Estimator: its class; Other: its type
  py::object value;                    // Other: the value itself
  bool the_estimator = false;          // Estimator: the very object the stage holds as `estimator`
  std::shared_ptr<Shape> item;         // List: what its items are
  bool by_estimators = false;          // List: one item per member
};

// The sizes an attribute's shape is read against.
struct Sizes {
  py::ssize_t width = -1, classes = -1, estimators = -1, rows = -1;
  py::handle estimator;  // the stage's `estimator` setting, if it has one
};

// One class, over every genuine configuration the library fits it in.
struct StageState {
  py::object cls;
  std::string name;
  py::dict index;                      // attribute name -> its position below
  std::vector<py::str> names;
  std::vector<bool> required;          // held in every configuration
  std::vector<bool> setting;
  std::vector<std::vector<Shape>> shapes;  // fitted attributes: what each configuration held
  std::vector<bool> finite;            // per name: no genuine fit held a NaN or infinity in it
  std::size_t configurations = 0;
  std::vector<std::size_t> seen;       // per name: in how many configurations
};

struct SearchRange {
  bool integer = false;
  double low = 0, high = 0;
};

struct GenuineStates {
  std::vector<StageState> fitted;    // stages and members as fitted
  std::vector<StageState> unfitted;  // base estimators as an ensemble holds them
  // (class name, setting) -> what the library gives it: the range it draws it from, or the
  // values the stages it builds hold, over every choice of the search space.
  std::vector<std::pair<std::pair<std::string, std::string>, SearchRange>> ranges;
  std::vector<std::pair<std::pair<std::string, std::string>, py::list>> built;
};

PyTypeObject* ndarray_type() {
  static PyTypeObject* type =
      reinterpret_cast<PyTypeObject*>(py::object(vb::numpy().attr("ndarray")).release().ptr());
  return type;
}

bool is_numpy(py::handle value, const char* abstract) {
  const int is = PyObject_IsInstance(value.ptr(), cached_attr("numpy", abstract).ptr());
  if (is < 0) throw py::error_already_set();
  return is == 1;
}

bool is_integer(py::handle value) {
  PyObject* v = value.ptr();
  if (PyLong_CheckExact(v)) return true;
  return !PyBool_Check(v) && !PyFloat_Check(v) && !PyUnicode_Check(v) && is_numpy(value, "integer");
}

bool is_real(py::handle value) {
  PyObject* v = value.ptr();
  if (PyFloat_CheckExact(v)) return true;
  return !PyLong_Check(v) && !PyUnicode_Check(v) && is_numpy(value, "floating");
}

bool is_array(py::handle value) { return Py_TYPE(value.ptr()) == ndarray_type(); }

// The numbers of a float array, in C order whatever its shape, or of a float scalar. False
// for anything else.
bool floats_of(py::handle value, std::vector<double>& out) {
  if (is_array(value)) {
    if (py::reinterpret_borrow<py::array>(value).dtype().kind() != 'f') return false;
    // No copy for the float64 C-ordered arrays that fitted stages hold.
    auto doubles = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
    if (!doubles) return false;
    out.assign(doubles.data(), doubles.data() + doubles.size());
    return true;
  }
  if (!is_real(value)) return false;
  const double x = PyFloat_AsDouble(value.ptr());
  if (x == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  out.assign(1, x);
  return true;
}

// True unless `value` holds floats of which one is a NaN or an infinity.
bool finite_values(py::handle value) {
  std::vector<double> numbers;
  if (!floats_of(value, numbers)) return true;
  return std::all_of(numbers.begin(), numbers.end(), [](double x) { return std::isfinite(x); });
}

// The class of a stage the library builds, if `value` is exactly one.
bool is_stage(py::handle value);

Shape shape_of(py::handle value, const Sizes& sizes) {
  Shape shape;
  PyObject* v = value.ptr();
  if (v == Py_None) {
    shape.kind = Shape::Kind::None;
  } else if (PyBool_Check(v)) {
    shape.kind = Shape::Kind::Bool;
  } else if (PyUnicode_CheckExact(v)) {
    shape.kind = Shape::Kind::Text;
  } else if (is_array(value)) {
    py::array array = py::reinterpret_borrow<py::array>(value);
    shape.kind = Shape::Kind::Array;
    shape.dtype_kind = array.dtype().kind();
    for (py::ssize_t d = 0; d < array.ndim(); ++d) {
      const py::ssize_t n = array.shape(d);
      AxisRule rule;
      if (n == sizes.width) {
        rule.axis = Axis::Width;
      } else if (n == sizes.classes) {
        rule.axis = Axis::Classes;
      } else if (n == sizes.estimators) {
        rule.axis = Axis::Estimators;
      } else if (n == sizes.rows) {
        rule.axis = Axis::Free;
      } else {
        rule.axis = Axis::Fixed;
        rule.size = n;
      }
      shape.axes.push_back(rule);
    }
    if (shape.dtype_kind == 'O') {
      for (py::handle item : py::list(array.attr("ravel")().attr("tolist")())) {
        PyTypeObject* type = Py_TYPE(item.ptr());
        if (std::find(shape.items.begin(), shape.items.end(), type) == shape.items.end()) {
          shape.items.push_back(type);
        }
      }
    }
  } else if (is_integer(value)) {
    shape.kind = Shape::Kind::Int;
  } else if (is_real(value)) {
    shape.kind = Shape::Kind::Float;
  } else if (is_numpy(value, "dtype")) {
    shape.kind = Shape::Kind::Dtype;
    shape.dtype_kind = value.attr("kind").cast<std::string>().at(0);
  } else if (is_stage(value)) {
    shape.kind = Shape::Kind::Estimator;
    shape.type = py::type::of(value);
    shape.the_estimator = sizes.estimator && value.is(sizes.estimator);
  } else if (PyList_CheckExact(v) && PyList_GET_SIZE(v) > 0) {
    shape.kind = Shape::Kind::List;
    // The items' own sizes are told by the relations of the stage that holds them.
    Sizes free;
    free.estimator = sizes.estimator;
    auto item = std::make_shared<Shape>(shape_of(PyList_GET_ITEM(v, 0), free));
    for (AxisRule& rule : item->axes) rule = AxisRule{};
    shape.item = item;
    shape.by_estimators = PyList_GET_SIZE(v) == sizes.estimators;
  } else {
    shape.type = py::type::of(value);
    shape.value = py::reinterpret_borrow<py::object>(value);
  }
  return shape;
}

bool same_setting(py::handle a, py::handle b);

bool fits(py::handle value, const Shape& shape, const Sizes& sizes, bool any_label_kind) {
  PyObject* v = value.ptr();
  switch (shape.kind) {
    case Shape::Kind::None: return v == Py_None;
    case Shape::Kind::Bool: return PyBool_Check(v);
    case Shape::Kind::Text: return PyUnicode_CheckExact(v);
    case Shape::Kind::Int: return is_integer(value);
    case Shape::Kind::Float: return is_real(value);
    case Shape::Kind::Dtype:
      return is_numpy(value, "dtype") && value.attr("kind").cast<std::string>().at(0) == shape.dtype_kind;
    case Shape::Kind::Array: {
      if (!is_array(value)) return false;
      py::array array = py::reinterpret_borrow<py::array>(value);
      const char kind = array.dtype().kind();
      const bool kind_fits = any_label_kind ? std::string_view("biuf").find(kind) != std::string_view::npos
                                            : kind == shape.dtype_kind;
      if (!kind_fits || array.ndim() != static_cast<py::ssize_t>(shape.axes.size())) return false;
      for (py::ssize_t d = 0; d < array.ndim(); ++d) {
        const AxisRule& rule = shape.axes[static_cast<std::size_t>(d)];
        const py::ssize_t n = array.shape(d);
        switch (rule.axis) {
          case Axis::Width: if (n != sizes.width) return false; break;
          case Axis::Classes: if (n != sizes.classes) return false; break;
          case Axis::Estimators: if (n != sizes.estimators) return false; break;
          case Axis::Fixed: if (n != rule.size) return false; break;
          case Axis::Free: break;
        }
      }
      if (kind == 'O') {
        for (py::handle item : py::list(array.attr("ravel")().attr("tolist")())) {
          if (std::find(shape.items.begin(), shape.items.end(), Py_TYPE(item.ptr())) == shape.items.end()) {
            return false;
          }
        }
      }
      return true;
    }
    case Shape::Kind::Estimator:
      return Py_TYPE(v) == reinterpret_cast<PyTypeObject*>(shape.type.ptr()) &&
             (!shape.the_estimator || value.is(sizes.estimator));
    case Shape::Kind::List: {
      if (!PyList_CheckExact(v)) return false;
      const py::ssize_t n = PyList_GET_SIZE(v);
      // AdaBoost stops early once a member fits the training rows perfectly: at most one
      // member per n_estimators, at least one.
      if (shape.by_estimators && (n < 1 || n > sizes.estimators)) return false;
      Sizes free;
      free.estimator = sizes.estimator;
      for (py::ssize_t i = 0; i < n; ++i) {
        if (!fits(PyList_GET_ITEM(v, i), *shape.item, free, false)) return false;
      }
      return true;
    }
    case Shape::Kind::Other:
      return Py_TYPE(v) == reinterpret_cast<PyTypeObject*>(shape.type.ptr()) && same_setting(value, shape.value);
  }
  return false;
}

std::string described(const Shape& shape) {
  switch (shape.kind) {
    case Shape::Kind::None: return "None";
    case Shape::Kind::Bool: return "a bool";
    case Shape::Kind::Text: return "text";
    case Shape::Kind::Int: return "an integer";
    case Shape::Kind::Float: return "a float";
    case Shape::Kind::Dtype: return std::string("a numpy dtype of kind '") + shape.dtype_kind + "'";
    case Shape::Kind::Array:
      return std::string("a ") + std::to_string(shape.axes.size()) + "-dimensional array of kind '" +
             shape.dtype_kind + "'";
    case Shape::Kind::Estimator: return "a " + shape.type.attr("__name__").cast<std::string>();
    case Shape::Kind::List: return "a list of " + described(*shape.item);
    case Shape::Kind::Other: return "the value " + shown(shape.value);
  }
  return "?";
}

py::dict class_defaults(py::handle cls);

// Adds one genuine stage to what its class may hold.
void record(std::vector<StageState>& states, py::handle stage, const Sizes& sizes) {
  py::object cls = py::type::of(stage);
  auto found = std::find_if(states.begin(), states.end(), [&](const StageState& s) { return s.cls.is(cls); });
  if (found == states.end()) {
    states.emplace_back();
    found = states.end() - 1;
    found->cls = cls;
    found->name = cls.attr("__name__").cast<std::string>();
  }
  StageState& state = *found;
  py::dict defaults = class_defaults(cls);
  ++state.configurations;
  for (auto [name, value] : py::reinterpret_borrow<py::dict>(stage.attr("__dict__"))) {
    std::size_t at;
    if (state.index.contains(name)) {
      at = state.index[name].cast<std::size_t>();
    } else {
      at = state.names.size();
      state.index[name] = py::int_(at);
      state.names.push_back(py::reinterpret_borrow<py::str>(name));
      state.setting.push_back(defaults.contains(name));
      state.shapes.emplace_back();
      state.seen.push_back(0);
      state.required.push_back(false);
      state.finite.push_back(true);
    }
    ++state.seen[at];
    if (!state.setting[at]) state.finite[at] = state.finite[at] && finite_values(value);
    if (!state.setting[at]) state.shapes[at].push_back(shape_of(value, sizes));
  }
  for (std::size_t i = 0; i < state.names.size(); ++i) state.required[i] = state.seen[i] == state.configurations;
}

// The ranges the library draws its settings from, read by drawing once on a trial that
// records each draw: the search space has one place, the draws themselves.
py::dict recorded_search_space() {
  py::dict space;
  auto record_draw = [space](py::str key, py::object low, py::object high) mutable {
    space[key] = py::make_tuple(low, high);
    return low;
  };
  py::object trial = py::module_::import("types").attr("SimpleNamespace")(
      py::arg("suggest_int") = py::cpp_function([record_draw](py::str key, py::object low, py::object high,
                                                              py::kwargs) mutable {
        return record_draw(key, low, high);
      }),
      py::arg("suggest_float") = py::cpp_function([record_draw](py::str key, py::object low, py::object high,
                                                                py::kwargs) mutable {
        return record_draw(key, low, high);
      }),
      py::arg("suggest_categorical") = py::cpp_function([space](py::str key, py::list choices) mutable {
        space[key] = choices;
        return choices[0];
      }));
  PipelineParams params;
  draw_model_params(trial, params);
  draw_imputer_params(trial, params);
  return space;
}

// The settings the library draws from a range of the search space, by the key it draws with.
constexpr std::array<std::array<const char*, 3>, 12> kDrawnSettings = {{
    {"KNNImputer", "n_neighbors", "KNNImputer_n_neighbors"},
    {"SelectPercentile", "percentile", "select_top_k_features_percentile"},
    {"AdaBoostClassifier", "n_estimators", "AdaBoostClassifier_n_estimators"},
    {"AdaBoostClassifier", "learning_rate", "AdaBoostClassifier_learning_rate"},
    {"BaggingClassifier", "n_estimators", "BaggingClassifier_n_estimators"},
    {"BaggingClassifier", "max_samples", "BaggingClassifier_max_samples"},
    {"BaggingClassifier", "max_features", "BaggingClassifier_max_features"},
    {"LogisticRegression", "C", "lr_c"},
    {"LogisticRegression", "max_iter", "lr_max_iter"},
    {"LogisticRegression", "l1_ratio", "lr_l1_ratio"},
    {"ComplementNB", "alpha", "cnb_alpha"},
    {"GaussianNB", "var_smoothing", "gnb_var_smoothing"},
}};

const std::vector<std::pair<std::pair<const char*, const char*>, std::vector<const char*>>>& stage_settings();

void record_built(GenuineStates& genuine, py::handle stage) {
  const std::string name = py::type::of(stage).attr("__name__").cast<std::string>();
  for (const auto& [where, chosen] : stage_settings()) {
    if (name != where.second) continue;
    for (const char* setting : chosen) {
      if (!py::hasattr(stage, setting)) continue;
      auto key = std::make_pair(name, std::string(setting));
      auto found = std::find_if(genuine.built.begin(), genuine.built.end(),
                                [&](const auto& entry) { return entry.first == key; });
      if (found == genuine.built.end()) {
        genuine.built.emplace_back(key, py::list());
        found = genuine.built.end() - 1;
      }
      py::object value = stage.attr(setting);
      bool known = false;
      for (py::handle held : found->second) known = known || same_setting(held, value);
      if (!known) found->second.append(value);
    }
  }
}

// Every class the library builds, fitted as the final fit fits it on a tiny synthetic set, in
// every configuration that the search space's choices give it; then pickled and read back, as
// a model file holds it. About a tenth of a second, once per process.
GenuineStates fit_genuine_states_quietly() {
  GenuineStates genuine;
  py::module_ np = vb::numpy();
  py::module_ pd = py::module_::import("pandas");
  py::module_ pickle = py::module_::import("pickle");
  py::module_ warnings = py::module_::import("warnings");
  vb::ScopedContext quiet(warnings.attr("catch_warnings")());
  warnings.attr("simplefilter")("ignore");

  // Sizes that tell each other apart: rows, width, members, classes.
  constexpr int kRows = 29, kWidth = 7, kMembers = 3;
  py::object rng = np.attr("random").attr("default_rng")(20240607);
  py::object X = rng.attr("normal")(py::arg("size") = py::make_tuple(kRows, kWidth));
  py::object noise = rng.attr("normal")(py::arg("size") = kRows);
  py::object first = X[py::make_tuple(py::slice(0, kRows, 1), 0)];
  py::object y = np.attr("greater")(first + noise, 0.0).attr("astype")(np.attr("int64"));
  py::object weights = np.attr("ones")(kRows);
  py::object with_gaps = X.attr("copy")();
  with_gaps[py::make_tuple(py::slice(0, kRows, 5), 1)] = np.attr("nan");
  py::list text_labels, number_labels;
  for (int j = 0; j < kWidth; ++j) {
    text_labels.append(py::str("f" + std::to_string(j)));
    number_labels.append(py::int_(j));
  }
  const py::dict space = recorded_search_space();
  auto low = [&](const char* key) -> py::object { return py::tuple(space[key])[0]; };
  auto choices = [&](const char* key) -> py::list { return space[key]; };
  for (const auto& setting : kDrawnSettings) {
    py::tuple bounds = space[setting[2]];
    SearchRange range;
    range.integer = PyLong_CheckExact(bounds[0].ptr());
    range.low = bounds[0].cast<double>();
    range.high = bounds[1].cast<double>();
    genuine.ranges.emplace_back(std::make_pair(std::string(setting[0]), std::string(setting[1])), range);
  }

  PipelineParams p;
  p.score_func_to_use = choices("score_func_to_use")[0];
  p.select_top_k_features_percentile = py::int_(50);
  p.ada_n_estimators = py::int_(kMembers);
  p.ada_learning_rate = py::float_(0.5);
  p.lr_penalty = choices("lr_penalty")[0];
  p.lr_c = py::float_(1.0);
  p.lr_class_weight = choices("lr_class_weight")[0];
  p.lr_max_iter = low("lr_max_iter");
  p.lr_l1_ratio = py::float_(0.5);
  p.cnb_alpha = py::float_(1.0);
  p.gnb_var_smoothing = py::float_(1e-9);
  p.bagging_n_estimators = py::int_(kMembers);
  p.bagging_max_samples = py::float_(1.0);
  p.bagging_max_features = py::float_(1.0);
  p.knn_n_neighbors = py::int_(2);
  p.knn_weights = choices("KNNImputer_weights")[0];
  p.simple_strategy = choices("SimpleImputer_weights")[0];

  auto read_back = [&](py::handle stage) { return pickle.attr("loads")(pickle.attr("dumps")(stage)); };
  Sizes sizes;
  sizes.rows = kRows;
  sizes.width = kWidth;

  // Imputers and the scaler see frames: with text labels they keep them as feature names.
  for (py::handle imputer_choice : choices("imputer_to_use")) {
    p.imputer_to_use = py::reinterpret_borrow<py::object>(imputer_choice);
    const bool knn = text_of(imputer_choice) == "KNNImputer";
    for (py::handle option : choices(knn ? "KNNImputer_weights" : "SimpleImputer_weights")) {
      (knn ? p.knn_weights : p.simple_strategy) = py::reinterpret_borrow<py::object>(option);
      for (py::handle labels : {text_labels, number_labels}) {
        py::object imputer = make_imputer(p);
        imputer.attr("fit")(pd.attr("DataFrame")(with_gaps, py::arg("columns") = labels));
        record_built(genuine, imputer);
        record(genuine.fitted, read_back(imputer), sizes);
      }
    }
  }
  for (py::handle labels : {text_labels, number_labels}) {
    py::object scaler = make_scaler();
    scaler.attr("fit")(pd.attr("DataFrame")(X, py::arg("columns") = labels));
    record(genuine.fitted, read_back(scaler), sizes);
  }
  for (py::handle score_func : choices("score_func_to_use")) {
    p.score_func_to_use = py::reinterpret_borrow<py::object>(score_func);
    py::object selector = make_selector(p);
    selector.attr("fit")(X, y.attr("astype")(np.attr("int8")));
    record_built(genuine, selector);
    record(genuine.fitted, read_back(selector), sizes);
  }
  // Every logistic regression the search space builds, for the settings it gives them.
  for (py::handle penalty : choices("lr_penalty")) {
    for (py::handle class_weight : choices("lr_class_weight")) {
      record_built(genuine, make_logistic_regression(penalty, p.lr_c, class_weight, p.lr_l1_ratio,
                                                     p.lr_max_iter));
    }
  }
  // Both ensembles over each base, logistic regression with each solver.
  const std::vector<std::pair<std::string, std::string>> bases = {
      {"LogisticRegression", "l2"}, {"LogisticRegression", "elasticnet"}, {"ComplementNB", ""},
      {"GaussianNB", ""}};
  for (const char* ensemble : {"AdaBoostClassifier", "BaggingClassifier"}) {
    for (const auto& [base, penalty] : bases) {
      p.classifier_model_to_use = py::str(std::string(ensemble) + base);
      if (!penalty.empty()) p.lr_penalty = py::str(penalty);
      py::object model = make_classifier(p);
      model.attr("set_params")(py::arg("random_state") = 0);
      // ComplementNB takes no negative features: the selector's output is scaled to [0, 1].
      py::object features = base == "ComplementNB" ? py::object(make_scaler().attr("fit_transform")(X)) : X;
      model.attr("fit")(features, y, py::arg("sample_weight") = weights);
      record_built(genuine, model);
      record_built(genuine, model.attr("estimator"));
      py::object held = read_back(model);
      Sizes ensemble_sizes = sizes;
      ensemble_sizes.classes = py::len(held.attr("classes_"));
      ensemble_sizes.estimators = kMembers;
      ensemble_sizes.estimator = held.attr("estimator");
      record(genuine.fitted, held, ensemble_sizes);
      py::object member = held.attr("estimators_")[py::int_(0)];
      Sizes member_sizes = sizes;
      member_sizes.width = member.attr("n_features_in_").cast<py::ssize_t>();
      member_sizes.classes = py::len(member.attr("classes_"));
      record(genuine.fitted, member, member_sizes);
      record(genuine.unfitted, held.attr("estimator"), Sizes{});
    }
  }
  return genuine;
}

// Mutual information and the seeds of Bagging's members draw from numpy's global generator:
// a caller's next draws stay what they were.
GenuineStates* fit_genuine_states() {
  py::object random = vb::numpy().attr("random");
  py::object state = random.attr("get_state")();
  GenuineStates* fitted = nullptr;
  try {
    fitted = new GenuineStates(fit_genuine_states_quietly());
  } catch (py::error_already_set&) {
    random.attr("set_state")(state);
    throw;
  }
  random.attr("set_state")(state);
  return fitted;
}

const GenuineStates& genuine_states() {
  // Never freed: it holds classes and values that live as long as the classes do. Fitted
  // once per process; a failed attempt (Ctrl-C) is made again at the next load.
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<GenuineStates*> storage;
  return *storage.call_once_and_store_result(fit_genuine_states).get_stored();
}

bool is_stage(py::handle value) {
  for (const auto& [where, chosen] : stage_settings()) {
    (void)chosen;
    if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(sklearn_attr(where.first, where.second).ptr())) {
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------- refusals

// A stage of another scikit-learn version that does not hold what the installed version's
// does: no setting of ours makes it load, it needs a model fitted anew.
struct OtherVersion {
  std::string versions;  // as the file's stages claim them, quoted
};

[[noreturn]] void refuse_stage_state(const std::string& path_text, const OtherVersion* other,
                                     const std::string& why) {
  if (!other) refuse_model_file(path_text, why);
  const std::string message =
      refusal_of(path_text) + "it was written by scikit-learn " + other->versions +
      ", whose stages do not hold what those of scikit-learn " +
      shown(py::module_::import("sklearn").attr("__version__")) + " hold (" + why + "); refit the model";
  PyErr_SetObject(py::module_::import("pickle").attr("UnpicklingError").ptr(), py::str(message).ptr());
  throw py::error_already_set();
}

// How large a fitted number may be. Live features are cleaned to at most
// kExtremeFeatureMagnitude (1e15) before imputation, so with a scale and an offset within this
// bound a scaled feature stays below 1e15 * 1e50 + 1e50 < 1e66; a linear decision over fewer
// than 2^63 (< 1e19) such features with coefficients within it stays below 1e135, and a
// Gaussian log-likelihood term (z - theta)^2 / var with a variance of at least its inverse
// below 1e19 * (2e66)^2 * 1e50 < 1e203: all far inside a double's range (1.8e308), so no
// decision becomes an infinity or a NaN that takes or vetoes every entry alike. Genuine fits
// stay far below it: they see features scaled into [0, 1], and a scaler's largest scale is
// 1 / (10 epsilon) = 4.5e14 (it takes any smaller range as constant), its largest offset
// 1e15 times that.
constexpr double kFittedMagnitude = 1e50;

// The shortest text that reads back as x, as Python shows a float.
std::string shown_number(double x) {
  char text[32];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, x);
    if (!std::isfinite(x) || std::strtod(text, nullptr) == x) break;
  }
  return text;
}

// Refuses a value of the file's that no fit of the library gives (any scikit-learn version).
[[noreturn]] void refuse_value(const std::string& path_text, const std::string& key, const std::string& name,
                               const std::string& why) {
  refuse_model_file(path_text, "its " + key + " holds " + name + " " + why);
}

// The numbers an attribute holds that genuine fits hold finite: finite, and within the bound.
void check_finite(const std::string& path_text, const std::string& key, const std::string& name,
                  py::handle value) {
  std::vector<double> numbers;
  if (!floats_of(value, numbers)) return;
  for (double x : numbers) {
    if (!std::isfinite(x)) {
      refuse_value(path_text, key, name, "with the value " + shown_number(x) + ", where a fitted stage holds finite numbers");
    }
    if (std::fabs(x) > kFittedMagnitude) {
      refuse_value(path_text, key, name, "with the value " + shown_number(x) + ", beyond the 1e+50 in magnitude that " +
                                             "any decision on scaled features keeps within range");
    }
  }
}

py::ssize_t held_size(py::handle stage_dict, const char* name, bool length) {
  PyObject* value = PyDict_GetItemString(stage_dict.ptr(), name);
  if (!value) return -1;
  if (length) return is_array(value) && py::reinterpret_borrow<py::array>(value).ndim() == 1
                         ? py::reinterpret_borrow<py::array>(value).shape(0)
                         : -1;
  if (!PyLong_CheckExact(value)) return -1;
  const long long n = PyLong_AsLongLong(value);
  if (n == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return -1;
  }
  return n < 0 ? -1 : static_cast<py::ssize_t>(n);
}

// Refuses `stage` unless it holds exactly the attributes its class holds when the library
// fits it (`fitted`) or builds it as an ensemble's base (not fitted): the same names, and in
// each fitted attribute the same kind of value, of the sizes that the stage's own width,
// classes and members give. Returns the sizes.
Sizes check_stage_state(const std::string& path_text, const std::string& key, py::handle stage,
                        bool fitted, const OtherVersion* other) {
  const std::vector<StageState>& states = fitted ? genuine_states().fitted : genuine_states().unfitted;
  auto found = std::find_if(states.begin(), states.end(),
                            [&](const StageState& s) { return Py_TYPE(stage.ptr()) == reinterpret_cast<PyTypeObject*>(s.cls.ptr()); });
  if (found == states.end()) {
    refuse_model_file(path_text, "its " + key + " is " + shown(py::type::of(stage)) +
                                     ", which the library never writes there");
  }
  const StageState& state = *found;
  py::object held = stage.attr("__dict__");
  if (!PyDict_CheckExact(held.ptr())) refuse_model_file(path_text, "its " + key + " has no plain state");
  Sizes sizes;
  sizes.width = held_size(held, "n_features_in_", false);
  sizes.classes = held_size(held, "classes_", true);
  sizes.estimators = held_size(held, "n_estimators", false);
  PyObject* estimator = PyDict_GetItemString(held.ptr(), "estimator");
  sizes.estimator = estimator;

  std::vector<bool> present(state.names.size(), false);
  PyObject *name, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(held.ptr(), &pos, &name, &value)) {
    PyObject* at = PyDict_GetItemWithError(state.index.ptr(), name);
    if (!at) {
      if (PyErr_Occurred()) throw py::error_already_set();
      refuse_stage_state(path_text, other, "its " + key + " holds " + shown(name) + ", which a " +
                                               (fitted ? "fitted " : "") + state.name + " does not hold");
    }
    const std::size_t i = PyLong_AsSize_t(at);
    present[i] = true;
    if (state.setting[i]) continue;  // settings have rules of their own
    const bool labels = PyUnicode_CompareWithASCIIString(name, "classes_") == 0;
    const auto& shapes = state.shapes[i];
    const bool any = std::any_of(shapes.begin(), shapes.end(), [&](const Shape& shape) {
      return fits(value, shape, sizes, labels);
    });
    if (!any) {
      refuse_stage_state(path_text, other,
                         "its " + key + " holds " + text_of(name) + " as " + shown(value) + ", where a " +
                             (fitted ? "fitted " : "") + state.name + " holds " + described(shapes.front()) +
                             (shapes.front().kind == Shape::Kind::Array ? " of its own sizes" : ""));
    }
    // A selector's scores and p-values are NaN or infinite for some genuine features (an
    // F-statistic with no variance within the classes), and it reads them as such; every other
    // attribute that the genuine fits hold finite holds finite numbers in a fitted stage.
    if (state.finite[i] && state.name != "SelectPercentile") check_finite(path_text, key, text_of(name), value);
  }
  for (std::size_t i = 0; i < state.names.size(); ++i) {
    if (present[i] || !state.required[i]) continue;
    const std::string missing = text_of(state.names[i]);
    refuse_stage_state(path_text, other,
                       "its " + key + (state.setting[i] ? " has no setting " + missing
                                                        : " lacks " + missing + ", which a " +
                                                              (fitted ? "fitted " : "") + state.name + " holds"));
  }
  return sizes;
}

// ---------------------------------------------------------------- settings

bool in_search_space(const std::string& cls, const std::string& setting, py::handle value, bool& drawn) {
  const GenuineStates& genuine = genuine_states();
  drawn = false;
  bool fits_range = false;
  for (const auto& [where, range] : genuine.ranges) {
    if (where.first != cls || where.second != setting) continue;
    drawn = true;
    PyObject* v = value.ptr();
    if (range.integer ? PyLong_CheckExact(v) : PyFloat_CheckExact(v)) {
      const double x = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : py::reinterpret_borrow<py::int_>(value).cast<double>();
      fits_range = std::isfinite(x) && x >= range.low && x <= range.high;
    }
  }
  if (fits_range) return true;
  for (const auto& [where, values] : genuine.built) {
    if (where.first != cls || where.second != setting) continue;
    for (py::handle built : values) {
      if (same_setting(value, built)) return true;
    }
  }
  return false;
}

// Refuses `stage` unless it is exactly one of `classes`, gives each setting the library sets
// a value of the search space it draws it from (or the value it always gives it), and keeps
// the default of every setting that the library does not set. A model pickled by another
// scikit-learn version holds that version's defaults, which the installed classes need not
// share: there a setting the library does not set may differ from the installed default
// only by a plain value, and never for the settings that cost at predict, so that the
// library's own older files still load. Returns its settings.
py::dict checked_stage(const std::string& path_text, const char* key, py::handle stage,
                       std::initializer_list<const char*> classes, bool other_version) {
  for (const auto& [where, chosen] : stage_settings()) {
    if (std::find_if(classes.begin(), classes.end(), [&](const char* c) {
          return std::string_view(c) == where.second;
        }) == classes.end()) {
      continue;
    }
    py::object cls = sklearn_attr(where.first, where.second);
    if (!Py_IS_TYPE(stage.ptr(), reinterpret_cast<PyTypeObject*>(cls.ptr()))) continue;
    py::dict defaults = class_defaults(cls);
    py::dict params;
    for (auto [name, default_value] : defaults) {
      const std::string setting = py::str(name).cast<std::string>();
      if (!py::hasattr(stage, name)) {
        refuse_model_file(path_text, "its " + std::string(key) + " has no setting " + setting);
      }
      py::object value = stage.attr(name);
      params[name] = value;
      if (checked_elsewhere(setting)) continue;
      const bool set_by_library =
          std::find_if(chosen.begin(), chosen.end(), [&](const char* c) { return setting == c; }) !=
          chosen.end();
      if (set_by_library) {
        bool drawn = false;
        if (same_setting(value, default_value) || in_search_space(where.second, setting, value, drawn)) continue;
        // Spelt out by newer builds of this library where scikit-learn still has it.
        if (setting == "algorithm" && PyUnicode_Check(value.ptr()) && value.cast<std::string>() == "SAMME") continue;
        refuse_model_file(path_text, "its " + std::string(key) + " sets " + setting + " to " + shown(value) +
                                         (drawn ? ", outside the range the library draws it from"
                                                : ", which the library never sets it to"));
      }
      if (same_setting(value, default_value)) continue;
      if (other_version && !costs_at_predict(setting)) {
        if (plain_setting(value)) continue;
        refuse_model_file(path_text, "its " + std::string(key) + " sets " + setting + " to " +
                                         shown(value) + ", which is not a plain value");
      }
      refuse_model_file(path_text, "its " + std::string(key) + " sets " + setting + " to " +
                                       shown(value) + ", which the library never sets");
    }
    return params;
  }
  refuse_model_file(path_text, "its " + std::string(key) + " is " + shown(py::type::of(stage)) +
                                   ", which the library never writes there");
}

// ---------------------------------------------------------------- the stages of one file

void check_interrupt(std::size_t i);
void check_member_values(const std::string& path_text, py::handle member);

// An ensemble's members are copies of its base estimator that differ only in the seed the
// ensemble gives them, each fitted as the library's own members are. (Read attribute by
// attribute: an ensemble may hold thousands.)
Sizes check_member(const std::string& path_text, py::handle member, py::handle base,
                   const py::dict& base_params, const OtherVersion* other) {
  if (!Py_IS_TYPE(member.ptr(), Py_TYPE(base.ptr()))) {
    refuse_model_file(path_text, "its classifier_model holds a member of type " +
                                     shown(py::type::of(member)) + " beside its estimator");
  }
  const Sizes sizes = check_stage_state(path_text, "classifier_model's member", member, true, other);
  check_member_values(path_text, member);
  static const py::str* seed = new py::str("random_state");  // never freed, as the classes
  for (auto [name, value] : base_params) {
    const int is_seed = PyObject_RichCompareBool(name.ptr(), seed->ptr(), Py_EQ);
    if (is_seed < 0) throw py::error_already_set();
    if (is_seed) continue;
    py::object held = member.attr(name);
    if (!same_setting(held, value)) {
      refuse_model_file(path_text, "a member of its classifier_model sets " +
                                       py::str(name).cast<std::string>() + " to " + shown(held) +
                                       ", unlike its estimator");
    }
  }
  return sizes;
}

// A column label as the correlation filter keeps it: text, or a number of a frame's index.
bool plain_label(py::handle value) {
  PyObject* v = value.ptr();
  if (PyUnicode_CheckExact(v) || PyFloat_CheckExact(v)) return true;
  if (PyLong_CheckExact(v)) return _PyLong_NumBits(v) <= 63;
  return !PyBool_Check(v) && (is_numpy(value, "integer") || is_numpy(value, "floating"));
}

// The feature names of a stage (None without), checked as text.
py::object feature_names(const std::string& path_text, const std::string& key, py::handle stage) {
  if (!py::hasattr(stage, "feature_names_in_")) return py::none();
  py::list names = stage.attr("feature_names_in_").attr("tolist")();
  py::set distinct;
  std::size_t i = 0;
  for (py::handle name : names) {
    check_interrupt(i++);
    if (!PyUnicode_CheckExact(name.ptr())) refuse_model_file(path_text, "its " + key + "'s feature names are not text");
    distinct.add(name);
  }
  // A frame cannot be given to it with a name twice: every predict would fail.
  if (py::len(distinct) != py::len(names)) refuse_model_file(path_text, "its " + key + "'s feature names are not distinct");
  return names;
}

template <class T>
void read_numbers(const char* data, py::ssize_t n, py::ssize_t stride, std::vector<double>& out) {
  for (py::ssize_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, data + i * stride, sizeof v);
    out[static_cast<std::size_t>(i)] = static_cast<double>(v);
  }
}

// The values of a one-dimensional array of booleans, integers or floats, read from its buffer
// (members come by the thousand: no Python call per value). False for any other array.
bool numbers_of(py::handle value, std::vector<double>& out) {
  if (!is_array(value)) return false;
  py::array array = py::reinterpret_borrow<py::array>(value);
  if (array.ndim() != 1) return false;
  const char kind = array.dtype().kind();
  const py::ssize_t size = array.itemsize(), n = array.shape(0), stride = array.strides(0);
  const char* data = static_cast<const char*>(array.data());
  out.resize(static_cast<std::size_t>(n));
  if (kind == 'f' && size == 8) {
    read_numbers<double>(data, n, stride, out);
  } else if (kind == 'f' && size == 4) {
    read_numbers<float>(data, n, stride, out);
  } else if ((kind == 'i' || kind == 'b') && size == 1) {
    read_numbers<std::int8_t>(data, n, stride, out);
  } else if (kind == 'i' && size == 2) {
    read_numbers<std::int16_t>(data, n, stride, out);
  } else if (kind == 'i' && size == 4) {
    read_numbers<std::int32_t>(data, n, stride, out);
  } else if (kind == 'i' && size == 8) {
    read_numbers<std::int64_t>(data, n, stride, out);
  } else if (kind == 'u' && size == 1) {
    read_numbers<std::uint8_t>(data, n, stride, out);
  } else if (kind == 'u' && size == 2) {
    read_numbers<std::uint16_t>(data, n, stride, out);
  } else if (kind == 'u' && size == 4) {
    read_numbers<std::uint32_t>(data, n, stride, out);
  } else if (kind == 'u' && size == 8) {
    read_numbers<std::uint64_t>(data, n, stride, out);
  } else {
    return false;
  }
  return true;
}

bool integer_kind(py::handle array) {
  return is_array(array) && std::string_view("iu").find(py::reinterpret_borrow<py::array>(array).dtype().kind()) !=
                                std::string_view::npos;
}

// Integer positions, increasing, each below `end`.
bool increasing_within(py::handle array, py::ssize_t end) {
  std::vector<double> values;
  if (!integer_kind(array) || !numbers_of(array, values)) return false;
  double previous = -1;
  for (double v : values) {
    if (!(v > previous) || v >= static_cast<double>(end)) return false;
    previous = v;
  }
  return true;
}

// Integer positions, each in [0, end).
bool all_within(py::handle array, py::ssize_t end) {
  std::vector<double> values;
  if (!integer_kind(array) || !numbers_of(array, values)) return false;
  return std::all_of(values.begin(), values.end(), [&](double v) { return v >= 0 && v < static_cast<double>(end); });
}

// How many features the selector keeps. It keeps those scoring above the given percentile of
// its scores (linear interpolation), and of scores equal to that percentile as many as fill
// its share. Where no score lies near the percentile, no score ties with it, and the count is
// the scores above it; otherwise (or for scores that make the percentile infinite) the
// selector's own mask decides. Its scores and percentile have been checked by then.
py::ssize_t selected_count(py::handle selector) {
  std::vector<double> scores;
  const long long percentile = selector.attr("percentile").cast<long long>();
  if (numbers_of(selector.attr("scores_"), scores) && percentile > 0 && percentile < 100 && !scores.empty()) {
    for (double& score : scores) {
      if (std::isnan(score)) score = -std::numeric_limits<double>::max();  // as the selector cleans them
    }
    std::vector<double> sorted = scores;
    std::sort(sorted.begin(), sorted.end());
    const double n = static_cast<double>(sorted.size());
    const double q = static_cast<double>(100 - percentile) / 100.0;
    const double at = n * q + (1.0 - q) - 1.0;
    const double below = std::floor(at);
    const auto lo = static_cast<std::size_t>(std::clamp(below, 0.0, n - 1));
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    const double t = at - below, a = sorted[lo], b = sorted[hi];
    const double threshold = t >= 0.5 ? b - (b - a) * (1.0 - t) : a + (b - a) * t;
    const double band = 1e-9 * std::max(1.0, std::fabs(threshold));
    if (std::isfinite(threshold) && std::all_of(scores.begin(), scores.end(), [&](double s) {
          return std::fabs(s - threshold) > band;
        })) {
      return std::count_if(scores.begin(), scores.end(), [&](double s) { return s > threshold; });
    }
  } else if (percentile == 100 && !scores.empty()) {
    return static_cast<py::ssize_t>(scores.size());
  }
  py::object mask = selector.attr("get_support")();
  return py::int_(mask.attr("sum")()).cast<py::ssize_t>();
}

// ---------------------------------------------------------------- fitted values

// Every so many items of a loop that calls Python per item, a Ctrl-C ends the load.
void check_interrupt(std::size_t i) {
  if ((i & 4095) == 4095 && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

PyObject* held_attr(py::handle stage, const char* name) {
  return PyDict_GetItemString(py::object(stage.attr("__dict__")).ptr(), name);  // borrowed; none if absent
}

std::vector<double> held_floats(py::handle stage, const char* name) {
  std::vector<double> numbers;
  PyObject* value = held_attr(stage, name);
  if (value) floats_of(value, numbers);
  return numbers;
}

// The attribute's numbers, each passing `fits`; absent attributes (of other releases) pass.
template <class Fits>
void check_each(const std::string& path_text, const std::string& key, py::handle stage, const char* name,
                const char* holds, Fits fits) {
  for (double x : held_floats(stage, name)) {
    if (!fits(x)) refuse_value(path_text, key, name, "with the value " + shown_number(x) + ", where a fitted stage holds " + holds);
  }
}

bool is_class(py::handle stage, const char* module, const char* name) {
  return Py_IS_TYPE(stage.ptr(), reinterpret_cast<PyTypeObject*>(sklearn_attr(module, name).ptr()));
}

bool within_features(double x) { return std::fabs(x) <= core::kExtremeFeatureMagnitude; }

// The imputer learns from cleaned training rows, whose numbers are at most
// kExtremeFeatureMagnitude in magnitude (or missing), and fills with what it learnt. Returns
// the training rows it keeps (-1 for an imputer that keeps none).
py::ssize_t check_imputer_values(const std::string& path_text, py::handle imputer) {
  const std::string key = "imputer";
  if (is_class(imputer, "sklearn.impute", "SimpleImputer")) {
    check_each(path_text, key, imputer, "statistics_", "finite numbers within the cleaned features' range",
               within_features);
    return -1;
  }
  // KNNImputer: its rows may be missing, and it finds them by its mask, not by their NaN.
  // Read in place, in the order the array is laid out: an imputer fitted on a frame holds
  // its rows column by column.
  auto rows = py::array_t<double, py::array::forcecast>::ensure(held_attr(imputer, "_fit_X"));
  auto mask = py::array_t<bool, py::array::forcecast>::ensure(held_attr(imputer, "_mask_fit_X"));
  PyObject* valid_held = held_attr(imputer, "_valid_mask");  // absent from some releases
  auto valid = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(valid_held);
  if (!rows || !mask || (valid_held && !valid) || rows.ndim() != 2 || mask.ndim() != 2 ||
      (valid && valid.ndim() != 1)) {
    refuse_model_file(path_text, "its imputer does not hold its training rows, their mask and its valid columns");
  }
  const py::ssize_t n = rows.shape(0), width = rows.shape(1);
  if (mask.shape(0) != n || mask.shape(1) != width || (valid && valid.shape(0) != width)) {
    refuse_model_file(path_text, "its imputer's _mask_fit_X and _valid_mask do not fit its _fit_X");
  }
  if (n < 1) refuse_model_file(path_text, "its imputer holds no training rows");
  // Without a branch per value (the rows may number in the millions); a fault is told after.
  std::vector<unsigned char> seen(static_cast<std::size_t>(width), 0);
  unsigned char unmarked = 0, beyond = 0;
  double shown_value = 0;
  const bool by_column = rows.strides(0) < rows.strides(1);
  const py::ssize_t outer = by_column ? width : n, inner = by_column ? n : width;
  const py::ssize_t x_outer = rows.strides(by_column ? 1 : 0) / py::ssize_t(sizeof(double)),
                    x_inner = rows.strides(by_column ? 0 : 1) / py::ssize_t(sizeof(double)),
                    m_outer = mask.strides(by_column ? 1 : 0), m_inner = mask.strides(by_column ? 0 : 1);
  const double* x = rows.data();
  const unsigned char* missing = reinterpret_cast<const unsigned char*>(mask.data());
  for (py::ssize_t o = 0; o < outer; ++o) {
    const double* xo = x + o * x_outer;
    const unsigned char* mo = missing + o * m_outer;
    unsigned char present = 0;
    for (py::ssize_t i = 0; i < inner; ++i) {
      const double v = xo[i * x_inner];
      const unsigned char marked = mo[i * m_inner] != 0, gap = v != v;
      unmarked |= gap ^ marked;
      const unsigned char out = std::fabs(v) > core::kExtremeFeatureMagnitude;  // false for NaN
      beyond |= out;
      if (out) shown_value = v;
      if (by_column) {
        present |= static_cast<unsigned char>(1 - marked);
      } else {
        seen[static_cast<std::size_t>(i)] |= static_cast<unsigned char>(1 - marked);
      }
    }
    if (by_column) seen[static_cast<std::size_t>(o)] = present;
  }
  if (unmarked) refuse_value(path_text, key, "_mask_fit_X", "that does not mark the missing values of its _fit_X");
  if (beyond) {
    refuse_value(path_text, key, "_fit_X", "with the value " + shown_number(shown_value) +
                                               ", where it holds cleaned features or NaN");
  }
  for (py::ssize_t j = 0; valid && j < width; ++j) {
    if (valid.data()[j] != (seen[static_cast<std::size_t>(j)] != 0)) {
      refuse_value(path_text, key, "_valid_mask", "that does not mark the columns its _fit_X holds values of");
    }
  }
  return n;
}

// The scaler's range is the one the library gives it ([0, 1], checked with its settings), and
// its scale and offset are what scikit-learn computes from the range of the rows it saw; the
// rows were the imputer's, cleaned. Returns the rows it saw.
py::ssize_t check_scaler_values(const std::string& path_text, py::handle scaler) {
  const std::string key = "scaler";
  const std::vector<double> low = held_floats(scaler, "data_min_"), high = held_floats(scaler, "data_max_"),
                            range = held_floats(scaler, "data_range_"), scale = held_floats(scaler, "scale_"),
                            offset = held_floats(scaler, "min_");
  const std::size_t width = low.size();
  if (high.size() != width || range.size() != width || scale.size() != width || offset.size() != width) {
    refuse_model_file(path_text, "its scaler's ranges, scales and offsets are not one per feature");
  }
  constexpr double kConstantRange = 10 * std::numeric_limits<double>::epsilon();  // as scikit-learn's
  for (std::size_t j = 0; j < width; ++j) {
    if (!within_features(low[j]) || !within_features(high[j]) || !(low[j] <= high[j])) {
      refuse_value(path_text, key, "data_min_ and data_max_", "that are not the range of cleaned features");
    }
    if (range[j] != high[j] - low[j]) refuse_value(path_text, key, "data_range_", "that is not data_max_ - data_min_");
    const double expected = range[j] < kConstantRange ? 1.0 : 1.0 / range[j];
    if (scale[j] != expected) {
      refuse_value(path_text, key, "scale_", "with the value " + shown_number(scale[j]) + " for a range of " +
                                                 shown_number(range[j]) + ", where it holds " + shown_number(expected));
    }
    const double expected_offset = 0.0 - low[j] * scale[j];
    if (offset[j] != expected_offset) {
      refuse_value(path_text, key, "min_", "with the value " + shown_number(offset[j]) + ", where its range and scale give " +
                                               shown_number(expected_offset));
    }
  }
  const py::ssize_t seen = held_size(scaler.attr("__dict__"), "n_samples_seen_", false);
  if (seen < 1) refuse_value(path_text, key, "n_samples_seen_", "that is not a count of rows");
  return seen;
}

bool positive(double x) { return x > 0; }
bool not_negative(double x) { return x >= 0; }
// A variance of at least the inverse of the bound (see kFittedMagnitude).
bool variance(double x) { return x >= 1.0 / kFittedMagnitude; }

// What a fitted member's numbers must be beyond finite (checked with its state): variances,
// priors and counts as the naive Bayes fits make them.
void check_member_values(const std::string& path_text, py::handle member) {
  const std::string key = "classifier_model's member";
  if (is_class(member, "sklearn.naive_bayes", "GaussianNB")) {
    check_each(path_text, key, member, "var_", "variances of at least 1e-50", variance);
    check_each(path_text, key, member, "class_prior_", "positive priors", positive);
    check_each(path_text, key, member, "class_count_", "counts of no less than 0", not_negative);
    check_each(path_text, key, member, "epsilon_", "no less than 0", not_negative);
  } else if (is_class(member, "sklearn.naive_bayes", "ComplementNB")) {
    check_each(path_text, key, member, "class_count_", "counts of no less than 0", not_negative);
    check_each(path_text, key, member, "feature_count_", "counts of no less than 0", not_negative);
    check_each(path_text, key, member, "feature_all_", "counts of no less than 0", not_negative);
  }
}

// Exactly the labels 0 and 1, of an integer or boolean kind: the factor takes an entry where
// the label 1 comes out.
bool binary_labels(py::handle classes, std::vector<double>& labels) {
  if (!is_array(classes) ||
      std::string_view("biu").find(py::reinterpret_borrow<py::array>(classes).dtype().kind()) == std::string_view::npos) {
    return false;
  }
  return numbers_of(classes, labels) && labels == std::vector<double>{0.0, 1.0};
}

// The six stages, checked against what the final fit writes: their classes, their settings
// and the state the installed scikit-learn's own fitted stages hold, and the relations that
// predict relies on from one stage to the next.
void check_model_stages(const std::string& path_text, const py::dict& stages, const OtherVersion* other) {
  const bool other_version = other != nullptr;
  py::handle imputer = stages["imputer"];
  // The state first: a stage of another version that lacks a setting needs refitting.
  const Sizes imputed = check_stage_state(path_text, "imputer", imputer, true, other);
  checked_stage(path_text, "imputer", imputer, {"KNNImputer", "SimpleImputer"}, other_version);
  if (imputed.width < 1) refuse_model_file(path_text, "its imputer has no features");
  const py::ssize_t imputer_rows = check_imputer_values(path_text, imputer);
  py::object names = feature_names(path_text, "imputer", imputer);

  py::handle kept = stages["no_variance_cols"];
  if (!is_array(kept) || py::reinterpret_borrow<py::array>(kept).ndim() != 1 ||
      std::string("iu").find(py::reinterpret_borrow<py::array>(kept).dtype().kind()) == std::string::npos) {
    refuse_model_file(path_text, "its no_variance_cols is not a one-dimensional integer array");
  }
  if (!increasing_within(kept, imputed.width)) {
    refuse_model_file(path_text, "its no_variance_cols are not increasing positions among the imputer's " +
                                     std::to_string(imputed.width) + " features");
  }
  const py::ssize_t kept_count = py::len(kept);
  py::handle dropped = stages["features_to_drop_from_multicollinearity"];
  if (!PyList_CheckExact(dropped.ptr())) {
    refuse_model_file(path_text, "its features_to_drop_from_multicollinearity is not a list");
  }
  const py::ssize_t dropped_count = PyList_GET_SIZE(dropped.ptr());
  for (py::handle label : dropped) {
    if (!plain_label(label)) {
      refuse_model_file(path_text, "its features_to_drop_from_multicollinearity holds " + shown(label) +
                                       ", which is not a column label");
    }
  }
  if (dropped_count >= std::max<py::ssize_t>(kept_count, 1)) {
    refuse_model_file(path_text, "its features_to_drop_from_multicollinearity drops every kept feature");
  }
  py::object remaining = py::none();
  if (!names.is_none()) {
    // The labels dropped are labels of kept columns, and the scaler sees the others in order.
    // Looked up in sets: a model may be tens of thousands of features wide.
    py::list kept_names;
    py::set kept_set;
    std::size_t i = 0;
    for (py::handle position : py::list(kept.attr("tolist")())) {
      check_interrupt(i++);
      py::object label = names[position];
      kept_names.append(label);
      kept_set.add(label);
    }
    py::set dropping;
    for (py::handle label : dropped) {
      check_interrupt(i++);
      if (!kept_set.contains(label)) {
        refuse_model_file(path_text, "its features_to_drop_from_multicollinearity drops " + shown(label) +
                                         ", which is no kept feature");
      }
      dropping.add(label);
    }
    py::list rest;
    for (py::handle label : kept_names) {
      check_interrupt(i++);
      if (!dropping.contains(label)) rest.append(label);
    }
    remaining = rest;
  }

  py::handle scaler = stages["scaler"];
  const Sizes scaled = check_stage_state(path_text, "scaler", scaler, true, other);
  checked_stage(path_text, "scaler", scaler, {"MinMaxScaler"}, other_version);
  const py::ssize_t scaler_rows = check_scaler_values(path_text, scaler);
  if (imputer_rows >= 0 && imputer_rows != scaler_rows) {
    refuse_model_file(path_text, "its imputer keeps " + std::to_string(imputer_rows) +
                                     " training rows where its scaler saw " + std::to_string(scaler_rows));
  }
  if (scaled.width != kept_count - dropped_count) {
    refuse_model_file(path_text, "its scaler takes " + std::to_string(scaled.width) + " features where " +
                                     std::to_string(kept_count - dropped_count) + " remain");
  }
  py::object scaler_names = feature_names(path_text, "scaler", scaler);
  if (scaler_names.is_none() != remaining.is_none() ||
      (!remaining.is_none() && !scaler_names.equal(remaining))) {
    refuse_model_file(path_text, "its scaler's feature names are not those the earlier stages leave");
  }

  py::handle selector_stage = stages["select_top_k_features"];
  const Sizes selecting = check_stage_state(path_text, "select_top_k_features", selector_stage, true, other);
  py::dict selector = checked_stage(path_text, "select_top_k_features", selector_stage, {"SelectPercentile"},
                                    other_version);
  py::object score_func = selector["score_func"];
  if (!score_func.is(sklearn_attr("sklearn.feature_selection", "f_classif")) &&
      !score_func.is(sklearn_attr("sklearn.feature_selection", "mutual_info_classif"))) {
    refuse_model_file(path_text, "its select_top_k_features scores with " + shown(score_func));
  }
  if (selecting.width != scaled.width) {
    refuse_model_file(path_text, "its select_top_k_features takes " + std::to_string(selecting.width) +
                                     " features where the scaler gives " + std::to_string(scaled.width));
  }
  // Its scores and percentile are checked: what it keeps costs no more than a sort of them.
  const py::ssize_t selected = selected_count(selector_stage);

  py::handle model = stages["classifier_model"];
  const Sizes classified = check_stage_state(path_text, "classifier_model", model, true, other);
  py::dict ensemble = checked_stage(path_text, "classifier_model", model,
                                    {"AdaBoostClassifier", "BaggingClassifier"}, other_version);
  py::object base = ensemble["estimator"];
  check_stage_state(path_text, "classifier_model's estimator", base, false, other);
  py::dict base_params = checked_stage(path_text, "classifier_model's estimator", base,
                                       {"LogisticRegression", "ComplementNB", "GaussianNB"}, other_version);
  if (classified.width != selected) {
    refuse_model_file(path_text, "its classifier_model takes " + std::to_string(classified.width) +
                                     " features where the selector keeps " + std::to_string(selected));
  }
  // The ensembles size what predict allocates by n_classes_: it is the count of the classes
  // the model holds, never a number of the file's own.
  py::object count = model.attr("n_classes_");
  if (!PyLong_CheckExact(count.ptr()) || classified.classes < 1 ||
      !count.equal(py::int_(classified.classes))) {
    refuse_model_file(path_text, "its classifier_model's n_classes_ " + shown(count) +
                                     " is not the count of its classes_");
  }
  py::object classes = model.attr("classes_");
  std::vector<double> labels, member_labels;
  if (!binary_labels(classes, labels)) {
    refuse_model_file(path_text, "its classifier_model's classes_ " + shown(classes) +
                                     " are not the labels 0 and 1 of an integer or boolean kind");
  }
  const bool bagging = Py_IS_TYPE(model.ptr(), reinterpret_cast<PyTypeObject*>(
                                                   sklearn_attr("sklearn.ensemble", "BaggingClassifier").ptr()));
  py::list members = model.attr("estimators_");
  const py::ssize_t member_count = py::len(members);
  // AdaBoost stops early once a member fits perfectly; Bagging fits every member.
  if (bagging ? member_count != classified.estimators
              : (member_count < 1 || member_count > classified.estimators)) {
    refuse_model_file(path_text, "its classifier_model holds " + std::to_string(member_count) +
                                     " members for n_estimators " + std::to_string(classified.estimators));
  }
  if (bagging) {  // fitted on the rows the scaler saw
    const py::ssize_t rows = held_size(model.attr("__dict__"), "_n_samples", false);
    if (held_attr(model, "_n_samples") && rows != scaler_rows) {
      refuse_model_file(path_text, "its classifier_model was fitted on " + shown(model.attr("_n_samples")) +
                                       " rows where its scaler saw " + std::to_string(scaler_rows));
    }
  } else {  // the weights of the members it uses: SAMME drops a member no better than chance
    const std::vector<double> weights = held_floats(model, "estimator_weights_");
    for (py::ssize_t i = 0; i < member_count && static_cast<std::size_t>(i) < weights.size(); ++i) {
      if (!(weights[static_cast<std::size_t>(i)] > 0)) {
        refuse_value(path_text, "classifier_model", "estimator_weights_",
                     "with the weight " + shown_number(weights[static_cast<std::size_t>(i)]) +
                         " for a member it uses, where a fitted AdaBoost weighs them positive");
      }
    }
  }
  py::list features = bagging ? py::list(model.attr("estimators_features_")) : py::list();
  if (bagging && py::len(features) != static_cast<std::size_t>(member_count)) {
    refuse_model_file(path_text, "its classifier_model's estimators_features_ are not one per member");
  }
  for (py::ssize_t i = 0; i < member_count; ++i) {
    py::handle member = members[static_cast<std::size_t>(i)];
    const Sizes own = check_member(path_text, member, base, base_params, other);
    py::object member_classes = member.attr("classes_");
    bool fits_model;
    if (bagging) {  // members learn the positions of the classes, from a sample that may lack some
      py::handle columns = features[static_cast<std::size_t>(i)];
      fits_model = own.width == static_cast<py::ssize_t>(py::len(columns)) &&
                   all_within(columns, classified.width) && increasing_within(member_classes, classified.classes);
    } else {
      fits_model = own.width == classified.width && binary_labels(member_classes, member_labels);
    }
    if (!fits_model) {
      refuse_model_file(path_text, "a member of its classifier_model does not fit the ensemble's features and classes");
    }
  }
}

constexpr std::array<const char*, 6> kModelKeys = {
    "imputer", "no_variance_cols", "features_to_drop_from_multicollinearity",
    "scaler",  "select_top_k_features", "classifier_model"};

}  // namespace

// The six stages of the file, refused as a whole unless they are what the library writes;
// nothing of the file is kept before that. Every failure, the unpickler's and the
// libraries' own included, is one UnpicklingError that names the file.
py::dict load_model_file(py::handle path) {
  const std::string path_text = text_of(path);
  py::bytes data;
  {
    vb::ScopedContext file(py::module_::import("builtins").attr("open")(path, "rb"));
    data = file.value().attr("read")();
  }
  scan_model_file(path_text, data);
  try {
    genuine_states();  // fitted at the first load, before any of the file's objects exists
  } catch (py::error_already_set& e) {
    refuse_after(path_text, "fitting the library's own stages to compare it with", e);
  }

  py::module_ pickle = py::module_::import("pickle");
  py::cpp_function find_class(
      [path_text](py::str module, py::str name) {
        return resolve_model_global(path_text, module, name);
      },
      py::name("find_class"));
  py::dict namespace_;
  namespace_["find_class"] = find_class;
  namespace_["__module__"] = "velmora.vodED.tradegate";
  py::object unpickler_class = py::module_::import("builtins").attr("type")(
      "ModelUnpickler", py::make_tuple(pickle.attr("Unpickler")), namespace_);

  // The module's process-wide UserWarning filter would hide scikit-learn's notice that a
  // stage was pickled by another version (and may predict differently): record it and log it.
  py::module_ warnings = py::module_::import("warnings");
  py::object version_warning =
      py::module_::import("sklearn.exceptions").attr("InconsistentVersionWarning");
  py::object model;
  py::list caught;
  try {
    vb::ScopedContext recording(warnings.attr("catch_warnings")(py::arg("record") = true));
    caught = recording.value();
    warnings.attr("simplefilter")("always", version_warning);
    py::object stream = py::module_::import("io").attr("BytesIO")(data);
    model = unpickler_class(stream).attr("load")();
  } catch (py::error_already_set& e) {
    refuse_after(path_text, "unpickling it", e);
  }
  if (!PyDict_CheckExact(model.ptr())) {
    refuse_model_file(path_text, "it does not hold a dictionary of fitted stages (it holds " +
                                     vb::type_name(model) + ")");
  }
  py::dict stages = py::reinterpret_borrow<py::dict>(model);
  for (const char* key : kModelKeys) {
    if (!stages.contains(key)) {
      refuse_model_file(path_text, std::string("it has no stage '") + key + "'");
    }
  }
  py::object issubclass = py::module_::import("builtins").attr("issubclass");
  auto is_version_notice = [&](py::handle record) {
    return py::bool_(issubclass(record.attr("category"), version_warning)) &&
           py::hasattr(record.attr("message"), "original_sklearn_version");
  };
  // The versions its stages claim, each once, in the order met. The scan let through only
  // short version text; they are shown quoted all the same, so that they cannot write a line
  // of their own.
  std::vector<std::string> versions;
  for (py::handle record : caught) {
    if (!is_version_notice(record)) continue;
    py::object version = record.attr("message").attr("original_sklearn_version");
    if (!is_version_text(version)) {
      refuse_model_file(path_text, "a stage claims to be pickled by scikit-learn " + shown(version) +
                                       ", which is not a version");
    }
    const std::string quoted = shown(version);
    if (std::find(versions.begin(), versions.end(), quoted) == versions.end()) versions.push_back(quoted);
  }
  OtherVersion other;
  for (const std::string& version : versions) other.versions += (other.versions.empty() ? "" : ", ") + version;
  try {
    check_model_stages(path_text, stages, versions.empty() ? nullptr : &other);
  } catch (py::error_already_set& e) {
    refuse_after(path_text, "checking its stages", e);
  } catch (const std::exception& e) {  // a value of an unexpected type met by a cast
    refuse_model_file(path_text, std::string("checking its stages failed: ") + e.what());
  }
  if (!versions.empty()) {
    logger().attr("warning")("MODEL FILE " + path_text + ": pickled by scikit-learn " + other.versions +
                             " and loaded by scikit-learn " +
                             shown(py::module_::import("sklearn").attr("__version__")) +
                             "; its stages hold what the installed version's hold, but it may "
                             "predict differently" + kLogTag);
  }
  for (py::handle record : caught) {  // anything else goes on as if it had not been recorded
    if (is_version_notice(record)) continue;
    py::handle message = record.attr("message");
    warnings.attr("warn_explicit")(message, record.attr("category"), record.attr("filename"),
                                   record.attr("lineno"));
  }
  return stages;
}

py::frozenset model_file_globals() { return admitted_globals_set(); }

py::ssize_t selected_feature_count(py::handle selector) { return selected_count(selector); }

}  // namespace velmora::tradegate
