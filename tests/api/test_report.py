"""Report statistics by hand, the figure, HTML export and notebook view, demo."""

import base64
import errno
import math
import os
import re
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from norvane import Report
from norvane import _rendering, demo

T0 = pd.Timestamp("2020-01-01")
DATES = pd.DatetimeIndex([T0, T0 + pd.Timedelta(days=1), T0 + pd.Timedelta(days=2), T0 + pd.Timedelta(days=730.5)])
NAT = pd.NaT


def hand_report(**kwargs):
    """Equity 1 -> 1.1 -> 0.99 -> 1.21 over exactly two calendar years."""
    equity = pd.Series([1.0, 1.1, 0.99, 1.21], index=DATES)
    d = DATES
    trades = pd.DataFrame(
        {
            "stock": ["A", "B", "C", "D"],
            "entry_date": [d[1], d[2], d[0], d[3]],
            "exit_date": [d[2], d[2], d[1], NAT],
            "holding_days": [2, 4, 3, 0],
            "return": [0.2, -0.1, 0.05, 0.5],
            "adverse_excursion": [-0.01, -0.12, 0.0, 0.0],
            "favourable_excursion": [0.25, 0.01, 0.07, 0.5],
        }
    )
    return Report(equity, trades, periods_per_year=4, **kwargs)


def test_statistics_by_hand():
    s = hand_report().stats()
    # Returns 0.1, -0.1, 2/9: mean 2/27, squared deviations 38.58/729 over 2.
    std = math.sqrt(19.29) / 27
    assert s["total_return"] == pytest.approx(0.21, rel=1e-12)
    assert s["cagr"] == pytest.approx(0.1, rel=1e-12)  # sqrt(1.21) - 1
    assert s["annual_volatility"] == pytest.approx(2 * std, rel=1e-12)
    assert s["sharpe"] == pytest.approx(4 / math.sqrt(19.29), rel=1e-12)
    assert s["sortino"] == pytest.approx(40 * math.sqrt(3) / 27, rel=1e-12)  # downside sqrt(0.01 / 3)
    assert s["max_drawdown"] == pytest.approx(-0.1, rel=1e-12)
    assert (s["max_drawdown_peak"], s["max_drawdown_trough"]) == (DATES[1], DATES[2])
    assert s["calmar"] == pytest.approx(1.0, rel=1e-12)
    # Closed trades only: A, B, C.
    assert (s["trades"], s["open_trades"]) == (3, 1)
    assert s["win_rate"] == pytest.approx(2 / 3)
    assert s["avg_trade_return"] == pytest.approx(0.05, rel=1e-12)
    assert s["profit_factor"] == pytest.approx(2.5, rel=1e-12)
    assert s["avg_holding_days"] == 3.0
    # Held at the close of d0 (C), d1 (A), d3 (D); d2 saw A exit and B in and out.
    assert s["time_in_market"] == 0.75
    text = hand_report().summary()
    assert "CAGR" in text and "10.00%" in text and "Max drawdown peak        2020-01-02" in text


@pytest.mark.parametrize(
    "weights, given, gross, cash, shown",
    [
        (None, None, 0.0, 1.21, (("Gross exposure", "0.00%"), ("Final cash", "1.2100"))),
        ({"A": 0.5, "B": 0.25}, None, 0.75, 0.3025, (("Gross exposure", "75.00%"), ("Final cash", "0.3025"))),
        ({"A": 0.8, "B": -0.3}, None, 0.5, 0.605, ()),  # a short counts negative, as it adds to cash
        ({"A": 0.5, "B": 0.25}, 0.31, 0.75, 0.31, ()),  # the engine's own figure wins
        ({"A": 0.5, "B": np.nan}, None, np.nan, np.nan, (("Final cash", "-"),)),
    ],
)
def test_gross_exposure_and_final_cash(weights, given, gross, cash, shown):
    w = None if weights is None else pd.Series(weights, dtype=np.float64)
    report = hand_report(weights=w, final_cash=given)
    s = report.stats()
    assert list(s.index[-3:]) == ["time_in_market", "gross_exposure", "final_cash"]
    np.testing.assert_allclose([s["gross_exposure"], s["final_cash"]], [gross, cash], rtol=1e-15)
    for label, value in shown:
        assert re.search(rf"^{label} +{re.escape(value)}$", report.summary(), re.M), label


def test_final_cash_must_be_a_number():
    for bad in ("0.3", True):
        with pytest.raises(TypeError, match="final_cash: expected a number or None"):
            hand_report(final_cash=bad)


