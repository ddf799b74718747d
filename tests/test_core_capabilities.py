"""The OpenFOAM template query (_list_openfoam_templates) against a recording
fake transport, capabilities() against replaced query and registry
functions, and both end to end against the real stdio template server."""

import asyncio
import collections.abc
import json
import os
import signal
import subprocess
import sys
import time
import types
from pathlib import Path

import pytest

import velmor_platform

TRANSPORT = "velmor_platform.mcp.mcp_transport"
# The directory holding the velmor_platform under test (a checkout's src/ or site-packages).
SRC = str(Path(velmor_platform.__file__).resolve().parent.parent)


class Fake:
    """A transport module recording every call in ``log``. ``call`` (an async
    function run inside the tool call), ``exit_result``, ``cm`` (what
    mcp_connect returns) and the ``*_error`` attributes choose what happens."""

    def __init__(self):
        self.log, self.parsed, self.exits_finished = [], ["base", "hatch"], 0
        self.call = self.cm = self.exit_result = None
        self.enter_error = self.parse_error = self.exit_error = None
        self.module = types.ModuleType(TRANSPORT)
        self.module.mcp_connect = self.connect
        self.module.parse_tool_result = self.parse

    def connect(self, *args, **kwargs):
        self.log.append(("connect", args, kwargs))
        return self.cm if self.cm is not None else Connection(self)

    def parse(self, *args, **kwargs):
        self.log.append(("parse", args, kwargs))
        if self.parse_error:
            raise self.parse_error
        return self.parsed


class Session:
    def __init__(self, fake):
        self.t = fake

    async def call_tool(self, *args, **kwargs):
        self.t.log.append(("call_tool", args, kwargs))
        await asyncio.sleep(0.001)  # a real suspension through the event loop
        return await self.t.call() if self.t.call else "RAW RESULT"


class Connection:
    def __init__(self, fake):
        self.t = fake

    async def __aenter__(self, *args):
        self.t.log.append(("enter", args))
        await asyncio.sleep(0)
        if self.t.enter_error:
            raise self.t.enter_error
        return Session(self.t)

    async def __aexit__(self, *args):
        self.t.log.append(("exit", args))
        await asyncio.sleep(0.001)
        self.t.exits_finished += 1
        if self.t.exit_error:
            raise self.t.exit_error
        return self.t.exit_result


def failing(error):
    async def call():
        raise error

    return call


@pytest.fixture
def fake(monkeypatch):
    transport = Fake()
    monkeypatch.setitem(sys.modules, TRANSPORT, transport.module)
    return transport


def steps(transport):
    return [entry[0] for entry in transport.log]


# ---- the query ----------------------------------------------------------------------


def test_query_protocol(core, fake):
    result = core._list_openfoam_templates()
    assert result == ["base", "hatch"] and type(result) is list and result is not fake.parsed
    assert all(a is b for a, b in zip(result, fake.parsed))
    assert fake.log == [
        ("connect", ("openfoam",), {}),
        ("enter", ()),
        ("call_tool", ("list_templates", {}), {}),
        ("parse", ("RAW RESULT",), {}),
        ("exit", (None, None, None)),
    ]
    core._list_openfoam_templates()
    first, second = fake.log[2][1][1], fake.log[7][1][1]
    assert type(first) is dict and first == {} and first is not second


class NameList(list):
    pass


@pytest.mark.parametrize(
    "parsed,expected",
    [
        (["a", "b"], ["a", "b"]),
        ([1, None, "x"], ["1", "None", "x"]),
        ([], []),
        (NameList(["a", 2]), ["a", "2"]),
        ([type("Name", (str,), {})("sub")], ["sub"]),
        (("a", "b"), []),
        ({"templates": ["a", "b"]}, []),
        ("abc", []),
        (None, []),
        (3, []),
    ],
)
def test_query_result_conversion(core, fake, parsed, expected):
    fake.parsed = parsed
    result = core._list_openfoam_templates()
    assert result == expected and type(result) is list and all(type(x) is str for x in result)
    assert fake.log[-1] == ("exit", (None, None, None))


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("where", ["call", "parse", "convert"])
@pytest.mark.parametrize("swallow", [False, True])
def test_query_failure_inside_the_context_exits_with_the_error(core, fake, where, swallow):
    error = ValueError("boom")
    if where == "call":
        fake.call = failing(error)
    elif where == "parse":
        fake.parse_error = error
    else:
        fake.parsed = ["ok", Unprintable()]
    fake.exit_result = swallow
    result = core._list_openfoam_templates()
    assert result == [] and type(result) is list  # a swallowed error gives [] too
    assert steps(fake).count("exit") == 1 and fake.log[-1][0] == "exit"
    exc_type, exc, tb = fake.log[-1][1]
    assert exc_type is ValueError and isinstance(exc, ValueError)
    assert isinstance(tb, types.TracebackType) and (exc is error or where == "convert")


