"""Fuzzing of every callable: for any input that respects the sizes, no write
outside the documented output extent, counts and counters within their
bounds, and values within their documented ranges.  Each output lies between
two guard zones of sentinels; inputs are exactly sized, so a sanitized build
(`make sanitize`) also catches reads past their ends.  Regression cases for
the faults these properties found sit beside the property of their callable.

TROVEL_HYPOTHESIS_PROFILE=heavy runs many more examples.
"""
import math
import os
from fractions import Fraction

import numpy as np
import pytest

import _trovel

IDENTITY = (1.0, 0.0, 0.0, 1.0)


def pixel_frac_one(edge, q=(0.0, 0.0), p=(0.0, 0.0), jac=IDENTITY):
    """pixel_frac for one pixel with the shared-edge form."""
    arrays = [np.array([v], dtype=np.float64) for v in (*q, *p, *jac)]
    out = np.full(1, np.nan)
    _trovel.pixel_frac(*map(float, edge), *(a.ctypes.data for a in arrays), out.ctypes.data, 1)
    return float(out[0])


# --- pixel_frac ---------------------------------------------------------------------

def fraction_below_nearly_flat_line(x0, y0, a, b):
    """Exact share of the square [-0.5, 0.5]^2 below the line through (x0, y0)
    along (b, a), for a line that crosses both vertical sides inside it."""
    y_mid = Fraction(y0) - Fraction(x0) * Fraction(a) / Fraction(b)  # height at x = 0
    assert abs(y_mid) < Fraction(1, 2) - abs(Fraction(a) / Fraction(b))
    return float(y_mid + Fraction(1, 2))


# An edge point 9e15 pixels away and a line 3e-33 from parallel to a pixel side:
# the crossings F and G carry rounding errors far above their difference, and
# the corner-triangle formulas multiplied those errors by 3e32.
NEARLY_FLAT = {
    "below_top_side": (-9006156086438125.0, 0.4999999999999999, 3.08184483471528e-33, 1.0),
    "above_bottom_side": (-9005201785176279.0, -0.5, 3.082171424666815e-33, 1.0),
}


@pytest.mark.parametrize("edge", NEARLY_FLAT.values(), ids=NEARLY_FLAT.keys())
def test_pixel_frac_line_nearly_parallel_to_a_side(edge):
    x0, y0, a, b = edge
    expected = fraction_below_nearly_flat_line(*edge)
    # within a few roundings of the offset from the side
    assert abs(pixel_frac_one(edge) - expected) <= 1e-15
    assert abs(pixel_frac_one((-x0, -y0, a, b)) - (1 - expected)) <= 1e-15
    assert abs(pixel_frac_one((y0, x0, b, a)) - (1 - expected)) <= 1e-15


# Pairs whose squares leave the double range: only their direction counts.
PAIR_SCALES = {"tiny": 1e-170, "subnormal": 1e-320, "huge": 1e160, "near_max": 1e300}


@pytest.mark.parametrize("scale", PAIR_SCALES.values(), ids=PAIR_SCALES.keys())
def test_pixel_frac_pair_length_does_not_matter(scale):
    assert pixel_frac_one((0.25, 0.0, scale, 0.0)) == 0.25
    assert pixel_frac_one((0.25, 0.0, -scale, 0.0)) == 0.75
    sheared = {"jac": (1.0, 0.5, 0.0, 1.0)}
    for edge, kw in (((0.3, 0.1, 0.6, 0.8), {}), ((0.2, 0.1, 1.0, 0.3), sheared)):
        a, b = edge[2] * scale, edge[3] * scale
        got = pixel_frac_one((*edge[:2], a, b), **kw)
        # the same pair brought near unit length by a power of two, exactly
        e = math.frexp(max(abs(a), abs(b)))[1]
        assert got == pixel_frac_one((*edge[:2], math.ldexp(a, -e), math.ldexp(b, -e)), **kw)
        if scale > 1e-300:  # a subnormal pair keeps only a few bits of its direction
            assert abs(got - pixel_frac_one(edge, **kw)) <= 1e-15
