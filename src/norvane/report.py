"""What a backtest leaves behind: equity, trades, next-day actions and statistics.

A `Report` is plain pandas data plus a few derived views. It can be
built from any equity series and trade table, so the statistics do not depend
on how the run was made. The figure and the HTML views are built in
`norvane._rendering`; the figure and the HTML page need matplotlib,
which is imported only when they are called.
"""

from __future__ import annotations

import functools
import math
import numbers
import os
from collections.abc import Mapping
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from norvane import _periods, _rendering
from norvane.excursions import edge_ratio as _edge_ratio
from norvane.excursions import stop_analysis as _stop_analysis
from norvane.excursions import tidy_excursions
from norvane.overfitting import RowAssessment
from norvane._statistics import TradeFacts, daily_returns, statistics
from norvane._trade_table import EXCURSION_FIELDS, TRADE_COLUMNS, empty_trade_frame, trade_frame

if TYPE_CHECKING:
    from norvane._engine import RunResult
    from matplotlib.figure import Figure

__all__ = ["Report", "EXCURSION_FIELDS"]

# The trade table's exit reasons, as the summary and the pages count them.
_EXIT_LABELS = {"rebalance": "rebalance", "stop_loss": "stop loss", "take_profit": "take profit",
                "open": "still open"}

# The levels the excursion figure and the HTML page try when none are given.
STOP_LEVELS = (0.03, 0.05, 0.08, 0.1, 0.15, 0.2)
TARGET_LEVELS = (0.1, 0.2, 0.3, 0.5, 0.75, 1.0)


