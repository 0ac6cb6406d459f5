// velmora.connections.yahoo_finance.indexfeed: not built yet.

#include "common/common.hpp"

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) { m.doc() = "velmora.connections.yahoo_finance.indexfeed"; }
