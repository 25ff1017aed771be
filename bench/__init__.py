"""Benchmark harness: our k-NN entry points against peer ANN libraries.

Run ``python -m bench --help``.
"""
