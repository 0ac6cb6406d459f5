"""A meta-label run on the sample data that ships with the repository.

    python examples/metalabel_run.py [--trials 24] [--classifier-trials 2] [--jobs 2]

The pairs-trading factor searches its parameters on the sample's hourly bars as the research
run does, then trains the entry classifier on the trades of its best parameters in the
training part, saves the model, and reruns the best parameters with the model vetoing the
entries it rejects.

Through the factor the classifier's purged cross-validation is fixed: the training trades
fall into 10 groups in time, 3 of them test groups (120 folds), with one day of embargo.
Every group needs trades, and a fold learns only from the trades of its seven training
groups: the hourly sample gives the best run about a hundred training trades, ten or so a
group. A longer history, more pairs or a lower entry threshold (starting_sd_for_position_entry,
in a trial queued in the factor's study) give more.

Everything lands in out/ at the top of the repository: both studies in out/metalabel/ (a later
run continues them), the model in out/vodED/saved_models/ (the classifier keeps it in
../vodED/saved_models/ of the working directory).
"""

from __future__ import annotations

import argparse
import io
import os
import sys
from pathlib import Path

from research_run import OUT, load_sample

from velmora.factors.technical.cointpairs import PairsTradingSerialCointegrationFactor
from velmora.vodED.signalsmith import Signalsmith
from velmora.vodED.tradegate import OptimalEntryClassifier


class VetoTally(io.TextIOBase):
    """Passes printed text through, counting the classifier's decisions: a final run prints one
    "CURRENT TIME: ... | PAIR: ... | PREDICTION: True/False" line per entry it judges."""

    def __init__(self, stream):
        self.stream, self.taken, self.vetoed = stream, 0, 0

    def write(self, text):
        self.taken += text.count("| PREDICTION: True")
        self.vetoed += text.count("| PREDICTION: False")
        return self.stream.write(text)

    def flush(self):
        self.stream.flush()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=24, help="factor parameter-search trials (default 24)")
    parser.add_argument("--classifier-trials", type=int, default=2, help="classifier search trials (default 2)")
    parser.add_argument("--jobs", type=int, default=2, help="worker processes (default 2)")
    args = parser.parse_args()

    frame = load_sample()
    work = OUT / "metalabel"
    work.mkdir(parents=True, exist_ok=True)
    os.chdir(work)  # the studies are kept in the working directory, the model in ../vodED/saved_models

    factor = PairsTradingSerialCointegrationFactor(
        universe_name="crypto",
        raw_OHCLV_dataframe=frame,
        resolution_in_mins=60,
        trading_hours=[],
        trades_only_on_weekdays=False,
        vodED_signalsmith=Signalsmith(),
        vodED_tradegate=OptimalEntryClassifier(),
    )
    factor.fit(n_trials_to_estimate_params=args.trials, n_jobs=args.jobs, fit_vodED=True,
               n_trials_to_estimate_params_for_vodED=args.classifier_trials, n_jobs_for_vodED=args.jobs)
    model = OUT / "vodED" / "saved_models" / "PairsTradingSerialCointegrationFactor_OptimalEntryClassifier.pkl"
    print(f"model saved to {model}")

    # The best parameters once more, now with the model judging every entry.
    tally = VetoTally(sys.stdout)
    stdout, sys.stdout = sys.stdout, tally
    try:
        results = factor.get_full_backtest_results()
    finally:
        sys.stdout = stdout
    print(f"the classifier judged {tally.taken + tally.vetoed} entries and vetoed {tally.vetoed} of them")
    print(results.get_full_results())


if __name__ == "__main__":
    main()