class NotText:
    def __str__(self):
        return 3  # str() refuses the result in C code: no Python frame raised it


def test_query_native_error_reaches_the_exit_with_a_traceback(core, fake):
    fake.parsed = ["ok", NotText()]
    assert core._list_openfoam_templates() == []
    exc_type, exc, tb = fake.log[-1][1]
    assert exc_type is TypeError and isinstance(exc, TypeError)
    assert isinstance(tb, types.TracebackType)
    assert tb.tb_frame.f_code.co_name == "_list_openfoam_templates.<locals>._call"


@pytest.mark.parametrize(
    "setup",
    [
        lambda t, mp: setattr(t, "enter_error", ConnectionRefusedError("unreachable")),
        lambda t, mp: setattr(t, "exit_error", OSError("exit failed")),
        lambda t, mp: setattr(t, "cm", object()),
        lambda t, mp: setattr(t.module, "mcp_connect", lambda name: 1 / 0),
        lambda t, mp: delattr(t.module, "parse_tool_result"),
        lambda t, mp: mp.setitem(sys.modules, TRANSPORT, None),
    ],
    ids=[
        "unreachable",
        "exit-fails",
        "no-context-manager",
        "connect-fails",
        "no-parser",
        "no-transport",
    ],
)
def test_query_failures_give_an_empty_list(core, fake, monkeypatch, setup):
    setup(fake, monkeypatch)
    assert core._list_openfoam_templates() == []
    if fake.enter_error:
        assert steps(fake) == ["connect", "enter"]  # never entered: no exit


def test_query_looks_up_exit_then_enter_on_the_type(core, fake):
    class Meta(type):
        def __getattribute__(cls, name):
            if name.startswith("__a"):
                fake.log.append(("lookup", name))
            return super().__getattribute__(name)

    class Watched(Connection, metaclass=Meta):
        pass

    fake.cm = Watched(fake)
    fake.cm.__aenter__ = lambda: pytest.fail("instance attribute used")
    assert core._list_openfoam_templates() == ["base", "hatch"]
    assert fake.log[1:4] == [("lookup", "__aexit__"), ("lookup", "__aenter__"), ("enter", ())]

    class NoExit:
        async def __aenter__(self):
            fake.log.append(("enter", ()))

    fake.cm, fake.log[:] = NoExit(), []
    assert core._list_openfoam_templates() == [] and steps(fake) == ["connect"]


def test_query_inside_a_running_loop_gives_an_empty_list(core, fake):
    async def main():
        return core._list_openfoam_templates()

    assert asyncio.run(main()) == [] and fake.log == []


def test_query_runs_a_native_coroutine_named_call(core, fake, monkeypatch):
    seen, real_run = [], asyncio.run

    def run(coro, **kwargs):
        seen.append((coro.__qualname__, isinstance(coro, collections.abc.Coroutine)))
        return real_run(coro, **kwargs)

    monkeypatch.setattr(asyncio, "run", run)
    assert core._list_openfoam_templates() == ["base", "hatch"]
    assert seen == [("_list_openfoam_templates.<locals>._call", True)]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, asyncio.CancelledError])
def test_query_lets_non_exception_errors_through(core, fake, error):
    fake.call = failing(error())
    with pytest.raises(error):
        core._list_openfoam_templates()
    assert fake.log[-1][0] == "exit" and fake.log[-1][1][0] is error


async def cancel_running_task():
    asyncio.current_task().cancel()
    await asyncio.sleep(5)


async def interrupt():
    signal.raise_signal(signal.SIGINT)
    await asyncio.sleep(5)


@pytest.mark.parametrize(
    "call,swallow,outcome",
    [
        (cancel_running_task, False, asyncio.CancelledError),
        (cancel_running_task, True, []),
        (interrupt, False, KeyboardInterrupt),
    ],
    ids=["cancelled", "cancelled-exit-swallows", "interrupted"],
)
def test_query_cancelled_while_waiting(core, fake, call, swallow, outcome, request):
    """Cancellation arrives by throw() into the suspended coroutine; the exit
    must run to completion and the outcome must reach the caller."""
    # Ctrl-C as at a terminal, even when this process was started ignoring it.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    request.addfinalizer(lambda: signal.signal(signal.SIGINT, previous))
    fake.call, fake.exit_result = call, swallow
    if isinstance(outcome, list):
        assert core._list_openfoam_templates() == outcome
    else:
        with pytest.raises(outcome):
            core._list_openfoam_templates()
    assert fake.log[-1][1][0] is asyncio.CancelledError and fake.exits_finished == 1


