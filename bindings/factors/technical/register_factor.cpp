#include "factors/technical/register.hpp"

namespace velmora::bind::cointpairs {

void register_factor(pybind11::module_&) {}

}  // namespace velmora::bind::cointpairs
