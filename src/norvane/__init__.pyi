# What type checkers and editors see of the package: the public names with
# their real types (at run time they are loaded on first use).
from norvane import ravelin as ravelin
from norvane import tessary as tessary
from norvane.api import backtest as backtest
from norvane.report import Report as Report
from norvane.sweeps import rerun as rerun
from norvane.sweeps import sweep as sweep
from norvane.walkforward import walk_forward as walk_forward

__all__ = ["backtest", "Report", "sweep", "rerun", "walk_forward", "ravelin", "tessary"]
__version__: str
