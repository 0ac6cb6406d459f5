// Private kernels of the factor's spread model and walk, under leading-underscore names: the
// tests compare them with the libraries they replace and with a plain-Python walk, and the
// benchmark times the walk on its own.

#include "factors/technical/register.hpp"
#include "factors/technical/walk_params.hpp"
#include "velmora/core/numeric.hpp"
#include "velmora/core/pairs/kernels.hpp"
#include "velmora/core/pairs/walk.hpp"
#include "velmora/core/pairs/window_sums.hpp"

#include <vector>

namespace velmora::bind::cointpairs {

namespace py = pybind11;
namespace cp = core::pairs;

namespace {

std::vector<double> contiguous(py::handle obj, const char* argument) {
  // The checked array may be an aligned copy: keep it alive while its view is read.
  const py::array arr = require_float64(obj, argument, 1);
  const View1D v = view_1d(arr);
  std::vector<double> out(static_cast<std::size_t>(v.size));
  for (std::ptrdiff_t i = 0; i < v.size; ++i) out[i] = v[i];
  return out;
}

py::dict state_dict(const cp::PairState& s) {
  py::dict d;
  d["hedge_ratios"] = py::make_tuple(s.hedge_a, s.hedge_b);
  d["cointegrated"] = s.cointegrated;
  d["halflife"] = s.halflife;
  d["spread_position"] = s.position;
  d["reestimation_countdown"] = s.reestimation_countdown;
  d["take_profit"] = s.take_profit;
  d["stop_loss"] = s.stop_loss;
  d["time_barrier"] = s.time_barrier;
  d["spread_at_entry"] = s.spread_at_entry;
  d["std_at_entry"] = s.std_at_entry;
  d["barrier_countdown"] = s.barrier_countdown;
  d["meta_label_veto"] = s.vetoed;
  return d;
}

// Records entries and closed trades as plain C++ while the GIL is released; Python is
// entered only when the caller's entry callback must decide a veto.
class RecordingObserver final : public cp::WalkObserver {
 public:
  RecordingObserver(py::object on_entry, std::size_t pairs)
      : on_entry_(std::move(on_entry)), open_entry_(pairs, -1), poller_(true) {}

  struct Trade {
    std::ptrdiff_t pair;
    std::int64_t entry, exit;
    int label;
    double trade_return;
  };

  bool on_entry(const cp::EntryEvent& e) override {
    bool allowed = true;
    if (!on_entry_.is_none()) {
      py::gil_scoped_acquire gil;
      allowed = py::bool_(on_entry_(e.end, e.pair, e.position, e.hedge_a, e.hedge_b, e.zscore));
    }
    entries_.push_back({e, allowed});
    open_entry_[static_cast<std::size_t>(e.pair)] = allowed ? e.end : -1;
    return allowed;
  }
  void on_close(const cp::CloseEvent& e) override {
    trades_.push_back({e.pair, open_entry_[static_cast<std::size_t>(e.pair)], e.end, e.label,
                       e.trade_return});
  }
  void poll() override { poller_.poll(); }

  py::list trades() const {
    py::list out;
    for (const Trade& t : trades_) {
      py::dict d;
      d["pair"] = t.pair;
      d["entry"] = t.entry;
      d["exit"] = t.exit;
      d["trade_label"] = t.label;
      d["trade_returns"] = t.trade_return;
      out.append(d);
    }
    return out;
  }
  py::list entries() const {
    py::list out;
    for (const auto& [e, allowed] : entries_) {
      out.append(py::make_tuple(e.end, e.pair, e.position, allowed));
    }
    return out;
  }

 private:
  py::object on_entry_;
  std::vector<std::int64_t> open_entry_;
  std::vector<Trade> trades_;
  std::vector<std::pair<cp::EntryEvent, bool>> entries_;
  InterruptPoller poller_;
};

// Two log-close legs as a two-security market (the closes are not read) with its running
// sums, for the tests of the estimates against the two-pass definitions.
struct Legs {
  std::vector<double> values;  // rows x 2, row-major
  std::ptrdiff_t rows = 0;
  cp::Market market;
  cp::PairSpec pair{0, 1, 0, 1};
  cp::MarketSums sums;