def test_statistics_without_losses_or_trades():
    flat = Report(pd.Series(1.0, index=pd.bdate_range("2024-01-01", periods=5)))
    s = flat.stats()
    assert (s["trades"], s["open_trades"], s["max_drawdown"], s["time_in_market"]) == (0, 0, 0.0, 0.0)
    for key in ("sharpe", "sortino", "calmar", "win_rate", "avg_trade_return", "profit_factor", "avg_holding_days"):
        assert math.isnan(s[key]), key
    assert s["max_drawdown_peak"] is NAT

    rising = hand_report()
    rising.equity = pd.Series([1.0, 1.1, 1.21, 1.331], index=DATES)
    rising.trades = rising.trades[rising.trades["return"] > 0]
    s = rising.stats()
    assert s["profit_factor"] == math.inf and s["sortino"] == math.inf and s["calmar"] == math.inf
    assert s["win_rate"] == 1.0


def test_plot_and_self_contained_html(tmp_path):
    pytest.importorskip("matplotlib")
    report = hand_report()
    fig = report.plot()
    eq_ax, dd_ax, ex_ax = fig.axes
    assert eq_ax.lines[0].get_ydata().tolist() == [1.0, 1.1, 0.99, 1.21]
    gains, losses = (c.get_offsets() for c in ex_ax.collections)
    assert np.asarray(gains) == pytest.approx(np.array([[1, 25], [0, 7], [0, 50]]))  # adverse as a positive %
    assert np.asarray(losses) == pytest.approx(np.array([[12, 1]]))

    page = report.to_html()
    path = report.to_html(tmp_path / "r.html")
    assert path == str(tmp_path / "r.html") and Path(path).read_text(encoding="utf-8") == page
    png = base64.b64decode(re.search(r'src="data:image/png;base64,([^"]+)"', page).group(1))
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    assert not re.search(r'(src|href)="(?!data:)', page)  # nothing fetched from elsewhere
    assert "<h2>Worst drawdowns</h2>" in page and page.count("data:image/png") == 2  # equity, months
    for needle in ("Sharpe ratio", "0.91", "Profit factor", "2.50", "<td>D</td>", "2021-12-31 12:00:00",
                   "<th>Time in market</th><td>75.00%</td>", "<th>Final cash</th><td>1.2100</td>"):
        assert needle in page


