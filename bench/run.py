"""Benchmark of ``norvane.ravelin.backtest_`` with its peers, side by side.

Usage, from the repository root::

    python -m bench.run                      # sizes S and M, peers when installed
    python -m bench.run --sizes S,M,L        # L (5,000 stocks x 10,000 days) is opt-in
    python -m bench.run --sizes S --repeat 9 --no-peers

Install the peer with ``pip install ".[bench]"`` (vectorbt, which brings numba).

For every size the seeded market of ``bench/market.py`` is built once, and
each workload runs on it:

- ``monthly-50``        month ends, top-50 momentum, equal weights;
- ``monthly-50 tw60``   the same with ``tessary_window=60, tessary_window_step=5``;
- ``monthly-50 stops``  the same with stop loss 0.08, take profit 0.2, touched exits;
- ``weekly-200``        week ends, 200 random picks among listed stocks;
- ``daily``             every day, top-100 momentum.

What is measured, per workload:

- wall time of ``backtest_`` alone (inputs built beforehand), one untimed
  warm-up run then ``--repeat`` timed runs: median, min and max;
- memory beyond the inputs: the tracemalloc peak of one extra run (what NumPy
  and the interpreter allocate; the engine's own C++ containers are not
  traced) and the peak RSS growth of the timed runs (the kernel's high-water
  mark is reset before each run, and freed heap is handed back first);
- trades per second (all trades of the run, the ones still open at the end
  included) and nanoseconds per (processed row x average holding), where the
  average holding is the number of position-days of all trades divided by the
  processed rows, i.e. time per position-day marked.

Self-checks: the equity curve is bitwise identical across repeats, and it is
bitwise equal to the plain-Python reference model of ``tests/slow_reference.py``
wherever that model runs (sizes S and M by default); trades, entry values and
excursion records are compared with the model as well. A failed check is
flagged in the table and makes the command exit with status 1.

Peers (``--no-peers`` to skip):

- vectorbt ``Portfolio.from_orders``: target-percent sizes placed on the rows
  on which our engine trades (the row after each rebalance date), all other
  rows NaN; one group with cash sharing, ``call_seq="auto"``, ``fees`` equal
  to our commission (it has no sell tax), start cash 1.0. Prices that are NaN
  get a NaN size (it cannot trade without a price). Timed: ``from_orders``
  plus ``value()`` (the equity curve), after a compilation warm-up on a tiny
  market and one untimed run on the real inputs. It has no counterpart of
  the excursion records or of touched stop exits at given levels, so those
  workloads get no vectorbt time.
- the plain-Python reference: one run per workload (``--ref-repeat``) on the
  full rows, on the sizes in ``--ref-sizes``.

The results go to stdout as markdown and to ``bench/results.md``.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime as _dt
import gc
import importlib
import os
import platform
import subprocess
import sys
import time
import tracemalloc
import warnings
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
if __package__ in (None, ""):
    sys.path.insert(0, str(ROOT))

from bench import market as mk  # noqa: E402

import norvane  # noqa: E402
from norvane import ravelin, tessary  # noqa: E402

FEE = 0.001425

# (label, strategy, backtest_ keywords)
WORKLOADS = [
    ("monthly-50", "monthly-50", {}),
    ("monthly-50 tw60", "monthly-50", {"tessary_window": 60, "tessary_window_step": 5}),
    ("monthly-50 stops", "monthly-50", {"stop_loss": 0.08, "take_profit": 0.2, "touched_exit": True}),
    ("weekly-200", "weekly-200", {}),
    ("daily", "daily", {}),
]
# Workloads that vectorbt's from_orders expresses as we run them.
PEER_WORKLOADS = {"monthly-50", "weekly-200", "daily"}
DEFAULT_REPEAT = {"S": 5, "M": 3, "L": 3}


# --- process memory ----------------------------------------------------------

try:
    _LIBC = ctypes.CDLL("libc.so.6")
except OSError:  # not glibc: freed heap simply stays with the process
    _LIBC = None


def _status_kb(key: str, path: str = "/proc/self/status"):
    try:
        with open(path) as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_rss_peak() -> bool:
    """Sets the kernel's RSS high-water mark back to the current RSS."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def _settle() -> None:
    """Drops what the previous run left behind and gives freed heap back."""
    for results in (tessary.trades, tessary.trade_positions, tessary.tessary):
        results.clear()
    gc.collect()
    if _LIBC is not None:
        _LIBC.malloc_trim(0)


