"""What a backtest leaves behind: equity, trades, next-day actions and statistics.

A :class:`Report` is plain pandas data plus a few derived views. It can be
built from any equity series and trade table, so the statistics do not depend
on how the run was made. Plotting and the HTML export need matplotlib, which
is imported only when they are called.
"""

from __future__ import annotations

import base64
import html
import io
import math
import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["Report", "EXCURSION_FIELDS"]

#: The six values of an excursion record, in record order. In the trade
#: table the values at exit carry these names; the values sampled ``t`` days
#: after entry carry the suffix ``_{t}d``.
EXCURSION_FIELDS = (
    "adverse_excursion",
    "favourable_excursion",
    "favourable_before_adverse",
    "drawdown",
    "profit_days",
    "return",
)

_TRADE_COLUMNS = (
    "stock",
    "entry_date",
    "exit_date",
    "entry_signal_date",
    "exit_signal_date",
    "entry_value",
    "holding_days",
) + EXCURSION_FIELDS

_YEAR = pd.Timedelta(days=365.25)


class Report:
    """Results of one backtest.

    Attributes
    ----------
    equity:
        Portfolio value per trading day, starting at 1.0 on the first price
        date on or after the first position date.
    trades:
        One row per trade, closed trades first in closing order, then the
        trades still open (``exit_date`` NaT). Columns: ``stock``,
        ``entry_date`` and ``exit_date`` (the days traded), ``entry_signal_date``
        and ``exit_signal_date`` (the trading day before each, on whose close
        the trade was decided), ``entry_value`` (target value at entry, in
        units of the starting capital), ``holding_days`` (trading days from
        entry to exit, or to the last date for open trades), the excursion
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
    next_weights:
        Target weights of the position row in force, scaled to sum to one.
    params:
        The settings of the run, for display.
    """

    def __init__(
        self,
        equity: pd.Series,
        trades: pd.DataFrame | None = None,
        *,
        actions: pd.Series | None = None,
        weights: pd.Series | None = None,
        next_weights: pd.Series | None = None,
        params: Mapping[str, Any] | None = None,
        periods_per_year: float = 252.0,
    ) -> None:
        if not isinstance(equity, pd.Series) or not isinstance(equity.index, pd.DatetimeIndex):
            raise TypeError("equity: expected a pandas Series with a DatetimeIndex")
        if len(equity) == 0:
            raise ValueError("equity: the series is empty")
        self.equity = equity.astype(np.float64).rename("equity")
        if trades is None:
            trades = pd.DataFrame({c: pd.Series(dtype=_column_dtype(c)) for c in _TRADE_COLUMNS})
        missing = [c for c in ("entry_date", "exit_date", "holding_days", "return") if c not in trades]
        if missing:
            raise ValueError(f"trades: missing columns {missing}")
        self.trades = trades
        self.actions = actions if actions is not None else pd.Series(dtype=object, name="action")
        self.weights = weights if weights is not None else pd.Series(dtype=np.float64, name="weight")
        self.next_weights = (
            next_weights if next_weights is not None else pd.Series(dtype=np.float64, name="next_weight")
        )
        self.params = dict(params or {})
        self.periods_per_year = float(periods_per_year)

    # -- derived series ----------------------------------------------------

    @property
    def returns(self) -> pd.Series:
        """Daily portfolio returns (from the second date on)."""
        eq = self.equity
        return (eq / eq.shift(1) - 1.0).iloc[1:].rename("returns")

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
        ``exposure``                  share of days that end with at least one holding
        ============================  ==============================================
        """
        eq = self.equity
        rets = self.returns
        ppy = self.periods_per_year

        total = eq.iloc[-1] / eq.iloc[0] - 1.0
        years = (eq.index[-1] - eq.index[0]) / _YEAR
        cagr = (1.0 + total) ** (1.0 / years) - 1.0 if years > 0 and total > -1.0 else math.nan

        mean = rets.mean() if len(rets) else math.nan
        std = rets.std(ddof=1) if len(rets) > 1 else math.nan
        downside = math.sqrt((np.minimum(rets.to_numpy(), 0.0) ** 2).mean()) if len(rets) else math.nan
        sharpe = _ratio(mean, std) * math.sqrt(ppy)
        sortino = _ratio(mean, downside) * math.sqrt(ppy)

        dd = self.drawdown
        max_dd = float(dd.min())
        trough = dd.idxmin() if max_dd < 0 else pd.NaT
        peak = eq.loc[:trough].idxmax() if max_dd < 0 else pd.NaT
        calmar = _ratio(cagr, -max_dd)

        closed = self.closed_trades
        r = closed["return"].astype(np.float64)
        gains, losses = r[r > 0].sum(), -r[r < 0].sum()
        if len(r) == 0:
            profit_factor = math.nan
        elif losses > 0:
            profit_factor = gains / losses
        else:
            profit_factor = math.inf if gains > 0 else math.nan

        return pd.Series(
            {
                "start": eq.index[0],
                "end": eq.index[-1],
                "total_return": float(total),
                "cagr": float(cagr),
                "annual_volatility": float(std * math.sqrt(ppy)),
                "sharpe": float(sharpe),
                "sortino": float(sortino),
                "calmar": float(calmar),
                "max_drawdown": max_dd,
                "max_drawdown_peak": peak,
                "max_drawdown_trough": trough,
                "trades": int(len(closed)),
                "open_trades": int(len(self.trades) - len(closed)),
                "win_rate": float((r > 0).mean()) if len(r) else math.nan,
                "avg_trade_return": float(r.mean()) if len(r) else math.nan,
                "profit_factor": float(profit_factor),
                "avg_holding_days": float(closed["holding_days"].mean()) if len(r) else math.nan,
                "exposure": self._exposure(),
            },
            dtype=object,
            name="stats",
        )

    def _exposure(self) -> float:
        # +1 on the entry day, -1 on the exit day: a day counts when the
        # running count of holdings at its close is positive.
        dates = self.equity.index
        change = np.zeros(len(dates) + 1, dtype=np.int64)
        entries = dates.searchsorted(pd.DatetimeIndex(self.trades["entry_date"]), side="left")
        np.add.at(change, entries, 1)
        exits = self.trades["exit_date"].dropna()
        np.add.at(change, dates.searchsorted(pd.DatetimeIndex(exits), side="left"), -1)
        held = np.cumsum(change[:-1]) > 0
        return float(held.mean())

    def summary(self) -> str:
        """The statistics as an aligned two-column text table."""
        rows = [(_LABELS.get(k, k), _format_stat(k, v)) for k, v in self.stats().items()]
        width = max(len(label) for label, _ in rows)
        return "\n".join(f"{label:<{width}}  {value:>14}" for label, value in rows)

    def __repr__(self) -> str:
        eq = self.equity
        return (
            f"<Report {eq.index[0].date()}..{eq.index[-1].date()}: final equity {eq.iloc[-1]:.4f}, "
            f"{len(self.trades)} trades, {len(self.actions)} actions for the next day>"
        )

    # -- figures and export -------------------------------------------------

    def plot(self) -> Figure:
        """Equity with its drawdown beneath, and the trades' adverse against
        favourable excursion at exit, green for gains and red for losses.

        Needs matplotlib. The figure is built without pyplot (rendering with
        the Agg backend), so no window opens and no global state changes.
        """
        Figure, _ = _matplotlib()
        fig = Figure(figsize=(12, 6.5), layout="constrained")
        grid = fig.add_gridspec(3, 2, width_ratios=(1.7, 1))
        ax_eq = fig.add_subplot(grid[:2, 0])
        ax_dd = fig.add_subplot(grid[2, 0], sharex=ax_eq)
        ax_ex = fig.add_subplot(grid[:, 1])

        ax_eq.plot(self.equity.index, self.equity.to_numpy(), color="#1f5fa8", linewidth=1.2)
        ax_eq.set_ylabel("equity")
        ax_eq.set_title("Equity")
        ax_eq.grid(alpha=0.3)
        ax_eq.tick_params(labelbottom=False)
        dd = self.drawdown * 100
        ax_dd.fill_between(dd.index, dd.to_numpy(), 0.0, color="#c0392b", alpha=0.45, linewidth=0)
        ax_dd.set_ylabel("drawdown %")
        ax_dd.grid(alpha=0.3)

        t = self.trades
        ax_ex.set_title("Trade excursions at exit")
        ax_ex.set_xlabel("adverse excursion %")
        ax_ex.set_ylabel("favourable excursion %")
        ax_ex.grid(alpha=0.3)
        if len(t) and "adverse_excursion" in t and "favourable_excursion" in t:
            win = (t["return"] > 0).to_numpy()
            mae = -t["adverse_excursion"].to_numpy(dtype=np.float64) * 100
            mfe = t["favourable_excursion"].to_numpy(dtype=np.float64) * 100
            ax_ex.scatter(mae[win], mfe[win], s=9, color="#27ae60", alpha=0.6, label="gain")
            ax_ex.scatter(mae[~win], mfe[~win], s=9, color="#c0392b", alpha=0.6, label="loss")
            ax_ex.legend(loc="upper right")
        else:
            ax_ex.text(0.5, 0.5, "no trades", ha="center", va="center", transform=ax_ex.transAxes)
        return fig

    def to_html(self, path: str | os.PathLike[str]) -> str:
        """Write the report as one self-contained HTML file and return its path.

        The file holds the run settings, the statistics table, the figure of
        :meth:`plot` embedded as a base64 PNG, the next-day actions and the
        trade table. Needs matplotlib.
        """
        _, FigureCanvasAgg = _matplotlib()
        fig = self.plot()
        buffer = io.BytesIO()
        FigureCanvasAgg(fig).print_png(buffer)
        image = base64.b64encode(buffer.getvalue()).decode("ascii")

        stats_rows = "".join(
            f"<tr><th>{html.escape(_LABELS.get(k, k))}</th><td>{html.escape(_format_stat(k, v))}</td></tr>"
            for k, v in self.stats().items()
        )
        params_rows = "".join(
            f"<tr><th>{html.escape(str(k))}</th><td>{html.escape(str(v))}</td></tr>"
            for k, v in self.params.items()
        )
        if len(self.actions):
            actions = "".join(
                f"<tr><th>{html.escape(str(s))}</th><td>{html.escape(str(a))}</td></tr>"
                for s, a in self.actions.items()
            )
            actions = f"<table class='kv'>{actions}</table>"
        else:
            actions = "<p>None.</p>"
        shown = [c for c in _TRADE_COLUMNS if c in self.trades]
        trades = self.trades[shown].to_html(
            index=False, classes="trades", border=0, na_rep="", float_format=lambda x: f"{x:.4f}"
        )
        eq = self.equity
        document = _HTML.format(
            title=html.escape(f"norvane report {eq.index[0].date()} to {eq.index[-1].date()}"),
            params=params_rows,
            stats=stats_rows,
            image=image,
            actions=actions,
            count=len(self.trades),
            trades=trades,
        )
        target = os.fspath(path)
        with open(target, "w", encoding="utf-8") as handle:
            handle.write(document)
        return target


# ---------------------------------------------------------------------------
# helpers


def _column_dtype(name: str) -> Any:
    if name == "stock":
        return object
    if name.endswith("_date"):
        return "datetime64[ns]"
    if name == "holding_days":
        return np.int64
    return np.float64


def _ratio(numerator: float, denominator: float) -> float:
    if math.isnan(numerator) or math.isnan(denominator):
        return math.nan
    if denominator == 0:
        return math.inf if numerator > 0 else math.nan
    return numerator / denominator


def _matplotlib() -> tuple[Any, Any]:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError(
            "plotting and HTML reports need matplotlib: pip install 'norvane[report]'"
        ) from exc
    return Figure, FigureCanvasAgg


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
    "exposure": "Exposure",
}

_PERCENT = {"total_return", "cagr", "annual_volatility", "max_drawdown", "win_rate", "avg_trade_return", "exposure"}


def _format_stat(key: str, value: Any) -> str:
    if isinstance(value, pd.Timestamp) or value is pd.NaT:
        return "-" if value is pd.NaT else str(value.date()) if value == value.normalize() else str(value)
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    value = float(value)
    if math.isnan(value):
        return "-"
    if key in _PERCENT:
        return f"{value * 100:.2f}%"
    if key == "avg_holding_days":
        return f"{value:.1f}"
    return f"{value:.2f}"


_HTML = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{title}</title>
<style>
body {{ font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; margin: 2em auto;
       max-width: 1200px; color: #222; padding: 0 1em; }}
h1 {{ font-size: 1.5em; }} h2 {{ font-size: 1.15em; margin-top: 1.6em; }}
.row {{ display: flex; gap: 3em; flex-wrap: wrap; align-items: flex-start; }}
table {{ border-collapse: collapse; font-size: 0.85em; }}
th, td {{ padding: 0.25em 0.7em; border-bottom: 1px solid #e3e3e3; }}
table.kv th {{ text-align: left; font-weight: 600; }} table.kv td {{ text-align: right; }}
table.trades th {{ position: sticky; top: 0; background: #f4f6f8; }}
table.trades td {{ text-align: right; white-space: nowrap; }}
.scroll {{ max-height: 32em; overflow: auto; border: 1px solid #e3e3e3; }}
img {{ max-width: 100%; }}
</style></head><body>
<h1>{title}</h1>
<div class="row">
<div><h2>Statistics</h2><table class="kv">{stats}</table></div>
<div><h2>Settings</h2><table class="kv">{params}</table>
<h2>Next trading day</h2>{actions}</div>
</div>
<h2>Equity, drawdown and trade excursions</h2>
<img alt="equity, drawdown and trade excursions" src="data:image/png;base64,{image}">
<h2>Trades ({count})</h2>
<div class="scroll">{trades}</div>
</body></html>
"""
