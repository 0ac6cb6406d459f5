// The factor's rolling walk and its steps: the bridge between the native walk and the
// factor's host-visible state (per-pair dicts, trade records, the classifier at entries).

#include "factors/technical/factor_walk.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "factors/technical/walk_params.hpp"

namespace velmora::bind::cointpairs {

namespace py = pybind11;
namespace cp = velmora::core::pairs;

namespace {

py::module_ pandas() { return py::module_::import("pandas"); }

py::object zeros(py::ssize_t n) {
  py::module_ np = numpy();
  return np.attr("zeros")(n, py::arg("dtype") = np.attr("float64"));
}

// The id of a parameter set among those trades were recorded with; equal sets (200 and 200.0
// alike, in any key order) share one.
std::int64_t trade_context_of(Factor& f, const py::dict& params) {
  std::vector<std::string> items;
  for (auto item : params) {
    std::string text = py::repr(item.first).cast<std::string>() + "=";
    const double value = PyFloat_AsDouble(item.second.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
      PyErr_Clear();
      text += "repr " + py::repr(item.second).cast<std::string>();
    } else {
      std::uint64_t bits = 0;
      std::memcpy(&bits, &value, sizeof bits);
      text += std::to_string(bits);
    }
    items.push_back(std::move(text));
  }
  std::sort(items.begin(), items.end());
  std::string key;
  for (const std::string& item : items) key += item + "\n";
  const auto next = static_cast<std::int64_t>(f.trade_contexts.size());
  return f.trade_contexts.emplace(std::move(key), next).first->second;
}

// Sees the walk's entries and closes. Trades are kept natively while walking and become host
// records once, in flush(), after the walk: the host is called during the walk only where a
// decision needs it (features for the classifier or for requested training data, and the
// classifier's verdict on an entry it has not judged under this model and these parameters).
// Entries and closes arrive in bar-major, pair-minor order.
class FactorObserver final : public cp::WalkObserver {
 public:
  FactorObserver(Factor& f, py::list pairs, py::object data, py::object datetimes, std::int64_t w,
                 std::int64_t trade_context, py::dict held_entries = py::dict())
      : f_(f), pairs_(std::move(pairs)), data_(std::move(data)), datetimes_(std::move(datetimes)),
        n_datetimes_(static_cast<std::int64_t>(py::len(datetimes_))), live_time_(f.current_time), w_(w),
        trade_context_(trade_context), skip_recorded_(f.skip_recorded_trades), ready_(truth(f.vodED_ready)),
        held_entries_(std::move(held_entries)), poller_(true) {
    features_wanted_ = f_.vodED_features_requested || ready_;
    f_.open_trade_entry_ends.resize(py::len(pairs_), -1);
    last_entry_.assign(py::len(pairs_), -1);
    if (ready_ && f_.verdicts_model_generation != f_.vodED_model_generation) {
      f_.verdicts.clear();
      f_.verdicts_model_generation = f_.vodED_model_generation;
    }
    f_.walk_first_close_end = -1;
  }

  bool on_entry(const cp::EntryEvent& e) override {
    last_event_end_ = e.end;
    Entry entry{e.pair, e.end, e.hedge_a, e.hedge_b, -1, false};
    bool vetoed = false;
    const JudgedEntry judged{trade_context_, static_cast<std::int64_t>(e.pair), e.end, bits(e.hedge_a),
                             bits(e.hedge_b)};
    const auto known = ready_ ? f_.verdicts.find(judged) : f_.verdicts.end();
    if (ready_ && known != f_.verdicts.end()) {
      // Judged before: the same verdict, without asking (nor printing) again. Its features are
      // computed only if its record is kept.
      vetoed = !known->second;
      entry.features_pending = true;
    } else if (features_wanted_) {
      py::gil_scoped_acquire gil;
      f_.current_time = time_at(e.end);
      py::object pair = pairs_[static_cast<std::size_t>(e.pair)];
      py::object features = features_of(entry);
      if (ready_) {
        py::object row = pandas().attr("DataFrame").attr("from_dict")(features, py::arg("orient") = "index").attr("T");
        const bool prediction = truth(f_.vodED_tradegate.attr("predict")(row));
        py::module_::import("builtins").attr("print")(
            "CURRENT TIME: " + py::str(f_.current_time).cast<std::string>() + " | PAIR: " +
            py::str(pair).cast<std::string>() + " | PREDICTION: " + (prediction ? "True" : "False"));
        vetoed = !prediction;
        f_.verdicts[judged] = prediction;
      }
      if (!vetoed) {
        entry.feature_slot = static_cast<std::ptrdiff_t>(features_.size());
        features_.push_back(std::move(features));
      }
    }
    if (!vetoed) {
      last_entry_[static_cast<std::size_t>(e.pair)] = static_cast<std::ptrdiff_t>(entries_.size());
      entries_.push_back(entry);
    }
    f_.open_trade_entry_ends[static_cast<std::size_t>(e.pair)] = vetoed ? -1 : e.end;
    return !vetoed;
  }

