"""What the trades' excursions say: the tidy excursion table, the edge ratio
and stop levels estimated from excursions.

Plain functions over a trade table (the ``trades`` of a
`norvane.Report`): its excursion values at exit carry the names of
`EXCURSION_FIELDS`, and the values sampled ``t`` days after entry carry the
suffix ``_{t}d``. Every excursion is a growth of the price since the entry
day's close, minus 1: the adverse excursion is the lowest, the favourable
the highest, the favourable-before-adverse the highest before the lowest was
set. A value sampled ``t`` days after entry follows the price for ``t``
days whether or not the trade was still held: after the exit it says what
holding on would have brought.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable
from typing import Any

import numpy as np
import pandas as pd

from norvane.settings import _exit_level
from norvane._trade_table import EXCURSION_FIELDS

__all__ = ["EXIT", "tidy_excursions", "edge_ratio", "stop_analysis", "sampled_columns"]

#: The offset label of the values at exit.
EXIT = "exit"

_ADVERSE, _FAVOURABLE, _BEFORE, _RETURN = (
    "adverse_excursion", "favourable_excursion", "favourable_before_adverse", "return",
)
_SAMPLED = re.compile(r"^adverse_excursion_(\d+)d$")


def sampled_columns(trades: pd.DataFrame) -> list[int]:
    """The day offsets sampled in a trade table, ascending."""
    return sorted(int(m.group(1)) for c in trades.columns if (m := _SAMPLED.match(str(c))))


def tidy_excursions(trades: pd.DataFrame) -> pd.DataFrame:
    """One row per trade and sampled offset, then one per trade at its exit.

    Columns: ``trade`` (the label of the trade in ``trades``), ``offset``
    (days after entry, or ``"exit"``), ``held`` (whether the trade was still
    open that day: after its exit a sampled value follows the price alone),
    then the six `EXCURSION_FIELDS`. Rows are in trade order, offsets
    ascending and the exit last; an offset the prices end before (all six
    values NaN) is left out.
    """
    _require(trades, EXCURSION_FIELDS)
    offsets = sampled_columns(trades)
    count = len(trades)
    holding = trades["holding_days"].to_numpy(dtype=np.float64) if "holding_days" in trades else np.full(count, np.inf)
    blocks = []
    for position, offset in enumerate([*offsets, EXIT]):
        names = EXCURSION_FIELDS if offset == EXIT else [f"{f}_{offset}d" for f in EXCURSION_FIELDS]
        _require(trades, names)
        values = trades[list(names)].to_numpy(dtype=np.float64)
        block = pd.DataFrame(values, columns=list(EXCURSION_FIELDS))
        block.insert(0, "held", True if offset == EXIT else offset <= holding)
        block.insert(0, "offset", pd.Series([offset] * count, dtype=object))
        block.insert(0, "trade", trades.index.to_numpy())
        block["_order"] = np.arange(count) * (len(offsets) + 1) + position
        blocks.append(block[~np.isnan(values).all(axis=1)])
    if not blocks:
        return pd.DataFrame(columns=["trade", "offset", "held", *EXCURSION_FIELDS])
    frame = pd.concat(blocks, ignore_index=True).sort_values("_order", kind="stable")
    tidy: pd.DataFrame = frame.drop(columns="_order").reset_index(drop=True)
    return tidy


def edge_ratio(excursions: pd.DataFrame) -> pd.DataFrame:
    """The edge ratio at each offset of a tidy excursion table.

    One row per offset (days after entry, then ``"exit"``): ``trades`` (how
    many have a value there), ``mean_favourable`` (mean favourable
    excursion), ``mean_adverse`` (mean adverse excursion as a positive
    number) and ``edge_ratio``, their ratio. Above 1 the entries tend to move
    further for than against the trade within that many days; a curve that
    rises with the offset says the signal's edge keeps building, one that
    falls back towards 1 says it has faded. Every trade with a value at an
    offset counts, held or not, so the curve measures the entries rather
    than the exits.
    """
    _require(excursions, ("offset", _ADVERSE, _FAVOURABLE))
    grouped = excursions.groupby("offset", sort=False)
    favourable = grouped[_FAVOURABLE].mean()
    adverse = -grouped[_ADVERSE].mean()
    counts = grouped[_FAVOURABLE].count()
    order = sorted((o for o in favourable.index if o != EXIT), key=int) + [o for o in favourable.index if o == EXIT]
    frame = pd.DataFrame({"trades": counts, "mean_favourable": favourable, "mean_adverse": adverse}).loc[order]
    with np.errstate(divide="ignore", invalid="ignore"):
        frame["edge_ratio"] = frame["mean_favourable"] / frame["mean_adverse"]
    frame.index = pd.Index(list(order), dtype=object, name="offset")
    return frame


def stop_analysis(trades: pd.DataFrame, stop_levels: Any = (), target_levels: Any = ()) -> pd.DataFrame:
    """Stop-loss and take-profit levels as the closed trades' excursions
    suggest them: an estimate, not a rerun.

    One row per pair of a stop level (or none) and a target level (or none),
    the first row the trades as they are. Levels are fractions as in
    ``norvane.backtest`` (``stop_loss=0.08`` is -8 %; the sign is ignored).
    Columns:

    ``stop``, ``target``
        The levels (NaN: none).
    ``winners_stopped``, ``losers_stopped``
        Share of the winning (return above 0) and of the losing closed trades
        whose adverse excursion went below ``-stop``: the winners a stop
        would have cut, and the losers it would have caught.
    ``winners_targeted``, ``losers_targeted``
        The same for the favourable excursion above ``target``.
    ``est_win_rate``, ``est_avg_return``
        The share of winners and the mean return of the closed trades had
        each exited at the first level it crossed, at the level itself. When
        a trade crossed both, the target counts as first if the
        favourable-before-adverse excursion had crossed it already, the stop
        otherwise (the lowest point came before the target).

    The estimate keeps every other trade as it was. A rerun with these
    levels differs in ways the excursions cannot know: its levels measure
    the growth since the last rebalance, not since entry; without
    ``touched_exit`` a trade exits at the next day's price, beyond the
    level; the money of an early exit waits in cash and re-enters at the
    next rebalance as a new trade. The estimate is meaningful only for
    levels inside any that the run itself used, since its own stops cut
    the excursions short.
    """
    _require(trades, (_ADVERSE, _FAVOURABLE, _BEFORE, _RETURN))
    stops = _levels(stop_levels, "stop_levels", upper=1.0)
    targets = _levels(target_levels, "target_levels", upper=math.inf)
    closed = trades[trades["exit_date"].notna()] if "exit_date" in trades else trades
    adverse, favourable, before, returns = (
        closed[c].to_numpy(dtype=np.float64) for c in (_ADVERSE, _FAVOURABLE, _BEFORE, _RETURN)
    )
    winners = returns > 0
    rows = []
    for stop in [None, *stops]:
        # Strict comparisons, as the engine's: a level touched exactly does not exit.
        stopped = adverse < -stop if stop is not None else np.zeros(len(returns), dtype=bool)
        for target in [None, *targets]:
            targeted = favourable > target if target is not None else np.zeros(len(returns), dtype=bool)
            target_first = targeted & (~stopped | (before > (target if target is not None else np.inf)))
            outcome = np.where(target_first, target or 0.0, np.where(stopped, -(stop or 0.0), returns))
            rows.append({
                "stop": math.nan if stop is None else stop,
                "target": math.nan if target is None else target,
                "winners_stopped": _share(stopped, winners),
                "losers_stopped": _share(stopped, ~winners),
                "winners_targeted": _share(targeted, winners),
                "losers_targeted": _share(targeted, ~winners),
                "est_win_rate": float((outcome > 0).mean()) if len(outcome) else math.nan,
                "est_avg_return": float(outcome.mean()) if len(outcome) else math.nan,
            })
    return pd.DataFrame(rows)


def _share(hit: np.ndarray, group: np.ndarray) -> float:
    size = int(group.sum())
    return float((hit & group).sum() / size) if size else math.nan


def _levels(levels: Any, name: str, upper: float) -> list[float]:
    if levels is None:
        return []
    items = [levels] if np.ndim(levels) == 0 else list(np.asarray(levels, dtype=object).ravel())
    checked = []
    for item in items:
        try:
            level = _exit_level(item, name, upper)
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"{exc} (each level)") from None
        if level is None:
            raise TypeError(f"{name}: None is no level; leave it out")
        checked.append(level)
    return sorted(set(checked))


def _require(frame: pd.DataFrame, columns: Iterable[str]) -> None:
    missing = [c for c in columns if c not in frame]
    if missing:
        raise ValueError(
            f"trades: no column {missing[0]!r}; a trade table from norvane.backtest has the excursions "
            "at exit, and with excursion_window= and excursion_step= the sampled ones"
        )
