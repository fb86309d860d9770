"""The machinery behind `norvane.sweep`.

- `runs`: one run, in whichever process makes it, and the preparation a
  group of runs shares (the strategy's position and the engine's arrays);
- `pool`: the local worker processes (Ctrl-C, a crashing run, a parent
  that dies, a script without a ``__main__`` guard);
- `cluster`: the same on a Dask cluster.
"""
