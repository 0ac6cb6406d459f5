import copy
import multiprocessing
import pickle
from collections import namedtuple

import numpy as np
import pytest
from talib import abstract

import velmora.vodED.signalsmith as signalsmith_module
from velmora.vodED.signalsmith import Signalsmith
from support.frames import make_ohlcv_frame
from support.market_data import CRYPTO_1H, CRYPTO_PAIRS, load_ohlcv

FEATURE_KEYS = [
    'float64_bop_spread', 'float64_bop_all_others', 'float64_adx_spread_short',
    'float64_adx_spread_medium', 'float64_adx_all_others_short', 'float64_adx_all_others_medium',
    'float64_adxr_spread_short', 'float64_adxr_all_others_short', 'float64_aroonosc_spread_short',
    'float64_aroonosc_spread_medium', 'float64_aroonosc_spread_long', 'float64_aroonosc_all_others_short',
    'float64_aroonosc_all_others_medium', 'float64_aroonosc_all_others_long', 'float64_cci_spread_short',
    'float64_cci_spread_medium', 'float64_cci_spread_long', 'float64_cci_all_others_short',
    'float64_cci_all_others_medium', 'float64_cci_all_others_long', 'float64_cmo_spread_short',
    'float64_cmo_spread_medium', 'float64_cmo_spread_long', 'float64_cmo_all_others_short',
    'float64_cmo_all_others_medium', 'float64_cmo_all_others_long', 'float64_dx_spread_short',
    'float64_dx_spread_medium', 'float64_dx_spread_long', 'float64_dx_all_others_short',
    'float64_dx_all_others_medium', 'float64_dx_all_others_long', 'float64_mfi_spread_short',
    'float64_mfi_spread_medium', 'float64_mfi_spread_long', 'float64_mfi_all_others_short',
    'float64_mfi_all_others_medium', 'float64_mfi_all_others_long', 'float64_minus_di_spread_short',
    'float64_minus_di_spread_medium', 'float64_minus_di_spread_long', 'float64_minus_di_all_others_short',
    'float64_minus_di_all_others_medium', 'float64_minus_di_all_others_long', 'float64_mom_spread_short',
    'float64_mom_spread_medium', 'float64_mom_spread_long', 'float64_mom_all_others_short',
    'float64_mom_all_others_medium', 'float64_mom_all_others_long', 'float64_plus_di_spread_short',
    'float64_plus_di_spread_medium', 'float64_plus_di_spread_long', 'float64_plus_di_all_others_short',
    'float64_plus_di_all_others_medium', 'float64_plus_di_all_others_long', 'float64_plus_dm_spread_short',
    'float64_plus_dm_spread_medium', 'float64_plus_dm_spread_long', 'float64_plus_dm_all_others_short',
    'float64_plus_dm_all_others_medium', 'float64_plus_dm_all_others_long', 'float64_roc_spread_short',
    'float64_roc_spread_medium', 'float64_roc_spread_long', 'float64_roc_all_others_short',
    'float64_roc_all_others_medium', 'float64_roc_all_others_long', 'float64_rocp_spread_short',
    'float64_rocp_spread_medium', 'float64_rocp_spread_long', 'float64_rocp_all_others_short',
    'float64_rocp_all_others_medium', 'float64_rocp_all_others_long', 'float64_rocr_spread_short',
    'float64_rocr_spread_medium', 'float64_rocr_spread_long', 'float64_rocr_all_others_short',
    'float64_rocr_all_others_medium', 'float64_rocr_all_others_long', 'float64_rsi_spread_short',
    'float64_rsi_spread_medium', 'float64_rsi_spread_long', 'float64_rsi_all_others_short',
    'float64_rsi_all_others_medium', 'float64_rsi_all_others_long', 'float64_trix_spread_short',
    'float64_trix_all_others_short', 'float64_willr_spread_short', 'float64_willr_spread_medium',
    'float64_willr_all_others_short', 'float64_willr_all_others_medium', 'float64_apo_spread_medium_short',
    'float64_apo_spread_long_short', 'float64_apo_all_others_medium_short', 'float64_apo_all_others_long_short',
    'float64_ppo_spread_medium_short', 'float64_ppo_spread_long_short', 'float64_ppo_all_others_medium_short',
    'float64_ppo_all_others_long_short', 'float64_ultosc_spread', 'float64_ultosc_all_others',
    'float64_ad_spread', 'float64_ad_all_others', 'float64_adosc_spread',
    'float64_adosc_all_others', 'float64_obv_spread', 'float64_obv_all_others',
    'float64_trange_spread', 'float64_trange_all_others', 'float64_atr_spread_short',
    'float64_atr_spread_medium', 'float64_atr_spread_long', 'float64_atr_all_others_short',
    'float64_atr_all_others_medium', 'float64_atr_all_others_long', 'float64_natr_spread_short',
    'float64_natr_spread_medium', 'float64_natr_spread_long', 'float64_natr_all_others_short',
    'float64_natr_all_others_medium', 'float64_natr_all_others_long', 'float64_ht_dcperiod_spread',
    'float64_ht_dcperiod_all_others', 'float64_ht_dcphase_spread', 'float64_ht_dcphase_all_others',

]

