"""OptimalEntryClassifier: construction and pickling, the pipeline search, the final fit and
its model file, loading and the entry veto.

Searches run on ~40 synthetic trades with 4 groups / 2 test groups (6 folds) and trials whose
parameters are enqueued, so no trial ever draws ten thousand estimators.
"""

import contextlib
import copy
import functools
import gc
import json
import logging
import os
import pickle
import pickletools
import re
import signal
import subprocess
import sys
import textwrap
import warnings
import weakref
from unittest import mock

import joblib
import numpy as np
import optuna
import pandas as pd
import pytest
import scipy.stats
import sklearn
import sklearn.base
import sklearn.metrics
from numpy._core.numeric import _frombuffer as frombuffer
from optuna.distributions import CategoricalDistribution, FloatDistribution, IntDistribution
from sklearn.ensemble import AdaBoostClassifier, BaggingClassifier
from sklearn.feature_selection import SelectPercentile, f_classif
from sklearn.impute import KNNImputer, SimpleImputer
from sklearn.linear_model import LogisticRegression
from sklearn.naive_bayes import ComplementNB, GaussianNB
from sklearn.preprocessing import MinMaxScaler, StandardScaler
from timeseriescv.cross_validation import CombPurgedKFoldCV

from support.search_lock import search_lock_name
from support.trades import CHEAP, make_trades, stub_objective
from velmora.vodED import tradegate
from velmora.vodED.tradegate import OptimalEntryClassifier

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)  # numpy.core is a shim for old pickles
    from numpy.core import _ufunc_reconstruct as ufunc_reconstruct

LOAD = "__check_and_load_optimal_entry_classifier"
OBJECTIVE = "__single_instance_optimal_entry_classifier_chimera_fit"
SINGLE = "__fit_single_instance"
SUFFIX = "_OptimalEntryClassifier"
TAG = " | OPTIMAL ENTRY CLASSIFIER VODED"
MODEL_KEYS = ["imputer", "no_variance_cols", "features_to_drop_from_multicollinearity",
              "scaler", "select_top_k_features", "classifier_model"]
FAMILIES = ["AdaBoostClassifierLogisticRegression", "AdaBoostClassifierComplementNB",
            "AdaBoostClassifierGaussianNB", "BaggingClassifierLogisticRegression",
            "BaggingClassifierComplementNB", "BaggingClassifierGaussianNB"]

# A model of every family the search space produces: both ensembles over each base estimator
# (logistic regression with each penalty, so with each solver, and either class weighting),
# each imputer setting and both score functions.
LR_BASES = [("LogisticRegression", "l1", "None"), ("LogisticRegression", "l2", "balanced"),
            ("LogisticRegression", "elasticnet", "balanced")]
NB_BASES = [("ComplementNB", "l2", "None"), ("GaussianNB", "l2", "None")]
IMPUTERS = (
    [dict(imputer_to_use="KNNImputer", KNNImputer_weights=w) for w in ["uniform", "distance"]]
    + [dict(imputer_to_use="SimpleImputer", SimpleImputer_weights=s)
       for s in ["mean", "median", "most_frequent", "constant"]])
GENUINE = [
    dict(CHEAP, classifier_model_to_use=ensemble + base, lr_penalty=penalty,
         lr_class_weight=weight, score_func_to_use=["f_classif", "mutual_info_classif"][i % 2],
         **IMPUTERS[i % len(IMPUTERS)])
    for i, (ensemble, (base, penalty, weight)) in enumerate(
        (ensemble, base) for ensemble in ["AdaBoostClassifier", "BaggingClassifier"]
        for base in LR_BASES + NB_BASES)]

SEARCH_SPACE = {
    "score_func_to_use": CategoricalDistribution(["f_classif", "mutual_info_classif"]),
    "select_top_k_features_percentile": IntDistribution(20, 100),
    "classifier_model_to_use": CategoricalDistribution(FAMILIES),
    "AdaBoostClassifier_n_estimators": IntDistribution(1, 10000, log=True),
    "AdaBoostClassifier_learning_rate": FloatDistribution(1e-5, 100, log=True),
    "lr_penalty": CategoricalDistribution(["l2", "l1", "elasticnet"]),
    "lr_c": FloatDistribution(1e-5, 100, log=True),
    "lr_class_weight": CategoricalDistribution(["None", "balanced"]),
    "lr_max_iter": IntDistribution(1000, 10000),
    "lr_l1_ratio": FloatDistribution(1e-5, 1, log=True),
    "cnb_alpha": FloatDistribution(1e-5, 100, log=True),
    "gnb_var_smoothing": FloatDistribution(1e-12, 100, log=True),
    "BaggingClassifier_n_estimators": IntDistribution(1, 10000, log=True),
    "BaggingClassifier_max_samples": FloatDistribution(0.1, 1, log=True),
    "BaggingClassifier_max_features": FloatDistribution(0.1, 1, log=True),
    "imputer_to_use": CategoricalDistribution(["KNNImputer", "SimpleImputer"]),
    "KNNImputer_n_neighbors": IntDistribution(1, 5),
    "KNNImputer_weights": CategoricalDistribution(["uniform", "distance"]),
    "SimpleImputer_weights": CategoricalDistribution(["mean", "median", "most_frequent", "constant"]),
}


def folds_of(trades):
    return CombPurgedKFoldCV(n_splits=4, n_test_splits=2, embargo_td=pd.Timedelta("1h")).split(
        X=trades["X_train_df"], y=trades["y_train_series"],
        pred_times=trades["train_time_of_entry_series"],
        eval_times=trades["train_time_of_exit_series"])


def run_objective(trades, params, folds=None, X=None, number=0):
    t = dict(trades)
    if X is not None:
        t["X_train_df"] = X
    objective = getattr(OptimalEntryClassifier(), OBJECTIVE)
    return objective(t["X_train_df"], t["y_train_series"], folds_of(t) if folds is None else folds,
                     t["complete_datetime_index_series"], t["train_time_of_entry_series"],
                     t["train_time_of_exit_series"], t["impact_series"],
                     optuna.trial.FixedTrial(params, number=number))


def study_of(factor_name="F", storage_name="S"):
    return optuna.create_study(study_name=factor_name + SUFFIX,
                               storage=f"sqlite:///{storage_name.replace('%', '%25')}{SUFFIX}.db",
                               direction="maximize", load_if_exists=True)


def fit_with(trades, *param_sets, factor_name="F", storage_name="S", classifier=None, **kwargs):
    study = study_of(factor_name, storage_name)
    for params in param_sets:
        study.enqueue_trial(params)
    classifier = classifier or OptimalEntryClassifier()
    kwargs.setdefault("n_trials_to_estimate_params", max(1, len(param_sets)))
    classifier.fit(**trades, n_splits=4, n_test_splits=2, factor_name=factor_name,
                   storage_name=storage_name, **kwargs)
    return classifier


def add_best_trial(params, factor_name="F"):
    """A finished trial holding params, the best of its otherwise empty study."""
    study_of(factor_name).add_trial(optuna.trial.create_trial(
        params=params, value=0.99,
        distributions={key: CategoricalDistribution([value]) for key, value in params.items()}))


def write_best_model(params, factor_name="F", trades=None):
    """The final fit alone (no search) of a best trial holding params: writes its model file."""
    add_best_trial(params, factor_name)
    return fit_with(trades or make_trades(), factor_name=factor_name, n_trials_to_estimate_params=0)


def load(classifier, factor_name="F"):
    return getattr(classifier, LOAD)(factor_name=factor_name)


def constructor_values(classifier):
    return classifier.__reduce__()[1]


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == " "]


def reference_features(model, X):
    """The documented stage order up to the classifier, written with pandas and scikit-learn directly."""
    cleaned = X.mask(X.abs() > 1e15).where(~np.isclose(X, 0), 0.0)
    imputed = pd.DataFrame(model["imputer"].transform(cleaned), columns=X.columns)
    kept = imputed.iloc[:, model["no_variance_cols"]].drop(
        model["features_to_drop_from_multicollinearity"], axis=1)
    return model["select_top_k_features"].transform(model["scaler"].transform(kept))


def reference_predict(model, X):
    return model["classifier_model"].predict(reference_features(model, X))


def models_dir(workdir):
    return workdir / "vodED" / "saved_models"


def read_model(workdir, factor_name="F"):
    with open(models_dir(workdir) / f"{factor_name}{SUFFIX}.pkl", "rb") as f:
        return pickle.load(f)


# ---------------------------------------------------------------- construction, pickling

def test_constructor_defaults_and_none_skipping():
    defaults = constructor_values(OptimalEntryClassifier())
    assert defaults[:4] == (None, None, 10, 3)
    assert defaults[4] == pd.Timedelta(days=1)
    assert defaults[5:] == (None,) * 6
    # one default Timedelta, made when the module loads
    assert constructor_values(OptimalEntryClassifier())[4] is defaults[4]
    # a None argument is skipped, so the field keeps its initial None, not the default
    assert constructor_values(OptimalEntryClassifier(n_splits=None))[2] is None
    assert constructor_values(OptimalEntryClassifier(*range(11))) == tuple(range(11))

    classifier = OptimalEntryClassifier("s", "u", 5, 2)
    assert classifier.restore_mp_variables(None, "v", None, 4, *[None] * 7) is None
    assert constructor_values(classifier)[:4] == ("s", "v", 5, 4)


@pytest.mark.parametrize("call", [
    lambda: OptimalEntryClassifier(*range(12)),
    lambda: OptimalEntryClassifier(bogus=1),
    lambda: OptimalEntryClassifier().restore_mp_variables(*range(10)),
    lambda: OptimalEntryClassifier().restore_mp_variables(*range(12)),
    lambda: OptimalEntryClassifier().predict(),
    lambda: OptimalEntryClassifier().predict(X=pd.DataFrame()),
], ids=["ctor-12", "ctor-keyword", "restore-10", "restore-12", "predict-0", "predict-keyword"])
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_constructor_goes_through_an_overridden_restore():
    calls = []

    class Recording(OptimalEntryClassifier):
        def restore_mp_variables(self, *values):
            calls.append(values)
            super().restore_mp_variables(*values)

    classifier = Recording(study_name="x", n_splits=4)
    assert len(calls) == 1 and len(calls[0]) == 11
    assert calls[0][0] == "x" and calls[0][2] == 4
    assert constructor_values(classifier)[:3] == ("x", None, 4)


def test_pickling_rebuilds_from_constructor_values():
    frame = pd.DataFrame({"a": [1.0, 2.0]})
    classifier = OptimalEntryClassifier("study", "sqlite:///x.db", 6, 2, pd.Timedelta("2h"), frame)
    rebuild, values = classifier.__reduce__()
    assert rebuild.__module__ == "velmora.utils.pickling.rebuilds"
    copy = pickle.loads(pickle.dumps(classifier))
    assert type(copy) is OptimalEntryClassifier
    copied = constructor_values(copy)
    assert copied[:5] == ("study", "sqlite:///x.db", 6, 2, pd.Timedelta("2h"))
    pd.testing.assert_frame_equal(copied[5], frame)


def test_a_reference_cycle_through_a_field_is_collected():
    class Box:
        pass

    box = Box()
    box.classifier = OptimalEntryClassifier(X_train_df=box)
    ref = weakref.ref(box)
    del box
    gc.collect()
    assert ref() is None


