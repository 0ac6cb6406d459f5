"""Loads model files into a classifier that holds a genuine model, each file in a child
process forked for it under a memory, CPU and time limit, and writes what became of each.

    python model_file_child.py CONFIG.json

CONFIG: {"workdir": the working directory (models live in ../vodED/saved_models/),
"genuine": the factor name of the genuine model, "rows": a pickled feature frame,
"cases": {case: file}, "marker": a path no case may create, "results": where to write}.

The result of a case: "signal" (the signal that ended its child, or null), "exit", and from
the child itself "loaded" or "error" and "message", "labels_kept" (the genuine model still
predicts the same labels afterwards), "grew_kb" (how far its peak resident memory rose) and
"marker". Run with one BLAS thread, so that forking leaves no pool behind.
"""

import json
import os
import pickle
import resource
import shutil
import signal
import sys
import traceback

LOAD = "__check_and_load_optimal_entry_classifier"
HEADROOM = 512 * 2**20  # address space a child may add to what it inherits
CPU_SECONDS = 20
WALL_SECONDS = 40


def status_kb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def labels_of(classifier, rows):
    return [int(classifier.predict(rows.iloc[[i]])) for i in range(len(rows))]


def run_case(classifier, rows, labels, path, marker):
    resource.setrlimit(resource.RLIMIT_AS, (status_kb("VmSize") * 1024 + HEADROOM,) * 2)
    resource.setrlimit(resource.RLIMIT_CPU, (CPU_SECONDS, CPU_SECONDS))
    signal.alarm(WALL_SECONDS)
    start = status_kb("VmRSS")
    shutil.copyfile(path, os.path.join("..", "vodED", "saved_models", "H_OptimalEntryClassifier.pkl"))
    outcome = {}
    try:
        outcome["loaded"] = bool(getattr(classifier, LOAD)(factor_name="H"))
    except Exception as error:  # what the load raised is the result
        outcome["error"] = f"{type(error).__module__}.{type(error).__qualname__}"
        outcome["message"] = str(error)
    outcome["grew_kb"] = status_kb("VmHWM") - start
    try:
        outcome["labels_kept"] = labels_of(classifier, rows) == labels
    except Exception as error:
        outcome["labels_kept"] = repr(error)
    outcome["marker"] = os.path.exists(marker)
    return outcome


def main(config_path):
    with open(config_path) as f:
        config = json.load(f)
    os.chdir(config["workdir"])
    from velmora.vodED.tradegate import OptimalEntryClassifier

    classifier = OptimalEntryClassifier()
    assert getattr(classifier, LOAD)(factor_name=config["genuine"]) is True
    with open(config["rows"], "rb") as f:
        rows = pickle.load(f)
    labels = labels_of(classifier, rows)
    results = {}
    for case, path in config["cases"].items():
        reply = config["results"] + "." + case
        pid = os.fork()
        if pid == 0:  # the child reports whatever happened and never returns to this loop
            outcome = {"crash": "the child stopped before it reported"}
            try:
                outcome = run_case(classifier, rows, labels, path, config["marker"])
            except Exception:
                outcome = {"crash": traceback.format_exc()}
            finally:
                with open(reply, "w") as f:
                    json.dump(outcome, f)
                os._exit(0)
        _, status = os.waitpid(pid, 0)
        record = {"signal": os.WTERMSIG(status) if os.WIFSIGNALED(status) else None,
                  "exit": os.WEXITSTATUS(status) if os.WIFEXITED(status) else None}
        if os.path.exists(reply):
            with open(reply) as f:
                record.update(json.load(f))
        results[case] = record
    with open(config["results"], "w") as f:
        json.dump(results, f)


if __name__ == "__main__":
    main(sys.argv[1])
