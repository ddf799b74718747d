"""Whether a steady RANS force history has converged, and how well its mean is known.

The iterations of a steady solver are not samples of a stationary signal
at first: the start-up transient is dropped, and what follows may still
drift, oscillate slowly or wander. ``verdict`` judges the drag coefficient
over the last two windows of the history:

* the window is at least ``MIN_WINDOW`` iterations, and at least twice the
  dominant period of the signal when a clear one shows in its spectrum;
  the period is sought only once the start-up has settled (the truncation
  point of the marginal standard error rule, MSER-5, White 1997), and only
  a peak with two or more cycles in view counts, so a slow decay is not
  taken for a slow oscillation whose period grows with the run;
* the means of the last two windows must agree within ``TOLERANCE``
  (a slow oscillation or a wander shows here);
* the drift over the last window (a straight-line fit's change across it)
  must stay below ``TOLERANCE``, and so must the drift over everything since
  the start-up settled when that is longer than the two windows (a creep
  too slow to show in one window shows there);
* twice the standard error of the mean, by batch means (``BATCHES``
  contiguous batches, so correlated iterations are not counted as
  independent), must stay below ``TOLERANCE``. When Cd oscillates and the
  window holds at least ``MIN_BATCHES`` cycles, each batch holds whole
  cycles: a batch of half a cycle would count the oscillation itself as
  uncertainty of the mean.

Each is relative to the window's mean. The same statistics (mean and
two standard errors over the same window) are given for every coefficient
asked for, so lift and front and rear lift carry their own iterative band.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

#: Relative tolerance of each of the three tests.
TOLERANCE = 0.005
#: Smallest window averaged, iterations.
MIN_WINDOW = 200
#: Iterations of start-up transient never averaged.
DISCARD = 150
#: Batches of the batch-means standard error.
BATCHES = 8
#: Fewest batches when they must hold whole cycles of an oscillation.
MIN_BATCHES = 4
#: A spectral peak this many times the mean power of the other frequencies is a period.
PEAK_FACTOR = 12.0
#: Batch size of the start-up truncation rule (MSER-5).
MSER_BATCH = 5


@dataclass(frozen=True)
class Stat:
    """Mean and iterative half band (two standard errors) of one coefficient."""

    mean: float
    two_se: float

    def as_dict(self) -> dict[str, float]:
        return {"mean": self.mean, "two_se": self.two_se}


@dataclass(frozen=True)
class Verdict:
    converged: bool
    window: int  # iterations in the averaging window
    span: tuple[int, int]  # first and last iteration averaged
    period: float | None  # dominant period of Cd in iterations, when one shows
    shift: float  # relative difference of the last two windows' means
    drift: float  # relative change of the straight-line fit across the window
    rel_two_se: float  # 2 SE of the Cd mean, relative to it
    stats: dict[str, Stat] = field(default_factory=dict)
    reasons: tuple[str, ...] = ()

    @property
    def message(self) -> str:
        lo, hi = self.span
        if self.converged:
            return (
                f"converged over iterations {lo}-{hi}: windows agree within {self.shift:.2%}, "
                f"drift {self.drift:.2%}, 2SE {self.rel_two_se:.2%} (each < {TOLERANCE:.1%})"
            )
        return "not converged: " + "; ".join(self.reasons)


def dominant_period(signal: npt.NDArray[np.float64]) -> float | None:
    """The period (in samples) of the strongest clear spectral peak of
    ``signal`` after removing its straight-line trend; None without one."""
    n = len(signal)
    if n < 16:
        return None
    t = np.arange(n, dtype=np.float64)
    slope, intercept = np.polyfit(t, signal, 1)
    rest = signal - (slope * t + intercept)
    power = np.abs(np.fft.rfft(rest * np.hanning(n))) ** 2
    power = power[1:]  # no mean
    if len(power) < 3 or not power.any():
        return None
    k = int(np.argmax(power))
    if k == 0:  # one cycle in view: a trend's curvature as much as a period
        return None
    others = np.delete(power, k)
    if power[k] < PEAK_FACTOR * float(others.mean()):
        return None
    # The peak between bins, from a parabola through the log power around it.
    offset = 0.0
    if 0 < k < len(power) - 1 and np.all(power[k - 1 : k + 2] > 0):
        below, at, above = np.log(power[k - 1 : k + 2])
        curvature = below - 2 * at + above
        if curvature < 0:
            offset = float(np.clip(0.5 * (below - above) / curvature, -0.5, 0.5))
    return n / (k + 1 + offset)


def transient_end(signal: npt.NDArray[np.float64], batch: int = MSER_BATCH) -> int:
    """Where the start-up transient of ``signal`` ends, in samples: the
    truncation point (within the first half) that minimises the marginal
    standard error of the mean of what is left, on means of ``batch``."""
    m = len(signal) // batch
    if m < 4:
        return 0
    means = np.asarray(signal[: m * batch], dtype=np.float64).reshape(m, batch).mean(axis=1)
    kept = np.arange(m, 0, -1, dtype=np.float64)  # batches left after truncating at d
    total = np.cumsum(means[::-1])[::-1]
    squares = np.cumsum((means - means.mean())[::-1] ** 2)[::-1]
    centred = total - kept * means.mean()
    variance = squares / kept - (centred / kept) ** 2
    half = m // 2 + 1
    return int(np.argmin(variance[:half] / kept[:half])) * batch


def batch_two_se(
    values: npt.NDArray[np.float64], batches: int = BATCHES, size: int | None = None
) -> float:
    """Twice the standard error of the mean of ``values`` by batch means:
    ``batches`` batches, or as many of ``size`` as the values hold."""
    if size is None:
        size = len(values) // batches
    elif size >= 1:
        batches = len(values) // size
    if size < 1 or batches < 2:
        return math.inf
    means = values[len(values) - size * batches :].reshape(batches, size).mean(axis=1)
    return float(2 * means.std(ddof=1) / math.sqrt(batches))


def _relative(value: float, mean: float) -> float:
    return abs(value) / abs(mean) if mean else math.inf


def _drift(values: npt.NDArray[np.float64], size: int = 1) -> float:
    """The change of a straight-line fit across ``values``, relative to their
    mean; fitted through the means of the last whole batches of ``size`` (whole
    cycles of an oscillation, which a line through the samples would read as a
    slope)."""
    count = len(values) // size
    if count < 2:
        return math.inf
    means = values[len(values) - count * size :].reshape(count, size).mean(axis=1)
    slope = float(np.polyfit(np.arange(count, dtype=np.float64), means, 1)[0]) / size
    return _relative(slope * (len(values) - 1), float(values.mean()))


def verdict(
    time: Sequence[float] | npt.NDArray[np.float64],
    columns: Mapping[str, npt.NDArray[np.float64]],
    *,
    key: str = "Cd",
    tolerance: float = TOLERANCE,
    discard: int = DISCARD,
    min_window: int = MIN_WINDOW,
) -> Verdict:
    """The convergence verdict on ``columns[key]``, with statistics for every column."""
    times = np.asarray(time, dtype=np.float64)
    signal = np.asarray(columns[key], dtype=np.float64)
    n = len(signal)
    usable = max(0, n - min(discard, n // 3))
    reasons: list[str] = []
    tail = signal[n - usable :]
    settled = tail[transient_end(tail) :]
    creep = _drift(settled)
    period = dominant_period(settled) if len(settled) >= 64 else None
    window = min_window
    batch: int | None = None  # batch length, when it must hold whole cycles
    if period is not None:
        window = max(window, math.ceil(2 * period))
        batch = round(period * max(1, round(window / (BATCHES * period))))
    if usable < 2 * window:
        reasons.append(
            f"{usable} iterations after the start-up, fewer than the two windows of {window} "
            "the test needs"
            + (f" (Cd oscillates with a period of about {period:.0f})" if period else "")
        )
        window = max(1, min(window, usable // 2 if usable >= 2 else usable))
    last = signal[n - window :]
    before = signal[max(0, n - 2 * window) : n - window]
    mean = float(last.mean()) if len(last) else math.nan
    shift = _relative(float(before.mean()) - mean, mean) if len(before) else math.inf
    size = batch if batch is not None and len(last) >= MIN_BATCHES * batch else None
    drift = _drift(last, size or 1)
    rel_two_se = _relative(batch_two_se(last, size=size), mean)
    # Written so that a NaN fails each test.
    if not shift < tolerance:
        reasons.append(f"the last two windows' means differ by {shift:.2%} (>= {tolerance:.1%})")
    if not drift < tolerance:
        reasons.append(f"{key} drifts by {drift:.2%} over the window (>= {tolerance:.1%})")
    elif not creep < tolerance and len(settled) > 2 * window:
        reasons.append(
            f"{key} drifts by {creep:.2%} over the {len(settled)} iterations since the start-up "
            f"settled (>= {tolerance:.1%})"
        )
    if not rel_two_se < tolerance:
        reasons.append(f"2SE of the mean is {rel_two_se:.2%} (>= {tolerance:.1%})")
    stats = {}
    for name, values in columns.items():
        part = np.asarray(values, dtype=np.float64)[n - window :]
        if len(part):
            stats[name] = Stat(float(part.mean()), batch_two_se(part, size=size))
    span = (int(times[n - window]), int(times[-1])) if n else (0, 0)
    return Verdict(
        converged=not reasons,
        window=window,
        span=span,
        period=period,
        shift=shift,
        drift=drift,
        rel_two_se=rel_two_se,
        stats=stats,
        reasons=tuple(reasons),
    )


def needed_iterations(window: int = MIN_WINDOW, discard: int = DISCARD) -> int:
    """Fewest iterations in which a run can be judged converged."""
    return discard + 2 * window
