#!/usr/bin/env python3
"""Quick in-place build of chosen extension modules, for development.

    python tools/devbuild.py velmora.utils.results.scorebook [--areas results] [--dir NAME]

Configures (once) a build directory build/dev-NAME, compiles only the named modules and
the core areas they need, and copies each module next to its package in src/velmora, so
that `PYTHONPATH=src python -m pytest tests/...` runs against the fresh build. Modules not
named keep whatever build was copied there before. `pip install .` remains the real build.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("modules", nargs="+", help="dotted module paths, e.g. velmora.vodED.signalsmith")
    parser.add_argument("--areas", default="", help="core areas to compile, ';'-separated (default: all)")
    parser.add_argument("--dir", default=None, help="build directory suffix (default: the first module's leaf)")
    parser.add_argument("--debug", action="store_true", help="RelWithDebInfo instead of Release")
    args = parser.parse_args()

    name = args.dir or args.modules[0].rsplit(".", 1)[-1]
    build = REPO / "build" / f"dev-{name}"
    import pybind11

    configure = [
        "cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja",
        f"-DCMAKE_BUILD_TYPE={'RelWithDebInfo' if args.debug else 'Release'}",
        f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        f"-DPython_EXECUTABLE={sys.executable}",
        f"-DVELMORA_CORE_AREAS={args.areas}",
    ]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    targets = [m.replace(".", "_") for m in args.modules]
    subprocess.run(["cmake", "--build", str(build), "--target", *targets], check=True)

    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    for module in args.modules:
        parts = module.split(".")
        built = build / f"{parts[-1]}{suffix}"
        dest = REPO / "src" / Path(*parts[:-1]) / built.name
        # Replace, never overwrite in place: a process that has the old module loaded keeps
        # its mapping of the old file instead of crashing on a rewritten one.
        tmp = dest.with_name(dest.name + ".tmp")
        shutil.copy2(built, tmp)
        os.replace(tmp, dest)
        print(f"built {module} -> {dest.relative_to(REPO)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