FIELDS = ("open", "high", "low", "close", "volume")


def window_of(frame):
    return np.array(frame.columns, dtype=str), frame.to_numpy(dtype=np.float64)


def spread_bars(pair, hedges, labels, window):
    return getattr(Signalsmith(), "__engineer_spread_OHCLV")(pair, hedges, labels, window)


def all_others_bars(securities, labels, window):
    return getattr(Signalsmith(), "__engineer_all_other_OHCLV")(securities, labels, window)


def pca_weights(cov):
    return getattr(Signalsmith(), "__get_pca_weights")(np.asarray(cov, dtype=np.float64))


def expected_call(key, n):
    """(TA-Lib function, bars, parameters) that a key stands for, read off the key itself."""
    short, medium, long_ = int(n * 0.2), int(n * 0.5), int(n * 0.8)
    period = {"short": short, "medium": medium, "long": long_}
    body = key[len("float64_"):]
    bars = "all_others" if "_all_others" in body else "spread"
    name, _, suffix = body.partition("_" + bars)
    suffix = suffix.lstrip("_")
    function = name.upper()
    if function in ("APO", "PPO"):
        fast = suffix.split("_")[0]
        return function, bars, {"fastperiod": period[fast], "slowperiod": short, "matype": 0}
    if function == "ULTOSC":
        return function, bars, {"timeperiod1": short, "timeperiod2": medium, "timeperiod3": long_}
    if function == "ADOSC":
        return function, bars, {"fastperiod": 3, "slowperiod": 10}
    if suffix:
        return function, bars, {"timeperiod": period[suffix]}
    return function, bars, {}


@pytest.fixture(scope="module")
def crypto_frame():
    frame = load_ohlcv(CRYPTO_1H, CRYPTO_PAIRS[:6], start="2022-03-01", end="2022-04-30")
    return frame.dropna()


# ---------------------------------------------------------------- the feature dictionary


@pytest.mark.parametrize("rows, start, pair, hedges", [
    (31, 0, ("BTCUSDT", "ETHUSDT"), (1.0, -1.3)),
    (64, 200, ("SOLUSDT", "BNBUSDT"), (0.7, -0.4)),
    (100, 900, ("ETHUSDT", "ADAUSDT"), (-1.1, 2.0)),
])
def test_every_feature_is_the_talib_value_at_the_last_bar(crypto_frame, rows, start, pair, hedges):
    labels, full = window_of(crypto_frame)
    window = full[start:start + rows]
    features = Signalsmith().generate_features_for_pair_spreads(pair, hedges, labels, window)
    assert list(features) == FEATURE_KEYS
    assert all(type(v) is np.float64 for v in features.values())

    others = [s for s in CRYPTO_PAIRS[:6] if s not in pair]
    bars = {"spread": spread_bars(pair, hedges, labels, window),
            "all_others": all_others_bars(others, labels, window)}
    inputs = {name: dict(zip(FIELDS, b)) for name, b in bars.items()}
    for key, value in features.items():
        function, which, params = expected_call(key, rows)
        direct = getattr(abstract, function)(inputs[which], **params)[rows - 1]
        np.testing.assert_array_equal(value, direct, err_msg=key)
    # the cycle indicators need 32 and 63 earlier bars
    assert np.isnan(features["float64_ht_dcperiod_spread"]) == (rows < 33)
    assert np.isnan(features["float64_ht_dcphase_all_others"]) == (rows < 64)


