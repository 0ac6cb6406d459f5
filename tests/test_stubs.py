"""The type stubs beside the extension modules describe what the modules hold: every public
name, every parameter (its name, order, kind and default) and nothing that is not there.

The extension modules carry no signatures that inspect can read. pybind11 lists a function's
signatures in the error of a call that matches none of them, so each function is called with
one unknown keyword: that call runs nothing and tells the parameters the module really has.
"""

import ast
import importlib
import re
import types
from pathlib import Path

import pytest

MODULES = [
    "velmora.utils.inference.inference",
    "velmora.utils.filters.tickersieve",
    "velmora.utils.results.scorebook",
    "velmora.factors.technical.cointpairs",
    "velmora.vodED.signalsmith",
    "velmora.vodED.tradegate",
    "velmora.connections.binance.coinfeed",
    "velmora.connections.yahoo_finance.indexfeed",
]
PROBE = "__velmora_probe__"
ANY_ARGUMENTS = [("args", "*", None), ("kwargs", "**", None)]


# ---------------------------------------------------------------- what the modules hold

def split_top_level(text, separator=","):
    """`text` cut at `separator` outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, c in enumerate(text):
        if quote:
            if c == quote and text[i - 1] != "\\":
                quote = None
        elif c in "'\"":
            quote = c
        elif c in "([{<":
            depth += 1
        elif c in ")]}>":
            depth -= 1
        elif c == separator and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return [p.strip() for p in parts if p.strip()]


def parameters_of_signature(signature):
    """[(name, kind, default text or None)] of one pybind11 signature "(a: T, b: T = 1, /) -> R";
    kind is "/" for positional-only, "" otherwise, "*" and "**" for the catch-alls."""
    inner = signature[signature.index("(") + 1:signature.rindex(")")]
    parameters, positional_only = [], []
    for part in split_top_level(inner):
        if part == "/":
            positional_only = [p[0] for p in parameters]
            continue
        if part == "*":
            continue
        star = "**" if part.startswith("**") else "*" if part.startswith("*") else ""
        part = part[len(star):]
        default = None
        pieces = split_top_level(part, "=")
        if len(pieces) > 1:
            part, default = pieces[0], "=".join(pieces[1:]).strip()
        name = split_top_level(part, ":")[0]
        parameters.append((name, star, default))
    return [(n, "/" if n in positional_only else k, d) for n, k, d in parameters]


def runtime_parameters(function, owner=None):
    """The parameters of an extension function (without self), told by pybind11 when a call
    matches no signature. A function that takes any arguments accepts the probe instead."""
    try:
        if owner is not None:  # a constructor, probed on an object not yet initialised
            function(owner.__new__(owner), **{PROBE: 1})
        else:
            function(**{PROBE: 1})
    except TypeError as e:
        signatures = re.findall(r"^\s+\d+\. \S*?(\(.*\))(?: -> .*)?$", str(e), re.M)
        assert len(signatures) == 1, f"{function}: {e}"
        parameters = parameters_of_signature(signatures[0])
        return parameters[1:] if parameters and parameters[0][0] == "self" else parameters
    return ANY_ARGUMENTS


def public(name):
    return not name.startswith("_") or name == "__init__"


def runtime_api(module):
    """{name: kind} of the module's own public names, and {class: {member: kind}}; functions
    come with their parameters."""
    names, classes = {}, {}
    for name, value in vars(module).items():
        if not public(name) or isinstance(value, types.ModuleType):
            continue
        defined_here = getattr(value, "__module__", None) == module.__name__
        if isinstance(value, type) and defined_here:
            names[name] = "class"
            members = {}
            for member, attribute in vars(value).items():
                if not public(member):
                    continue
                if isinstance(attribute, property) or not callable(attribute):
                    members[member] = "attribute"
                else:
                    owner = value if member == "__init__" else None
                    members[member] = runtime_parameters(attribute, owner)
            classes[name] = members
        elif callable(value) and defined_here:
            names[name] = runtime_parameters(value)
        elif not callable(value):
            names[name] = "attribute"  # settings and the shared logger
    return names, classes


# ---------------------------------------------------------------- what the stubs say

def stub_parameters(function):
    a = function.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    parameters = [(p.arg, "/" if p in a.posonlyargs else "", d) for p, d in zip(positional, defaults)]
    if a.vararg:
        parameters.append((a.vararg.arg, "*", None))
    parameters += [(p.arg, "", d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        parameters.append((a.kwarg.arg, "**", None))
    return parameters[1:] if parameters and parameters[0][0] == "self" else parameters


def is_overload(function):
    return any(isinstance(d, ast.Name) and d.id == "overload" or isinstance(d, ast.Attribute) and d.attr == "overload"
               for d in function.decorator_list)


class Overloads(list):
    """The parameters of each `typing.overload` of one stub function, in stub order."""


def stub_api(path):
    names, classes, reexported = {}, {}, set()
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = "class"
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and is_overload(item):
                    members.setdefault(item.name, Overloads()).append(stub_parameters(item))
                elif isinstance(item, ast.FunctionDef):
                    members[item.name] = stub_parameters(item)
                elif isinstance(item, ast.AnnAssign):
                    members[item.target.id] = "attribute"
            classes[node.name] = members
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = stub_parameters(node)
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = "attribute"
        elif isinstance(node, ast.ImportFrom):
            # "from m import X as X" is a re-export; any other import is the stub's own use
            reexported |= {alias.asname for alias in node.names if alias.asname == alias.name}
    return names, classes, reexported


# ---------------------------------------------------------------- the comparison

SCALARS = (bool, int, float, str, type(None))


def literal(text):
    try:
        return True, ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return False, None


def parameter_differences(where, runtime, stub):
    problems = []
    if [(n, k) for n, k, _ in runtime] != [(n, k) for n, k, _ in stub]:
        return [f"{where}: the module takes {[(n, k) for n, k, _ in runtime]}, "
                f"the stub says {[(n, k) for n, k, _ in stub]}"]
    for (name, _, runtime_default), (_, _, stub_default) in zip(runtime, stub):
        if (runtime_default is None) != (stub_default is None):
            problems.append(f"{where}({name}): a default in only one of module and stub")
            continue
        if runtime_default is None:
            continue
        known, value = literal(runtime_default)
        stub_is_ellipsis = isinstance(stub_default, ast.Constant) and stub_default.value is Ellipsis
        if stub_is_ellipsis:
            # "..." stands for a default that a stub cannot spell (a made-once datetime or
            # Timedelta, an array) or a container; a plain value must be written out
            if known and isinstance(value, SCALARS):
                problems.append(f"{where}({name}): the stub hides the default {runtime_default}")
            continue
        stub_value = ast.literal_eval(stub_default)
        if not known or type(value) is not type(stub_value) or value != stub_value:
            problems.append(f"{where}({name}): default {runtime_default} in the module, "
                            f"{ast.unparse(stub_default)} in the stub")
    return problems


def overload_differences(where, runtime, overloads):
    """Each overload takes the module's parameters; it may leave out a default to narrow the
    calls it matches (return_arrays: Literal[True]), never change one, and some overload keeps
    every default, so a call that leaves them out is typed too."""
    def as_stub_default(runtime_default):
        return ast.parse(runtime_default, mode="eval").body if literal(runtime_default)[0] else ast.Constant(...)

    problems = []
    for i, stub in enumerate(overloads):
        if len(stub) == len(runtime):
            # a default left out is compared as the module's own
            stub = [(name, kind, as_stub_default(runtime_default) if stub_default is None and runtime_default
                     is not None else stub_default)
                    for (name, kind, stub_default), (_, _, runtime_default) in zip(stub, runtime)]
        problems += parameter_differences(f"{where} (overload {i + 1})", runtime, stub)
    if not any([d is None for _, _, d in stub] == [d is None for _, _, d in runtime] for stub in overloads):
        problems.append(f"{where}: no overload keeps every default of the module")
    return problems


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_matches_the_module(module_name):
    module = importlib.import_module(module_name)
    stub = Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")
    assert stub.is_file(), f"no stub beside {module.__file__}"
    runtime_names, runtime_classes = runtime_api(module)
    stub_names, stub_classes, reexported = stub_api(stub)

    problems = [f"{name}: in the module, not in the stub" for name in runtime_names if name not in stub_names]
    problems += [f"{name}: in the stub, not in the module" for name in stub_names if not hasattr(module, name)]
    problems += [f"{name}: re-exported by the stub, not in the module" for name in reexported
                 if not hasattr(module, name)]
    for name, runtime in runtime_names.items():
        stub_kind = stub_names.get(name)
        if stub_kind is None:
            continue
        if isinstance(runtime, list) or isinstance(stub_kind, list):
            if not (isinstance(runtime, list) and isinstance(stub_kind, list)):
                problems.append(f"{name}: a function in only one of module and stub")
            else:
                problems += parameter_differences(name, runtime, stub_kind)
        elif runtime != stub_kind:
            problems.append(f"{name}: a {runtime} in the module, a {stub_kind} in the stub")
    for cls, runtime_members in runtime_classes.items():
        stub_members = stub_classes.get(cls, {})
        problems += [f"{cls}.{m}: in the module, not in the stub" for m in runtime_members if m not in stub_members]
        problems += [f"{cls}.{m}: in the stub, not in the module" for m in stub_members if m not in runtime_members]
        for member, runtime in runtime_members.items():
            stub_member = stub_members.get(member)
            if stub_member is None:
                continue
            if isinstance(runtime, list) != isinstance(stub_member, list):
                problems.append(f"{cls}.{member}: a method in only one of module and stub")
            elif isinstance(stub_member, Overloads):
                problems += overload_differences(f"{cls}.{member}", runtime, stub_member)
            elif isinstance(runtime, list):
                problems += parameter_differences(f"{cls}.{member}", runtime, stub_member)
    assert problems == []


def test_the_package_declares_its_stubs():
    package = Path(importlib.import_module("velmora").__file__).parent
    assert (package / "py.typed").is_file()
    # every stub is one of an extension module beside it
    stubs = sorted(p.relative_to(package).with_suffix("").as_posix() for p in package.rglob("*.pyi"))
    assert stubs == sorted(m.split(".", 1)[1].replace(".", "/") for m in MODULES)


@pytest.mark.parametrize("signature, parameters", [
    ("(self: object, X: object, /) -> object", [("self", "/", None), ("X", "/", None)]),
    ("(self: object, a: list[int] = [1, 2], b: str = 'x, y', c: object = Timedelta('1 days')) -> None",
     [("self", "", None), ("a", "", "[1, 2]"), ("b", "", "'x, y'"), ("c", "", "Timedelta('1 days')")]),
    ("(*args, **kwargs) -> None", [("args", "*", None), ("kwargs", "**", None)]),
    ("(start: object = datetime.datetime(1995, 5, 22, 0, 0), n: typing.SupportsInt | typing.SupportsIndex = -1)",
     [("start", "", "datetime.datetime(1995, 5, 22, 0, 0)"), ("n", "", "-1")]),
])
def test_signature_reading(signature, parameters):
    assert parameters_of_signature(signature) == parameters


def test_a_drifted_stub_is_caught():
    runtime = [("n_splits", "", "10"), ("embargo_td", "", "Timedelta('1 days 00:00:00')")]
    stub = stub_parameters(ast.parse("def f(self, n_splits: int = 10, embargo_td=...): ...").body[0])
    assert parameter_differences("f", runtime, stub) == []
    for drifted in ["def f(self, n_splits: int = 5, embargo_td=...): ...",
                    "def f(self, n_splits: int = ..., embargo_td=...): ...",
                    "def f(self, n_splits: float = 10.0, embargo_td=...): ...",
                    "def f(self, embargo_td=..., n_splits: int = 10): ...",
                    "def f(self, n_splits: int = 10, /, embargo_td=...): ...",
                    "def f(self, n_splits: int, embargo_td=...): ..."]:
        stub = stub_parameters(ast.parse(drifted).body[0])
        assert parameter_differences("f", runtime, stub) != [], drifted


def test_overloads_are_held_to_the_module():
    runtime = [("return_arrays", "", "False"), ("current_equity", "", "100000.0")]

    def overloads(*sources):
        return Overloads(stub_parameters(ast.parse(source).body[0]) for source in sources)

    default = "def f(self, return_arrays: Literal[False] = False, current_equity: float = 100000.0): ..."
    arrays = "def f(self, return_arrays: Literal[True], current_equity: float = 100000.0): ..."
    assert overload_differences("f", runtime, overloads(default, arrays)) == []
    for drifted in [
        (arrays,),  # no overload types the call without arguments
        (default, "def f(self, return_arrays: Literal[True], equity: float = 100000.0): ..."),
        (default, "def f(self, return_arrays: Literal[True], current_equity: float = 1.0): ..."),
        (default, "def f(self, return_arrays: Literal[True] = True, current_equity: float = 100000.0): ..."),
        ("def f(self, return_arrays: Literal[False] = False): ...", arrays),
    ]:
        assert overload_differences("f", runtime, overloads(*drifted)) != [], drifted


def stub_file(module_name):
    module = importlib.import_module(module_name)
    return Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")


def test_objective_names_are_typed_as_the_scorebooks_list():
    from velmora.utils.results.scorebook import Scorebook

    tree = ast.parse(stub_file("velmora.utils.results.scorebook").read_text())
    alias, = [node.value for node in tree.body if isinstance(node, ast.Assign)
              and [t.id for t in node.targets] == ["_Objective"]]
    assert alias.value.id == "Literal"
    assert [element.value for element in alias.slice.elts] == Scorebook.available_objectives

    # Every parameter that takes an objective name says so.
    typed = []
    for module_name in MODULES:
        for node in ast.walk(ast.parse(stub_file(module_name).read_text())):
            if isinstance(node, ast.arg) and node.arg == "objective":
                typed.append((module_name, "_Objective" in ast.unparse(node.annotation)))
    assert len(typed) >= 2 and all(ok for _, ok in typed), typed