class Report:
    """Results of one backtest.

    Attributes
    ----------
    equity:
        Portfolio value per trading day, starting at 1.0 on the first price
        date on or after the first position date.
    trades:
        (A frame, or a callable that makes it when it is first read.)
        One row per trade, closed trades first in closing order, then the
        trades still open (``exit_date`` NaT). Columns: ``stock``,
        ``entry_date`` and ``exit_date`` (the days traded), ``entry_signal_date``
        and ``exit_signal_date`` (the trading day before each, on whose close
        the trade was decided), ``entry_value`` (target value at entry, in
        units of the starting capital), ``holding_days`` (trading days from
        entry to exit, or to the last date for open trades), ``exit_reason``
        ("rebalance", "stop_loss", "take_profit" or "open"), the excursion
        values at exit (``adverse_excursion``, ``favourable_excursion``,
        ``favourable_before_adverse``, ``drawdown``, ``profit_days``,
        ``return``: the price return from entry to exit) and the same values
        sampled ``t`` days after entry as ``<name>_<t>d`` (NaN where the
        prices end before that day).
    actions:
        What the next trading day brings, by stock id: "enter", "exit" or
        "sl_tp_exit" (a stop-loss or take-profit exit).
    weights:
        Share of the portfolio value of each holding at the last date.
        Their sum is the ``gross_exposure`` statistic.
    next_weights:
        Target weights of the position row in force, scaled to sum to one.
    params:
        The settings of the run, for display.
    assessment:
        None, or how much of this run's Sharpe ratio the search that picked
        it explains: `norvane.overfitting.SweepAssessment.row` of the sweep
        row this run repeats. The HTML views show it; setting it checks that
        its returns are this run's.

    ``final_cash`` (keyword only) is the cash left at the end, in units of
    the starting capital, as the engine counted it. When it is None the
    ``final_cash`` statistic is derived from the final equity and weights.
    """

    _run: RunResult | None  # the run the report wraps, if any
    _equity: pd.Series | None
    _actions: pd.Series | None
    _weights: pd.Series | None
    _next_weights: pd.Series | None

    def __init__(
        self,
        equity: pd.Series,
        trades: pd.DataFrame | Callable[[], pd.DataFrame] | None = None,
        *,
        actions: pd.Series | None = None,
        weights: pd.Series | None = None,
        next_weights: pd.Series | None = None,
        params: Mapping[str, Any] | None = None,
        periods_per_year: float = 252.0,
        final_cash: float | None = None,
        assessment: RowAssessment | None = None,
    ) -> None:
        if not isinstance(equity, pd.Series) or not isinstance(equity.index, pd.DatetimeIndex):
            raise TypeError("equity: expected a pandas Series with a DatetimeIndex")
        if len(equity) == 0:
            raise ValueError("equity: the series is empty")
        self._run: RunResult | None = None
        self._run_trades = self._run_weights = False  # a run's columns are the truth until replaced
        self.equity = equity.astype(np.float64).rename("equity")
        if trades is None:
            trades = empty_trade_frame()
        # A callable makes the table when it is first needed.
        self._make_trades = trades if callable(trades) else None
        if not callable(trades):
            self.trades = trades
        self.actions = actions if actions is not None else pd.Series(dtype=object, name="action")
        self.weights = weights if weights is not None else pd.Series(dtype=np.float64, name="weight")
        self.next_weights = (
            next_weights if next_weights is not None else pd.Series(dtype=np.float64, name="next_weight")
        )
        self.params = dict(params or {})
        self.periods_per_year = float(periods_per_year)
        if final_cash is not None and (not isinstance(final_cash, numbers.Real) or isinstance(final_cash, bool)):
            raise TypeError(f"final_cash: expected a number or None, got {type(final_cash).__name__}")
        self._final_cash = None if final_cash is None else float(final_cash)
        self.assessment = assessment

    @classmethod
    def of_run(cls, run: RunResult) -> Report:
        """The report of an engine run (what `norvane.backtest` returns).

        It wraps the run's columns and makes each frame (the curve, the
        trade table, the next-day views) when it is first read; its
        statistics come from the columns, so a caller that asks only for
        ``stats()`` never pays for a frame.
        """
        report = cls.__new__(cls)
        report._run = run
        report._run_trades = report._run_weights = True
        report._equity = None
        report._make_trades = functools.partial(trade_frame, run)
        report._actions = report._weights = report._next_weights = None
        report.params = dict(run.params)
        report.periods_per_year = 252.0
        report._final_cash = None
        report._assessment = None
        return report

    # -- the run's data, each made on first use when the report wraps a run --

    def _from_run(self, slot: str, make: Callable[[RunResult], pd.Series]) -> pd.Series:
        value: pd.Series | None = getattr(self, slot)
        if value is None:
            assert self._run is not None  # a report made from frames has every slot set
            value = make(self._run)
            setattr(self, slot, value)
        return value

    @property
    def equity(self) -> pd.Series:
        """Portfolio value per trading day: see the class docstring."""
        return self._from_run("_equity", _equity_of)

    @equity.setter
    def equity(self, value: pd.Series) -> None:
        self._equity = value

    @property
    def trades(self) -> pd.DataFrame:
        """One row per trade: see the class docstring."""
        if self._make_trades is not None:
            self._trades = self._make_trades()
            self._make_trades = None
        return self._trades

    @trades.setter
    def trades(self, value: pd.DataFrame) -> None:
        missing = [c for c in ("entry_date", "exit_date", "holding_days", "return") if c not in value]
        if missing:
            raise ValueError(f"trades: missing columns {missing}")
        self._trades = value
        self._make_trades = None
        self._run_trades = False  # the statistics read this table now

    @property
    def actions(self) -> pd.Series:
        """What the next trading day brings, by stock: see the class docstring."""
        return self._from_run("_actions", _actions_of)

    @actions.setter
    def actions(self, value: pd.Series) -> None:
        self._actions = value

    @property
    def weights(self) -> pd.Series:
        """Share of the portfolio value of each holding at the last date."""
        return self._from_run("_weights", _weights_of)

    @weights.setter
    def weights(self, value: pd.Series) -> None:
        self._weights = value
        self._run_weights = False

    @property
    def next_weights(self) -> pd.Series:
        """Target weights of the position row in force, scaled to sum to one."""
        return self._from_run("_next_weights", _next_weights_of)

    @next_weights.setter
    def next_weights(self, value: pd.Series) -> None:
        self._next_weights = value

    @property
    def assessment(self) -> RowAssessment | None:
        return self._assessment

    @assessment.setter
    def assessment(self, value: RowAssessment | None) -> None:
        if value is not None:
            _check_assessment_matches(value, self.returns)
        self._assessment = value

    # -- derived series ----------------------------------------------------

    @property
    def returns(self) -> pd.Series:
        """Daily portfolio returns (from the second date on)."""
        return daily_returns(self.equity)

    @property
    def drawdown(self) -> pd.Series:
        """Fall of the equity from its running peak, 0 or negative."""
        eq = self.equity
        return (eq / eq.cummax() - 1.0).rename("drawdown")

    @property
    def closed_trades(self) -> pd.DataFrame:
        """The trades that were exited during the run."""
        return self.trades[self.trades["exit_date"].notna()]

    # -- statistics ----------------------------------------------------------

    def stats(self) -> pd.Series:
        """Performance statistics of the run.

        Returns are daily and annualised with ``periods_per_year`` (252); the
        compound annual growth uses calendar time (365.25 days a year). Ratios
        take a zero risk-free rate. Trade statistics cover closed trades and
        use their price returns.

        ============================  ==============================================
        ``start``, ``end``            first and last date of the equity curve
        ``total_return``              final over first equity, minus 1
        ``cagr``                      compound annual growth rate
        ``annual_volatility``         sample standard deviation of returns, annualised
        ``sharpe``                    mean over standard deviation of returns, annualised
        ``sortino``                   mean over downside deviation (root mean square of
                                      the negative returns over all days), annualised
        ``calmar``                    cagr over the depth of the maximum drawdown
        ``max_drawdown``              deepest fall from a running peak (negative)
        ``max_drawdown_peak``         date of the peak before it
        ``max_drawdown_trough``       date of its trough
        ``trades``                    number of closed trades
        ``open_trades``               number of trades open at the end
        ``win_rate``                  share of closed trades with a positive return
        ``avg_trade_return``          mean return of closed trades
        ``profit_factor``             sum of gains over sum of losses of closed trades
        ``avg_holding_days``          mean trading days held by closed trades
        ``time_in_market``            share of days that end with at least one holding
        ``gross_exposure``            sum of the final ``weights``: the share of the
                                      final portfolio value held in stocks (shorts
                                      count negative)
        ``final_cash``                cash left at the end, in units of the starting
                                      capital: the final equity times
                                      (1 - ``gross_exposure``), or the engine's own
                                      figure when one was passed as ``final_cash=``
        ============================  ==============================================
        """
        run = self._run
        if run is not None and self._equity is None:  # the curve as the run left it
            values, dates = run.equity[run.start:], run.dates[run.start:]
        else:
            values, dates = self.equity.to_numpy(dtype=np.float64), self.equity.index  # type: ignore[assignment]
        if run is not None and self._run_trades:
            trades = TradeFacts.of_run(run)
        else:
            trades = TradeFacts.of_table(self.trades, dates)
        # NaN weights (a run whose value went NaN) must show, not be skipped.
        if run is not None and self._run_weights:
            gross = float(run.weights[run.weights != 0.0].sum())
        else:
            gross = float(self.weights.to_numpy(dtype=np.float64).sum())
        cash = float(values[-1]) * (1.0 - gross) if self._final_cash is None else self._final_cash
        stats = statistics(values, dates, self.periods_per_year, trades, gross, cash)
        return pd.Series(list(stats.values()), index=list(stats), dtype=object, name="stats")

    def summary(self) -> str:
        """The statistics as an aligned two-column text table, then the
        assessment's rows when there is one."""
        rows = self._stat_rows() + self._exit_rows() + self._assessment_rows()
        width = max(len(label) for label, _ in rows)
        return "\n".join(f"{label:<{width}}  {value:>14}" for label, value in rows)

    def __repr__(self) -> str:
        eq = self.equity
        return (
            f"<Report {eq.index[0].date()}..{eq.index[-1].date()}: final equity {eq.iloc[-1]:.4f}, "
            f"{len(self.trades)} trades, {len(self.actions)} actions for the next day>"
        )

    # -- excursions ------------------------------------------------------------
    # The analytics live in norvane.excursions; these are views of this run.

    @property
    def excursions(self) -> pd.DataFrame:
        """The trades' excursions as a tidy frame: one row per trade and
        sampled offset, then one at its exit.

        Columns ``trade`` (the label in `trades`), ``offset`` (days
        after entry, or ``"exit"``), ``held`` (still open that day), then
        ``adverse_excursion``, ``favourable_excursion``,
        ``favourable_before_adverse``, ``drawdown``, ``profit_days`` and
        ``return``. Offsets come from ``excursion_window`` and
        ``excursion_step`` of the run; a sampled value follows the price past
        the exit. See `norvane.excursions.tidy_excursions`.
        """
        return tidy_excursions(self.trades)

    def edge_ratio(self) -> pd.DataFrame:
        """Mean favourable over mean adverse excursion at each offset: the
        edge-ratio curve of the entries (see
        `norvane.excursions.edge_ratio`). `plot_excursions` draws it."""
        return _edge_ratio(self.excursions)

    def stop_analysis(self, stop_levels: Any = (), target_levels: Any = ()) -> pd.DataFrame:
        """For each stop and target level (fractions, as ``stop_loss`` and
        ``take_profit``), the share of winning and losing closed trades whose
        excursions crossed it and the win rate and mean return had they
        exited there: an estimate from excursions, not a rerun (see
        `norvane.excursions.stop_analysis` for how it differs)."""
        return _stop_analysis(self.trades, stop_levels, target_levels)

    def plot_excursions(self, stop_levels: Any = None, target_levels: Any = None) -> Figure:
        """The edge-ratio curve, and the stop and target levels' estimates:
        share of winners and losers crossing each level, and the mean trade
        return had the trades exited there. Needs matplotlib.

        With no levels given, it tries ``STOP_LEVELS`` and ``TARGET_LEVELS``
        inside the run's own ``stop_loss`` and ``take_profit`` (its stops cut
        the excursions short, so looser levels would say nothing).
        """
        stops, targets = self._levels_to_try()
        analysis = self.stop_analysis(stops if stop_levels is None else stop_levels,
                                      targets if target_levels is None else target_levels)
        return _rendering.excursion_figure(self.edge_ratio(), analysis)

    def _levels_to_try(self) -> tuple[list[float], list[float]]:
        def inside(levels: tuple[float, ...], own: Any) -> list[float]:
            bound = abs(float(own)) if isinstance(own, numbers.Real) and not isinstance(own, bool) else math.inf
            return [level for level in levels if level < bound]

        return inside(STOP_LEVELS, self.params.get("stop_loss")), inside(TARGET_LEVELS, self.params.get("take_profit"))

    def _has_excursions(self) -> bool:
        return all(c in self.trades for c in EXCURSION_FIELDS) and bool(self.trades["exit_date"].notna().any())

    # -- periods and rolling views ---------------------------------------------

    def monthly_returns(self) -> pd.DataFrame:
        """Years by months (columns 1 to 12): each month's return, compounded
        over its days (the first month from the curve's first value); NaN for
        a month the run does not reach. ``plot_monthly_returns`` draws it."""
        return _periods.monthly_returns(self.equity)

    def yearly_returns(self) -> pd.Series:
        """Each calendar year's return, compounded over its days."""
        return _periods.yearly_returns(self.equity)

    def drawdowns(self, top: int | None = 5) -> pd.DataFrame:
        """The ``top`` deepest drawdowns (None: all), deepest first: ``peak``,
        ``trough`` and ``recovery`` dates (NaT while not recovered),
        ``depth`` (negative), ``days`` (calendar days from peak to recovery,
        or to the last date) and ``open`` (not recovered by the last date)."""
        return _periods.drawdown_episodes(self.equity, top)

    def rolling_sharpe(self, window: int = _periods.ROLLING_WINDOW) -> pd.Series:
        """The Sharpe ratio of the last ``window`` daily returns (126 by
        default, about six months), annualised with ``periods_per_year``."""
        return _periods.rolling_sharpe(self.returns, window, self.periods_per_year)

    def rolling_volatility(self, window: int = _periods.ROLLING_WINDOW) -> pd.Series:
        """The volatility of the last ``window`` daily returns (126 by
        default), annualised with ``periods_per_year``."""
        return _periods.rolling_volatility(self.returns, window, self.periods_per_year)

    # -- figures and export -------------------------------------------------

    def plot(self, log_scale: bool = False) -> Figure:
        """Equity with its drawdown beneath, and the trades' adverse against
        favourable excursion at exit, green for gains and red for losses.
        ``log_scale`` draws the equity on a logarithmic axis (a long run's
        curve reads better so).

        Needs matplotlib. The figure is built without pyplot (rendering with
        the Agg backend), so no window opens and no global state changes.
        """
        if not isinstance(log_scale, (bool, np.bool_)):
            raise TypeError(f"log_scale: expected a bool, got {type(log_scale).__name__}")
        return _rendering.figure(self.equity, self.drawdown, self.trades, log_scale=bool(log_scale))

    def plot_monthly_returns(self) -> Figure:
        """The monthly returns as a heatmap of years by months. Needs matplotlib."""
        return _rendering.monthly_figure(self.monthly_returns())

    def to_html(self, path: str | os.PathLike[str] | None = None) -> str:
        """The report as one self-contained HTML page.

        The page holds the run settings, the statistics table, the figure of
        `plot` embedded as a base64 PNG, the monthly-returns heatmap and the
        worst drawdowns, the next-day actions, the
        excursion section (the figure of `plot_excursions` and the
        estimates of `stop_analysis` for single levels, when there are
        closed trades with excursions) and the trade table. Needs matplotlib. With no ``path`` the page is returned
        as a string. With a ``path`` it is written there (a temporary file in
        the same directory replaces the target, so a failed write never
        leaves a partial page over a complete one) and the path is returned
        as a string.
        """
        document = _rendering.page(
            title=self._title(),
            stats=self._stat_rows() + self._exit_rows(),
            params=self.params,
            actions=self.actions,
            trades=self.trades[[c for c in TRADE_COLUMNS if c in self.trades]],
            image=_rendering.png_base64(self.plot()),
            excursions=self._excursion_section(),
            assessment=self._assessment_section(),
            periods=(_rendering.png_base64(self.plot_monthly_returns()), self.drawdowns()),
        )
        return document if path is None else _rendering.write_atomic(path, document)

    def _excursion_section(self) -> tuple[str, pd.DataFrame] | None:
        if not self._has_excursions():
            return None
        analysis = self.stop_analysis(*self._levels_to_try())
        image = _rendering.png_base64(_rendering.excursion_figure(self.edge_ratio(), analysis))
        single = analysis[analysis["stop"].isna() | analysis["target"].isna()]
        return image, single

    def _assessment_section(self) -> tuple[str, list[tuple[str, str]]] | None:
        found = self.assessment
        if found is None:
            return None
        figure = _rendering.overfitting_figure(found.pbo.performance, found.pbo.pbo)
        return _rendering.png_base64(figure), self._assessment_rows()

    def _assessment_rows(self) -> list[tuple[str, str]]:
        found = self.assessment
        if found is None:
            return []
        yearly = math.sqrt(self.periods_per_year)
        return [
            ("Sweep row", str(found.row)),
            ("Trials", f"{found.n_trials:,}"),
            ("Sharpe ratio (annualised)", f"{found.sharpe * yearly:.2f}"),
            ("Best of the trials by luck", f"{found.expected_max_sharpe * yearly:.2f}"),
            ("Deflated Sharpe ratio", _percent(found.deflated_sharpe)),
            ("PBO of the search", f"{_percent(found.pbo.pbo)} of {found.pbo.splits:,} splits"),
        ]

    def _repr_html_(self) -> str:
        # Notebooks call this for every displayed report: no figure, so it
        # stays fast and works without matplotlib.
        return _rendering.notebook(
            title=self._title(), stats=self._stat_rows() + self._exit_rows() + self._assessment_rows(),
            trades=self.trades,
            actions=len(self.actions)
        )

    def _title(self) -> str:
        eq = self.equity
        return f"norvane report {eq.index[0].date()} to {eq.index[-1].date()}"

    def _exit_rows(self) -> list[tuple[str, str]]:
        """How many trades ended for each reason, when the table says."""
        if "exit_reason" not in self.trades:
            return []
        counts = self.trades["exit_reason"].value_counts()
        return [(f"Exits: {label}", f"{int(counts.get(reason, 0)):,}") for reason, label in _EXIT_LABELS.items()]

    def _stat_rows(self) -> list[tuple[str, str]]:
        return [(_LABELS.get(k, k), _format_stat(k, v))  # type: ignore[call-overload, arg-type]  # keys are str
                for k, v in self.stats().items()]


