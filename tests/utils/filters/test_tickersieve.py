import math
import pickle

import numpy as np
import pandas as pd
import pytest

from velmora.utils.filters.tickersieve import Tickersieve
from support.frames import make_ohlcv_frame
from support.market_data import FTSE100, load_ohlcv, require_shared_data, SP500_CLEAN

FIELDS = ("open", "high", "low", "close", "volume")


def sort_dictionary(sieve, *args, **kwargs):
    return getattr(sieve, "__sort_dictionary")(*args, **kwargs)


def flat_frame(n_rows, volumes, closes=None):
    """One security per entry of `volumes`, with constant close and volume columns."""
    closes = closes or {name: 1.0 for name in volumes}
    data = {}
    for name, volume in volumes.items():
        for field in FIELDS:
            value = closes[name] if field != "volume" else volume
            data[f"{name}_{field}"] = np.full(n_rows, float(value))
    return pd.DataFrame(data)


def names_of(frame):
    return list(dict.fromkeys(label.rsplit("_", 1)[0] for label in frame.columns))


def reference_filter(frame, securities, pct, keep):
    """The liquidity rule written plainly with pandas, as the oracle for random frames."""
    head = frame.iloc[: int(len(frame) * pct)]
    scores = {s: (head[f"{s}_close"] * head[f"{s}_volume"]).sum() for s in securities}
    ranked = sorted(scores, key=lambda s: scores[s], reverse=True)[:keep]
    return frame[[c for c in frame.columns if c.rsplit("_", 1)[0] in ranked]]


@pytest.mark.parametrize("n_rows, n_head", [(1000, 100), (999, 99)])
def test_ranking_sees_only_the_head_rows(n_rows, n_head):
    # A leads over the head rows; C trades far more over the rest of the history.
    frame = flat_frame(n_rows, {"A": 10.0, "B": 9.0, "C": 1.0})
    frame.loc[n_head:, "C_volume"] = 1e6
    sieve = Tickersieve()
    assert names_of(sieve.filter_without_lookahead(frame, number_of_securities_to_keep=1)) == ["A"]

    spike_after = frame.copy()
    spike_after.loc[n_head, "B_volume"] = 1e9  # first row past the head: must not count
    kept = sieve.filter_without_lookahead(spike_after, number_of_securities_to_keep=1)
    assert names_of(kept) == ["A"]

    spike_last = frame.copy()
    spike_last.loc[n_head - 1, "B_volume"] = 1e9  # last row of the head: must count
    kept = sieve.filter_without_lookahead(spike_last, number_of_securities_to_keep=1)
    assert names_of(kept) == ["B"]
    pd.testing.assert_frame_equal(kept, spike_last[[f"B_{f}" for f in FIELDS]])


@pytest.mark.parametrize("seed", range(8))
def test_matches_the_pandas_rule_on_random_frames(seed):
    rng = np.random.default_rng(seed)
    names = [f"S{i}" for i in range(12)]
    frame = make_ohlcv_frame(n_bars=int(rng.integers(20, 400)), names=names,
                             n_cointegrated=4, n_independent=8, seed=seed,
                             field_major=bool(seed % 2))
    # Missing values are skipped by the sum, as pandas does.
    holes = rng.random(frame.shape) < 0.05
    frame = frame.mask(holes)
    pct = float(rng.uniform(0.0, 1.0))
    keep = int(rng.integers(1, len(names)))
    securities = list(rng.permutation(names))
    got = Tickersieve().filter_without_lookahead(frame, securities, pct, keep)
    pd.testing.assert_frame_equal(got, reference_filter(frame, securities, pct, keep))


def test_early_return_is_the_input_frame_itself():
    frame = make_ohlcv_frame(n_bars=50, names=["A", "B", "C", "D"])
    sieve = Tickersieve()
    assert sieve.filter_without_lookahead(frame, number_of_securities_to_keep=4) is frame
    assert sieve.filter_without_lookahead(frame, None, 0.5, 99) is frame
    # Naming a subset does not narrow the frame when there is nothing to rank away.
    assert sieve.filter_without_lookahead(frame, ["A", "B"], 0.1, 2) is frame


def test_default_keeps_ten_of_fifteen_in_frame_order():
    names = [f"S{i:02d}" for i in range(15)]
    volumes = {name: float(i) for i, name in enumerate(names)}  # S05..S14 lead
    frame = flat_frame(40, volumes)
    frame = frame[[f"{n}_{f}" for f in FIELDS for n in reversed(names)]]  # field-major
    kept = Tickersieve().filter_without_lookahead(frame)
    assert kept.shape == (40, 50)
    assert list(kept.columns) == [c for c in frame.columns if c[:3] in names[5:]]


