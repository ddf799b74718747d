"""Run page benchmark: one run page and its pictures, as a browser asks for them.

Run from the repository root, with the package installed::

    python benchmarks/run_page.py [--pictures 12] [--repeat 10]

A recorded run of the sample sedan (the case folder is the tests' post-processing
case, under the workspace's ``cases/``) has its report made once; then each round
asks for the run page and ``--pictures`` pictures of it (the report's images in
turn) through Starlette's test client, in process. Printed: the products loaded
and the run histories read per round (counted where the use cases call the
product core) and the round's server time, median and 90th percentile in ms.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CASE = ROOT / "tests" / "data" / "post_case"


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--pictures", type=int, default=12)
    parser.add_argument("--repeat", type=int, default=10)
    args = parser.parse_args()

    from starlette.testclient import TestClient

    from velmor_platform.cfd import record
    from velmor_platform.core import usd_product
    from velmor_platform.core.workspace import seed_workspace, use_workspace
    from velmor_platform.services import loading, reports
    from velmor_platform.web.app import create_app

    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp) / "workspace"
        seed_workspace(root)
        os.environ["VELMOR_WORKSPACE"] = str(root)
        case = root / "cases" / "sedan" / "bench"
        shutil.copytree(CASE, case)
        with use_workspace(root):
            usd = loading.core().load("sedan:base").usd_path
            fields = {"domain": "aerodynamics", "solver": "openfoam", "status": "completed"}
            fields |= {"cd": 0.176, "cl": -0.04, "case_dir": str(case), "mesh_cells": 38776}
            run = record.append_run(Path(usd), fields, product_id="sedan:base")["run_id"]
            made = reports.make(reports.find(run, loading.Workspace(root)))
        images = [i["file"] for i in made.images] or ["none.png"]

        counts = {"loads": 0, "histories": 0}
        load, history = loading.load, usd_product.load_product_history

        def counted_load(*a, **k):  # type: ignore[no-untyped-def]
            counts["loads"] += 1
            return load(*a, **k)

        def counted_history(*a, **k):  # type: ignore[no-untyped-def]
            counts["histories"] += 1
            return history(*a, **k)

        for module in (
            loading,
            *(
                m
                for m in sys.modules.values()
                if m
                and getattr(m, "load", None) is load
                and m.__name__.startswith("velmor_platform.services")
            ),
        ):
            module.load = counted_load  # type: ignore[attr-defined]
        usd_product.load_product_history = counted_history  # type: ignore[assignment]

        client = TestClient(create_app(root, allowed_hosts=["testserver"]))
        page = f"/products/sedan:base/runs/{run}"
        assert client.get(page).status_code == 200  # warm: imports, first reads
        times, per_round = [], {}
        for _ in range(args.repeat):
            counts.update(loads=0, histories=0)
            start = time.perf_counter()
            assert client.get(page).status_code == 200
            for n in range(args.pictures):
                answer = client.get(f"{page}/pictures/{images[n % len(images)]}")
                assert answer.status_code == 200, answer.text
            times.append((time.perf_counter() - start) * 1000)
            per_round = dict(counts)
    ordered = sorted(times)
    p90 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.9))]
    print(
        f"run page + {args.pictures} pictures ({len(images)} images): "
        f"{per_round['loads']} product loads, {per_round['histories']} history reads, "
        f"median {statistics.median(times):.1f} ms, p90 {p90:.1f} ms, n={len(times)}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
