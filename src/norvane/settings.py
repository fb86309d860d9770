"""The settings of a run: every default in one place, every check in one place.

`Settings` holds what the engine needs per run (costs, exits, limits, the
excursion sampling); `norvane.backtest` takes the same names as keywords,
and `norvane.sweep` varies them. The frame-level settings (`rebalance`,
`retarget`, `drop_missing`) change how the frames are prepared and are
listed in `FRAME_SETTINGS`.
"""

from __future__ import annotations

import dataclasses
import math
import operator
import sys
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

__all__ = ["Settings", "FRAME_SETTINGS", "RUN_SETTINGS", "ALL_SETTINGS", "DEFAULTS"]

_INT32_MAX = 2**31 - 1

# A rate this high is far more often a percentage typed as a fraction
# (0.1425 for 0.1425 %) than a real cost.
_SUSPICIOUS_RATE = 0.05


@dataclass(frozen=True)
class Settings:
    """The per-run settings of a backtest, checked and in the engine's units.

    The fields are the run's keyword arguments of `norvane.backtest`
    (``commission``, ``sell_tax``, ``stop_loss``, ``take_profit``,
    ``touched_exit``, ``position_limit``, ``excursion_window``,
    ``excursion_step``, ``stop_from``), with the same defaults and meaning:
    see its parameters. A sweep checks each run's settings here before any
    run starts.
    """

    commission: float = 0.001425
    sell_tax: float = 0.003
    stop_loss: float | None = None
    take_profit: float | None = None
    touched_exit: bool = False
    position_limit: float = 1.0
    excursion_window: int = 0
    excursion_step: int = 1
    stop_from: str = "rebalance"

    def __post_init__(self) -> None:
        checked = {
            "commission": _rate(self.commission, "commission"),
            "sell_tax": _rate(self.sell_tax, "sell_tax"),
            "stop_loss": _exit_level(self.stop_loss, "stop_loss", upper=1.0),
            "take_profit": _exit_level(self.take_profit, "take_profit", upper=math.inf),
            "touched_exit": _flag(self.touched_exit, "touched_exit"),
            "position_limit": _positive(self.position_limit, "position_limit"),
            "excursion_window": _small_int(self.excursion_window, "excursion_window", minimum=0),
            "excursion_step": _small_int(self.excursion_step, "excursion_step", minimum=1),
            "stop_from": _choice(self.stop_from, "stop_from", ("rebalance", "entry")),
        }
        for name, value in checked.items():
            object.__setattr__(self, name, value)

    def engine_arguments(self) -> dict[str, Any]:
        """The keyword arguments of the native ``backtest_`` for these settings (``stop_from`` is the lean
        entry's ``stop_from_entry``)."""
        return {
            "fee_ratio": self.commission,
            "tax_ratio": self.sell_tax,
            "stop_loss": -self.stop_loss if self.stop_loss is not None else -math.inf,
            "take_profit": self.take_profit if self.take_profit is not None else math.inf,
            "touched_exit": self.touched_exit,
            "position_limit": self.position_limit,
            "tessary_window": self.excursion_window,
            "tessary_window_step": self.excursion_step,
        }

    def as_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


# ---------------------------------------------------------------------------
# checks


def warn_caller(message: str) -> None:
    """A UserWarning shown at the user's line that led here: the first
    frame outside the package (and the context-manager wrappers of its
    calls), whichever of backtest, sweep or walk_forward was called."""
    level, frame = 2, sys._getframe(1)
    while frame.f_back is not None and _inside(frame.f_globals.get("__name__", "")):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, UserWarning, stacklevel=level)


def _inside(module: str) -> bool:
    # (A dataclass's generated methods run in the globals of its module.)
    return module == "norvane" or module.startswith("norvane.") or module == "contextlib"


def _real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a number, got {type(value).__name__}")
    out = float(value)
    if math.isnan(out):
        raise ValueError(f"{name}: must not be NaN")
    return out


def _rate(value: Any, name: str) -> float:
    out = _real(value, name)
    if not 0.0 <= out < 1.0:
        raise ValueError(f"{name}: must be a rate in [0, 1), got {out!r}")
    if out >= _SUSPICIOUS_RATE:
        warn_caller(f"{name}: {out!r} is a rate of {out * 100:g} %; for {out!r} % pass {out / 100:g}")
    return out


def _positive(value: Any, name: str) -> float:
    out = _real(value, name)
    if not 0.0 < out < math.inf:
        raise ValueError(f"{name}: must be a positive finite number, got {out!r}")
    return out


def _exit_level(value: Any, name: str, upper: float) -> float | None:
    if value is None:
        return None
    if isinstance(value, (float, np.floating)) and math.isnan(value):
        # A sweep's frame shows a None level as NaN: say which value was meant.
        raise ValueError(f"{name}: must not be NaN; None means no {name.replace('_', ' ')}")
    out = abs(_real(value, name))
    if not 0.0 < out < upper:
        bound = "below 1" if upper == 1.0 else "finite"
        raise ValueError(f"{name}: must be a nonzero fraction {bound} (e.g. 0.1 for 10%), got {float(value)!r}")
    return out


def _flag(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected a bool, got {type(value).__name__}")
    return bool(value)


def _small_int(value: Any, name: str, minimum: int) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected an integer, got bool")
    try:
        out = operator.index(value)
    except TypeError:
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__}") from None
    if not minimum <= out <= _INT32_MAX:
        raise ValueError(f"{name}: must be between {minimum} and {_INT32_MAX}, got {out}")
    return out


def _choice(value: Any, name: str, choices: tuple[str, ...]) -> str:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name}: expected one of {', '.join(map(repr, choices))}, got {value!r}")
    return value


def check_weights_kind(value: Any) -> str:
    """The ``weights`` setting: ``"relative"`` or ``"absolute"``."""
    return _choice(value, "weights", ("relative", "absolute"))


def check_flag(value: Any, name: str) -> bool:
    """A bool setting (``drop_missing``)."""
    return _flag(value, name)


def check_optional_flag(value: Any, name: str) -> bool | None:
    """A bool-or-None setting (``retarget``)."""
    return None if value is None else _flag(value, name)


DEFAULTS = Settings()

#: Settings that change how the frames are prepared, with their defaults.
FRAME_SETTINGS: dict[str, Any] = {"rebalance": None, "retarget": None, "weights": "relative", "drop_missing": False}
#: Settings of the engine run itself, with their defaults.
RUN_SETTINGS: dict[str, Any] = DEFAULTS.as_dict()
#: Every keyword of `norvane.backtest` after the two frames.
ALL_SETTINGS: dict[str, Any] = {**FRAME_SETTINGS, **RUN_SETTINGS}
