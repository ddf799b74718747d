"""The OpenFOAM MCP server's ``list_templates`` tool: the workspace's case
templates, read at every call (``services.simulation.templates``)."""

from pathlib import Path
from typing import TYPE_CHECKING

from . import add_tool, answering

if TYPE_CHECKING:
    from mcp.server import MCPServer


def register(server: "MCPServer", workspace: "str | Path") -> None:
    """Add the ``list_templates`` tool to ``server``."""
    from ...services.loading import Workspace

    where = Workspace(Path(workspace))

    def list_templates() -> list[str]:
        from ...services import simulation

        return answering(lambda: simulation.templates(where))()  # type: ignore[no-any-return]

    add_tool(
        server, list_templates, name="list_templates", title="List OpenFOAM case templates",
        description=(
            "Sorted names of the workspace's OpenFOAM case templates (the directories of "
            "templates/openfoam/). A product can run aerodynamics when a template carries the "
            "name of its directory."
        ),
        read_only=True,
    )  # fmt: skip