def test_calls_are_stateless_and_keywords_equal_positions(crypto_frame):
    labels, full = window_of(crypto_frame)
    a, b = full[:50], full[300:380]
    smith = Signalsmith()
    first = smith.generate_features_for_pair_spreads(("BTCUSDT", "XRPUSDT"), (1.0, -0.5), labels, a)
    smith.generate_features_for_pair_spreads(("SOLUSDT", "ADAUSDT"), (2.0, -0.1), labels, b)
    again = Signalsmith("any", 1, thing=2).generate_features_for_pair_spreads(
        rolling_window_matrix_array=a, data_column_names_array=labels,
        pair_hedge_ratios=(1.0, -0.5), pair_of_security=("BTCUSDT", "XRPUSDT"))
    np.testing.assert_array_equal(list(first.values()), list(again.values()))


class RecordingFunction:
    """Stands in for one TA-Lib function: records its calls and returns 1, 2, 3, ... (float)."""

    def __init__(self, name, calls):
        self.name, self.calls = name, calls

    def __call__(self, inputs, *args, **params):
        assert not args
        self.calls.append((self.name, inputs, params))
        return np.arange(1.0, len(inputs["close"]) + 1) * (1 + len(self.calls))


@pytest.fixture
def recorded_calls(monkeypatch):
    calls = []
    for name in {expected_call(k, 100)[0] for k in FEATURE_KEYS}:
        monkeypatch.setattr(signalsmith_module, name, RecordingFunction(name, calls))
    return calls


@pytest.mark.parametrize("rows, periods", [(10, (2, 5, 8)), (31, (6, 15, 24)), (100, (20, 50, 80))])
def test_each_key_is_one_call_with_its_bars_and_parameters(recorded_calls, rows, periods):
    frame = make_ohlcv_frame(n_bars=rows, names=["P", "Q", "R", "S"], n_cointegrated=2, n_independent=2, seed=3)
    labels, window = window_of(frame)
    features = Signalsmith().generate_features_for_pair_spreads(("P", "Q"), (1.0, -1.0), labels, window)
    assert list(features) == FEATURE_KEYS
    assert len(recorded_calls) == len(FEATURE_KEYS)
    spread = spread_bars(("P", "Q"), (1.0, -1.0), labels, window)
    composite = all_others_bars(["R", "S"], labels, window)
    for i, (key, (function, inputs, params)) in enumerate(zip(FEATURE_KEYS, recorded_calls)):
        exp_function, which, exp_params = expected_call(key, rows)
        assert (function, params) == (exp_function, exp_params), key
        assert all(type(p) is int for p in params.values()), key
        assert list(inputs) == list(FIELDS)
        bars = spread if which == "spread" else composite
        for field, series in zip(FIELDS, bars):
            np.testing.assert_array_equal(inputs[field], series, err_msg=key)
        assert features[key] == rows * (i + 2)  # element n - 1 of the returned array
    short, medium, long_ = periods
    apo_ppo = [(f, p["fastperiod"], p["slowperiod"], p["matype"]) for f, _, p in recorded_calls if f in ("APO", "PPO")]
    # spread medium, spread long, all-others medium, all-others long
    assert apo_ppo == [(f, fast, short, 0) for f in ("APO", "PPO") for fast in (medium, long_, medium, long_)]


def test_window_of_the_wrong_kind_is_refused_before_any_indicator(recorded_calls):
    labels, window = window_of(make_ohlcv_frame(n_bars=40, names=["P", "Q", "R"]))
    smith = Signalsmith()
    for bad in (window.astype(np.int64), window[:, 0], window.astype(np.float32)):
        with pytest.raises(ValueError, match="Buffer"):
            smith.generate_features_for_pair_spreads(("P", "Q"), (1.0, -1.0), labels, bad)
    assert recorded_calls == []


@pytest.mark.parametrize("pair, hedges, labels_kind, error", [
    (["P", "Q"], (1.0, -1.0), "array", TypeError),  # a list is no tuple
    (namedtuple("Pair", "a b")("P", "Q"), (1.0, -1.0), "array", TypeError),
    (("P", "Q"), [1.0, -1.0], "array", TypeError),
    (("P", "Q"), (1.0, -1.0), "list", TypeError),
    (None, (1.0, -1.0), "array", TypeError),
    (("P", "Q"), None, "array", TypeError),
    (("P", "Q", "R"), (1.0, -1.0), "array", ValueError),
    (("P",), (1.0, -1.0), "array", ValueError),
    (("P", 7), (1.0, -1.0), "array", TypeError),
    (("P", "Q"), (1.0, "x"), "array", TypeError),
    (("P", "Z"), (1.0, -1.0), "array", IndexError),  # no such security
])
def test_bad_arguments_raise(pair, hedges, labels_kind, error):
    labels, window = window_of(make_ohlcv_frame(n_bars=40, names=["P", "Q", "R", "S"]))
    if labels_kind == "list":
        labels = list(labels)
    with pytest.raises(error):
        Signalsmith().generate_features_for_pair_spreads(pair, hedges, labels, window)