# ---------------------------------------------------------------------------
# helpers


def _equity_of(run: RunResult) -> pd.Series:
    return pd.Series(run.equity[run.start:], index=run.dates[run.start:], name="equity")


def _actions_of(run: RunResult) -> pd.Series:
    return _by_name(run.action_stocks, run.actions, run.names, object, "action")


def _weights_of(run: RunResult) -> pd.Series:
    held = run.weights != 0.0
    return _by_name(run.weight_stocks[held], run.weights[held], run.names, np.float64, "weight")


def _next_weights_of(run: RunResult) -> pd.Series:
    raw = _by_name(run.next_weight_stocks, run.next_weights, run.names, np.float64, "next_weight")
    total = raw.sum()
    return raw / total if total > 0 else raw


def _by_name(stocks: np.ndarray, values: np.ndarray, names: list[str], dtype: Any, label: str) -> pd.Series:
    series: pd.Series = pd.Series(
        values,
        index=pd.Index(np.asarray(names, dtype=object)[stocks], dtype=object, name="stock"),
        dtype=dtype,
        name=label,
    )
    return series


def _check_assessment_matches(assessment: Any, returns: pd.Series) -> None:
    """An assessment of another run would put its numbers beside these
    statistics unnoticed: its returns must be this run's."""
    if not isinstance(assessment, RowAssessment):
        raise TypeError(f"assessment: expected one row's assessment (norvane.overfitting.assess(results)"
                        f".row(label)), got {type(assessment).__name__}")
    theirs = assessment.returns.reindex(returns.index).to_numpy(dtype=np.float64)
    own = returns.to_numpy(dtype=np.float64)
    missing = int(np.isnan(theirs).sum())
    if missing or not np.allclose(theirs, own, rtol=1e-9, atol=1e-12, equal_nan=True):
        problem = (f"{missing} of this run's dates are not in it" if missing
                   else "its returns differ from this run's")
        raise ValueError(f"assessment: sweep row {assessment.row!r} is not this run ({problem}); "
                         "assess the sweep row this report repeats")


