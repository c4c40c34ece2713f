"""Custom formulas shipped as an example: typical price.

The hot reloader (quorvane.formulas.hotreload) loads every *.py file of the custom formula
directory and registers what its FORMULAS dict declares. Copy this file to
$QUORVANE_FORMULA_DIR to start a directory of your own.
"""

from quorvane.formulas.presets import line


def TYPICAL(bars, *, emit=True):
    """Typical price of each bar: (high + low + close) / 3."""
    return line(bars, [(b.high + b.low + b.close) / 3.0 for b in bars], emit=emit)


FORMULAS = {"TYPICAL": TYPICAL}
