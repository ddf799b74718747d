"""Off-screen pictures of a run's surfaces and planes, with pyvista/VTK.

Every picture is drawn with a fixed, labelled colour scale (``SCALES``),
so two runs' pictures compare at a glance. The case models half the car
(y >= 0): the surfaces are mirrored about y = 0 for pictures of the whole
car. VTK draws through Mesa's EGL, with no display: ``renderer_problem``
answers, once per process, whether it can, and why not in one line.
"""

from __future__ import annotations

import functools
import io
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

# VTK tries an X display first (and logs about it) unless told to use EGL.
os.environ.setdefault("VTK_DEFAULT_OPENGL_WINDOW", "vtkEGLRenderWindow")

#: Background of every picture (white): the tests measure against it.
BACKGROUND = (255, 255, 255)
SIZE = (960, 480)


@dataclass(frozen=True)
class Scale:
    field: str
    title: str
    clim: tuple[float, float]
    cmap: str


SCALES = {
    "cp": Scale("Cp", "Cp  (pressure coefficient)", (-1.5, 1.0), "turbo"),
    "cfx": Scale(
        "Cfx", "Cf,x  (skin friction along the flow; < 0: reversed)", (-0.004, 0.004), "RdBu_r"
    ),
    "speed": Scale("U/Uinf", "|U| / U∞", (0.0, 1.4), "viridis"),
    "loss": Scale("Cp0 loss", "1 - Cp0  (total-pressure loss)", (0.0, 1.0), "magma_r"),
    "dcp": Scale("dCp", "ΔCp  (this - other)", (-0.3, 0.3), "RdBu_r"),
}

#: View name -> (direction from the car to the camera, view-up vector).
VIEWS: dict[str, tuple[tuple[float, float, float], tuple[float, float, float]]] = {
    "side": ((0.0, -1.0, 0.0), (0.0, 0.0, 1.0)),
    "top": ((0.0, 0.0, 1.0), (0.0, 1.0, 0.0)),
    "front": ((-1.0, 0.0, 0.0), (0.0, 0.0, 1.0)),
    "rear": ((1.0, 0.0, 0.0), (0.0, 0.0, 1.0)),
    "underside": ((0.0, 0.0, -1.0), (0.0, -1.0, 0.0)),
}

_PROBE = """
import os
os.environ.setdefault("VTK_DEFAULT_OPENGL_WINDOW", "vtkEGLRenderWindow")
import pyvista as pv
p = pv.Plotter(off_screen=True, window_size=(64, 64))
p.add_mesh(pv.Sphere())
img = p.screenshot(return_img=True)
p.close()
assert img.std() > 0
"""


@functools.cache
def renderer_problem() -> str | None:
    """None when pictures can be drawn here; else one line saying what they need.

    The probe runs in a child process: a broken GL stack can abort the
    process that tries it.
    """
    try:
        import pyvista  # noqa: F401
        import vtk  # noqa: F401
    except ImportError as exc:
        return f"the pictures need pyvista and vtk (pip install pyvista vtk): {exc}"
    try:
        done = subprocess.run(
            [sys.executable, "-c", _PROBE],
            capture_output=True,
            timeout=60,
            env={**os.environ, "VTK_DEFAULT_OPENGL_WINDOW": "vtkEGLRenderWindow"},
        )
    except (OSError, subprocess.TimeoutExpired) as exc:
        return f"the pictures need an off-screen OpenGL renderer, and the probe failed: {exc}"
    if done.returncode != 0:
        return (
            "the pictures need an off-screen OpenGL renderer: Mesa's EGL "
            "(Debian: libegl1 libegl-mesa0 libgbm1 libgl1-mesa-dri)"
        )
    return None


# --- data ------------------------------------------------------------------------------


def read_surface(path: Path) -> Any:
    import pyvista as pv

    return pv.read(str(path))


def mirrored(mesh: Any) -> Any:
    """The half model and its mirror image about y = 0, as one surface."""
    other = mesh.reflect((0.0, 1.0, 0.0), point=(0.0, 0.0, 0.0))
    return mesh.merge(other) if hasattr(mesh, "merge") else mesh


