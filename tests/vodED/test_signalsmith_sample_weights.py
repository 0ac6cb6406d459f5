import copy
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

from velmora.vodED.signalsmith import SampleWeights

T = np.arange("2024-01-01T00", "2024-01-01T05", dtype="datetime64[h]").astype("datetime64[ns]")
HALF_HOUR = np.timedelta64(30, "m")


def pandas_uniqueness(grid, starts, ends):
    """The label-range formulation: one loc update per sample, then one loc read per sample."""
    concurrency = pd.Series(np.zeros(len(grid)), index=grid)
    for s, e in zip(starts, ends):
        if len(concurrency.loc[s:e]):  # pandas 2.2 refuses to add to an empty label slice
            concurrency.loc[s:e] += 1
    with np.errstate(invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the mean of an empty span is NaN
        return np.array([np.mean(np.ones(len(v)) / v)
                         for v in (concurrency.loc[s:e].values for s, e in zip(starts, ends))])


def pandas_weights(u, impact=None):
    x = u if impact is None or len(impact) == 0 else np.abs(impact) / u
    return x / np.sum(x) * x.shape[0]


@pytest.mark.parametrize(
    "spans, uniqueness, weights",
    [
        # the classic example: A = t0..t3, B = t2..t3, concurrency 1, 1, 2, 2, 0
        ([(T[0], T[3]), (T[2], T[3])], [0.75, 0.5], [1.2, 0.8]),
        ([(T[1], T[3])], [1.0], [1.0]),
        ([(T[0], T[1]), (T[2], T[2]), (T[3], T[4])], [1.0, 1.0, 1.0], [1.0, 1.0, 1.0]),
        ([(T[1], T[3])] * 3, [1 / 3] * 3, [1.0] * 3),
        # bounds between grid times select only the times inside them: t1..t2 and t2..t3
        ([(T[0] + HALF_HOUR, T[2] + HALF_HOUR), (T[1] + HALF_HOUR, T[3])], [0.75, 0.75], [1.0, 1.0]),
        # spans holding no grid time: reversed, between two grid times, beyond the grid
        ([(T[0], T[1]), (T[3], T[2])], [1.0, np.nan], [np.nan, np.nan]),
        ([(T[0], T[1]), (T[2] + HALF_HOUR, T[3] - HALF_HOUR)], [1.0, np.nan], [np.nan, np.nan]),
        ([(T[4] + HALF_HOUR, T[4] + 2 * HALF_HOUR)], [np.nan], [np.nan]),
        ([], [], []),
    ],
)
def test_uniqueness_and_weights_without_impact(spans, uniqueness, weights):
    starts = np.array([s for s, _ in spans], dtype="datetime64[ns]")
    ends = np.array([e for _, e in spans], dtype="datetime64[ns]")
    sw = SampleWeights()
    u = sw.get_sample_uniqueness_weights(T, starts, ends)
    assert u.dtype == np.float64 and u.shape == (len(spans),)
    np.testing.assert_allclose(u, uniqueness, rtol=1e-15)
    np.testing.assert_allclose(u, pandas_uniqueness(T, starts, ends), rtol=1e-15)
    w = sw.fit_transform(T, starts, ends)
    assert w.dtype == np.float64
    np.testing.assert_allclose(w, weights, rtol=1e-15)
    np.testing.assert_array_equal(w, sw.fit_transform(T, starts, ends, np.array([])))


@pytest.mark.parametrize(
    "impact, expected",
    [
        ([-0.3, 0.4], [2 / 3, 4 / 3]),  # the sign of an impact does not matter
        ([0.3, -0.4], [2 / 3, 4 / 3]),
        ([5.0], [0.8, 1.2]),  # one impact is broadcast to every sample: x = 5/u
        ([0.0, 0.0], [np.nan, np.nan]),
        ([1, 2], [0.5, 1.5]),  # integer impacts divide as numpy does
    ],
)
def test_impact_weights_follow_the_classic_example(impact, expected):
    starts = np.array([T[0], T[2]])
    ends = np.array([T[3], T[3]])
    w = SampleWeights().fit_transform(T, starts, ends, np.array(impact))
    np.testing.assert_allclose(w, expected, rtol=1e-14)


def random_trades(seed, n_grid=400, n_trades=60):
    rng = np.random.default_rng(seed)
    grid = np.datetime64("2023-03-01", "ns") + np.cumsum(rng.integers(1, 4, n_grid)).astype("timedelta64[h]")
    grid = grid.astype("datetime64[ns]")
    first = rng.integers(0, n_grid, n_trades)
    length = rng.integers(0, 60, n_trades)
    starts = grid[first]
    ends = grid[np.minimum(first + length, n_grid - 1)]
    # some bounds off the grid, by a few minutes either way
    jitter = rng.integers(-90, 91, n_trades).astype("timedelta64[m]") * (rng.random(n_trades) < 0.3)
    return grid, starts + jitter, ends - jitter[::-1], rng.normal(0, 0.02, n_trades)


@pytest.mark.parametrize("seed", range(12))
def test_matches_the_pandas_formulation_on_random_overlapping_trades(seed):
    grid, starts, ends, impact = random_trades(seed)
    u_ref = pandas_uniqueness(grid, starts, ends)
    sw = SampleWeights()
    u = sw.get_sample_uniqueness_weights(grid, starts, ends)
    np.testing.assert_allclose(u, u_ref, rtol=1e-12)
    assert np.isnan(u).sum() == np.isnan(u_ref).sum()
    keep = ~np.isnan(u_ref)
    grid_k, starts_k, ends_k, impact_k = grid, starts[keep], ends[keep], impact[keep]
    np.testing.assert_allclose(sw.fit_transform(grid_k, starts_k, ends_k),
                               pandas_weights(u_ref[keep]), rtol=1e-12)
    w = sw.fit_transform(grid_k, starts_k, ends_k, impact_k)
    np.testing.assert_allclose(w, pandas_weights(u_ref[keep], impact_k), rtol=1e-12)
    assert w.sum() == pytest.approx(keep.sum(), rel=1e-12)


@pytest.mark.parametrize("n_trades", [7, 128, 129, 1500])  # below, at and past numpy's 128-block
def test_normalisation_equals_numpy_to_the_last_bit(n_trades):
    rng = np.random.default_rng(n_trades)
    grid = np.datetime64("2023-01-01", "ns") + np.arange(5000).astype("timedelta64[m]")
    first = rng.integers(0, 4000, n_trades)
    starts, ends = grid[first], grid[first + rng.integers(0, 900, n_trades)]
    impact = rng.normal(0, 0.02, n_trades)
    sw = SampleWeights()
    u = sw.get_sample_uniqueness_weights(grid, starts, ends)
    np.testing.assert_array_equal(sw.fit_transform(grid, starts, ends), pandas_weights(u))
    np.testing.assert_array_equal(sw.fit_transform(grid, starts, ends, impact), pandas_weights(u, impact))


def test_units_and_read_only_arrays_are_accepted():
    grid, starts, ends, impact = random_trades(99)
    expected = SampleWeights().fit_transform(grid, starts, ends, impact)
    grid_us = grid.astype("datetime64[us]")
    grid_us.flags.writeable = False
    starts_s = starts.astype("datetime64[s]")  # whole minutes, so seconds lose nothing
    ends_m = ends.astype("datetime64[m]")
    got = SampleWeights().fit_transform(grid_us, starts_s, ends_m, impact)
    np.testing.assert_array_equal(got, expected)
    # pandas' values of a datetime Series, as the classifier passes them
    got = SampleWeights().fit_transform(pd.Series(grid).values, pd.Series(starts).values,
                                        pd.Series(ends).values, pd.Series(impact).values)
    np.testing.assert_array_equal(got, expected)


def test_repeated_grid_times_count_like_a_label_slice():
    grid = T[[0, 1, 1, 2, 3]]
    starts, ends = np.array([T[1], T[0]]), np.array([T[2], T[1]])
    np.testing.assert_allclose(SampleWeights().get_sample_uniqueness_weights(grid, starts, ends),
                               pandas_uniqueness(grid, starts, ends), rtol=1e-15)


@pytest.mark.parametrize(
    "args, error",
    [
        ((list(T), T[:1], T[1:2]), TypeError),
        ((T, T[:1].tolist(), T[1:2]), TypeError),
        ((T, T[:1], T[1:2], [0.1]), TypeError),
        ((T, None, T[1:2]), TypeError),
        ((T[::-1], T[:1], T[1:2]), ValueError),  # descending grid
        ((T, T[:2], T[1:2]), IndexError),  # an end missing
        ((T, T[:1], T[1:3]), ValueError),  # an end too many
        ((T, T[:3], T[1:4], np.array([0.1, 0.2])), ValueError),  # impacts do not broadcast
        ((T, np.arange(2.0), np.arange(2.0)), TypeError),  # numbers are no datetimes
        ((T, np.array(["NaT"], dtype="datetime64[ns]"), T[1:2]), ValueError),
    ],
)
def test_bad_arguments_raise(args, error):
    with pytest.raises(error):
        SampleWeights().fit_transform(*args)


def test_type_error_names_the_argument():
    with pytest.raises(TypeError, match=r"Argument 'training_samples_end_datetime_array' has incorrect "
                                        r"type \(expected numpy.ndarray, got list\)"):
        SampleWeights().get_sample_uniqueness_weights(T, T[:1], [T[1]])


def test_subclass_uniqueness_is_the_one_normalised():
    class Halved(SampleWeights):
        def get_sample_uniqueness_weights(self, grid, starts, ends):
            u = super().get_sample_uniqueness_weights(grid, starts, ends)
            u[0] /= 2
            return u

    starts, ends = np.array([T[0], T[2]]), np.array([T[3], T[3]])
    # u = (0.375, 0.5): normalised to sum 2
    np.testing.assert_allclose(Halved("ignored").fit_transform(T, starts, ends), [6 / 7, 8 / 7])

    class Broken(SampleWeights):
        def get_sample_uniqueness_weights(self, grid, starts, ends):
            return self.result

    broken = Broken()
    for result, error in [([0.5], TypeError), (np.ones((1, 1)), ValueError), (np.ones(1, np.int64), ValueError)]:
        broken.result = result
        with pytest.raises(error):
            broken.fit_transform(T, starts[:1], ends[:1])


def test_instances_refuse_pickling_and_copying():
    sw = SampleWeights(1, 2, key="ignored")
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__({})):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            attempt(sw)