# The notebook client brings a JSON extension and the kernel machinery, whose
# import-time objects the leak checker reports at exit; what is checked here
# is pure Python.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the notebook client's import-time allocations read as leaks under the sanitizer")
def test_a_notebook_shows_the_figure_of_a_cells_last_line(tmp_path):
    # Executed by a real kernel, without %matplotlib inline.
    pytest.importorskip("matplotlib")
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    notebook = nbformat.v4.new_notebook(cells=[
        nbformat.v4.new_code_cell("import norvane\nfrom norvane import demo\n"
                                  "prices = demo.synthetic_market(stocks=30, days=300)\n"
                                  "report = norvane.backtest(prices, demo.momentum_position(prices, 60, 20, 5), 'M',"
                                  " excursion_window=20)"),
        nbformat.v4.new_code_cell("report.plot()"),
        nbformat.v4.new_code_cell("report.plot_excursions()"),
    ])
    nbclient.NotebookClient(notebook, timeout=600, kernel_name="python3",
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    for cell in notebook.cells[1:]:
        (shown,) = [out for out in cell.outputs if out.output_type == "execute_result"]
        assert base64.b64decode(shown.data["image/png"]).startswith(b"\x89PNG\r\n\x1a\n")


PERIOD_DATES = pd.DatetimeIndex(["2020-01-30", "2020-01-31", "2020-02-03", "2020-02-28", "2021-03-01", "2021-03-02"])


def test_returns_by_month_and_year_and_the_worst_drawdowns_by_hand():
    report = Report(pd.Series([1.0, 1.1, 0.99, 1.21, 1.331, 1.2], index=PERIOD_DATES))
    months = report.monthly_returns()
    assert months.shape == (2, 12) and list(months.index) == [2020, 2021]
    assert months.loc[2020, 1] == pytest.approx(0.1) and months.loc[2020, 2] == pytest.approx(0.1)
    assert months.loc[2021, 3] == pytest.approx(1.2 / 1.21 - 1) and months.isna().sum().sum() == 21
    assert report.yearly_returns().to_numpy() == pytest.approx([0.21, 1.2 / 1.21 - 1])
    episodes = report.drawdowns()
    assert list(episodes.columns) == ["peak", "trough", "recovery", "depth", "days", "open"]
    assert episodes.to_dict("records") == [
        {"peak": PERIOD_DATES[1], "trough": PERIOD_DATES[2], "recovery": PERIOD_DATES[3],
         "depth": pytest.approx(-0.1), "days": 28, "open": False},
        {"peak": PERIOD_DATES[4], "trough": PERIOD_DATES[5], "recovery": pd.NaT,
         "depth": pytest.approx(1.2 / 1.331 - 1), "days": 1, "open": True},
    ]
    assert len(report.drawdowns(top=1)) == 1 and report.drawdowns(top=None).equals(episodes)
    with pytest.raises(ValueError, match="top: expected a number of drawdowns"):
        report.drawdowns(top=-1)


def test_period_and_rolling_views_agree_with_direct_computations():
    # Other ways to the same numbers: compounding the daily returns, runs of
    # days below the running high, and a loop over the windows.
    rng = np.random.default_rng(4)
    dates = pd.bdate_range("2019-12-20", periods=700)
    report = Report(pd.Series(np.cumprod(1 + rng.normal(0.0004, 0.012, len(dates))), index=dates))
    compounded = (1 + report.returns).groupby([report.returns.index.year, report.returns.index.month]).prod() - 1
    months = report.monthly_returns().stack().dropna()
    assert months.to_numpy() == pytest.approx(compounded.to_numpy(), rel=1e-12, abs=1e-15)

    values = report.equity.to_numpy()
    below = values < np.maximum.accumulate(values)
    starts = np.flatnonzero(below & ~np.r_[False, below[:-1]])
    episodes = report.drawdowns(top=None).sort_values("peak")
    assert list(episodes["peak"]) == list(dates[starts - 1])
    for start, (_, row) in zip(starts, episodes.iterrows()):
        end = start + int(np.argmax(~below[start:])) if (~below[start:]).any() else len(values)
        assert row["depth"] == values[start:end].min() / values[start - 1] - 1
        assert row["open"] == (end == len(values))

    r = report.returns.to_numpy()
    window = 126
    expected = [r[i - window:i].mean() / r[i - window:i].std(ddof=1) * np.sqrt(252) for i in range(window, len(r) + 1)]
    assert report.rolling_sharpe().iloc[window - 1:].to_numpy() == pytest.approx(expected, rel=1e-9)
    assert report.rolling_volatility(20).iloc[19] == pytest.approx(r[:20].std(ddof=1) * np.sqrt(252), rel=1e-12)
    assert report.rolling_sharpe().iloc[:window - 1].isna().all()
    with pytest.raises(ValueError, match="window: expected at least 2 returns"):
        report.rolling_sharpe(1)

    pytest.importorskip("matplotlib")
    assert report.plot(log_scale=True).axes[0].get_yscale() == "log"
    assert report.plot().axes[0].get_yscale() == "linear"
    assert report.plot_monthly_returns().axes[0].images[0].get_array().shape == (4, 12)  # 2019 to 2022


def test_a_failed_write_keeps_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    target = tmp_path / "r.html"
    target.write_text("complete old page", encoding="utf-8")
    target.chmod(0o640)

    def disk_full(handle, text):
        handle.write(text[:5])
        handle.flush()
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(_rendering, "_write", disk_full)
    with pytest.raises(OSError, match=r"No space left on device: '.*r\.html'"):
        _rendering.write_atomic(target, "new page")
    assert target.read_text(encoding="utf-8") == "complete old page"
    assert os.listdir(tmp_path) == ["r.html"]

    monkeypatch.undo()
    for path, error, message in [
        (tmp_path / "absent" / "r.html", FileNotFoundError, r"No such file or directory: '.*absent/r\.html'$"),
        (tmp_path, IsADirectoryError, r"Is a directory: '.*'$"),
        (12, TypeError, "path: expected a str or os.PathLike, got int"),
    ]:
        with pytest.raises(error, match=message):
            _rendering.write_atomic(path, "new page")
    assert _rendering.write_atomic(target, "new page") == str(target)
    assert target.read_text(encoding="utf-8") == "new page" and (target.stat().st_mode & 0o777) == 0o640
    assert os.listdir(tmp_path) == ["r.html"]


def test_missing_matplotlib_is_a_clear_error_and_notebooks_need_none(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    report = hand_report(weights=pd.Series({"D": 0.5}), actions=pd.Series({"D": "exit"}))
    for call in (report.plot, report.to_html):
        with pytest.raises(ImportError, match=r"pip install 'norvane\[report\]'"):
            call()
    view = report._repr_html_()
    for needle in ("2020-01-01 to 2021-12-31</strong>: 1 action for", "<th>CAGR</th><td>10.00%</td>",
                   "<th>Time in market</th><td>75.00%</td>", "<th>Gross exposure</th><td>50.00%</td>",
                   "<th>Final cash</th><td>0.6050</td>", "4 trades", "<td>D</td>", "<td>0.5000</td>"):
        assert needle in view
    assert "<img" not in view and "adverse_excursion" not in view


def test_demo_prints_statistics_actions_and_writes_the_report(tmp_path, capsys):
    out = tmp_path / "demo.html"
    assert demo.main(["--out", str(out), "--stocks", "80", "--seed", "3"]) == 0
    text = capsys.readouterr().out
    for needle in ("Synthetic market: 80 stocks", "CAGR", "Max drawdown", "Win rate", "Next trading day:"):
        assert needle in text
    if "HTML report skipped" not in text:
        assert f"HTML report written to {out.resolve()}" in text and out.stat().st_size > 10_000
    prices = demo.synthetic_market(stocks=80, seed=3)
    listed = prices.notna()
    assert (~listed.iloc[0]).any() and (~listed.iloc[-1]).any()  # listings and delistings
    assert np.all(prices.to_numpy()[listed.to_numpy()] > 0)