def test_type_error_names_the_argument():
    labels, window = window_of(make_ohlcv_frame(n_bars=40, names=["P", "Q", "R"]))
    with pytest.raises(TypeError, match=r"Argument 'pair_of_security' has incorrect type "
                                        r"\(expected tuple, got list\)"):
        Signalsmith().generate_features_for_pair_spreads(["P", "Q"], (1.0, -1.0), labels, window)


@pytest.mark.parametrize("rows, error, message", [
    (9, ValueError, "a window of 9 rows is too short for the features: they need at least 10"),
    (1, ValueError, "a window of 1 rows is too short"),
    (0, IndexError, "no last bar"),  # an error, never a dictionary of NaN
])
@pytest.mark.parametrize("names", [["P", "Q", "R", "S"], ["P", "Q"]])
def test_too_short_a_window_fails_before_any_indicator(recorded_calls, names, rows, error, message):
    # Some TA-Lib releases write out of bounds on empty series: such a window never gets there.
    labels, window = window_of(make_ohlcv_frame(n_bars=12, names=names))
    with pytest.raises(error, match=message):
        Signalsmith().generate_features_for_pair_spreads(("P", "Q"), (1.0, -1.0), labels, window[:rows])
    assert recorded_calls == []


def test_empty_bars_from_a_subclass_never_reach_an_indicator(recorded_calls):
    labels, window = window_of(make_ohlcv_frame(n_bars=40, names=["P", "Q", "R", "S"], seed=6))

    class EmptySpread(Signalsmith):
        pass

    setattr(EmptySpread, "__engineer_spread_OHCLV", lambda self, *args: tuple(np.empty(0) for _ in range(5)))
    with pytest.raises(IndexError, match="no last bar"):
        EmptySpread().generate_features_for_pair_spreads(("P", "Q"), (1.0, -1.0), labels, window)
    assert recorded_calls == []


@pytest.mark.parametrize("names, pair, nan_all_others", [
    (["P", "Q"], ("P", "Q"), True),  # nobody else: the composite is all NaN
    (["P", "Q", "R"], ("Q", "P"), False),  # one other: a 1 x 1 covariance
])
def test_small_universes_give_a_complete_dictionary(names, pair, nan_all_others):
    labels, window = window_of(make_ohlcv_frame(n_bars=80, names=names, n_cointegrated=2,
                                                n_independent=len(names) - 2, seed=5))
    features = Signalsmith().generate_features_for_pair_spreads(pair, (1.0, -0.9), labels, window)
    assert list(features) == FEATURE_KEYS
    others = [v for k, v in features.items() if "_all_others" in k]
    spread = [v for k, v in features.items() if "_spread" in k]
    assert len(others) == 63
    assert np.isnan(others).all() == nan_all_others
    assert not np.isnan(spread).all()


def test_bar_builders_are_reached_through_the_instance(recorded_calls):
    labels, window = window_of(make_ohlcv_frame(n_bars=40, names=["P", "Q", "R"], seed=6))
    flat = tuple(np.full(40, 2.0 + i) for i in range(5))

    class Flat(Signalsmith):
        pass

    # set under the literal name: a def in the class body would be name-mangled
    setattr(Flat, "__engineer_all_other_OHCLV", lambda self, securities, labels, window: flat)
    Flat().generate_features_for_pair_spreads(("P", "Q"), (1.0, -1.0), labels, window)
    bop_on_composite = recorded_calls[1][1]
    assert all(bop_on_composite[f] is series for f, series in zip(FIELDS, flat))

    for bad, error in [([np.zeros(40)] * 5, TypeError), ((np.zeros(40),) * 4, ValueError),
                       ((np.zeros((40, 1)),) * 5, ValueError), ((np.zeros(40, np.int64),) * 5, ValueError)]:
        setattr(Flat, "__engineer_spread_OHCLV", lambda self, *args, bad=bad: bad)
        with pytest.raises(error):
            Flat().generate_features_for_pair_spreads(("P", "Q"), (1.0, -1.0), labels, window)