  void on_close(const cp::CloseEvent& e) override {
    last_event_end_ = e.end;
    if (f_.walk_first_close_end < 0) f_.walk_first_close_end = e.end;
    const auto k = static_cast<std::size_t>(e.pair);
    closes_.push_back({e.pair, f_.open_trade_entry_ends[k], e.end, e.label, e.trade_return, last_entry_[k]});
    f_.open_trade_entry_ends[k] = -1;
  }

  void poll() override { poller_.poll(); }

  // The walk's trades as host records: each closed trade stored under trade_counter (unless
  // predict's catch-up finds it held already), and each pair's latest record in
  // open_trade_records, as the walk would have left them record by record. Needs the GIL.
  void flush() {
    std::vector<py::object> records(entries_.size());
    auto record_of = [&](std::ptrdiff_t index) -> py::object& {
      py::object& record = records[static_cast<std::size_t>(index)];
      if (record) return record;
      const Entry& entry = entries_[static_cast<std::size_t>(index)];
      py::object pair = pairs_[static_cast<std::size_t>(entry.pair)];
      py::dict fresh = py::reinterpret_steal<py::dict>(PyDict_Copy(f_.trade_record_template.ptr()));
      if (!fresh) throw py::error_already_set();
      fresh["time_of_entry"] = entry_time(pair, entry.end);
      fresh["trade_securities"] = pair;
      fresh["features"] = entry.feature_slot >= 0 ? features_[static_cast<std::size_t>(entry.feature_slot)]
                                                  : entry.features_pending ? features_of(entry) : py::none();
      record = std::move(fresh);
      return record;
    };
    for (const Close& c : closes_) {
      RecordedTrade trade{trade_context_, static_cast<std::int64_t>(c.pair), c.entry_end, c.end, c.label, 0};
      std::memcpy(&trade.return_bits, &c.trade_return, sizeof trade.return_bits);
      const bool store = !(skip_recorded_ && holds(trade));
      const bool latest = c.entry_index >= 0 && last_entry_[static_cast<std::size_t>(c.pair)] == c.entry_index;
      py::object record;
      if (c.entry_index < 0) {
        // Entered before this walk or step: its record is the pair's open one.
        record = f_.open_trade_records[pairs_[static_cast<std::size_t>(c.pair)]];
      } else if (store || latest) {
        record = record_of(c.entry_index);
      } else {
        continue;  // held already and replaced by a later entry: nothing of it is visible
      }
      record["time_of_exit"] = time_at(c.end);
      record["trade_label"] = py::int_(c.label);
      record["trade_returns"] = py::float_(c.trade_return);
      if (!store) continue;
      py::object stored = py::reinterpret_steal<py::object>(PyDict_Copy(record.ptr()));
      if (!stored) throw py::error_already_set();
      f_.trade_store[py::int_(f_.trade_counter)] = stored;
      f_.recorded_trades[trade] = f_.trade_counter;
      ++f_.trade_counter;
    }
    for (std::size_t k = 0; k < last_entry_.size(); ++k) {
      if (last_entry_[k] >= 0) f_.open_trade_records[pairs_[k]] = record_of(last_entry_[k]);
    }
    if (last_event_end_ >= 0) f_.current_time = time_at(last_event_end_);
    entries_.clear();
    closes_.clear();
    features_.clear();
    last_entry_.assign(last_entry_.size(), -1);
    last_event_end_ = -1;
  }

