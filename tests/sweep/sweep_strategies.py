"""Strategies for the sweep tests, in a module of their own: worker processes
find a strategy by its module's name, which a test module does not have."""

import os
import signal

import numpy as np


def momentum(prices, lookback=20, top=3, mode="ok", log=None):
    """Hold the ``top`` stocks of best ``lookback``-day return.

    ``log``: a file that gets a line "pid lookback top mode" per call.
    ``mode``: "ok"; "raise" (ZeroDivisionError); "nan" (returns a NaN
    weight); "crash" (ends its process at once, as a native crash would);
    "swallow" (Ctrl-C arrives inside a ``__del__``, which drops its
    KeyboardInterrupt).
    """
    if log:
        with open(log, "a") as out:
            out.write(f"{os.getpid()} {lookback} {top} {mode}\n")
    if mode == "crash":
        os._exit(70)
    if mode == "swallow":
        _Swallowing()
    if mode == "raise":
        raise ZeroDivisionError("no signal today")
    score = prices / prices.shift(lookback) - 1.0
    position = (score.rank(axis=1, ascending=False) <= top).iloc[lookback:].astype(float)
    if mode == "nan":
        position.iloc[3, 1] = np.nan
    return position


class _Swallowing:
    def __del__(self):
        signal.raise_signal(signal.SIGINT)
