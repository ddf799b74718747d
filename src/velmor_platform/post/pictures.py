"""The pictures and plots of one run (and of a comparison of two), made once.

``run_set(case, folder)`` writes into ``folder`` the PNGs of a run and
answers their list: the plots always, the rendered pictures when a
renderer works here and the case holds the sampled surfaces. Each entry is
``{"key", "file", "group", "caption"}``; ``group`` orders the report.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from . import plots, readers
from . import render as rd

#: The views of the car's surface pressure.
CP_VIEWS = ("side", "top", "front", "rear", "underside")
#: The views of the wall shear.
SHEAR_VIEWS = ("side", "top", "rear")
#: Compared views.
DELTA_VIEWS = ("side", "top", "rear")


def _entry(key: str, path: Path, group: str, caption: str) -> dict[str, str]:
    return {"key": key, "file": path.name, "group": group, "caption": caption}


def plot_set(
    case: Path, folder: Path, run: dict[str, Any] | None
) -> tuple[list[dict[str, str]], readers.Window | None]:
    history = readers.coefficient_history(case)
    win = readers.window(history, run)
    out = []
    conv = plots.convergence(history, win, readers.residuals(case), folder / "convergence.png")
    if conv:
        out.append(
            _entry(
                "convergence",
                conv,
                "convergence",
                "Cd and Cl per iteration, the averaging window (shaded) and the Cd band; "
                "initial residuals",
            )
        )
    curve = readers.cumulative_drag(case, win)
    if curve is not None:
        path = plots.cumulative_drag([("this run", *curve)], folder / "cumulative_drag.png")
        if path:
            out.append(
                _entry(
                    "cumulative_drag",
                    path,
                    "drag",
                    "Drag accumulated from the nose along the car (binned forces)",
                )
            )
    return out, win


def _speed(case: Path) -> float | None:
    ref = readers.reference(case)
    return ref.speed if ref else None


def body_surface(case: Path) -> Any | None:
    """The vehicle surface of ``case`` with ``Cp`` and ``Cfx``, half model."""
    files = readers.surface_files(case)
    speed = _speed(case)
    if "body" not in files or speed is None:
        return None
    return rd.body_coefficients(rd.read_surface(files["body"]), speed)


def picture_set(case: Path, folder: Path) -> list[dict[str, str]]:
    """Render the run's pictures; an empty list when the case has no surfaces."""
    files = readers.surface_files(case)
    speed = _speed(case)
    half = body_surface(case)
    if half is None or speed is None:
        return []
    whole = rd.mirrored(half)
    out: list[dict[str, str]] = []
    views = {v: folder / f"cp_{v}.png" for v in CP_VIEWS}
    for view, path in zip(views, rd.draw(whole, rd.SCALES["cp"], views, label="Cp"), strict=True):
        out.append(_entry(f"cp_{view}", path, "pressure", f"Surface pressure coefficient, {view}"))
    if "Cfx" in whole.cell_data:
        views = {v: folder / f"shear_{v}.png" for v in SHEAR_VIEWS}
        drawn = rd.draw(whole, rd.SCALES["cfx"], views, label="Cf,x")
        for view, path in zip(views, drawn, strict=True):
            out.append(
                _entry(
                    f"shear_{view}",
                    path,
                    "shear",
                    f"Wall shear along the flow, {view}: blue where the air runs backwards "
                    "over the surface; on the body that is separation, on the rotating wheels "
                    "the lower half, which turns rearwards with the road faster than the air "
                    "beside it",
                )
            )
    if "centre" in files:
        plane = rd.plane_coefficients(rd.read_surface(files["centre"]), speed)
        path = folder / "centre.png"
        rd.draw(
            plane,
            rd.SCALES["speed"],
            {"side": path},
            bounds=rd.crop_bounds(half, 0.3, 1.0, 0.35),
            backdrop=half,
            label="centre line",
            lit=False,
            grounded=True,
        )
        out.append(_entry("centre", path, "flow", "Velocity on the centre line"))
    x0, x1, _, y1, _, z1 = whole.bounds
    for name in sorted(n for n in files if n.startswith("wake")):
        plane = rd.mirrored(rd.plane_coefficients(rd.read_surface(files[name]), speed))
        px = plane.bounds[0]
        where = (px - x1) / (x1 - x0)
        path = folder / f"{name}.png"
        box = [px, px, -1.5 * y1, 1.5 * y1, 0.0, 1.5 * z1]
        rd.draw(
            plane,
            rd.SCALES["loss"],
            {"rear": path},
            bounds=box,
            label=f"wake, {where:.1f} L behind",
            lit=False,
        )
        out.append(
            _entry(
                name,
                path,
                "wake",
                f"Total-pressure loss {where:.1f} car lengths behind the car, seen from behind",
            )
        )
    return out


def delta_set(
    case: Path, other: Path, folder: Path, this_label: str, other_label: str
) -> list[dict[str, str]]:
    """ΔCp of ``case`` against ``other`` on ``case``'s surface."""
    from .compare import delta_cp

    this, that = body_surface(case), body_surface(other)
    if this is None or that is None:
        return []
    delta = rd.mirrored(delta_cp(this, that))
    views = {v: folder / f"dcp_{v}.png" for v in DELTA_VIEWS}
    drawn = rd.draw(delta, rd.SCALES["dcp"], views, label=f"ΔCp {this_label} - {other_label}")
    return [
        _entry(
            f"dcp_{view}",
            path,
            "compare",
            f"ΔCp = Cp({this_label}) - Cp({other_label}), {view}: red where this run's "
            "pressure is higher",
        )
        for view, path in zip(views, drawn, strict=True)
    ]


def cumulative_pair(
    case: Path,
    other: Path,
    folder: Path,
    labels: tuple[str, str],
    windows: tuple[readers.Window | None, readers.Window | None],
) -> list[dict[str, str]]:
    curves = []
    for c, label, win in zip((case, other), labels, windows, strict=True):
        curve = readers.cumulative_drag(c, win)
        if curve is not None:
            curves.append((label, *curve))
    path = plots.cumulative_drag(curves, folder / "cumulative_drag_both.png")
    if path is None:
        return []
    return [_entry("cumulative_both", path, "compare", "Accumulated drag along the car, both runs")]
