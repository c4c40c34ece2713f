"""Plain-Python transcriptions of the native modules, the baselines of the benchmarks."""
