"""The vehicle's frame, and whether a body (and its wheels) sits in it.

The frame every product's geometry uses (``FRAME``): metres, x along the
car from the front of the body (x = 0) rearwards, y to the left, z up;
the ground is the plane z = 0 and the body is symmetric about y = 0.

``check_frame`` refuses a body that does not fit, with the transform that
would fix it (``--up``, ``--origin``); ``wheel_fit`` says how each wheel
sits against the body: ``inside`` the body's side, ``proud`` of it (by how
much) or ``intersecting`` its skin. ``transform`` applies ``--up`` and
``--origin`` to a file's triangles.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ...errors import VelmorError

Triangles = npt.NDArray[np.float64]

FRAME = (  # (the faces state it in the same words: services.variants.FRAME)
    "metres; x along the car from the front of the body (x = 0) rearwards, y to the left, "
    "z up; the ground is z = 0 and the body is symmetric about y = 0"
)
#: How far the body's front may lie from x = 0, its centre from y = 0, m.
PLACE_TOLERANCE = 0.02
#: How far a wheel's lowest point may lie from the ground, m.
GROUND_TOLERANCE = 0.02
#: The highest plausible ground clearance of the body's lowest point, m.
MAX_CLEARANCE = 0.6
#: A wheel whose outer face stands out further than this is proud, m.
PROUD_TOLERANCE = 0.005
#: Up axes a file may have, and the rotation taking each to z up.
UP = {
    "z": np.eye(3),
    "y": np.array([[1.0, 0.0, 0.0], [0.0, 0.0, -1.0], [0.0, 1.0, 0.0]]),
}


class FrameError(VelmorError, ValueError):
    """The body does not sit in the vehicle's frame; the message says how to fix it."""


def transform(
    triangles: Triangles, up: str = "z", origin: Sequence[float] = (0, 0, 0)
) -> Triangles:
    """The triangles with ``origin`` (in the file's coordinates) moved to the
    frame's origin, then turned so the file's ``up`` axis is z."""
    if up not in UP:
        raise FrameError(f"--up must be one of {', '.join(UP)}, not {up!r}")
    moved = triangles - np.asarray(origin, dtype=np.float64)
    return np.asarray(moved @ UP[up].T, dtype=np.float64)


def _origin_hint(shift: npt.NDArray[np.float64]) -> str:
    """The ``--origin`` that moves the body by ``shift``."""
    return "--origin " + ",".join(f"{-v + 0.0:.4g}" for v in shift)


