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

if TYPE_CHECKING:
    from mcp.server import MCPServer


def _report(root: Path, product: str, run: str | None, against: str | None) -> dict[str, Any]:
    from ...cfd.errors import CfdError
    from ...post import report, runs
    from .simulation import _product

    loaded = _product(root, product)
    ident = loaded._product_identifier()
    chosen = runs.find_run(loaded.usd_path, run) if run else runs.latest_with_case(loaded.usd_path)
    if chosen is None:
        what = f"no run {run!r}" if run else "no completed aerodynamics run with a case folder"
        raise CfdError(f"{ident} has {what}")
    chosen = {**chosen, "product": ident}
    case = runs.case_of(chosen, loaded.usd_path)
    if case is None:
        raise CfdError(
            f"run {chosen.get('run_id')} of {ident} has no case folder here "
            f"({chosen.get('case_dir') or 'none recorded'}): its report needs the case's output"
        )
    if against:
        other = runs.locate(root, against)
        if other is None:
            raise CfdError(f"no run {against!r} in the workspace {root}")
        other_case = runs.case_of(other[2], other[1])
        if other_case is None:
            raise CfdError(f"run {against} has no case folder here to compare with")
        data = report.comparison(case, chosen, other_case, {**other[2], "product": other[0]})
    else:
        data = report.run_report(case, chosen)
    return {"case": case, "data": data, "product": ident}


def register(server: "MCPServer", workspace: "str | Path") -> None:
    """Add the ``report`` tool to ``server``."""
    from mcp.server.mcpserver.exceptions import ToolError
    from mcp.types import CallToolResult, ToolAnnotations

    root = Path(workspace).resolve()

    async def report_tool(product: str, run: str | None = None, against: str | None = None) -> Any:
        import anyio
        from mcp.types import ImageContent, TextContent

        from ...cfd.errors import CfdError
        from ...post import report

        def work() -> dict[str, Any]:
            try:
                return _report(root, product, run, against)
            except (CfdError, OSError, ValueError, TimeoutError) as exc:
                raise ToolError(str(exc) or type(exc).__name__) from exc

        found = await anyio.to_thread.run_sync(work)
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
    report_tool.__name__ = report_tool.__qualname__ = "Report"
    server.tool(
        name="report",
        title="Pictures and numbers of a simulation run",
        description=(
            "The report of a recorded OpenFOAM run of a product: key pictures (surface pressure, "
            "convergence, drag along the car) as images and the numbers (record, Cd band, forces "
            "by part, mesh quality) as structured content. run: a run id (default: the latest "
            "with a case folder); against: another run id, for the pressure difference."
        ),
        annotations=ToolAnnotations(
            title="Pictures and numbers of a simulation run",
            read_only_hint=True,
            destructive_hint=False,
            idempotent_hint=True,
            open_world_hint=False,
        ),
    )(report_tool)
