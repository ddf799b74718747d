"""How OpenFOAM is launched: the one recipe that the runner follows here
and that the generated ``Allrun`` and Slurm scripts spell in shell.

* ``WM_PROJECT_DIR`` defaults to Debian's ``/usr/share/openfoam`` (the
  binaries stop with "Could not find mandatory etc entry" without it);
* a parallel stage runs under ``mpirun -np N`` with unbound ranks that
  yield while waiting (on a machine other work shares, a rank spinning on
  a message steals the core its partner needs), plus ``--allow-run-as-root``
  for root and ``--oversubscribe`` for more ranks than cores;
* case templates live in ``<workspace>/templates/openfoam/<name>/``.
"""

from __future__ import annotations

import os

from ..core.paths import TEMPLATES_FOLDER as TEMPLATES_FOLDER
from ..core.paths import templates_dir as templates_dir

#: The OpenFOAM project directory when the environment names none (Debian's package).
DEFAULT_PROJECT_DIR = "/usr/share/openfoam"

#: mpirun's options for every parallel stage, after ``-np N``.
MPIRUN_OPTIONS = ("--bind-to", "none", "--mca", "mpi_yield_when_idle", "1")
#: Options added when a condition holds: (option, condition, the condition in sh).
MPIRUN_CONDITIONAL = (
    ("--allow-run-as-root", "root", '[ "$(id -u)" = 0 ]'),
    ("--oversubscribe", "oversubscribed", '[ "$RANKS" -gt "$(nproc)" ]'),
)


def mpirun_argv(ranks: int, *, root: bool, cores: int) -> list[str]:
    """``mpirun`` and its options for ``ranks`` ranks, run by root or not, on ``cores`` cores."""
    holds = {"root": root, "oversubscribed": ranks > cores}
    argv = ["mpirun", "-np", str(ranks), *MPIRUN_OPTIONS]
    argv += [option for option, condition, _ in MPIRUN_CONDITIONAL if holds[condition]]
    return argv


def mpirun_here(ranks: int) -> list[str]:
    """``mpirun_argv`` for this process's user and machine."""
    return mpirun_argv(ranks, root=os.geteuid() == 0, cores=os.cpu_count() or 1)


def mpirun_shell() -> list[str]:
    """Shell lines that set ``$MPIRUN`` from ``$RANKS`` by the same recipe."""
    lines = [f'MPIRUN="mpirun -np $RANKS {" ".join(MPIRUN_OPTIONS)}"']
    lines += [f'{test} && MPIRUN="$MPIRUN {option}"' for option, _, test in MPIRUN_CONDITIONAL]
    return lines


def project_dir_shell() -> list[str]:
    """Shell lines that default and export ``WM_PROJECT_DIR``."""
    return [f': "${{WM_PROJECT_DIR:={DEFAULT_PROJECT_DIR}}}"', "export WM_PROJECT_DIR"]


#: What Open MPI needs here: it refuses root without the first two (even when a
#: library starts mpiexec), and its shared-memory single copy fails in many
#: containers, where plain copies work.
OPEN_MPI_ENV = {
    "OMPI_ALLOW_RUN_AS_ROOT": "1",
    "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1",
    "OMPI_MCA_btl_vader_single_copy_mechanism": "none",
}


def open_mpi_shell() -> list[str]:
    """The shell line that exports ``OPEN_MPI_ENV``."""
    return ["export " + " ".join(f"{k}={v}" for k, v in OPEN_MPI_ENV.items())]


def openfoam_env(base: dict[str, str] | None = None) -> dict[str, str]:
    """The environment of the OpenFOAM children."""
    env = dict(os.environ if base is None else base)
    if not env.get("WM_PROJECT_DIR") and os.path.isdir(DEFAULT_PROJECT_DIR):
        env["WM_PROJECT_DIR"] = DEFAULT_PROJECT_DIR
    for key, value in OPEN_MPI_ENV.items():
        env.setdefault(key, value)
    return env
