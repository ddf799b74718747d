"""Hostile-input run of every ProductCore member and of _list_openfoam_templates.

Run by tests/test_reliability_hostile.py in a child process, so that a crash
of the extension (a signal, an abort from a sanitizer) fails that test instead
of killing pytest:

    python tests/reliability_hostile.py --workspace DIR --examples N [--seed S]

Hypothesis generates, for each example, a member, a receiver (a loaded
product, an instance built from odd ``_usd_path`` / ``_vehicle`` values or
with them deleted, a subclass that overrides tables and members, or a
non-instance passed to the unbound function), positional and keyword
arguments (right and wrong counts, unknown and non-string keywords), and a
"world": sibling functions and the MCP transport replaced by ones that raise
or return wrong types.  Every call must end in a normal result of the
declared shape or in an exception of a standard type with a message; an
exception raised by one of the hostile objects themselves may propagate.

The last line of stdout is a JSON summary: calls made, outcomes per member
and the violations found.  The exit status is 0 when there are none.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import faulthandler
import gc
import json
import math
import os
import sys
import traceback
from pathlib import Path, PurePosixPath

from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

import velmor_platform.core.api as api_mod
import velmor_platform.core.geometry_cache as geometry_mod
import velmor_platform.core.range_model as range_mod
import velmor_platform.core.usd_product as usd_product_mod
import velmor_platform.mcp.mcp_transport as transport_mod
from velmor_platform.core import product_core as pc
from velmor_platform.core.product_core import ProductCore

LIST_TEMPLATES = pc._list_openfoam_templates  # the module's own, even while the name is replaced

# --------------------------------------------------------------------------
# Hostile objects


class Boom(Exception):
    """Raised by the hostile objects' own methods."""


class Halt(BaseException):
    """A non-Exception error raised by hostile objects (like KeyboardInterrupt)."""


OWN_ERRORS = (Boom, Halt)

# The dunders a hostile class can break, and how.
DUNDERS = (
    "__str__",
    "__repr__",
    "__float__",
    "__index__",
    "__int__",
    "__eq__",
    "__hash__",
    "__fspath__",
    "__bool__",
    "__len__",
    "__iter__",
    "__lt__",
    "__gt__",
    "__format__",
)


def _raiser(exc_type):
    def method(self, *args, **kwargs):
        raise exc_type(f"hostile {type(self).__name__}")

    return method


WRONG_RETURNS = {
    "__str__": 1,
    "__repr__": b"x",
    "__float__": "1.0",
    "__index__": 1.5,
    "__int__": "1",
    "__fspath__": 1,
    "__bool__": 2,
    "__len__": -1,
    "__iter__": 1,
    "__hash__": "h",
    "__format__": 1,
}


def _returner(value):
    def method(self, *args, **kwargs):
        return value

    return method


_class_cache: dict = {}


def hostile_class(dunders: tuple, base=object):
    """A class whose ``dunders`` raise (Boom or Halt) or return a wrong type."""
    key = (dunders, base)
    cls = _class_cache.get(key)
    if cls is None:
        ns = {}
        for name, how in dunders:
            if how == "raise":
                ns[name] = _raiser(Boom)
            elif how == "halt":
                ns[name] = _raiser(Halt)
            elif how == "wrong" and name in WRONG_RETURNS:
                ns[name] = _returner(WRONG_RETURNS[name])
        if "__eq__" in ns and "__hash__" not in ns:
            ns["__hash__"] = base.__hash__ if base is not object else object.__hash__
        cls = type(f"Hostile{len(_class_cache)}_{base.__name__}", (base,), ns)
        _class_cache[key] = cls
    return cls


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class CollidingKey:
    """Hashes like a record key, but comparing with it raises."""

    def __init__(self, like: str):
        self.like = like

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        raise Boom(f"hostile key like {self.like!r}")


class GetRaises(dict):
    def get(self, *args, **kwargs):
        raise Boom("hostile get")


class GetWrong(dict):
    def get(self, *args, **kwargs):
        return hostile_class((("__bool__", "raise"), ("__str__", "raise")))()


def deep_list(depth: int):
    v: list = []
    for _ in range(depth):
        v = [v]
    return v


def deep_dict(depth: int):
    v: dict = {}
    for _ in range(depth):
        v = {"k": v}
    return v


