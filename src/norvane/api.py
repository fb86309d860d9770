"""The pandas entry point: `backtest` checks the frames, runs the engine and returns its report.

`backtest` is the one function most users need. It takes a price frame and a
position frame, checks everything the engine would otherwise take at face
value, converts both to the exact array layout the engine expects
(`norvane._frames`) and returns a :class:`~norvane.report.Report`.
"""

from __future__ import annotations

import pandas as pd

from norvane import _interrupts
from norvane._engine import simulate
from norvane._frames import prepare
from norvane._schedule import Schedule
from norvane.report import Report
from norvane.settings import DEFAULTS, Settings

__all__ = ["backtest", "Schedule"]


def backtest(
    prices: pd.DataFrame,
    position: pd.DataFrame,
    rebalance: Schedule = None,
    *,
    retarget: bool | None = None,
    weights: str = "relative",
    commission: float = DEFAULTS.commission,
    sell_tax: float = DEFAULTS.sell_tax,
    stop_loss: float | None = DEFAULTS.stop_loss,
    take_profit: float | None = DEFAULTS.take_profit,
    touched_exit: bool = DEFAULTS.touched_exit,
    position_limit: float = DEFAULTS.position_limit,
    excursion_window: int = DEFAULTS.excursion_window,
    excursion_step: int = DEFAULTS.excursion_step,
    stop_from: str = DEFAULTS.stop_from,
    drop_missing: bool = False,
) -> Report:
    """Simulate a portfolio that follows ``position`` and trades at ``prices``.

    Parameters
    ----------
    prices:
        Daily prices, one row per trading day (ascending ``DatetimeIndex``;
        a time of day is ignored, one row per day), one column per stock id.
        NaN marks a day without a price (not yet listed, suspended,
        delisted); every price given must be positive.
    position:
        What the strategy wants to hold, one row per signal date (its own
        ascending ``DatetimeIndex``; a time of day is ignored), one column
        per stock id. A boolean frame means "hold these stocks in equal
        weight"; a numeric frame holds relative weights, each row scaled to
        sum to one (weights must not be negative: long only). A row dated on
        day D is known at the close of D and is traded at the prices of the
        first trading day after D.
    rebalance:
        When the portfolio trades. ``None``: on every position date. A pandas
        offset alias ("W", "M", "Q", "W-FRI", ...) or offset: at the end of
        every such period, on the last trading day on or before the period
        end. An iterable of dates: on the last trading day on or before each
        of them.
    retarget:
        ``True``: every scheduled date brings the portfolio back to the
        weights in force, also when they did not change (drifted holdings are
        rebalanced). ``False``: a scheduled date trades only when a newer
        position row with different weights is in force. ``None`` (default):
        ``True`` with an explicit schedule, ``False`` with ``rebalance=None``.
    weights:
        ``"relative"`` (default): each row's weights are shares of the
        portfolio, whatever they sum to. ``"absolute"``: each weight is a
        fraction of the portfolio value, and what a row leaves below 1 stays
        in cash (a row summing to 0.5 holds half); rows may sum to more than
        1 only up to what cash allows.
    commission, sell_tax, stop_loss, take_profit, touched_exit, position_limit, excursion_window, excursion_step, stop_from:
        The run's settings: see :class:`norvane.settings.Settings`.
    drop_missing:
        Held position columns that have no usable price column (absent from
        ``prices`` or without a single price) are an error unless this is
        ``True``, in which case they are dropped before the run. The remaining
        weights of each row are then rescaled among themselves.

    Returns
    -------
    Report
        Equity curve, trades with their excursions, next-day actions and
        statistics of the run.

    Notes
    -----
    A stock traded on a day without a price is traded at its last known price;
    bought before its first price, it is valued at cost until that price
    arrives. Trade returns are price returns from entry to exit (before
    commission and tax); with ``touched_exit`` the actual fill of a stop or
    take exit is at the level, not at that day's price. The README's "How a
    run trades" says how costs are charged.
    """
    settings = Settings(commission, sell_tax, stop_loss, take_profit, touched_exit, position_limit,
                        excursion_window, excursion_step, stop_from)
    with _interrupts.guarded():
        return simulate(prepare(prices, position, rebalance, retarget=retarget, weights=weights,
                                drop_missing=drop_missing), settings)
