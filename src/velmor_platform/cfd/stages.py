"""The OpenFOAM stages of a case, in order: shared by the runner and the
case's ``Allrun`` and Slurm scripts so that both run the same commands."""

from __future__ import annotations

from typing import NamedTuple


class Stage(NamedTuple):
    name: str  # also the log file's suffix: log.<name>
    argv: tuple[str, ...]  # the OpenFOAM application and its options
    parallel: bool  # run under mpirun with -parallel when ranks > 1


#: The step between snappyHexMesh and the solver: fresh fields from 0.orig.
COPY_FIELDS = "fields"


def stages(ranks: int) -> list[Stage]:
    """The stages of a run on ``ranks`` MPI ranks.

    The mesh is built serially; with more than one rank it is then split
    with decomposePar and the flow solved in parallel.
    """
    out = [
        Stage("surfaceFeatureExtract", ("surfaceFeatureExtract",), False),
        Stage("blockMesh", ("blockMesh",), False),
        Stage("snappyHexMesh", ("snappyHexMesh", "-overwrite"), False),
        Stage(COPY_FIELDS, (), False),
    ]
    if ranks > 1:
        out.append(Stage("decomposePar", ("decomposePar", "-force"), False))
    out.append(Stage("potentialFoam", ("potentialFoam", "-writephi"), True))
    out.append(Stage("simpleFoam", ("simpleFoam",), True))
    return out