# Deep and huge values, reached through an index so that Hypothesis never
# has to describe them.
BIG_VALUES = (
    deep_list(50_000),
    deep_dict(50_000),
    list(range(100_000)),
    {str(i): i for i in range(10_000)},
    "x" * 1_000_000,
    b"\xff" * 1_000_000,
)


def big_value(index: int):
    return BIG_VALUES[index]


class FakePath:
    """Path-like enough for the identity members, with hostile parts."""

    def __init__(self, name, stem, parent, text="fake.usda"):
        self.name, self.stem, self._parent, self._text = name, stem, parent, text

    @property
    def parent(self):
        return self if self._parent is None else self._parent

    def __str__(self):
        return self._text

    def __fspath__(self):
        return self._text


RECORD_KEYS = (
    "vehicle_name",
    "mass",
    "wheelbase",
    "target_cd",
    "target_cl",
    "target_cm",
    "target_cd_tol",
    "target_cl_tol",
    "target_cm_tol",
    "target_lateral_g",
    "target_yaw_rate_dps",
    "target_roll_angle_deg",
    "benchmark_cd",
    "benchmark_cl",
    "benchmark_cm",
    "benchmark_source",
    "current_cd",
    "current_cl",
    "current_cm",
    "current_lateral_g",
    "current_yaw_rate_dps",
    "current_roll_angle_deg",
    "frontal_area",
    "battery_kwh",
)
DOMAIN_WORDS = (
    "aerodynamics",
    "aero",
    "dynamics",
    "Aero",
    "",
    "openfoam",
    "xlb",
    "domino",
    "chrono",
    "auto",
    "surrogate",
    "usd",
    "USD",
)

# --------------------------------------------------------------------------
# Strategies

broken_dunders = st.lists(
    st.tuples(st.sampled_from(DUNDERS), st.sampled_from(("raise", "raise", "wrong", "halt"))),
    min_size=1,
    max_size=4,
    unique_by=lambda t: t[0],
).map(lambda items: tuple(sorted(items)))


@st.composite
def hostile_objects(draw):
    dunders = draw(broken_dunders)
    base = draw(st.sampled_from((object, object, str, float, int, dict, list)))
    cls = hostile_class(dunders, base)
    if base is str:
        return cls(draw(st.sampled_from(DOMAIN_WORDS)))
    if base is float:
        return cls(draw(st.floats(allow_nan=True)))
    if base is int:
        return cls(draw(st.integers(-10, 10**6)))
    if base is dict:
        return cls({"mass": 1600, "wheelbase": 2.8})
    if base is list:
        return cls(["hatch", 1])
    return cls()


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.sampled_from((10**100, -(2**70), 2**63, 2**64 + 1, 500, 501, 0, -1)),
    st.floats(),
    st.sampled_from((math.nan, math.inf, -math.inf, -0.0, 1e308, 5e-324)),
    st.text(max_size=40),
    st.sampled_from(DOMAIN_WORDS),
    st.sampled_from(
        (
            "\ud800",
            "a\x00b",
            "hatch",
            "sedan:base",
            "../x",
            "/etc/passwd",
            "x.usda",
            "x.usdc",
            "x.USDA",
            "body.stl",
            ".stl",
        )
    ),
    st.binary(max_size=20),
    st.sampled_from((bytearray(b"aero"), memoryview(b"usd"))),
    st.sampled_from(DOMAIN_WORDS).map(StrSub),
    st.sampled_from(
        (
            Path("/nonexistent/x.usda"),
            Path("."),
            Path("/"),
            PurePosixPath("a/b.stl"),
            Path("relative/dir/x.stl"),
        )
    ),
)

containers = st.one_of(
    st.dictionaries(st.sampled_from(RECORD_KEYS), scalars, max_size=6),
    st.dictionaries(st.sampled_from(RECORD_KEYS), scalars, max_size=4).map(DictSub),
    st.lists(scalars, max_size=4),
    st.lists(scalars, max_size=4).map(ListSub),
    st.lists(scalars, max_size=4).map(tuple),
    st.frozensets(st.sampled_from(DOMAIN_WORDS), max_size=4),
    st.integers(0, len(BIG_VALUES) - 1).map(big_value),
)

values = st.deferred(lambda: st.one_of(scalars, scalars, containers, hostile_objects()))