  static cp::Market make(const std::vector<double>& v, std::ptrdiff_t rows) {
    const core::MatrixView view{v.data(), rows, 2, 2, 1};
    return cp::Market(view, view);
  }
  Legs(std::vector<double> v, std::ptrdiff_t n) : values(std::move(v)), rows(n), market(make(values, n)) {
    sums.cover(market, std::span<const cp::PairSpec>(&pair, 1), 0, rows);
  }
};

Legs legs_from(py::handle log_a, py::handle log_b) {
  const std::vector<double> a = contiguous(log_a, "log_a"), b = contiguous(log_b, "log_b");
  if (a.size() != b.size() || a.size() < 2) throw py::value_error("both legs must have the same length, at least 2");
  std::vector<double> v(2 * a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    v[2 * i] = a[i];
    v[2 * i + 1] = b[i];
  }
  return Legs(std::move(v), static_cast<std::ptrdiff_t>(a.size()));
}

}  // namespace

void register_kernels(py::module_& m) {
  m.def(
      "_zscore_surely_within",
      [](py::handle log_a, py::handle log_b, double hedge_a, double hedge_b, std::ptrdiff_t tail,
         double threshold) {
        Legs legs = legs_from(log_a, log_b);
        if (tail < 2 || tail > legs.rows) throw py::value_error("tail must lie within the legs");
        const cp::Market& mk = legs.market;
        const std::ptrdiff_t last = legs.rows - 1;
        const double current = (hedge_a * mk.log_close(0)[last]) + (hedge_b * mk.log_close(1)[last]);
        return cp::zscore_surely_within(legs.sums, 0, 0, 1, hedge_a, hedge_b, legs.rows - tail,
                                        legs.rows, current, threshold);
      },
      py::arg("log_a"), py::arg("log_b"), py::arg("hedge_a"), py::arg("hedge_b"), py::arg("tail"),
      py::arg("threshold"),
      "Whether running sums show |z-score| of the spread's last `tail` values <= threshold.");
  m.def(
      "_halflife_estimate",
      [](py::handle log_a, py::handle log_b, double hedge_a, double hedge_b) {
        Legs legs = legs_from(log_a, log_b);
        const cp::Market& mk = legs.market;
        const std::ptrdiff_t last = legs.rows - 1;
        return cp::halflife_estimate(
            legs.sums, 0, 0, 1, hedge_a, hedge_b, 0, legs.rows,
            (hedge_a * mk.log_close(0)[0]) + (hedge_b * mk.log_close(1)[0]),
            (hedge_a * mk.log_close(0)[last]) + (hedge_b * mk.log_close(1)[last]));
      },
      py::arg("log_a"), py::arg("log_b"), py::arg("hedge_a"), py::arg("hedge_b"),
      "The spread's half-life from running sums, or -1 where their bound cannot fix it.");
  m.def(
      "_volatility_multiplier_estimate",
      [](py::handle log_a, py::handle log_b, double hedge_a, double hedge_b, std::int64_t halflife,
         double multiplier) -> py::object {
        Legs legs = legs_from(log_a, log_b);
        const std::ptrdiff_t wv = cp::volatility_run_length(legs.rows, halflife, multiplier);
        cp::SpreadRunSums runs;
        double value = 0.0, error = 0.0;
        if (!runs.multiplier(legs.market.log_close(0), legs.market.log_close(1), hedge_a, hedge_b, 0,
                             legs.rows, wv, value, error)) {
          return py::none();
        }
        return py::make_tuple(value, error);
      },
      py::arg("log_a"), py::arg("log_b"), py::arg("hedge_a"), py::arg("hedge_b"),
      py::arg("halflife"), py::arg("rolling_volatility_halflife_multiplier"),
      "(multiplier, error bound) of the spread from running sums, or None.");
  m.def(
      "_pairwise_sum",
      [](py::handle x) {
        std::vector<double> data = contiguous(x, "x");
        return core::pairwise_sum(data.data(), static_cast<std::ptrdiff_t>(data.size()));
      },
      py::arg("x"), "numpy's pairwise float64 sum of a 1-D array.");
  m.def(
      "_numpy_std",
      [](py::handle x) {
        std::vector<double> data = contiguous(x, "x"), scratch;
        return cp::numpy_std_into(data.data(), static_cast<std::ptrdiff_t>(data.size()), scratch);
      },
      py::arg("x"), "np.std (ddof 0) of a 1-D array, rounded as numpy rounds it.");
  m.def(
      "_sliding_std",
      [](py::handle x, std::ptrdiff_t window) {
        std::vector<double> data = contiguous(x, "x"), scratch;
        const auto n = static_cast<std::ptrdiff_t>(data.size());
        if (window < 1 || window > n) throw py::value_error("window must lie within the array");
        py::array_t<double> out(n - window + 1);
        cp::sliding_std(data.data(), n, window, out.mutable_data(), scratch);
        return out;
      },
      py::arg("x"), py::arg("window"),
      "np.std(sliding_window_view(x, window), axis=1).");
  m.def(
      "_johansen",
      [](py::handle endog) {
        const py::array arr = require_float64(endog, "endog", 2);
        const View2D v = view_2d(arr);
        if (v.cols != 2) throw py::value_error("endog must have two columns");
        const cp::JohansenResult r = cp::johansen_two(v.data, v.row_stride, v.data + v.col_stride,
                                                      v.row_stride, v.rows);
        py::dict d;
        d["ok"] = r.ok;
        d["eig"] = py::make_tuple(r.eig[0], r.eig[1]);
        d["evec"] = py::make_tuple(py::make_tuple(r.evec[0][0], r.evec[0][1]),
                                   py::make_tuple(r.evec[1][0], r.evec[1][1]));
        d["lr1"] = py::make_tuple(r.lr1[0], r.lr1[1]);
        d["lr2"] = py::make_tuple(r.lr2[0], r.lr2[1]);
        return d;
      },
      py::arg("endog"),
      "Johansen test of an m x 2 series, linear trend, no lagged differences.");
  m.def(
      "_hedge_ratio_from_johansen",
      [](py::handle log_a, py::handle log_b, std::int64_t step) {
        std::vector<double> a = contiguous(log_a, "log_a"), b = contiguous(log_b, "log_b");
        if (a.size() != b.size()) throw py::value_error("both legs must have the same length");
        const cp::HedgeEstimate e =
            cp::hedge_ratio_from_johansen(a.data(), b.data(), static_cast<std::ptrdiff_t>(a.size()), step);
        return py::make_tuple(e.hedge_a, e.hedge_b, e.cointegrated);
      },
      py::arg("log_a"), py::arg("log_b"), py::arg("step"),
      "(hedge_a, hedge_b, cointegrated) of a window's log closes sampled every `step` bars.");
  m.def(
      "_halflife_from_spread",
      [](bool cointegrated, std::int64_t window_length, py::handle spread) {
        std::vector<double> s = contiguous(spread, "spread");
        return cp::halflife_from_spread(cointegrated, window_length, s.data(),
                                        static_cast<std::ptrdiff_t>(s.size()));
      },
      py::arg("cointegrated"), py::arg("window_length"), py::arg("spread"),
      "Half-life in bars of the spread's mean reversion.");
  m.def(
      "_zscore_for_pair",
      [](py::handle spread, std::int64_t halflife, double multiplier, std::int64_t maximum_window,
         bool cointegrated, std::int64_t minimum_window) {
        std::vector<double> s = contiguous(spread, "spread"), scratch;
        const cp::ZScore z = cp::zscore_for_pair(s.data(), static_cast<std::ptrdiff_t>(s.size()),
                                                 halflife, multiplier, minimum_window,
                                                 maximum_window, cointegrated, scratch);
        return py::make_tuple(z.zscore, z.current, z.std, z.mean);
      },
      py::arg("spread"), py::arg("halflife"), py::arg("zscore_halflife_multiplier"),
      py::arg("maximum_zscore_window"), py::arg("cointegrated"),
      py::arg("minimum_zscore_window") = 30,
      "(zscore, current spread, std, mean) of the spread's latest value.");
  m.def(
      "_volatility_multiplier",
      [](py::handle spread, std::int64_t halflife, double multiplier) {
        std::vector<double> s = contiguous(spread, "spread"), runs, dev;
        if (s.size() < 2) throw py::value_error("the spread needs at least two values");
        return cp::volatility_multiplier(s.data(), static_cast<std::ptrdiff_t>(s.size()), halflife,
                                         multiplier, runs, dev);
      },
      py::arg("spread"), py::arg("halflife"), py::arg("rolling_volatility_halflife_multiplier"),
      "1 + latest rolling std / mean rolling std of the spread.");
  m.def(
      "_check_barrier_crossing",
      [](int position, double spread_at_entry, double take_profit, double stop_loss,
         double time_barrier, double spread) {
        cp::PairState st;
        st.position = position;
        st.spread_at_entry = spread_at_entry;
        st.take_profit = take_profit;
        st.stop_loss = stop_loss;
        st.time_barrier = time_barrier;
        const cp::Crossing c = cp::check_barrier_crossing(st, spread);
        py::object label = c.crossed ? py::object(py::int_(c.label)) : py::object(py::none());
        return py::make_tuple(c.crossed ? 0.0 : static_cast<double>(position), label,
                              c.crossed ? c.trade_return : 0.0);
      },
      py::arg("position"), py::arg("spread_at_entry"), py::arg("take_profit"),
      py::arg("stop_loss"), py::arg("time_barrier"), py::arg("spread"),
      "(position after the check, trade label or None, trade return) of an open trade.");
  m.def(
      "_walk",
      [](py::handle close_matrix, py::handle log_close_matrix, const py::dict& params,
         std::int64_t hedge_ratio_reestimation_interval, std::int64_t johansen_sampling_step,
         std::int64_t barrier_readjustment_interval, std::int64_t maximum_zscore_window,
         std::int64_t minimum_zscore_window, py::object on_entry, bool exact) {
        const cp::WalkParams p = walk_params_from_dict(
            params, hedge_ratio_reestimation_interval, johansen_sampling_step,
            barrier_readjustment_interval, maximum_zscore_window, minimum_zscore_window);
        const py::array closes = require_float64(close_matrix, "close_matrix", 2);
        const py::array logs = require_float64(log_close_matrix, "log_close_matrix", 2);
        const cp::Market market(view_2d(closes), view_2d(logs));
        const std::vector<cp::PairSpec> pairs = cp::all_pairs(market.securities());
        py::array_t<double> positions({static_cast<py::ssize_t>(market.rows()),
                                       static_cast<py::ssize_t>(market.securities())});
        double* out = positions.mutable_data();
        std::fill(out, out + market.rows() * market.securities(), 0.0);
        std::vector<cp::PairState> states;
        RecordingObserver observer(std::move(on_entry), pairs.size());
        cp::Workspace workspace;
        workspace.exact = exact;
        {
          py::gil_scoped_release nogil;
          cp::walk(market, pairs, p, states, out, market.securities(), observer, workspace);
        }
        py::list state_list;
        for (const cp::PairState& s : states) state_list.append(state_dict(s));
        py::dict result;
        result["positions"] = positions;
        result["trades"] = observer.trades();
        result["entries"] = observer.entries();
        result["states"] = state_list;
        return result;
      },
      py::arg("close_matrix"), py::arg("log_close_matrix"), py::arg("params"),
      py::arg("hedge_ratio_reestimation_interval"), py::arg("johansen_sampling_step"),
      py::arg("barrier_readjustment_interval"), py::arg("maximum_zscore_window"),
      py::arg("minimum_zscore_window") = 30, py::arg("on_entry") = py::none(), py::arg("exact") = false,
      "The rolling walk over every pair of the close matrix's securities. on_entry(end, pair, "
      "position, hedge_a, hedge_b, zscore), if given, returns whether the entry is allowed.");
}

}  // namespace velmora::bind::cointpairs
