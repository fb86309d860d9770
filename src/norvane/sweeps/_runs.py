"""One run of a sweep, in whichever process makes it.

Runs are grouped by what they need prepared: the strategy's keyword
arguments (when the position comes from a callable) and the frame settings
(rebalance, retarget, drop_missing). A group's position frame and engine
arrays are made once and serve every run of the group, whose run settings
(costs, exits, limits) are all that differ. Every backend hands a process the
runs of one group after another, so a process keeps one group's arrays at a
time and makes each group's at most once.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Union, cast

import pandas as pd

from norvane import _engine, _frames
from norvane.settings import Settings

# (statistics, equity or None, error text or None) of one run
Outcome = tuple[Optional[dict[str, Any]], Optional[pd.Series], Optional[str]]

WORKER_DIED = "the worker process running this backtest died"


@dataclass
class Inputs:
    """What every run of a sweep shares; shipped once to each worker process."""

    prices: pd.DataFrame
    position: Union[pd.DataFrame, Callable[..., pd.DataFrame]]
    keep_equity: bool
    # The strategy's keyword arguments that every run shares (they may be large).
    strategy_fixed: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Preparation:
    """What a group of runs prepares once: the strategy's keyword arguments
    from the grid (none for a position frame) and the frame settings."""

    strategy: dict[str, Any]
    frame: dict[str, Any]


@dataclass(frozen=True)
class Task:
    """One run: its place in the grid, its group and its checked settings."""

    index: int
    group: int
    preparation: Preparation
    settings: Settings


@dataclass(frozen=True)
class Failed:
    """A preparation that failed; every run of its group reports the text."""

    text: str


def callable_name(function: Any) -> str:
    inner = getattr(function, "func", function)  # a functools.partial names its function
    return getattr(inner, "__qualname__", None) or getattr(inner, "__name__", None) or type(inner).__name__


def describe(exc: BaseException) -> str:
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def prepare(inputs: Inputs, preparation: Preparation) -> _frames.Prepared | Failed:
    """The engine arrays of a group, or why there are none."""
    position = inputs.position
    origin = ""
    if callable(position):
        name = callable_name(position)
        try:
            position = position(inputs.prices, **inputs.strategy_fixed, **preparation.strategy)
        except Exception as exc:  # the strategy fails the runs of its group only
            return Failed(f"{name} raised {describe(exc)}")
        origin = f"the position {name} returned: "
    try:
        return _frames.for_many_runs(_frames.prepare(inputs.prices, position, **preparation.frame))
    except Exception as exc:
        return Failed(origin + describe(exc))


def run(prepared: _frames.Prepared | Failed, settings: Settings, keep_equity: bool) -> Outcome:
    if isinstance(prepared, Failed):
        return None, None, prepared.text
    try:
        report = _engine.simulate(prepared, settings)
        stats = cast(dict[str, Any], report.stats().to_dict())
    except Exception as exc:  # a failing run is a result, not the end of the sweep
        return None, None, describe(exc)
    return stats, (report.equity if keep_equity else None), None


class Preparations:
    """The arrays of the group in hand; a task of another group replaces them."""

    def __init__(self, inputs: Inputs) -> None:
        self.inputs = inputs
        self.group: int | None = None
        self.prepared: _frames.Prepared | Failed | None = None

    def execute(self, task: Task) -> Outcome:
        if task.group != self.group:
            self.group, self.prepared = None, None  # let the old arrays go before making new ones
            self.prepared = prepare(self.inputs, task.preparation)
            self.group = task.group
        return run(self.prepared, task.settings, self.inputs.keep_equity)  # type: ignore[arg-type]
