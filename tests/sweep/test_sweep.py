"""Parameter sweeps: grid expansion, strategy parameters, failures as rows,
the same frame bit for bit from every backend, Ctrl-C, dead parents and
unguarded scripts."""

import collections
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

import norvane
from norvane import _engine, _frames
from norvane._statistics import STAT_NAMES
from norvane.report import Report
from norvane.settings import Settings
from norvane.sweeps import sweep
from sweep_strategies import momentum

GRID = {"stop_loss": [None, 0.04, 2.0], "commission": [0.0, 0.002]}  # stop_loss=2.0 fails
STRATEGY_GRID = {"lookback": [5, 10], "top": [2, 4], "stop_loss": [None, 0.05]}  # 4 strategies, 8 runs


@pytest.fixture(scope="module")
def market():
    rng = np.random.default_rng(5)
    days = pd.bdate_range("2021-01-04", periods=160)
    stocks = [f"S{k}" for k in range(12)]
    steps = rng.normal(0.0003, 0.02, (len(days), len(stocks)))
    prices = pd.DataFrame(30.0 * np.exp(np.cumsum(steps, axis=0)), index=days, columns=stocks)
    prices.iloc[:25, 3] = np.nan                      # lists late
    rows = np.arange(10, len(days) - 1, 15)
    weights = (rng.random((len(rows), len(stocks))) < 0.4).astype(float)
    weights[:, 0] = 1.0
    weights[:, 3] = 0.0
    return prices, pd.DataFrame(weights, index=days[rows], columns=stocks)


@pytest.fixture(scope="module")
def serial(market):
    return sweep(*market, GRID, backend="serial", keep_equity=True, sell_tax=0.001)


@pytest.fixture(scope="module")
def serial_strategies(market):
    return sweep(market[0], momentum, STRATEGY_GRID, backend="serial", rebalance="W")


def assert_same_frames(got, expected):
    assert got.drop(columns="equity").equals(expected.drop(columns="equity"))
    for a, b in zip(got["equity"], expected["equity"]):
        if b is None:
            assert a is None
        else:
            assert a.index.equals(b.index) and np.array_equal(a.to_numpy(), b.to_numpy())


def assert_same_values(got, expected):
    """Equal to the last bit; a column of counts is a nullable integer beside a failed row."""
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected.reset_index(drop=True), check_dtype=False,
                                  check_exact=True)


def assert_same_stats(row, stats):
    for name, value in stats.items():
        assert row[name] == value or (pd.isna(value) and pd.isna(row[name])), name


class TestGrid:
    def test_product_order_and_columns(self, serial):
        assert serial["stop_loss"].tolist() == [None, None, 0.04, 0.04, 2.0, 2.0]  # None stays None
        assert list(serial["commission"]) == [0.0, 0.002] * 3
        assert list(serial.columns[:2]) == ["stop_loss", "commission"]
        assert list(serial.columns[-2:]) == ["error", "equity"]
        assert list(serial.columns[2:-2]) == list(STAT_NAMES)

    def test_list_of_runs_and_empty_grid(self, market):
        out = sweep(*market, [{"commission": 0.001}, {"stop_loss": 0.05}], backend="serial")
        assert list(out.columns[:2]) == ["commission", "stop_loss"]
        assert out["commission"].isna().tolist() == [False, True]
        assert out["error"].tolist() == [None, None]
        empty = sweep(*market, [], backend="serial")
        assert len(empty) == 0 and list(empty.columns) == [*STAT_NAMES, "error"]

    def test_every_column_is_there_when_every_run_fails(self, market, serial):
        out = sweep(*market, {"stop_loss": [2.0, 3.0]}, backend="processes", workers=2)
        assert list(out.columns) == ["stop_loss", *STAT_NAMES, "error"]
        assert out["error"].str.startswith("ValueError: stop_loss").all()
        assert out[list(STAT_NAMES)].isna().all().all()
        # as beside a run that succeeded (serial has failed rows too: counts stay integers there)
        assert out.dtypes[list(STAT_NAMES)].equals(serial.dtypes[list(STAT_NAMES)])
        assert str(serial["trades"].dtype) == "Int64" and serial["trades"].isna().sum() == 2
        assert len(out.sort_values("sharpe")) == 2

    @pytest.mark.parametrize(
        "position, grid, kwargs, error, match",
        [
            (None, {"stoploss": [0.1]}, {}, TypeError, "unknown parameter.*'stoploss'.*callable"),
            (None, {"stop_loss": [0.1]}, {"fee": 0.1}, TypeError, "sweep.*'fee'"),
            (None, {"stop_loss": [0.1]}, {"stop_loss": 0.2}, TypeError, "both"),
            (None, {"rebalance": ["M"]}, {"rebalance": "W"}, TypeError, "both"),
            (None, {"stop_loss": 0.1}, {}, TypeError, "list of values"),
            (None, [0.1, 0.2], {}, TypeError, r"grid\[0\]"),
            (None, {"stop_loss": [0.1]}, {"backend": "thread"}, ValueError, "backend"),
            (None, {"stop_loss": [0.1]}, {"backend": "serial", "workers": 2}, ValueError, "serial"),
            (None, {"stop_loss": [0.1]}, {"client": object()}, ValueError, "client"),
            (None, {"stop_loss": [0.1]}, {"workers": 0}, ValueError, "workers"),
            (momentum, {"lookbak": [5]}, {}, TypeError,
             "'lookbak'; backtest settings: rebalance, .*; parameters of momentum: lookback, top, mode, log"),
            (lambda prices, days: None, {"stop_loss": [0.1]}, {}, TypeError, "needs days"),
            (lambda prices, stop_loss=0.1: None, {}, {}, TypeError, "named like backtest settings"),
            (lambda: None, {}, {}, TypeError, "prices as its first argument"),
            (lambda prices, k=1: None, {"k": [1]}, {"backend": "processes"}, TypeError, "<lambda> cannot be pickled"),
        ],
    )
    def test_bad_arguments_fail_before_any_run(self, market, position, grid, kwargs, error, match):
        with pytest.raises(error, match=match):
            sweep(market[0], market[1] if position is None else position, grid, **kwargs)