@st.composite
def vehicle_records(draw):
    kind = draw(
        st.sampled_from(
            ("plain", "plain", "plain", "colliding", "sub", "get_raises", "get_wrong", "other")
        )
    )
    if kind == "other":
        return draw(values)
    record = draw(st.dictionaries(st.sampled_from(RECORD_KEYS), values, max_size=8))
    if kind == "colliding":
        like = draw(st.sampled_from(RECORD_KEYS))
        record.pop(like, None)  # inserting next to the real key would compare with it
        record[CollidingKey(like)] = 1
    elif kind == "sub":
        record = DictSub(record)
    elif kind == "get_raises":
        record = GetRaises(record)
    elif kind == "get_wrong":
        record = GetWrong(record)
    return record


@st.composite
def fake_paths(draw):
    depth = draw(st.integers(0, 4))
    node = None  # the root: its own parent
    root_name = draw(st.sampled_from(("", "", "products", "x")))
    node = FakePath(root_name, root_name, None)
    for _ in range(depth):
        name = draw(st.one_of(st.sampled_from(("products", "sedan", "base", "")), values))
        node = FakePath(name, draw(values), node)
    return FakePath(draw(values), draw(values), node, draw(st.text(max_size=10)))


def usd_paths(products):
    return st.one_of(
        st.sampled_from(products),
        st.sampled_from(products).map(str),
        fake_paths(),
        values,
    )


# --------------------------------------------------------------------------
# Members and their calls

PROPERTIES = (
    "name",
    "specs",
    "has_dynamics",
    "targets",
    "benchmarks",
    "current",
    "usd_path",
    "product_dir",
)
METHODS = (
    "__init__",
    "simulations",
    "capabilities",
    "set_geometry",
    "set_targets",
    "history",
    "export",
    "set_solver",
    "get_solver_backend",
    "resolve_dispatch_backend",
    "metadata",
    "diff",
    "range_competitiveness",
    "_product_identifier",
    "__repr__",
)
STATICS = ("_normalise_domain", "solvers", "solver")
CLASSMETHODS = ("load",)
ALL_MEMBERS = PROPERTIES + METHODS + STATICS + CLASSMETHODS + ("_list_openfoam_templates",)
MEMBER_CHOICE = st.sampled_from(ALL_MEMBERS)

PARAMS = {
    "__init__": ("usd_path", "vehicle"),
    "load": ("name_or_path",),
    "set_geometry": ("stl_path",),
    "set_targets": ("cd", "cl", "cm_pitch", "cl_tolerance", "cm_tolerance", "self", "targets"),
    "export": ("format",),
    "_normalise_domain": ("domain",),
    "set_solver": ("domain", "backend"),
    "get_solver_backend": ("domain",),
    "resolve_dispatch_backend": ("domain", "conditions", "force_physics"),
    "metadata": ("action",),
    "solver": ("domain",),
    "diff": ("other",),
    "range_competitiveness": ("cd",),
}

# Standard exception types a call may end with (subclasses included).
STANDARD = (
    TypeError,
    ValueError,
    KeyError,
    AttributeError,
    OSError,
    ImportError,
    NameError,
    LookupError,
    ArithmeticError,
    RecursionError,
    RuntimeError,
)


def result_ok(member: str, result) -> str | None:
    """None when ``result`` has the declared shape, else what is wrong."""
    exact_dict = (
        "specs",
        "targets",
        "benchmarks",
        "current",
        "metadata",
        "set_solver",
        "capabilities",
        "set_geometry",
        "set_targets",
        "export",
    )
    if member in exact_dict:
        return None if type(result) is dict else f"expected dict, got {type(result).__name__}"
    if member in ("simulations", "history", "solvers"):
        return None if result is None or type(result) is list else "expected list or None"
    if member in ("solver", "diff", "range_competitiveness"):
        return None if result is None or type(result) is dict else "expected dict or None"
    if member in ("name", "_product_identifier", "get_solver_backend", "_normalise_domain"):
        return None if result is None or type(result) is str else "expected str or None"
    if member == "__repr__":
        return None if isinstance(result, str) else "expected str"
    if member == "has_dynamics":
        return None if type(result) is bool else f"expected bool, got {type(result).__name__}"
    if member == "resolve_dispatch_backend":
        ok = type(result) is tuple and len(result) == 2 and result[1] is None
        return None if ok else "expected (backend, None)"
    if member == "_list_openfoam_templates":
        ok = type(result) is list and all(type(x) is str for x in result)
        return None if ok else f"expected list of str, got {result!r:.100}"
    if member == "__init__":
        return None if result is None else "expected None"
    if member == "load":
        return None if isinstance(result, ProductCore) else "expected a ProductCore instance"
    return None


