"""Speed of loading a genuine model file through the classifier's checked loader.

    python bench/model_load.py

Writes model files as the final fit does (the six stages, default pickle protocol) for a
small, a many-member and a large-training-set model, and times, on the same file:
- the loader (`__check_and_load_optimal_entry_classifier`: read, opcode scan, restricted
  unpickling, stage checks);
- a restricted unpickler alone: pickle.Unpickler whose find_class admits the same globals,
  with no opcode scan and no stage checks (the loader of before minus its own scan, so a
  stricter reference than the loader of before);
- plain `pickle.loads` of the same bytes.
It prints milliseconds and the loader's ratio to each reference. The loader before the
stage-state checks (which compare every stage and member with the stages the library fits
under the installed scikit-learn) took, on this script's models on the machine these checks
were written on, 0.09 ms, 3.2 ms and 1.57 ms; the checked loader 0.09 ms, 3.6 ms and 1.60 ms
(1.0x, 1.15x, 1.02x): loading must stay within 1.2 times of the loader before. The first
load of a process also fits the library's stages once to compare with (about 0.1 s),
which best-of timing leaves out.

The checks of the fitted values read every number the stages hold once: on the machine
they were written on (two shared cores, so a few milliseconds either way), the small and
the many-member model load as before (0.1 ms, 3-4 ms), the KNN imputer's million stored
values add 2-3 ms to its 2 ms. The wide models (40,000, 80,000 and 120,000 features, half
of them dropped by the correlation filter) took 32, 79 and 124 ms, growing with the width;
the drop-list check of before, a list scan per label, took 15 s at 40,000 and 218 s at
120,000.
"""

from __future__ import annotations

import io
import os
import pickle
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
from sklearn.ensemble import AdaBoostClassifier, BaggingClassifier
from sklearn.feature_selection import SelectPercentile, f_classif
from sklearn.impute import KNNImputer, SimpleImputer
from sklearn.linear_model import LogisticRegression
from sklearn.naive_bayes import GaussianNB
from sklearn.preprocessing import MinMaxScaler
from timing import best_of

from velmora.vodED import tradegate
from velmora.vodED.tradegate import OptimalEntryClassifier

LOAD = "__check_and_load_optimal_entry_classifier"


def model(rows, columns, imputer, classifier, seed=0, dropped=0):
    """The six stages, fitted as the final fit fits them: the imputer and the scaler on
    frames (so both keep the feature names), the selector and the classifier on arrays, the
    classifier with sample weights. The correlation filter drops the first `dropped` of every
    other column."""
    rng = np.random.default_rng(seed)
    X = pd.DataFrame(rng.normal(size=(rows, columns)), columns=[f"f{i}" for i in range(columns)])
    X.iloc[::7, 0] = np.nan
    y = (X["f1"] > 0).astype(int)
    imputed = pd.DataFrame(imputer.fit_transform(X), columns=X.columns)
    drop = [f"f{i}" for i in range(3, columns, 2)][:dropped]
    reduced = imputed.drop(columns=drop)
    scaler = MinMaxScaler().fit(reduced)
    selector = SelectPercentile(score_func=f_classif, percentile=50).fit(
        scaler.transform(reduced), np.asarray(y, dtype=np.int8))
    classifier.fit(selector.transform(scaler.transform(reduced)), y,
                   sample_weight=np.ones(rows))
    return {"imputer": imputer, "no_variance_cols": np.arange(columns),
            "features_to_drop_from_multicollinearity": drop, "scaler": scaler,
            "select_top_k_features": selector, "classifier_model": classifier}


def restricted_loads(data):
    admitted = tradegate._MODEL_FILE_GLOBALS

    class Restricted(pickle.Unpickler):
        def find_class(self, module, name):
            if (module, name) not in admitted:
                raise pickle.UnpicklingError(f"{module}.{name}")
            return super().find_class(module, name)

    return Restricted(io.BytesIO(data)).load()


def main():
    lr = dict(C=1.0, l1_ratio=0.0, max_iter=1000, solver="liblinear")
    cases = {
        "AdaBoost GaussianNB, 2 members, 200 rows": model(
            200, 8, SimpleImputer(strategy="mean", keep_empty_features=True),
            AdaBoostClassifier(estimator=GaussianNB(), n_estimators=2, learning_rate=1.0)),
        "Bagging LogisticRegression, 300 members": model(
            500, 8, SimpleImputer(strategy="median", keep_empty_features=True),
            BaggingClassifier(estimator=LogisticRegression(**lr), n_estimators=300,
                              max_samples=0.5, max_features=1.0, bootstrap_features=True)),
        "KNNImputer over 50000 rows": model(
            50_000, 20, KNNImputer(n_neighbors=3, weights="uniform", keep_empty_features=True),
            AdaBoostClassifier(estimator=GaussianNB(), n_estimators=20, learning_rate=1.0)),
    }
    # Wide models, half their kept features dropped by the correlation filter: the load grows
    # with the width as unpickling does (twice the width, about twice the time).
    for width in (40_000, 80_000, 120_000):
        cases[f"{width} features, {width // 2} dropped"] = model(
            40, width, SimpleImputer(strategy="mean", keep_empty_features=True),
            AdaBoostClassifier(estimator=GaussianNB(), n_estimators=2, learning_rate=1.0),
            dropped=width // 2)
    with tempfile.TemporaryDirectory() as root:
        folder = Path(root) / "vodED" / "saved_models"
        folder.mkdir(parents=True)
        cwd = Path(root) / "cwd"
        cwd.mkdir()
        os.chdir(cwd)
        classifier = OptimalEntryClassifier()
        print(f"{'model':<42} {'KB':>7} {'loader ms':>10} {'restricted ms':>14} {'plain ms':>9} "
              f"{'vs restricted':>14} {'vs plain':>9}")
        for i, (name, stages) in enumerate(cases.items()):
            path = folder / f"M{i}_OptimalEntryClassifier.pkl"
            with open(path, "wb") as f:
                pickle.dump(stages, f)
            data = path.read_bytes()
            repeats = 20 if len(data) < 1e6 else 5
            t_loader, loaded = best_of(lambda: getattr(classifier, LOAD)(factor_name=f"M{i}"), repeats)
            assert loaded is True
            t_restricted, _ = best_of(lambda: restricted_loads(path.read_bytes()), repeats)
            t_plain, _ = best_of(lambda: pickle.loads(path.read_bytes()), repeats)
            print(f"{name:<42} {len(data) / 1024:>7.0f} {t_loader * 1e3:>10.2f} "
                  f"{t_restricted * 1e3:>14.2f} {t_plain * 1e3:>9.2f} "
                  f"{t_loader / t_restricted:>13.2f}x {t_loader / t_plain:>8.2f}x")


if __name__ == "__main__":
    main()
