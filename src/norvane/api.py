"""The pandas entry point: `backtest` checks the frames, runs the engine and returns its report.

`backtest` is the one function most users need. It takes a price frame and a
position frame, checks everything the engine would otherwise take at face
value, converts both to the exact array layout the engine expects
(`norvane._frames`) and returns a `norvane.report.Report`.
"""

from __future__ import annotations

import pandas as pd

from norvane import _interrupts
from norvane._engine import simulate
from norvane._frames import prepare
from norvane._schedule import Schedule
from norvane.report import Report
from norvane.settings import Settings

__all__ = ["backtest", "Schedule"]


def backtest(
    prices: pd.DataFrame,
    position: pd.DataFrame,
    rebalance: Schedule = None,
    *,
    retarget: bool | None = None,
    weights: str = "relative",
    commission: float = 0.001425,
    sell_tax: float = 0.003,
    stop_loss: float | None = None,
    take_profit: float | None = None,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    excursion_window: int = 0,
    excursion_step: int = 1,
    stop_from: str = "rebalance",
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
    commission:
        Rate charged on the traded value of every buy and every sale
        (0.001425: 0.1425 %).
    sell_tax:
        Rate charged on the value of every sale (0.003: 0.3 %).
    stop_loss:
        Exit a holding once its growth since the last rebalance (see
        ``stop_from``) falls below ``1 - stop_loss`` (a fraction; the sign
        is ignored). ``None``: no stop.
    take_profit:
        Exit a holding once that growth rises above ``1 + take_profit``.
        ``None``: no target.
    touched_exit:
        ``True``: exit on the day a level is crossed, at the level itself.
        ``False``: exit at the next day's price.
    position_limit:
        Largest value of one stock at a rebalance, as a fraction of the
        portfolio value (1.0: no limit).
    excursion_window:
        Besides the excursion at exit, sample every trade's excursion at the
        day offsets ``excursion_step, 2 * excursion_step, ...`` below this
        many days after its entry (0: none).
    excursion_step:
        Days between two samples of ``excursion_window``.
    stop_from:
        Where a holding's growth for ``stop_loss`` and ``take_profit`` is
        measured from: ``"rebalance"``, the last rebalance (which restarts it
        for every holding), or ``"entry"``, the holding's entry (a rebalance
        that keeps or tops up a holding leaves its growth alone, and a stop
        found on a rebalance day still exits the next day).
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
    take exit is at the level, not at that day's price. The docs' "How a
    run trades" says how costs are charged.
    """
    settings = Settings(commission, sell_tax, stop_loss, take_profit, touched_exit, position_limit,
                        excursion_window, excursion_step, stop_from)
    with _interrupts.guarded():
        return simulate(prepare(prices, position, rebalance, retarget=retarget, weights=weights,
                                drop_missing=drop_missing), settings)