def test_rows_are_the_individual_backtests(market, serial):
    prices, position = market
    for _, row in serial.iterrows():
        params = {"stop_loss": row["stop_loss"], "commission": row["commission"]}  # as the grid gave them
        if params["stop_loss"] == 2.0:
            assert row["error"].startswith("ValueError: stop_loss")
            assert np.isnan(row["sharpe"]) and row["equity"] is None
            with pytest.raises(ValueError, match="stop_loss"):
                norvane.rerun(prices, position, row, sell_tax=0.001)
            continue
        report = norvane.backtest(prices, position, sell_tax=0.001, **params)
        assert row["error"] is None
        assert_same_stats(row, report.stats())
        assert np.array_equal(row["equity"].to_numpy(), report.equity.to_numpy())
        assert_same_stats(row, norvane.rerun(prices, position, row, sell_tax=0.001).stats())


def _tz_market(market):
    prices, position = market
    prices = prices.set_axis(prices.index.tz_localize("Asia/Taipei") + pd.Timedelta(hours=13), axis=0)
    return prices, position.set_axis(position.index.tz_localize("Asia/Taipei"), axis=0)


def _rising_market(market):
    prices = market[0].ffill().bfill() * np.linspace(1.0, 2.0, len(market[0]))[:, None]
    return prices, market[1].iloc[:1]


@pytest.mark.parametrize(
    "frames, rebalance, settings",
    [
        (lambda m: m, "W", Settings(stop_loss=0.03, take_profit=0.05, touched_exit=True)),
        (lambda m: m, None, Settings(excursion_window=20, excursion_step=3, position_limit=0.2)),
        (_tz_market, "M", Settings(commission=0.0, sell_tax=0.0)),
        (_rising_market, None, Settings(commission=0.0, sell_tax=0.0)),  # no drawdown, no closed trade
    ],
)
def test_a_report_of_a_run_reads_its_statistics_from_the_columns(market, frames, rebalance, settings):
    # The same numbers as from the trade table and weights the report shows.
    report = _engine.simulate(_frames.for_many_runs(_frames.prepare(*frames(market), rebalance)), settings)
    stats = report.stats()
    table = Report(report.equity, report.trades, weights=report.weights).stats()
    assert list(stats.index) == list(STAT_NAMES) == list(table.index)
    for name, value in table.items():
        assert type(stats[name]) is type(value), name
        assert stats[name] == value or (pd.isna(value) and pd.isna(stats[name])), name


