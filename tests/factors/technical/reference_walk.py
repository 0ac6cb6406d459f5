"""A plain-Python rolling walk of the pairs-trading factor, the oracle for the native walk.

Written step by step from the factor's documented behaviour with numpy, statsmodels and
scikit-learn, per pair and per bar, the slow way: per-pair state in dicts keyed by the pair
tuple, a fresh window view and fresh log arrays at every bar, statsmodels' coint_johansen and
sklearn's LinearRegression at every re-estimation. Nothing here is shared with the native
code; the only settled deviations from a literal transcription are the project's decided
rules, marked "decided" below.

    walk = ReferenceWalk(data_matrix, column_names, securities, params, ...)
    result = walk.run()   # positions matrix, closed trades, entries, final per-pair state
"""

from __future__ import annotations

import warnings
from itertools import combinations

import numpy as np
from sklearn.linear_model import LinearRegression
from statsmodels.tsa.vector_ar.vecm import coint_johansen

# Below this many samples the test is degenerate (the largest canonical correlation is 1 in
# exact arithmetic) and statsmodels returns rounding noise: decided, such a window has no
# hedge ratios.
JOHANSEN_MINIMUM_SAMPLES = 6


def statsmodels_hedge_ratio(log_a, log_b, step):
    """(hedge_a, hedge_b, cointegrated) from statsmodels on the sampled log closes."""
    sample_a = log_a[::step][1:]
    sample_b = log_b[::step][1:]
    try:
        if len(sample_a) < JOHANSEN_MINIMUM_SAMPLES:
            raise ValueError("too few samples")
        with np.errstate(invalid="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = coint_johansen(endog=np.column_stack((sample_a, sample_b)), det_order=1,
                                    k_ar_diff=0)
        hedge_a = result.evec[:, 0][0]
        hedge_b = result.evec[:, 0][1]
        max_eig = float(result.max_eig_stat[0])
        max_eig_crit = float(result.max_eig_stat_crit_vals[0][0])
        trace = float(result.lr1[0])
        trace_crit = float(result.cvt[0][0])
        if not all(np.isfinite([hedge_a, hedge_b, max_eig, trace])):
            raise ValueError("non-finite statistics")
        cointegrated = (max_eig >= max_eig_crit) and (trace >= trace_crit)
    except Exception:
        return 0.0, 0.0, False
    return float(hedge_a), float(hedge_b), bool(cointegrated)


def sklearn_halflife(cointegrated, window_length, spread):
    if not cointegrated:
        return 0
    try:
        lag = spread[: window_length - 1]
        change = spread[1:] - lag
        model = LinearRegression()
        model.fit(lag.reshape(-1, 1), change)
        b = float(model.coef_[0])
        with np.errstate(divide="ignore", invalid="ignore"):
            return -int(np.log(2) / b)
    except Exception:
        return 0


