"""norvane: a bit-exact portfolio backtester with native C++ cores.

`norvane.ravelin` is the engine, `norvane.tessary` the per-trade excursion
analysis. Importing the package itself stays light: the native modules are
loaded when first used.
"""

__all__ = ["ravelin", "tessary"]
__version__ = "0.1.0"
