"""The MCP face: the OpenFOAM server's tools keep their schemas, and each
refusal of a use case reaches the client as a tool error with its line."""

import json
from pathlib import Path

import anyio
import pytest
from mcp import Client
from mcp.server.mcpserver.exceptions import ToolError

from velmor_platform.errors import CfdError
from velmor_platform.mcp.openfoam_server import build_server
from velmor_platform.mcp.tools import TOOL_ERROR, answering
from velmor_platform.services.errors import UserError

TOOLS = Path(__file__).resolve().parent / "data" / "mcp_tools.json"


def _session(workspace, calls):
    async def run():
        async with Client(build_server(workspace)) as client:
            tools = [t.model_dump(mode="json", exclude_none=True)
                     for t in (await client.list_tools()).tools]  # fmt: skip
            return tools, [await client.call_tool(name, args) for name, args in calls]

    return anyio.run(run)


def test_every_tool_keeps_its_name_schemas_and_annotations(workspace):
    tools, _ = _session(workspace, [])
    assert tools == json.loads(TOOLS.read_text())


REFUSALS = [
    ("prepare_case", {"product": "nosuch"},
     "no product 'nosuch' in the workspace {ws} (known: hatch, sedan:base, sedan:sport)"),
    ("simulate", {"product": "/etc/passwd.usda"},
     "/etc/passwd.usda is not a product file of the workspace {ws}"),
    ("prepare_case", {"product": "hatch", "level": "huge"},
     "invalid level: Input should be 'quick', 'standard' or 'fine'"),
    ("report", {"product": "hatch", "run": "run_9"}, "hatch has no run 'run_9'"),
    ("study_results", {"name": "nosuch"},
     "no study named 'nosuch' in {ws}/studies (known: none)"),
    ("cancel_case", {"job": "x"}, "'x' is not a job handle (PID:START)"),
    ("make_variant", {"parent": "nosuch", "name": "a:b", "geometry": "/x.stl"},
     "no product named 'nosuch' in {ws}/products"),
    ("start_case", {"case_dir": "/etc"}, "/etc is not a case folder of the workspace {ws}/cases"),
    ("case_states", {"jobs": {"1": "/etc"}},
     "/etc is not a case folder of the workspace {ws}/cases"),
]  # fmt: skip


def test_refusals_are_tool_errors_with_their_line(workspace):
    _, results = _session(workspace, [(name, args) for name, args, _ in REFUSALS])
    for (name, _, line), result in zip(REFUSALS, results, strict=True):
        assert result.is_error, name
        text = " ".join(getattr(c, "text", "") for c in result.content)
        assert text == f"Error executing tool {name}: {line.format(ws=workspace)}"


@pytest.mark.parametrize(
    "exc, kind",
    [(UserError("conflict", "held"), "conflict"), (CfdError("bad"), "invalid"),
     (TimeoutError("lock"), "conflict"), (FileNotFoundError("x"), "not_found"),
     (ValueError("v"), "invalid"), (PermissionError("p"), "unavailable"), (KeyError("k"), None)],
)  # fmt: skip
def test_each_refusal_is_the_tool_error_of_its_kind(exc, kind):
    def work():
        raise exc

    with pytest.raises(ToolError if kind else KeyError) as info:
        answering(work)()
    assert kind is None or (type(info.value) is TOOL_ERROR[kind] and str(info.value) == str(exc))
