"""Writes design-intent targets in a loop until killed (fault-injection tests).

    python tests/reliability_writer.py USD_FILE START

Each round i (counting up from START + 1) calls
``set_targets(cd=cd_for(i), cl=float(i))``, so a reader can tell from the
pair which round a file comes from and whether its two values belong
together.  The line "ready" is printed once the product is loaded.
"""

from __future__ import annotations

import sys


def cd_for(i: int) -> float:
    return 0.2 + (i % 997) * 1e-4


def main() -> int:
    from velmor_platform.core.product_core import ProductCore

    product = ProductCore.load(sys.argv[1])
    i = int(sys.argv[2])
    print("ready", flush=True)
    while True:
        i += 1
        product.set_targets(cd=cd_for(i), cl=float(i))


if __name__ == "__main__":
    sys.exit(main())
