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


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    answer = _run(json.loads(args[0]))
    sys.stdout.write(json.dumps(answer) + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
