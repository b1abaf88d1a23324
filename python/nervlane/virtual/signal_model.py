"""The virtual sensor's body: its layout, its signal, its parameter file.

Where its sensors sit (``Layout``), the raw readings they give
(``SignalModel``), and the parameter file that calibrates them
(``parameter_document``, ``write_params``)."""

from __future__ import annotations

import math
import os
import random
from dataclasses import dataclass
from typing import Any, Final

from .. import parameters

# Raw level of an unloaded channel, and the calibration the simulator's
# parameter files use: counts above the zero level to newtons.
NOMINAL_ZERO: Final = 1000
NOISE_COUNTS: Final = 3.0
DEAD_BAND_COUNTS: Final = 15.0
TAXEL_COEFS: Final = (0.0, 1.0e-3, 2.0e-9)
AXIS_COEFS: Final = (0.0, 1.0e-3)
NORMAL_COEFS: Final = (0.0, 1.0e-3, 2.0e-9)

_CHANNELS: Final = parameters.CHANNELS
_AXES: Final = len(parameters.AXES)


@dataclass(frozen=True)
class Layout:
    """Where each sensor sits in a frame and in the calibrated output.

    Triaxial sensors come first, four frame channels and three outputs
    (x, y, z) each; then the taxels, one frame position and one output each.
    """

    taxels: int
    triaxials: int = 0

    def __post_init__(self) -> None:
        if self.taxels < 0 or self.triaxials < 0:
            raise ValueError("sensor counts cannot be negative")
        if self.taxels + self.triaxials == 0:
            raise ValueError("a sensor needs at least one taxel or triaxial")

    @property
    def frame_size(self) -> int:
        return _CHANNELS * self.triaxials + self.taxels

    @property
    def output_size(self) -> int:
        return _AXES * self.triaxials + self.taxels

    def triaxial_channels(self, t: int) -> range:
        return range(_CHANNELS * t, _CHANNELS * (t + 1))

    def triaxial_outputs(self, t: int) -> range:
        return range(_AXES * t, _AXES * (t + 1))

    def taxel_channel(self, j: int) -> int:
        return _CHANNELS * self.triaxials + j

    def taxel_output(self, j: int) -> int:
        return _AXES * self.triaxials + j

    @property
    def grid(self) -> tuple[int, int]:
        """Rows and columns of the near-square patch the taxels form."""
        cols = max(1, math.ceil(math.sqrt(self.taxels)))
        rows = max(1, math.ceil(self.taxels / cols))
        return rows, cols


@dataclass
class _Press:
    start: float
    duration: float
    row: float
    col: float
    radius: float
    peak: float
    shear: tuple[float, float] = (0.0, 0.0)

    def envelope(self, t: float) -> float:
        u = (t - self.start) / self.duration
        if not 0.0 < u < 1.0:
            return 0.0
        return 0.5 - 0.5 * math.cos(2.0 * math.pi * u)  # smooth rise and fall


