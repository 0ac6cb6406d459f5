"""The floor constraints CI installs are pyproject.toml's lower bounds, and are what got installed."""

import importlib.metadata
import importlib.util
import os
import tomllib
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.version import Version

REPO = Path(__file__).resolve().parents[1]


def load_tool():
    spec = importlib.util.spec_from_file_location("floors_tool", REPO / "tools" / "floors.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


floors = load_tool()


def pyproject():
    with open(REPO / "pyproject.toml", "rb") as f:
        return tomllib.load(f)


def pinned(text):
    lines = [line for line in text.splitlines() if line and not line.startswith("#")]
    return dict(line.split("==") for line in lines)


def test_constraints_file_is_the_one_pyproject_gives():
    assert (REPO / ".ci" / "floors.txt").read_text() == floors.floors_text(pyproject())


def test_every_floor_lies_in_its_own_range():
    table = pinned(floors.floors_text(pyproject()))
    for text in floors.requirements(pyproject()):
        requirement = Requirement(text)
        name = requirement.name.lower().replace("_", "-")
        assert requirement.specifier.contains(table[name], prereleases=True), text


@pytest.mark.parametrize("requirement, floor", [
    ("numpy>=2.3,<3", ("numpy", "2.3")),
    ("timeseriescv==0.2", ("timeseriescv", "0.2")),
    ("Scikit_Learn >= 1.4.2, < 1.10", ("scikit-learn", "1.4.2")),
    ("pytz", None),  # no floor to test
    ("lxml<6", None),
    ("pandas>=2.2,>=2.3", None),  # two floors: which one is proven?
    ("numpy==2.*", None),
])
def test_floor_of_a_requirement(requirement, floor):
    if floor is None:
        with pytest.raises(ValueError, match="lower bound"):
            floors.floor_of(requirement)
    else:
        assert floors.floor_of(requirement) == floor


@pytest.mark.skipif(not os.environ.get("VELMORA_FLOORS"), reason="only in the floor job")
def test_floor_job_runs_at_the_floors():
    table = pinned(Path(os.environ["VELMORA_FLOORS"]).read_text())
    project = pyproject()["project"]
    runtime = [*project["dependencies"], *project["optional-dependencies"]["test"]]
    wrong = {}
    for text in runtime:
        name = Requirement(text).name
        installed = importlib.metadata.version(name)
        if Version(installed) != Version(table[name.lower().replace("_", "-")]):
            wrong[name] = installed
    assert wrong == {}