# --- results ------------------------------------------------------------------

@dataclass
class Timing:
    times: list = field(default_factory=list)
    cpu: list = field(default_factory=list)   # process CPU time of the same runs

    @property
    def cpu_median(self):
        return float(np.median(self.cpu)) if self.cpu else None

    @property
    def median(self):
        return float(np.median(self.times)) if self.times else None

    @property
    def low(self):
        return min(self.times) if self.times else None

    @property
    def high(self):
        return max(self.times) if self.times else None


@dataclass
class Result:
    size: str
    label: str
    shape: tuple
    rebalances: int
    ours: Timing = field(default_factory=Timing)
    trades: int = 0
    holding_days: int = 0
    processed_rows: int = 0
    final: float = float("nan")
    traced_peak: int | None = None
    traced_kept: int | None = None
    rss_peak_kb: int | None = None
    repeat_same: bool = True
    ref: Timing = field(default_factory=Timing)
    ref_checks: dict = field(default_factory=dict)
    peer: Timing = field(default_factory=Timing)
    peer_final: float | None = None
    final_no_tax: float | None = None
    peer_note: str = ""

    @property
    def failed(self) -> bool:
        return not self.repeat_same or not all(self.ref_checks.values())


# --- our engine ----------------------------------------------------------------

def _snapshot():
    trades = [(int(s), int(e), int(x)) for s, e, x in tessary.trades]
    positions = np.array(tessary.trade_positions, dtype=np.float64)
    records = [np.array(r) for r in tessary.tessary]
    return trades, positions, records, ravelin.get_stock_operations()


def run_ours(res: Result, args, params, repeat: int):
    curves = [ravelin.backtest_(*args, **params)]  # warm-up, checked with the rest
    for _ in range(repeat):
        _settle()
        peak_ok = _reset_rss_peak()
        rss0 = _status_kb("VmRSS")
        c0, t0 = time.process_time(), time.perf_counter()
        curve = ravelin.backtest_(*args, **params)
        res.ours.times.append(time.perf_counter() - t0)
        res.ours.cpu.append(time.process_time() - c0)
        if peak_ok and rss0 is not None:
            grown = _status_kb("VmHWM") - rss0
            res.rss_peak_kb = grown if res.rss_peak_kb is None else max(res.rss_peak_kb, grown)
        curves.append(curve)
    res.repeat_same = all(c.tobytes() == curves[0].tobytes() for c in curves)

    _settle()
    tracemalloc.start()
    ravelin.backtest_(*args, **params)
    res.traced_kept, res.traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()

    snap = _snapshot()
    index, pos_index = args[1], args[4]
    last = len(index) - 1
    res.trades = len(snap[0])
    res.holding_days = sum((last if x == -1 else x) - e for _, e, x in snap[0])
    res.processed_rows = int(np.count_nonzero(index >= pos_index[0]))
    res.final = float(curves[0][-1])
    return curves[0], snap


# --- plain-Python reference ------------------------------------------------------

