"""The README's tour, run: every ``console`` block of its "A tour of
`velmor`" section is run in order, as a user would type it, on a fresh copy
of the sample workspace (the per-user one of a user ``you``), and its output
is compared with the README's. Only what must vary is normalised: the
temporary folder the home lies in, case-folder names (time and random
suffix) and timings.

A block may be preceded by ``<!-- tour-setup: COMMAND -->`` (run first,
silently: the state the text describes, such as a broken mcp.json) or
``<!-- tour-skip: REASON -->``.
"""

import contextlib
import difflib
import os
import re
import shlex
import subprocess
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"
VARYING = [
    (re.compile(r"\d{8}T\d{6}Z-(quick|standard|fine)-[0-9a-f]{4}"), r"<case>-\1"),
    (re.compile(r"\(\d+\.\d+ s\)"), "(<seconds>)"),
    # Whether this machine has Chrono: the README shows a machine without it.
    (re.compile(r"^(dynamics .*  )(no|\d+\.\d+\.\d+)$", re.M), r"\1<installed>"),
]


def tour_blocks(text):
    """``(setup, skip, [(command, expected lines)])`` of each console block of the tour."""
    section = text.split("## A tour of `velmor`", 1)[1].split("\n## ", 1)[0]
    blocks, setup, skip = [], [], None
    lines = iter(section.splitlines())
    for line in lines:
        if m := re.match(r"<!-- tour-setup: (.*) -->$", line):
            setup.append(m.group(1))
        elif m := re.match(r"<!-- tour-skip: (.*) -->$", line):
            skip = m.group(1)
        elif line == "```console":
            steps = []
            for body in lines:
                if body == "```":
                    break
                if body.startswith("$ "):
                    steps.append((body[2:], []))
                else:
                    steps[-1][1].append(body)
            blocks.append((setup, skip, steps))
            setup, skip = [], None
    return blocks


def _normalised(text, root):
    text = text.replace(str(root), "")
    for pattern, replacement in VARYING:
        text = pattern.sub(replacement, text)
    return text.rstrip("\n").splitlines()


def test_the_readme_tour_prints_what_the_readme_shows(tmp_path, monkeypatch, capsys):
    from velmor_platform.cli import main

    root = tmp_path / "t"
    home = Path(f"{root}/home/you")
    home.mkdir(parents=True)
    for name in list(os.environ):
        if name.startswith(("VELMOR_", "XDG_")) or name == "WM_PROJECT_DIR":
            monkeypatch.delenv(name)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("COLUMNS", "80")
    monkeypatch.setenv("VELMOR_MCP_TIMEOUT", "120")  # a loaded machine is slow, not wrong

    def velmor(words):
        """One command, in this process (a process each would take minutes)."""
        monkeypatch.chdir(home)
        capsys.readouterr()
        with contextlib.suppress(SystemExit):  # a usage error: its line is on stderr
            main(words)
        out = capsys.readouterr()
        return out.out + out.err

    def sh(command, given=None):
        if m := re.fullmatch(r"cd (\S+) && (velmor .*)", command):
            monkeypatch.chdir(home / m.group(1))
            words = shlex.split(m.group(2))[1:]
            capsys.readouterr()
            with contextlib.suppress(SystemExit):
                main(words)
            out = capsys.readouterr()
            return out.out + out.err
        if m := re.fullmatch(r"(velmor [^|]*?) \| (.*)", command):
            return sh(m.group(2), velmor(shlex.split(m.group(1))[1:]))
        if re.fullmatch(r"velmor( [^|&;>]*)?", command):
            return velmor(shlex.split(command)[1:])
        done = subprocess.run(
            ["bash", "-c", command], cwd=home, input=given, capture_output=True, text=True,
            timeout=60,
        )  # fmt: skip
        return done.stdout + done.stderr

    velmor(["products"])  # seeds the per-user workspace, as the first command does
    diffs = []
    for setup, skip, steps in tour_blocks(README.read_text(encoding="utf-8")):
        if skip:
            continue
        for command in setup:
            sh(command)
        for command, expected in steps:
            got = _normalised(sh(command), root)
            want = _normalised("\n".join(expected), "\0")
            if got != want:
                diff = difflib.unified_diff(want, got, "README", "velmor", lineterm="")
                diffs.append(f"$ {command}\n" + "\n".join(diff))
    assert not diffs, "the README's tour differs from the tool:\n\n" + "\n\n".join(diffs)