class SignalModel:
    """Believable raw readings, one frame per call.

    Every channel sits on a zero level near ``NOMINAL_ZERO`` that drifts
    slowly, with a little noise; now and then a press comes and goes, a
    smooth bump spread over neighbouring taxels, and the triaxials feel
    pushes of their own with some shear. Seeded models repeat exactly.
    """

    def __init__(self, layout: Layout, seed: int | None = None, rate_hz: float = 100.0) -> None:
        if rate_hz <= 0:
            raise ValueError("rate_hz must be positive")
        self.layout = layout
        self.dt = 1.0 / rate_hz
        self.t = 0.0
        self._rng = random.Random(seed)
        n = layout.frame_size
        self._base = [NOMINAL_ZERO + self._rng.uniform(-5.0, 5.0) for _ in range(n)]
        self._drift_phase = [self._rng.uniform(0.0, 2.0 * math.pi) for _ in range(n)]
        self._drift_period = [self._rng.uniform(40.0, 90.0) for _ in range(n)]
        self._taxel_presses: list[_Press] = []
        self._triaxial_presses: list[list[_Press]] = [[] for _ in range(layout.triaxials)]
        self._next_press = self._rng.uniform(0.2, 1.0)
        self._next_push = [self._rng.uniform(0.3, 1.5) for _ in range(layout.triaxials)]

    def __call__(self, _index: int = 0) -> list[int]:
        return self.next_frame()

    def zero_level(self, channel: int, t: float | None = None) -> float:
        """The unloaded level of ``channel`` at time ``t`` (now by default)."""
        t = self.t if t is None else t
        wave = math.sin(2.0 * math.pi * t / self._drift_period[channel] + self._drift_phase[channel])
        return self._base[channel] + 12.0 * wave

    def _schedule(self) -> None:
        rows, cols = self.layout.grid
        rng = self._rng
        if self.layout.taxels and self.t >= self._next_press:
            press = _Press(
                start=self.t,
                duration=rng.uniform(0.6, 2.0),
                row=rng.uniform(0, rows - 1),
                col=rng.uniform(0, cols - 1),
                radius=rng.uniform(0.7, 1.8),
                peak=rng.uniform(3000.0, 25000.0),
            )
            self._taxel_presses.append(press)
            self._next_press = self.t + press.duration + rng.uniform(0.3, 2.0)
        for k in range(self.layout.triaxials):
            if self.t >= self._next_push[k]:
                z = rng.uniform(2000.0, 15000.0)
                push = _Press(
                    start=self.t,
                    duration=rng.uniform(0.8, 2.5),
                    row=0.0,
                    col=0.0,
                    radius=1.0,
                    peak=z,
                    shear=(rng.uniform(-0.3, 0.3) * z, rng.uniform(-0.3, 0.3) * z),
                )
                self._triaxial_presses[k].append(push)
                self._next_push[k] = self.t + push.duration + rng.uniform(0.5, 3.0)
        self._taxel_presses = [p for p in self._taxel_presses if self.t < p.start + p.duration]
        for k, presses in enumerate(self._triaxial_presses):
            self._triaxial_presses[k] = [p for p in presses if self.t < p.start + p.duration]

    def next_frame(self) -> list[int]:
        """The raw readings (integers 0..65535) of the next frame."""
        layout = self.layout
        self._schedule()
        load = [0.0] * layout.frame_size
        _, cols = layout.grid
        for p in self._taxel_presses:
            e = p.envelope(self.t)
            if e == 0.0:
                continue
            for j in range(layout.taxels):
                r, c = divmod(j, cols)
                d2 = (r - p.row) ** 2 + (c - p.col) ** 2
                if d2 > (2.5 * p.radius) ** 2:
                    continue  # a fingertip, not the whole patch
                load[layout.taxel_channel(j)] += p.peak * e * math.exp(-d2 / (2.0 * p.radius**2))
        for k, presses in enumerate(self._triaxial_presses):
            for p in presses:
                e = p.envelope(self.t)
                z, x, y = p.peak * e, p.shear[0] * e, p.shear[1] * e
                # The four channels that give back x, y and z through the
                # sums and differences the calibration forms.
                ch = layout.triaxial_channels(k)
                load[ch[0]] += (z - x - y) / 4.0
                load[ch[1]] += (z - x + y) / 4.0
                load[ch[2]] += (z + x - y) / 4.0
                load[ch[3]] += (z + x + y) / 4.0
        gauss = self._rng.gauss
        frame = [
            min(0xFFFF, max(0, round(self.zero_level(i) + load[i] + gauss(0.0, NOISE_COUNTS))))
            for i in range(layout.frame_size)
        ]
        self.t += self.dt
        return frame


def parameter_document(layout: Layout, protocol: str | int) -> list[Any]:
    """The parameter document matching ``layout`` and a frame format.

    Offsets sit at the nominal zero level, a small dead band hides the
    noise, and the polynomials turn counts above zero into newtons.
    Raises ValueError for a protocol that names no frame format.
    """
    zero = float(NOMINAL_ZERO)
    full_scale = float(0xFFFF - NOMINAL_ZERO)
    triaxials = [
        parameters.triaxial_record(
            layout.triaxial_channels(t)[0],
            layout.triaxial_outputs(t)[0],
            lower=[DEAD_BAND_COUNTS] * _CHANNELS,
            upper=[full_scale] * _CHANNELS,
            offset=[zero] * _CHANNELS,
            coefs_x=AXIS_COEFS,
            coefs_y=AXIS_COEFS,
            coefs_z=NORMAL_COEFS,
        )
        for t in range(layout.triaxials)
    ]
    taxels = [
        parameters.taxel_record(
            layout.taxel_channel(j),
            layout.taxel_output(j),
            lower=DEAD_BAND_COUNTS,
            upper=full_scale,
            offset=zero,
            coefs=TAXEL_COEFS,
        )
        for j in range(layout.taxels)
    ]
    return parameters.make(protocol, triaxials, taxels)


def write_params(path: str | os.PathLike[str], layout: Layout, protocol: str | int) -> None:
    """Write the matching MessagePack parameter file (replaced whole, never half-written)."""
    parameters.write(path, parameter_document(layout, protocol))
