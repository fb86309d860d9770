"""The figure and the HTML views of a report, and the atomic file write.

Plain functions over plain data (series, frames and already formatted
statistic rows), so this module knows nothing of `norvane.Report`.
matplotlib is imported only when a figure is built; the notebook view never
needs it.
"""

from __future__ import annotations

import base64
import functools
import html
import io
import math
import os
import secrets
import stat
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

__all__ = ["figure", "monthly_figure", "excursion_figure", "overfitting_figure", "png_base64", "page", "notebook",
           "write_atomic"]

# Rows of trades the notebook view shows, and the columns it shows of them.
_PREVIEW_ROWS = 5
_PREVIEW_COLUMNS = ("stock", "entry_date", "exit_date", "holding_days", "return")


def figure(equity: pd.Series, drawdown: pd.Series, trades: pd.DataFrame, log_scale: bool = False) -> Figure:
    """Equity (on a log axis with ``log_scale``) with its drawdown beneath,
    and the trades' adverse against favourable excursion at exit, green for
    gains and red for losses."""
    Figure, _ = _matplotlib()
    fig = Figure(figsize=(12, 6.5), layout="constrained")
    grid = fig.add_gridspec(3, 2, width_ratios=(1.7, 1))
    ax_eq = fig.add_subplot(grid[:2, 0])
    ax_dd = fig.add_subplot(grid[2, 0], sharex=ax_eq)
    ax_ex = fig.add_subplot(grid[:, 1])

    ax_eq.plot(equity.index, equity.to_numpy(), color="#1f5fa8", linewidth=1.2)
    ax_eq.set_ylabel("equity")
    if log_scale:
        ax_eq.set_yscale("log")
    ax_eq.set_title("Equity (log scale)" if log_scale else "Equity")
    ax_eq.grid(alpha=0.3)
    ax_eq.tick_params(labelbottom=False)
    dd = drawdown * 100
    ax_dd.fill_between(dd.index, dd.to_numpy(), 0.0, color="#c0392b", alpha=0.45, linewidth=0)
    ax_dd.set_ylabel("drawdown %")
    ax_dd.grid(alpha=0.3)

    t = trades
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


