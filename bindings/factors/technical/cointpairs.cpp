// velmora.factors.technical.cointpairs: the pairs-trading serial cointegration factor.

#include "factors/technical/register.hpp"
#include "factors/technical/trade_data.hpp"

PYBIND11_MODULE(VELMORA_MODULE_NAME, m) {
  m.doc() = "Pairs-trading serial cointegration factor.";
  velmora::bind::cointpairs::register_kernels(m);
  velmora::bind::cointpairs::register_accounting(m);
  velmora::bind::cointpairs::register_trade_data(m);
  velmora::bind::cointpairs::register_factor(m);
  velmora::bind::cointpairs::register_live(m);
  velmora::bind::cointpairs::register_search(m);
}
