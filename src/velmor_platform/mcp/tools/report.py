"""The template server's ``report`` tool: a run's key pictures and numbers.

``report(product, run?, against?)`` answers with the key pictures of the
run's report as MCP image content (PNG) and its numbers as structured
content: the record, the averaging window and Cd band, the forces by part,
the mesh-quality line and the accumulated drag, so that an MCP host shows
them to its user. ``run`` is a run id or prim name of the product (default:
its latest completed aerodynamics run whose case folder exists);
``against`` is a run id of any product of the workspace, for the ΔCp
pictures and both accumulated-drag curves.
"""

# No "from __future__ import annotations": the SDK reads the annotations.

import base64
from pathlib import Path
from typing import TYPE_CHECKING, Any

from . import add_tool, answering, product_file

if TYPE_CHECKING:
    from mcp.server import MCPServer


def _report(root: Path, product: str, run: str | None, against: str | None) -> dict[str, Any]:
    from ...services import reports
    from ...services.loading import Workspace

    where, ref = Workspace(root), product_file(root, product)
    found = reports.find(run, where, product=ref) if run else reports.latest(ref, where)
    other = reports.find(against, where) if against else None
    made = reports.make(found, other)
    return {"case": found.case_dir, "data": made.data, "product": found.product}


def register(server: "MCPServer", workspace: "str | Path") -> None:
    """Add the ``report`` tool to ``server``."""
    from mcp.types import CallToolResult

    root = Path(workspace).resolve()

    async def report_tool(product: str, run: str | None = None, against: str | None = None) -> Any:
        import anyio
        from mcp.types import ImageContent, TextContent

        from ...post import report

        found = await anyio.to_thread.run_sync(
            answering(lambda: _report(root, product, run, against))
        )
        data, case = found["data"], found["case"]
        numbers = report.summary(data) | {"product": found["product"]}
        from ...post.record import context_line, delta_rows

        rec = data["run"]
        line = f"{found['product']} run {data['label']}: Cd {rec.get('cd')}, Cl {rec.get('cl')}"
        if data.get("window"):
            w = data["window"]
            line += f", band ±{w['half_width']:.4f} over iterations {w['first']}-{w['last']}"
        line += f" ({context_line(rec, data.get('reference'))})"
        if data.get("against"):
            line += f"; against {data['against']['label']}: " + ", ".join(
                f"{label} {text}" for label, text in delta_rows(data)
            )
        if data.get("renderer"):
            line += f". No pictures: {data['renderer']}"
        content: list[Any] = [TextContent(type="text", text=line)]
        for caption, png in report.key_images(case, data):
            content.append(TextContent(type="text", text=caption))
            content.append(
                ImageContent(
                    type="image", data=base64.b64encode(png).decode(), mime_type="image/png"
                )
            )
        return CallToolResult(content=content, structured_content=numbers)

    # The SDK reads the annotations: the answer is a whole result (images and numbers).
    report_tool.__annotations__["return"] = CallToolResult
    add_tool(
        server, report_tool, name="report", title="Pictures and numbers of a simulation run",
        description=(
            "The report of a recorded OpenFOAM run of a product: key pictures (surface pressure, "
            "convergence, drag along the car) as images and the numbers (record, Cd band, forces "
            "by part, mesh quality) as structured content. run: a run id (default: the latest "
            "with a case folder); against: another run id, for the pressure difference."
        ),
        read_only=True,
    )  # fmt: skip
