"""Whether a steady RANS force history has converged, and how well its mean is known.

The iterations of a steady solver are not samples of a stationary signal
at first: the start-up transient is dropped, and what follows may still
drift, oscillate slowly or wander. ``verdict`` judges the drag coefficient,
the lift and the front and rear lift over the last two windows of the history:

* the start-up is cut where the signal says it ends: the truncation point
  of the marginal standard error rule (MSER-5, White 1997), not a fixed
  count; what follows is the settled history;
* the window is half the settled history, at least ``MIN_WINDOW``
  iterations, and at least twice the dominant period of the signal when a
  clear one shows in its spectrum (only a peak with two or more cycles in
  view counts, so a slow decay is not taken for a slow oscillation), and
  then a whole number of those periods (rounded down, two at least), so
  that no mean takes in part of a cycle;
* the means of the last two windows must agree within ``TOLERANCE``
  (a slow oscillation or a wander shows here);
* the drift over the last window (a straight-line fit's change across it)
  must stay below ``TOLERANCE``, and so must the drift over the whole
  settled history when that is longer than the two windows;
* the 95 % half-width of the mean must stay below ``TOLERANCE``. It is
  Student's t on the batch means of the window: ``BATCHES`` contiguous
  batches to begin with (each at least ``CORRELATION_SPAN`` integrated
  autocorrelation times long), merged pairwise while their means are still
  correlated (lag-1 autocorrelation above its 95 % bound), so correlated
  iterations are not counted as independent; fewer than ``MIN_BATCHES``
  independent batches leave the mean unknown. When Cd oscillates and the
  window holds enough cycles, each batch holds whole cycles.

Each test is relative to the coefficient's own mean, or to the drag's
when that is larger (a lift near zero is known when it is known to a
share of the drag). The same statistics are given for every column, so
each coefficient carries its band: the mean over the window, and the
half-width combined in quadrature with the step between the two windows'
means or the straight-line fit's change across the last window or across
the settled history, whichever is largest, so that the band also holds
what a slowly fading start-up may still leave (a stationary signal's step
is of the half-width's size).
The half-width is kept under the name ``two_se``, the name the run records
have always used for the iterative band.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

#: Relative tolerance of each of the three tests.
TOLERANCE = 0.005
#: Smallest window averaged, iterations. With windows of 100 the quick hatch
#: (a cycle of about 50 iterations over a mean that still crept by 0.1 %)
#: stopped at iteration 306, 0.0004 from its mean over 1,000 iterations and
#: outside the band it recorded; with 150 it stopped at 406, inside.
MIN_WINDOW = 150
#: Fewest iterations before any verdict: the first ones are wild whatever follows.
MIN_START = 50
#: Batches of the batch means to begin with.
BATCHES = 16
#: Fewest independent batches that give a half-width.
MIN_BATCHES = 4
#: A batch spans at least this many correlation times of the signal.
CORRELATION_SPAN = 3.0
#: The coefficients tested besides the drag, when the history has them.
TESTED = ("Cl", "Cl(f)", "Cl(r)")
#: Student's t, 97.5 % quantile, for 1 to 30 degrees of freedom.
_T975 = (
    12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
    2.201, 2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
    2.080, 2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042,
)  # fmt: skip
#: A spectral peak this many times the mean power of the other frequencies is a period.
PEAK_FACTOR = 12.0
#: Batch size of the start-up truncation rule (MSER-5).
MSER_BATCH = 5


@dataclass(frozen=True)
class Stat:
    """Mean and iterative half band (95 % half-width) of one coefficient."""

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
    rel_two_se: float  # 95 % half-width of the Cd mean, relative to it
    stats: dict[str, Stat] = field(default_factory=dict)
    reasons: tuple[str, ...] = ()
    start: int = 0  # iterations cut off as the start-up
    batches: int = 0  # independent batches behind the half-width of Cd

    @property
    def message(self) -> str:
        lo, hi = self.span
        if self.converged:
            return (
                f"converged over iterations {lo}-{hi}: windows agree within {self.shift:.2%}, "
                f"drift {self.drift:.2%}, 95 % half-width {self.rel_two_se:.2%} "
                f"(each < {TOLERANCE:.1%})"
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


def t_quantile(dof: int) -> float:
    """Student's t 97.5 % quantile for ``dof`` degrees of freedom."""
    if dof < 1:
        return math.inf
    return _T975[dof - 1] if dof <= len(_T975) else 1.96 + 2.4 / dof