class TestStrategyParameters:
    def test_rows_are_the_strategies_backtests_and_rerun_as_them(self, market, serial_strategies):
        got = serial_strategies
        assert list(got.columns[:3]) == ["lookback", "top", "stop_loss"]
        assert got["error"].isna().all() and got["trades"].gt(0).all()
        assert got["stop_loss"].tolist() == [None, 0.05] * 4 and got["lookback"].dtype == np.int64
        for i in (0, 5):
            row = got.loc[i]
            position = momentum(market[0], lookback=row["lookback"], top=row["top"])
            assert_same_stats(row, norvane.backtest(market[0], position, "W", stop_loss=row["stop_loss"]).stats())
            assert_same_stats(row, norvane.rerun(market[0], momentum, row, rebalance="W").stats())
        read_back = got.loc[0].copy()
        read_back["stop_loss"] = np.nan  # None, as a frame read from a file shows it
        assert_same_stats(got.loc[0], norvane.rerun(market[0], momentum, read_back, rebalance="W").stats())

    @pytest.mark.parametrize("backend", ["serial", "threads", "processes"])
    def test_each_strategy_once_per_process_and_the_same_frame(self, market, serial_strategies, tmp_path,
                                                               backend):
        log = tmp_path / "calls"
        got = sweep(market[0], momentum, STRATEGY_GRID, backend=backend, rebalance="W", log=str(log))
        assert got.equals(serial_strategies)
        calls = collections.Counter(log.read_text().splitlines())
        assert set(calls.values()) == {1}
        assert len({line.split(" ", 1)[1] for line in calls}) == 4
        if backend != "processes":  # one process: each strategy exactly once
            assert len(calls) == 4

    def test_a_failing_strategy_fails_its_rows_only(self, market):
        got = sweep(market[0], momentum, {"mode": ["raise", "nan", "ok"], "stop_loss": [None, 0.05]},
                    backend="serial", top=4)
        assert got["error"][:2].eq("momentum raised ZeroDivisionError: no signal today").all()
        assert got["error"][2:4].str.startswith(
            "the position momentum returned: ValueError: position: weights must be finite").all()
        assert got["error"][4:].isna().all() and got["sharpe"][4:].notna().all()


@pytest.mark.parametrize("backend, workers", [("processes", 2), ("threads", 3), ("threads", None)])
def test_parallel_backends_give_the_serial_frame(market, serial, backend, workers):
    got = sweep(*market, GRID, backend=backend, workers=workers,
                keep_equity=True, sell_tax=0.001)
    assert_same_frames(got, serial)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # a dropped one, raised again
def test_ctrl_c_ends_a_thread_sweep(market):
    # Ctrl-C 0.5 s into 20,000 runs on threads: the runs in progress end, the
    # rest never start, and the caller's handler is back.
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            sweep(*market, {"commission": list(np.linspace(0.001, 0.002, 20_000))}, backend="threads", workers=2)
    finally:
        timer.cancel()
    assert time.monotonic() - start < 3.0
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert not [t for t in threading.enumerate() if t.name.startswith("norvane-sweep")]


def test_a_crashing_run_is_pinned_on_its_rows(market, serial_strategies):
    grid = [{"mode": "crash", "stop_loss": None}] + [
        {"lookback": 5, "top": 2, "stop_loss": s} for s in (None, 0.05)] * 2
    got = sweep(market[0], momentum, grid, backend="processes", workers=2, rebalance="W")
    assert got.loc[0, "error"] == "the worker process running this backtest died (exit code 70)"
    assert_same_values(got.loc[1:, list(STAT_NAMES)], serial_strategies.loc[[0, 1, 0, 1], list(STAT_NAMES)])


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # the dropped one
def test_serial_ctrl_c_ends_the_sweep(market):
    # Ctrl-C 0.5 s into 20,000 distinct runs (many seconds on any build): the
    # engine answers it within a run, and nothing above the engine may turn
    # the KeyboardInterrupt into an error row.
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            sweep(*market, {"commission": list(np.linspace(0.001, 0.002, 20_000))}, backend="serial")
    finally:
        timer.cancel()
    assert time.monotonic() - start < 2.0  # signalled at 0.5 s; slow builds answer within a run too
    with pytest.raises(KeyboardInterrupt):
        sweep(market[0], momentum, {"mode": ["ok"]}, backend="serial", log=_Interrupting())
    # The interpreter drops a KeyboardInterrupt raised in a __del__; the sweep
    # raises it again after the run, and gives the caller's handler back.
    with pytest.raises(KeyboardInterrupt):
        sweep(market[0], momentum, {"mode": ["swallow", "ok"]}, backend="serial")
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


class _Interrupting:
    """Makes the strategy raise KeyboardInterrupt (from its log write)."""

    def __fspath__(self):
        raise KeyboardInterrupt


# ---------------------------------------------------------------------------
# whole scripts: Ctrl-C, a dead parent, a script without the __main__ guard

