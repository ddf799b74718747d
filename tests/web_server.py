"""``velmor serve`` started as a child process on a free loopback port."""

import contextlib
import re
import subprocess
import sys

from child_process import child_env, stop


@contextlib.contextmanager
def serving(workspace, *options):
    """Yield the URL that ``velmor serve`` prints once it listens; stop it after."""
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "velmor_platform",
            "serve",
            "--workspace",
            str(workspace),
            "--port",
            "0",
            *options,
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=child_env(),
    )
    try:
        line = proc.stdout.readline()
        match = re.search(r" at (http://127\.0\.0\.1:\d+/)", line)
        assert match, f"velmor serve printed {line!r}"
        yield match.group(1)
    finally:
        stop(proc)