class ReferenceWalk:
    """One factor's walk over `data_matrix` (bars x columns labelled by `column_names`).

    on_entry(bar, pair_index, position, hedge_a, hedge_b, zscore) -> allowed, when given,
    stands for the classifier's veto. `hedge_ratio` and `halflife` replace the library
    estimators (to isolate the rest of the walk from their rounding).
    """

    def __init__(self, data_matrix, column_names, securities, params, *,
                 hedge_ratio_reestimation_interval, johansen_sampling_step,
                 barrier_readjustment_interval, maximum_zscore_window, minimum_zscore_window=30,
                 on_entry=None, hedge_ratio=statsmodels_hedge_ratio, halflife=sklearn_halflife):
        self.data_matrix_array = data_matrix
        self.data_column_names_array = np.asarray(column_names, dtype=str)
        self.securities_names_list = list(securities)
        self.securities_index_dict = {s: i for i, s in enumerate(self.securities_names_list)}
        self.params = params
        self.hedge_ratio_reestimation_interval = hedge_ratio_reestimation_interval
        self.johansen_sampling_step = johansen_sampling_step
        self.barrier_readjustment_interval = barrier_readjustment_interval
        self.maximum_zscore_window = maximum_zscore_window
        self.minimum_zscore_window = minimum_zscore_window
        self.on_entry = on_entry
        self.hedge_ratio = hedge_ratio
        self.halflife = halflife
        self.trades = []
        self.entries = []

    # ------------------------------------------------------------------ per-pair state

    def initialise_state(self, w):
        self.pairs_list = list(combinations(self.securities_names_list, 2))
        p = self.pairs_list
        self.hedge_ratios_dict = {k: np.zeros(2, dtype=np.float64) for k in p}
        self.cointegration_flags_dict = {k: False for k in p}
        self.halflife_dict = {k: 0 for k in p}
        self.spread_dict = {k: np.zeros(w, dtype=np.float64) for k in p}
        self.spread_position_dict = {k: 0 for k in p}
        self.reestimation_countdown_dict = {k: 0 for k in p}
        self.take_profit_dict = {k: 0 for k in p}
        self.stop_loss_dict = {k: 0 for k in p}
        self.time_barrier_dict = {k: 0 for k in p}
        self.spread_at_entry_dict = {k: 0 for k in p}
        self.std_at_entry_dict = {k: 0 for k in p}
        self.barrier_countdown_dict = {k: 0 for k in p}
        self.open_trade_records = {k: {} for k in p}
        self.meta_label_veto = {k: False for k in p}

    # ------------------------------------------------------------------ spread model

    def log_close(self, security, close_column_index_dict, window):
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.log(window[:, close_column_index_dict[security + "_close"]])

    def pair_spread_model(self, pair, close_column_index_dict, window, window_length):
        flat = self.spread_position_dict[pair] == 0
        due = self.reestimation_countdown_dict[pair] <= 0
        first, second = pair
        if flat and due:
            log_a = self.log_close(first, close_column_index_dict, window)
            log_b = self.log_close(second, close_column_index_dict, window)
            hedge_a, hedge_b, cointegrated = self.hedge_ratio(log_a, log_b, self.johansen_sampling_step)
            self.cointegration_flags_dict[pair] = cointegrated
            spread = hedge_a * log_a + hedge_b * log_b
            halflife = self.halflife(cointegrated, window_length, spread)
            self.reestimation_countdown_dict[pair] = self.hedge_ratio_reestimation_interval
        else:
            self.reestimation_countdown_dict[pair] -= 1
            hedge_a, hedge_b = self.hedge_ratios_dict[pair]
            hedge_a, hedge_b = float(hedge_a), float(hedge_b)
            log_a = self.log_close(first, close_column_index_dict, window)
            log_b = self.log_close(second, close_column_index_dict, window)
            spread = hedge_a * log_a + hedge_b * log_b
            halflife = int(self.halflife_dict[pair])
        return (hedge_a, hedge_b), spread, halflife

    # ------------------------------------------------------------------ signal and state machine

    def zscore(self, pair, halflife, index, spread):
        current = spread[index - 1]
        window = int(self.params["zscore_halflife_multiplier"] * halflife)
        if self.minimum_zscore_window > window:
            window = self.minimum_zscore_window
        if halflife > 0 and window <= self.maximum_zscore_window and self.cointegration_flags_dict[pair]:
            # decided: a window longer than the spread takes the whole spread
            tail = spread[max(0, index - window):index]
            sd = np.std(tail)
            mean = np.mean(tail)
            z = (current - mean) / sd if sd > 0 else 0.0
            return float(z), float(current), float(sd), float(mean)
        return 0.0, float(current), 0.0, 0.0

    def spread_position(self, bar, pair, hedge_ratios, z, current, sd, halflife, index, spread):
        position = int(self.spread_position_dict[pair])
        if np.abs(z) > self.params["starting_sd_for_position_entry"] and position == 0:
            new_position = int(-np.sign(z))
            allowed = True
            if self.on_entry is not None:
                allowed = bool(self.on_entry(bar, self.pairs_list.index(pair), new_position,
                                             hedge_ratios[0], hedge_ratios[1], z))
            self.entries.append((bar, self.pairs_list.index(pair), new_position, allowed))
            if not allowed:
                self.meta_label_veto[pair] = True
            position = new_position
            self.spread_position_dict[pair] = position
            self.set_triple_barrier(pair, position, current, sd, halflife, spread)
            if not self.meta_label_veto[pair]:
                self.open_trade_records[pair] = {"time_of_entry": bar, "trade_securities": pair}
        elif position != 0:
            self.update_triple_barrier(pair, spread, halflife, position)
            position, label, returns = self.check_crossing(pair, current)
            position = int(position)
            self.spread_position_dict[pair] = position
            if position == 0:
                if self.meta_label_veto[pair]:
                    self.meta_label_veto[pair] = False
                else:
                    record = self.open_trade_records[pair]
                    self.trades.append({"pair": self.pairs_list.index(pair),
                                        "entry": record["time_of_entry"], "exit": bar,
                                        "trade_label": label, "trade_returns": returns})
        return 0 if self.meta_label_veto[pair] else position

    # ------------------------------------------------------------------ triple barrier

    def volatility_multiplier(self, spread, halflife):
        w = int(self.params["rolling_volatility_halflife_multiplier"] * halflife)
        if len(spread) - 30 < w:
            w = len(spread) - 30
        if 2 > w:
            w = 2
        s = np.std(np.lib.stride_tricks.sliding_window_view(spread, w), axis=1)
        m = np.mean(s)
        if m > 0:
            return 1 + s[len(s) - 1] / m
        return 1.0

    def set_triple_barrier(self, pair, position, current, sd, halflife, spread):
        p = self.params
        v = self.volatility_multiplier(spread, halflife)
        sign = np.sign(position)
        self.take_profit_dict[pair] = current + (
            (p["take_profit_std_multiplier"] * sd)
            * (p["take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry"] * v)) * sign
        self.stop_loss_dict[pair] = current - (
            (p["stop_loss_std_multiplier"] * sd)
            * (p["stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry"] * v)) * sign
        self.time_barrier_dict[pair] = float(p["time_stop_halflife_multiplier"] * halflife)
        self.spread_at_entry_dict[pair] = current
        self.std_at_entry_dict[pair] = sd

    def update_triple_barrier(self, pair, spread, halflife, position):
        p = self.params
        k = int(self.barrier_countdown_dict[pair])
        if k > 0:
            self.barrier_countdown_dict[pair] = k - 1
        else:
            d = self.spread_at_entry_dict[pair]
            s = self.std_at_entry_dict[pair]
            v = self.volatility_multiplier(spread, halflife)
            sign = np.sign(position)
            self.take_profit_dict[pair] = d + (
                (p["take_profit_std_multiplier"] * s)
                * (p["take_profit_current_volatility_multiplier_sensitivity_at_adjustment"] * v)) * sign
            self.stop_loss_dict[pair] = d - (
                (p["stop_loss_std_multiplier"] * s)
                * (p["stop_loss_current_volatility_multiplier_sensitivity_at_adjustment"] * v)) * sign
            self.barrier_countdown_dict[pair] = self.barrier_readjustment_interval
        self.time_barrier_dict[pair] = float(
            self.time_barrier_dict[pair] - 1 * p["time_stop_adjustment_sensitivity"])

    def check_crossing(self, pair, x):
        d = self.spread_at_entry_dict[pair]
        p = float(self.spread_position_dict[pair])
        tp, sl, t = self.take_profit_dict[pair], self.stop_loss_dict[pair], self.time_barrier_dict[pair]

        def relative(gain):
            # decided: relative to the size of the entry spread; no scale, no return
            return float(gain / abs(d)) if d != 0 else 0.0

        if p > 0:
            r = relative(x - d)
            if x >= tp:
                return 0.0, 1, r
            if x <= sl:
                return 0.0, 0, r
            if t <= 0:
                return 0.0, 1 if r > 0 else 0, r
        elif p < 0:
            r = relative(d - x)
            if x <= tp:
                return 0.0, 1, r
            if x >= sl:
                return 0.0, 0, r
            if t <= 0:
                return 0.0, 1 if r > 0 else 0, r
        return p, None, 0.0

    def convert(self, pair, position, hedge_ratios, close_column_index_dict, window, index, positions):
        first, second = pair
        h1, h2 = float(hedge_ratios[0]), float(hedge_ratios[1])
        c1 = close_column_index_dict[first + "_close"]
        c2 = close_column_index_dict[second + "_close"]
        if position != 0:
            row = index - 1
            positions[self.securities_index_dict[first]] += position * h1 * window[row, c2]
            positions[self.securities_index_dict[second]] += position * h2 * window[row, c1]
        return positions

    # ------------------------------------------------------------------ walk

    def one_bar(self, bar, window, w):
        close_column_index_dict = {label: i for i, label in enumerate(self.data_column_names_array)
                                   if "close" in label}
        positions = np.zeros(len(self.securities_names_list), dtype=np.float64)
        for pair in self.pairs_list:
            hedge_ratios, spread, halflife = self.pair_spread_model(pair, close_column_index_dict, window, w)
            self.hedge_ratios_dict[pair] = hedge_ratios
            self.spread_dict[pair] = spread
            self.halflife_dict[pair] = halflife
            hedge_ratios = tuple(self.hedge_ratios_dict[pair])
            spread = self.spread_dict[pair]
            halflife = int(self.halflife_dict[pair])
            z, current, sd, _mean = self.zscore(pair, halflife, w, spread)
            position = self.spread_position(bar, pair, hedge_ratios, z, current, sd, halflife, w, spread)
            positions = self.convert(pair, int(position), hedge_ratios, close_column_index_dict,
                                     window, w, positions)
        return positions

    def run(self):
        w = int(self.params["size_of_rolling_windows"])
        rows = self.data_matrix_array.shape[0]
        self.initialise_state(w)
        positions_matrix = np.zeros((rows, len(self.securities_names_list)), dtype=np.float64)
        for i in range(rows):
            if i >= w:
                window = self.data_matrix_array[i - w:i]
                positions_matrix[i] = self.one_bar(i, window, w)
        return {"positions": positions_matrix, "trades": self.trades, "entries": self.entries,
                "states": self.final_states()}

    def final_states(self):
        out = []
        for pair in self.pairs_list:
            h = self.hedge_ratios_dict[pair]
            out.append({
                "hedge_ratios": (float(h[0]), float(h[1])),
                "cointegrated": bool(self.cointegration_flags_dict[pair]),
                "halflife": int(self.halflife_dict[pair]),
                "spread_position": int(self.spread_position_dict[pair]),
                "reestimation_countdown": int(self.reestimation_countdown_dict[pair]),
                "take_profit": float(self.take_profit_dict[pair]),
                "stop_loss": float(self.stop_loss_dict[pair]),
                "time_barrier": float(self.time_barrier_dict[pair]),
                "spread_at_entry": float(self.spread_at_entry_dict[pair]),
                "std_at_entry": float(self.std_at_entry_dict[pair]),
                "barrier_countdown": int(self.barrier_countdown_dict[pair]),
                "meta_label_veto": bool(self.meta_label_veto[pair]),
            })
        return out
