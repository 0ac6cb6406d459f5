"""The real data the tests read from tests/data: what is held is what the manifest says, and a
request for bars it does not hold fails instead of giving fewer bars."""

import json

import pandas as pd
import pytest

from support.market_data import CRYPTO_1H, SLICES, SP500_CLEAN, TEST_DATA, load_ohlcv, load_security


def test_the_manifest_names_exactly_the_files_held():
    listed = set(json.loads(SLICES.read_text(encoding="utf-8"))["files"])
    held = {p.relative_to(TEST_DATA).as_posix() for p in TEST_DATA.rglob("*.gz")}
    assert listed == held


@pytest.mark.parametrize("dataset, symbols, start, end", [
    (CRYPTO_1H, ["DOGEUSDT"], "2022-06-01", "2023-01-31"),   # past the end of the slice
    (CRYPTO_1H, ["DOGEUSDT"], None, "2022-06-01"),            # from the file's first bar
    (CRYPTO_1H, ["BTCUSDT"], "2022-06-01", None),             # past the end of the sample
    (CRYPTO_1H, ["BTCUSDT"], "2021-12-01", "2022-02-01"),     # before the sample begins
    (CRYPTO_1H, ["AVAXUSDT"], "2022-01-01", "2022-02-01"),    # a pair neither holds
    (SP500_CLEAN, ["GE"], None, None),                        # a security not held
])
def test_bars_not_held_are_refused(dataset, symbols, start, end):
    with pytest.raises(LookupError, match="tests/data/slices.json"):
        load_ohlcv(dataset, symbols, start=start, end=end)


def test_sample_bars_are_framed_as_file_bars():
    # Hourly bars come from a slice file (DOGE) or from the example sample (BTC); a test must
    # not see which: same index type, name and columns, and the same rows where they overlap.
    start, end = "2022-03-01", "2022-03-31 23:00"
    from_file = load_security(CRYPTO_1H, "DOGEUSDT", start=start, end=end)
    from_sample = load_security(CRYPTO_1H, "BTCUSDT", start=start, end=end)
    pd.testing.assert_index_equal(from_sample.index, from_file.index)
    assert list(from_sample.columns) == list(from_file.columns)
    assert (from_sample.dtypes == from_file.dtypes).all()
    wide = load_ohlcv(CRYPTO_1H, ["BTCUSDT", "DOGEUSDT"], start=start, end=end)
    assert wide.index.name == "datetime" and str(wide.index.tz) == "UTC"
    assert not wide.isna().any().any()