SCRIPT = '''
import sys
import numpy as np, pandas as pd
import norvane

def strategy(prices, density=0.05):
    print("running", flush=True)  # from the worker process
    held = np.random.default_rng(2).random(prices.shape) < density
    return pd.DataFrame(held, index=prices.index, columns=prices.columns)

def main():
    days = pd.bdate_range("2000-01-03", periods=2500)
    steps = np.random.default_rng(1).normal(0.0003, 0.02, (len(days), 400))
    prices = pd.DataFrame(50 * np.exp(np.cumsum(steps, axis=0)), index=days, columns=[f"S{i}" for i in range(400)])
    print("sweeping", flush=True)
    norvane.sweep(prices, strategy, {"commission": [0.001] * 400}, backend=sys.argv[1], workers=2, progress=False)
    print("finished", flush=True)

'''
GUARDED = SCRIPT + 'if __name__ == "__main__":\n    main()\n'


def _script(tmp_path, text):
    path = tmp_path / "script.py"
    path.write_text(text)
    return str(path)


def _start(path, backend):
    """The script, once a worker runs its strategy."""
    process = subprocess.Popen([sys.executable, path, backend], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, start_new_session=True)
    assert process.stdout.readline() == "sweeping\n"
    assert process.stdout.readline() == "running\n"
    time.sleep(0.5)  # in mid-run
    return process


def _group(pgid):
    """The live processes of a process group."""
    members = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError):
            continue
        if fields[0] != "Z" and int(fields[2]) == pgid:
            members.append(int(entry))
    return members


