"""The MCP server's dynamics tool.

``simulate_dynamics(product, radius?, friction?, time_step?, short?, aero?)``
drives the product round a constant-radius circle on Project Chrono (speed
steps, ISO 4138 manner) and records the run in the product's history;
returns the recorded run (status, lateral_g, yaw_rate_dps, roll_angle_deg,
understeer_gradient_deg_per_g, message, case_dir) with its figures. A
product without dynamics, an implausible value or a missing Chrono runner is
a tool error with its reason; a Chrono crash is a recorded failed run. The
tool calls ``services.simulation``.
"""

# No "from __future__ import annotations": the SDK reads the parameters' annotations.

from pathlib import Path
from typing import TYPE_CHECKING, Any

from . import add_tool, in_thread, product_file

if TYPE_CHECKING:
    from mcp.server import MCPServer


def register(server: "MCPServer", workspace: "str | Path") -> None:
    """Add the ``simulate_dynamics`` tool to ``server``."""
    from ...services.loading import Workspace

    root = Path(workspace).resolve()
    where = Workspace(root)

    async def simulate_dynamics(
        product: str,
        radius: float | None = None,
        friction: float | None = None,
        time_step: float | None = None,
        short: bool = False,
        aero: bool = True,
    ) -> dict[str, Any]:
        from ...services import simulation

        def work() -> dict[str, Any]:
            run = simulation.simulate(
                product_file(root, product), where, domain="dynamics",
                dynamics={"radius_m": radius, "friction": friction, "step_s": time_step,
                          "short": short, "aero": aero},
            )  # fmt: skip
            return run.record

        return await in_thread(work)  # type: ignore[no-any-return]

    add_tool(
        server,
        simulate_dynamics,
        name="simulate_dynamics",
        title="Run and record a Chrono steady-state cornering run",
        description=(
            "Drive a dynamics-capable product round a constant-radius circle on Project Chrono "
            "(speed steps, ISO 4138 manner) with its current straight-ahead aero loads, and record "
            "the run; returns it (status, lateral_g, yaw_rate_dps, roll_angle_deg, "
            "understeer_gradient_deg_per_g, message, case_dir, summary). radius in m (default "
            "100), friction of the road (default 1.0), time_step in s (default 0.0005), short: two "
            "speed steps only, aero: false leaves the aero loads off."
        ),
    )
