"""Generate the sample workspace's body geometry: smooth, closed, car-like shells.

Each body is a loft of rounded cross-sections (superellipses that narrow
towards the roof) along the car's length, following a side profile (bonnet,
windscreen, roof, rear window or hatch, boot), with rounded nose and tail
closed by a single vertex each. Width and height are scaled together until
the frontal (y-z projected) area is within 0.5 % of the product's
``frontalArea``. The vehicle points along -x: its nose is at x = 0, the
ground is z = 0 and y = 0 is its centre line. Run from the repository root::

    python tools/make_sample_bodies.py

It rewrites ``geometry/hatch/body.usda`` and ``geometry/sedan/body_{base,sport}.usda``
of the sample workspace, keeping their prim structure (``/Body/Shell``), and
``geometry/hatch/wheels.usda``: the hatch's wheel set, four cylinders like the
sedans' (each touching the road, under the body's wheel stations).
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np

SAMPLE = Path(__file__).resolve().parent.parent / "src" / "velmor_platform" / "sample_workspace"
STATIONS = 64  # cross-sections along the length, nose and tail apex included
AROUND = 48  # points around each cross-section
EXPONENT = 4.0  # superellipse exponent of the cross-sections (2 = ellipse)


@dataclass(frozen=True)
class Body:
    path: str
    doc: str
    length: float
    width: float
    top: float  # roof height above the ground, m
    clearance: float  # underbody height, m
    frontal_area: float  # the product's frontalArea, m^2
    profile: tuple[tuple[float, float], ...]  # (x / length, height fraction of the roof)
    nose: float = 0.08  # rounding length of the nose, fraction of the length
    tail: float = 0.05


HATCH = Body(
    "hatch/body.usda", "Hatch prototype body shell: smooth closed loft, generated.",
    3.42, 1.66, 1.62, 0.14, 1.92,
    ((0.0, 0.30), (0.08, 0.44), (0.22, 0.50), (0.30, 0.56), (0.48, 0.97), (0.58, 1.0),
     (0.86, 0.97), (0.95, 0.82), (1.0, 0.62)),
)  # fmt: skip
SEDAN_BASE = Body(
    "sedan/body_base.usda", "Sedan base body shell: smooth closed loft, generated.",
    4.86, 1.89, 1.45, 0.15, 2.28,
    ((0.0, 0.30), (0.07, 0.47), (0.25, 0.55), (0.32, 0.60), (0.46, 0.98), (0.55, 1.0),
     (0.66, 0.97), (0.80, 0.70), (0.86, 0.66), (0.97, 0.64), (1.0, 0.52)),
)  # fmt: skip
SEDAN_SPORT = Body(
    "sedan/body_sport.usda", "Sedan sport body shell: smooth closed loft, generated.",
    4.91, 1.92, 1.38, 0.12, 2.25,
    ((0.0, 0.28), (0.07, 0.45), (0.26, 0.54), (0.33, 0.60), (0.49, 0.98), (0.56, 1.0),
     (0.66, 0.96), (0.82, 0.70), (0.88, 0.66), (0.98, 0.66), (1.0, 0.55)),
)  # fmt: skip


def _smooth_profile(body: Body, s: np.ndarray) -> np.ndarray:
    """The roof-line height fraction at stations ``s``: the control polygon
    smoothed by a moving average, so the surface has no creases."""
    fine = np.linspace(0.0, 1.0, 2001)
    xs, ys = zip(*body.profile, strict=True)
    line = np.interp(fine, xs, ys)
    kernel = np.hanning(161)
    kernel /= kernel.sum()
    padded = np.pad(line, 80, mode="edge")
    for _ in range(2):
        padded = np.convolve(padded, kernel, mode="same")
        padded[:80], padded[-80:] = padded[80], padded[-81]
    return np.asarray(np.interp(s, fine, padded[80:-80]))


def _end_factor(body: Body, s: np.ndarray) -> np.ndarray:
    """1 along the body, falling to 0 at the nose and tail like a quarter ellipse."""
    nose = np.sqrt(np.clip(1 - np.clip(1 - s / body.nose, 0, 1) ** 2, 0, 1))
    tail = np.sqrt(np.clip(1 - np.clip(1 - (1 - s) / body.tail, 0, 1) ** 2, 0, 1))
    return np.asarray(nose * tail)


def _sections(body: Body, scale: float) -> tuple[np.ndarray, ...]:
    """Per station: x, centre height, half height, half width."""
    t = np.linspace(0.0, 1.0, STATIONS)
    s = (1 - np.cos(np.pi * t)) / 2  # stations crowd at the rounded ends
    height = (body.top - body.clearance) * scale
    roof = body.clearance + height * _smooth_profile(body, s)
    bottom = np.full_like(s, body.clearance)
    centre = (roof + bottom) / 2
    factor = _end_factor(body, s)
    half_h = (roof - bottom) / 2 * factor
    half_w = body.width / 2 * scale * factor * (0.93 + 0.07 * np.sin(np.pi * s))
    return s * body.length, centre, half_h, half_w


def _taper(v: np.ndarray) -> np.ndarray:
    """Narrowing of a cross-section towards its top (the glasshouse)."""
    return np.asarray(1 - 0.22 * np.clip(v, 0, 1) ** 3)


def _ring(centre: float, half_h: float, half_w: float) -> np.ndarray:
    theta = np.linspace(0, 2 * np.pi, AROUND, endpoint=False)
    c, s = np.cos(theta), np.sin(theta)
    u = np.sign(c) * np.abs(c) ** (2 / EXPONENT)
    v = np.sign(s) * np.abs(s) ** (2 / EXPONENT)
    return np.stack([half_w * _taper(v) * u, centre + half_h * v], axis=1)


def frontal_area(body: Body, scale: float, grid: int = 500) -> float:
    """Area of the body's projection on the y-z plane (union of the sections)."""
    _, centre, half_h, half_w = _sections(body, scale)
    z = np.linspace(0, body.top * 1.05, grid)
    dz = z[1] - z[0]
    widest = np.zeros_like(z)
    for zc, hh, hw in zip(centre, half_h, half_w, strict=True):
        if hh <= 0 or hw <= 0:
            continue
        v = (z - zc) / hh
        inside = np.abs(v) < 1
        w = np.zeros_like(z)
        w[inside] = hw * _taper(v[inside]) * (1 - np.abs(v[inside]) ** EXPONENT) ** (1 / EXPONENT)
        widest = np.maximum(widest, w)
    return float(2 * widest.sum() * dz)


