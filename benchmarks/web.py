"""Web interface benchmark: server time of the product card and the workspace page.

Run from the repository root, with the package installed::

    python benchmarks/web.py [--products 1000] [--repeat 30]

Requests go through Starlette's test client (the whole application, in
process, without a socket), so a figure is the server's time for one page.
Each page is set against the command answer it is rendered from, timed in
the same rounds: ``velmor show --json`` for the card, ``velmor products
--json`` for the workspace page. Figures are medians and 90th percentiles
in milliseconds.
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path


def timed(func: Callable[[], object], repeat: int) -> list[float]:
    out = []
    for _ in range(repeat):
        start = time.perf_counter()
        func()
        out.append((time.perf_counter() - start) * 1000)
    return out


def summary(label: str, samples: list[float]) -> str:
    ordered = sorted(samples)
    p90 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.9))]
    median = statistics.median(samples)
    return f"{label:<46} median {median:8.2f} ms   p90 {p90:8.2f} ms   n={len(samples)}"


def many_products(root: Path, count: int) -> None:
    """``count`` copies of the sample's hatch product, as programmes p0000..."""
    template = root / "products" / "hatch"
    for i in range(count):
        name = f"p{i:04d}"
        dest = root / "products" / name
        shutil.copytree(template, dest)
        (dest / "hatch.usda").rename(dest / f"{name}.usda")


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--products", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=30)
    args = parser.parse_args()

    from starlette.testclient import TestClient

    from velmor_platform.core.workspace import seed_workspace, use_workspace
    from velmor_platform.services import products
    from velmor_platform.services.loading import Workspace
    from velmor_platform.web.app import create_app

    with tempfile.TemporaryDirectory(prefix="velmor-web-bench-") as tmp:
        sample = seed_workspace(Path(tmp) / "sample")
        client = TestClient(create_app(sample, allowed_hosts=["testserver"]))

        def card() -> None:
            assert client.get("/products/sedan:base").status_code == 200

        def show() -> None:
            with use_workspace(sample):
                products.show("sedan:base", Workspace(sample))

        card()  # first load rewrites geometry references; not what is measured
        card_ms, show_ms = [], []
        for _ in range(args.repeat):
            card_ms += timed(card, 1)
            show_ms += timed(show, 1)
        print(f"product card, sample workspace ({sys.version.split()[0]})")
        print(summary("  GET /products/sedan:base", card_ms))
        print(summary("  velmor show --json (command answer alone)", show_ms))
        print(f"  page / command: {statistics.median(card_ms) / statistics.median(show_ms):.2f}x")

        big = seed_workspace(Path(tmp) / "big")
        many_products(big, args.products)
        client = TestClient(create_app(big, allowed_hosts=["testserver"]))

        def page() -> None:
            assert client.get("/").status_code == 200

        def listing() -> None:
            with use_workspace(big):
                products.list_products(Workspace(big))

        first = timed(page, 1)
        warm = timed(page, max(5, args.repeat // 3))
        cli_ms = timed(listing, 3)
        total = args.products + 3
        print(f"\nworkspace page, {total} products")
        print(summary("  GET / first (loads every product)", first))
        print(summary("  GET / (products cached, files checked)", warm))
        print(summary("  velmor products --json (loads every product)", cli_ms))
        print(
            f"  command / cached page: {statistics.median(cli_ms) / statistics.median(warm):.1f}x"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
