"""Broker modes of the reference host other than IB (whose mode lives in `quorvane.ib`)."""
