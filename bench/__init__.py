"""Benchmarks of the native engine against its peers (not part of CI).

Run ``python -m bench.run --help`` from the repository root.
"""