  // After a walk ended on an error: what it closed before is stored all the same. An error of
  // the flush itself gives way to the walk's own.
  void flush_after_error() {
    try {
      flush();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }

 private:
  struct Entry {
    std::ptrdiff_t pair;
    std::int64_t end;
    double hedge_a, hedge_b;
    std::ptrdiff_t feature_slot;  // into features_, or -1
    bool features_pending;        // wanted, but deferred until a record needs them
  };
  struct Close {
    std::ptrdiff_t pair;
    std::int64_t entry_end;
    std::int64_t end;
    int label;
    double trade_return;
    std::ptrdiff_t entry_index;  // into entries_, or -1 for a trade entered before this walk
  };

  static std::uint64_t bits(double v) {
    std::uint64_t b = 0;
    std::memcpy(&b, &v, sizeof b);
    return b;
  }

  py::object features_of(const Entry& entry) {
    // The window the decision was taken on: the bars before the current one.
    py::object window = data_[py::slice(entry.end - w_, entry.end, 1)];
    return f_.vodED_signalsmith.attr("generate_features_for_pair_spreads")(
        py::arg("pair_of_security") = pairs_[static_cast<std::size_t>(entry.pair)],
        py::arg("pair_hedge_ratios") = py::make_tuple(entry.hedge_a, entry.hedge_b),
        py::arg("data_column_names_array") = f_.data_column_names_array,
        py::arg("rolling_window_matrix_array") = numpy().attr("asarray")(window));
  }

  // The time of the bar being decided. A window that ends at the last row has no bar of
  // its own in the data (a live step on the latest bars): the caller's current_time stands,
  // also after earlier windows of the same catch-up stamped their own bars.
  py::object time_at(std::int64_t end) const {
    return end < n_datetimes_ ? py::object(datetimes_[py::int_(end)]) : live_time_;
  }

  // A trade a rerun finds open again keeps the time it was entered at.
  py::object entry_time(py::handle pair, std::int64_t end) const {
    if (held_entries_.contains(pair)) {
      py::tuple held = held_entries_[pair];
      if (held[0].cast<std::int64_t>() == end) return held[1];
    }
    return time_at(end);
  }

  // Whether trade_store still holds this trade under the number it was stored with (the caller
  // may have emptied or edited the store meanwhile).
  bool holds(const RecordedTrade& trade) const {
    const auto at = f_.recorded_trades.find(trade);
    if (at == f_.recorded_trades.end() || !PyDict_Check(f_.trade_store.ptr())) return false;
    const int held = PyDict_Contains(f_.trade_store.ptr(), py::int_(at->second).ptr());
    if (held < 0) throw py::error_already_set();
    return held == 1;
  }

  Factor& f_;
  py::list pairs_;
  py::object data_;
  py::object datetimes_;
  std::int64_t n_datetimes_;
  py::object live_time_;
  std::int64_t w_;
  std::int64_t trade_context_;
  bool skip_recorded_;
  bool ready_;
  bool features_wanted_ = false;
  // pair -> (entry window end, time_of_entry) of trades a rerun finds open again.
  py::dict held_entries_;
  InterruptPoller poller_;
  std::vector<Entry> entries_;
  std::vector<Close> closes_;
  std::vector<py::object> features_;
  std::vector<std::ptrdiff_t> last_entry_;  // per pair, into entries_, or -1
  std::int64_t last_event_end_ = -1;
};

// Runs a walk or step without the GIL, then hands its trades to the host: also when it ends
// on an error (Ctrl-C included), which is rethrown as it came once the trades closed before
// it are stored.
template <class Walk>
void observed_walk(FactorObserver& observer, Walk&& walk) {
  try {
    py::gil_scoped_release nogil;
    walk();
  } catch (...) {
    observer.flush_after_error();
    throw;
  }
  observer.flush();
}

std::ptrdiff_t position_entry(const Factor& f, py::handle name) {
  return f.securities_index_dict[name].cast<std::ptrdiff_t>();
}

// The per-pair host dicts (all but the open trade records), filled pair by pair and then
// installed on the factor together.
struct PairDicts {
  py::dict hedge, flags, halflife, spread, position, countdown, take_profit, stop_loss, time_barrier,
      spread_at_entry, std_at_entry, barrier_countdown, veto;