class Suspend:
    def __await__(self):
        yield "suspended"


def test_throw_handled_by_the_awaited_call(core, fake, monkeypatch):
    class Forgiving:
        async def call_tool(self, *args):
            try:
                await Suspend()
            except ValueError:
                return "RAW AFTER ERROR"

    class SuspendingExit:
        async def __aenter__(self):
            return Forgiving()

        async def __aexit__(self, *args):
            fake.log.append(("exit", args))
            await Suspend()

    fake.cm, fake.parsed = SuspendingExit(), ["a"]
    captured = []
    monkeypatch.setattr(asyncio, "run", captured.append)
    core._list_openfoam_templates()
    coro = captured[0]
    assert coro.send(None) == "suspended"
    assert coro.throw(ValueError("handled inside")) == "suspended"  # now inside the exit
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value == ["a"] and fake.log[-1] == ("exit", (None, None, None))
    assert fake.log[-2] == ("parse", ("RAW AFTER ERROR",), {})


ISOLATED = """
import asyncio, sys, types
class Suspend:
    def __await__(self):
        yield "suspended"
class Session:
    async def call_tool(self, *args):
        {call}
class Connection:
    async def __aenter__(self):
        return Session()
    async def __aexit__(self, *args):
        print("exit", args[0] and args[0].__name__, flush=True)
        return {exit_result}
transport = types.ModuleType("velmor_platform.mcp.mcp_transport")
transport.mcp_connect = lambda name: Connection()
transport.parse_tool_result = lambda result: ["a"]
sys.modules[transport.__name__] = transport
import velmor_platform.core.product_core as core
{drive}
"""
MANUAL = (
    "captured = []\nasyncio.run = captured.append\ncore._list_openfoam_templates()\n"
    "coro = captured[0]\ncoro.send(None)\n"
    "try:\n    coro.throw(ValueError())\nexcept StopIteration as stop:\n    print(stop.value)"
)


@pytest.mark.parametrize(
    "call,exit_result,drive,expected",
    [
        (
            "asyncio.current_task().cancel(); await asyncio.sleep(5)",
            "True",
            "print(core._list_openfoam_templates())",
            "exit CancelledError\n[]",
        ),
        (
            "try:\n            await Suspend()\n        except ValueError:\n            return 'raw'",
            "None",
            MANUAL,
            "exit None\n['a']",
        ),
    ],
    ids=["cancelled-then-exit-swallows-at-once", "thrown-error-handled-exit-returns-at-once"],
)
def test_throw_ending_without_a_new_suspension(call, exit_result, drive, expected):
    # In a child process: a fault here may take the interpreter down.
    code = ISOLATED.format(call=call, exit_result=exit_result, drive=drive)
    result = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": SRC},
    )
    assert (result.returncode, result.stdout.strip()) == (0, expected), result.stderr[-2000:]


# ---- capabilities ---------------------------------------------------------------------

AERO = {"domain": "aerodynamics", "status": "active", "solvers": [1, 2, 3]}
DYN = {"domain": "dynamics", "status": "beta", "solvers": [1]}
SOLVER = {"name": "openfoam", "version": "v2406"}


@pytest.fixture
def caps(core, monkeypatch):
    """Replace the query and the registry; return (log, settings)."""
    log = []
    settings = {"templates": ["base"], "domains": [AERO, DYN], "default": SOLVER}

    def default_solver_for(domain):
        log.append(("default", domain))
        value = settings["default"]
        return value(domain) if callable(value) else value

    monkeypatch.setattr(
        core, "_list_openfoam_templates", lambda: log.append(("query",)) or settings["templates"]
    )
    monkeypatch.setattr(
        core, "list_domains", lambda: log.append(("list_domains",)) or settings["domains"]
    )
    monkeypatch.setattr(core, "default_solver_for", default_solver_for)
    return log, settings


def product(core, directory="base", record=None, log=None):
    record = {"mass": 1600, "wheelbase": 2.8} if record is None else record

    class Product(core.ProductCore):
        @property
        def has_dynamics(self):
            if log is not None:
                log.append(("has_dynamics",))
            return core.ProductCore.has_dynamics.fget(self)

    return Product(Path(f"/w/products/sedan/{directory}/sedan.usda"), record)


def test_capabilities_report_and_call_order(core, caps):
    log, _ = caps
    report = product(core, log=log).capabilities()
    assert list(report) == ["aerodynamics", "dynamics"]
    assert list(report["aerodynamics"].items()) == [
        ("available", True),
        ("solver", "openfoam"),
        ("version", "v2406"),
        ("surrogate", False),
        ("status", "active"),
        ("solver_count", 3),
    ]
    assert report["dynamics"] == {
        "available": True,
        "solver": "openfoam",
        "version": "v2406",
        "surrogate": False,
        "status": "beta",
        "solver_count": 1,
    }
    assert log == [
        ("query",),
        ("list_domains",),
        ("default", "aerodynamics"),
        ("has_dynamics",),
        ("default", "dynamics"),
    ]