def monthly_figure(table: pd.DataFrame) -> Figure:
    """Monthly returns as a heatmap, years down and months across, each cell
    labelled in percent; red for losses, green for gains."""
    Figure, _ = _matplotlib()
    values = table.to_numpy(dtype=np.float64) * 100
    fig = Figure(figsize=(12, 0.9 + 0.32 * max(len(table), 1)), layout="constrained")
    ax = fig.add_subplot()
    finite = values[np.isfinite(values)]
    bound = float(np.abs(finite).max()) if finite.size else 1.0
    image = ax.imshow(values, cmap="RdYlGn", vmin=-bound, vmax=bound, aspect="auto")
    ax.set_xticks(range(12), ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"])
    ax.set_yticks(range(len(table)), [str(year) for year in table.index])
    for (row, column), value in np.ndenumerate(values):
        if np.isfinite(value):
            ax.text(column, row, f"{value:.1f}", ha="center", va="center", fontsize=7)
    ax.set_title("Monthly returns %")
    fig.colorbar(image, ax=ax, shrink=0.8)
    return fig


def excursion_figure(edge: pd.DataFrame, analysis: pd.DataFrame) -> Figure:
    """The edge ratio by day offset (the exit's as a dashed line), and the
    stop and target levels' estimates from excursions: share of winners and
    losers crossing each level, and the mean trade return had the trades
    exited there (right axis; dotted: as traded).

    ``edge`` is a frame of `norvane.excursions.edge_ratio`, ``analysis`` one
    of `norvane.excursions.stop_analysis`."""
    Figure, _ = _matplotlib()
    fig = Figure(figsize=(12, 3.8), layout="constrained")
    ax_edge, ax_stop, ax_target = fig.subplots(1, 3)

    ax_edge.set_title("Edge ratio (mean favourable / mean adverse)")
    ax_edge.set_xlabel("days after entry")
    ax_edge.grid(alpha=0.3)
    ax_edge.axhline(1.0, color="#888888", linewidth=0.8)
    days = [o for o in edge.index if o != "exit"]
    if days:
        ax_edge.plot(days, edge.loc[days, "edge_ratio"].to_numpy(dtype=np.float64), marker="o",
                     color="#1f5fa8", label="sampled")
    if "exit" in edge.index:
        ax_edge.axhline(float(edge.loc["exit", "edge_ratio"]),  # type: ignore[arg-type]  # one cell: a number
                        color="#1f5fa8", linestyle="--", linewidth=1, label="at exit")
    if len(edge):
        ax_edge.legend(loc="best")

    as_traded = analysis[analysis["stop"].isna() & analysis["target"].isna()]["est_avg_return"]
    for ax, level, other, title, prefix in (
        (ax_stop, "stop", "target", "Stop loss (estimate from excursions)", "stopped"),
        (ax_target, "target", "stop", "Take profit (estimate from excursions)", "targeted"),
    ):
        rows = analysis[analysis[level].notna() & analysis[other].isna()]
        ax.set_title(title)
        ax.set_xlabel(f"{level} level %")
        ax.set_ylabel("share of trades crossing %")
        ax.grid(alpha=0.3)
        if not len(rows):
            ax.text(0.5, 0.5, "no levels", ha="center", va="center", transform=ax.transAxes)
            continue
        x = rows[level].to_numpy(dtype=np.float64) * 100
        ax.plot(x, rows[f"winners_{prefix}"].to_numpy(dtype=np.float64) * 100, marker="o", color="#27ae60",
                label="winners")
        ax.plot(x, rows[f"losers_{prefix}"].to_numpy(dtype=np.float64) * 100, marker="o", color="#c0392b",
                label="losers")
        right = ax.twinx()
        right.plot(x, rows["est_avg_return"].to_numpy(dtype=np.float64) * 100, marker="s", color="#555555",
                   label="mean return (right)")
        if len(as_traded):
            right.plot(x[[0, -1]], [float(as_traded.iloc[0]) * 100] * 2, color="#555555", linestyle=":",
                       linewidth=1, label="as traded (right)")
        handles = ax.get_legend_handles_labels()[0] + right.get_legend_handles_labels()[0]
        right.legend(handles=handles, loc="best", fontsize="small")  # the twin is drawn on top
        right.set_ylabel("mean trade return %")
    return fig


def overfitting_figure(performance: pd.DataFrame, pbo: float) -> Figure:
    """The search's cross-validation: how the in-sample best ranked out of
    sample on every split (logits; at or below 0 is the PBO), and its
    in-sample against out-of-sample metric.

    ``performance`` is the frame of `norvane.overfitting.PBOResult`."""
    Figure, _ = _matplotlib()
    fig = Figure(figsize=(12, 3.6), layout="constrained")
    ax_logit, ax_pairs = fig.subplots(1, 2)
    logits = performance["logit"].to_numpy(dtype=np.float64)
    ax_logit.hist(logits, bins=min(40, max(10, len(logits) // 20)), color="#1f5fa8", alpha=0.8)
    ax_logit.axvline(0.0, color="#c0392b", linewidth=1.2)
    ax_logit.set_title(f"Out-of-sample rank of the in-sample best (PBO {pbo * 100:.1f}%)")
    ax_logit.set_xlabel("logit of the relative rank (left of 0: below the median)")
    ax_logit.set_ylabel("splits")
    ax_logit.grid(alpha=0.3)
    ax_pairs.scatter(performance["in_sample"].to_numpy(dtype=np.float64),
                     performance["out_of_sample"].to_numpy(dtype=np.float64), s=6, color="#555555", alpha=0.4)
    ax_pairs.axhline(0.0, color="#888888", linewidth=0.8)
    ax_pairs.set_title("The in-sample best on each split")
    ax_pairs.set_xlabel("in-sample metric")
    ax_pairs.set_ylabel("out-of-sample metric")
    ax_pairs.grid(alpha=0.3)
    return fig


def png_base64(fig: Figure) -> str:
    """The figure rendered by Agg as a PNG, base64 encoded for a data URI."""
    _, FigureCanvasAgg = _matplotlib()
    buffer = io.BytesIO()
    FigureCanvasAgg(fig).print_png(buffer)  # type: ignore[no-untyped-call]  # unannotated in matplotlib
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def page(
    *,
    title: str,
    stats: Sequence[tuple[str, str]],
    params: Mapping[str, Any],
    actions: pd.Series,
    trades: pd.DataFrame,
    image: str,
    excursions: tuple[str, pd.DataFrame] | None = None,
    assessment: tuple[str, Sequence[tuple[str, str]]] | None = None,
    periods: tuple[str, pd.DataFrame] | None = None,
) -> str:
    """One self-contained HTML document: statistics, settings, next-day
    actions, the figure (a base64 PNG), the selection-bias section, the
    excursion section and the trade table.

    ``excursions`` is the excursion figure (a base64 PNG) and the rows of a
    stop analysis to tabulate; None leaves the section at a short note.
    ``assessment`` is the cross-validation figure and the formatted rows of a
    sweep row's assessment; None leaves the section out. ``periods`` is the
    monthly-returns heatmap and the worst drawdowns; None leaves them out."""
    if len(actions):
        rows = _kv_rows((str(s), str(a)) for s, a in actions.items())
        actions_html = f"<table class='kv'>{rows}</table>"
    else:
        actions_html = "<p>None.</p>"
    return _HTML.format(
        title=html.escape(title),
        params=_kv_rows((str(k), str(v)) for k, v in params.items()),
        stats=_kv_rows(stats),
        image=image,
        actions=actions_html,
        excursions=_excursion_section(excursions),
        assessment=_assessment_section(assessment),
        periods=_periods_section(periods),
        count=len(trades),
        trades=_trade_table(trades, "trades"),
    )


def notebook(*, title: str, stats: Sequence[tuple[str, str]], trades: pd.DataFrame, actions: int) -> str:
    """A compact HTML fragment for notebooks: the statistics two to a row and
    the last few trades. No figure, so it is quick and needs no matplotlib."""
    cells = [f"<th>{html.escape(label)}</th><td>{html.escape(value)}</td>" for label, value in stats]
    grid = "".join(f"<tr>{''.join(cells[i:i + 2])}</tr>" for i in range(0, len(cells), 2))
    shown = trades[[c for c in _PREVIEW_COLUMNS if c in trades]].tail(_PREVIEW_ROWS)
    if len(trades):
        caption = f"{len(trades)} trades" if len(shown) == len(trades) else f"Last {len(shown)} of {len(trades)} trades"
        preview = f"<p>{caption}</p>{_trade_table(shown, 'norvane-trades')}"
    else:
        preview = "<p>No trades.</p>"
    plural = "" if actions == 1 else "s"
    return (
        f"<div class='norvane-report'><p><strong>{html.escape(title)}</strong>: "
        f"{actions} action{plural} for the next trading day</p>"
        f"<table class='norvane-stats'>{grid}</table>{preview}</div>"
    )


def write_atomic(path: str | os.PathLike[str], text: str) -> str:
    """Write ``text`` to ``path`` as UTF-8 and return the path as a string.

    The text goes to a temporary file in the same directory, which then
    replaces the target in one step: a reader, or a write that fails midway,
    never leaves a partial file where a complete one was. The target keeps
    its permission bits; a symbolic link is written through, as ``open``
    would.
    """
    try:
        target = os.fspath(path)
    except TypeError:
        raise TypeError(f"path: expected a str or os.PathLike, got {type(path).__name__}") from None
    if not isinstance(target, str):
        raise TypeError("path: expected a str or os.PathLike naming a str path, got bytes")
    real = os.path.realpath(target)
    directory, name = os.path.split(real)
    temp = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.tmp")
    created = False
    try:
        # Mode 0o666 lets the umask decide, as it does for a plain open().
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
        created = True
        with os.fdopen(fd, "w", encoding="utf-8") as handle:
            _write(handle, text)
            handle.flush()
            os.fsync(handle.fileno())
        try:
            os.chmod(temp, stat.S_IMODE(os.stat(real).st_mode))
        except FileNotFoundError:
            pass
        os.replace(temp, real)
    except BaseException as exc:
        if created:
            try:
                os.unlink(temp)
            except OSError:
                pass
        if isinstance(exc, OSError) and exc.errno is not None:
            # Name the caller's path, not the temporary one (a new error: an
            # emptied second file name would still print as "-> None").
            raise type(exc)(exc.errno, exc.strerror, target) from exc
        raise
    return target


def _write(handle: io.TextIOBase, text: str) -> None:
    handle.write(text)


def _kv_rows(rows: Any) -> str:
    return "".join(f"<tr><th>{html.escape(k)}</th><td>{html.escape(v)}</td></tr>" for k, v in rows)


def _trade_table(trades: pd.DataFrame, css_class: str) -> str:
    return trades.to_html(
        index=False, classes=css_class, border=0, na_rep="", float_format=lambda x: f"{x:.4f}"
    )


_ANALYSIS_LABELS = {
    "stop": "Stop", "target": "Target", "winners_stopped": "Winners stopped", "losers_stopped": "Losers stopped",
    "winners_targeted": "Winners targeted", "losers_targeted": "Losers targeted",
    "est_win_rate": "Est. win rate", "est_avg_return": "Est. mean return",
}


def _periods_section(periods: tuple[str, pd.DataFrame] | None) -> str:
    if periods is None:
        return ""
    image, drawdowns = periods
    if len(drawdowns):
        shown = drawdowns.assign(
            peak=[d.date() for d in drawdowns["peak"]], trough=[d.date() for d in drawdowns["trough"]],
            recovery=[d.date() if not pd.isna(d) else "open" for d in drawdowns["recovery"]],
            depth=[f"{d * 100:.2f}%" for d in drawdowns["depth"]]).drop(columns="open")
        table = shown.to_html(index=False, classes="trades", border=0)
    else:
        table = "<p>The equity never fell below a previous high.</p>"
    return (f'<h2>Monthly returns</h2>\n<img alt="monthly returns" src="data:image/png;base64,{image}">\n'
            f"<h2>Worst drawdowns</h2>\n{table}")


def _excursion_section(excursions: tuple[str, pd.DataFrame] | None) -> str:
    if excursions is None:
        return "<p>No closed trades with excursion records.</p>"
    image, analysis = excursions
    as_traded = analysis["stop"].isna() & analysis["target"].isna()
    stops = analysis[analysis["stop"].notna() & analysis["target"].isna()]
    targets = analysis[analysis["target"].notna() & analysis["stop"].isna()]
    rows = [("as traded", math.nan, math.nan, math.nan, r["est_win_rate"], r["est_avg_return"])
            for _, r in analysis[as_traded].iterrows()]
    rows += [("stop loss", r["stop"], r["winners_stopped"], r["losers_stopped"], r["est_win_rate"],
              r["est_avg_return"]) for _, r in stops.iterrows()]
    rows += [("take profit", r["target"], r["winners_targeted"], r["losers_targeted"], r["est_win_rate"],
              r["est_avg_return"]) for _, r in targets.iterrows()]
    table = pd.DataFrame(rows, columns=["Exit", "Level", "Winners crossing", "Losers crossing", "Est. win rate",
                                        "Est. mean return"])
    html_table = table.to_html(index=False, classes="trades", border=0, na_rep="-",
                               float_format=lambda x: f"{x * 100:.1f}%")
    return (
        f"<img alt='edge ratio and stop levels' src='data:image/png;base64,{image}'>"
        "<p>Estimates from the closed trades' excursions, not reruns: each trade exits at the first level "
        "its excursion from entry crossed, at the level. A rerun measures the levels from the last rebalance, "
        "exits at the next day's price unless <code>touched_exit</code>, and re-enters at the next rebalance; "
        "run <code>norvane.backtest</code> with a level to confirm it.</p>"
        f"<div>{html_table}</div>"
    )


def _assessment_section(assessment: tuple[str, Sequence[tuple[str, str]]] | None) -> str:
    if assessment is None:
        return ""
    image, rows = assessment
    return (
        "<h2>Selection bias: how much of this run is the luck of its search</h2>"
        f"<div class='row'><div><table class='kv'>{_kv_rows(rows)}</table></div>"
        "<div style='flex: 1; min-width: 20em'><p>This run was picked from a sweep. The deflated Sharpe ratio "
        "is the probability that its true Sharpe ratio beats the best that as many skill-less trials reach "
        "by chance; the PBO is the share of ways to split the days in halves on which the best run of one "
        "half ranks at or below the median on the other. A deflated Sharpe ratio near 1 and a PBO near 0 "
        "say the choice is more than luck; a PBO near 0.5 says the search learned nothing.</p></div></div>"
        f"<img alt='cross-validation of the search' src='data:image/png;base64,{image}'>"
    )


def _matplotlib() -> tuple[type[Figure], type[FigureCanvasAgg]]:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError(
            "plotting and HTML reports need matplotlib: pip install 'norvane[report]'"
        ) from exc
    return _shown_in_notebooks(Figure, FigureCanvasAgg), FigureCanvasAgg


@functools.cache
def _shown_in_notebooks(base: type[Figure], canvas: type[FigureCanvasAgg]) -> type[Figure]:
    """The figure class of reports: a notebook shows one that is the value of
    a cell, also without ``%matplotlib inline`` (which shows pyplot's only)."""

    class ReportFigure(base):  # type: ignore[valid-type, misc]  # a class made at run time
        def _repr_png_(self) -> bytes:
            buffer = io.BytesIO()
            canvas(self).print_png(buffer)  # type: ignore[no-untyped-call]  # unannotated in matplotlib
            return buffer.getvalue()

    return ReportFigure


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
{periods}
{assessment}
<h2>Excursions: edge ratio and stop levels</h2>
{excursions}
<h2>Trades ({count})</h2>
<div class="scroll">{trades}</div>
</body></html>
"""
