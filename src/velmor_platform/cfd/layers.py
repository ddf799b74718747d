"""How well the prism layers went on, patch by patch, from snappyHexMesh's log.

After adding layers snappyHexMesh prints one row per patch: its faces, the
average number of layers it got and their overall thickness (in metres and
as a share of the thickness asked for). ``coverage`` reads the last such
table of ``log.snappyHexMesh``; ``summary`` turns it into the run record's
``layers`` line and a warning for any patch whose layers mostly collapsed,
since the wall function then sits on the coarse outer cells there.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

#: Below this share of the requested layers a patch's coverage is reported as poor.
POOR = 0.5


@dataclass(frozen=True)
class PatchLayers:
    patch: str
    faces: int
    layers: float  # average number of layers on the patch's faces
    requested: int
    thickness_m: float
    thickness_share: float  # of the thickness asked for, 0..1

    @property
    def coverage(self) -> float:
        return min(1.0, self.layers / self.requested) if self.requested else 0.0


def requested_layers(case: Path) -> dict[str, int]:
    """Each patch's requested layer count, from the case's snappyHexMeshDict
    (the wheels ask for fewer than the body); empty when it cannot be read."""
    from foamlib import FoamFile

    try:
        layers = FoamFile(case / "system" / "snappyHexMeshDict")["addLayersControls", "layers"]
        entries = layers.as_dict() if isinstance(layers, FoamFile.SubDict) else {}
    except Exception:  # noqa: BLE001 - a missing or foreign dictionary: the caller's count
        return {}
    out = {}
    for name, entry in entries.items():
        count = entry.get("nSurfaceLayers") if isinstance(entry, dict) else None
        if isinstance(count, int):
            out[str(name)] = count
    return out


def coverage(case: Path, requested: int) -> list[PatchLayers]:
    """The layer table of ``case``'s snappyHexMesh log (empty without one);
    a patch's requested count is the dictionary's, else ``requested``."""
    try:
        text = (case / "log.snappyHexMesh").read_text(errors="replace")
    except OSError:
        return []
    heads = list(re.finditer(r"^patch\s", text, re.M))
    if not heads:
        return []
    asked = requested_layers(case)
    rows = []
    for line in text[heads[-1].start() :].splitlines()[3:]:  # after the header's 3 lines
        words = line.split()
        if len(words) != 5:
            break
        try:
            faces, layers, metres, share = int(words[1]), *map(float, words[2:])
        except ValueError:
            break
        wanted = asked.get(words[0], requested)
        rows.append(PatchLayers(words[0], faces, layers, wanted, metres, share / 100))
    return rows


def summary(rows: list[PatchLayers]) -> tuple[str, list[str]]:
    """The record's ``layers`` line and a warning for each poorly covered patch."""
    line = "; ".join(
        f"{r.patch} {r.layers:.1f} of {r.requested} layers, {r.thickness_share:.0%} of "
        f"the thickness ({r.thickness_m * 1000:.1f} mm)"
        for r in rows
    )
    poor = [
        f"prism layers on {r.patch} mostly collapsed ({r.coverage:.0%} of the requested "
        "layers): its wall treatment rests on the outer cells there"
        for r in rows
        if r.coverage < POOR
    ]
    return line, poor