  void install(Factor& f) const {
    f.hedge_ratios_dict = hedge;
    f.cointegration_flags_dict = flags;
    f.halflife_dict = halflife;
    f.spread_dict = spread;
    f.spread_position_dict = position;
    f.reestimation_countdown_dict = countdown;
    f.take_profit_dict = take_profit;
    f.stop_loss_dict = stop_loss;
    f.time_barrier_dict = time_barrier;
    f.spread_at_entry_dict = spread_at_entry;
    f.std_at_entry_dict = std_at_entry;
    f.barrier_countdown_dict = barrier_countdown;
    f.meta_label_veto = veto;
  }
};

// The per-pair dicts of the host from the native states after a walk that ended at `end`.
void publish_pair_state(Factor& f, const cp::Market& market, std::int64_t end, std::int64_t w) {
  PairDicts d;
  auto& [hedge, flags, halflife, spread, position, countdown, take_profit, stop_loss, time_barrier,
         spread_at_entry, std_at_entry, barrier_countdown, veto] = d;
  py::list pairs = f.pairs_list;
  for (std::size_t k = 0; k < f.pair_states.size(); ++k) {
    const cp::PairState& s = f.pair_states[k];
    py::object pair = pairs[k];
    hedge[pair] = py::make_tuple(s.hedge_a, s.hedge_b);
    flags[pair] = py::bool_(s.cointegrated);
    halflife[pair] = py::int_(s.halflife);
    py::array_t<double> values(static_cast<py::ssize_t>(w));
    cp::window_spread(market, f.pair_specs[k], s, end, w, values.mutable_data());
    spread[pair] = values;
    position[pair] = py::int_(s.position);
    countdown[pair] = py::int_(s.reestimation_countdown);
    take_profit[pair] = py::float_(s.take_profit);
    stop_loss[pair] = py::float_(s.stop_loss);
    time_barrier[pair] = py::float_(s.time_barrier);
    spread_at_entry[pair] = py::float_(s.spread_at_entry);
    std_at_entry[pair] = py::float_(s.std_at_entry);
    barrier_countdown[pair] = py::int_(s.barrier_countdown);
    veto[pair] = py::bool_(s.vetoed);
  }
  d.install(f);
}

// Marks the factor as walking for the guard's lifetime. A second walk of the same factor,
// started from one of its callbacks, is refused outright.
class WalkingGuard {
 public:
  explicit WalkingGuard(Factor& f) : f_(f) {
    if (f_.walking) throw std::runtime_error("a walk of this factor is already running");
    f_.walking = true;
  }
  ~WalkingGuard() { f_.walking = false; }
  WalkingGuard(const WalkingGuard&) = delete;
  WalkingGuard& operator=(const WalkingGuard&) = delete;

 private:
  Factor& f_;
};

cp::WalkParams walk_params_of(const Factor& f, const py::dict& params) {
  return walk_params_from_dict(params, f.hedge_ratio_reestimation_interval, f.johansen_sampling_step,
                               f.barrier_readjustment_interval, f.maximum_zscore_window, f.minimum_zscore_window);
}

// The closes of rows [0, rows) and their logs, as the walk reads them.
cp::Market market_of_rows(const Factor& f, std::int64_t rows) {
  py::array closes = require_float64(f.close_matrix_array, "close_matrix_array", 2);
  if (closes.shape(0) < rows || closes.shape(1) != static_cast<py::ssize_t>(f.number_of_securities)) {
    throw py::value_error("the factor's arrays hold fewer bars than number_of_rows");
  }
  closes = closes[py::slice(0, rows, 1)];
  py::array logs;
  {
    NumpyErrstate quiet;  // a zero close is -inf and a negative one NaN, as the spread model expects
    logs = numpy().attr("log")(closes);
  }
  const View2D cv = view_2d(closes), lv = view_2d(logs);
  return cp::Market(cv, lv);
}

// What a walk or step is made with besides the data: the parameters (a copy) and the
// meta-label model, taken before it starts, recorded on the factor once it has finished.
struct WalkIdentity {
  py::object params;
  std::int64_t model_generation;
  bool vetoed;