def body_coefficients(mesh: Any, speed: float) -> Any:
    """``Cp`` and ``Cfx`` (cell data) on a vehicle surface with kinematic
    ``p`` and ``wallShearStress``, relative to the free stream's 0 gauge."""
    q = 0.5 * speed**2
    out = mesh.copy()
    if "p" in out.cell_data:
        out.cell_data["Cp"] = np.asarray(out.cell_data["p"]) / q
    if "wallShearStress" in out.cell_data:
        tau = np.asarray(out.cell_data["wallShearStress"])
        # OpenFOAM's wall-shear stress is the force of the wall on the fluid: flip it.
        out.cell_data["Cfx"] = -tau[:, 0] / q
    return out


def plane_coefficients(mesh: Any, speed: float) -> Any:
    """``U/Uinf`` and ``Cp0 loss`` (point data) on a plane with ``p`` and ``U``."""
    q = 0.5 * speed**2
    out = mesh.copy()
    data = out.point_data if "U" in out.point_data else out.cell_data
    u = np.asarray(data["U"])
    mag2 = (u**2).sum(axis=1)
    data["U/Uinf"] = np.sqrt(mag2) / speed
    if "p" in data:
        data["Cp0 loss"] = 1.0 - (np.asarray(data["p"]) + 0.5 * mag2) / q
    return out


# --- drawing ---------------------------------------------------------------------------


_CANVAS: list[Any] = []


def _plotter(size: tuple[int, int] = SIZE) -> Any:
    """The process's one off-screen plotter, cleared: a new GL context costs
    more than all the pictures drawn in it."""
    import pyvista as pv

    if not _CANVAS:
        canvas = pv.Plotter(off_screen=True, window_size=list(size))
        canvas.show(auto_close=False)  # sets up the window: render() draws from now on
        _CANVAS.append(canvas)
    p = _CANVAS[0]
    p.clear()  # also takes the lights away
    p.enable_lightkit()
    p.camera.parallel_projection = False
    if tuple(p.window_size) != tuple(size):
        p.window_size = list(size)
    p.set_background("white")
    return p


def _shoot(p: Any, target: Path) -> None:
    """Render once and write the window's pixels as a PNG."""
    from PIL import Image
    from pyvista.plotting.utilities.regression import image_from_window

    from ..core.layer_io import atomic_write_bytes

    p.render()
    pixels = image_from_window(p.render_window, ignore_alpha=True)
    target.parent.mkdir(parents=True, exist_ok=True)
    png = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(pixels)).save(png, format="PNG")
    atomic_write_bytes(target, png.getvalue())  # whole or not there: a server may serve it


def close() -> None:
    while _CANVAS:
        _CANVAS.pop().close()


#: Fraction of a picture's height kept free at the bottom for the colour bar.
BAR_ROOM = 0.2


def _frame(
    p: Any,
    bounds: Any,
    view: str,
    size: tuple[int, int],
    margin: float = 1.06,
    room: float = 0.0,
    grounded: bool = False,
) -> None:
    """Point the camera at ``bounds`` from ``view``, keeping ``room`` (a
    fraction of the height) free at the bottom for the colour bar. The
    content is centred above that room, or with ``grounded`` (a plane that
    ends at the road while it continues beyond the other edges) set right on
    it, so that no empty band parts the picture from its bar."""
    direction, up = VIEWS[view]
    b = np.asarray(bounds, dtype=float).reshape(3, 2)
    centre = b.mean(axis=1)
    extent = b[:, 1] - b[:, 0]
    d = np.asarray(direction)
    u = np.asarray(up)
    right = np.cross(-d, u)
    width = float(np.abs(right) @ extent)
    height = float(np.abs(u) @ extent)
    aspect = size[0] / size[1]
    # Half the view's height: the content fits above the bar's room.
    half = margin * max(height / 2 / (1 - room), width / 2 / aspect)
    focal = centre - u * (room * half)
    if grounded:
        # The content's bottom edge on the top of the bar's room.
        focal = centre + u * (half - height / 2 - 2 * half * room)
    cam = p.camera
    cam.parallel_projection = True
    cam.focal_point = tuple(focal)
    cam.position = tuple(focal + d * (float(extent.max()) * 4 + 1))
    cam.up = tuple(u)
    cam.parallel_scale = half
    p.renderer.ResetCameraClippingRange()


