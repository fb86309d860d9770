"""norvane: a bit-exact portfolio backtester with native C++ cores.

`norvane.backtest` runs a strategy given as pandas frames and returns a
`norvane.Report`; `norvane.sweep` runs it over a grid of parameters
(`norvane.rerun` gives the report of one of its rows) and
`norvane.walk_forward` validates a grid out of sample;
`norvane.ravelin` is the native engine underneath and
`norvane.tessary` the per-trade excursion analysis. Importing the package
itself stays light: the engine, pandas and the native modules are loaded when
one of these names is first used.

Type checkers and editors read ``__init__.pyi`` beside this file, which
imports the public names directly; this module binds no other name, so
completion offers the public API only.
"""

__all__ = ["backtest", "Report", "sweep", "rerun", "walk_forward", "ravelin", "tessary"]
__version__ = "0.1.0"

# public name -> (module, attribute or None for the module itself)
_LAZY = {
    "backtest": ("norvane.api", "backtest"),
    "Report": ("norvane.report", "Report"),
    "sweep": ("norvane.sweeps", "sweep"),
    "rerun": ("norvane.sweeps", "rerun"),
    "walk_forward": ("norvane.walkforward", "walk_forward"),
    "ravelin": ("norvane.ravelin", None),
    "tessary": ("norvane.tessary", None),
}


def __getattr__(name: str) -> object:
    import importlib  # here, not at the top: the package namespace stays the public names

    try:
        module_name, attribute = _LAZY[name]
    except KeyError:
        raise AttributeError(f"module 'norvane' has no attribute {name!r}") from None
    try:
        module = importlib.import_module(module_name)
    except ModuleNotFoundError as exc:
        if exc.name != module_name:
            raise
        raise AttributeError(f"module 'norvane' has no attribute {name!r}") from exc
    value = module if attribute is None else getattr(module, attribute)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    # Submodules imported so far are attributes too; completion offers the
    # public names and the module's own dunders only.
    return sorted({*__all__, "__version__"} | {name for name in globals() if name.startswith("__")})