  void record(Factor& f) const {
    f.walk_state_params = params;
    f.walk_state_model_generation = model_generation;
    f.walk_state_vetoed = vetoed;
  }
};

WalkIdentity walk_identity(const Factor& f, const py::dict& params) {
  return {py::module_::import("copy").attr("copy")(params), f.vodED_model_generation, truth(f.vodED_ready)};
}

}  // namespace


Factor& factor_of(py::handle self) { return self.cast<Factor&>(); }

void initialize_pair_state(Factor& f, std::int64_t w) {
  py::list names = py::list(f.securities_names_list);
  const std::size_t S = names.size();
  py::list pairs;
  std::vector<cp::PairSpec> specs;
  for (std::size_t a = 0; a < S; ++a) {
    for (std::size_t b = a + 1; b < S; ++b) {
      pairs.append(py::make_tuple(names[a], names[b]));
      // Columns come from the mapping fixed when the arrays were built, not from the list's
      // current order, so a caller reordering its list cannot pair prices with wrong names.
      const std::ptrdiff_t first = position_entry(f, names[a]), second = position_entry(f, names[b]);
      specs.push_back({first, second, first, second});
    }
  }
  PairDicts d;
  auto& [hedge, flags, halflife, spread, position, countdown, take_profit, stop_loss, time_barrier,
         spread_at_entry, std_at_entry, barrier_countdown, veto] = d;
  py::dict records;
  py::int_ zero(0);
  for (py::handle pair : pairs) {
    hedge[pair] = zeros(2);
    flags[pair] = py::bool_(false);
    halflife[pair] = zero;
    spread[pair] = zeros(static_cast<py::ssize_t>(std::max<std::int64_t>(w, 0)));
    position[pair] = zero;
    countdown[pair] = zero;
    take_profit[pair] = zero;
    stop_loss[pair] = zero;
    time_barrier[pair] = zero;
    spread_at_entry[pair] = zero;
    std_at_entry[pair] = zero;
    barrier_countdown[pair] = zero;
    py::object record = py::reinterpret_steal<py::object>(PyDict_Copy(f.trade_record_template.ptr()));
    if (!record) throw py::error_already_set();
    records[pair] = record;
    veto[pair] = py::bool_(false);
  }
  f.pairs_list = pairs;
  f.pair_specs = std::move(specs);
  f.pair_states.assign(f.pair_specs.size(), cp::PairState{});
  d.install(f);
  f.open_trade_records = records;
  f.open_trade_entry_ends.assign(f.pair_specs.size(), -1);
  // Fresh state was walked with no parameters: until a run completes and records its own,
  // predict must not step on from it (a walk cut short by an error or Ctrl-C leaves it so).
  f.walk_state_params = py::none();
  f.walk_state_model_generation = -1;
  f.walk_state_end = -1;
}

// The trades open in the walk state, by pair, as (entry window end, time_of_entry), when that
// state was walked with the parameters of `context`. predict's rerun walks them again: the
// entry it then opens at the same window end is the trade already open, and keeps the time it
// was entered at (a step stamps the latest bar, a full walk the bar after the window).
py::dict open_entries_walked_with(Factor& f, std::int64_t context) {
  py::dict held;
  if (f.walk_state_params.is_none() || !PyDict_Check(f.walk_state_params.ptr()) || f.pairs_list.is_none() ||
      f.open_trade_records.is_none() ||
      trade_context_of(f, py::reinterpret_borrow<py::dict>(f.walk_state_params)) != context) {
    return held;
  }
  py::list pairs = f.pairs_list;
  const std::size_t n = std::min(f.open_trade_entry_ends.size(), py::len(pairs));
  for (std::size_t k = 0; k < n; ++k) {
    if (f.open_trade_entry_ends[k] < 0) continue;
    py::object record = f.open_trade_records[pairs[k]];
    held[pairs[k]] = py::make_tuple(f.open_trade_entry_ends[k], record["time_of_entry"]);
  }
  return held;
}

py::object walk_positions(Factor& f, const py::dict& params) {
  WalkingGuard walking(f);
  py::module_ np = numpy();
  const cp::WalkParams p = walk_params_of(f, params);
  const WalkIdentity identity = walk_identity(f, params);
  const std::int64_t w = p.size_of_rolling_windows;
  const std::int64_t rows = f.number_of_rows;
  const auto S = static_cast<py::ssize_t>(f.number_of_securities);
  const std::int64_t context = trade_context_of(f, params);
  py::dict held_entries = f.skip_recorded_trades ? open_entries_walked_with(f, context) : py::dict();
  initialize_pair_state(f, w);

  // The arrays the walk's callbacks read stay referenced here for its whole duration.
  py::object data = f.data_matrix_array;
  py::object datetimes = f.datetime_array;
  if (py::len(datetimes) < static_cast<std::size_t>(rows)) {
    throw py::value_error("the factor's arrays hold fewer bars than number_of_rows");
  }
  const cp::Market market = market_of_rows(f, rows);

  // A fresh matrix of the current row count: bars appended since the last walk get rows too.
  py::array_t<double> positions(std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows), S});
  std::fill(positions.mutable_data(), positions.mutable_data() + rows * S, 0.0);
  f.positions_matrix_array = positions;

