"""Drawing in a child process (``python -m velmor_platform.post.child JOB``).

VTK draws through the machine's OpenGL stack, which can abort the process
that tries when it is broken. So pictures are drawn in a child: a failure
costs the pictures, never the caller (a web server, a CLI that still
writes every plot and table). The child also draws while its parent makes
the plots, on the other core.

``JOB`` is JSON: ``{"kind": "report", "case": ..., "run": ..., ["other": ...,
"other_run": ...]}`` (a whole report, itself drawing in a child),
``{"kind": "run", "case": ..., "folder": ...}``,
``{"kind": "delta", "case": ..., "other": ..., "folder": ..., "labels": [...]}``
or ``{"kind": "product", "usd": ..., "target": ..., "name": ..., "wheelbase": ...}``.
The child (``post.child``) prints its answer as JSON on its last line of
output.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from typing import Any

#: The exit status of a child that failed on its input (``child.INPUT_ERROR``).
INPUT_ERROR = 3
#: A child still drawing after this long is stopped, seconds.
TIMEOUT = 300.0
#: The one line a report gives when the pictures cannot be drawn here.
NEEDS = (
    "the pictures need pyvista and vtk with an off-screen OpenGL renderer: Mesa's EGL "
    "(Debian packages libegl1 libegl-mesa0 libgbm1 libgl1-mesa-dri)"
)


class DrawError(Exception):
    """The pictures could not be drawn; the message is one line for the user."""


def start(job: dict[str, Any]) -> subprocess.Popen[bytes]:
    env = {**os.environ, "VTK_DEFAULT_OPENGL_WINDOW": "vtkEGLRenderWindow"}
    return subprocess.Popen(
        [sys.executable, "-m", "velmor_platform.post.child", json.dumps(job, default=str)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    )


def finish(proc: subprocess.Popen[bytes], timeout: float = TIMEOUT) -> Any:
    """The child's answer; ``DrawError`` when it failed."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise DrawError(f"drawing took longer than {timeout:.0f} s and was stopped") from None
    lines = out.decode(errors="replace").strip().splitlines()
    if proc.returncode == INPUT_ERROR and lines:
        try:
            raise DrawError(str(json.loads(lines[-1])["error"]))
        except (ValueError, KeyError, TypeError):
            pass
    if proc.returncode != 0 or not lines:
        tail = err.decode(errors="replace").strip().splitlines()
        if any("No module named" in line for line in tail):
            raise DrawError(NEEDS)
        raise DrawError(NEEDS + (f" ({tail[-1][:200]})" if tail else ""))
    try:
        return json.loads(lines[-1])
    except ValueError:
        raise DrawError(NEEDS) from None


def draw(job: dict[str, Any], timeout: float = TIMEOUT) -> Any:
    return finish(start(job), timeout)
