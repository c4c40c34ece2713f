"""Quorvane market-data and trading service."""

__version__ = "0.1.0"