def _independent(means: npt.NDArray[np.float64]) -> bool:
    """Whether batch means look independent: their lag-1 autocorrelation
    below its one-sided 95 % bound (NaNs never do)."""
    d = means - means.mean()
    total = float(d @ d)
    if total == 0:
        return True
    return bool(float(d[:-1] @ d[1:]) / total < 1.645 / math.sqrt(len(means)))


def correlation_time(values: npt.NDArray[np.float64]) -> float:
    """Integrated autocorrelation time of ``values``, in samples (Sokal's
    window: summed until the lag reaches five times the running estimate)."""
    n = len(values)
    d = values - values.mean()
    spectrum = np.fft.rfft(d, 2 * n)
    acf = np.fft.irfft(spectrum * np.conj(spectrum))[:n]
    if n < 2 or not acf[0] > 0:
        return 1.0
    taus = 1 + 2 * np.cumsum(acf[1:] / acf[0])
    within = np.flatnonzero(np.arange(1, n) >= 5 * taus)
    return max(1.0, float(taus[within[0]] if len(within) else taus[-1]))


def batch_half_width(
    values: npt.NDArray[np.float64], size: int | None = None, batches: int = BATCHES
) -> tuple[float, int]:
    """``(half-width, batches)``: the 95 % half-width of the mean of ``values``
    by batch means (of ``size``, or ``batches`` of them but never shorter than
    ``CORRELATION_SPAN`` correlation times), merged pairwise while their means
    are correlated; infinite with fewer than ``MIN_BATCHES`` independent batches."""
    n = len(values)
    if n and np.ptp(values) <= 1e-12 * max(1.0, abs(float(values[0]))):
        return 0.0, n // max(1, size or n // batches or 1)  # a constant: its mean is known
    if size is None:
        size = n // batches
        if np.isfinite(values).all():
            size = max(size, math.ceil(CORRELATION_SPAN * correlation_time(values)))
    size = max(1, size)
    while n // size >= MIN_BATCHES:
        count = n // size
        means = values[n - count * size :].reshape(count, size).mean(axis=1)
        if _independent(means):
            return t_quantile(count - 1) * float(means.std(ddof=1)) / math.sqrt(count), count
        size *= 2
    return math.inf, n // size


def _relative(value: float, mean: float) -> float:
    return abs(value) / abs(mean) if mean else math.inf


def _change(values: npt.NDArray[np.float64], size: int = 1) -> float:
    """The change of a straight-line fit across ``values``, fitted through the
    means of the last whole batches of ``size`` (whole cycles of an
    oscillation, which a line through the samples would read as a slope)."""
    count = len(values) // size
    if count < 2:
        return math.inf
    means = values[len(values) - count * size :].reshape(count, size).mean(axis=1)
    slope = float(np.polyfit(np.arange(count, dtype=np.float64), means, 1)[0]) / size
    return slope * (len(values) - 1)


def _drift(values: npt.NDArray[np.float64], size: int = 1) -> float:
    """``_change`` relative to the values' mean."""
    return _relative(_change(values, size), float(values.mean()))


