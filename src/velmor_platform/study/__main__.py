"""The detached driver of a study: ``python -m velmor_platform.study run NAME --workspace DIR``.

Started by the OpenFOAM MCP server's ``start_study`` tool (and by anything
else that wants a study to run on without a terminal); it resumes the
stored study until every case has ended, one JSON line per event on stdout.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from .errors import StudyError
from .runner import run_study


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velmor_platform.study")
    parser.add_argument("command", choices=["run"])
    parser.add_argument("name")
    parser.add_argument("--workspace", required=True, type=Path)
    args = parser.parse_args(argv)

    def event(data: dict[str, object]) -> None:
        print(json.dumps(data, default=str), flush=True)

    try:
        run_study(args.workspace, name=args.name, on_event=event)
    except StudyError as exc:
        print(f"velmor study: {exc.message}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