def _spawned_children(parent):
    """The children of ``parent`` that multiprocessing spawned."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                ppid = int(stat.read().rsplit(")", 1)[1].split()[1])
            with open(f"/proc/{entry}/cmdline") as command:
                if ppid == parent and "spawn_main" in command.read():
                    found.append(int(entry))
        except (FileNotFoundError, ProcessLookupError):
            continue
    return found


def _wait_for_empty(pgid, limit):
    deadline = time.monotonic() + limit
    while _group(pgid) and time.monotonic() < deadline:
        time.sleep(0.1)
    return _group(pgid)


linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")


@linux_only
@pytest.mark.parametrize("backend, target, limit", [
    ("processes", "group", 2.0), ("processes", "parent", 2.0), ("dask", "group", 5.0)])
def test_ctrl_c_stops_the_sweep_and_its_workers(tmp_path, backend, target, limit):
    process = _start(_script(tmp_path, GUARDED), backend)
    try:
        start = time.monotonic()
        if target == "group":
            os.killpg(process.pid, signal.SIGINT)  # a terminal's Ctrl-C
        else:
            os.kill(process.pid, signal.SIGINT)
        _, err = process.communicate(timeout=30)
        elapsed = time.monotonic() - start
    finally:
        process.kill()
    assert err.rstrip().endswith("KeyboardInterrupt") and elapsed < limit
    assert not _wait_for_empty(process.pid, 5.0)


@linux_only
@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM])
def test_no_worker_outlives_its_parent(tmp_path, how):
    process = _start(_script(tmp_path, GUARDED), "processes")
    assert len(_group(process.pid)) >= 4  # the parent, the fork server, the resource tracker, workers
    process.send_signal(how)
    process.communicate(timeout=30)
    left = _wait_for_empty(process.pid, 5.0)
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    assert not left


@pytest.mark.parametrize("backend", ["processes", "dask"])
def test_an_unguarded_script_gets_a_runtime_error(tmp_path, backend):
    done = subprocess.run([sys.executable, _script(tmp_path, SCRIPT + "main()\n"), backend],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and "finished" not in done.stdout
    assert done.stdout.count("sweeping") <= 3  # the script and the two workers that imported it
    last = done.stderr.rstrip().splitlines()[-1]
    assert last.startswith("RuntimeError: norvane.sweep: the worker processes failed while importing the main "
                           "script") and 'if __name__ == "__main__":' in last
    # Workers killed while they start are no sign of a missing guard.
    killed = 'import os, signal\nif __name__ == "__mp_main__":\n    os.kill(os.getpid(), signal.SIGKILL)\n'
    done = subprocess.run([sys.executable, _script(tmp_path, killed + GUARDED), backend],
                          capture_output=True, text=True, timeout=60)
    last = done.stderr.rstrip().splitlines()[-1]
    assert last.startswith("RuntimeError: norvane.sweep: a worker process failed while it started"), last


SURVIVING = SCRIPT + '''
def children():
    """This process's live children, but for multiprocessing's resource tracker."""
    found = []
    for task in os.listdir(f"/proc/{os.getpid()}/task"):
        try:  # a thread, or a child, may end while it is looked at
            with open(f"/proc/{os.getpid()}/task/{task}/children") as listed:
                pids = listed.read().split()
        except FileNotFoundError:
            continue
        for pid in pids:
            try:
                with open(f"/proc/{pid}/cmdline") as command:
                    if "resource_tracker" not in command.read():
                        found.append(pid)
            except FileNotFoundError:
                pass
    return found

if __name__ == "__main__":
    import os, time
    try:
        main()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    # A worker caught half-started ends by itself (its pipe is gone), at once.
    deadline = time.monotonic() + 10
    while children() and time.monotonic() < deadline:
        time.sleep(0.1)
    print("children", children(), flush=True)
'''


@linux_only
def test_ctrl_c_while_the_local_cluster_starts(tmp_path):
    # An interactive session lives on after Ctrl-C: no worker may, and the
    # cluster's scratch space goes too.
    path = _script(tmp_path, SURVIVING)
    process = subprocess.Popen([sys.executable, path, "dask"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, env={**os.environ, "TMPDIR": str(tmp_path)})
    assert process.stdout.readline() == "sweeping\n"
    deadline = time.monotonic() + 30
    while not _spawned_children(process.pid) and time.monotonic() < deadline:
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)  # a worker is importing its modules: seconds before it is up
    out, err = process.communicate(timeout=60)
    assert out.splitlines()[-2:] == ["interrupted", "children []"], err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["script.py"]


# ---------------------------------------------------------------------------
# Dask


@pytest.fixture(scope="class")
def port_8787_taken():
    """A listener on 8787, the default dashboard port, for the whole class."""
    holder = socket.socket()
    try:
        holder.bind(("", 8787))
        holder.listen()
    except OSError:
        pass  # something else holds it already: as good
    yield
    holder.close()


@pytest.fixture(scope="class")
def dask_client(port_8787_taken):
    import distributed

    from norvane.sweeps._cluster import local_client

    with local_client(distributed, 2) as client:
        yield client


@pytest.mark.usefixtures("port_8787_taken")
class TestDask:
    def test_own_local_cluster_gives_the_serial_frame(self, market, serial):
        got = sweep(*market, GRID, backend="dask", workers=2, keep_equity=True, sell_tax=0.001)
        assert_same_frames(got, serial)

    def test_strategies_on_a_client(self, market, serial_strategies, dask_client):
        got = sweep(market[0], momentum, STRATEGY_GRID, backend="dask", client=dask_client, rebalance="W")
        assert got.equals(serial_strategies)

    def test_a_run_that_kills_its_worker_fails_alone(self, market, serial_strategies, dask_client):
        grid = [{"lookback": 5, "top": 2, "stop_loss": s} for s in (None, 0.05)] * 3
        grid[2:2] = [{"mode": "crash", "stop_loss": s} for s in (None, 0.05)]
        expected = serial_strategies.loc[[0, 1] * 3, list(STAT_NAMES)]
        for _ in range(3):
            got = sweep(market[0], momentum, grid, backend="dask", client=dask_client, rebalance="W")
            assert got["error"][2:4].str.startswith("the worker process running this backtest died").all()
            assert_same_values(got.drop([2, 3])[list(STAT_NAMES)], expected)

    def test_threaded_workers_take_turns_on_the_engine(self, market, serial):
        import distributed

        from norvane.sweeps._cluster import local_client

        runs = [{"stop_loss": s, "commission": c} for s in GRID["stop_loss"] for c in GRID["commission"]]
        previous = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)  # switch threads often enough to interleave unguarded runs
        try:
            with local_client(distributed, 1, threads_per_worker=4, processes=False) as client:
                got = sweep(*market, runs * 8, backend="dask", client=client, sell_tax=0.001)
        finally:
            sys.setswitchinterval(previous)
        expected = pd.concat([serial.drop(columns="equity")] * 8, ignore_index=True)
        assert got.equals(expected)

    def test_missing_dask_is_named(self, market, monkeypatch):
        monkeypatch.setitem(sys.modules, "distributed", None)
        with pytest.raises(ImportError, match=r"norvane\[dask\]"):
            sweep(*market, GRID, backend="dask")


def test_progress_bar_and_package_attribute(market, capsys):
    pytest.importorskip("tqdm")
    import norvane

    out = norvane.sweep(*market, {"commission": [0.001, 0.002]}, backend="serial", progress=True)
    assert len(out) == 2 and "2/2" in capsys.readouterr().err
