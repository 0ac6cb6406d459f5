"""The README's research run, offline: what it prints is its own output and nothing else."""

import subprocess
import sys
import textwrap
from pathlib import Path

import optuna

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"

# Runs examples/research_run.py with its output folder moved to a temporary one and
# yfinance's download answering as it does without network: its own ERROR lines on the
# "yfinance" logger, a pandas deprecation warning, no data. Nothing may leave the machine.
DRIVER = textwrap.dedent('''
    import logging, sys, warnings
    from pathlib import Path
    import pandas as pd
    import yfinance

    sys.path.append(sys.argv[3])  # the tests folder, behind everything else
    from support.loopback import install
    install()

    def offline_download(tickers, *args, **kwargs):
        log = logging.getLogger("yfinance")
        log.warning("Cookie/crumb fetch failed (DNSError), continuing without crumb")
        log.error("Failed to get ticker %r reason: Could not resolve host", tickers)
        log.error("\\n1 Failed download:")
        warnings.warn("The inplace keyword in DataFrame.rename is deprecated", FutureWarning)
        return pd.DataFrame()
    yfinance.download = offline_download

    sys.path.insert(0, sys.argv[1])
    import research_run
    research_run.OUT = Path(sys.argv[2])
    sys.argv = ["research_run.py", "--trials", "2", "--jobs", "1"]
    research_run.main()
''')


def test_offline_research_run_prints_only_its_own_lines(tmp_path):
    run = subprocess.run([sys.executable, "-c", DRIVER, str(EXAMPLES), str(tmp_path), str(ROOT / "tests")],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    lines = (run.stdout + run.stderr).splitlines()
    noise = [line for line in lines if "yfinance" in line or "Warning" in line or "ERROR" in line]
    assert noise == []
    benchmark = [line for line in lines if line.startswith("WARNING: :Benchmark VT unavailable")]
    assert len(benchmark) == 3  # the training, test and whole stretches, one line each
    assert [line for line in lines if "WARNING" in line] == benchmark
    assert sum("annual_returns" in line for line in lines) == 1  # the table, once
    # The plot is named after the study and the best trial it shows, so runs keep their own.
    study_file, = tmp_path.glob("crypto_60_*_PairsTradingSerialCointegrationFactor.db")
    best = optuna.load_study(study_name="PairsTradingSerialCointegrationFactor",
                             storage=f"sqlite:///{study_file}").best_trial.number
    assert (tmp_path / f"research_run_{study_file.stem}_trial{best}.png").stat().st_size > 10_000