def load_reference():
    tests = str(ROOT / "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
    try:
        return importlib.import_module("slow_reference")
    except ImportError as exc:
        print(f"reference model not available: {exc}", file=sys.stderr)
        return None


def _same_bits(a, b) -> bool:
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def run_reference(ref, res: Result, args, params, repeat: int, curve, snap):
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = ref.backtest(*args, **params)
        res.ref.times.append(time.perf_counter() - t0)
    ref_curve, _ops, ref_trades, ref_positions, ref_records = out
    trades, positions, records, operations = snap
    res.ref_checks["curve"] = _same_bits(ref_curve, curve)
    res.ref_checks["trades"] = [tuple(int(v) for v in t) for t in ref_trades] == trades
    res.ref_checks["entries"] = _same_bits(ref_positions, positions)
    res.ref_checks["records"] = (len(ref_records) == len(records)
                                 and all(_same_bits(a, b) for a, b in zip(ref_records, records)))
    res.ref_checks["operations"] = _ops == operations


# --- vectorbt ----------------------------------------------------------------------

def load_vectorbt():
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import pandas  # noqa: F401
            import vectorbt
        return vectorbt, None
    except Exception as exc:  # any import failure means: no peer here
        return None, f"{type(exc).__name__}: {exc}"


def _peer_inputs(market: mk.Market, pos_values, pos_index):
    import pandas as pd
    sizes = np.full(market.prices.shape, np.nan)
    rows = mk.trade_rows(market, pos_index)
    inside = rows < len(market.index)
    sizes[rows[inside]] = pos_values[inside]
    sizes[np.isnan(market.prices)] = np.nan
    dates = pd.DatetimeIndex(market.index.astype("datetime64[ns]"))
    names = list(market.columns)
    return (pd.DataFrame(market.prices, index=dates, columns=names),
            pd.DataFrame(sizes, index=dates, columns=names))


def _peer_curve(vbt, close, sizes, fee=FEE):
    portfolio = vbt.Portfolio.from_orders(
        close, sizes, size_type="targetpercent", fees=fee, init_cash=1.0,
        cash_sharing=True, group_by=True, call_seq="auto")
    return portfolio.value().to_numpy()


def warm_vectorbt(vbt):
    """Compiles the peer's kernels on a tiny market, then checks that it runs
    the same strategy: on a market without missing prices and with no costs
    its equity curve must agree with ours up to the engine's 1e-7 weight
    scaling. Returns (compile seconds, largest relative difference)."""
    tiny = mk.make_market(30, 120, seed=3)
    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for kind in ("monthly-50", "daily"):
            pos_values, pos_index, _ = mk.strategy(tiny, kind)
            _peer_curve(vbt, *_peer_inputs(tiny, pos_values, pos_index))
        compile_s = time.perf_counter() - t0
        clean = mk.make_market(400, 300, seed=5, late_listing=0.0, delisting=0.0, halt_rate=0.0)
        worst = 0.0
        for kind in ("monthly-50", "weekly-200", "daily"):
            pos_values, pos_index, resample = mk.strategy(clean, kind)
            peer = _peer_curve(vbt, *_peer_inputs(clean, pos_values, pos_index), fee=0.0)
            ours = ravelin.backtest_(clean.prices, clean.index, clean.columns, pos_values, pos_index,
                                     clean.columns, resample, fee_ratio=0.0, tax_ratio=0.0)
            worst = max(worst, float(np.max(np.abs(peer / ours - 1.0))))
    return compile_s, worst


def run_peer(vbt, res: Result, market, pos_values, pos_index, repeat: int):
    close, sizes = _peer_inputs(market, pos_values, pos_index)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _peer_curve(vbt, close, sizes)  # warm-up on the real inputs
        for _ in range(repeat):
            gc.collect()
            c0, t0 = time.process_time(), time.perf_counter()
            curve = _peer_curve(vbt, close, sizes)
            res.peer.times.append(time.perf_counter() - t0)
            res.peer.cpu.append(time.process_time() - c0)
    res.peer_final = float(curve[-1])
    # Our final equity without the sell tax, which the peer does not charge.
    res.final_no_tax = float(ravelin.backtest_(market.prices, market.index, market.columns, pos_values,
                                               pos_index, market.columns, pos_index, tax_ratio=0.0)[-1])


# --- report ------------------------------------------------------------------------

def _read_cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _version(name: str) -> str:
    try:
        from importlib.metadata import version
        return version(name)
    except Exception:
        return "not installed"


def _git_revision() -> str:
    try:
        return subprocess.run(["git", "describe", "--always", "--dirty"], cwd=ROOT,
                              capture_output=True, text=True, timeout=10).stdout.strip() or "?"
    except (OSError, subprocess.SubprocessError):
        return "?"


def machine_lines() -> list[str]:
    mem = _status_kb("MemTotal", "/proc/meminfo")
    cores = os.cpu_count()
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else cores
    return [
        f"- CPU: {_read_cpu_model()}, {cores} logical cores ({usable} usable)"
        + (f", {mem / 2**20:.1f} GiB RAM" if mem else ""),
        f"- OS: {platform.system()} {platform.release()}",
        f"- Python {platform.python_version()}, NumPy {np.__version__}, "
        f"norvane {_version('norvane')} (checkout {_git_revision()}), "
        f"vectorbt {_version('vectorbt')}, numba {_version('numba')}, pandas {_version('pandas')}",
        f"- run at {_dt.datetime.now().isoformat(timespec='seconds')}: `{' '.join(['python -m bench.run'] + sys.argv[1:])}`",
    ]


def _ms(seconds) -> str:
    return "—" if seconds is None else f"{seconds * 1e3:,.1f}"


def _mb(nbytes) -> str:
    return "—" if nbytes is None else f"{nbytes / 2**20:,.1f}"


def _ratio(num, den) -> str:
    return "—" if num is None or not den else f"{num / den:,.1f}×"


def _spread(t: Timing) -> str:
    if not t.times:
        return "—"
    return f"{t.low * 1e3:,.1f}–{t.high * 1e3:,.1f} (±{(t.high - t.low) / 2 / t.median:.0%})"


def render(results: list[Result], notes: list[str], repeats: dict) -> str:
    out = ["# norvane benchmark", "", "## Machine", ""] + machine_lines()
    out += ["", "Repeats (timed runs after one warm-up): "
            + ", ".join(f"{s} ×{n}" for s, n in repeats.items()) + ".", ""]

    headline = {(r.size, r.label): r for r in results}
    hl = []
    for size in repeats:
        a, b = headline.get((size, "monthly-50")), headline.get((size, "monthly-50 tw60"))
        if a and b:
            hl.append(f"- {size} monthly-50: `backtest_` median **{_ms(a.ours.median)} ms** (best "
                      f"{_ms(a.ours.low)}) with tessary_window 0, **{_ms(b.ours.median)} ms** (best "
                      f"{_ms(b.ours.low)}) with tessary_window 60 (step 5)")
    peers = [r for r in results if r.peer.times]
    if peers:
        hl.append("- vectorbt time / ours (wall medians; CPU medians in brackets): " + ", ".join(
            f"{r.size} {r.label} {_ratio(r.peer.median, r.ours.median)} "
            f"({_ratio(r.peer.cpu_median, r.ours.cpu_median)})" for r in peers))
    if hl:
        out += ["## Headline", ""] + hl + [""]

    out += ["## Our engine", "",
            "| size | workload | days × stocks | rebal. | trades | median ms | min–max ms (half-range/median) "
            "| CPU median ms | trades/s | ns per row×holding | avg holding | tracemalloc peak MB (kept) | RSS peak Δ MB | final equity |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        med = r.ours.median
        avg_hold = r.holding_days / r.processed_rows if r.processed_rows else 0.0
        per_cell = med * 1e9 / r.holding_days if r.holding_days else None
        out.append(
            f"| {r.size} | {r.label} | {r.shape[0]:,} × {r.shape[1]:,} | {r.rebalances} | {r.trades:,} "
            f"| {_ms(med)} | {_spread(r.ours)} | {_ms(r.ours.cpu_median)} | {r.trades / med:,.0f} "
            f"| {'—' if per_cell is None else f'{per_cell:,.1f}'} | {avg_hold:,.1f} "
            f"| {_mb(r.traced_peak)} ({_mb(r.traced_kept)}) "
            f"| {'—' if r.rss_peak_kb is None else f'{r.rss_peak_kb / 1024:,.1f}'} | {r.final:.6f} |")

    out += ["", "## Peers", "",
            "| size | workload | ours median ms | vectorbt median ms | vectorbt min–max ms | vectorbt / ours "
            "| same on CPU time | reference ms | reference / ours | final equity ours (no tax) / vectorbt | checks |",
            "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        checks = ["repeats " + ("identical" if r.repeat_same else "**DIFFER**")]
        for name, ok in r.ref_checks.items():
            checks.append(f"{name} {'= ref' if ok else '**≠ ref**'}")
        peer_final = "—" if r.peer_final is None else f"{r.final_no_tax:.4f} / {r.peer_final:.4f}"
        out.append(
            f"| {r.size} | {r.label} | {_ms(r.ours.median)} | {_ms(r.peer.median) if r.peer.times else r.peer_note or '—'} "
            f"| {_spread(r.peer)} | {_ratio(r.peer.median, r.ours.median)} "
            f"| {_ratio(r.peer.cpu_median, r.ours.cpu_median)} "
            f"| {_ms(r.ref.median)} | {_ratio(r.ref.median, r.ours.median)} | {peer_final} | {', '.join(checks)} |")

    out += ["", "## Notes", ""] + [f"- {n}" for n in notes]
    return "\n".join(out) + "\n"


# --- driver --------------------------------------------------------------------------

def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="S,M", help="comma-separated among S, M, L (default S,M)")
    parser.add_argument("--repeat", type=int, help="timed runs per workload (default S 5, M 3, L 3)")
    parser.add_argument("--workloads", help="comma-separated labels (default all): "
                        + ", ".join(w[0] for w in WORKLOADS))
    peers = parser.add_mutually_exclusive_group()
    peers.add_argument("--peers", dest="peers", action="store_true", default=True,
                       help="time vectorbt when it is installed (default)")
    peers.add_argument("--no-peers", dest="peers", action="store_false", help="skip vectorbt")
    parser.add_argument("--ref-sizes", default="S,M", help="sizes on which the reference model runs (default S,M)")
    parser.add_argument("--ref-repeat", type=int, default=1, help="timed reference runs per workload (default 1)")
    parser.add_argument("--seed", type=int, default=7, help="market seed (default 7)")
    parser.add_argument("--out", default=str(ROOT / "bench" / "results.md"), help="markdown file to write")
    opts = parser.parse_args(argv)

    sizes = [s.strip().upper() for s in opts.sizes.split(",") if s.strip()]
    unknown = [s for s in sizes if s not in mk.SIZES]
    if unknown:
        parser.error(f"unknown size(s) {unknown}; choose among {list(mk.SIZES)}")
    chosen = WORKLOADS
    if opts.workloads:
        wanted = {w.strip() for w in opts.workloads.split(",")}
        chosen = [w for w in WORKLOADS if w[0] in wanted]
        if not chosen:
            parser.error("no known workload selected")
    repeats = {s: opts.repeat or DEFAULT_REPEAT[s] for s in sizes}
    ref_sizes = {s.strip().upper() for s in opts.ref_sizes.split(",") if s.strip()}

    notes = [
        "Times are wall-clock `time.perf_counter` around one call; inputs are built beforehand. "
        "Other jobs may share the machine, so read medians and spreads, not single runs; the CPU median "
        "(`time.process_time` of the same runs) is less sensitive to that sharing. The garbage collector "
        "stays enabled during the runs, as it would be for a user.",
        "ns per row×holding = median time / position-days marked (sum over trades of exit row − entry row, "
        "open trades counted to the last row); avg holding = position-days / processed rows.",
        "tracemalloc traces NumPy and interpreter allocations only (not the engine's C++ containers); "
        "'kept' is what the run leaves allocated (equity curve, trade lists, excursion records). "
        "RSS peak Δ = kernel high-water mark minus RSS before the run, after freed heap was returned.",
    ]
    ref = load_reference() if ref_sizes & set(sizes) else None
    if ref is not None:
        notes.append("Reference = `tests/slow_reference.py` (plain Python/NumPy), "
                     f"{opts.ref_repeat} run(s) per workload on the full rows of sizes "
                     f"{', '.join(sorted(ref_sizes & set(sizes)))}; its equity curve, trades, entry values, "
                     "excursion records and next-day operations are compared with ours bit for bit.")
    elif ref_sizes & set(sizes):
        notes.append("Reference model `tests/slow_reference.py` not found: no reference timing or bitwise check.")

    vbt = None
    if opts.peers:
        vbt, why = load_vectorbt()
        if vbt is None:
            notes.append(f"vectorbt not available ({why}); install with `pip install \".[bench]\"`.")
        else:
            compile_s, agreement = warm_vectorbt(vbt)
            notes.append(
                "vectorbt: `Portfolio.from_orders(close, size, size_type='targetpercent', fees=0.001425, "
                "init_cash=1.0, cash_sharing=True, group_by=True, call_seq='auto')` followed by `.value()`, "
                "with the weights placed on the rows our engine trades on and NaN sizes where the price is NaN; "
                f"timed after its compilation warm-up ({compile_s:.1f} s) and one untimed run. "
                "Same strategy: on a 400-stock market without missing prices and with no costs its equity "
                f"curves agree with ours to a relative {agreement:.1e} (our weights are scaled by "
                "1/(sum + 1e-7)). On the benchmark markets they differ: it charges no sell tax (hence our "
                "final equity is shown without tax), charges commission on top of the order instead of out "
                "of it, and cannot sell a holding whose price is missing (delisted stocks stay in its book). "
                "The tessary-window and touched-stop workloads have no counterpart in it.")
    else:
        notes.append("vectorbt skipped (--no-peers).")

    results: list[Result] = []
    failed = False
    for size in sizes:
        t0 = time.perf_counter()
        market = mk.sized_market(size, opts.seed)
        print(f"[{size}] market {market.prices.shape[1]} stocks x {market.prices.shape[0]} days "
              f"built in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
        strategies = {}
        for label, kind, params in chosen:
            if kind not in strategies:
                strategies[kind] = mk.strategy(market, kind)
            pos_values, pos_index, resample = strategies[kind]
            args = (market.prices, market.index, market.columns,
                    pos_values, pos_index, market.columns, resample)
            res = Result(size, label, market.prices.shape, len(pos_index))
            curve, snap = run_ours(res, args, params, repeats[size])
            if ref is not None and size in ref_sizes:
                run_reference(ref, res, args, params, opts.ref_repeat, curve, snap)
            del snap
            if vbt is not None and label in PEER_WORKLOADS:
                run_peer(vbt, res, market, pos_values, pos_index, repeats[size])
            elif vbt is not None:
                res.peer_note = "n/a"
            failed |= res.failed
            results.append(res)
            print(f"[{size}] {label}: ours {_ms(res.ours.median)} ms, trades {res.trades}"
                  + (f", ref {_ms(res.ref.median)} ms" if res.ref.times else "")
                  + (f", vectorbt {_ms(res.peer.median)} ms" if res.peer.times else "")
                  + ("" if not res.failed else "  CHECK FAILED"), file=sys.stderr)
        del market, strategies
        _settle()

    text = render(results, notes, repeats)
    print(text)
    Path(opts.out).write_text(text)
    if failed:
        print("self-check FAILED", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
