"""The product_core module as Python sees it: namespace, the ProductCore class,
its member functions (names, docs, annotations, defaults, signatures), their
binding and the messages of the argument binder."""

import importlib
import inspect
import os
import pathlib
import pydoc
import re
import subprocess
import sys
import textwrap
import types
import typing
from pathlib import Path

import pytest

import velmor_platform

MODULE = "velmor_platform.core.product_core"
# The directory holding the velmor_platform under test (a checkout's src/ or site-packages).
SRC = str(Path(velmor_platform.__file__).resolve().parent.parent)

LOAD_DOC = (
    "Load a vehicle by name or USD file path.\n\n"
    "        Resolves ``velmor-geo:///`` geometry URIs in the product's USD\n"
    "        tree to absolute cache paths before opening the stage.\n        "
)
TARGETS_DOC = (
    "Design intent targets (all domains).\n\n"
    "        Includes explicit tolerances when authored in design_intent.usda.\n"
    "        Gate evaluation reads target_cd_tol / target_cl_tol / target_cm_tol\n"
    "        from this dict; missing tolerances produce NO_TOL gate failures.\n        "
)
CAPABILITIES_DOC = (
    "What physics domains can run on this product.\n\n"
    "        aero availability is determined by asking the OpenFOAM MCP\n"
    "        for its template list \u2014 no filesystem reach.\n\n"
    "        For each domain, reports the capability against the *default*\n"
    "        solver.  this is the fall-through dispatch target; the\n"
    "        domain may also be reachable via other solvers (XLB, DoMINO\n"
    "        for aero) when the user names them explicitly with --solver.\n        "
)
SET_SOLVER_DOC = (
    "Select solver backend for a physics domain.\n\n"
    "        Args:\n"
    '            domain: ``"aerodynamics"`` (alias ``"aero"``) or ``"dynamics"``.\n'
    '            backend: ``"openfoam"``, ``"xlb"``, ``"domino"``, ``"chrono"``, or\n'
    '                ``"auto"`` (falls through to domain default).\n\n'
    "        Returns a dict with ``status``, ``backend``, ``domain``.\n        "
)
GET_SOLVER_BACKEND_DOC = (
    "Return the currently-selected backend for a domain.\n\n"
    "        Defaults to the domain's physics solver when ``set_solver`` was\n"
    "        never called.\n        "
)
RESOLVE_DOC = (
    "Resolve the solver backend for a simulation dispatch.\n\n"
    "        Returns ``(backend_name, None)``. The second element exists for\n"
    "        caller compatibility only (was the surrogate registration).\n\n"
    '        * User-picked backend (e.g. ``"openfoam"``, ``"domino"``) \u2192 used directly.\n'
    '        * ``"auto"`` \u2192 domain default (openfoam for aero, chrono for dynamics).\n        '
)
SOLVERS_DOC = (
    "List registered solver domains (per-solver schema).\n\n"
    "        Returns the full per-domain records: ``domain``, ``kpis``,\n"
    "        ``status``, ``solvers`` (list of all eligible solvers),\n"
    "        ``default_solver`` (name string).\n        "
)
SOLVER_DOC = (
    "Get the per-domain record for a physics domain (per-solver schema).\n\n"
    "        Use ``default_solver_for(domain)`` if you want the fall-through\n"
    "        solver record specifically; use ``find_solver(domain, name)``\n"
    "        to look up a specific solver by name.\n        "
)
TEMPLATES_DOC = (
    "Return the OpenFOAM solver's available case templates via MCP.\n\n"
    "    Best-effort: returns ``[]`` if the OpenFOAM MCP server isn't reachable.\n"
    "    Callers use the result for advisory capability checks, not enforcement.\n    "
)

