"""A fork server of writers to be killed at random moments (fault-injection tests).

    python tests/reliability_fork_writer.py

Imports OpenUSD and the package once, then for each command line read from
stdin forks a writer, prints ``pid <pid>``, waits for it (it runs until
killed) and prints ``done <wait status>``. Commands:

``targets <usd file> <start>``
    round i (from start + 1) calls ``set_targets(cd=cd_for(i), cl=float(i))``.
``geometry <usd file> <start>``
    round i writes the layer text of the file with ``velmor-geo:///`` URIs
    and ``mass = i``, then lets the geometry rewriter resolve it.
"""

from __future__ import annotations

import os
import sys

from reliability_writer import cd_for
from velmor_platform.core import geometry_cache, layer_io
from velmor_platform.core.product_core import ProductCore

GEOMETRY_URI = "velmor-geo:///hatch/body.usda"


def uri_text(template: str, i: int) -> str:
    return template.replace("double mass = 480", f"double mass = {i}")


def run(kind: str, path: str, start: int) -> None:
    i = start
    if kind == "targets":
        product = ProductCore.load(path)
        while True:
            i += 1
            product.set_targets(cd=cd_for(i), cl=float(i))
    template = os.environ["VELMOR_URI_TEMPLATE"]
    directory = os.path.dirname(path)
    while True:
        i += 1
        with layer_io.product_lock(path):
            layer_io.atomic_write_bytes(path, uri_text(template, i).encode())
        geometry_cache.resolve_product_geometry(directory)


def main() -> int:
    warm = False
    for line in sys.stdin:
        kind, path, start = line.split()
        if not warm:  # plug-ins loaded once here, not in every writer
            ProductCore.load(path)
            warm = True
        pid = os.fork()
        if pid == 0:
            try:
                run(kind, path, int(start))
            finally:
                os._exit(1)
        print(f"pid {pid}", flush=True)
        _, status = os.waitpid(pid, 0)
        print(f"done {status}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
