"""Property-based fuzzing of the engine's public functions with hostile
arguments: whatever they are given, backtest_, get_trade_stocks and ioft
either return a well-formed result or raise an ordinary exception, and the
module state stays usable for the next run.

Every example runs in a forked child, so a crash (or a sanitizer report in
the sanitizer build) fails that example instead of killing pytest, and
Hypothesis can still shrink it; a child that hangs is killed.
"""

import datetime
import faulthandler
import math
import os
import signal
import sys
import tempfile
import traceback

import numpy as np
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from norvane import ravelin, tessary

DAY = 86_400 * 10**9
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
NAN, INF = math.nan, math.inf

CHILD_SECONDS = 120  # a child that hangs (a deadlock, a runaway loop) is killed

LONG = os.environ.get("HYPOTHESIS_PROFILE") == "long"


def fuzz(examples):
    """Deterministic and bounded by default; HYPOTHESIS_PROFILE=long fuzzes
    with fresh randomness and keeps failures in the example database."""
    return settings(
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
        **(dict(max_examples=20 * examples) if LONG else dict(max_examples=examples, derandomize=True,
                                                               database=None)),
    )


# ---- running an example in a child process --------------------------------

def isolated(action):
    """Runs action() in a forked child and fails unless it finished cleanly.

    The child's stderr (tracebacks the native code prints, sanitizer
    reports, faulthandler dumps) comes back in the failure message.
    """
    sys.stdout.flush()
    sys.stderr.flush()
    with tempfile.TemporaryFile() as log:
        pid = os.fork()
        if pid == 0:  # child: never returns into pytest
            code = 1
            try:
                os.dup2(log.fileno(), 1)
                os.dup2(log.fileno(), 2)
                sys.stdout = sys.stderr = open(2, "w", buffering=1, closefd=False)
                faulthandler.enable(sys.stderr)
                signal.alarm(CHILD_SECONDS)
                action()
                code = 0
            except BaseException:  # noqa: BLE001 - everything is reported to the parent
                traceback.print_exc()
            finally:
                sys.stderr.flush()
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        reports = claim_sanitizer_reports(pid)
        if status != 0 or reports:
            log.seek(0)
            output = log.read().decode(errors="replace")
            if len(output) > 6000:
                output = output[:1500] + "\n...\n" + output[-4500:]
            raise AssertionError(f"child ended with {describe(status)}:\n{output}{''.join(reports)}")


def claim_sanitizer_reports(pid):
    """What the sanitizer runtimes wrote for `pid`, when they log to files
    (see tools/sanitize); read into the test's verdict and removed."""
    reports = []
    for variable in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        for option in os.environ.get(variable, "").split(":"):
            if option.startswith("log_path="):
                path = f"{option.removeprefix('log_path=')}.{pid}"
                if os.path.exists(path):
                    with open(path, errors="replace") as report:
                        reports.append(report.read())
                    os.remove(path)
    return reports


def describe(status):
    code = os.waitstatus_to_exitcode(status)
    return f"signal {-code}" if code < 0 else f"exit code {code}"


class Unraisables:
    """An unraisable hook that only remembers the types it saw."""

    def __init__(self):
        self.types = []

    def __call__(self, report):
        self.types.append(type(report.exc_value))


def outcome(call):
    """The call's result, or the Exception it raised. A SystemError means
    the native code broke the interpreter's calling contract: that, like
    anything that is not an Exception, propagates and fails the example."""
    try:
        return call()
    except SystemError:
        raise
    except Exception as error:  # noqa: BLE001
        return error


def install_hook():
    hook = Unraisables()
    sys.unraisablehook = hook
    return hook


def no_system_errors(hook):
    assert SystemError not in hook.types, hook.types


# ---- a coherent market to start from ---------------------------------------

def good_market(rows=30, stocks=3):
    """Prices and weights that always produce trades, closed and open."""
    rng = np.random.default_rng(3)
    prices = 20 * np.cumprod(1 + rng.normal(0, 0.05, (rows, stocks)), axis=0)
    index = (np.arange(rows, dtype=np.int64) + 18_000) * DAY
    names = np.array([f"G{i}" for i in range(stocks)], dtype=object)
    weights = np.array([[1.0, 0.0, 1.0], [0.0, 1.0, 1.0], [1.0, 1.0, 0.0]])[:, :stocks]
    pos_index = index[[2, 10, 20]]
    return [prices, index, names, weights, pos_index, names.copy(), pos_index.copy()]