def describe_exception(exc: BaseException, member: str) -> str | None:
    """None when ``exc`` is an allowed outcome, else what is wrong with it."""
    if isinstance(exc, OWN_ERRORS):
        return None
    if isinstance(exc, asyncio.CancelledError) and member in (
        "_list_openfoam_templates",
        "capabilities",
    ):
        return None  # the transport cancelled its own task: not an Exception, so it propagates
    if isinstance(exc, SystemError):
        return "SystemError (C API misuse)"
    if isinstance(exc, MemoryError):
        return "MemoryError"
    if not isinstance(exc, STANDARD):
        return f"non-standard exception type {type(exc).__module__}.{type(exc).__qualname__}"
    try:
        message = str(exc)
    except OWN_ERRORS:
        return None  # the message embeds a hostile object
    if not message.strip():
        chained = exc.__cause__ or exc.__context__
        if isinstance(chained, OWN_ERRORS):
            return None
        return f"{type(exc).__name__} without a message"
    return None


# --------------------------------------------------------------------------
# The world: sibling functions and the MCP transport


class Swap:
    """Sets attributes for one example and puts everything back afterwards."""

    _missing = object()

    def __init__(self):
        self.saved = []

    def set(self, obj, name, value):
        self.saved.append((obj, name, getattr(obj, name, self._missing)))
        if value is self._missing:
            if hasattr(obj, name):
                delattr(obj, name)
        else:
            setattr(obj, name, value)

    def delete(self, obj, name):
        self.set(obj, name, self._missing)

    def restore(self):
        for obj, name, old in reversed(self.saved):
            if old is self._missing:
                if hasattr(obj, name):
                    delattr(obj, name)
            else:
                setattr(obj, name, old)
        self.saved.clear()


def returning(value):
    def fake(*args, **kwargs):
        return value

    return fake


def raising(exc_type=Boom):
    def fake(*args, **kwargs):
        raise exc_type("hostile sibling")

    return fake


sibling_behaviour = st.one_of(
    st.just(None),  # the real one
    st.just(None),
    values.map(returning),
    st.sampled_from((raising(Boom), raising(Halt), raising(ValueError), "delete")),
)

SIBLINGS = (
    (pc, "load_product"),
    (pc, "list_domains"),
    (pc, "get_domain"),
    (pc, "default_solver_for"),
    (pc, "Path"),
    (usd_product_mod, "load_product_history"),
    (usd_product_mod, "diff_products"),
    (range_mod, "range_competitiveness"),
    (api_mod, "_find_product_usd"),
    (geometry_mod, "resolve_product_geometry"),
)


# -- the fake MCP transport ------------------------------------------------------


class BadYield:
    """An awaitable that hands the event loop something that is not a future."""

    def __init__(self, item):
        self.item = item

    def __await__(self):
        yield self.item
        return ["never"]


def _current_coroutine():
    task = asyncio.current_task()
    return task.get_coro() if task is not None else None


def reenter(how):
    coro = _current_coroutine()
    if coro is None:
        return
    try:
        if how == "close":
            coro.close()
        elif how == "send":
            coro.send(None)
        elif how == "throw":
            coro.throw(ValueError("re-entered"))
    except (ValueError, RuntimeError, TypeError, StopIteration):
        pass


TRANSPORT_STEPS = ("connect", "aenter", "call_tool", "parse", "aexit")
TRANSPORT_FAULTS = (
    "ok",
    "raise",
    "halt",
    "wrong",
    "not_awaitable",
    "bad_yield",
    "sleep",
    "cancel",
    "reenter_close",
    "reenter_send",
    "reenter_throw",
)