# name, kind, doc, annotations, inspect.signature of the underlying function
MEMBERS = [
    (
        "__init__",
        "function",
        None,
        {"usd_path": "Path", "vehicle": "dict"},
        "(self, usd_path: 'Path', vehicle: 'dict')",
    ),
    (
        "load",
        "classmethod",
        LOAD_DOC,
        {"name_or_path": "str", "return": "'Self'"},
        "(cls, name_or_path: 'str') -> \"'Self'\"",
    ),
    ("name", "property", None, {"return": "str"}, "(self) -> 'str'"),
    (
        "specs",
        "property",
        "Full vehicle spec dict from USD (read-only copy).",
        {"return": "dict"},
        "(self) -> 'dict'",
    ),
    (
        "has_dynamics",
        "property",
        "True if the product has vehicle dynamics capability.",
        {"return": "bool"},
        "(self) -> 'bool'",
    ),
    ("targets", "property", TARGETS_DOC, {"return": "dict"}, "(self) -> 'dict'"),
    (
        "benchmarks",
        "property",
        "Benchmark reference values (from benchmark layer).",
        {"return": "dict"},
        "(self) -> 'dict'",
    ),
    (
        "current",
        "property",
        "Latest simulation results from USD.",
        {"return": "dict"},
        "(self) -> 'dict'",
    ),
    (
        "simulations",
        "function",
        "History of all simulation runs from the USD prototype layer.",
        {"return": "list[dict]"},
        "(self) -> 'list[dict]'",
    ),
    ("capabilities", "function", CAPABILITIES_DOC, {"return": "dict"}, "(self) -> 'dict'"),
    (
        "set_geometry",
        "function",
        "Register new geometry for this product.",
        {"stl_path": "str | Path", "return": "dict"},
        "(self, stl_path: 'str | Path') -> 'dict'",
    ),
    (
        "set_targets",
        "function",
        "Update design intent targets in USD.",
        {"return": "dict"},
        "(self, **targets) -> 'dict'",
    ),
    (
        "history",
        "function",
        "All previous simulation runs with full metadata.",
        {"return": "list[dict]"},
        "(self) -> 'list[dict]'",
    ),
    (
        "export",
        "function",
        "Export product data in a specified format.",
        {"format": "str", "return": "dict"},
        "(self, format: 'str' = 'usd') -> 'dict'",
    ),
    ("_DOMAIN_DEFAULT_SOLVER", "table", None, None, None),
    ("_DOMAIN_VALID_BACKENDS", "table", None, None, None),
    (
        "_normalise_domain",
        "staticmethod",
        "Canonical short name for a domain.",
        {"domain": "str", "return": "str"},
        "(domain: 'str') -> 'str'",
    ),
    (
        "set_solver",
        "function",
        SET_SOLVER_DOC,
        {"domain": "str", "backend": "str", "return": "dict"},
        "(self, domain: 'str' = 'aerodynamics', backend: 'str' = 'openfoam') -> 'dict'",
    ),
    (
        "get_solver_backend",
        "function",
        GET_SOLVER_BACKEND_DOC,
        {"domain": "str", "return": "str"},
        "(self, domain: 'str' = 'aerodynamics') -> 'str'",
    ),
    (
        "resolve_dispatch_backend",
        "function",
        RESOLVE_DOC,
        {
            "domain": "str",
            "conditions": "dict | None",
            "force_physics": "bool",
            "return": "tuple[str, object | None]",
        },
        "(self, *, domain: 'str', conditions: 'dict | None' = None, force_physics: 'bool' = False)"
        " -> 'tuple[str, object | None]'",
    ),
    (
        "metadata",
        "function",
        "Return a metadata banner dict for CLI/UI display.",
        {"action": "str", "return": "dict"},
        "(self, action: 'str') -> 'dict'",
    ),
    (
        "usd_path",
        "property",
        "Path to the product's top-level USD file.",
        {"return": "Path"},
        "(self) -> 'Path'",
    ),
    (
        "product_dir",
        "property",
        "Directory containing the product's USD file.",
        {"return": "Path"},
        "(self) -> 'Path'",
    ),
    ("solvers", "staticmethod", SOLVERS_DOC, {"return": "list[dict]"}, "() -> 'list[dict]'"),
    (
        "solver",
        "staticmethod",
        SOLVER_DOC,
        {"domain": "str", "return": "Optional[dict]"},
        "(domain: 'str') -> 'Optional[dict]'",
    ),
    (
        "diff",
        "function",
        "Compare this vehicle against another.",
        {"return": "dict"},
        "(self, other) -> 'dict'",
    ),
    (
        "range_competitiveness",
        "function",
        "Estimate highway range and compare against USD competitors.",
        {"cd": "float", "return": "dict"},
        "(self, cd: 'float') -> 'dict'",
    ),
    (
        "_product_identifier",
        "function",
        "Reconstruct the ``<programme>[:variant]`` id from the USD path.",
        {"return": "str"},
        "(self) -> 'str'",
    ),
    ("__repr__", "function", None, {"return": "str"}, "(self) -> 'str'"),
]
MEMBER_NAMES = [m[0] for m in MEMBERS]
FUNCTIONS = [m for m in MEMBERS if m[1] != "table"]
DEFAULTS = {
    "set_solver": ("aerodynamics", "openfoam"),
    "get_solver_backend": ("aerodynamics",),
    "export": ("usd",),
}
KWDEFAULTS = {"resolve_dispatch_backend": {"conditions": None, "force_physics": False}}