def _percent(value: float) -> str:
    return "-" if math.isnan(value) else f"{value * 100:.1f}%"


_LABELS = {
    "start": "Start",
    "end": "End",
    "total_return": "Total return",
    "cagr": "CAGR",
    "annual_volatility": "Annual volatility",
    "sharpe": "Sharpe ratio",
    "sortino": "Sortino ratio",
    "calmar": "Calmar ratio",
    "max_drawdown": "Max drawdown",
    "max_drawdown_peak": "Max drawdown peak",
    "max_drawdown_trough": "Max drawdown trough",
    "trades": "Closed trades",
    "open_trades": "Open trades",
    "win_rate": "Win rate",
    "avg_trade_return": "Avg trade return",
    "profit_factor": "Profit factor",
    "avg_holding_days": "Avg holding days",
    "time_in_market": "Time in market",
    "gross_exposure": "Gross exposure",
    "final_cash": "Final cash",
}

_PERCENT = {
    "total_return", "cagr", "annual_volatility", "max_drawdown", "win_rate", "avg_trade_return",
    "time_in_market", "gross_exposure",
}


def _format_stat(key: str, value: Any) -> str:
    if isinstance(value, pd.Timestamp) or value is pd.NaT:
        return "-" if value is pd.NaT else str(value.date()) if value == value.normalize() else str(value)  # type: ignore[union-attr]  # not NaT here
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    value = float(value)
    if math.isnan(value):
        return "-"
    if key in _PERCENT:
        return f"{value * 100:.2f}%"
    if key == "avg_holding_days":
        return f"{value:.1f}"
    if key == "final_cash":  # like equity: a share of the starting capital
        return f"{value:.4f}"
    return f"{value:.2f}"
