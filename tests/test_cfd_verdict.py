"""One verdict on a finished case, whichever path records it: ``simulate``,
the MCP server's ``simulate`` tool, ``record-cfd`` and a study's recorder
read the same real solver logs (``data/case_logs``) and record the same
status. The OpenFOAM binaries are stand-ins that replay a log."""

import os
import shutil
from pathlib import Path

import anyio
import pytest

from velmor_platform.cfd import api
from velmor_platform.core.product_core import ProductCore
from velmor_platform.study.executors import JobState
from velmor_platform.study.recording import record_case_outcome

DATA = Path(__file__).resolve().parent / "data"
STAGES = ("surfaceFeatureExtract", "blockMesh", "snappyHexMesh", "checkMesh")

# log, how simpleFoam ends (shell), the exit status a job script keeps, the status
CASES = [
    ("completed", "exit 0", 0, "completed"),
    ("floating_point", "kill -FPE $$", 136, "diverged"),
    ("nan", "exit 1", 1, "diverged"),
    ("cut_off", "kill -KILL $$", 137, "failed"),
    ("empty", "exit 1", 1, "failed"),
]


@pytest.fixture
def replaying(tmp_path, monkeypatch):
    """Make the stand-in simpleFoam replay a log, copy the sample case's
    coefficients and end as told."""
    bin_dir = tmp_path / "bin"
    (bin_dir / "project" / "etc").mkdir(parents=True)
    (bin_dir / "project" / "etc" / "controlDict").write_text("")
    for name in STAGES:
        (bin_dir / name).write_text("#!/bin/sh\nexit 0\n")
        (bin_dir / name).chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("WM_PROJECT_DIR", str(bin_dir / "project"))

    def replay(log: str, ending: str) -> None:
        solver = bin_dir / "simpleFoam"
        solver.write_text(
            f"#!/bin/sh\ncat '{DATA / 'case_logs' / log}.log'\n"
            f"cp -r '{DATA / 'cfd_case' / 'postProcessing'}' .\n{ending}\n"
        )
        solver.chmod(0o755)

    return replay


def _ran_by_hand(tmp_path: Path, log: str) -> Path:
    case = tmp_path / f"case-{len(list(tmp_path.glob('case-*')))}"
    shutil.copytree(DATA / "cfd_case", case)
    shutil.copyfile(DATA / "case_logs" / f"{log}.log", case / "log.simpleFoam")
    return case


def _through_mcp(workspace: Path) -> dict:
    from mcp import Client

    from velmor_platform.mcp.openfoam_server import build_server

    async def call() -> dict:
        async with Client(build_server(workspace)) as client:
            result = await client.call_tool("simulate", {"product": "hatch"})
            return dict(result.structured_content)

    return anyio.run(call)


@pytest.mark.parametrize("log, ending, job_exit, status", CASES)
def test_every_path_gives_a_case_the_same_verdict(
    workspace, tmp_path, replaying, log, ending, job_exit, status
):
    replaying(log, ending)
    product = ProductCore.load("hatch")
    job = JobState("done" if job_exit == 0 else "failed", job_exit)
    runs = {
        "simulate": api.simulate(product, workspace=workspace),
        "mcp": _through_mcp(workspace),
        "record-cfd": api.record_case(product, _ran_by_hand(tmp_path, log)),
        "study": record_case_outcome(workspace, _ran_by_hand(tmp_path, log), job, study="t"),
    }
    assert {path: run["status"] for path, run in runs.items()} == dict.fromkeys(runs, status)
    assert all(("cd" in run) == (status == "completed") for run in runs.values())
    history = ProductCore.load("hatch").history()[-4:]
    assert [r["status"] for r in history] == [status] * 4


@pytest.mark.parametrize(
    "meshed, named",
    [("Finished meshing with 102 illegal faces (concave, zero area or negative", True),
     ("Finished meshing without any errors", False)],
)  # fmt: skip
def test_a_solver_that_fails_on_a_broken_mesh_names_the_mesh(tmp_path, meshed, named):
    from velmor_platform.cfd.verdict import judge

    shutil.copyfile(DATA / "case_logs" / "floating_point.log", tmp_path / "log.simpleFoam")
    (tmp_path / "log.snappyHexMesh").write_text(f"Layer mesh : cells:817457\n{meshed}\n")
    result = judge(tmp_path, exit_code=136, stage="simpleFoam")
    assert result.status == "diverged"
    assert ("snappyHexMesh left 102 illegal faces" in result.message) is named


def test_a_run_the_verdict_stopped_is_judged_on_the_iterations_it_saw(workspace, tmp_path):
    from velmor_platform.cfd.stages import STOPPED_AT

    case = _ran_by_hand(tmp_path, "completed")
    whole = api.record_case(ProductCore.load("hatch"), case)
    (case / STOPPED_AT).write_text("200\n")
    stopped = api.record_case(ProductCore.load("hatch"), case)
    assert whole["iterations"] > 200 and stopped["iterations"] == 200