def unwrap(cls, name):
    """The function object behind a class member, whatever its kind."""
    raw = cls.__dict__[name]
    if isinstance(raw, property):
        return raw.fget
    if isinstance(raw, (staticmethod, classmethod)):
        return raw.__func__
    return raw


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": SRC},
    )


# ---- module and class ----------------------------------------------------------------


def test_module_namespace_in_binding_order(core):
    from pxr import Usd

    from velmor_platform.core import solver, usd_product, workspace

    assert core.__doc__ == "Core product mixin \u2014 identity, USD access, properties, discovery."
    assert [k for k in vars(core) if not k.startswith("__")] == [
        "Path",
        "Optional",
        "Self",
        "Usd",
        "load_product",
        "default_solver_for",
        "get_domain",
        "list_domains",
        "workspace_root",
        "products_dir",
        "_list_openfoam_templates",
        "ProductCore",
    ]
    assert (core.Path, core.Optional, core.Self, core.Usd, core.load_product) == (
        pathlib.Path,
        typing.Optional,
        typing.Self,
        Usd,
        usd_product.load_product,
    )
    for name in ("default_solver_for", "get_domain", "list_domains"):
        assert getattr(core, name) is getattr(solver, name)
    assert (core.workspace_root, core.products_dir) == (
        workspace.workspace_root,
        workspace.products_dir,
    )
    assert sys.modules[MODULE] is core


def test_class_shape_and_tables(core):
    P = core.ProductCore
    assert type(P) is type and P.__bases__ == (object,)
    assert (P.__qualname__, P.__module__) == ("ProductCore", MODULE)
    assert P.__doc__ == "Identity, USD paths, properties, and discovery methods."
    assert list(P.__annotations__) == ["_usd_path", "_vehicle"]
    for attr in ("_usd_path", "_vehicle", "_solver_backend"):
        assert not hasattr(P, attr)
    assert [
        k for k in P.__dict__ if not k.endswith("__") or k in ("__init__", "__repr__")
    ] == MEMBER_NAMES
    assert list(P._DOMAIN_DEFAULT_SOLVER.items()) == [
        ("aerodynamics", "openfoam"),
        ("aero", "openfoam"),
        ("dynamics", "chrono"),
    ]
    valid = P._DOMAIN_VALID_BACKENDS
    assert list(valid) == ["aerodynamics", "aero", "dynamics"] and {
        type(v) for v in valid.values()
    } == {set}
    assert valid["aerodynamics"] == valid["aero"] == {"auto", "openfoam", "xlb", "domino"}
    assert valid["dynamics"] == {"auto", "chrono"} and valid["aerodynamics"] is not valid["aero"]


@pytest.mark.parametrize("name,kind,doc,annotations,signature", MEMBERS, ids=MEMBER_NAMES)
def test_member(core, name, kind, doc, annotations, signature):
    P = core.ProductCore
    raw = P.__dict__[name]
    wrapper = {
        "property": property,
        "classmethod": classmethod,
        "staticmethod": staticmethod,
        "table": dict,
    }.get(kind)
    assert wrapper is None or type(raw) is wrapper
    if kind == "table":
        return
    fn = unwrap(P, name)
    assert type(fn).__name__ == "native_function" and callable(fn) and inspect.isroutine(fn)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, f"ProductCore.{name}", MODULE)
    assert fn.__doc__ == raw.__doc__ == doc  # wrappers carry the function's doc
    assert list(fn.__annotations__.items()) == list(annotations.items())
    assert fn.__defaults__ == DEFAULTS.get(name) and fn.__kwdefaults__ == KWDEFAULTS.get(name)
    assert fn.__globals__ is vars(core)
    assert str(inspect.signature(fn)) == signature and not inspect.iscoroutinefunction(fn)


