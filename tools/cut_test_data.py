"""Cut the test data slices in tests/data out of the full real data, and check them.

    python tools/cut_test_data.py [--add-log LOG] [--check LOG]

tests/data/slices.json names each file kept and what of it: "whole", or spans
[first, last] of bar times (inclusive, as written in the file; null for the file's own first
or last bar). Each slice is the full file's header and the rows in those spans, byte for
byte, gzip'd. The full data is read from ../shared/data beside the repository, or from the
folder named by VELMORA_SHARED_DATA.

--add-log LOG widens slices.json to the requests logged by a test run with
VELMORA_DATA_LOG=LOG (one JSON line per loaded security); requests the example sample
already answers are left to it. --check LOG then proves, for every logged request, that the
frame read from tests/data equals the frame read from the full data; files kept whole are
compared byte for byte.
"""

from __future__ import annotations

import argparse
import csv
import gzip
import io
import json
import sys
from pathlib import Path

import pandas as pd

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from support import market_data as md  # noqa: E402


def _requests(log: Path) -> list[tuple]:
    seen = []
    for line in log.read_text(encoding="utf-8").splitlines():
        request = tuple(json.loads(line))
        if request not in seen:
            seen.append(request)
    return seen


def _merge(spans: list[list]) -> list[list]:
    """Overlapping spans as one; a None bound reaches the file's end on that side."""
    low_key = lambda s: pd.Timestamp.min if s[0] is None else pd.Timestamp(s[0])  # noqa: E731
    high_key = lambda s: pd.Timestamp.max if s[1] is None else pd.Timestamp(s[1])  # noqa: E731
    merged: list[list] = []
    for span in sorted(spans, key=low_key):
        if merged and low_key(span) <= high_key(merged[-1]):
            if high_key(span) > high_key(merged[-1]):
                merged[-1][1] = span[1]
        else:
            merged.append(list(span))
    return merged


def add_log(log: Path, full: Path) -> None:
    data = json.loads(md.SLICES.read_text(encoding="utf-8")) if md.SLICES.is_file() else {"files": {}}
    files = data["files"]
    for dataset, symbol, interval, start, end in _requests(log):
        if md._in_sample(dataset, symbol, start, end):
            continue
        source = md._file_for(md.dataset_folder(full, dataset), symbol, interval)
        key = source.relative_to(full).as_posix() + ".gz"
        if files.get(key) == "whole":
            continue
        spans = _merge(files.get(key, []) + [[start, end]])
        files[key] = "whole" if spans == [[None, None]] else spans
    # One line per file, so that a widened span reads as a one-line change.
    lines = [f"  {json.dumps(name)}: {json.dumps(spans)}" for name, spans in sorted(files.items())]
    md.SLICES.write_text('{"files": {\n' + ",\n".join(lines) + "\n}}\n", encoding="utf-8")
    md._slices.cache_clear()


def _time_column(relative: str) -> str:
    dataset = relative.split("/")[1]
    return md._LAYOUTS[dataset][0]


def _kept(stamp: pd.Timestamp, spans) -> bool:
    return any((low is None or stamp >= pd.Timestamp(low)) and (high is None or stamp <= pd.Timestamp(high))
               for low, high in spans)


def _slice_bytes(source: Path, relative: str, spans) -> bytes:
    raw = source.read_bytes()
    if spans == "whole":
        return raw
    lines = raw.splitlines(keepends=True)
    column = next(csv.reader([lines[0].decode("utf-8")])).index(_time_column(relative))
    kept = [lines[0]]
    for line in lines[1:]:
        field = next(csv.reader([line.decode("utf-8")]))[column]
        if _kept(pd.Timestamp(field), spans):
            kept.append(line)
    return b"".join(kept)


def cut(full: Path) -> None:
    for relative, spans in md._slices().items():
        source = full / relative[: -len(".gz")]
        target = md.TEST_DATA / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        buffer = io.BytesIO()
        # No name and no time in the gzip header: a recut of unchanged data is the same file.
        with gzip.GzipFile(filename="", mode="wb", fileobj=buffer, compresslevel=9, mtime=0) as out:
            out.write(_slice_bytes(source, relative, spans))
        if not target.is_file() or target.read_bytes() != buffer.getvalue():
            target.write_bytes(buffer.getvalue())
    md._parsed.cache_clear()


def check(log: Path | None, full: Path) -> int:
    failures = 0
    for relative, spans in md._slices().items():
        if spans == "whole":
            held = gzip.decompress((md.TEST_DATA / relative).read_bytes())
            if held != (full / relative[: -len(".gz")]).read_bytes():
                print(f"differs from the full file: {relative}")
                failures += 1
    for dataset, symbol, interval, start, end in (_requests(log) if log else []):
        mine = md.load_security(dataset, symbol, interval, start=start, end=end)
        theirs = md.load_security(dataset, symbol, interval, start=start, end=end, base=full)
        try:
            pd.testing.assert_frame_equal(mine, theirs, check_exact=True, check_freq=True)
        except AssertionError as error:
            print(f"differs: {dataset} {symbol} {interval} {start} .. {end}: {error}")
            failures += 1
    print(f"{failures} differences")
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--add-log", type=Path, help="widen slices.json to the requests of this log")
    parser.add_argument("--check", type=Path, nargs="?", const=False, default=None,
                        help="compare the slices with the full data (for the requests of this log)")
    args = parser.parse_args()
    full = md.shared_data_dir()
    if not full.is_dir():
        parser.error(f"the full data is not at {full} (set VELMORA_SHARED_DATA)")
    if args.add_log:
        add_log(args.add_log, full)
    cut(full)
    if args.check is not None:
        return 1 if check(args.check or None, full) else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
