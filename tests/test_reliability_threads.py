"""Concurrency: threads sharing and not sharing products, calling every
in-memory member for a few seconds with the interpreter switching threads
every microsecond (tests/reliability_threads.py, in a child process).

VELMOR_SOAK=1 runs for 30 s instead of 4 s.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SECONDS = float(
    os.environ.get("VELMOR_THREAD_SECONDS", "30" if os.environ.get("VELMOR_SOAK") == "1" else "4")
)


@pytest.mark.parametrize("threads", [2, 8])
def test_threads_calling_members_get_correct_results_and_no_crash(workspace, threads):
    import velmor_platform

    env = dict(os.environ, VELMOR_WORKSPACE=str(workspace))
    package_parent = str(Path(velmor_platform.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([package_parent, env.get("PYTHONPATH", "")]).rstrip(
        os.pathsep
    )
    proc = subprocess.run(
        [
            sys.executable,
            str(HERE / "reliability_threads.py"),
            "--workspace",
            str(workspace),
            "--seconds",
            str(SECONDS),
            "--threads",
            str(threads),
        ],
        env=env,
        cwd=workspace,
        capture_output=True,
        text=True,
        timeout=SECONDS + 120,
    )
    assert proc.returncode >= 0, f"killed by signal {-proc.returncode}\n{proc.stderr[-6000:]}"
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    print(
        f"{threads} threads, {SECONDS} s: {report['calls']} calls, "
        f"{report['record_swaps']} record swaps"
    )
    assert not report["problems"], "\n".join(report["problems"][:10])
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert report["calls"] > 1000 and report["record_swaps"] > 100
    assert report["by_kind"].get("_list_openfoam_templates", 0) > 0