def test_module_function(core):
    fn = core._list_openfoam_templates
    assert (fn.__name__, fn.__qualname__, fn.__module__) == ("_list_openfoam_templates",) * 2 + (
        MODULE,
    )
    assert fn.__doc__ == TEMPLATES_DOC and fn.__annotations__ == {"return": "list[str]"}
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None
    assert str(inspect.signature(fn)) == "() -> 'list[str]'" and not inspect.iscoroutinefunction(fn)
    with pytest.raises(
        TypeError, match=r"^_list_openfoam_templates\(\) takes no arguments \(1 given\)$"
    ):
        fn(1)
    with pytest.raises(
        TypeError, match=r"^_list_openfoam_templates\(\) takes no keyword arguments$"
    ):
        fn(x=1)


def test_signatures_and_help_through_the_class(core):
    P = core.ProductCore
    assert str(inspect.signature(P.load)) == "(name_or_path: 'str') -> \"'Self'\""
    assert str(inspect.signature(P.solvers)) == "() -> 'list[dict]'"
    assert str(inspect.signature(P(None, {}).metadata)) == "(action: 'str') -> 'dict'"
    assert str(inspect.signature(P)) == "(usd_path: 'Path', vehicle: 'dict')"
    text = pydoc.render_doc(P, renderer=pydoc.plaintext)
    for fragment in (
        "set_solver(self, domain: 'str' = 'aerodynamics', backend: 'str' = 'openfoam') -> 'dict'",
        "resolve_dispatch_backend(self, *, domain: 'str', conditions: 'dict | None' = None",
        "Select solver backend for a physics domain.",
        "Full vehicle spec dict from USD (read-only copy).",
    ):
        assert fragment in text


def _python_twin(cls):
    """A pure-Python class with the members, signatures and docs of ``cls``."""

    def twin(fn):
        def g(*args, **kwargs):
            pass

        for name in ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__"):
            setattr(g, name, getattr(fn, name))
        g.__kwdefaults__, g.__annotations__ = fn.__kwdefaults__, dict(fn.__annotations__)
        g.__signature__ = inspect.signature(fn)
        return g

    ns = {}
    for name, value in cls.__dict__.items():
        if isinstance(value, (classmethod, staticmethod)):
            value = type(value)(twin(value.__func__))
        elif isinstance(value, property):
            value = property(twin(value.fget), doc=value.__doc__)
        elif callable(value):
            value = twin(value)
        ns[name] = value
    return type(cls.__name__, cls.__bases__, ns)


def test_help_reads_like_a_python_class(core, monkeypatch):
    """Members without a doc of their own show the inherited one, as pydoc
    shows them for a Python class (under __init__ and __repr__)."""
    native = pydoc.render_doc(core.ProductCore, renderer=pydoc.plaintext).splitlines()
    twin = _python_twin(core.ProductCore)
    monkeypatch.setattr(core, "ProductCore", twin)  # where inspect finds a method's class
    assert native == pydoc.render_doc(twin, renderer=pydoc.plaintext).splitlines()
    assert not hasattr(core._list_openfoam_templates, "__objclass__")


# ---- function objects ----------------------------------------------------------------


def test_binding_like_a_function(core):
    P = core.ProductCore
    p = P(Path("/w/products/sedan/sedan.usda"), {})
    fn = P.__dict__["metadata"]
    assert fn.__get__(None, P) is fn and P.metadata is fn
    bound = fn.__get__(p, P)
    assert isinstance(bound, types.MethodType) and (bound.__func__, bound.__self__) == (fn, p)
    assert (
        bound("x")
        == fn(p, "x")
        == P.metadata(p, action="x")
        == {"product": "sedan", "product_id": "sedan", "action": "x"}
    )
    Sub = type("Sub", (P,), {})
    loader = P.__dict__["load"].__get__(None, Sub)
    assert loader.__self__ is Sub and loader.__func__ is unwrap(P, "load")
    assert P._normalise_domain is unwrap(P, "_normalise_domain")
    assert p._normalise_domain("aerodynamics") == "aero"