def check_frame(
    name: str, triangles: Triangles, wheels: Sequence[Any], *, full_model: bool
) -> None:
    """Refuse (``FrameError``) a body, with its ``wheels``, that does not sit
    in the frame; a body that need not be symmetric when ``full_model``."""
    from .symmetry import ASYMMETRY_LIMIT, asymmetry

    flat = triangles.reshape(-1, 3)
    lo, hi = flat.min(axis=0), flat.max(axis=0)
    extent = hi - lo
    axis = int(np.argmax(extent))
    if axis != 0:
        raise FrameError(
            f"{name}: the body is longest along {'xyz'[axis]} ({extent[axis]:.3g} m), not x: "
            f"the frame is {FRAME}; turn it so its length runs along x"
        )
    shift = np.array([-lo[0], -(lo[1] + hi[1]) / 2, 0.0])
    centred = triangles + np.array([0.0, shift[1], 0.0])
    if asymmetry(centred) > ASYMMETRY_LIMIT:
        mid = (lo[2] + hi[2]) / 2
        if asymmetry(transform(centred, origin=(0.0, 0.0, mid))[:, :, [0, 2, 1]]) <= (
            ASYMMETRY_LIMIT
        ):
            raise FrameError(
                f"{name}: the body is symmetric about its mid-height, not about a vertical "
                f"plane, as a file drawn with y up is: the frame is {FRAME}; give --up y"
            )
    if not -GROUND_TOLERANCE <= lo[2] <= MAX_CLEARANCE:
        shift[2] = -lo[2]
        raise FrameError(
            f"{name}: the body's lowest point is at z = {lo[2]:.3g} m, not on or just above "
            f"the ground (z = 0 to {MAX_CLEARANCE:g} m): the frame is {FRAME}; move it by "
            f"(0, 0, {shift[2]:.4g}) m ({_origin_hint(np.array([0.0, 0.0, shift[2]]))})"
        )
    if abs(lo[0]) > PLACE_TOLERANCE:
        raise FrameError(
            f"{name}: the body's front is at x = {lo[0]:.3g} m, not x = 0: the frame is "
            f"{FRAME}; move it by ({shift[0]:.4g}, 0, 0) m "
            f"({_origin_hint(np.array([shift[0], 0.0, 0.0]))})"
        )
    if not full_model:
        if abs(shift[1]) > PLACE_TOLERANCE:
            raise FrameError(
                f"{name}: the body is centred on y = {-shift[1]:.3g} m, not y = 0: the frame "
                f"is {FRAME}; move it by (0, {shift[1]:.4g}, 0) m "
                f"({_origin_hint(np.array([0.0, shift[1], 0.0]))}), or give --full-model"
            )
        off = asymmetry(triangles)
        if off > ASYMMETRY_LIMIT:
            raise FrameError(
                f"{name}: the body is not symmetric about y = 0 ({off:.1%} of its silhouette "
                "differs from its mirror image), so a half model would misrepresent it; give "
                "--full-model to make it for full-model runs"
            )
    for wheel in wheels:
        x, y, z = wheel.centre
        bottom = z - wheel.radius
        if abs(bottom) > GROUND_TOLERANCE:
            raise FrameError(
                f"{name}: wheel {wheel.name} does not touch the ground (its lowest point is at "
                f"z = {bottom:.3g} m): wheels and body must share the frame, {FRAME}"
            )
        if not (lo[0] <= x <= hi[0] and lo[1] <= y <= hi[1]):
            raise FrameError(
                f"{name}: wheel {wheel.name} at ({x:.3g}, {y:.3g}) m stands outside the body's "
                f"track and length (x {lo[0]:.3g} to {hi[0]:.3g}, y {lo[1]:.3g} to "
                f"{hi[1]:.3g} m): are body and wheels in one frame? The frame is {FRAME}"
            )


def wheel_fit(triangles: Triangles, wheels: Sequence[Any]) -> list[dict[str, Any]]:
    """How each wheel sits against the body: ``inside``, ``proud`` (``by_m``
    beyond the body's side at the wheel) or ``intersecting`` its skin."""
    from .solid import weld

    out = []
    points, faces = weld(triangles)
    for wheel in wheels:
        x, y, _ = wheel.centre
        outer = abs(y) + wheel.width / 2
        near = points[np.abs(points[:, 0] - x) <= wheel.radius]
        side = float(np.abs(near[:, 1]).max()) if len(near) else float(np.abs(points[:, 1]).max())
        proud = outer - side
        if proud > PROUD_TOLERANCE:
            fit = {"wheel": wheel.name, "fit": "proud", "by_m": round(proud, 4)}
        elif _crosses(points, faces, wheel.triangles):
            fit = {"wheel": wheel.name, "fit": "intersecting", "by_m": None}
        else:
            fit = {"wheel": wheel.name, "fit": "inside", "by_m": round(max(proud, 0.0), 4)}
        out.append(fit)
    return out


def _crosses(points: npt.NDArray[np.float64], faces: Any, other: Triangles) -> bool:
    from .solid import collisions, polydata, weld

    collide = collisions(polydata(points, faces), polydata(*weld(other)), all_contacts=False)
    return int(collide.GetNumberOfContacts()) > 0


def describe_fit(fits: Sequence[dict[str, Any]]) -> str:
    """The wheels' fit in a few words: "all inside", or each that is not."""
    if not fits:
        return "no wheels"
    odd = [f for f in fits if f["fit"] != "inside"]
    if not odd:
        return "all inside the body"
    return ", ".join(
        f"{f['wheel']} {f['fit']}" + (f" by {f['by_m'] * 1000:.0f} mm" if f["by_m"] else "")
        for f in odd
    )