def check_state_still_usable(hook):
    """After anything, a good run works and its trades list correctly."""
    market = good_market()
    curve = ravelin.backtest_(*market, stop_loss=0.05, tessary_window=4, tessary_window_step=2)
    assert curve.dtype == np.float64 and curve.shape == (30,)
    assert np.isfinite(curve).all()
    rows, operations = ravelin.get_trade_stocks(market[5], market[1])
    assert len(rows) == len(tessary.trades) == len(tessary.trade_positions) == len(tessary.tessary) > 0
    assert [row[7:] for row in rows] == [trade[1:] for trade in tessary.trades]
    copy = ravelin.get_stock_operations()
    assert copy == operations and sorted(copy) == ["actions", "next_weights", "weights"]
    no_system_errors(hook)


price_elements = st.one_of(
    st.floats(0.01, 1000.0),
    st.sampled_from([NAN, 0.0, -0.0, -5.0, INF, -INF, 1e308, -1e308, 5e-324, 1e-300]),
)
weight_elements = st.one_of(
    st.just(0.0),
    st.floats(0.0, 1.0),
    st.sampled_from([NAN, INF, -INF, -1.0, 1e308, -1e308, 5e-324, -0.0]),
)
date_values = st.integers(INT64_MIN, INT64_MAX)


@st.composite
def date_index(draw, length, base=18_000 * DAY):
    shape = draw(st.sampled_from(["ascending", "ascending", "ascending", "duplicates", "unsorted", "extreme"]))
    if shape == "extreme":
        return np.array(draw(st.lists(date_values, min_size=length, max_size=length)), dtype=np.int64)
    steps = draw(st.lists(st.integers(1, 3), min_size=length, max_size=length))
    dates = base + np.cumsum(np.array(steps, dtype=np.int64)) * DAY
    if shape == "duplicates" and length > 1:
        dates[1:] = dates[:-1]
    elif shape == "unsorted":
        dates = draw(st.permutations(list(dates))) if length else dates
    return np.array(dates, dtype=np.int64)


@st.composite
def matrix(draw, rows, columns, elements):
    values = draw(st.lists(elements, min_size=rows * columns, max_size=rows * columns))
    return np.array(values, dtype=np.float64).reshape(rows, columns)


@st.composite
def market(draw):
    rows = draw(st.integers(0, 10))
    stocks = draw(st.integers(1, 4))
    price_index = draw(date_index(rows))
    names = np.array([f"S{i}" for i in range(stocks)], dtype=object)
    price_names = names[draw(st.permutations(range(stocks)))]
    pos_rows = draw(st.integers(1, 4))
    pos_index = draw(date_index(pos_rows, base=draw(st.sampled_from([17_990, 18_000, 18_004, 18_020])) * DAY))
    resample = draw(st.one_of(st.just(pos_index.copy()), date_index(draw(st.integers(0, 5)))))
    return {
        "price_values": draw(matrix(rows, stocks, price_elements)),
        "price_index": price_index,
        "price_columns": price_names,
        "pos_values": draw(matrix(pos_rows, stocks, weight_elements)),
        "pos_index": pos_index,
        "pos_columns": names,
        "resample": resample,
    }


# ---- hostile replacements ---------------------------------------------------

class Lying(np.ndarray):
    """An ndarray subclass whose `size` disagrees with its buffer."""

    size = 1

    def __repr__(self):
        return f"{np.asarray(self)!r}.view(Lying)"


class Meddling(np.ndarray):
    """An ndarray subclass whose item access runs arbitrary code."""

    meddle = staticmethod(lambda: None)

    def __repr__(self):
        return f"{np.asarray(self)!r}.view(Meddling)"

    def __getitem__(self, key):
        type(self).meddle()
        return super().__getitem__(key)


def nested_run():
    ravelin.backtest_(*good_market(10, 2))


MEDDLING_ACTIONS = {
    "nested run": nested_run,
    "clear trades": lambda: tessary.trades.clear(),
    "garbage trade": lambda: tessary.trades.append(["x", None]),
    "drop entries": lambda: setattr(tessary, "entry", None),
    "huge entries": lambda: setattr(tessary, "entry", np.full(8, 1e300)),
    "nan entries": lambda: setattr(tessary, "entry", np.full(8, NAN)),
    "named entries": lambda: setattr(tessary, "entry", np.array(["a"] * 8, dtype=object)),
    "no positions": lambda: setattr(tessary, "position", np.zeros(0)),
    "2-d positions": lambda: setattr(tessary, "position", np.zeros((8, 8))),
    "fresh trade lists": lambda: (setattr(tessary, "trades", []), setattr(tessary, "trade_positions", [])),
    "listing": lambda: ravelin.get_trade_stocks(None, None),
    "raise": lambda: 1 / 0,
}