  // The loop works on its own copies of the pairs and states: a host callback that touches
  // the factor cannot pull them from under it.
  const std::vector<cp::PairSpec> specs = f.pair_specs;
  std::vector<cp::PairState> states;
  FactorObserver observer(f, f.pairs_list, data, datetimes, w, context, held_entries);
  double* out = positions.mutable_data();
  observed_walk(observer, [&] { cp::walk(market, specs, p, states, out, S, observer); });
  f.pair_specs = specs;
  f.pair_states = std::move(states);
  if (rows > 0) {
    f.current_time = datetimes[py::int_(rows - 1)];
    f.positions_array = np.attr("array")(positions[py::int_(rows - 1)]);
  }
  if (rows > w) publish_pair_state(f, market, rows - 1, w);
  f.walk_state_end = rows - 1;
  identity.record(f);
  return positions;
}

py::object step_positions(Factor& f, const py::dict& params, std::int64_t first_end, std::int64_t last_end) {
  WalkingGuard walking(f);
  const cp::WalkParams p = walk_params_of(f, params);
  const std::int64_t w = p.size_of_rolling_windows;
  const auto S = static_cast<py::ssize_t>(f.number_of_securities);
  if (f.pairs_list.is_none() || f.pair_states.size() != f.pair_specs.size()) initialize_pair_state(f, w);
  if (w < 2 || first_end < w || first_end > last_end || last_end > f.number_of_rows) {
    throw py::value_error("windows of " + std::to_string(w) + " rows cannot end at rows " + std::to_string(first_end) +
                          " to " + std::to_string(last_end) + " of " + std::to_string(f.number_of_rows));
  }
  const WalkIdentity identity = walk_identity(f, params);
  const cp::Market market = market_of_rows(f, last_end);
  const std::vector<cp::PairSpec> specs = f.pair_specs;
  for (const cp::PairSpec& spec : specs) {
    // The step reads and writes by these indices without checks.
    if (spec.first >= S || spec.second >= S || spec.first_position >= S || spec.second_position >= S) {
      throw std::runtime_error("the factor's pair state does not match its arrays; rerun the backtest");
    }
  }
  std::vector<cp::PairState> states = f.pair_states;
  py::array_t<double> positions(S);
  FactorObserver observer(f, f.pairs_list, f.data_matrix_array, f.datetime_array, w, trade_context_of(f, params));
  double* out = positions.mutable_data();
  observed_walk(observer, [&] {
    cp::Workspace workspace;
    cp::step_through(market, specs, p, first_end, last_end, states, out, S, observer, workspace);
  });
  f.pair_states = std::move(states);
  f.positions_array = positions;
  publish_pair_state(f, market, last_end, w);
  f.walk_state_end = last_end;
  identity.record(f);
  return positions;
}

py::object one_bar_positions(Factor& f, const py::dict& params, std::int64_t end) {
  return step_positions(f, params, end, end);
}

py::tuple train_test_split(Factor& f, double ratio, std::int64_t end, std::int64_t start) {
  const std::int64_t split = cp::split_row(start, end, ratio);
  py::object dt = f.datetime_array, pos = f.positions_matrix_array, close = f.close_matrix_array;
  py::slice train(start, split, 1), test(split, end, 1);
  py::module_ np = numpy();
  return py::make_tuple(dt[train], np.attr("asarray")(pos[train]), np.attr("asarray")(close[train]), dt[test],
                        np.attr("asarray")(pos[test]), np.attr("asarray")(close[test]));
}

}  // namespace velmora::bind::cointpairs