class CustomSignalsmith(Signalsmith):
    pass


def test_signalsmith_pickles_as_its_class():
    smith = Signalsmith()
    for clone in (pickle.loads(pickle.dumps(smith)), copy.deepcopy(smith)):
        assert type(clone) is Signalsmith
    assert type(pickle.loads(pickle.dumps(CustomSignalsmith()))) is CustomSignalsmith


def features_in_worker(smith, labels, window):
    return list(smith.generate_features_for_pair_spreads(("P", "Q"), (1.0, -0.8), labels, window).values())


def test_an_instance_travels_to_a_worker_process():
    labels, window = window_of(make_ohlcv_frame(n_bars=40, names=["P", "Q", "R", "S"], seed=12))
    smith = Signalsmith()
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        remote = pool.apply(features_in_worker, (smith, labels, window))
    np.testing.assert_array_equal(remote, features_in_worker(smith, labels, window))


# ---------------------------------------------------------------- spread bars

LABELS = np.array(["A_open", "A_high", "A_low", "A_close", "A_volume",
                   "B_open", "B_high", "B_low", "B_close", "B_volume", "A_close"])
WINDOW = np.array([
    # A: o h l c v                  B: o h l c v                  a second "A_close"
    [10.0, 12.0, 9.0, 11.0, 100.0, 20.0, 21.0, 19.0, 20.0, 50.0, 999.0],
    [11.0, 13.0, 10.0, 12.0, 150.0, 20.0, 22.0, 18.0, 12.0, 70.0, 999.0],
    [12.0, 12.5, 11.0, 11.5, 0.0, 21.0, 23.0, 20.0, 23.0, 10.0, 999.0],
])


def test_spread_bars_follow_their_formulas():
    o, h, l, c, v = spread_bars(("A", "B"), (1.0, -1.0), LABELS, WINDOW)
    with np.errstate(divide="ignore"):
        x = np.log(WINDOW)
    np.testing.assert_allclose(o, x[:, 0] - x[:, 5], rtol=1e-15)
    np.testing.assert_allclose(h, x[:, 1] - x[:, 6], rtol=1e-15)
    np.testing.assert_allclose(l, x[:, 2] - x[:, 7], rtol=1e-15)
    np.testing.assert_allclose(c, x[:, 3] - x[:, 8], rtol=1e-15)  # the left-most "A_close"
    with np.errstate(divide="ignore"):
        expected_v = (WINDOW[:, 4] * WINDOW[:, 3] + WINDOW[:, 9] * WINDOW[:, 8]) / np.abs(x[:, 3] - x[:, 8])
    np.testing.assert_allclose(v, expected_v, rtol=1e-14)
    assert np.isinf(v[1])  # equal closes: the spread close is 0
    assert (h < l).any()  # a negative hedge is not reordered
    assert all(b.dtype == np.float64 and b.shape == (3,) for b in (o, h, l, c, v))


def test_strided_and_read_only_windows_read_like_contiguous_ones():
    labels, window = window_of(make_ohlcv_frame(n_bars=60, names=["P", "Q", "R", "S"], seed=11))
    wide = np.zeros((120, window.shape[1] * 2))
    wide[::2, ::2] = window
    strided = wide[::2, ::2]
    strided.flags.writeable = False
    fortran = np.asfortranarray(window)
    # strides that are not whole float64 elements: a field of a structured array, and a
    # buffer read from an odd byte offset
    records = np.zeros(window.shape, dtype=[("price", "f8"), ("flag", "i4")])
    records["price"] = window
    unaligned = np.frombuffer(b"\0" + window.tobytes(), offset=1).reshape(window.shape)
    assert not records["price"].flags.aligned and not unaligned.flags.aligned
    expected = Signalsmith().generate_features_for_pair_spreads(("P", "S"), (0.5, -2.0), labels, window)
    for other in (strided, fortran, records["price"], unaligned):
        got = Signalsmith().generate_features_for_pair_spreads(("P", "S"), (0.5, -2.0), labels, other)
        np.testing.assert_array_equal(list(got.values()), list(expected.values()))