class Unconvertible:
    def __repr__(self):
        return "Unconvertible()"

    def __float__(self):
        raise RuntimeError("no float")

    def __index__(self):
        raise RuntimeError("no index")

    def __int__(self):
        raise RuntimeError("no int")

    def __bool__(self):
        raise RuntimeError("no truth")


def array_variants(value):
    """Hostile variants of an array argument, given its good value."""
    variants = [
        lambda: None,
        lambda: value.tolist(),
        lambda: 3,
        lambda: np.asarray(value).reshape(-1)[:1].reshape(()),  # 0-d
        lambda: value.reshape(1, *value.shape),  # one more dimension
        lambda: value.reshape(-1)[:0],  # empty 1-d
        lambda: value[:-1],  # one row fewer
        lambda: value[:0],  # no rows
        lambda: np.concatenate([value, value[:1]]) if len(value) else value,  # one row more
        lambda: value[::-1],  # negative strides
        lambda: np.repeat(value, 2, axis=0)[::2],  # non-contiguous
        lambda: read_only(value),
        lambda: np.broadcast_to(value[:1], value.shape) if len(value) else value,  # zero strides
        lambda: value.view(Lying),
        lambda: value.view(Meddling),
        lambda: value.astype(value.dtype.newbyteorder(">")) if value.dtype != object else value,
        lambda: value.astype(object),
        lambda: value.astype(np.float32) if value.dtype != object else value,
        lambda: value.astype(np.int32) if value.dtype != object else value,
        lambda: value.astype(np.complex128) if value.dtype != object else value,
        lambda: value.astype(np.uint64) if value.dtype == np.int64 else value,
        lambda: value.astype("datetime64[ns]") if value.dtype == np.int64 else value,
    ]
    if value.ndim == 2:
        variants += [
            lambda: value[:, :-1],  # one column fewer
            lambda: value[:, :0],  # no columns
            lambda: np.asfortranarray(value),
            lambda: value.T,
            lambda: value.reshape(-1),  # 1-d
        ]
    if value.dtype == object:
        variants += [
            lambda: value.astype(str),  # fixed-width unicode
            lambda: value.astype(bytes),
            lambda: replace_first(value, None),
            lambda: replace_first(value, 7),
            lambda: replace_first(value, b"S0"),
            lambda: replace_first(value, "\udcff"),  # not encodable
            lambda: replace_first(value, value[-1] if len(value) else "S0"),  # duplicate name
            lambda: value.reshape(1, -1),
        ]
    return variants


def read_only(value):
    copy = value.copy()
    copy.flags.writeable = False
    return copy


def replace_first(value, element):
    copy = value.copy()
    if len(copy):
        copy[0] = element
    return copy


hostile_floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 1e-300, 1e300, NAN, INF, -INF]),
    st.sampled_from(["0.1", None, 10**400, 1j, Unconvertible(), np.float32(0.5), np.int64(-3), [0.1]]),
)
hostile_ints = st.one_of(
    st.sampled_from([0, 1, -1, 2, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1,
                     INT32_MAX + 1, INT32_MIN - 1, 2**63, -(2**63) - 1, 10**30]),
    st.integers(-100, 100),
    st.integers(INT32_MIN, INT32_MAX),
    st.sampled_from([1.5, -0.5, 2.0**31, NAN, INF, "3", None, True, np.int64(3), np.int32(-7),
                     np.float64(4.9), Unconvertible()]),
)
hostile_truths = st.sampled_from([True, False, 0, 1, None, "", "x", np.bool_(True), np.array([1, 2]),
                                  Unconvertible(), 0.0, NAN])
SCALARS = {
    "fee_ratio": hostile_floats,
    "tax_ratio": hostile_floats,
    "stop_loss": hostile_floats,
    "take_profit": hostile_floats,
    "touched_exit": hostile_truths,
    "position_limit": hostile_floats,
    "tessary_window": hostile_ints,
    "tessary_window_step": hostile_ints,
}
ARRAYS = ("price_values", "price_index", "price_columns", "pos_values", "pos_index", "pos_columns", "resample")
PARAMETERS = ARRAYS + tuple(SCALARS)


def rows_of(price_index):
    return np.asarray(price_index).shape[0]


def as_int32(value):
    """The engine's 32-bit conversion of a window argument, or None."""
    try:
        number = int(value)
    except Exception:  # noqa: BLE001
        return None
    return number if INT32_MIN <= number <= INT32_MAX else None