@pytest.mark.parametrize(
    "directory,templates,record,aero,dynamics",
    [
        ("base", ["base", "hatch"], None, True, True),
        ("sport", ["base", "hatch"], None, False, True),
        ("Base", ["base"], {}, False, False),
        ("base", [], {"mass": 400, "wheelbase": 2}, False, False),
        ("base", None, None, False, True),  # a query replaced by one answering None
    ],
)
def test_capabilities_availability(core, caps, directory, templates, record, aero, dynamics):
    caps[1]["templates"] = templates
    caps[1]["domains"] = [AERO, dict(AERO, domain="aero"), DYN]
    report = product(core, directory, record).capabilities()
    assert report["aerodynamics"]["available"] is report["aero"]["available"] is aero
    assert report["dynamics"]["available"] is dynamics


def test_capabilities_entry_details(core, caps):
    _, settings = caps
    other = {"domain": "thermal", "status": "planned", "solvers": None, "extra": 1}
    settings["domains"] = (
        d
        for d in [
            dict(AERO, solvers=[], status="old"),
            other,
            {"domain": "dynamics", "status": "x"},
            AERO,
        ]
    )
    settings["default"] = lambda d: {"thermal": {"name": "t"}, "dynamics": {}}.get(d)

    class Product(core.ProductCore):
        has_dynamics = "as returned"

    report = Product(Path("/w/products/base/base.usda"), {}).capabilities()
    assert report == {
        "aerodynamics": {
            "available": True,
            "solver": None,
            "version": None,
            "surrogate": False,
            "status": "active",
            "solver_count": 3,
        },
        "thermal": {
            "available": False,
            "solver": "t",
            "version": None,
            "surrogate": False,
            "status": "planned",
            "solver_count": 0,
        },
        "dynamics": {
            "available": "as returned",
            "solver": None,
            "version": None,
            "surrogate": False,
            "status": "x",
            "solver_count": 0,
        },
    }


def test_capabilities_empty_registry_still_queries(core, caps):
    caps[1]["domains"] = []
    assert product(core).capabilities() == {} and caps[0] == [("query",), ("list_domains",)]


@pytest.mark.parametrize(
    "domains,default,error",
    [
        ([{"status": "x"}], SOLVER, KeyError),
        ([{"domain": "aero"}], SOLVER, KeyError),
        ([AERO], {"version": "1"}, KeyError),
        ([{"domain": "dynamics", "status": "x", "solvers": 3}], SOLVER, TypeError),
    ],
)
def test_capabilities_failures(core, caps, domains, default, error):
    caps[1].update(domains=domains, default=default)
    with pytest.raises(error):
        product(core).capabilities()


def test_capabilities_result_check_and_path_first(core, caps):
    caps[1]["templates"] = ("base",)
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        product(core).capabilities()
    caps[0].clear()
    with pytest.raises(AttributeError):
        core.ProductCore.__new__(core.ProductCore).capabilities()
    assert caps[0] == []


def test_capabilities_with_unreachable_transport(core, fake):
    fake.enter_error = ConnectionRefusedError()
    report = product(core).capabilities()
    assert report["aerodynamics"]["available"] is False and report["dynamics"]["available"]
    assert (
        report["aerodynamics"]["solver"] == "openfoam"
        and report["aerodynamics"]["solver_count"] == 3
    )


# ---- against the real template server -------------------------------------------------------


def test_capabilities_against_the_stdio_server(core, workspace):
    base = core.ProductCore.load("sedan:base").capabilities()
    assert base["aerodynamics"] == {
        "available": True,
        "solver": "openfoam",
        "version": "v2406",
        "surrogate": False,
        "status": "active",
        "solver_count": 3,
    }
    sport = core.ProductCore.load("sedan:sport").capabilities()
    assert sport["aerodynamics"]["available"] is False
    assert base["dynamics"]["available"] is sport["dynamics"]["available"] is True


@pytest.mark.parametrize(
    "command", [["./no-such-server"], ["python", "-c", "import time; time.sleep(30)"]]
)
def test_query_against_dead_or_silent_servers(core, workspace, monkeypatch, command):
    (workspace / "mcp.json").write_text(json.dumps({"servers": {"openfoam": {"command": command}}}))
    monkeypatch.setenv("VELMOR_MCP_TIMEOUT", "1")
    start = time.monotonic()
    assert core._list_openfoam_templates() == []
    assert time.monotonic() - start < 6