@pytest.mark.parametrize(
    "volumes, securities, pct, keep, expected",
    [
        # equal scores keep the order of `securities`: the first listed wins the last place
        ({"A": 1.0, "B": 5.0, "C": 5.0}, ["A", "C", "B"], 0.5, 1, ["C"]),
        ({"A": 1.0, "B": 5.0, "C": 5.0}, ["A", "B", "C"], 0.5, 1, ["B"]),
        # an empty head scores every security 0: the first `keep` in list order remain
        ({"A": 1.0, "B": 5.0, "C": 9.0}, ["B", "A", "C"], 0.0, 2, ["A", "B"]),
        # keep 0 keeps nothing; a negative keep drops that many of the lowest ranked
        ({"A": 1.0, "B": 5.0, "C": 9.0}, ["A", "B", "C"], 0.5, 0, []),
        ({"A": 1.0, "B": 5.0, "C": 9.0}, ["A", "B", "C"], 0.5, -1, ["B", "C"]),
        # only the listed securities are ranked: an unlisted one goes, however much it trades
        ({"A": 9.0, "B": 5.0, "C": 1.0}, ["C", "B"], 0.5, 1, ["B"]),
        # names carrying "_" and field words are matched whole
        ({"ABC_USD": 9.0, "X_lowcap": 5.0, "X": 1.0}, None, 0.5, 2, ["ABC_USD", "X_lowcap"]),
        ({"A_close_fund": 9.0, "A": 5.0, "B": 1.0}, [], 1.0, 1, ["A_close_fund"]),
    ],
)
def test_selection(volumes, securities, pct, keep, expected):
    frame = flat_frame(10, volumes)
    kept = Tickersieve().filter_without_lookahead(frame, securities, pct, keep)
    assert kept is not frame
    assert list(kept.columns) == [f"{n}_{f}" for n in volumes if n in expected for f in FIELDS]
    assert len(kept) == len(frame)


def test_bare_security_label_is_kept_with_its_fields():
    frame = flat_frame(10, {"A": 9.0, "B": 1.0})
    frame["A"] = 1.0
    frame["other"] = 2.0
    kept = Tickersieve().filter_without_lookahead(frame, ["A", "B"], 0.5, 1)
    assert list(kept.columns) == [f"A_{f}" for f in FIELDS] + ["A"]


def test_real_equity_sample():
    symbols = ["AAPL", "KO", "JPM", "XOM", "T", "PFE", "DUK", "CSX"]
    frame = load_ohlcv(SP500_CLEAN, symbols)
    kept = Tickersieve().filter_without_lookahead(frame, number_of_securities_to_keep=3)
    head = frame.iloc[: int(len(frame) * 0.1)]
    dollar_volume = {s: (head[f"{s}_close"] * head[f"{s}_volume"]).sum() for s in symbols}
    top = sorted(symbols, key=dollar_volume.get, reverse=True)[:3]
    assert names_of(kept) == [s for s in symbols if s in top]
    assert kept.shape == (len(frame), 15)
    pd.testing.assert_frame_equal(kept, frame[list(kept.columns)])


def row_orders(frame, seed=0):
    """The frame in time order, newest first and shuffled: the row orders callers hand in."""
    return {
        "ascending": frame,
        "descending": frame.iloc[::-1],
        "shuffled": frame.sample(frac=1.0, random_state=seed),
    }


def test_real_newest_first_frame_is_ranked_on_its_earliest_bars():
    folder = require_shared_data() / "equities_daily" / FTSE100
    symbols = sorted(path.name[: -len(".csv.gz")] for path in folder.glob("*.L.csv.gz"))
    frame = load_ohlcv(FTSE100, symbols)  # ascending
    earliest = reference_filter(frame, symbols, 0.1, 5)
    # The fixture shows the fault: the head rows of the file order are the newest bars.
    assert names_of(reference_filter(frame.iloc[::-1], symbols, 0.1, 5)) != names_of(earliest)
    assert {"BARC.L", "BLT.L", "GSK.L", "HSBA.L"} <= set(names_of(earliest))

    class Recording(Tickersieve):
        scores = []

    def recording_sort(self, dict_to_sort, reverse=True):
        Recording.scores.append(dict(dict_to_sort))
        return sorted(dict_to_sort.items(), key=lambda kv: kv[1], reverse=reverse)

    setattr(Recording, "__sort_dictionary", recording_sort)
    for order, copy in row_orders(frame).items():
        kept = Recording().filter_without_lookahead(copy, number_of_securities_to_keep=5)
        assert names_of(kept) == names_of(earliest), order
        # The caller's rows in the caller's order; only columns go.
        pd.testing.assert_frame_equal(kept, copy[list(earliest.columns)])
    # Summed in time order whatever the row order: the same scores to the last bit, so a
    # near tie cannot rank differently.
    ascending, *others = Recording.scores
    assert all(scores == ascending for scores in others)


@pytest.mark.parametrize("order", ["ascending", "descending", "shuffled"])
@pytest.mark.parametrize(
    "securities, expected",
    [
        (["A", "B", "C"], ["A"]),
        # C ties A over the earliest bars: the one listed first wins, as in time order
        (["C", "A", "B"], ["C"]),
        (["B", "C", "A"], ["C"]),
    ],
)
def test_volume_swap_halfway_is_ranked_on_the_first_half_in_any_row_order(order, securities, expected):
    # A and C trade 10 a day over the first ten days and 1 after; B the other way round.
    frame = flat_frame(20, {"A": 10.0, "B": 1.0, "C": 10.0})
    frame.index = pd.date_range("2024-01-01", periods=20, freq="D", tz="UTC")
    frame.iloc[10:, frame.columns.get_loc("A_volume")] = 1.0
    frame.iloc[10:, frame.columns.get_loc("C_volume")] = 1.0
    frame.iloc[10:, frame.columns.get_loc("B_volume")] = 10.0
    copy = row_orders(frame, seed=5)[order]  # a shuffle with most late bars on top
    kept = Tickersieve().filter_without_lookahead(copy, securities, 0.5, 1)
    pd.testing.assert_frame_equal(kept, copy[[f"{expected[0]}_{f}" for f in FIELDS]])


