"""A research run on the sample data that ships with the repository.

    python examples/research_run.py [--trials 24] [--jobs 2]

Two years of hourly Binance spot klines for eight USDT pairs (examples/data) become an
OHCLV_dataframe. The pairs-trading factor searches its twelve parameters in an optuna study
(trials in worker processes), reruns the best parameters over the training and the held-out
test part, prints the results table and saves the results plot.

Everything lands in out/ at the top of the repository: the study file (a later run continues
the same study; delete it, or call erase_fit_memory, to start afresh) and the plot,
research_run_<study>_trial<n>.png after the study and its best trial.
No network is needed: without it the benchmark download fails, and the table shows alpha and
beta as NaN.
"""

from __future__ import annotations

import argparse
import os
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # no display needed; the plot is written to a file

import matplotlib.pyplot as plt  # noqa: E402
import optuna  # noqa: E402
import pandas as pd  # noqa: E402

from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "examples" / "data" / "binance_spot_1h_2022-2023.csv.gz"
OUT = ROOT / "out"


def load_sample() -> pd.DataFrame:
    """The sample as an OHCLV_dataframe: five columns per pair, a UTC index named "datetime"."""
    frame = pd.read_csv(DATA, index_col=0, parse_dates=True)
    frame.index.name = "datetime"
    return frame


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=24, help="parameter-search trials to run (default 24)")
    parser.add_argument("--jobs", type=int, default=2, help="worker processes (default 2)")
    args = parser.parse_args()

    frame = load_sample()
    print(f"{len(frame)} hourly bars from {frame.index[0]} to {frame.index[-1]}, {len(frame.columns) // 5} pairs")

    OUT.mkdir(exist_ok=True)
    os.chdir(OUT)  # the factor keeps its study file in the working directory

    factor = PairsTradingSerialCointegrationFactor(
        universe_name="crypto",
        raw_OHCLV_dataframe=frame,
        resolution_in_mins=60,
        trading_hours=[],  # crypto trades around the clock
        trades_only_on_weekdays=False,
    )
    factor.fit(n_trials_to_estimate_params=args.trials, n_jobs=args.jobs)

    # The plot is named after the study and the trial it shows: two runs at once (or one after
    # the other) keep their own plots, and a plot of the same trial is the same plot.
    study_file, = OUT.glob("crypto_60_*_PairsTradingSerialCointegrationFactor.db")
    best = optuna.load_study(study_name="PairsTradingSerialCointegrationFactor",
                             storage=f"sqlite:///{study_file.name}").best_trial.number
    results = factor.get_full_backtest_results()
    results.plot_full_results()  # prints the results table, then draws
    figure = OUT / f"research_run_{study_file.stem}_trial{best}.png"
    plt.gcf().savefig(figure, dpi=120, bbox_inches="tight")
    print(f"plot saved to {figure}")
    for study_file in sorted(OUT.glob("crypto_60_*.db")):
        print(f"study kept in {study_file}")


if __name__ == "__main__":
    main()