def wrap32(value):
    return (value + 2**31) % 2**32 - 2**31


def record_bytes(window, step):
    """Size of one excursion record the analysis allocates for a trade."""
    if window is None or step is None or step == 0:
        return 0
    groups = wrap32(wrap32(window - 1) // step + 2)
    return wrap32(groups * 6) * 8


@st.composite
def backtest_call(draw):
    """Keyword arguments of one backtest_ call: a market, the trading
    parameters, then up to three hostile replacements."""
    arguments = draw(market())
    arguments.update(
        fee_ratio=draw(st.sampled_from([0.0, 0.001425, 0.5])),
        tax_ratio=draw(st.sampled_from([0.0, 0.003])),
        stop_loss=draw(st.sampled_from([-INF, 0.02, -0.1, 0.0])),
        take_profit=draw(st.sampled_from([INF, 0.03, -0.2, 0.0])),
        touched_exit=draw(st.booleans()),
        position_limit=draw(st.sampled_from([1.0, 0.3, 0.0])),
        tessary_window=draw(st.sampled_from([0, 1, 3, 8])),
        tessary_window_step=draw(st.sampled_from([1, 2, 5])),
    )
    for name in draw(st.lists(st.sampled_from(PARAMETERS), max_size=3, unique=True)):
        if name in SCALARS:
            arguments[name] = draw(SCALARS[name])
        elif isinstance(arguments[name], np.ndarray):
            variant = draw(st.sampled_from(array_variants(arguments[name])))
            try:
                with np.errstate(all="ignore"):
                    arguments[name] = variant()
            except (ValueError, TypeError):  # no such variant of this value (e.g. 0-d of an empty array)
                arguments[name] = None
    # A window of hundreds of millions of samples would make every trade
    # allocate gigabytes; that is the caller's request, not a fault.
    assume(record_bytes(as_int32(arguments["tessary_window"]),
                       as_int32(arguments["tessary_window_step"])) < 2**22)
    positional = draw(st.integers(0, len(PARAMETERS)))
    args = [arguments.pop(name) for name in PARAMETERS[:positional]]
    miscount = draw(st.sampled_from([None] * 6 + ["drop", "bogus", "twice", "extra"]))
    if miscount == "drop" and arguments:
        arguments.pop(draw(st.sampled_from(sorted(arguments))))
    elif miscount == "bogus":
        arguments["bogus"] = 1
    elif miscount == "twice" and args:
        arguments[PARAMETERS[0]] = args[0]
    elif miscount == "extra":
        args = [*args, *[arguments.pop(name) for name in PARAMETERS[positional:]], 0]
    meddle = draw(st.sampled_from(sorted(MEDDLING_ACTIONS)))
    return args, arguments, meddle


def check_curve(curve, price_index):
    """One element per price row: the curve is as long as the index says it
    is (its `size`), and never shorter than the rows the run walked."""
    assert type(curve) is np.ndarray, type(curve)
    assert curve.dtype == np.float64 and curve.ndim == 1, (curve.dtype, curve.shape)
    assert isinstance(price_index, np.ndarray)
    assert curve.shape[0] == price_index.size >= rows_of(price_index), (curve.shape, price_index.size,
                                                                       rows_of(price_index))


def check_listing(result):
    if isinstance(result, Exception):
        return
    rows, operations = result
    assert type(rows) is list and all(type(row) is list and len(row) == 9 for row in rows)
    assert type(operations) is dict


def check_operations(result):
    assert type(result) is dict, result


@fuzz(300)
@given(calls=st.lists(backtest_call(), min_size=1, max_size=3))
def test_backtest_survives_hostile_arguments(calls):
    def body():
        hook = install_hook()
        for args, kwargs, meddle in calls:
            Meddling.meddle = staticmethod(MEDDLING_ACTIONS[meddle])
            named = dict(zip(PARAMETERS, args), **kwargs)
            result = outcome(lambda: ravelin.backtest_(*args, **kwargs))
            if not isinstance(result, Exception):
                check_curve(result, named["price_index"])
            Meddling.meddle = staticmethod(lambda: None)
            columns, index = named.get("pos_columns"), named.get("price_index")
            check_listing(outcome(lambda: ravelin.get_trade_stocks(columns, index)))
            check_operations(ravelin.get_stock_operations())
            no_system_errors(hook)
        check_state_still_usable(hook)

    isolated(body)


def test_index_understating_its_size():
    """Found by this fuzzing: the result was sized by `size` but written
    row by row, so a smaller `size` overran it."""
    def body():
        index = (np.arange(6, dtype=np.int64) * DAY).view(Lying)
        names = np.array(["A"], dtype=object)
        start = np.zeros(1, dtype=np.int64)
        result = outcome(lambda: ravelin.backtest_(np.ones((6, 1)), index, names, np.ones((1, 1)), start, names,
                                                   start))
        if not isinstance(result, Exception):
            check_curve(result, index)

    isolated(body)


listing_arguments = st.one_of(
    st.sampled_from(["good", "good", None, "list", "int", "float32", "2-d", "empty", "short",
                     "reversed", "lying", "meddling", "unicode", "bytes"]),
)
TAMPERING = {
    "none": lambda: None,
    "garbage trade": lambda: tessary.trades.append(["x", None, 2]),
    "short trade": lambda: tessary.trades.append([0]),
    "not a list": lambda: tessary.trades.append(5),
    "huge rows": lambda: tessary.trades.append([0, 2**70, -(2**70)]),
    "negative rows": lambda: tessary.trades.append([-1, -5, -1]),
    "drop positions": lambda: tessary.trade_positions.clear(),
    "extra positions": lambda: tessary.trade_positions.append(None),
    "entry row 0": lambda: tessary.trades.append([1, 0, 3]),
}


def listing_argument(kind, good):
    return {
        "good": lambda: good,
        None: lambda: None,
        "list": lambda: good.tolist(),
        "int": lambda: 1,
        "float32": lambda: good.astype(np.float32) if good.dtype != object else np.zeros(len(good), np.int32),
        "2-d": lambda: good.reshape(1, -1),
        "empty": lambda: good[:0],
        "short": lambda: good[:2],
        "reversed": lambda: good[::-1],
        "lying": lambda: good.view(Lying),
        "meddling": lambda: good.view(Meddling),
        "unicode": lambda: good.astype(str),
        "bytes": lambda: good.astype(bytes),
    }[kind]()


@fuzz(150)
@given(
    columns=listing_arguments,
    index=listing_arguments,
    tampering=st.lists(st.sampled_from(sorted(TAMPERING)), max_size=3),
    meddle=st.sampled_from(sorted(MEDDLING_ACTIONS)),
    run_first=st.booleans(),
)
def test_listing_survives_hostile_arguments_and_state(columns, index, tampering, meddle, run_first):
    def body():
        hook = install_hook()
        market = good_market()
        if run_first:
            ravelin.backtest_(*market, stop_loss=0.05, take_profit=0.05)
        for name in tampering:
            TAMPERING[name]()
        Meddling.meddle = staticmethod(MEDDLING_ACTIONS[meddle])
        pos_columns = listing_argument(columns, market[5])
        with np.errstate(all="ignore"):
            price_index = listing_argument(index, market[1])
        check_listing(outcome(lambda: ravelin.get_trade_stocks(pos_columns, price_index)))
        check_listing(outcome(lambda: ravelin.get_trade_stocks(price_index=price_index, pos_columns=pos_columns)))
        Meddling.meddle = staticmethod(lambda: None)
        check_operations(ravelin.get_stock_operations())
        check_state_still_usable(hook)

    isolated(body)


class Divides:
    """An object whose true division by 1e9 gives an arbitrary value."""

    def __init__(self, quotient):
        self.quotient = quotient

    def __repr__(self):
        return f"Divides({self.quotient!r})"

    def __truediv__(self, other):
        if isinstance(self.quotient, Exception):
            raise self.quotient
        return self.quotient


timestamps = st.one_of(
    st.integers(INT64_MIN, INT64_MAX),
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0, -1, 2**63, 2**1024, -(2**1024), 10**400, True, None, "0", b"0", [], 1j,
                     np.int64(INT64_MAX), np.int64(INT64_MIN), np.uint64(2**64 - 1), np.float32(1e38),
                     np.datetime64(0, "ns"), np.array(1.5e18), np.array([1, 2]), Unconvertible()]),
    st.builds(Divides, st.sampled_from([NAN, INF, -1e20, 1e20, 0, "x", None, ValueError("no")])),
)


@fuzz(100)
@given(values=st.lists(timestamps, min_size=1, max_size=10))
def test_ioft_returns_a_datetime_or_raises(values):
    def body():
        hook = install_hook()
        for value in values:
            result = outcome(lambda: ravelin.ioft(value))
            assert isinstance(result, (datetime.datetime, Exception)), result
        check_state_still_usable(hook)

    isolated(body)