def test_bars_without_a_time_are_not_among_the_earliest():
    frame = flat_frame(10, {"A": 2.0, "B": 1.0})
    frame.index = pd.DatetimeIndex([None] + list(pd.date_range("2024-01-01", periods=9, freq="D")))
    frame.iloc[0, frame.columns.get_loc("B_volume")] = 1e9
    assert names_of(Tickersieve().filter_without_lookahead(frame, ["A", "B"], 0.5, 1)) == ["A"]


FRAME = flat_frame(20, {"A": 2.0, "B": 1.0})


@pytest.mark.parametrize(
    "call, error",
    [
        # the list check comes first: the frame is never touched
        (lambda s: s.filter_without_lookahead(object(), ("A",)), TypeError),
        (lambda s: s.filter_without_lookahead(object(), "A"), TypeError),
        (lambda s: s.filter_without_lookahead(FRAME, ["A"], "0.1"), TypeError),
        (lambda s: s.filter_without_lookahead(FRAME, ["A", "B"], 0.1, 1.5), TypeError),
        # a listed security without its columns
        (lambda s: s.filter_without_lookahead(FRAME, ["A", "Z"], 0.5, 1), KeyError),
        # inference of an unpaired frame
        (lambda s: s.filter_without_lookahead(FRAME[["A_close", "A_volume", "B_close"]]), Exception),
        (lambda s: s.filter_without_lookahead(FRAME.rename(columns={"B_open": 7}), ["A", "B"], 0.5, 1),
         TypeError),
    ],
)
def test_argument_errors(call, error):
    with pytest.raises(error):
        call(Tickersieve())


@pytest.mark.parametrize("securities, keep", [(None, 1), (["A", "B"], 1), (["A", "B"], 5)])
def test_a_frame_that_is_not_a_dataframe_is_a_plain_type_error(securities, keep):
    # given, inferred, or returned unranked: never an attribute error deep inside
    for value in (FRAME.to_numpy(), FRAME.to_dict()):
        with pytest.raises(TypeError, match="^Argument 'clean_OHCLV_dataframe' must be a pandas "
                           "DataFrame of OHCLV columns, got " + type(value).__name__ + "$"):
            Tickersieve().filter_without_lookahead(value, securities, 0.5, keep)


@pytest.mark.parametrize("pct", [-0.1, -1.0, 1.5, math.nan, math.inf, -math.inf])
def test_share_outside_zero_to_one_is_refused(pct):
    # Negative shares would rank on all but the last rows: the look-ahead the filter exists
    # to prevent. The check holds even where the frame would come back unranked.
    sieve = Tickersieve()
    for keep in (1, 5):
        with pytest.raises(Exception, match="pct_of_filtration") as info:
            sieve.filter_without_lookahead(FRAME, ["A", "B"], pct, keep)
        assert type(info.value) is Exception


@pytest.mark.parametrize("pct", [0.0, 1.0])
def test_share_bounds_are_accepted(pct):
    kept = Tickersieve().filter_without_lookahead(FRAME, ["B", "A"], pct, 1)
    assert names_of(kept) == (["B"] if pct == 0.0 else ["A"])


def test_sort_dictionary():
    sieve = Tickersieve()
    d = {"x": 1, "y": 3, "z": 3}
    assert sort_dictionary(sieve, d) == [("y", 3), ("z", 3), ("x", 1)]
    assert sort_dictionary(sieve, dict_to_sort=d, reverse=False) == [("x", 1), ("y", 3), ("z", 3)]
    assert d == {"x": 1, "y": 3, "z": 3} and list(d) == ["x", "y", "z"]
    assert sort_dictionary(sieve, {}) == []
    with pytest.raises(TypeError):
        sort_dictionary(sieve, [("x", 1)])


def test_subclass_ranking_override_is_used():
    class Ascending(Tickersieve):
        pass

    def ascending(self, dict_to_sort, reverse=True):
        return sorted(dict_to_sort.items(), key=lambda kv: kv[1])

    setattr(Ascending, "__sort_dictionary", ascending)
    frame = flat_frame(10, {"A": 9.0, "B": 5.0, "C": 1.0})
    assert names_of(Tickersieve().filter_without_lookahead(frame, None, 0.5, 1)) == ["A"]
    assert names_of(Ascending().filter_without_lookahead(frame, None, 0.5, 1)) == ["C"]


def test_stateless_object():
    sieve = Tickersieve("ignored", 3, also="ignored")
    with pytest.raises(TypeError):
        pickle.dumps(sieve)