def test_import_silences_user_future_and_convergence_warnings_process_wide():
    code = (
        "import warnings\n"
        "import velmora.vodED.tradegate\n"
        "from sklearn.exceptions import ConvergenceWarning\n"
        "with warnings.catch_warnings(record=True) as caught:\n"
        "    for category in (UserWarning, FutureWarning, ConvergenceWarning, RuntimeWarning):\n"
        "        warnings.warn('x', category)\n"
        "print([w.category.__name__ for w in caught])\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         check=True)
    assert out.stdout.strip() == "['RuntimeWarning']"


# ---------------------------------------------------------------- one trial

@pytest.mark.parametrize("family, imputer", [
    ("AdaBoostClassifierGaussianNB", "SimpleImputer"),
    ("AdaBoostClassifierLogisticRegression", "KNNImputer"),
    ("BaggingClassifierGaussianNB", "KNNImputer"),
    ("BaggingClassifierLogisticRegression", "SimpleImputer"),
])
def test_trial_on_separable_trades_scores_well_above_chance(caplog, family, imputer):
    trades = make_trades(60, seed=1)
    X = trades["X_train_df"].assign(float64_ht_dcphase_spread=np.nan)  # missing in every row
    score = run_objective(trades, dict(CHEAP, classifier_model_to_use=family, imputer_to_use=imputer),
                          X=X)
    assert score > 0.65
    assert not [m for m in messages(caplog) if "AFTER AN ERROR" in m]


def warnings_logged(caplog):
    return [r.getMessage() for r in caplog.records if r.name == " " and r.levelno >= logging.WARNING]


def test_a_trial_whose_folds_all_fail_on_one_cause_warns_once(monkeypatch, caplog):
    """Found as one trial printing 58 near-identical lines: AdaBoost refusing, fold after fold,
    a base estimator worse than random. Here every fold's base estimator predicts the opposite
    of what it learnt, so AdaBoost itself raises on each of the six real folds."""
    learnt = GaussianNB.predict
    monkeypatch.setattr(GaussianNB, "predict", lambda self, X: 1 - learnt(self, X))
    score = run_objective(make_trades(), CHEAP, number=58)
    assert score == 0.0
    error = ("ValueError: BaseClassifier in AdaBoostClassifier ensemble is worse than random, "
             "ensemble can not be fit.")
    summary = f"TRIAL NUM 58: 6 OF 6 FOLDS SCORED 0 AFTER AN ERROR: {error} (6 FOLDS){TAG}"
    assert warnings_logged(caplog) == [summary]
    log = messages(caplog)  # after the last fold, right before the trial's closing line
    assert log[log.index(summary) + 1] == f"FINISHED TRIAL NUM 58 WITH OBJECTIVE SCORE: 0.0{TAG}\n"


SKIPPED = "skipped"  # a fold without training rows: neither scored nor counted


def script_f1_scores(monkeypatch, outcomes):
    """Makes each fold's F1 score the next of `outcomes` (an exception is raised instead);
    returns the iterator, to check every outcome was used."""
    script = iter(outcomes)

    def scripted_f1(y_true, y_pred):
        outcome = next(script)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    monkeypatch.setattr(sklearn.metrics, "f1_score", scripted_f1)
    return script


@pytest.mark.parametrize("outcomes, listing", [
    ([0.5, 0.7, SKIPPED], None),
    ([0.5, ValueError("bad"), SKIPPED], "1 OF 2 FOLDS SCORED 0 AFTER AN ERROR: ValueError: bad (1 FOLD)"),
    ([ValueError("x"), 0.8, ValueError("x"), ValueError("x")],
     "3 OF 4 FOLDS SCORED 0 AFTER AN ERROR: ValueError: x (3 FOLDS)"),
    # distinct messages in the order they first came, not by count or name
    ([RuntimeError("b"), 0.6, ValueError("a"), ValueError("a"), RuntimeError("b"), ValueError("a")],
     "5 OF 6 FOLDS SCORED 0 AFTER AN ERROR: RuntimeError: b (2 FOLDS); ValueError: a (3 FOLDS)"),
    ([ValueError("a"), SKIPPED, ValueError("b"), ValueError("a")],
     "3 OF 3 FOLDS SCORED 0 AFTER AN ERROR: ValueError: a (2 FOLDS); ValueError: b (1 FOLD)"),
], ids=["no-failure", "one-failure", "one-cause", "two-causes", "same-class-two-texts"])
def test_failing_folds_score_0_and_are_told_once_per_trial(monkeypatch, caplog, outcomes, listing):
    scored = [o for o in outcomes if o is not SKIPPED]
    script = script_f1_scores(monkeypatch, scored)
    train, test = np.arange(20), np.arange(25, 40)
    folds = [(np.array([], dtype=int), test) if o is SKIPPED else (train, test) for o in outcomes]
    score = run_objective(make_trades(), CHEAP, folds=folds, number=3)
    assert next(script, None) is None  # every counted fold was scored
    assert score == pytest.approx(np.mean([0.0 if isinstance(o, Exception) else o for o in scored]))
    assert warnings_logged(caplog) == ([] if listing is None else [f"TRIAL NUM 3: {listing}{TAG}"])


LIBLINEAR_WARNING = "WARNING: class label 1 specified in weight is not found"
# liblinear weighting a class that the fit's sample weights leave out: it says so with fprintf
# on the process's stderr, once per ensemble member
WARNING_PRONE = dict(CHEAP, classifier_model_to_use="BaggingClassifierLogisticRegression",
                     lr_penalty="l2", lr_class_weight="balanced")


def raw_solver_lines(text):
    return [line for line in text.splitlines()
            if re.fullmatch(r"WARNING: class label -?\d+ specified in weight is not found", line)]


@pytest.mark.parametrize("f1_outcomes, summary", [
    ([0.5, 0.7, 0.6], f"3 OF 3 FOLDS PRINTED SOLVER WARNINGS: {LIBLINEAR_WARNING} (9 TIMES)"),
    ([0.5, ValueError("bad"), 0.7],
     f"1 OF 3 FOLDS SCORED 0 AFTER AN ERROR: ValueError: bad (1 FOLD). "
     f"3 OF 3 FOLDS PRINTED SOLVER WARNINGS: {LIBLINEAR_WARNING} (9 TIMES)"),
], ids=["warnings-only", "with-a-failing-fold"])
@pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::UserWarning")  # scikit-learn's, on so few rows
def test_solver_warnings_reach_the_caller_only_through_the_fold_summary(
        monkeypatch, caplog, capfd, f1_outcomes, summary):
    trades = make_trades()
    labels = trades["y_train_series"].values
    train, test = np.arange(20), np.arange(25, 40)

    class LeavingOutClassOne:
        def fit_transform(self, grid, starts, ends, impact):
            return np.where(labels[train] == 1, 0.0, 1.0)

    monkeypatch.setattr(tradegate, "SampleWeights", LeavingOutClassOne)
    script_f1_scores(monkeypatch, f1_outcomes)
    # what the caller's own code writes to stderr while a solver runs is handed back, raw
    # descriptor writes and a last line without a break included
    solver_fit = LogisticRegression.fit

    long_line = b"x" * 10_000 + b"\n"  # longer than any line held back for a look
    lookalike = f"{LIBLINEAR_WARNING}, said the caller\n".encode()

    def talkative_fit(self, X, y, sample_weight=None):  # the ensemble reads the signature
        os.write(2, b"caller's own line\n" + long_line + lookalike)
        sys.stderr.write("caller's text through sys.stderr\n")
        fitted = solver_fit(self, X, y, sample_weight=sample_weight)
        os.write(2, b"no line break")
        return fitted

    monkeypatch.setattr(LogisticRegression, "fit", talkative_fit)
    capfd.readouterr()
    run_objective(trades, WARNING_PRONE, folds=[(train, test)] * 3, number=4)
    err = capfd.readouterr().err
    assert raw_solver_lines(err) == []
    assert err.count("caller's own line\n") == 9 and err.count("caller's text through sys.stderr\n") == 9
    assert err.count("no line break") == 9
    assert err.count(long_line.decode()) == 9 and err.count(lookalike.decode()) == 9
    assert warnings_logged(caplog) == [f"TRIAL NUM 4: {summary}{TAG}"]


def test_solver_warnings_in_worker_processes_and_the_final_fit_are_summarised(tmp_path):
    # Many small bootstrap samples: some ensemble members see only one class.
    params = dict(WARNING_PRONE, BaggingClassifier_n_estimators=20, BaggingClassifier_max_samples=0.1)
    script = textwrap.dedent(f"""
        import logging, os, sys
        sys.path.insert(0, {os.path.join(os.path.dirname(__file__), os.pardir)!r})
        import optuna
        from support.trades import make_trades
        from velmora.vodED.tradegate import OptimalEntryClassifier
        os.makedirs("cwd"); os.chdir("cwd")
        optuna.create_study(study_name="F_OptimalEntryClassifier", direction="maximize",
                            storage="sqlite:///S_OptimalEntryClassifier.db").enqueue_trial({params!r})
        OptimalEntryClassifier().fit(**make_trades(), n_splits=4, n_test_splits=2, factor_name="F",
                                     storage_name="S", n_trials_to_estimate_params=1, n_jobs=2)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    ran = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, env=env, capture_output=True,
                         text=True, timeout=300)
    assert ran.returncode == 0, ran.stderr[-4000:]
    assert raw_solver_lines(ran.stderr) == []
    trial_summaries = [line for line in ran.stderr.splitlines()
                       if line.startswith("WARNING: :TRIAL NUM 0: ") and "PRINTED SOLVER WARNINGS" in line]
    assert len(trial_summaries) == 1
    assert re.search(r"FOLDS PRINTED SOLVER WARNINGS: WARNING: class label [01] specified in weight "
                     r"is not found \(\d+ TIMES?\)", trial_summaries[0])
    # Whether one of the final fit's bootstrap samples leaves a class out depends on the
    # scikit-learn release's draws (the newest ones do here, 1.4.2 does not); where it prints,
    # it is told in one summary line, and never as raw lines (checked above).
    final = [line for line in ran.stderr.splitlines() if "THE FIT TO THE TRAINING SET PRINTED" in line]
    assert len(final) <= 1
    if tuple(int(part) for part in sklearn.__version__.split(".")[:2]) >= (1, 6):
        assert final and "SOLVER WARNINGS: WARNING: class label" in final[0]


def test_trial_score_without_usable_folds(caplog):
    trades = make_trades()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # numpy: mean of an empty slice
        assert np.isnan(run_objective(trades, CHEAP, folds=iter([])))
    # one feature and a 20th percentile: the selector keeps nothing, the fold scores 0
    # without an error
    lone = trades["X_train_df"][["float64_signal_spread"]]
    params = dict(CHEAP, select_top_k_features_percentile=20)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        assert run_objective(trades, params, X=lone) == 0.0
    assert not [m for m in messages(caplog) if "AFTER AN ERROR" in m]


@pytest.mark.parametrize("folds, error", [
    ([(np.arange(10), np.arange(10, 20), np.arange(5))], ValueError),  # not a pair
    ([(np.array([1000]), np.arange(10))], IndexError),  # training rows are taken unguarded
])
def test_malformed_folds_fail_the_trial(folds, error):
    with pytest.raises(error):
        run_objective(make_trades(), CHEAP, folds=folds)


def test_folds_fit_on_purged_training_trades_and_score_on_unseen_ones(workdir, monkeypatch):
    """Through the real purged folds: each fold's stages are fitted on trades that neither
    are test trades nor overlap one in time (entries are prediction times, exits evaluation
    times), test trades are only transformed, and the final fit sees every trade."""
    seen = []  # (method, rows) in call order

    def spy(method):
        original = getattr(SimpleImputer, method)

        def recorded(self, X, *args, **kwargs):
            seen.append((method, X["row"].to_numpy().astype(int)))
            return original(self, X, *args, **kwargs)
        return recorded

    monkeypatch.setattr(SimpleImputer, "fit", spy("fit"))
    monkeypatch.setattr(SimpleImputer, "transform", spy("transform"))
    trades = make_trades()
    trades["X_train_df"] = trades["X_train_df"].assign(row=np.arange(40.0))
    fit_with(trades, CHEAP, embargo_td=pd.Timedelta("1h"))

    entry = trades["train_time_of_entry_series"].to_numpy()
    exit_ = trades["train_time_of_exit_series"].to_numpy()
    fits, tests = [], []
    for method, rows in seen:
        if method == "fit":
            fits.append(rows)
        elif not np.array_equal(rows, fits[-1]):  # not the fitted rows themselves: test rows
            tests.append(rows)
    *fold_fits, final_fit = fits
    assert len(fold_fits) == len(tests) == 6  # C(4, 2) folds, all usable
    for train, test in zip(fold_fits, tests):
        assert len(train) > 0 and len(test) > 0
        assert not set(train) & set(test)
        overlapping = (entry[train][:, None] <= exit_[test][None, :]) & (
            entry[test][None, :] <= exit_[train][:, None])
        assert not overlapping.any()
    np.testing.assert_array_equal(final_fit, np.arange(40))


def test_sample_weights_come_from_the_class_bound_in_the_module(workdir, monkeypatch):
    """Every fold and the final fit weigh their training trades through the module's
    SampleWeights, looked up when used, with the whole datetime grid and the fitted rows'
    entries, exits and impacts."""
    calls = []

    class Recording(tradegate.SampleWeights):
        def fit_transform(self, *arrays):
            calls.append(arrays)
            return super().fit_transform(*arrays)

    monkeypatch.setattr(tradegate, "SampleWeights", Recording)
    trades = make_trades()
    fit_with(trades, CHEAP, embargo_td=pd.Timedelta("1h"))

    grid = trades["complete_datetime_index_series"].values
    assert len(calls) == 7  # C(4, 2) folds, then the final fit
    for complete, entries, exits, impacts in calls:
        np.testing.assert_array_equal(complete, grid)
        assert len(entries) == len(exits) == len(impacts) > 0
    final = calls[-1]
    np.testing.assert_array_equal(final[1], trades["train_time_of_entry_series"].values)
    np.testing.assert_array_equal(final[3], trades["impact_series"].values)


def brute_force_purge(entry, exit_, train, test, embargo):
    """Training trades that neither overlap a test trade nor start within the embargo after
    one ends."""
    return [i for i in train
            if not any(entry[j] <= exit_[i] and entry[i] <= exit_[j] + embargo for j in test)]


@pytest.mark.parametrize("seed, embargo", [(0, "0h"), (1, "1h"), (2, "5h"), (3, "1D")])
def test_purged_folds_match_a_brute_force_purge(seed, embargo):
    """timeseriescv 0.2 skips the embargo after a test block when its window reaches the end
    of the sample, keeping training trades that overlap the block's test trades."""
    rng = np.random.default_rng(seed)
    n = 60
    start = pd.Timestamp("2021-01-01", tz="UTC")
    entry = pd.Series(start + pd.to_timedelta(np.cumsum(rng.integers(0, 4, n)), unit="h"))
    exit_ = entry + pd.to_timedelta(rng.integers(0, 10, n), unit="h")
    X = pd.DataFrame({"a": np.zeros(n)})
    embargo_td = pd.Timedelta(embargo)
    folds = list(CombPurgedKFoldCV(n_splits=5, n_test_splits=2, embargo_td=embargo_td).split(
        X, pred_times=entry, eval_times=exit_))
    purged = list(tradegate._PurgedFolds(folds, entry, exit_, embargo_td))
    assert len(purged) == len(folds) == 10
    e, x = entry.to_numpy(), exit_.to_numpy()
    for (train, test), (purged_train, purged_test) in zip(folds, purged):
        assert purged_test is test
        assert list(purged_train) == brute_force_purge(e, x, train, test, embargo_td.to_numpy())


def test_rows_are_cleaned_before_imputation_and_the_caller_frame_is_untouched(monkeypatch):
    seen = {"fit": [], "transform": []}
    fit_transform, transform = SimpleImputer.fit_transform, SimpleImputer.transform

    def spy_fit_transform(self, X, *args, **kwargs):
        seen["fit"].append(X.copy())
        return fit_transform(self, X, *args, **kwargs)

    def spy_transform(self, X, *args, **kwargs):
        seen["transform"].append(X.copy())
        return transform(self, X, *args, **kwargs)

    monkeypatch.setattr(SimpleImputer, "fit_transform", spy_fit_transform)
    monkeypatch.setattr(SimpleImputer, "transform", spy_transform)
    trades = make_trades()
    raw = [1e15, -1e15, 2e15, -2e16, 1e-9, -5e-9, 1e-7, np.nan, np.inf, -np.inf]
    cleaned = [1e15, -1e15, np.nan, np.nan, 0.0, 0.0, 1e-7, np.nan, np.nan, np.nan]
    X = trades["X_train_df"].copy()
    X.iloc[:10, 3] = raw
    before = X.copy()
    run_objective(trades, CHEAP, folds=[(np.arange(30), np.arange(10))], X=X)
    np.testing.assert_array_equal(seen["fit"][0].iloc[:10, 3].to_numpy(), cleaned)
    np.testing.assert_array_equal(seen["transform"][-1].iloc[:, 3].to_numpy(), cleaned)
    pd.testing.assert_frame_equal(X, before)


# ---------------------------------------------------------------- search and study

def test_fit_records_the_search_space_and_logs_each_step(workdir, caplog):
    trades = make_trades()
    classifier = fit_with(trades, CHEAP, factor_name="", storage_name="")
    # the defaults name the study and both files after the suffix alone
    assert (workdir / "cwd" / f"{SUFFIX}.db").is_file()
    assert (models_dir(workdir) / f"{SUFFIX}.pkl").is_file()
    assert constructor_values(classifier)[:2] == (SUFFIX, f"sqlite:///{SUFFIX}.db")

    trial = study_of("", "").trials[0]
    assert list(trial.distributions.items()) == list(SEARCH_SPACE.items())
    assert trial.params == CHEAP

    score = str(round(trial.value, 3))
    log = messages(caplog)
    dashes = "-" * 29
    # A trial's first line tells how many folds it fits: the splitter's own count.
    n_folds = len(list(folds_of(trades)))
    expected = [
        f"{dashes}BEGINNING MULTIPROCESSED IN-SAMPLE VODED OPTIMISATION{dashes}",
        f"RUNNING TRIAL NUM 0 TO OPTIMISE PARAMETERS IN-SAMPLE OVER {n_folds} FOLDS{TAG}",
        f"FINISHED TRIAL NUM 0 WITH OBJECTIVE SCORE: {score}{TAG}\n",
        f"{dashes}IN-SAMPLE VODED OPTIMISATION COMPLETE{dashes}",
        f"BEST TRIAL SO FAR: 0 WITH SCORE: {score} | Optimal Entry Classifier\n",
        f"{dashes}BEGINNING FITTING TO TRAINING SET VODED{dashes}",
    ]
    assert [m for m in log if m in expected] == expected
    assert re.fullmatch(r"FINISHED FITTING VODED TO TRAINING SET WITH OBJECTIVE SCORE: "
                        r"(1\.0|0\.\d{1,3})" + re.escape(TAG) + "\n", log[-1])


def test_trial_numbers_count_within_their_own_study(workdir, caplog):
    trades = make_trades()
    fit_with(trades, CHEAP, factor_name="A")
    caplog.clear()
    fit_with(trades, CHEAP, factor_name="B")  # same SQLite file, second study
    assert f"RUNNING TRIAL NUM 0 TO OPTIMISE PARAMETERS IN-SAMPLE OVER 6 FOLDS{TAG}" in messages(caplog)


class FakeParallel:
    """joblib.Parallel run in this process, so that test subclasses are honoured."""
    calls = []

    def __init__(self, n_jobs):
        FakeParallel.calls.append(n_jobs)

    def __call__(self, jobs):
        return [function(*args, **kwargs) for function, args, kwargs in jobs]


@pytest.mark.parametrize("n_jobs, held, queued, n, indices, seeding", [
    (1, 0, 0, 3, [0, 1, 2], False),
    (-1, 0, 0, 3, [0, 1, 2], True),   # seeding trial 0 in process, then jobs 1 and 2
    (4, 2, 0, 2, [2, 3], False),      # a continued study: seeds move past its trials
    (4, 3, 2, 3, [3, 4, 5], False),   # two of the three held are queued: run first, in process
    (-1, 0, 0, 1, [0], True),         # the seeding trial alone
    (0, 0, 0, 2, [0, 1], False),      # handed to joblib unchanged
])
def test_search_control_flow_and_seeds(workdir, monkeypatch, caplog, n_jobs, held, queued, n,
                                       indices, seeding):
    study = study_of()
    study.optimize(lambda trial: stub_objective(None, *[None] * 7, trial), n_trials=held - queued)
    for _ in range(queued):
        study.enqueue_trial(CHEAP)

    FakeParallel.calls = []
    monkeypatch.setattr(joblib, "Parallel", FakeParallel)
    seeds = []
    sampler = optuna.samplers.TPESampler

    def recording_sampler(**kwargs):
        seeds.append(kwargs.get("seed"))
        return sampler(**kwargs)

    monkeypatch.setattr(optuna.samplers, "TPESampler", recording_sampler)
    ran = []

    class Stub(OptimalEntryClassifier):
        pass

    def single(self, i):
        ran.append(i)
        getattr(super(Stub, self), SINGLE)(i)

    setattr(Stub, SINGLE, single)
    setattr(Stub, OBJECTIVE, stub_objective)

    classifier = Stub()
    classifier.fit(**make_trades(), factor_name="F", storage_name="S",
                   n_trials_to_estimate_params=n, n_jobs=n_jobs)

    assert ran == indices
    assert seeds == [69] + [69 + i for i in indices] + [69]
    assert FakeParallel.calls == [n_jobs]
    assert len(study_of().trials) == held + n - queued
    assert not study_of().get_trials(states=(optuna.trial.TrialState.WAITING,))
    banners = [m.strip("-") for m in messages(caplog) if m.startswith("-" * 29)]
    seeding_banners = ["BEGINNING IN-SAMPLE VODED OPTIMISATION",
                       "STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT",
                       "FITTING SINGLE FIT BEFORE MULTIPROCESSING"]
    opening = (seeding_banners if seeding else []) + [
        "BEGINNING MULTIPROCESSED IN-SAMPLE VODED OPTIMISATION"]
    assert banners[:len(opening)] == opening
    assert banners.count("BEGINNING IN-SAMPLE VODED OPTIMISATION") == int(seeding)
    assert constructor_values(classifier)[:5] == (
        "F" + SUFFIX, f"sqlite:///S{SUFFIX}.db", 10, 3, pd.Timedelta(days=1))


def test_ctrl_c_ends_the_search_instead_of_failing_trial_after_trial(workdir, monkeypatch):
    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(sklearn.metrics, "f1_score", interrupted)
    with pytest.raises(KeyboardInterrupt):  # not scored 0 by the fold guard
        run_objective(make_trades(), CHEAP)

    class Interrupted(OptimalEntryClassifier):
        pass

    setattr(Interrupted, OBJECTIVE, lambda self, *args: interrupted())
    with pytest.raises(KeyboardInterrupt):
        Interrupted().fit(**make_trades(), factor_name="F", storage_name="S",
                          n_trials_to_estimate_params=5)
    assert [t.state for t in study_of().trials] == [optuna.trial.TrialState.FAIL]


def test_parallel_search_in_worker_processes(workdir, monkeypatch):
    trades = make_trades()
    # One known trial, run by a worker (the enqueued trial makes the study non-empty, so
    # there is no seeding trial here). One only: a search of more trials runs its queued
    # ones in this process.
    classifier = fit_with(trades, CHEAP, n_jobs=2)
    trials = study_of().trials
    assert len(trials) == 1
    assert all(t.state == optuna.trial.TrialState.COMPLETE and t.value > 0.5 for t in trials)
    assert load(classifier) is True
    assert classifier.predict(trades["X_train_df"].iloc[[0]]) in (0, 1)

    # joblib reuses its workers: they must follow a change of working directory
    other = workdir / "other"
    other.mkdir()
    monkeypatch.chdir(other)
    fit_with(trades, CHEAP, n_jobs=2)
    assert [t.state for t in study_of().trials] == [optuna.trial.TrialState.COMPLETE]
    monkeypatch.chdir(workdir / "cwd")
    assert len(study_of().trials) == 1


def test_queued_trials_run_once_each_in_a_parallel_search(workdir, monkeypatch):
    # Two workers that start together on a study holding queued trials both reach for the
    # first of them: repeated so that the meeting happens, on fresh studies each time.
    trades = make_trades()
    queued = [CHEAP, dict(CHEAP, SimpleImputer_weights="median")]
    for attempt in range(6):
        folder = workdir / f"attempt{attempt}"
        folder.mkdir()
        monkeypatch.chdir(folder)
        fit_with(trades, *queued, n_jobs=2)
        trials = study_of().trials
        assert len(trials) == 2
        for params in queued:
            assert [t.state for t in trials if t.params == params] == [optuna.trial.TrialState.COMPLETE]


# Pipelines that draw from a random generator: bagging's samples and features, mutual
# information's noise, liblinear's coordinate order.
STOCHASTIC = [
    dict(CHEAP, classifier_model_to_use="BaggingClassifierGaussianNB",
         BaggingClassifier_n_estimators=5, BaggingClassifier_max_samples=0.5,
         BaggingClassifier_max_features=0.6),
    dict(CHEAP, classifier_model_to_use="BaggingClassifierLogisticRegression", lr_penalty="l1",
         lr_c=0.5, BaggingClassifier_n_estimators=3, BaggingClassifier_max_samples=0.6),
    dict(CHEAP, classifier_model_to_use="AdaBoostClassifierLogisticRegression", lr_penalty="l1",
         lr_c=0.3, AdaBoostClassifier_n_estimators=3, score_func_to_use="mutual_info_classif",
         select_top_k_features_percentile=50),
    dict(CHEAP, score_func_to_use="mutual_info_classif", select_top_k_features_percentile=40,
         BaggingClassifier_max_samples=0.3),
]


def random_state():
    state = np.random.get_state()
    return state[0], state[1].tolist(), state[2:]


def values_by_params(study):
    return {json.dumps(t.params, sort_keys=True): t.value for t in study.trials}


def model_probabilities(model, X):
    return model["classifier_model"].predict_proba(reference_features(model, X))


def search_in(folder, monkeypatch, caller_seed, n_jobs=1):
    """A fresh search of every STOCHASTIC pipeline in folder/cwd, the caller's generator seeded
    with caller_seed first. In worker processes each search holds one queued trial, which a
    worker runs (a search of several runs its queued trials in this process)."""
    (folder / "cwd").mkdir(parents=True)
    monkeypatch.chdir(folder / "cwd")
    np.random.seed(caller_seed)
    trades = make_trades()
    batches = [STOCHASTIC] if n_jobs == 1 else [[params] for params in STOCHASTIC]
    for batch in batches:
        fit_with(trades, *batch, n_jobs=n_jobs)
    with open(folder / "vodED" / "saved_models" / f"F{SUFFIX}.pkl", "rb") as f:
        model = pickle.load(f)
    return values_by_params(study_of()), model


def test_searches_score_equal_pipelines_alike_whatever_the_caller_drew(workdir, monkeypatch):
    first, first_model = search_in(workdir / "a", monkeypatch, caller_seed=1)
    np.random.seed(2)
    before = random_state()
    second, second_model = search_in(workdir / "b", monkeypatch, caller_seed=2)
    assert len(first) == len(STOCHASTIC)
    assert second == first
    # the final fit too: the same vetoes from the same model file
    X = make_trades(seed=5)["X_train_df"]
    assert np.array_equal(model_probabilities(first_model, X), model_probabilities(second_model, X))
    # the search drew nothing from the caller's generator ... and seeded nothing there
    np.random.seed(2)
    assert random_state() == before
    search_in(workdir / "c", monkeypatch, caller_seed=3)
    np.random.seed(3)
    expected = np.random.random(3)
    search_in(workdir / "d", monkeypatch, caller_seed=3)
    assert np.array_equal(np.random.random(3), expected)


def test_a_trial_scores_alike_in_a_worker_process(workdir, monkeypatch):
    in_process, _ = search_in(workdir / "a", monkeypatch, caller_seed=1)
    in_workers, _ = search_in(workdir / "b", monkeypatch, caller_seed=2, n_jobs=2)
    assert in_workers == in_process


@pytest.mark.parametrize("where", ["trial", "final fit"])
def test_the_callers_random_state_survives_an_interrupted_search(workdir, monkeypatch, where):
    models_dir(workdir).mkdir(parents=True)

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    if where == "trial":
        monkeypatch.setattr(sklearn.metrics, "f1_score", interrupted)
    else:
        monkeypatch.setattr(pickle, "dump", interrupted)
    np.random.seed(7)
    np.random.random()  # mid-stream, with a cached draw
    np.random.standard_normal()
    before = random_state()
    with pytest.raises(KeyboardInterrupt):
        fit_with(make_trades(), STOCHASTIC[0])
    assert random_state() == before


def test_a_search_whose_trials_all_fail_writes_no_model(workdir):
    trades = make_trades()
    # entry times on another index than the features: the folds cannot be made
    trades["train_time_of_entry_series"] = trades["train_time_of_entry_series"].set_axis(
        np.arange(100, 140))
    with pytest.raises(ValueError):
        fit_with(trades, CHEAP)
    assert [t.state for t in study_of().trials] == [optuna.trial.TrialState.FAIL]
    assert not (models_dir(workdir) / f"F{SUFFIX}.pkl").exists()


def first_trades(trades, n):
    """The first n trades of a training set (the sample's datetimes stay whole)."""
    return {key: values if key == "complete_datetime_index_series" else values.iloc[:n]
            for key, values in trades.items()}


@pytest.mark.parametrize("n_trades, n_jobs", [
    (0, 1), (1, 1), (2, 2), (3, 1), (4, 2), (5, 1), (6, 2), (7, 1), (8, 1), (9, 2)])
def test_fewer_trades_than_cross_validation_groups_are_refused_before_any_trial(
        workdir, caplog, n_trades, n_jobs):
    # Ten groups, as the factor asks for: each needs a trade, else every trial fails inside
    # the splitter and the search ends on optuna's "Record does not exist."
    classifier = OptimalEntryClassifier()
    before = constructor_values(classifier)
    plural = "" if n_trades == 1 else "s"
    with pytest.raises(ValueError, match=f"holds {n_trades} trade{plural}, fewer than the 10 "
                                         "cross-validation groups"):
        classifier.fit(**first_trades(make_trades(), n_trades), factor_name="F", storage_name="S",
                       n_trials_to_estimate_params=3, n_jobs=n_jobs)
    assert os.listdir(workdir / "cwd") == []  # no study file, so no trial
    assert not models_dir(workdir).exists()
    assert not [m for m in messages(caplog) if "TRIAL" in m or m.startswith("-" * 29)]
    assert constructor_values(classifier) == before


@pytest.mark.parametrize("relabel, held", [
    (lambda y: y + 1, "\\[1, 2\\] of dtype int64"),
    (lambda y: y - 1, "\\[-1, 0\\] of dtype int64"),
    (lambda y: y.astype(float), "\\[0.0, 1.0\\] of dtype float64"),
    (lambda y: y * 0 + 1, "\\[1\\] of dtype int64"),
    (lambda y: y.where(y.index % 3 > 0, 2), "\\[0, 1, 2\\] of dtype int64"),
])
@pytest.mark.parametrize("n_trials", [0, 1])
def test_labels_the_loader_would_refuse_are_refused_before_the_study_opens(workdir, relabel, held,
                                                                           n_trials):
    """The model's classes are its training labels: 0 and 1 of an integer or boolean kind, both
    present, or no model file is written that its loader would refuse (a refit alone too)."""
    trades = make_trades()
    trades["y_train_series"] = relabel(trades["y_train_series"])
    with pytest.raises(ValueError, match="labels \\(y_train_series\\) must be 1 or 0.*hold " + held):
        OptimalEntryClassifier().fit(**trades, n_splits=4, n_test_splits=2, factor_name="F",
                                     storage_name="S", n_trials_to_estimate_params=n_trials)
    assert os.listdir(workdir / "cwd") == []  # no study file, so no trial
    assert not models_dir(workdir).exists()


def test_boolean_labels_give_a_model_that_loads(workdir):
    trades = make_trades()
    trades["y_train_series"] = trades["y_train_series"].astype(bool)
    classifier = fit_with(trades, CHEAP)
    assert load(classifier) is True
    X = trades["X_train_df"].iloc[:10]
    assert [classifier.predict(X.iloc[[i]]) for i in range(len(X))] == list(
        reference_predict(read_model(workdir), X))


def test_as_many_trades_as_groups_are_searched_and_a_final_fit_alone_needs_no_folds(workdir):
    trades = make_trades()
    study_of().enqueue_trial(CHEAP)
    OptimalEntryClassifier().fit(**first_trades(trades, 10), factor_name="F", storage_name="S")
    assert [t.state for t in study_of().trials] == [optuna.trial.TrialState.COMPLETE]

    # No trial to run: the best one is refitted on whatever trades are given.
    write_best_model(CHEAP, factor_name="G", trades=first_trades(trades, 3))
    assert (models_dir(workdir) / f"G{SUFFIX}.pkl").is_file()


@pytest.mark.parametrize("change, error, text", [
    ({"classifier_model_to_use": "RandomForestClassifier"}, ValueError, "RandomForestClassifier"),
    ({"imputer_to_use": "IterativeImputer"}, ValueError, "IterativeImputer"),
    ({"score_func_to_use": "chi2"}, ValueError, "chi2"),
    ({"lr_penalty": None}, ValueError, "'lr_penalty' is missing"),  # None: key left out
])
def test_a_stale_best_trial_is_refused_by_name(workdir, change, error, text):
    add_best_trial({key: value for key, value in (CHEAP | change).items() if value is not None})
    with pytest.raises(error, match=text):
        fit_with(make_trades(), n_trials_to_estimate_params=0)
    assert not models_dir(workdir).exists()


@pytest.mark.parametrize("names, error", [
    ({"factor_name": "a/b"}, ValueError),
    ({"factor_name": ".."}, ValueError),
    ({"storage_name": "x\\y"}, ValueError),
    ({"storage_name": "../up"}, ValueError),
    ({"storage_name": "a?mode=ro"}, ValueError),  # the URL's query: the study would go to "a"
    ({"storage_name": "a#b"}, ValueError),
    ({"storage_name": "a\0b"}, ValueError),       # SQLite ends the file name at NUL
    ({"factor_name": "a\0b"}, ValueError),
    ({"factor_name": None}, TypeError),
    ({"storage_name": 3}, TypeError),
])
def test_names_that_could_leave_their_folders_are_refused(workdir, names, error):
    classifier = OptimalEntryClassifier("kept")
    arguments = dict(factor_name="F", storage_name="S") | names
    with pytest.raises(error):
        classifier.fit(**make_trades(), **arguments)
    if "factor_name" in names:
        with pytest.raises(error):
            getattr(classifier, LOAD)(names["factor_name"])
    assert constructor_values(classifier)[0] == "kept"
    assert sorted(os.listdir(workdir)) == ["cwd"] and os.listdir(workdir / "cwd") == []


def test_a_percent_sign_in_the_storage_name_stays_in_the_file_name(workdir):
    # "%2E%2E%2F" is "../" once the URL is decoded
    name = "%2E%2E%2Fup"
    classifier = fit_with(make_trades(), CHEAP, storage_name=name)
    assert constructor_values(classifier)[1] == f"sqlite:///%252E%252E%252Fup{SUFFIX}.db"
    assert sorted(os.listdir(workdir / "cwd")) == sorted([search_lock_name(f"F{SUFFIX}", f"{name}{SUFFIX}.db"),
                                                          f"{name}{SUFFIX}.db"])
    assert not (workdir / f"up{SUFFIX}.db").exists()


# ---------------------------------------------------------------- final fit and model file

@pytest.mark.parametrize("change, fault", [
    # As found: 3e6 bagged members ran the final fit past 90 s, 1e7 boosted ones wrote 160 MB.
    pytest.param({"BaggingClassifier_n_estimators": 3_000_000}, "'BaggingClassifier_n_estimators' is 3000000, "
                 "outside its search range 1 to 10000", id="bagging members"),
    pytest.param({"AdaBoostClassifier_n_estimators": 10 ** 7}, "is 10000000, outside its search range 1 to 10000",
                 id="boosted members"),
    pytest.param({"lr_c": float("nan")}, "'lr_c' is nan, not a finite number", id="NaN"),
    pytest.param({"cnb_alpha": float("inf")}, "'cnb_alpha' is inf, not a finite number", id="inf"),
    pytest.param({"AdaBoostClassifier_learning_rate": -1.0}, "is -1.0, outside its search range 1e-05 to 100.0",
                 id="negative"),
    pytest.param({"gnb_var_smoothing": 1e-13}, "is 1e-13, outside its search range 1e-12 to 100.0", id="below"),
    pytest.param({"KNNImputer_n_neighbors": 2.0}, "'KNNImputer_n_neighbors' is 2.0 (float), not an integer",
                 id="float count"),
    pytest.param({"select_top_k_features_percentile": True}, "is True (bool), not an integer", id="bool count"),
    pytest.param({"lr_max_iter": "1000"}, "'lr_max_iter' is '1000' (str), not an integer", id="text count"),
    pytest.param({"BaggingClassifier_max_samples": "0.5"}, "is '0.5' (str), not a number", id="text number"),
    pytest.param({"classifier_model_to_use": "RandomForestClassifier"},
                 "'classifier_model_to_use' is 'RandomForestClassifier', not one of \"AdaBoostClassifierLogisticRegression\"",
                 id="unknown model"),
    pytest.param({"lr_penalty": None}, "'lr_penalty' is None, not one of \"l2\", \"l1\", \"elasticnet\"",
                 id="None category"),
    pytest.param({"imputer_to_use": None, "drop": "imputer_to_use"}, "'imputer_to_use' is missing", id="missing"),
])
def test_a_planted_best_trial_is_refused_before_the_final_fit(workdir, caplog, change, fault):
    caplog.set_level(logging.INFO, logger=" ")
    params = dict(CHEAP, **{k: v for k, v in change.items() if k != "drop"})
    params.pop(change.get("drop"), None)
    add_best_trial(params)
    with pytest.raises(ValueError) as refused:
        fit_with(make_trades(), n_trials_to_estimate_params=0)
    message = str(refused.value)
    assert message.startswith(f"The best trial of the study in S{SUFFIX}.db cannot be used: its parameter ")
    assert fault in message and "delete that study file and fit the classifier again" in message
    assert not models_dir(workdir).exists()
    assert not any(m.startswith("FINISHED FITTING VODED") for m in messages(caplog))


def test_a_trial_queued_outside_the_space_fails_and_the_search_goes_on(workdir, caplog, monkeypatch):
    # optuna tells why the trial failed on its own logger, which some releases keep from the root
    monkeypatch.setattr(logging.getLogger("optuna"), "propagate", True)
    with pytest.warns(UserWarning, match="out of range"):
        fit_with(make_trades(), dict(CHEAP, BaggingClassifier_n_estimators=3_000_000), CHEAP)
    trials = study_of().trials
    assert [t.state.name for t in trials] == ["FAIL", "COMPLETE"]
    assert any("queued parameter 'BaggingClassifier_n_estimators' is 3000000, outside its search range 1 to "
               "10000, which the search never draws" in r.getMessage() for r in caplog.records)
    assert (models_dir(workdir) / f"F{SUFFIX}.pkl").exists()


def test_final_fit_writes_six_stages_atomically(workdir, monkeypatch, caplog):
    trades = make_trades()
    # a feature missing in every row keeps its column through the imputer
    trades["X_train_df"] = trades["X_train_df"].assign(float64_ht_dcphase_spread=np.nan)
    assert not models_dir(workdir).exists()  # created on demand
    fit_with(trades, CHEAP)
    model = read_model(workdir)
    assert list(model) == MODEL_KEYS
    assert isinstance(model["imputer"], SimpleImputer)
    assert isinstance(model["scaler"], MinMaxScaler)
    assert isinstance(model["select_top_k_features"], SelectPercentile)
    assert isinstance(model["classifier_model"], AdaBoostClassifier)
    # positions of the imputed frame: the near-constant third column and the empty fifth
    # are gone; the copy of the signal is dropped by label
    assert model["imputer"].statistics_.shape == (5,)
    assert list(model["no_variance_cols"]) == [0, 1, 3]
    assert model["features_to_drop_from_multicollinearity"] == ["float64_copy_spread"]

    # the same model file from another study file, whose best trial is a Bagging ensemble
    fit_with(trades, dict(CHEAP, classifier_model_to_use="BaggingClassifierGaussianNB"),
             storage_name="S2")
    assert isinstance(read_model(workdir)["classifier_model"], BaggingClassifier)
    assert os.listdir(models_dir(workdir)) == [f"F{SUFFIX}.pkl"]

    # a failing write keeps the previous model whole and leaves nothing behind
    path = models_dir(workdir) / f"F{SUFFIX}.pkl"
    before = path.read_bytes()

    def failing_dump(obj, file, *args, **kwargs):
        file.write(b"partial")
        raise OSError("disk full")

    monkeypatch.setattr(pickle, "dump", failing_dump)
    caplog.clear()
    with pytest.raises(OSError, match="disk full"):
        fit_with(trades, CHEAP)
    assert path.read_bytes() == before
    assert os.listdir(models_dir(workdir)) == [f"F{SUFFIX}.pkl"]
    assert not [m for m in messages(caplog) if m.startswith("FINISHED FITTING")]


def test_correlation_filter_matches_the_pandas_rule(workdir):
    """Drops a column when |r| > 0.95 with any column to its left, dropped or not."""
    rng = np.random.default_rng(5)
    n = 40
    base = rng.normal(size=n)
    chain = base + np.cumsum(rng.normal(scale=0.12, size=(4, n)), axis=0)  # neighbours > 0.95
    X = pd.DataFrame({
        "a": base, "b": rng.normal(size=n), "c0": chain[0], "c1": chain[1], "c2": chain[2],
        "c3": chain[3], "d": -base * 3.0, "e": base + rng.normal(scale=0.6, size=n),
    })
    trades = make_trades(n)
    trades["X_train_df"] = X
    trades["y_train_series"] = pd.Series((base > 0).astype(np.int64))
    fit_with(trades, CHEAP)
    model = read_model(workdir)

    corr = X.corr().abs()
    upper = corr.where(np.triu(np.ones(corr.shape), k=1).astype(bool))
    expected = [column for column in upper.columns if any(upper[column] > 0.95)]
    assert "c0" in expected and "d" in expected and "e" not in expected
    assert model["features_to_drop_from_multicollinearity"] == expected


def lr_expectations(penalty, ratio):
    """What LogisticRegression is built with, for the installed scikit-learn."""
    major, minor = (int(part) for part in sklearn.__version__.split(".")[:2])
    solver = "saga" if penalty == "elasticnet" else "liblinear"
    if (major, minor) >= (1, 8):
        return {"solver": solver, "l1_ratio": {"l2": 0.0, "l1": 1.0}.get(penalty, ratio)}
    return {"solver": solver, "penalty": penalty, "l1_ratio": ratio if penalty == "elasticnet" else None}


# ---------------------------------------------------------------- loading and prediction

def check_built_model(model, params):
    family = params["classifier_model_to_use"]
    base = model.estimator
    if family.startswith("AdaBoost"):
        assert isinstance(model, AdaBoostClassifier)
        assert (model.n_estimators, model.learning_rate) == (2, 1.0)
        # SAMME under every release: named where SAMME.R was the default (before 1.6), the
        # deprecated placeholder where SAMME is all there is, no setting at all once removed.
        assert getattr(model, "algorithm", "SAMME") in ("SAMME", "deprecated")
    else:
        assert isinstance(model, BaggingClassifier)
        assert (model.n_estimators, model.max_samples, model.max_features,
                model.bootstrap_features) == (3, 1.0, 1.0, True)
    if family.endswith("LogisticRegression"):
        assert isinstance(base, LogisticRegression)
        expected = lr_expectations(params["lr_penalty"], params["lr_l1_ratio"])
        expected.update(C=100.0, max_iter=1000,
                        class_weight=None if params["lr_class_weight"] == "None" else "balanced")
        assert {key: base.get_params()[key] for key in expected} == expected
    elif family.endswith("ComplementNB"):
        assert isinstance(base, ComplementNB) and base.alpha == params["cnb_alpha"]
    else:
        assert isinstance(base, GaussianNB) and base.var_smoothing == params["gnb_var_smoothing"]


@pytest.mark.parametrize("family, imputer, penalty, class_weight, score_func", [
    ("AdaBoostClassifierLogisticRegression", "SimpleImputer", "l1", "None", "f_classif"),
    ("AdaBoostClassifierComplementNB", "SimpleImputer", "l1", "None", "f_classif"),
    ("AdaBoostClassifierGaussianNB", "SimpleImputer", "elasticnet", "None", "f_classif"),
    ("BaggingClassifierLogisticRegression", "SimpleImputer", "elasticnet", "balanced", "f_classif"),
    ("BaggingClassifierComplementNB", "SimpleImputer", "l2", "None", "f_classif"),
    ("BaggingClassifierGaussianNB", "SimpleImputer", "l2", "None", "f_classif"),
    ("BaggingClassifierLogisticRegression", "KNNImputer", "l2", "balanced", "f_classif"),
    ("AdaBoostClassifierGaussianNB", "KNNImputer", "l2", "None", "mutual_info_classif"),
])
def test_every_model_family_is_built_saved_loaded_and_predicts(workdir, family, imputer, penalty,
                                                               class_weight, score_func):
    """The best trial's model, through the model file and the restricted loader, predicts
    what the fitted stages predict when applied by hand."""
    trades = make_trades()
    params = dict(CHEAP, classifier_model_to_use=family, imputer_to_use=imputer,
                  lr_penalty=penalty, lr_class_weight=class_weight, score_func_to_use=score_func)
    classifier = fit_with(trades, params)
    model = read_model(workdir)
    check_built_model(model["classifier_model"], params)
    assert isinstance(model["imputer"], KNNImputer if imputer == "KNNImputer" else SimpleImputer)

    assert load(classifier) is True
    X = trades["X_train_df"]
    rows = pd.concat([X, X.iloc[:5].assign(float64_noise_all_others=[1e20, np.inf, np.nan, 1e-9, -3e16])],
                     ignore_index=True)
    expected = reference_predict(model, rows)
    assert [classifier.predict(rows.iloc[[i]]) for i in range(len(rows))] == list(expected)


def test_loaded_model_behaviour(workdir, monkeypatch):
    trades = make_trades()
    classifier = fit_with(trades, CHEAP)
    X = trades["X_train_df"]
    with pytest.raises(AttributeError):  # nothing loaded: fit alone leaves the fields empty
        classifier.predict(X.iloc[[0]])
    assert load(classifier) is True and load(classifier) is True
    labels = [classifier.predict(X.iloc[[i]]) for i in range(len(X))]
    assert len(set(labels)) == 2
    # two rows in: the first row's label comes out
    first, second = next((i, j) for i in range(len(X)) for j in range(len(X))
                         if labels[i] != labels[j])
    assert classifier.predict(X.iloc[[first, second]]) == labels[first]
    # restoring constructor values never touches the model
    classifier.restore_mp_variables(*[None] * 11)
    assert classifier.predict(X.iloc[[first]]) == labels[first]
    # a pickled copy carries the training set but not the model
    copy = pickle.loads(pickle.dumps(classifier))
    pd.testing.assert_frame_equal(constructor_values(copy)[5], X)
    with pytest.raises(AttributeError):
        copy.predict(X.iloc[[0]])

    # live rows are cleaned like training rows before imputation
    seen = []
    transform = SimpleImputer.transform
    monkeypatch.setattr(SimpleImputer, "transform",
                        lambda self, Z: seen.append(Z.copy()) or transform(self, Z))
    row = X.iloc[[0]].assign(float64_signal_spread=1e20, float64_copy_spread=np.inf,
                             float64_flat_spread=1e-9, float64_noise_all_others=np.nan)
    classifier.predict(row)
    np.testing.assert_array_equal(seen[0].to_numpy(), [[np.nan, np.nan, 0.0, np.nan]])


def test_a_model_of_a_frame_without_text_labels_loads(workdir):
    """Column labels that are not text give stages without feature names and dropped labels
    that are numpy integers: still what the library writes."""
    trades = make_trades()
    X = trades["X_train_df"].set_axis(range(10, 14), axis=1)
    classifier = fit_with(dict(trades, X_train_df=X),
                          dict(CHEAP, classifier_model_to_use="BaggingClassifierLogisticRegression"))
    model = read_model(workdir)
    assert not hasattr(model["imputer"], "feature_names_in_")
    assert model["features_to_drop_from_multicollinearity"] == [11]  # the signal's copy
    assert load(classifier) is True
    assert [classifier.predict(X.iloc[[i]]) for i in range(len(X))] == list(reference_predict(model, X))


def test_the_first_load_leaves_numpy_global_generator_alone(workdir):
    """The stages the loader compares with are fitted at the first load of a process, and some
    draw from numpy's global generator: a seeded caller's next draws stay the same."""
    write_best_model(CHEAP)
    script = (
        "import numpy as np\n"
        "from velmora.vodED.tradegate import OptimalEntryClassifier\n"
        "np.random.seed(7); expected = np.random.random_sample(3)\n"
        "np.random.seed(7)\n"
        f"assert getattr(OptimalEntryClassifier(), {LOAD!r})(factor_name='F') is True\n"
        "assert (np.random.random_sample(3) == expected).all()\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    ran = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                         timeout=300)
    assert ran.returncode == 0, ran.stderr[-2000:]


@pytest.mark.parametrize("seed", range(6))
def test_the_checks_count_the_selected_features_as_the_selector_does(seed):
    """The loader counts what the selector keeps without calling it; ties, NaN and infinite
    scores included, the count is the selector's own."""
    rng = np.random.default_rng(seed)
    selector = SelectPercentile(f_classif).fit(rng.normal(size=(12, 3)), np.arange(12) % 2)
    for _ in range(300):
        n = int(rng.integers(1, 40))
        scores = rng.normal(size=n)
        if rng.random() < 0.5:  # ties: scores drawn from a few values
            scores = rng.choice(scores[: max(1, n // 3)], size=n)
        scores[rng.random(n) < 0.1] = np.nan
        scores[rng.random(n) < 0.05] = np.inf
        selector.scores_, selector.percentile = scores, int(rng.integers(20, 101))
        assert tradegate._selected_feature_count(selector) == selector.get_support().sum(), (
            scores, selector.percentile)


def test_missing_model_file_answers_false(workdir):
    classifier = OptimalEntryClassifier()
    assert load(classifier, "PairsTradingSerialCointegrationFactor") is False
    assert constructor_values(classifier)[0] == "PairsTradingSerialCointegrationFactor" + SUFFIX
    assert getattr(classifier, LOAD)() is False
    assert constructor_values(classifier)[0] == SUFFIX
    (models_dir(workdir) / f"D{SUFFIX}.pkl").mkdir(parents=True)  # a folder is not a model
    assert load(classifier, "D") is False
    with pytest.raises(AttributeError):
        classifier.predict(pd.DataFrame({"a": [1.0]}))


def without_priors(model):
    del model["classifier_model"].estimator.priors  # a setting the file's version did not have


def without_fill_dtype(model):
    del model["imputer"]._fill_dtype  # fitted state the file's version did not keep


def with_algorithm(model):
    model["classifier_model"].algorithm = "SAMME.R"  # a setting the installed version dropped


def with_clip(model):
    model["scaler"].clip = True  # another default than the installed one


def with_copy(model):
    model["scaler"].copy = False  # a setting the library leaves to the release's default


def with_jobs(model):
    model["classifier_model"].n_jobs = 6


# A model pickled by another scikit-learn version holds that version's settings: only those
# that cost at every predict, and those the library sets itself (the scaler's range and
# clipping among them), are held to what the installed version's hold there. Its stages must hold
# what the installed version's hold, or it needs refitting.
@pytest.mark.parametrize("version, change, family, refusal", [
    ("0.0.1", None, "BaggingClassifierGaussianNB", None),
    ("0.0.1", with_copy, "AdaBoostClassifierGaussianNB", None),
    ("0.0.1", with_clip, "AdaBoostClassifierGaussianNB", "sets clip to True"),
    ("1.3.0", without_priors, "AdaBoostClassifierGaussianNB", "estimator has no setting priors"),
    ("1.3.0", without_fill_dtype, "AdaBoostClassifierGaussianNB", "imputer lacks _fill_dtype"),
    ("1.3.0", with_algorithm, "AdaBoostClassifierGaussianNB", "holds 'algorithm'"),
    ("0.0.1", with_jobs, "BaggingClassifierGaussianNB", "sets n_jobs to 6"),
    (None, with_clip, "AdaBoostClassifierGaussianNB", "sets clip to True"),
    (None, without_priors, "AdaBoostClassifierGaussianNB", "has no setting priors"),
])
def test_a_model_from_another_scikit_learn_version_is_reported(workdir, monkeypatch, caplog,
                                                                version, change, family, refusal):
    trades = make_trades()
    classifier = fit_with(trades, dict(CHEAP, classifier_model_to_use=family))
    genuine = read_model(workdir)
    assert load(classifier) is True
    model = read_model(workdir)
    # a file of an older release beside the installed one: what the older release lacks or
    # holds only shows under an installed release that changed it
    if change is without_fill_dtype and not hasattr(model["imputer"], "_fill_dtype"):
        pytest.skip("the installed scikit-learn keeps no _fill_dtype either")
    if change is with_algorithm and "algorithm" in model["classifier_model"].get_params():
        pytest.skip("the installed scikit-learn still has AdaBoost's algorithm")
    if change:
        change(model)
    with monkeypatch.context() as patch:
        if version:
            patch.setattr(sklearn.base, "__version__", version)  # what the file will claim
        write_model_file(workdir, model)
    rows = trades["X_train_df"].iloc[:8]
    if refusal:
        with pytest.raises(pickle.UnpicklingError, match=refusal) as refused:
            load(classifier)
        # one plain message: the file, both versions (a setting the library sets itself, or one
        # that costs at every predict, is refused as in a file of the installed version)
        if version and change not in (with_jobs, with_clip):
            message = str(refused.value)
            assert message.startswith(f"Refusing to load the model file ../vodED/saved_models/F{SUFFIX}.pkl: ")
            assert f"'{version}'" in message and repr(sklearn.__version__) in message
            assert message.endswith("; refit the model")
        # the model loaded before stays
        assert [classifier.predict(rows.iloc[[i]]) for i in range(len(rows))] == list(
            reference_predict(genuine, rows))
        return
    caplog.clear()
    assert load(classifier) is True
    assert [classifier.predict(rows.iloc[[i]]) for i in range(len(rows))] == list(
        reference_predict(model, rows))
    reported = [m for m in messages(caplog) if m.startswith("MODEL FILE ")]
    # one line for the file, however many stages and members; the versions come from the
    # file: quoted, as a newline in one is shown, never written
    assert len(reported) == 1
    assert "'0.0.1'" in reported[0] and repr(sklearn.__version__) in reported[0]


class Payload:
    """Unpickles as function(*args). The function may itself be a payload: a hand-written
    file can call whatever an earlier call returned."""

    def __init__(self, function, *args):
        self.function, self.args = function, args

    def __reduce__(self):
        return self.function, self.args

    def __call__(self, *args):
        raise AssertionError("only ever unpickled")


def write_model_file(workdir, obj, factor_name="F"):
    with open(models_dir(workdir) / f"{factor_name}{SUFFIX}.pkl", "wb") as f:
        if isinstance(obj, bytes):
            f.write(obj)
        else:
            pickle.dump(obj, f)


PICKLED_TEXT = {"SHORT_BINUNICODE", "BINUNICODE", "BINUNICODE8"}


def globals_named(data):
    """The (module, name) pairs a pickle names, read from its opcodes without loading it.
    GLOBAL carries both; STACK_GLOBAL takes the two texts pushed just before it, which the
    pickler often fetches from its memo instead of writing them again."""
    named, pushed, memo = set(), [], {}
    for opcode, argument, _ in pickletools.genops(data):
        kind = opcode.name
        if kind in PICKLED_TEXT:
            pushed.append(argument)
        elif kind in ("GET", "BINGET", "LONG_BINGET"):
            pushed.append(memo[argument])
        elif kind == "MEMOIZE":
            memo[len(memo)] = pushed[-1]
        elif kind in ("PUT", "BINPUT", "LONG_BINPUT"):
            memo[argument] = pushed[-1]
        elif kind == "GLOBAL":
            named.add(tuple(argument.split(" ", 1)))
            pushed.append(None)
        elif kind == "STACK_GLOBAL":
            named.add((pushed[-2], pushed[-1]))
            pushed.append(None)
        elif kind not in ("PROTO", "FRAME", "STOP"):
            pushed.append(None)
    return named


def test_genuine_models_of_every_family_name_only_admitted_globals_and_load(workdir):
    """Re-derives what model files name under the installed numpy and scikit-learn: an
    upgrade that makes models name something new fails here, not as a refused user model."""
    trades = make_trades()
    X = trades["X_train_df"]
    named, written = {}, []
    for i, params in enumerate(GENUINE):
        factor_name = f"G{i}"
        classifier = write_best_model(params, factor_name, trades)
        model = read_model(workdir, factor_name)
        # as written here, and as written under each supported Python's default protocol
        versions = [(models_dir(workdir) / f"{factor_name}{SUFFIX}.pkl").read_bytes()] + [
            pickle.dumps(model, protocol=protocol) for protocol in [4, 5]]
        for data in versions:
            for pair in globals_named(data):
                named.setdefault(pair, params["classifier_model_to_use"])
        written.append((classifier, factor_name, versions, list(reference_predict(model, X))))
    assert ("sklearn.naive_bayes", "ComplementNB") in named  # the reading of globals works
    missing = {pair: family for pair, family in named.items()
               if pair not in tradegate._MODEL_FILE_GLOBALS}
    assert not missing, f"genuine models name globals that the loader refuses: {missing}"

    for classifier, factor_name, versions, expected in written:
        for data in versions:
            write_model_file(workdir, data, factor_name)
            assert load(classifier, factor_name) is True
            assert [classifier.predict(X.iloc[[j]]) for j in range(0, len(X), 5)] == expected[::5]


def test_genuine_models_of_every_combination_pass_the_stage_checks(workdir):
    """Both ensembles x the three base estimators x both imputers x both score functions, as
    the final fit writes them: each holds what the installed scikit-learn's stages hold, and
    loads and predicts what its stages predict."""
    trades = make_trades()
    X = trades["X_train_df"]
    combinations = [(ensemble, base, imputer, score_func)
                    for ensemble in ["AdaBoostClassifier", "BaggingClassifier"]
                    for base in ["LogisticRegression", "ComplementNB", "GaussianNB"]
                    for imputer in ["KNNImputer", "SimpleImputer"]
                    for score_func in ["f_classif", "mutual_info_classif"]]
    for i, (ensemble, base, imputer, score_func) in enumerate(combinations):
        params = dict(CHEAP, classifier_model_to_use=ensemble + base, imputer_to_use=imputer,
                      score_func_to_use=score_func, select_top_k_features_percentile=60,
                      lr_penalty=["l1", "l2", "elasticnet"][i % 3])
        classifier = write_best_model(params, f"C{i}", trades)
        assert load(classifier, f"C{i}") is True, params
        expected = list(reference_predict(read_model(workdir, f"C{i}"), X))
        assert [classifier.predict(X.iloc[[j]]) for j in range(0, len(X), 4)] == expected[::4]


def test_builtin_data_at_every_protocol_since_3_passes_the_scan(workdir):
    """The loader reads every opcode that pickle writes for a model and builtin data (the
    protocols whose bytes need no codec call), shared and self-referencing objects included."""
    trades = make_trades()
    X = trades["X_train_df"]
    classifier = write_best_model(CHEAP, trades=trades)
    model = read_model(workdir)
    shared, loop = [1.5], []
    loop.append(loop)
    data = dict(tuples=[(), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4)], sets=[{1, 2}, frozenset({3})],
                bytes=[b"\x00\xff", b"x" * 300, bytearray(b"ab")], numbers=[1 + 2j, 2 ** 70,
                2 ** 2400, -1, 0.1, True, None], text=["", "\u00e9" * 300], shared=[shared, shared],
                loop=loop, ranges=[slice(1, 5, 2), range(3)])
    expected = list(reference_predict(model, X))
    for protocol in [3, 4, 5]:
        write_model_file(workdir, pickle.dumps(model | {"extra": data}, protocol=protocol))
        assert load(classifier) is True
        assert [classifier.predict(X.iloc[[i]]) for i in range(len(X))] == expected


def named_global(module, name):
    """The opcodes by which protocols 4 and 5 name module.name."""
    texts = (module.encode(), name.encode())
    pushed = b"".join(pickle.SHORT_BINUNICODE + bytes([len(text)]) + text for text in texts)
    return pushed + pickle.STACK_GLOBAL


def inline(obj):
    """The opcodes that push obj, to splice into a hand-made pickle (no header, no STOP, no
    memo entries of its own)."""
    return pickletools.optimize(pickle.dumps(obj, protocol=2))[2:-1]


def hostile_files(marker, model):
    """Case: (file content, the name it is refused by, whether plain pickle would run it)."""
    command = f"echo planted > {marker}"  # sh and cmd alike
    script = f"import os\nos.system({command!r})\n"
    # a real scipy distribution whose argument-parser template runs the command: scipy execs
    # that template when a distribution is unpickled
    distribution = copy.deepcopy(scipy.stats.norm)
    distribution._parse_arg_template = script + distribution._parse_arg_template
    # a stage of a class from the admitted packages that no model of this library holds
    width = model["scaler"].n_features_in_
    scaler = StandardScaler().fit(np.arange(2.0 * width).reshape(2, width))
    return {
        "scipy-distribution-state": (
            pickle.PROTO + b"\x04" + named_global("scipy.stats._continuous_distns", "norm_gen")
            + pickle.EMPTY_TUPLE + pickle.NEWOBJ + inline({"_parse_arg_template": script})
            + pickle.BUILD + pickle.STOP,
            "scipy.stats._continuous_distns.norm_gen", True),
        "reduce-to-os-system": (
            pickle.dumps({"imputer": Payload(os.system, command)}),
            f"{os.system.__module__}.system", True),
        "reduce-to-eval": (
            pickle.dumps({"imputer": Payload(eval, f"open({str(marker)!r}, 'w').close()")}),
            "builtins.eval", True),
        # a numpy helper that imports any module and returns any of its attributes
        "attribute-getter": (
            pickle.dumps({"imputer": Payload(Payload(ufunc_reconstruct, "os", "system"), command)}),
            "numpy.core._ufunc_reconstruct", True),
        "numpy-file-writer": (
            pickle.dumps({"imputer": Payload(np.save, str(marker), np.zeros(1))}),
            "numpy.save", True),
        "genuine-model-with-a-distribution-stage": (
            pickle.dumps(model | {"scaler": distribution}),
            "scipy.stats._continuous_distns.norm_gen", True),
        "genuine-model-with-an-unlisted-stage": (
            pickle.dumps(model | {"scaler": scaler}),
            "sklearn.preprocessing._data.StandardScaler", False),
        # an admitted function as the target of a state update (protocol 2's GLOBAL): numpy's
        # array rebuilder would read every later protocol-5 array in Fortran order
        "state-update-of-an-admitted-function": (
            pickle.PROTO + b"\x02" + pickle.GLOBAL + b"numpy._core.numeric\n_frombuffer\n"
            + inline((None, {"__defaults__": ("F",)})) + pickle.BUILD + pickle.STOP,
            "numpy._core.numeric._frombuffer", True),
        # a library module as the target of one: sklearn.metrics.f1_score = None
        "state-update-of-a-library-module": (
            pickle.PROTO + b"\x04" + pickle.GLOBAL + b"sklearn\nmetrics\n"
            + inline((None, {"f1_score": None})) + pickle.BUILD + pickle.STOP,
            "sklearn.metrics", True),
    }


def side_effects(workdir):
    return (sorted(path.name for path in workdir.glob("pwned*")), frombuffer.__defaults__,
            sklearn.metrics.f1_score)


@pytest.mark.parametrize("case", [
    "scipy-distribution-state", "reduce-to-os-system", "reduce-to-eval", "attribute-getter",
    "numpy-file-writer", "genuine-model-with-a-distribution-stage",
    "genuine-model-with-an-unlisted-stage", "state-update-of-an-admitted-function",
    "state-update-of-a-library-module"])
def test_hostile_model_files_are_refused_without_side_effects(workdir, case):
    trades = make_trades()
    X = trades["X_train_df"]
    classifier = write_best_model(CHEAP, trades=trades)
    assert load(classifier) is True
    labels = [classifier.predict(X.iloc[[i]]) for i in range(len(X))]
    untouched = side_effects(workdir)

    content, refused_name, live = hostile_files(workdir / "pwned", read_model(workdir))[case]
    write_model_file(workdir, content)
    fresh = OptimalEntryClassifier()
    for target in (classifier, fresh):
        with pytest.raises(pickle.UnpicklingError) as refused:
            load(target)
        message = str(refused.value)
        assert f"model file ../vodED/saved_models/F{SUFFIX}.pkl:" in message
        assert f"'{refused_name}'" in message
    assert side_effects(workdir) == untouched
    # no model field was set: the earlier model stays, the fresh object still has none
    assert [classifier.predict(X.iloc[[i]]) for i in range(len(X))] == labels
    with pytest.raises(AttributeError):
        fresh.predict(X.iloc[[0]])

    if live:  # the payload is real: an unrestricted load does what the loader refused
        try:
            with contextlib.suppress(Exception):
                pickle.loads(content)
            assert side_effects(workdir) != untouched
        finally:
            frombuffer.__defaults__, sklearn.metrics.f1_score = untouched[1:]


@pytest.mark.parametrize("damage", [
    lambda model: b"not a pickle at all",
    lambda model: pickle.dumps(model)[:-1],  # no STOP
    lambda model: pickle.dumps({key: model[key] for key in MODEL_KEYS if key != "scaler"}),
    lambda model: pickle.dumps([model[key] for key in MODEL_KEYS]),
], ids=["not-a-pickle", "truncated", "missing-key", "not-a-dictionary"])
def test_damaged_model_files_change_nothing(workdir, damage):
    trades = make_trades()
    X = trades["X_train_df"]
    classifier = write_best_model(CHEAP, trades=trades)
    assert load(classifier) is True
    labels = [classifier.predict(X.iloc[[i]]) for i in range(len(X))]
    # from a model of another width, so that any stage taken over would break predict
    wider = dict(trades, X_train_df=X.assign(float64_extra_spread=np.arange(len(X), dtype=float)))
    write_best_model(dict(CHEAP, classifier_model_to_use="BaggingClassifierGaussianNB"),
                     factor_name="W", trades=wider)
    write_model_file(workdir, damage(read_model(workdir, "W")))
    with pytest.raises(pickle.UnpicklingError, match=f"model file ../vodED/saved_models/F{SUFFIX}.pkl:"):
        load(classifier)
    assert [classifier.predict(X.iloc[[i]]) for i in range(len(X))] == labels


# ---------------------------------------------------------------- forged objects and bombs

NUMPY_MULTIARRAY = "numpy._core.multiarray"
PROTO_4 = pickle.PROTO + b"\x04"


def binbytes(data):
    """Bytes as protocol 3+ writes them (protocol 2, which `inline` uses, needs a codec call)."""
    return pickle.BINBYTES + len(data).to_bytes(4, "little") + data


def make_dtype(kind, state=None):
    """numpy.dtype(kind, False, True), then BUILD with state if one is given."""
    made = named_global("numpy", "dtype") + inline((kind, False, True)) + pickle.REDUCE
    return made + (inline(state) + pickle.BUILD if state is not None else b"")


def canonical_dtype(kind):
    return make_dtype(kind, np.dtype(kind).__reduce__()[2])


def structured_dtype(fields, flags=None):
    """A void dtype as numpy pickles it, its flags optionally replaced."""
    dtype = np.dtype(fields)
    kind, state = dtype.__reduce__()[1][0], list(dtype.__reduce__()[2])
    if flags is not None:
        state[-1] = flags
    return make_dtype(kind, tuple(state))


def reconstructed_array(dtype, shape, data):
    """numpy's protocol-2 array: an empty placeholder, then its state."""
    return (named_global(NUMPY_MULTIARRAY, "_reconstruct") + named_global("numpy", "ndarray")
            + inline((0,)) + pickle.SHORT_BINBYTES + b"\x01b" + pickle.TUPLE3 + pickle.REDUCE
            + pickle.MARK + inline(1) + inline(shape) + dtype + pickle.NEWFALSE + data
            + pickle.TUPLE + pickle.BUILD)


def frombuffer_array(data, dtype, shape):
    """numpy's protocol-5 array: the rebuilder called with the data, dtype, shape and order."""
    return (named_global("numpy._core.numeric", "_frombuffer") + pickle.MARK + binbytes(data)
            + dtype + inline(shape) + inline("C") + pickle.TUPLE + pickle.REDUCE)


def nested_object_arrays(depth):
    """depth object arrays, each holding the next: numpy frees such a chain recursively."""
    prelude = (named_global(NUMPY_MULTIARRAY, "_reconstruct") + pickle.MEMOIZE     # memo 0
               + named_global("numpy", "ndarray") + inline((0,)) + pickle.SHORT_BINBYTES
               + b"\x01b" + pickle.TUPLE3 + pickle.MEMOIZE + pickle.POP                # memo 1
               + canonical_dtype("O8") + pickle.MEMOIZE + pickle.POP)                  # memo 2
    level_open = (pickle.BINGET + b"\x00" + pickle.BINGET + b"\x01" + pickle.REDUCE + pickle.MARK
                  + inline(1) + inline((1,)) + pickle.BINGET + b"\x02" + pickle.NEWFALSE
                  + pickle.EMPTY_LIST)
    level_close = pickle.APPEND + pickle.TUPLE + pickle.BUILD
    return prelude + level_open * depth + pickle.NONE + level_close * depth


def nested_slices(depth):
    return (named_global("builtins", "slice") + pickle.MEMOIZE + pickle.POP
            + (pickle.BINGET + b"\x00") * depth + pickle.NONE
            + (pickle.TUPLE1 + pickle.REDUCE) * depth)


def shared_lists(depth):
    """Lists that hold each other: each level two references to the level below, a few
    bytes of file each, 2**depth paths for a comparison or a repr to walk."""
    level = [0, 1]
    for _ in range(depth):
        level = [level, level]
    return level


def edited(model, change):
    """A deep copy of model with change(copy) applied, pickled."""
    copied = copy.deepcopy(model)
    change(copied)
    return pickle.dumps(copied)


def setting(stage, name, value):
    """A change that sets one attribute of one stage (a dotted path from the model)."""
    def change(model):
        target = model[stage]
        for part in name.split(".")[:-1]:
            target = getattr(target, part)
        setattr(target, name.split(".")[-1], value)
    return change


def mock_version(version, model):
    """model pickled with every stage claiming version as its scikit-learn version."""
    with mock.patch.object(sklearn.base, "__version__", version):
        return pickle.dumps(model)


# ---------------------------------------------------------------- fitted values

def member_value(name, value, where=None, member=0):
    """A change that sets one fitted array of one member of the ensemble, whole or at where."""
    def change(model):
        target = model["classifier_model"].estimators_[member]
        if where is None:
            setattr(target, name, np.full_like(getattr(target, name), value))
        else:
            getattr(target, name)[where] = value
    return change


def stage_value(stage, name, value, where=None):
    """A change that sets one fitted value of one stage (the ensemble's own included)."""
    def change(model):
        target = model[stage]
        if where is None:
            held = getattr(target, name)
            setattr(target, name, np.full_like(held, value) if isinstance(held, np.ndarray) else value)
        else:
            getattr(target, name)[where] = value
    return change


def with_classes(labels, n_classes=None):
    def change(model):
        ensemble = model["classifier_model"]
        ensemble.classes_ = np.asarray(labels)
        if n_classes is not None:
            ensemble.n_classes_ = n_classes
    return change


def with_feature_names(stage, rename):
    def change(model):
        names = list(model[stage].feature_names_in_)
        model[stage].feature_names_in_ = np.asarray(rename(names), dtype=object)
    return change


def without_first_training_row(model):
    imputer = model["imputer"]
    imputer._fit_X, imputer._mask_fit_X = imputer._fit_X[1:], imputer._mask_fit_X[1:]


def unmasked_gap(model):
    mask = model["imputer"]._mask_fit_X
    mask[np.argmax(mask.any(axis=1)), np.argmax(mask.any(axis=0))] = False


# A genuine model of each family with one fitted value changed, as a file the library did not
# write could hold it: refused, naming the stage and the attribute (None: a value predict never
# reads, and the model loads and predicts as the genuine one). Each of the refused ones loaded
# before, and then vetoed every entry, took every entry, inverted the veto, or raised at every
# predict. A claim of another scikit-learn release ("0.0.1") buys no leniency on them.
FITTED_VALUE_CASES = {
    ("AdaBoostClassifierGaussianNB", "SimpleImputer"): [
        (member_value("theta_", np.nan), None, "member holds theta_ with the value nan"),
        (member_value("theta_", np.nan, where=1), None, "member holds theta_ with the value nan"),
        (member_value("var_", 0.0), None, "member holds var_ with the value 0,"),
        (member_value("var_", -1.0, where=(0, 0)), None, "member holds var_ with the value -1"),
        (member_value("class_prior_", np.nan), None, "member holds class_prior_ with the value nan"),
        (member_value("class_prior_", 0.0, where=1), None, "member holds class_prior_ with the value 0"),
        (member_value("theta_", np.nan), "0.0.1", "member holds theta_ with the value nan"),
        (stage_value("classifier_model", "estimator_weights_", np.nan), None,
         "classifier_model holds estimator_weights_ with the value nan"),
        (stage_value("classifier_model", "estimator_weights_", 0.0), None,
         "classifier_model holds estimator_weights_ with the weight 0"),
        (stage_value("classifier_model", "estimator_errors_", 0.125), None, None),
        (with_classes([1, 2]), None, "classifier_model's classes_ .* are not the labels 0 and 1"),
        (with_classes([0.5, 1.5]), None, "classifier_model's classes_"),
        (with_classes([0.0, 1.0]), None, "classifier_model's classes_"),
        (with_classes([-1, 0]), None, "classifier_model's classes_"),
        (with_classes([1], n_classes=1), None, "classifier_model's classes_"),
        (stage_value("scaler", "scale_", 0.0, where=0), None, "scaler holds scale_ with the value 0 "),
        (stage_value("scaler", "scale_", np.nan), None, "scaler holds scale_ with the value nan"),
        (stage_value("scaler", "scale_", 1e40, where=0), None, "scaler holds scale_ with the value 1e\\+40"),
        (stage_value("scaler", "min_", np.inf, where=0), None, "scaler holds min_ with the value inf"),
        (stage_value("scaler", "data_max_", 1e300, where=0), None, "scaler holds data_max_ with the value 1e\\+300"),
        (stage_value("scaler", "n_samples_seen_", 0), None, "scaler holds n_samples_seen_"),
        (setting("scaler", "feature_range", (0, 0)), "0.0.1", "scaler sets feature_range to \\(0, 0\\)"),
        (setting("scaler", "clip", True), "0.0.1", "scaler sets clip to True"),
        (stage_value("imputer", "statistics_", np.nan, where=0), None, "imputer holds statistics_ with the value nan"),
        (stage_value("imputer", "statistics_", 1e300, where=0), None, "imputer holds statistics_ with the value 1e\\+300"),
        (with_feature_names("imputer", lambda names: [names[0]] + names[:-1]), None,
         "imputer's feature names are not distinct"),
        (with_feature_names("scaler", lambda names: [n + "_renamed" for n in names]), None,
         "scaler's feature names are not those the earlier stages leave"),
    ],
    ("BaggingClassifierLogisticRegression", "KNNImputer"): [
        (member_value("coef_", np.nan), None, "member holds coef_ with the value nan"),
        (member_value("coef_", 1e308, where=(0, 0)), None, "member holds coef_ with the value 1e\\+308"),
        (member_value("intercept_", np.inf), None, "member holds intercept_ with the value inf"),
        (member_value("n_iter_", 7), None, None),
        (stage_value("classifier_model", "_n_samples", 3), None, "classifier_model was fitted on 3 rows"),
        (stage_value("imputer", "_fit_X", 1e300, where=(0, 0)), None, "imputer holds _fit_X with the value 1e\\+300"),
        (unmasked_gap, None, "imputer holds _mask_fit_X that does not mark"),
        (without_first_training_row, None, "imputer keeps 39 training rows where its scaler saw 40"),
    ],
    ("AdaBoostClassifierComplementNB", "SimpleImputer"): [
        (member_value("feature_log_prob_", np.nan), None, "member holds feature_log_prob_ with the value nan"),
        (member_value("feature_log_prob_", np.inf, where=1), None, "member holds feature_log_prob_ with the value inf"),
        (member_value("feature_count_", -1.0, where=(0, 0)), None, "member holds feature_count_ with the value -1"),
    ],
}


@pytest.mark.parametrize("family, imputer", list(FITTED_VALUE_CASES))
def test_fitted_values_no_fit_can_give_are_refused(workdir, family, imputer):
    trades = make_trades()
    rows = trades["X_train_df"].iloc[:20]
    write_best_model(dict(CHEAP, classifier_model_to_use=family, imputer_to_use=imputer), trades=trades)
    genuine = read_model(workdir)
    expected = [reference_predict(genuine, rows.iloc[[i]])[0] for i in range(len(rows))]
    path = f"../vodED/saved_models/F{SUFFIX}.pkl"
    for change, version, refusal in FITTED_VALUE_CASES[family, imputer]:
        model = copy.deepcopy(genuine)
        change(model)
        write_model_file(workdir, mock_version(version, model) if version else model)
        classifier = OptimalEntryClassifier()
        if refusal is None:
            assert load(classifier) is True
            assert [classifier.predict(rows.iloc[[i]]) for i in range(len(rows))] == expected
            continue
        with pytest.raises(pickle.UnpicklingError) as refused:
            load(classifier)
        message = str(refused.value)
        assert message.startswith(f"Refusing to load the model file {path}: its "), message
        assert re.search(refusal, message), (refusal, message)


@functools.lru_cache(maxsize=1)
def wide_model(width, rows=40):
    """The six stages of a model `width` features wide, fitted as the final fit fits them,
    the correlation filter having dropped every other column but the first three."""
    rng = np.random.default_rng(5)
    X = pd.DataFrame(rng.normal(size=(rows, width)), columns=[f"f{i}" for i in range(width)])
    y = (X["f1"] > 0).astype(np.int64)
    imputer = SimpleImputer(strategy="mean", keep_empty_features=True)
    imputed = pd.DataFrame(imputer.fit_transform(X), columns=X.columns)
    dropped = [f"f{i}" for i in range(3, width, 2)]
    reduced = imputed.drop(columns=dropped)
    scaler = MinMaxScaler().fit(reduced)
    selector = SelectPercentile(f_classif, percentile=50).fit(scaler.transform(reduced),
                                                               np.asarray(y, dtype=np.int8))
    model = AdaBoostClassifier(estimator=GaussianNB(), n_estimators=2, learning_rate=1.0).fit(
        selector.transform(scaler.transform(reduced)), y, sample_weight=np.ones(rows))
    stages = {"imputer": imputer, "no_variance_cols": np.arange(width),
              "features_to_drop_from_multicollinearity": dropped, "scaler": scaler,
              "select_top_k_features": selector, "classifier_model": model}
    return stages, X


def test_a_wide_model_loads_and_its_dropped_labels_are_checked(workdir):
    """The loader's look-ups are linear in the width (bench/model_load.py shows the times of
    models up to 120,000 features wide); here 30,000, which the list scans of before took
    seconds over."""
    stages, X = wide_model(30_000)
    models_dir(workdir).mkdir(parents=True)
    write_model_file(workdir, stages)
    classifier = OptimalEntryClassifier()
    assert load(classifier) is True
    rows = X.iloc[:4]
    assert [classifier.predict(rows.iloc[[i]]) for i in range(len(rows))] == list(
        reference_predict(stages, rows))
    for label, refusal in [("f2x", "drops 'f2x', which is no kept feature"),
                           ("f3", "scaler takes 15001 features where 15000 remain")]:
        forged = copy.deepcopy(stages)
        forged["features_to_drop_from_multicollinearity"] = forged[
            "features_to_drop_from_multicollinearity"] + [label]
        write_model_file(workdir, forged)
        with pytest.raises(pickle.UnpicklingError, match=refusal):
            load(OptimalEntryClassifier())


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("after", [0.001, 0.03])
def test_ctrl_c_stops_the_load_of_a_wide_model(workdir, after):
    """A Ctrl-C while a wide model is read, scanned, unpickled or checked ends the load with
    KeyboardInterrupt, never a refusal or a model; the model loaded before stays."""
    stages, X = wide_model(120_000, rows=8)  # the same, built once (the loads change nothing)
    models_dir(workdir).mkdir(parents=True)
    write_model_file(workdir, stages)
    classifier = OptimalEntryClassifier()
    assert load(classifier) is True  # the first load of a process also fits the genuine stages
    expected = classifier.predict(X.iloc[[0]])

    def interrupted(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupted)
    outcome = None
    try:
        try:
            signal.setitimer(signal.ITIMER_REAL, after)
            try:
                load(classifier)
                outcome = "loaded"
            except KeyboardInterrupt:
                outcome = "interrupted"
            signal.setitimer(signal.ITIMER_REAL, 0)
        except KeyboardInterrupt:  # the signal came after a load that had ended
            pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert outcome == "interrupted"  # the load takes far longer than the delays
    assert classifier.predict(X.iloc[[0]]) == expected


def forged_model_files(earlier, bagging, knn):
    """Case: (file content, what the refusal says). Every file but the two whose names are
    not text names admitted globals only. `earlier` is the loaded model (AdaBoost over
    GaussianNB); `bagging` and `knn` genuine models of the same data with a Bagging ensemble
    and a KNNImputer."""
    object_field = [("f", "O")]
    jobs = copy.deepcopy(bagging)
    jobs["classifier_model"].n_jobs = 6
    with mock.patch.object(sklearn.base, "__version__", "1.9.1\nINFO: :MODEL VERIFIED OK"):
        forged_version = pickle.dumps(earlier)
    classes = copy.deepcopy(bagging)
    classes["classifier_model"].n_classes_ = 10**12  # what predict_proba allocates a row of
    callable_strategy = copy.deepcopy(earlier)
    callable_strategy["imputer"].strategy = f_classif
    callable_fill = copy.deepcopy(earlier)
    callable_fill["imputer"].fill_value = f_classif
    with mock.patch.object(sklearn.base, "__version__", "0.0.1"):
        other_version_callable = pickle.dumps(callable_fill)
    width = earlier["scaler"].n_features_in_
    return {
        # a scalar read through an object dtype whose "holds objects" flag is cleared: the
        # object pointer comes from the file's bytes
        "object-scalar-flags-cleared": (
            named_global(NUMPY_MULTIARRAY, "scalar")
            + make_dtype("O8", (3, "|", None, None, None, -1, -1, 0)) + binbytes(b"A" * 8)
            + pickle.TUPLE2 + pickle.REDUCE, "a state other than its own"),
        "object-scalar-from-bytes": (
            named_global(NUMPY_MULTIARRAY, "scalar") + canonical_dtype("O8") + binbytes(b"A" * 8)
            + pickle.TUPLE2 + pickle.REDUCE, "non-object dtype and its bytes"),
        "object-field-through-frombuffer": (
            frombuffer_array(b"A" * 8, structured_dtype(object_field, flags=0), (1,)),
            "makes a numpy dtype other than"),
        "object-field-through-reconstruct": (
            reconstructed_array(structured_dtype(object_field), (1,), binbytes(b"A" * 8)),
            "makes a numpy dtype other than"),
        "field-offset-out-of-bounds": (
            reconstructed_array(make_dtype("V1", (3, "|", None, ("x",), {"x": (np.dtype("i8"), 1000)},
                                                  1, 1, 16)), (1,), binbytes(b"A")),
            "makes a numpy dtype other than"),
        "listed-dtype-given-fields": (
            make_dtype("f8", (3, "<", None, ("x",), {"x": (np.dtype("O8"), 0)}, 8, 1, 63)),
            "a state other than its own"),
        "listed-dtype-given-another-byte-order": (
            make_dtype("f8", (3, ">", None, None, None, -1, -1, 0)), "a state other than its own"),
        "listed-dtype-given-another-size": (
            make_dtype("u1", (3, "|", None, None, None, 4096, 1, 0)), "a state other than its own"),
        "object-array-from-bytes": (
            reconstructed_array(canonical_dtype("O8"), (1,), binbytes(b"A" * 8)),
            "shape, dtype and data of that size"),
        "array-larger-than-its-data": (
            frombuffer_array(b"A", canonical_dtype("u1"), (10**12,)), "data of the shape's size"),
        "reconstruct-with-a-size": (
            named_global(NUMPY_MULTIARRAY, "_reconstruct") + named_global("numpy", "ndarray")
            + inline((10**10,)) + pickle.SHORT_BINBYTES + b"\x01b" + pickle.TUPLE3
            + pickle.REDUCE, "(numpy.ndarray, (0,), b'b')"),
        "memo-bomb": (pickle.NONE + pickle.LONG_BINPUT + (0x0FFFFFFF).to_bytes(4, "little"),
                      "stores memo entry 268435455 while the memo holds 0"),
        "bytearray-bomb": (named_global("builtins", "bytearray") + inline((4 * 10**9,))
                           + pickle.REDUCE, "'builtins.bytearray' with arguments other than"),
        # one stored value copied again and again, at six bytes of file a copy: 300 MB
        "memo-copy-bomb": (
            named_global("builtins", "bytearray") + pickle.MEMOIZE + pickle.POP
            + binbytes(b"A" * 100_000) + pickle.MEMOIZE + pickle.POP + pickle.EMPTY_LIST
            + pickle.MARK + (pickle.BINGET + b"\x00" + pickle.BINGET + b"\x01" + pickle.TUPLE1
                             + pickle.REDUCE) * 3000 + pickle.APPENDS,
            "copies its stored values over and over"),
        # integers hash modulo 2^61 - 1: a set of its multiples costs quadratic time
        "colliding-integer-set": (
            pickle.MARK + b"".join(pickle.LONG1 + bytes([len(x)]) + x for x in (
                pickle.encode_long(k * (2**61 - 1)) for k in range(1, 100_001)))
            + pickle.FROZENSET, "a set item other than a plain scalar"),
        "zero-stride-bomb": (
            named_global("builtins", "frozenset") + named_global("numpy", "ndarray") + pickle.MARK
            + inline((10**15,)) + inline("u1") + binbytes(b"A") + inline(0) + inline((0,))
            + pickle.TUPLE + pickle.REDUCE + pickle.TUPLE1 + pickle.REDUCE,
            "calls 'numpy.ndarray'"),
        "deep-slices": (nested_slices(10**6), "'builtins.slice' with arguments other than"),
        "deep-object-arrays": (nested_object_arrays(10**5), "more than 64 levels deep"),
        "bagging-with-n-jobs": (pickle.dumps(jobs), "sets n_jobs to 6"),
        "forged-class-count": (pickle.dumps(classes), "n_classes_ 1000000000000 is not the count"),
        "callable-setting": (pickle.dumps(callable_strategy), "strategy to <function f_classif"),
        "callable-setting-under-another-version": (other_version_callable,
                                                   "fill_value to <function f_classif"),
        "version-with-a-newline": (forged_version, "a _sklearn_version other than short version text"),
        "unlisted-stage-class": (
            pickle.dumps(earlier | {"imputer": MinMaxScaler().fit(np.eye(width))}),
            "its imputer is"),
        # messages: names that are not text, failures after the scan, a damaged dictionary
        "name-not-utf8": (pickle.GLOBAL + b"\xff\xfe\nx\n", "module '\\xff\\xfe'"),
        "name-with-nul": (pickle.GLOBAL + b"os\x00\nsystem\n", "module 'os\\x00'"),
        "text-not-utf8": (pickle.SHORT_BINUNICODE + b"\x02\xff\xfe", "UnicodeDecodeError"),
        "range-with-step-zero": (named_global("builtins", "range") + inline((1, 2, 0))
                                 + pickle.REDUCE, "ValueError"),
        "dictionary-key-without-value": (pickle.EMPTY_DICT + pickle.MARK + inline("a")
                                         + pickle.SETITEMS, "a key without its value"),
        "dictionary-with-a-number-key": (pickle.EMPTY_DICT + inline(1) + inline(2)
                                         + pickle.SETITEM, "dictionary key other than text"),
        # the unpickler's own refusals, which name no file
        "stop-on-an-empty-stack": (PROTO_4 + pickle.STOP, "a STOP without exactly one object"),
        "stop-inside-a-mark": (PROTO_4 + pickle.NONE + pickle.MARK + pickle.STOP,
                               "a STOP without exactly one object"),
        "frame-past-the-end": (PROTO_4 + pickle.FRAME + (10**6).to_bytes(8, "little") + pickle.NONE
                               + pickle.STOP, "a frame that runs past the end of the data"),
        "out-of-band-buffer": (pickle.NEXT_BUFFER, "a buffer kept outside the file"),
        # values whose shared parts never end once walked: predict compares the classes of the
        # ensemble with those of its members; scikit-learn formats a version while it loads
        # it; a refusal, pandas' drop or the scaler's arithmetic would walk the others
        "classes-holding-each-other": (edited(earlier, lambda m: (
            setattr(m["classifier_model"], "classes_", shared_lists(50)),
            setattr(m["classifier_model"].estimators_[0], "classes_", shared_lists(50)))),
            "expands to more than"),
        "version-holding-each-other": (
            mock_version(shared_lists(50), earlier), "expands to more than"),
        "setting-holding-each-other": (
            edited(earlier, setting("imputer", "strategy", shared_lists(50))), "expands to more than"),
        "dropped-labels-holding-each-other": (
            edited(earlier, lambda m: m.update(
                features_to_drop_from_multicollinearity=shared_lists(50))), "expands to more than"),
        "scaler-minimum-holding-each-other": (
            edited(earlier, setting("scaler", "min_", shared_lists(50))), "expands to more than"),
        # a stage's arrays replaced by what allocates whatever the file names
        "range-as-scores": (
            edited(earlier, setting("select_top_k_features", "scores_", range(1_500_000_000))),
            "holds scores_ as <range>"),
        "range-as-scale": (
            edited(earlier, setting("scaler", "scale_", range(1_500_000_000))), "holds scale_ as <range>"),
        "range-as-training-rows": (
            edited(knn, setting("imputer", "_fit_X", range(1_500_000_000))), "holds _fit_X as <range>"),
        "integers-as-feature-names": (
            edited(earlier, setting("imputer", "feature_names_in_", np.array(
                [k * (2**61 - 1) for k in range(1, 60_001)], dtype=object))),
            "holds feature_names_in_ as <ndarray>"),
        # predict walks every member
        "one-member-many-times": (
            edited(bagging, lambda m: setattr(m["classifier_model"], "estimators_",
                                              m["classifier_model"].estimators_[:1] * 100_000)),
            "expands to more than"),
        "more-members-than-estimators": (
            edited(bagging, lambda m: setattr(m["classifier_model"], "estimators_",
                                              copy.deepcopy(m["classifier_model"].estimators_ * 2))),
            "holds estimators_ as <a list of 6 items>"),
        "bagging-missing-a-member": (
            edited(bagging, lambda m: setattr(m["classifier_model"], "estimators_",
                                              m["classifier_model"].estimators_[:2])),
            "holds 2 members for n_estimators 3"),
        # a method of its own: every predict would answer "[", which reads as true
        "predict-replaced": (
            edited(earlier, lambda m: m["classifier_model"].__dict__.update(predict=str)),
            "its classifier_model holds 'predict', which a fitted AdaBoostClassifier does not hold"),
        "transform-added-to-a-member": (
            edited(bagging, lambda m: m["classifier_model"].estimators_[1].__dict__.update(
                transform=f_classif)), "holds 'transform'"),
        # settings outside the search space the library draws them from
        "no-neighbours": (edited(knn, setting("imputer", "n_neighbors", 0)),
                          "sets n_neighbors to 0, outside the range"),
        "negative-neighbours": (edited(knn, setting("imputer", "n_neighbors", -3)),
                                "sets n_neighbors to -3, outside the range"),
        "huge-neighbours": (edited(knn, setting("imputer", "n_neighbors", 10**30)),
                            "sets n_neighbors to <an integer of more than 64 bits>"),
        "nonsense-weights": (edited(knn, setting("imputer", "weights", "nonsense")),
                             "sets weights to 'nonsense', which the library never sets it to"),
        "learning-rate-nan": (edited(earlier, setting("classifier_model", "learning_rate", float("nan"))),
                              "sets learning_rate to nan, outside the range"),
        "negative-max-features": (edited(bagging, setting("classifier_model", "max_features", -1)),
                                  "sets max_features to -1, outside the range"),
        "no-estimators": (edited(bagging, setting("classifier_model", "n_estimators", 0)),
                          "holds estimators_ as <a list of 3 items>"),
        # what predict relies on from stage to stage
        "scaler-wider-than-the-kept-columns": (
            edited(earlier, lambda m: m.update(no_variance_cols=m["no_variance_cols"][:-1])),
            "its scaler takes"),
        "kept-positions-beyond-the-imputer": (
            edited(earlier, lambda m: m.update(no_variance_cols=m["no_variance_cols"] + 100)),
            "are not increasing positions"),
        "member-classes-unlike-the-ensemble": (
            edited(earlier, lambda m: setattr(m["classifier_model"].estimators_[0], "classes_",
                                              np.array([0, 2]))),
            "does not fit the ensemble's features and classes"),
    }


CHILD = os.path.join(os.path.dirname(os.path.dirname(__file__)), "support", "model_file_child.py")


@pytest.fixture(scope="module")
def forged_loads(tmp_path_factory):
    """Every forged file loaded in its own child process, after a genuine model."""
    root = tmp_path_factory.mktemp("forged")
    workdir = root / "cwd"
    workdir.mkdir()
    with contextlib.chdir(workdir):
        trades = make_trades()
        write_best_model(CHEAP, factor_name="F", trades=trades)
        write_best_model(dict(CHEAP, classifier_model_to_use="BaggingClassifierGaussianNB"),
                         factor_name="B", trades=trades)
        write_best_model(dict(CHEAP, imputer_to_use="KNNImputer"), factor_name="K", trades=trades)
        earlier, bagging, knn = (read_model(root, name) for name in "FBK")
    cases = forged_model_files(earlier, bagging, knn)
    assert list(cases) == FORGED_CASES  # the table and the parametrisation name the same cases
    files = {}
    for case, (content, _) in cases.items():
        files[case] = str(root / f"{case}.pkl")
        framed = content if content.startswith(pickle.PROTO) else PROTO_4 + content + pickle.STOP
        (root / f"{case}.pkl").write_bytes(framed)
    with open(root / "rows.pkl", "wb") as f:
        pickle.dump(trades["X_train_df"], f)
    config = dict(workdir=str(workdir), genuine="F", rows=str(root / "rows.pkl"), cases=files,
                  marker=str(root / "pwned"), results=str(root / "results.json"))
    (root / "config.json").write_text(json.dumps(config))
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1",
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    ran = subprocess.run([sys.executable, CHILD, str(root / "config.json")], env=env,
                         timeout=600, capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr[-4000:]
    return json.loads((root / "results.json").read_text()), {c: why for c, (_, why) in cases.items()}


FORGED_CASES = [
    "object-scalar-flags-cleared", "object-scalar-from-bytes", "object-field-through-frombuffer",
    "object-field-through-reconstruct", "field-offset-out-of-bounds", "listed-dtype-given-fields",
    "listed-dtype-given-another-byte-order", "listed-dtype-given-another-size",
    "object-array-from-bytes", "array-larger-than-its-data", "reconstruct-with-a-size",
    "memo-bomb", "bytearray-bomb", "memo-copy-bomb", "colliding-integer-set", "zero-stride-bomb",
    "deep-slices", "deep-object-arrays", "bagging-with-n-jobs", "forged-class-count",
    "callable-setting", "callable-setting-under-another-version", "version-with-a-newline",
    "unlisted-stage-class", "name-not-utf8", "name-with-nul", "text-not-utf8",
    "range-with-step-zero", "dictionary-key-without-value", "dictionary-with-a-number-key",
    "stop-on-an-empty-stack", "stop-inside-a-mark", "frame-past-the-end", "out-of-band-buffer",
    "classes-holding-each-other", "version-holding-each-other", "setting-holding-each-other",
    "dropped-labels-holding-each-other", "scaler-minimum-holding-each-other", "range-as-scores",
    "range-as-scale", "range-as-training-rows", "integers-as-feature-names",
    "one-member-many-times", "more-members-than-estimators", "bagging-missing-a-member",
    "predict-replaced",
    "transform-added-to-a-member", "no-neighbours", "negative-neighbours", "huge-neighbours",
    "nonsense-weights", "learning-rate-nan", "negative-max-features", "no-estimators",
    "scaler-wider-than-the-kept-columns", "kept-positions-beyond-the-imputer",
    "member-classes-unlike-the-ensemble"]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="forks and reads /proc")
@pytest.mark.parametrize("case", FORGED_CASES)
def test_forged_objects_and_bombs_are_refused_in_a_child_that_lives(forged_loads, case):
    """Files that name only admitted globals but build forged numpy objects, cost far more
    than their size, nest without bound, set what the library never sets, or break the
    message: each is one UnpicklingError naming the file, in a child that survives within
    its limits, and the model loaded before still predicts as before."""
    results, reasons = forged_loads
    outcome = results[case]
    assert outcome["signal"] is None and "crash" not in outcome, outcome
    assert outcome.get("error") == "_pickle.UnpicklingError", outcome
    message = outcome["message"]
    assert message.startswith(f"Refusing to load the model file ../vodED/saved_models/H{SUFFIX}.pkl: ")
    assert reasons[case] in message
    assert message.endswith("builtin containers and scalars") and "\n" not in message
    assert outcome["grew_kb"] < 200 * 1024, outcome
    assert outcome["labels_kept"] is True and outcome["marker"] is False


@pytest.mark.parametrize("raised, expected", [
    (MemoryError, pickle.UnpicklingError), (RecursionError, pickle.UnpicklingError),
    (KeyboardInterrupt, KeyboardInterrupt)])
def test_failures_while_unpickling_name_the_file_but_ctrl_c_stops(workdir, monkeypatch, raised,
                                                                   expected):
    trades = make_trades()
    X = trades["X_train_df"]
    classifier = write_best_model(CHEAP, trades=trades)
    assert load(classifier) is True
    labels = [classifier.predict(X.iloc[[i]]) for i in range(len(X))]

    class Failing(pickle.Unpickler):
        def load(self):
            raise raised()

    monkeypatch.setattr(pickle, "Unpickler", Failing)
    with pytest.raises(expected) as failure:
        load(classifier)
    if expected is pickle.UnpicklingError:
        assert f"model file ../vodED/saved_models/F{SUFFIX}.pkl: " in str(failure.value)
        assert raised.__name__ in str(failure.value)
    monkeypatch.undo()
    assert [classifier.predict(X.iloc[[i]]) for i in range(len(X))] == labels
