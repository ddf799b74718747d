"""The drawing child: ``python -m velmor_platform.post.child JOB`` (see ``worker``)."""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any


def _run(job: dict[str, Any]) -> Any:
    from . import pictures, product, report

    kind = job["kind"]
    if kind == "report":
        case, run = Path(job["case"]), job.get("run")
        if job.get("other"):
            report.comparison(case, run, Path(job["other"]), job.get("other_run"))
        else:
            report.run_report(case, run)
        return {"made": str(report.post_dir(case))}
    if kind == "run":
        return pictures.picture_set(Path(job["case"]), Path(job["folder"]))
    if kind == "delta":
        a, b = job["labels"]
        return pictures.delta_set(Path(job["case"]), Path(job["other"]), Path(job["folder"]), a, b)
    if kind == "product":
        dims = product.picture(
            job["usd"],
            Path(job["target"]),
            name=job.get("name", ""),
            wheelbase=job.get("wheelbase"),
        )
        return {"length": dims.length, "width": dims.width, "height": dims.height}
    raise ValueError(f"unknown drawing job {kind!r}")


#: The exit status of a child that could not draw for a reason of the input
#: (a product whose geometry cannot be read, a case without its files): its
#: last line is ``{"error": "..."}``, which is the user's line, not the renderer's.
INPUT_ERROR = 3


def main(argv: list[str] | None = None) -> int:
    from ..cfd.errors import CfdError

    args = sys.argv[1:] if argv is None else argv
    try:
        answer = _run(json.loads(args[0]))
    except (CfdError, OSError, ValueError) as exc:
        sys.stdout.write(json.dumps({"error": " ".join(str(exc).split())[:300]}) + "\n")
        return INPUT_ERROR
    sys.stdout.write(json.dumps(answer) + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
