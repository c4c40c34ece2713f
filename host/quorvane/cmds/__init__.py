"""Commands that the terminal apps dispatch."""
