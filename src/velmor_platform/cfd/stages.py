"""The OpenFOAM stages of a case, in order: shared by the runner and the
case's ``Allrun`` and Slurm scripts so that both run the same commands."""

from __future__ import annotations

from typing import NamedTuple


class Stage(NamedTuple):
    name: str  # also the log file's suffix: log.<name>
    argv: tuple[str, ...]  # the OpenFOAM application and its options
    parallel: bool  # run under mpirun with -parallel when ranks > 1
    optional: bool = False  # post-processing: its failure does not fail the run


#: The step between snappyHexMesh and the solver: fresh fields from 0.orig.
COPY_FIELDS = "fields"
#: The iteration at which the convergence verdict stopped the solver (written
#: by the runner, cleared with the fields): the run is judged up to it.
STOPPED_AT = "velmor-stopped-at"


def stages(ranks: int) -> list[Stage]:
    """The stages of a run on ``ranks`` MPI ranks.

    With more than one rank the background mesh is split with decomposePar
    and snappyHexMesh and simpleFoam run in parallel; the fields are then
    copied into every processor folder.

    The solver starts from the uniform free stream of ``0.orig``. A
    potential-flow start (potentialFoam, with or without ``-writep``) puts
    velocities of 10^6 m/s into the small cells where a tyre meets the road,
    and the first iterations then nearly diverge; from the free stream the
    drag coefficient falls smoothly from the first iteration.
    """
    out = [
        Stage("surfaceFeatureExtract", ("surfaceFeatureExtract",), False),
        Stage("blockMesh", ("blockMesh",), False),
    ]
    if ranks > 1:
        out.append(Stage("decomposePar", ("decomposePar", "-force"), False))
    out.append(Stage("snappyHexMesh", ("snappyHexMesh", "-overwrite"), True))
    out.append(Stage(COPY_FIELDS, (), False))
    out.append(Stage("simpleFoam", ("simpleFoam",), True))
    # Mesh quality for the run's report (a second or so).
    out.append(Stage("checkMesh", ("checkMesh", "-latestTime"), True, optional=True))
    return out
