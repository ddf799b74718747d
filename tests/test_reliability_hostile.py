"""Hostile input: generated calls of every member, run in child processes.

A crash of the extension (segmentation fault, abort, a sanitizer report)
kills only the child; the test then fails with the child's output.  The
generated suite lives in tests/reliability_hostile.py; the cases below it
pin down re-entrancy and lifetime hazards that random generation reaches
only rarely.

VELMOR_HOSTILE_EXAMPLES sets the number of generated examples (each makes
one to six calls); VELMOR_SOAK=1 raises the default.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from child_process import child_env

HERE = Path(__file__).resolve().parent
SOAK = os.environ.get("VELMOR_SOAK") == "1"
EXAMPLES = int(os.environ.get("VELMOR_HOSTILE_EXAMPLES", "25000" if SOAK else "1200"))


def explain(proc: subprocess.CompletedProcess) -> str:
    how = (
        f"killed by signal {-proc.returncode}"
        if proc.returncode < 0
        else f"exit status {proc.returncode}"
    )
    return f"child {how}\n--- stdout\n{proc.stdout[-4000:]}\n--- stderr\n{proc.stderr[-6000:]}"


def test_generated_calls_end_in_a_result_or_a_standard_exception(workspace):
    timeout = 3600 if SOAK else 600
    proc = subprocess.run(
        [
            sys.executable,
            str(HERE / "reliability_hostile.py"),
            "--workspace",
            str(workspace),
            "--examples",
            str(EXAMPLES),
            "--watchdog",
            str(timeout - 30),
        ],
        env=child_env(workspace),
        cwd=workspace,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode >= 0, explain(proc)
    lines = proc.stdout.strip().splitlines()
    assert lines, explain(proc)
    summary = json.loads(lines[-1])
    figures = (
        f"hostile calls: {summary['calls']}, members: {len(summary['members'])}, "
        f"violations: {len(summary['violations'])}"
    )
    print(figures)
    assert summary["runner_error"] is None, summary["runner_error"]
    problems = [
        f"{v['member']}: {v['outcome']}: {v['problem']}\n{v['detail']}"
        for v in summary["violations"]
    ]
    assert not problems, "\n\n".join(problems[:10])
    assert proc.returncode == 0, explain(proc)
    # Every member was reached: the 27 callable members of ProductCore (the two
    # class-level tables are plain dicts) and the template query.
    assert len(summary["members"]) == 28, sorted(summary["members"])
    assert summary["calls"] >= EXAMPLES


# ---- re-entrancy of the template query's coroutine ----------------------------------
#
# The transport's code runs inside the coroutine that _list_openfoam_templates
# hands to asyncio.run, and can reach it (asyncio.current_task().get_coro()).
# A Python coroutine refuses to be sent to, thrown into or closed while it is
# running ("coroutine already executing"); the native one must refuse too,
# not run its body twice or free its state under itself.

REENTRY = """
import asyncio, collections, sys
import velmor_platform.mcp.mcp_transport as transport
from velmor_platform.core import product_core

STEP, ACTION = sys.argv[1], sys.argv[2]
calls = collections.Counter()
refusals = []

def reenter(step):
    calls[step] += 1
    if step != STEP:
        return
    coro = asyncio.current_task().get_coro()
    try:
        if ACTION == "close":
            coro.close()
        elif ACTION == "send":
            coro.send(None)
        else:
            coro.throw(ValueError("re-entered"))
    except ValueError as exc:
        refusals.append(str(exc))

class Session:
    async def call_tool(self, name, arguments):
        reenter("call_tool")
        return {"content": []}

class Connection:
    async def __aenter__(self):
        reenter("aenter")
        return Session()
    async def __aexit__(self, *exc_info):
        reenter("aexit")
        return False

def parse(result):
    reenter("parse")
    return ["hatch", "sedan"]

