#pragma once
// The classifier's model file: what it may name and build, and what each of its six stages
// may hold. A file is read whole, scanned opcode by opcode before anything is built, unpickled
// with a look-up that admits only the names the scan admitted, and then each stage is compared
// with the stage the library itself fits under the installed scikit-learn.

#include "common/common.hpp"

namespace velmora::tradegate {

namespace py = pybind11;

// The six stages of the model file at `path`, as a dictionary, once every check has passed.
// Any refusal, and any failure while reading or unpickling, is one pickle.UnpicklingError whose
// message names the file; Ctrl-C is passed on as it is.
py::dict load_model_file(py::handle path);

// What a model file may name, as a frozenset of (module, name) pairs.
py::frozenset model_file_globals();

// How many features a fitted SelectPercentile keeps, as its support mask counts them.
py::ssize_t selected_feature_count(py::handle selector);

}  // namespace velmora::tradegate