def test_function_attributes_are_writable_like_a_functions(core, monkeypatch):
    fn = unwrap(core.ProductCore, "set_solver")
    monkeypatch.setitem(fn.__dict__, "tag", 1)
    assert fn.tag == 1
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        fn.__defaults__ = ["dynamics", "chrono"]
    monkeypatch.setattr(fn, "__defaults__", ("dynamics", "chrono"))
    p = core.ProductCore(Path("/p/x.usda"), {})
    assert p.set_solver()["domain"] == "dynamics" and p._solver_backend == {"dynamics": "chrono"}


def test_property_members_are_read_only(core):
    p = core.ProductCore(Path("/p/x.usda"), {})
    for name in (
        "name",
        "specs",
        "has_dynamics",
        "targets",
        "benchmarks",
        "current",
        "usd_path",
        "product_dir",
    ):
        for change in (lambda: setattr(p, name, 1), lambda: delattr(p, name)):
            with pytest.raises(AttributeError):
                change()


# ---- argument binding and boundary checks ----------------------------------------------


class StrSub(str):
    pass


class DictSub(dict):
    pass


SUBCLASS = r"\. \S.*"  # ". " and a sentence about subclasses
ARGUMENT_ERRORS = [
    (lambda P, p: P.load(), r"load\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda P, p: P(), r"__init__\(\) takes exactly 3 positional arguments \(1 given\)"),
    (lambda P, p: P(1, {}, 3), r"__init__\(\) takes exactly 3 positional arguments \(4 given\)"),
    (
        lambda P, p: P(1, {}, usd_path=2),
        r"__init__\(\) got multiple values for keyword argument 'usd_path'",
    ),
    (lambda P, p: p.metadata(), r"metadata\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda P, p: p.metadata(act="x"), r"metadata\(\) got an unexpected keyword argument 'act'"),
    (
        lambda P, p: p.set_solver("a", "b", "c"),
        r"set_solver\(\) takes at most 3 positional arguments \(4 given\)",
    ),
    (
        lambda P, p: p.resolve_dispatch_backend("aero"),
        r"resolve_dispatch_backend\(\) takes exactly 1 positional argument \(2 given\)",
    ),
    (
        lambda P, p: p.resolve_dispatch_backend(),
        r"resolve_dispatch_backend\(\) needs keyword-only argument domain",
    ),
    (
        lambda P, p: p.set_targets(0.3),
        r"set_targets\(\) takes exactly 1 positional argument \(2 given\)",
    ),
    (lambda P, p: P.solver(), r"solver\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda P, p: P.solvers(1), r"solvers\(\) takes no arguments \(1 given\)"),
    (lambda P, p: P.solvers(domain="x"), r"solvers\(\) takes no keyword arguments"),
    (
        lambda P, p: P.load(Path("x.usda")),
        r"Argument 'name_or_path' has incorrect type \(expected str, got PosixPath\)",
    ),
    (
        lambda P, p: P("x", DictSub()),
        r"Argument 'vehicle' has incorrect type \(expected dict, got DictSub\)" + SUBCLASS,
    ),
    (
        lambda P, p: P("x", None),
        r"Argument 'vehicle' has incorrect type \(expected dict, got NoneType\)",
    ),
    (
        lambda P, p: p.metadata(StrSub("x")),
        r"Argument 'action' has incorrect type \(expected str, got StrSub\)" + SUBCLASS,
    ),
    (
        lambda P, p: p.resolve_dispatch_backend(domain="aero", conditions=[]),
        r"Argument 'conditions' has incorrect type \(expected dict, got list\)",
    ),
    (
        lambda P, p: p.metadata(type("L" * 300, (), {})()),
        rf"Argument 'action' has incorrect type \(expected str, got {'L' * 200}\)",
    ),
]


@pytest.mark.parametrize("call,message", ARGUMENT_ERRORS)
def test_argument_errors(core, call, message):
    P = core.ProductCore
    with pytest.raises(TypeError) as info:
        call(P, P(Path("/p/x.usda"), {}))
    assert len(info.value.args) == 1 and re.fullmatch(message, str(info.value)), str(info.value)


# ---- import machinery -----------------------------------------------------------------


def test_reimport_after_removal_from_sys_modules_gives_same_module(core, monkeypatch):
    cls = core.ProductCore
    monkeypatch.delitem(sys.modules, MODULE)
    assert importlib.import_module(MODULE) is core and core.ProductCore is cls
    assert importlib.reload(core) is core and core.ProductCore is cls


def test_import_in_subinterpreter_is_refused():
    result = run_python("""
        import sys
        import velmor_platform.core.product_core
        try:
            import _xxsubinterpreters as si
        except ImportError:
            raise SystemExit("SKIP")
        interp = si.create()
        try:
            si.run_string(interp, "import sys; sys.path[:0] = %r; "
                          "import velmor_platform.core.product_core" % (sys.path,))
        except si.RunFailedError as exc:
            print("REFUSED", exc)
    """)
    if "SKIP" in result.stderr:
        pytest.skip("no sub-interpreter support")
    assert result.stdout.strip() == (
        "REFUSED <class 'ImportError'>: Interpreter change detected - this module can only be "
        "loaded into one interpreter per process."
    ), result.stderr


def test_failed_initialisation_reports_and_a_later_import_succeeds():
    result = run_python("""
        import sys, traceback, types
        import velmor_platform.core.workspace as real
        import velmor_platform.core as package
        stub = types.ModuleType(real.__name__)
        stub.workspace_root = real.workspace_root          # products_dir is missing
        sys.modules[real.__name__] = package.workspace = stub
        try:
            import velmor_platform.core.product_core
        except ImportError as exc:
            print("FAILED", exc)
            print("FRAME", traceback.extract_tb(exc.__traceback__)[-1].name)
            print("REGISTERED", "velmor_platform.core.product_core" in sys.modules)
        sys.modules[real.__name__] = package.workspace = real
        import velmor_platform.core.product_core as core
        print("LOADED", core.ProductCore.__name__, core.products_dir is real.products_dir)
        sys.modules["velmor_platform.mcp.mcp_transport"] = None
        print("QUERY", core._list_openfoam_templates())
    """)
    lines = result.stdout.splitlines()
    assert lines[0].startswith("FAILED") and "products_dir" in lines[0], result.stderr
    assert lines[1:] == [
        "FRAME init velmor_platform.core.product_core",
        "REGISTERED False",
        "LOADED ProductCore True",
        "QUERY []",
    ]


def test_from_pxr_import_usd_uses_sys_modules_as_the_interpreter_does():
    result = run_python("""
        import sys
        import pxr.Usd
        del sys.modules["pxr"]
        import pxr  # a new package object, without the Usd attribute
        import velmor_platform.core.product_core as core
        print(hasattr(pxr, "Usd"), core.Usd is sys.modules["pxr.Usd"])
    """)
    assert result.stdout.split() == ["False", "True"], result.stderr


class _Key(str):
    """A str subclass key: comparing it runs Python code."""

    def __eq__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "change,kwargs,expected",
    [
        (
            lambda fn: setattr(fn, "__kwdefaults__", {"conditions": None, "force_physics": 1}),
            {},
            ("openfoam", None),
        ),
        (lambda fn: fn.__kwdefaults__.pop("force_physics"), {}, TypeError),
        (
            lambda fn: fn.__kwdefaults__.update(domain="aero"),
            {"domain": "dynamics"},
            ("chrono", None),
        ),
        (lambda fn: setattr(fn, "__kwdefaults__", None), {}, TypeError),
        (
            lambda fn: setattr(
                fn, "__kwdefaults__", {_Key("conditions"): None, _Key("force_physics"): 0}
            ),
            {},
            ("openfoam", None),
        ),
        (
            lambda fn: setattr(fn, "__kwdefaults__", {"conditions": 3, "force_physics": 0}),
            {},
            TypeError,
        ),
    ],
)
def test_keyword_defaults_are_read_as_they_are_at_each_call(core, change, kwargs, expected):
    fn = core.ProductCore.resolve_dispatch_backend
    saved = dict(fn.__kwdefaults__)
    p = core.ProductCore(Path("/w/products/a/a.usda"), {})
    try:
        for _ in range(3):
            assert p.resolve_dispatch_backend(domain="aero") == ("openfoam", None)
        change(fn)
        if expected is TypeError:
            with pytest.raises(TypeError):
                p.resolve_dispatch_backend(**{"domain": "aero", **kwargs})
        else:
            assert p.resolve_dispatch_backend(**{"domain": "aero", **kwargs}) == expected
    finally:
        fn.__kwdefaults__ = saved
    assert p.resolve_dispatch_backend(domain="aero") == ("openfoam", None)