transport.mcp_connect = lambda name: Connection()
transport.parse_tool_result = parse
result = product_core._list_openfoam_templates()
print("result:", result, "calls:", dict(calls), "refusals:", refusals)
# A running coroutine refuses, like a Python one ("coroutine already
# executing"), and the query goes on undisturbed.
assert refusals and "re-entered" not in refusals[0], refusals
assert result == ["hatch", "sedan"], result
assert dict(calls) == {"aenter": 1, "call_tool": 1, "parse": 1, "aexit": 1}, calls
"""


@pytest.mark.parametrize("action", ["close", "send", "throw"])
@pytest.mark.parametrize("step", ["aenter", "call_tool", "parse", "aexit"])
def test_template_query_refuses_reentry_from_the_transport(workspace, step, action):
    proc = subprocess.run(
        [sys.executable, "-c", REENTRY, step, action],
        env=child_env(workspace),
        cwd=workspace,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, explain(proc)


# ---- values bound from __defaults__ must live for the whole call -------------------
#
# A member with defaults binds the default objects of its function.  Code that
# runs during the call (a table or attribute read through a property) may
# replace __defaults__; the replaced tuple, and the defaults in it, are then
# released.  A def function keeps its arguments alive for the call; so must
# the native members.  The freed memory is reused at once (same-size strings)
# so that a dangling argument shows as a wrong result or a crash, not only
# under the address sanitizer.

DEFAULTS = """
import sys
from pathlib import Path
from velmor_platform.core.product_core import ProductCore

MEMBER, ATTRIBUTE = sys.argv[1], sys.argv[2]
originals = {m: ProductCore.__dict__[m].__defaults__ for m in ("set_solver", "get_solver_backend", "export")}

def fresh_defaults():
    fn = ProductCore.__dict__[MEMBER]
    fn.__defaults__ = tuple("".join(list(v)) for v in originals[MEMBER])

junk = []
def churn():
    fresh_defaults()
    # Reuse the memory of the released strings.
    junk.extend("".join(["#"] * len(v)) for v in originals[MEMBER] for _ in range(50))

tables = {"_DOMAIN_VALID_BACKENDS": ProductCore._DOMAIN_VALID_BACKENDS,
          "_DOMAIN_DEFAULT_SOLVER": ProductCore._DOMAIN_DEFAULT_SOLVER}

class Derived(ProductCore):
    pass

def getter(self):
    churn()
    if ATTRIBUTE in tables:
        return tables[ATTRIBUTE]
    if ATTRIBUTE == "_solver_backend":
        return {"aero": "xlb"} if MEMBER == "get_solver_backend" else {}
    return Path("/w/products/hatch/hatch.usda")

setattr(Derived, ATTRIBUTE, property(getter))
product = Derived.__new__(Derived)
if ATTRIBUTE != "_usd_path":
    object.__setattr__(product, "_usd_path", Path("/w/products/hatch/hatch.usda"))
object.__setattr__(product, "_vehicle", {"vehicle_name": "Hatch"})

for attempt in range(20):
    fresh_defaults()
    result = getattr(product, MEMBER)()
    if MEMBER == "set_solver":
        expected = {"status": "selected", "domain": "aerodynamics", "backend": "openfoam", "product": "Hatch"}
    elif MEMBER == "get_solver_backend":
        expected = "xlb"
    else:
        expected = {"format": "USD", "path": "/w/products/hatch/hatch.usda"}
    assert result == expected, (attempt, result)
print("ok")
"""


@pytest.mark.parametrize(
    "member, attribute",
    [
        ("set_solver", "_DOMAIN_VALID_BACKENDS"),
        ("set_solver", "_solver_backend"),
        ("get_solver_backend", "_solver_backend"),
    ],
)
def test_default_arguments_outlive_a_change_of_defaults_during_the_call(
    workspace, member, attribute
):
    proc = subprocess.run(
        [sys.executable, "-c", DEFAULTS, member, attribute],
        env=child_env(workspace),
        cwd=workspace,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0 and "ok" in proc.stdout, explain(proc)
