"""Holding back Ctrl-C (and other stopping signals) while a block runs."""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager


@contextmanager
def signals_deferred(*numbers: int) -> Iterator[None]:
    """Hold back the signals ``numbers`` while the block runs; any that came
    is raised right after it as ``KeyboardInterrupt``.

    Only the main thread can set handlers, so elsewhere the block just runs.
    A signal the process ignores (SIGINT in a shell's background job) stays
    ignored rather than being turned on for the block.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    held = [n for n in numbers if signal.getsignal(n) is not signal.SIG_IGN]
    previous = {n: signal.signal(n, lambda signum, frame: caught.append(signum)) for n in held}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    if caught:
        raise KeyboardInterrupt