def make_transport(faults: dict, parsed, exit_value):
    """mcp_connect / parse_tool_result that misbehave at the chosen steps."""

    def act(step):
        fault = faults.get(step, "ok")
        if fault == "raise":
            raise Boom(f"transport {step}")
        if fault == "halt":
            raise Halt(f"transport {step}")
        if fault.startswith("reenter_"):
            reenter(fault[len("reenter_") :])
        return fault

    async def awaited(step, value):
        fault = act(step)
        if fault == "bad_yield":
            # asyncio formats the yielded object into its error with repr(); a
            # hostile repr there leaves the task pending for ever, in CPython
            # itself, so only plain objects are yielded.
            return await BadYield(
                42
                if isinstance(parsed, (list, dict)) or type(parsed).__module__ != "builtins"
                else parsed
            )
        if fault == "sleep":
            await asyncio.sleep(0)
        if fault == "cancel":
            asyncio.current_task().cancel()
            await asyncio.sleep(0)
        if fault == "wrong":
            return parsed
        return value

    def maybe_not_awaitable(step, coro_fn, *args):
        if faults.get(step) == "not_awaitable":
            return parsed
        return coro_fn(step, *args)

    class Session:
        def call_tool(self, name, arguments):
            return maybe_not_awaitable("call_tool", awaited, {"raw": True})

    class Connection:
        def __aenter__(self):
            return maybe_not_awaitable("aenter", awaited, Session())

        def __aexit__(self, *exc_info):
            return maybe_not_awaitable("aexit", awaited, exit_value)

    def mcp_connect(name):
        fault = act("connect")
        if fault == "wrong":
            return parsed
        return Connection()

    def parse_tool_result(result):
        fault = act("parse")
        if fault == "wrong":
            return ["hostile", parsed]
        return parsed

    return mcp_connect, parse_tool_result


@st.composite
def transports(draw, excluded):
    choices = tuple(f for f in TRANSPORT_FAULTS if f not in excluded)
    faults = {}
    for step in TRANSPORT_STEPS:
        faults[step] = draw(st.sampled_from(("ok",) * 6 + choices))
    parsed = draw(
        st.one_of(st.lists(values, max_size=5), st.lists(values, max_size=3).map(ListSub), values)
    )
    exit_value = draw(st.one_of(st.just(False), st.just(None), values))
    return faults, parsed, exit_value


# --------------------------------------------------------------------------
# Receivers


DEFAULTED = ("set_solver", "get_solver_backend", "export")
ORIGINAL_DEFAULTS = {name: ProductCore.__dict__[name].__defaults__ for name in DEFAULTED}


def _fresh(text: str) -> str:
    return "".join(list(text))  # equal to ``text`` but a new object


def churn_defaults():
    """Give the members with defaults new (equal) default objects, releasing the old ones."""
    for name in DEFAULTED:
        fn = ProductCore.__dict__[name]
        fn.__defaults__ = tuple(_fresh(v) for v in ORIGINAL_DEFAULTS[name])


def restore_defaults():
    for name in DEFAULTED:
        ProductCore.__dict__[name].__defaults__ = ORIGINAL_DEFAULTS[name]


def churning(value):
    """A property that swaps the members' defaults while a member is running."""

    def get(self):
        churn_defaults()
        return value

    return property(get)


def recursive_overrides():
    return {
        "has_dynamics": property(lambda self: bool(self.targets)),
        "_normalise_domain": lambda self, d: self.get_solver_backend(d),
        "simulations": lambda self: self.history(),
        "name": property(lambda self: repr(self)),
    }