def mesh(body: Body, scale: float) -> tuple[np.ndarray, list[int], list[int]]:
    """Points, face vertex counts and indices of the closed, outward-facing shell."""
    x, centre, half_h, half_w = _sections(body, scale)
    points = [np.array([x[0], 0.0, centre[0]])]
    for i in range(1, STATIONS - 1):
        ring = _ring(centre[i], half_h[i], half_w[i])
        points.extend(np.array([x[i], y, z]) for y, z in ring)
    points.append(np.array([x[-1], 0.0, centre[-1]]))
    pts = np.array(points)
    rings = STATIONS - 2
    tail = len(pts) - 1

    def at(r: int, k: int) -> int:
        return 1 + r * AROUND + k % AROUND

    tris: list[tuple[int, int, int]] = []
    for k in range(AROUND):
        tris.append((0, at(0, k + 1), at(0, k)))
        tris.append((tail, at(rings - 1, k), at(rings - 1, k + 1)))
    for r in range(rings - 1):
        for k in range(AROUND):
            a, b, c, d = at(r, k), at(r, k + 1), at(r + 1, k + 1), at(r + 1, k)
            tris.append((a, b, c))
            tris.append((a, c, d))
    tri = np.array(tris)
    # Outward normals: the signed volume must be positive.
    p0, p1, p2 = pts[tri[:, 0]], pts[tri[:, 1]], pts[tri[:, 2]]
    if np.einsum("ij,ij->i", p0, np.cross(p1, p2)).sum() < 0:
        tri = tri[:, [0, 2, 1]]
    return pts, [3] * len(tri), tri.ravel().tolist()