def test_column_lookup():
    smith = Signalsmith()
    get = getattr(smith, "__get_specific_ohclv_array")
    column = get("A", "close", LABELS, WINDOW)
    np.testing.assert_array_equal(column, WINDOW[:, 3])
    assert np.shares_memory(column, WINDOW)
    for truthy in (True, 1, "yes"):
        np.testing.assert_allclose(get("A", "close", LABELS, WINDOW, truthy), np.log(WINDOW[:, 3]), rtol=1e-15)
    for falsy in (False, 0, None, ""):
        np.testing.assert_array_equal(get("A", "close", LABELS, WINDOW, falsy), WINDOW[:, 3])
    bars = getattr(smith, "__get_all_ohclv_array")("B", LABELS, WINDOW, True)
    np.testing.assert_allclose(np.array(bars[:4]).T, np.log(WINDOW[:, 5:9]), rtol=1e-15)
    np.testing.assert_array_equal(bars[4], WINDOW[:, 9])  # volume is never logged
    with pytest.raises(IndexError):
        get("C", "close", LABELS, WINDOW)
    with pytest.raises(IndexError):  # more labels than columns
        get("B", "volume", LABELS, WINDOW[:, :8])
    with pytest.raises(TypeError):
        get("A", "close", LABELS, WINDOW.tolist())
    with pytest.raises(TypeError):
        get("A", "close", list(LABELS), WINDOW)
    with pytest.raises(TypeError):
        getattr(smith, "__get_pca_weights")([[1.0]])


# ---------------------------------------------------------------- the all-others composite


@pytest.mark.parametrize("cov, weights", [
    ([[4.0, 0.0], [0.0, 1.0]], [0.0, 1.0]),
    ([[1.0, 0.0], [0.0, 4.0]], [1.0, 0.0]),
    ([[2.0, 1.0], [1.0, 2.0]], [2 ** -0.5, -(2 ** -0.5)]),
    ([[9.0]], [1 / 3]),
])
def test_pca_weights_of_small_covariances(cov, weights):
    got = pca_weights(cov)
    if got[np.argmax(np.abs(weights))] * np.max(np.abs(weights)) < 0:
        got = -got
    np.testing.assert_allclose(got, weights, atol=1e-15)
    assert got @ np.array(cov) @ got == pytest.approx(1.0, rel=1e-14)


@pytest.mark.parametrize("cov", [
    [[1.0, 0.0], [0.0, 0.0]],  # a security that does not move: lambda_min = 0
    [[0.0, 0.0], [0.0, 1.0]],
    [[1.0, 2.0], [2.0, 1.0]],  # indefinite: lambda_min < 0
    [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 1.0]],  # a zero eigenvalue above the smallest
    [[np.nan, 0.0], [0.0, 1.0]],
    [[np.inf, 0.0], [0.0, 1.0]],
])
def test_degenerate_covariances_give_non_finite_weights(cov):
    assert not np.isfinite(pca_weights(cov)).all()


@pytest.mark.parametrize("k", [1, 2, 3, 5, 12, 40])
def test_pca_weights_match_numpy_eigh(k):
    rng = np.random.default_rng(k)
    for _ in range(10):
        levels = np.cumsum(rng.normal(0, 0.01, (k + 60, k)), axis=0)
        cov = np.cov(levels.T).reshape(k, k)
        values, vectors = np.linalg.eigh(cov)
        expected = vectors[:, 0] / np.sqrt(values[0])
        got = pca_weights(cov)
        sign = np.sign(got @ expected)
        tolerance = 1e-13 * values[-1] / values[0]
        np.testing.assert_allclose(sign * got, expected, rtol=0, atol=tolerance * np.abs(expected).max())
        assert got @ cov @ got == pytest.approx(1.0, rel=1e-12 * values[-1] / values[0])
        assert got[np.argmax(np.abs(got))] > 0


def numpy_composite(securities, labels, window, like):
    """The composite as numpy writes it (np.cov, np.linalg.eigh, weighted log prices), with the
    eigenvector's sign chosen to agree with the weights `like`."""
    idx = {label: i for i, label in reversed(list(enumerate(labels)))}
    logs = {f: np.log(window[:, [idx[f"{s}_{f}"] for s in securities]]) for f in FIELDS[:4]}
    volume = window[:, [idx[f"{s}_volume"] for s in securities]]
    cov = np.cov(logs["close"].T)
    values, vectors = np.linalg.eigh(cov)
    w = vectors[:, 0] / np.sqrt(values[0])
    w = w * np.sign(w @ like)
    bars = [logs[f] @ w for f in FIELDS[:4]]
    with np.errstate(over="ignore"):  # exp of a composite log price can overflow: volume 0
        bars.append((volume * np.exp(logs["close"])).sum(axis=1) / np.exp(bars[3]))
    return bars, w, cov