def _bar(scale: Scale) -> dict[str, Any]:
    # The title goes under the bar (``_bar_title``): above it, VTK sets it
    # on the middle tick label.
    return {
        "title": "",
        "n_labels": 5,
        "fmt": "%.3g",
        "color": "black",
        "vertical": False,
        "width": 0.5,
        "height": 0.09,
        "position_x": 0.25,
        "position_y": 0.06,
        "label_font_size": 12,
    }


def _bar_title(p: Any, scale: Scale, size: tuple[int, int]) -> None:
    """The colour bar's title, centred under the bar, clear of its tick labels."""
    actor = p.add_text(
        scale.title, position=(size[0] // 2, int(size[1] * 0.012)), font_size=10, color="black"
    )
    actor.GetTextProperty().SetJustificationToCentered()


def draw(
    mesh: Any,
    scale: Scale,
    views: dict[str, Path],
    *,
    bounds: Any = None,
    backdrop: Any = None,
    label: str = "",
    size: tuple[int, int] = SIZE,
    lit: bool = True,
    grounded: bool = False,
) -> list[Path]:
    """Draw ``mesh`` coloured by ``scale`` from each view into its PNG
    (one plotter for every view); ``grounded``: see ``_frame``."""
    p = _plotter(size)
    written = []
    try:
        if backdrop is not None:
            p.add_mesh(backdrop, color="#b8b8b8", ambient=0.3, diffuse=0.7)
        p.add_mesh(
            mesh,
            scalars=scale.field,
            clim=scale.clim,
            cmap=scale.cmap,
            scalar_bar_args=_bar(scale),
            show_edges=False,
            lighting=lit,
            ambient=0.45,
            diffuse=0.6,
            specular=0.0,
        )
        _bar_title(p, scale, size)
        text = p.add_text(label, position="upper_left", font_size=10, color="black")
        for view, target in views.items():
            text.SetText(2, f"{label}, {view}" if label else view)
            framed = bounds if bounds is not None else mesh.bounds
            _frame(p, framed, view, size, room=BAR_ROOM, grounded=grounded)
            _shoot(p, target)
            written.append(target)
    finally:
        p.clear()
    return written


def silhouette(mesh: Any, view: str, target: Path, size: tuple[int, int] = SIZE) -> Path:
    """The surface in one flat colour: the tests measure its outline."""
    p = _plotter(size)
    try:
        p.add_mesh(mesh, color="black", lighting=False)
        _frame(p, mesh.bounds, view, size)
        _shoot(p, target)
    finally:
        p.clear()
    return target


def crop_bounds(body: Any, ahead: float, behind: float, above: float) -> list[float]:
    """The body's box grown by fractions of its length, for plane pictures."""
    x0, x1, y0, y1, _, z1 = body.bounds
    length = x1 - x0
    return [
        x0 - ahead * length,
        x1 + behind * length,
        y0,
        y1,
        0.0,
        z1 + above * length,
    ]


# --- the product picture ---------------------------------------------------------------


def draw_product(parts: dict[str, Any], target: Path, label: str, size: tuple[int, int]) -> Path:
    """A three-quarter view of a vehicle's surfaces: body light, wheels dark."""
    p = _plotter(size)
    try:
        colours = {"body": "#c9d3de", "wheels": "#2b2b2b"}
        for name, mesh in parts.items():
            # Outward normals whatever the source's winding: the shading needs them.
            shaded = mesh.compute_normals(auto_orient_normals=True, split_vertices=True)
            p.add_mesh(shaded, color=colours.get(name, "#9aa5b1"), smooth_shading=True)
        b = np.asarray(
            [m.bounds for m in parts.values()], dtype=float
        )  # (n, 6): xmin xmax ymin ymax zmin zmax
        lo = b[:, 0::2].min(axis=0)
        hi = b[:, 1::2].max(axis=0)
        centre = (lo + hi) / 2
        length = float((hi - lo).max())
        cam = p.camera
        cam.focal_point = tuple(centre)
        cam.position = tuple(centre + np.array([-1.15, -1.6, 0.75]) * length)
        cam.up = (0.0, 0.0, 1.0)
        p.reset_camera(bounds=(lo[0], hi[0], lo[1], hi[1], lo[2], hi[2]))
        p.camera.zoom(1.5)
        if label:
            p.add_text(label, position="lower_left", font_size=10, color="black")
        target.parent.mkdir(parents=True, exist_ok=True)
        _shoot(p, target)
    finally:
        p.clear()
    return target