def fit_scale(body: Body) -> float:
    scale = 1.0
    for _ in range(6):
        scale *= np.sqrt(body.frontal_area / frontal_area(body, scale))
    return float(scale)


def _fmt(v: float) -> str:
    return f"{v:.5g}"


def write(body: Body) -> tuple[float, int]:
    scale = fit_scale(body)
    pts, counts, indices = mesh(body, scale)
    lo, hi = pts.min(axis=0), pts.max(axis=0)
    text = "\n".join(
        [
            "#usda 1.0",
            "(",
            '    defaultPrim = "Body"',
            f'    doc = "{body.doc} Made by tools/make_sample_bodies.py."',
            "    metersPerUnit = 1",
            '    upAxis = "Z"',
            ")",
            "",
            'def Xform "Body"',
            "{",
            '    def Mesh "Shell"',
            "    {",
            f"        int[] faceVertexCounts = [{', '.join(map(str, counts))}]",
            f"        int[] faceVertexIndices = [{', '.join(map(str, indices))}]",
            "        point3f[] points = ["
            + ", ".join(f"({_fmt(p[0])}, {_fmt(p[1])}, {_fmt(p[2])})" for p in pts)
            + "]",
            f"        float3[] extent = [({', '.join(map(_fmt, lo))}),"
            f" ({', '.join(map(_fmt, hi))})]",
            '        uniform token subdivisionScheme = "none"',
            "    }",
            "}",
            "",
        ]
    )
    (SAMPLE / "geometry" / body.path).write_text(text)
    return frontal_area(body, scale), len(counts)


@dataclass(frozen=True)
class WheelSet:
    path: str
    doc: str
    radius: float
    width: float
    track: float  # distance between the wheel centres across the car, m
    front: float  # front axle from the nose, m
    wheelbase: float


HATCH_WHEELS = WheelSet(
    "hatch/wheels.usda", "Hatch wheel set, 155/65 R14.", 0.279, 0.155, 1.42, 0.62, 2.05
)


def write_wheels(wheels: WheelSet) -> None:
    lines = [
        "#usda 1.0",
        "(",
        '    defaultPrim = "Wheels"',
        f'    doc = "{wheels.doc} Made by tools/make_sample_bodies.py."',
        "    metersPerUnit = 1",
        '    upAxis = "Z"',
        ")",
        "",
        'def Xform "Wheels"',
        "{",
    ]
    for name, x, y in (
        ("FrontLeft", wheels.front, wheels.track / 2),
        ("FrontRight", wheels.front, -wheels.track / 2),
        ("RearLeft", wheels.front + wheels.wheelbase, wheels.track / 2),
        ("RearRight", wheels.front + wheels.wheelbase, -wheels.track / 2),
    ):
        lines += [
            f'    def Cylinder "{name}"',
            "    {",
            '        uniform token axis = "Y"',
            f"        double height = {_fmt(wheels.width)}",
            f"        double radius = {_fmt(wheels.radius)}",
            f"        double3 xformOp:translate = ({_fmt(x)}, {_fmt(y)}, {_fmt(wheels.radius)})",
            '        uniform token[] xformOpOrder = ["xformOp:translate"]',
            "    }",
        ]
    lines += ["}", ""]
    (SAMPLE / "geometry" / wheels.path).write_text("\n".join(lines))


def main() -> None:
    write_wheels(HATCH_WHEELS)
    for body in (HATCH, SEDAN_BASE, SEDAN_SPORT):
        area, n = write(body)
        print(
            f"{body.path}: {n} triangles, frontal area {area:.3f} m^2 (product {body.frontal_area})"
        )


if __name__ == "__main__":
    main()
