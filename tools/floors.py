#!/usr/bin/env python3
"""Writes .ci/floors.txt, the lowest release of every dependency that pyproject.toml allows.

    python tools/floors.py           # rewrite .ci/floors.txt
    python tools/floors.py --check   # exit 1 when .ci/floors.txt is not what pyproject.toml gives

The file pins each build requirement, runtime dependency and test dependency to its lower
bound (`>=` or `==`), for pip's PIP_CONSTRAINT: CI installs and tests the package once with
the newest releases and once with these, so both ends of every range are proven. A
dependency without a lower bound has no floor to test and is refused.
"""

from __future__ import annotations

import argparse
import re
import sys
import tomllib
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
FLOORS = REPO / ".ci" / "floors.txt"

HEADER = (
    "# Written by tools/floors.py from pyproject.toml: the lower bound of every build, runtime\n"
    "# and test dependency. Do not edit; change pyproject.toml and rerun the tool.\n"
)

_REQUIREMENT = re.compile(r"^\s*([A-Za-z0-9][A-Za-z0-9._-]*)\s*(\[[^\]]*\])?\s*(.*)$")


def requirements(pyproject: dict) -> list[str]:
    """Build requirements, then dependencies, then the test extra, as pyproject.toml lists them."""
    project = pyproject["project"]
    return [
        *pyproject["build-system"]["requires"],
        *project["dependencies"],
        *project.get("optional-dependencies", {}).get("test", []),
    ]


def floor_of(requirement: str) -> tuple[str, str]:
    """(name, lowest allowed version) of one requirement string; ValueError without a floor."""
    if ";" in requirement:
        raise ValueError(f"{requirement!r}: environment markers are not supported here")
    match = _REQUIREMENT.match(requirement)
    if match is None:
        raise ValueError(f"{requirement!r} is not a requirement")
    name, _, specifiers = match.groups()
    floors = []
    for clause in filter(None, (c.strip() for c in specifiers.split(","))):
        parts = re.match(r"^(~=|==|>=|<=|!=|<|>)\s*(\S+)$", clause)
        if parts is None:
            raise ValueError(f"{requirement!r}: cannot read {clause!r}")
        operator, version = parts.groups()
        if operator in ("==", ">=", "~="):
            floors.append(version)
    if len(floors) != 1 or "*" in floors[0]:
        raise ValueError(f"{requirement!r} needs exactly one lower bound (>= or ==)")
    return name.lower().replace("_", "-"), floors[0]


def floors_text(pyproject: dict) -> str:
    seen: dict[str, str] = {}
    for requirement in requirements(pyproject):
        name, version = floor_of(requirement)
        if seen.setdefault(name, version) != version:
            raise ValueError(f"{name} is required with two floors, {seen[name]} and {version}")
    return HEADER + "".join(f"{name}=={version}\n" for name, version in seen.items())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()
    with open(REPO / "pyproject.toml", "rb") as f:
        text = floors_text(tomllib.load(f))
    if args.check:
        if not FLOORS.exists() or FLOORS.read_text() != text:
            print(f"{FLOORS.relative_to(REPO)} is out of date: run python tools/floors.py", file=sys.stderr)
            return 1
        return 0
    FLOORS.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