@st.composite
def subclass_of_product_core(draw, churn=True):
    ns = {}
    for attr in ("_DOMAIN_VALID_BACKENDS", "_DOMAIN_DEFAULT_SOLVER"):
        if draw(st.booleans()):
            ns[attr] = draw(
                st.one_of(
                    values, st.dictionaries(st.sampled_from(DOMAIN_WORDS), values, max_size=3)
                )
            )
    for attr in ("has_dynamics", "name", "targets"):
        if draw(st.integers(0, 4)) == 0:
            ns[attr] = property(returning(draw(values)))
    if churn and draw(st.booleans()):
        # Reading a table or the backend map replaces the defaults of the
        # member that is running: the values it bound must stay alive.
        attr = draw(
            st.sampled_from(
                ("_DOMAIN_VALID_BACKENDS", "_DOMAIN_DEFAULT_SOLVER", "_solver_backend", "_usd_path")
            )
        )
        real = {
            "_DOMAIN_VALID_BACKENDS": ProductCore._DOMAIN_VALID_BACKENDS,
            "_DOMAIN_DEFAULT_SOLVER": ProductCore._DOMAIN_DEFAULT_SOLVER,
        }
        ns[attr] = churning(real.get(attr, draw(values)))
    if draw(st.integers(0, 4)) == 0:
        ns["_normalise_domain"] = staticmethod(returning(draw(values)))
    if draw(st.integers(0, 4)) == 0:
        ns["get_solver_backend"] = returning(draw(values))
    if draw(st.integers(0, 4)) == 0:
        ns["simulations"] = returning(draw(values))
    if draw(st.integers(0, 6)) == 0:
        ns["_product_identifier"] = returning(draw(values))
    if draw(st.integers(0, 8)) == 0:
        overrides = recursive_overrides()
        key = draw(st.sampled_from(sorted(overrides)))
        ns[key] = overrides[key]
    return type("Derived", (ProductCore,), ns)


_SOLVER_MAPS = st.one_of(values, st.dictionaries(st.sampled_from(DOMAIN_WORDS), values, max_size=3))
_INIT_RECORDS = st.dictionaries(st.sampled_from(RECORD_KEYS), values, max_size=6)


@st.composite
def receivers(draw, products, paths, churn=True):
    kind = draw(
        st.sampled_from(("loaded", "loaded", "built", "bare", "subclass", "subclass", "foreign"))
    )
    if kind == "loaded":
        return ProductCore.load(str(draw(st.sampled_from(products))))
    if kind == "foreign":
        return draw(values)
    cls = draw(subclass_of_product_core(churn)) if kind == "subclass" else ProductCore
    obj = cls.__new__(cls)
    for attr, strategy in (
        ("_usd_path", paths),
        ("_vehicle", vehicle_records()),
        ("_solver_backend", _SOLVER_MAPS),
    ):
        how = draw(st.sampled_from(("set", "set", "set", "absent")))
        if how == "set" and not isinstance(getattr(cls, attr, None), property):
            object.__setattr__(obj, attr, draw(strategy))
    if kind == "built" and draw(st.booleans()):
        obj.__init__(draw(paths), draw(_INIT_RECORDS))
    return obj


@st.composite
def arguments(draw, member):
    names = PARAMS.get(member, ())
    n_pos = draw(st.sampled_from((0, 0, 1, 1, 2, 3)))
    args = [draw(values) for _ in range(n_pos)]
    kwargs = {}
    for name in names:
        if draw(st.integers(0, 2)) == 0:
            kwargs[name] = draw(values)
    if draw(st.integers(0, 5)) == 0:
        kwargs[draw(st.text(max_size=12))] = draw(values)
    # Right-typed values for the declared parameters now and then, so calls
    # get past the boundary checks into the bodies.
    if names and draw(st.booleans()):
        good = {
            "domain": st.sampled_from(DOMAIN_WORDS),
            "backend": st.sampled_from(DOMAIN_WORDS),
            "action": st.text(max_size=8),
            "format": st.sampled_from(("usd", "USD", "", "stl")),
            "name_or_path": st.sampled_from(
                ("hatch", "sedan:base", "sedan:sport", "nope", "x.usda", "")
            ),
            "cd": st.one_of(st.floats(), st.integers(-10, 10)),
            "stl_path": st.sampled_from(("body.stl", ".", "missing.stl")),
            "conditions": st.one_of(
                st.none(), st.dictionaries(st.text(max_size=3), values, max_size=2)
            ),
        }
        args = []
        for name in names:
            if name in good and draw(st.booleans()):
                kwargs[name] = draw(good[name])
    return args, kwargs


# --------------------------------------------------------------------------
# Running one call


class Stats:
    def __init__(self):
        self.calls = 0
        self.outcomes: dict = collections.defaultdict(collections.Counter)
        self.violations: list = []
        self.unraisable: list = []

    def record(self, member, outcome, problem, detail):
        self.calls += 1
        self.outcomes[member][outcome] += 1
        if problem and len(self.violations) < 200:
            self.violations.append(
                {"member": member, "outcome": outcome, "problem": problem, "detail": detail[-2000:]}
            )


STATS = Stats()