def verdict(
    time: Sequence[float] | npt.NDArray[np.float64],
    columns: Mapping[str, npt.NDArray[np.float64]],
    *,
    key: str = "Cd",
    tolerance: float = TOLERANCE,
    min_window: int = MIN_WINDOW,
) -> Verdict:
    """The convergence verdict on ``columns[key]`` and the lifts, with
    statistics for every column."""
    times = np.asarray(time, dtype=np.float64)
    signal = np.asarray(columns[key], dtype=np.float64)
    n = len(signal)
    reasons: list[str] = []
    start = transient_end(signal) if n >= MIN_START else n
    settled = signal[start:]
    usable = len(settled)
    period = dominant_period(settled) if usable >= 64 else None
    window = max(min_window, usable // 2)
    batch: int | None = None  # batch length, when it must hold whole cycles
    if period is not None:
        # Whole cycles only: a window that ends part-way through a cycle of a
        # large oscillation (a lift's, often several times the drag's swing)
        # moves its mean by a share of the amplitude that no batch statistic sees.
        window = round(math.floor(max(window, 2 * period) / period) * period)
        batch = round(period * max(1, round(window / (BATCHES * period))))
    if usable < 2 * window:
        reasons.append(
            f"{usable} iterations after the start-up, fewer than the two windows of {window} "
            "the test needs"
            + (f" (Cd oscillates with a period of about {period:.0f})" if period else "")
        )
        window = max(1, min(window, usable // 2 if usable >= 2 else max(usable, n)))
    size = batch if batch is not None and window >= MIN_BATCHES * batch else None
    stats: dict[str, Stat] = {}
    batches = 0
    rel_two_se = shift = drift = math.inf
    drag_mean = float(signal[n - window :].mean()) if n else math.nan
    for name, values in columns.items():
        column = np.asarray(values, dtype=np.float64)
        last = column[n - window :]
        if not len(last):
            continue
        mean = float(last.mean())
        half, count = batch_half_width(last, size=size)
        before = column[max(0, n - 2 * window) : n - window]
        # The band also holds what the start-up may still leave: the step
        # between the two windows' means or, when larger, the change of a
        # straight line fitted across the last window or across everything
        # since the start-up was cut (a creep the noise hides from the step),
        # each a measure of the remaining trend.
        step = float(before.mean()) - mean if len(before) else 0.0
        since = column[start:]
        changes = [_change(x, size or 1) for x in (last, since) if len(x) >= 2 * (size or 1)]
        trend = max([abs(step)] + [abs(c) for c in changes if math.isfinite(c)])
        # Too few independent batches for a half-width: half the window's range
        # bounds the mean instead, so a short run still carries an honest band.
        spread = float(last.max() - last.min()) / 2 if math.isinf(half) else half
        stats[name] = Stat(mean, math.hypot(spread, trend))
        if name != key and name not in TESTED:
            continue
        scale = max(abs(mean), abs(drag_mean)) if name != key else mean
        tests = {
            "shift": _relative(float(before.mean()) - mean, scale) if len(before) else math.inf,
            "drift": _relative(_change(last, size or 1), scale),
            "half": _relative(half, scale),
        }
        label = "" if name == key else f"{name}: "
        if name == key:
            shift, drift, rel_two_se, batches = tests["shift"], tests["drift"], tests["half"], count
        # Written so that a NaN fails each test.
        if not tests["shift"] < tolerance:
            reasons.append(
                f"{label}the last two windows' means differ by {tests['shift']:.2%} "
                f"(>= {tolerance:.1%})"
            )
        if not tests["drift"] < tolerance:
            reasons.append(
                f"{name} drifts by {tests['drift']:.2%} over the window (>= {tolerance:.1%})"
            )
        elif name == key:
            creep = _drift(settled)
            if not creep < tolerance and usable >= 2 * window:
                reasons.append(
                    f"{key} drifts by {creep:.2%} over the {usable} iterations since the "
                    f"start-up settled (>= {tolerance:.1%})"
                )
        if not tests["half"] < tolerance:
            reasons.append(
                f"{label}the 95 % half-width of the mean is unknown: its batch means stay "
                "correlated"
                if math.isinf(half) and np.isfinite(last).all()
                else f"{label}the 95 % half-width of the mean is {tests['half']:.2%} "
                f"(>= {tolerance:.1%})"
            )
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
        start=start,
        batches=batches,
    )


def needed_iterations(window: int = MIN_WINDOW) -> int:
    """Fewest iterations in which a run can be judged converged."""
    return MIN_START + 2 * window
