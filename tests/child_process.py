"""Environment for the child interpreters the tests start, and their stopping."""

import os
import subprocess
from pathlib import Path


def child_env(workspace: Path | None = None, **extra: str) -> dict:
    """This process's environment, with the same velmor_platform importable
    first, `workspace` as the workspace, and `extra` on top."""
    import velmor_platform

    env = dict(os.environ)
    package_parent = str(Path(velmor_platform.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([package_parent, env.get("PYTHONPATH", "")]).rstrip(
        os.pathsep
    )
    if workspace is not None:
        env["VELMOR_WORKSPACE"] = str(workspace)
    if "libasan" not in env.get("LD_PRELOAD", ""):  # ASan reports crashes better itself
        env["PYTHONFAULTHANDLER"] = "1"
    env.update(extra)
    return env


def stop(proc: subprocess.Popen, timeout: float = 10) -> None:
    """End the child `proc` by its PID: SIGTERM, then SIGKILL if it lingers."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