@pytest.mark.parametrize("rows, start", [(40, 0), (120, 500), (300, 1000)])
def test_composite_is_the_unit_variance_least_variance_portfolio_on_real_data(crypto_frame, rows, start):
    labels, full = window_of(crypto_frame)
    window = full[start:start + rows]
    others = ["SOLUSDT", "XRPUSDT", "ADAUSDT", "BNBUSDT"]
    bars = all_others_bars(others, labels, window)
    idx = [list(labels).index(f"{s}_close") for s in others]
    cov = np.cov(np.log(window[:, idx]).T)
    weights = pca_weights(cov)
    assert weights @ cov @ weights == pytest.approx(1.0, rel=1e-9)
    expected, w, _ = numpy_composite(others, labels, window, like=weights)
    np.testing.assert_allclose(weights, w, rtol=1e-9)
    for got, want in zip(bars, expected):
        np.testing.assert_allclose(got, want, rtol=1e-9)
    # the composite close has unit variance over the window
    assert np.var(bars[3], ddof=1) == pytest.approx(1.0, rel=1e-9)

    shuffled = all_others_bars(others[::-1], labels, window)
    for a, b in zip(bars, shuffled):
        np.testing.assert_allclose(a, b, rtol=1e-9)


def test_the_pair_never_enters_the_composite_wherever_its_columns_stand(recorded_calls):
    frame = make_ohlcv_frame(n_bars=50, names=["R", "P", "S", "Q", "T"], n_cointegrated=2, n_independent=3,
                             field_major=True, seed=2)
    labels, window = window_of(frame)
    Signalsmith().generate_features_for_pair_spreads(("Q", "P"), (1.0, -1.0), labels, window)
    composite = all_others_bars(["R", "S", "T"], labels, window)
    inputs = recorded_calls[1][1]  # BOP on the composite
    for field, series in zip(FIELDS, composite):
        np.testing.assert_array_equal(inputs[field], series)


def test_names_holding_field_words_enter_the_composite_once():
    names = ["P", "Q", "R_close_fund", "S_lowcap"]
    frame = make_ohlcv_frame(n_bars=40, names=names, n_cointegrated=2, n_independent=2, seed=4)
    labels, window = window_of(frame)
    features = Signalsmith().generate_features_for_pair_spreads(("P", "Q"), (1.0, -1.0), labels, window)
    bars = all_others_bars(["R_close_fund", "S_lowcap"], labels, window)
    direct = abstract.MOM(dict(zip(FIELDS, bars)), timeperiod=8)[-1]
    assert features["float64_mom_all_others_short"] == direct


def test_one_other_security_is_scaled_by_its_deviation():
    labels, window = window_of(make_ohlcv_frame(n_bars=30, names=["P", "Q", "R"], seed=8))
    bars = all_others_bars(["R"], labels, window)
    log_close = np.log(window[:, list(labels).index("R_close")])
    np.testing.assert_allclose(bars[3], log_close / np.std(log_close, ddof=1), rtol=1e-13)


@pytest.mark.parametrize("bad_value", [0.0, -1.0, np.nan])
def test_a_bad_price_among_the_others_makes_the_composite_nan(bad_value):
    labels, window = window_of(make_ohlcv_frame(n_bars=40, names=["P", "Q", "R", "S"], seed=9))
    window = window.copy()
    window[7, list(labels).index("S_close")] = bad_value
    with np.errstate(all="ignore"):
        bars = all_others_bars(["R", "S"], labels, window)
        features = Signalsmith().generate_features_for_pair_spreads(("P", "Q"), (1.0, -1.0), labels, window)
    assert all(np.isnan(b).all() for b in bars)
    assert np.isnan([v for k, v in features.items() if "_all_others" in k]).all()


def test_more_securities_than_rows_is_no_error():
    labels, window = window_of(make_ohlcv_frame(n_bars=12, names=[f"N{i}" for i in range(16)],
                                                n_cointegrated=2, n_independent=14, seed=1))
    with np.errstate(all="ignore"):
        features = Signalsmith().generate_features_for_pair_spreads(("N0", "N1"), (1.0, -1.0), labels, window)
    assert list(features) == FEATURE_KEYS
