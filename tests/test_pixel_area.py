"""Exact area of a triangle inside one pixel (clip_area)."""
import itertools
import math

import numpy as np
import pytest

import _trovel
from conftest import addr, f64


def area(tri, i, j):
    return _trovel.clip_area(addr(f64(*tri)), i, j)


def triangle_area(t):
    x0, y0, x1, y1, x2, y2 = t
    return abs((x1 - x0) * (y2 - y0) - (x2 - x0) * (y1 - y0)) * 0.5


EXACT_CASES = {
    "covers_pixel": ((-10, -10, 10, -10, 0, 10), 0, 0, 1.0),
    "covers_pixel_other_orientation": ((-10, -10, 0, 10, 10, -10), 0, 0, 1.0),
    "hypotenuse_on_diagonal": ((0, 0, 2, 0, 0, 2), 1, 1, 0.5),
    "cuts_corner": ((3, -2.5, 3, 3, -2.5, 3), 0, 0, 0.125),
    "cuts_corner_moved": ((13, 7.5, 13, 13, 7.5, 13), 10, 10, 0.125),
    "two_edges_on_pixel_sides": ((-0.5, -0.5, 0.5, -0.5, -0.5, 0.5), 0, 0, 0.5),
    "touching_pixel_side": ((0.5, -0.5, 1.5, -0.5, 0.5, 0.5), 0, 0, 0.0),
    "big_triangle_inner_pixel": ((-3, -3, 3, -3, -3, 3), -1, -1, 1.0),
    "big_triangle_halved_pixel": ((-3, -3, 3, -3, -3, 3), 1, -1, 0.5),
    "big_triangle_outer_pixel": ((-3, -3, 3, -3, -3, 3), 2, 2, 0.0),
    "far_from_origin": ((100, 200, 103, 200, 100, 203), 101, 201, 1.0),
    "disjoint": ((2, 2, 3, 2, 2, 3), 0, 0, 0.0),
    "collinear": ((-1, -1, 0, 0, 1, 1), 0, 0, 0.0),
    "touches_at_a_vertex": ((0.5, 0.5, 1.5, 0.5, 0.5, 1.5), 0, 0, 0.0),
}


@pytest.mark.parametrize("tri,i,j,expected", EXACT_CASES.values(), ids=EXACT_CASES.keys())
def test_exact_cases(tri, i, j, expected):
    result = area(tri, i, j)
    assert result == expected
    assert math.copysign(1.0, result) == 1.0  # never -0.0


@pytest.mark.parametrize("tri,i,j,expected", [
    ((-0.2, -0.2, 0.3, -0.2, 0, 0.3), 0, 0, 0.125),           # wholly inside
    ((0, -1.2, 1.2, 0.8, -1.2, 0.8), 0, 0, 371 / 375),        # leaves a hexagon
    ((-0.55, -0.2, 0.2, -0.62, 0.6, 0.61), 0, 0, 0.5155064527728),  # seven vertices
], ids=["inside", "hexagon", "seven_vertices"])
def test_rounded_cases(tri, i, j, expected):
    assert area(tri, i, j) == pytest.approx(expected, rel=1e-12, abs=1e-15)


@pytest.mark.parametrize("tri", [(0, -1.2, 1.2, 0.8, -1.2, 0.8), (-0.55, -0.2, 0.2, -0.62, 0.6, 0.61),
                                 (0.1, -2, 1.7, 0.3, -0.4, 1.9)])
def test_vertex_order_and_orientation_do_not_matter(tri):
    pts = [tri[0:2], tri[2:4], tri[4:6]]
    results = [area(sum(p, ()), 0, 0) for p in itertools.permutations(pts)]
    assert max(results) - min(results) <= 4e-16


def test_caller_triangle_is_untouched():
    tri = f64(0, -1.2, 1.2, 0.8, -1.2, 0.8)
    before = tri.copy()
    _trovel.clip_area(addr(tri), 0, 0)
    assert np.array_equal(tri, before)


def test_pixel_areas_add_up_to_the_triangle(rng):
    for _ in range(200):
        t = rng.uniform(-4, 4, 6)
        total = sum(area(t, i, j) for i in range(-5, 6) for j in range(-5, 6))
        assert total == pytest.approx(triangle_area(t), rel=1e-12, abs=1e-12)


def near(v, k):
    """v moved by k units in the last place."""
    for _ in range(abs(k)):
        v = np.nextafter(v, np.inf if k > 0 else -np.inf)
    return float(v)


def test_vertices_within_ulps_of_pixel_sides(rng):
    # Edges almost on a pixel side round to slightly non-convex polygons; the
    # area must stay a sound value however many vertices the cuts leave.
    sides = np.array([-0.5, 0.5])
    for _ in range(3000):
        t = np.empty(6)
        for v in range(6):
            if rng.random() < 0.7:
                t[v] = near(rng.choice(sides), int(rng.integers(-3, 4)))
            else:
                t[v] = rng.uniform(-1, 1)
        a = area(t, 0, 0)
        assert 0.0 <= a <= min(1.0, triangle_area(t)) + 1e-15