def safe_repr(obj, limit=300):
    try:
        text = repr(obj)
    except BaseException:  # noqa: BLE001 - hostile objects
        text = f"<unrepresentable {type(obj).__name__}>"
    return text[:limit]


def defined_by_product_core(receiver, member) -> bool:
    """True when ``receiver.member`` is ProductCore's own (not a subclass override)."""
    if member == "_list_openfoam_templates":
        return True
    for klass in type(receiver).__mro__:
        if member in klass.__dict__:
            return klass is ProductCore
    return False


CALL_LOG = None  # --log-calls: each call is written (and flushed) before it is made


def invoke(member, receiver, args, kwargs, mode):
    """Call ``member`` in the chosen way and classify the outcome."""
    if CALL_LOG is not None:
        CALL_LOG.write(
            f"{STATS.calls} {member} mode={mode} receiver={safe_repr(receiver)} "
            f"type={type(receiver).__qualname__} args={safe_repr(args)} "
            f"kwargs={safe_repr(kwargs)}\n"
        )
        CALL_LOG.flush()
    try:
        if member == "_list_openfoam_templates":
            result = LIST_TEMPLATES(*args, **kwargs)
        elif member in PROPERTIES:
            if mode == "fget":
                result = ProductCore.__dict__[member].fget(receiver, *args, **kwargs)
            elif mode == "set":
                setattr(receiver, member, args[0] if args else None)
                result = None
            elif mode == "delete":
                delattr(receiver, member)
                result = None
            else:
                result = getattr(receiver, member)
        elif member in STATICS:
            fn = getattr(ProductCore if mode == "class" else receiver, member)
            result = fn(*args, **kwargs)
        elif member == "load":
            if mode == "unbound":
                result = ProductCore.__dict__["load"].__func__(receiver, *args, **kwargs)
            else:
                result = ProductCore.load(*args, **kwargs)
        elif mode == "unbound":
            result = ProductCore.__dict__[member](receiver, *args, **kwargs)
        else:
            result = getattr(receiver, member)(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - every outcome is classified
        problem = describe_exception(exc, member)
        if (
            member in PROPERTIES
            and mode in ("set", "delete")
            and not isinstance(exc, AttributeError)
        ):
            problem = problem or "assigning or deleting a property must raise AttributeError"
        detail = ""
        if problem:
            detail = (
                f"receiver={safe_repr(receiver)} args={safe_repr(args)} "
                f"kwargs={safe_repr(kwargs)} mode={mode}\n"
                + "".join(traceback.format_exception(exc))[-1500:]
            )
        STATS.record(member, type(exc).__name__, problem, detail)
        return
    if member in PROPERTIES and mode in ("set", "delete"):
        own = isinstance(receiver, ProductCore) and defined_by_product_core(receiver, member)
        STATS.record(
            member, "ok", "assigning or deleting a property succeeded" if own else None, member
        )
        return
    problem = None
    if not (mode == "unbound" and member == "load") and (
        mode in ("unbound", "fget", "class") or defined_by_product_core(receiver, member)
    ):
        problem = result_ok(member, result)
    STATS.record(
        member,
        "ok",
        problem,
        f"result={safe_repr(result)} args={safe_repr(args)} kwargs={safe_repr(kwargs)}",
    )


def build_test(products, examples, seed, excluded):
    receiver_strategy = receivers(products, usd_paths(products), churn="churn" not in excluded)

    @settings(
        max_examples=examples,
        deadline=None,
        database=None,
        derandomize=seed is None,
        phases=(Phase.explicit, Phase.generate),
        print_blob=False,
        suppress_health_check=list(HealthCheck),
    )
    @given(data=st.data())
    def run(data):
        swap = Swap()
        churn_defaults()  # defaults that nothing but the functions hold
        try:
            body(data, swap)
        except BaseException as exc:
            if type(exc).__module__.startswith("hypothesis"):
                raise  # the engine's own control flow
            STATS.record(
                "harness",
                type(exc).__name__,
                "error in the test harness",
                "".join(traceback.format_tb(exc.__traceback__)[-4:])
                + f"{type(exc).__name__}: {safe_repr(str(exc))}",
            )
        finally:
            swap.restore()
            restore_defaults()

    def body(data, swap):
        member = data.draw(MEMBER_CHOICE)
        # The receiver is made while the world is still the real one.
        receiver = data.draw(receiver_strategy)
        # The world this call runs in.
        if data.draw(st.integers(0, 2)) == 0:
            for obj, name in SIBLINGS:
                behaviour = data.draw(sibling_behaviour)
                if behaviour == "delete":
                    swap.delete(obj, name)
                elif behaviour is not None:
                    swap.set(obj, name, behaviour)
        if (
            member in ("capabilities", "_list_openfoam_templates")
            or data.draw(st.integers(0, 9)) == 0
        ):
            if data.draw(st.integers(0, 9)) == 0:
                swap.delete(
                    transport_mod, data.draw(st.sampled_from(("mcp_connect", "parse_tool_result")))
                )
            else:
                faults, parsed, exit_value = data.draw(transports(excluded))
                connect, parse = make_transport(faults, parsed, exit_value)
                swap.set(transport_mod, "mcp_connect", connect)
                swap.set(transport_mod, "parse_tool_result", parse)
            if data.draw(st.integers(0, 9)) == 0:
                swap.set(pc, "_list_openfoam_templates", returning(data.draw(values)))

        for _ in range(data.draw(st.integers(1, 6))):
            args, kwargs = data.draw(arguments(member))
            if data.draw(st.integers(0, 9)) == 0:
                # Keywords that are not strings, through the dict-unpacking call.
                kwargs = {**kwargs, data.draw(st.one_of(st.integers(), st.none())): 1}
            modes = ["bound"]
            if member in PROPERTIES:
                modes = ["get", data.draw(st.sampled_from(("fget", "set", "delete", "get")))]
            elif member in STATICS:
                modes = [data.draw(st.sampled_from(("class", "bound")))]
            elif member == "load" or member in METHODS:
                modes = [data.draw(st.sampled_from(("bound", "bound", "unbound")))]
            for mode in modes:
                invoke(member, receiver, args, kwargs, mode)
            member = data.draw(MEMBER_CHOICE)

    return run


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--workspace", required=True)
    parser.add_argument("--examples", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument(
        "--exclude",
        action="append",
        default=[],
        help="transport fault, or 'churn' (defaults replaced during a call), "
        "to leave out (for triage)",
    )
    parser.add_argument("--watchdog", type=float, default=600.0)
    parser.add_argument("--log-calls", metavar="FILE", help="write every call before making it")
    args = parser.parse_args()
    global CALL_LOG
    if args.log_calls:
        CALL_LOG = open(args.log_calls, "w", encoding="utf-8", errors="backslashreplace")

    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        faulthandler.enable()  # under AddressSanitizer, its own report is the better one
    faulthandler.dump_traceback_later(args.watchdog, exit=True)
    sys.setrecursionlimit(1000)
    os.environ["VELMOR_WORKSPACE"] = args.workspace
    os.chdir(args.workspace)  # relative paths generated below stay inside the copy
    root = Path(args.workspace)
    products = [
        root / "products" / "hatch" / "hatch.usda",
        root / "products" / "sedan" / "base" / "sedan.usda",
        root / "products" / "sedan" / "sport" / "sedan.usda",
    ]
    (root / "body.stl").write_bytes(b"solid x\nendsolid x\n")

    def unraisable(info):
        STATS.unraisable.append(
            f"{info.exc_type.__name__}: {safe_repr(info.exc_value)} in {safe_repr(info.object)}"
        )

    sys.unraisablehook = unraisable

    run = build_test(products, args.examples, args.seed, set(args.exclude))
    if args.seed is not None:
        from hypothesis import seed as hypothesis_seed

        run = hypothesis_seed(args.seed)(run)
    error = None
    try:
        run()
    except BaseException as exc:  # noqa: BLE001 - reported in the summary
        error = "".join(traceback.format_exception(exc))[-3000:]
    gc.collect()
    own_unraisable = [u for u in STATS.unraisable if "product_core" in u or "native" in u]
    summary = {
        "calls": STATS.calls,
        "members": {m: dict(c) for m, c in sorted(STATS.outcomes.items())},
        "violations": STATS.violations,
        "unraisable": STATS.unraisable[:50],
        "runner_error": error,
    }
    sys.stdout.flush()
    print(json.dumps(summary, default=str))
    return 1 if STATS.violations or own_unraisable or error else 0


if __name__ == "__main__":
    sys.exit(main())
