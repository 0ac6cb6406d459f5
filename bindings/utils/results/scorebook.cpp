// velmora.utils.results.scorebook: not built yet.

#include "common/common.hpp"

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) { m.doc() = "velmora.utils.results.scorebook"; }
