"""Even-odd mask of a polygon over a grid of points (poly_grid_contains)."""
import bisect

import numpy as np
import pytest

import _trovel
from conftest import addr, f64

STALE = 0xAB  # neither 0 nor 1: a byte left unwritten shows up


def contains(poly, gx, gy, fill=STALE):
    poly = np.asarray(poly, dtype=np.float64).reshape(-1, 2)
    px, py = np.ascontiguousarray(poly[:, 0]), np.ascontiguousarray(poly[:, 1])
    gx, gy = f64(*gx), f64(*gy)
    mask = np.full((len(gy), len(gx)), fill, dtype=np.uint8)
    _trovel.poly_grid_contains(addr(px), addr(py), len(px), addr(gx), addr(gy), addr(mask),
                               len(gx), len(gy))
    return mask


def rows(text):
    return np.array([[int(v) for v in r.split()] for r in text.split("/")], dtype=np.uint8)


SQUARE = [(0, 0), (2, 0), (2, 2), (0, 2), (0, 0)]
U_SHAPE = [(0, 0), (3, 0), (3, 3), (2, 3), (2, 1), (1, 1), (1, 3), (0, 3), (0, 0)]
G4 = [0, 1, 2, 3]
SQUARE_MASK = "0 0 0 0 / 0 1 1 0 / 0 1 1 0 / 0 0 0 0"

CASES = {
    "square": (SQUARE, G4, G4, SQUARE_MASK),
    "square_clockwise": (SQUARE[::-1], G4, G4, SQUARE_MASK),
    "square_closing_edge_implicit": (SQUARE[:4], G4, G4, SQUARE_MASK),
    "square_rows_in_any_order": (SQUARE, G4, [3, 1, 0, 2], "0 0 0 0 / 0 1 1 0 / 0 0 0 0 / 0 1 1 0"),
    "concave_u_between_grid_lines": (U_SHAPE, [0.5, 1.5, 2.5], [0.5, 1.5, 2.5],
                                     "1 1 1 / 1 0 1 / 1 0 1"),
    "concave_u_on_grid_lines": (U_SHAPE, G4, G4, "0 0 0 0 / 0 1 1 1 / 0 1 0 1 / 0 1 0 1"),
    "two_crossings_between_grid_points": ([(1.1, 0), (1.3, 0), (1.3, 2), (1.1, 2)],
                                          [1.0, 1.5, 2.0], [1], "0 1 0"),
    "apex_row_crossed_twice_at_one_x": ([(0, 0), (2, 0), (1, 2), (0, 0)], [0.5, 1, 1.5, 2], [2],
                                        "0 0 1 0"),
    "triangle_mid_row": ([(0, 0), (2, 0), (1, 2), (0, 0)], [0, 0.5, 1, 1.5, 2], [1], "0 0 1 1 0"),
    "bottom_edge_row_is_outside": (SQUARE, [0, 0.5, 2, 3], [0], "0 0 0 0"),
    "top_edge_row_inside_after_its_left_end": (SQUARE, [-1, 0, 0.5, 2, 3], [2], "0 0 1 1 0"),
    "left_of_grid_marks_first_point": ([(-5, 0), (-3, 0), (-3, 2), (-5, 2), (-5, 0)], G4, [1],
                                       "1 0 0 0"),
    "right_of_grid_marks_nothing": ([(5, 0), (7, 0), (7, 2), (5, 2), (5, 0)], G4, [1], "0 0 0 0"),
    "below_and_above_rows_rejected": (SQUARE, [1], [-1, 5, np.inf, -np.inf], "0 / 0 / 0 / 0"),
    "no_vertex": ([], G4, [0, 1], "0 0 0 0 / 0 0 0 0"),
    "one_vertex_on_the_row": ([(1, 1)], G4, [1], "0 0 0 0"),
}


@pytest.mark.parametrize("poly,gx,gy,expected", CASES.values(), ids=CASES.keys())
def test_cases(poly, gx, gy, expected):
    assert np.array_equal(contains(poly, gx, gy), rows(expected))


@pytest.mark.parametrize("fill", [0x00, 0x01, 0xFF], ids=["zeros", "ones", "all_bits"])
def test_every_byte_is_written_whatever_it_held(fill):
    gy = [-1, 0.5, 1, 5]  # rejected rows, walked rows and block-filled tails
    assert np.array_equal(contains(SQUARE, G4, gy, fill), rows("0 0 0 0 / 0 1 1 0 / 0 1 1 0 / 0 0 0 0"))


@pytest.mark.parametrize("nx,ny", [(0, 3), (3, 0), (0, 0)], ids=["no_columns", "no_rows", "neither"])
def test_empty_grid_writes_nothing(nx, ny):
    px, py, g = f64(0, 2, 2, 0), f64(0, 0, 2, 2), f64(1, 1, 1)
    mask = np.full(16, STALE, dtype=np.uint8)
    _trovel.poly_grid_contains(addr(px), addr(py), 4, addr(g), addr(g), addr(mask), nx, ny)
    assert np.all(mask == STALE)


def test_comb_with_more_crossings_than_first_reserved():
    # 150 teeth: 300 crossings on the row y = 1, one between each pair of grid points.
    teeth = 150
    ring = [(0, -1), (teeth, -1), (teeth, 0)]
    for i in range(teeth - 1, -1, -1):
        ring += [(i + 0.75, 0), (i + 0.75, 2), (i + 0.25, 2), (i + 0.25, 0)]
    ring += [(0, 0)]
    gx = np.arange(2 * teeth) * 0.5
    mask = contains(ring, gx, [1.0, -0.5])
    assert np.array_equal(mask[0], np.arange(2 * teeth) % 2)
    assert np.array_equal(mask[1], (gx > 0).astype(np.uint8))


def row_crossings(poly, y):
    """Where the ring's edges cross the line at height y, sorted."""
    out = []
    for (xa, ya), (xb, yb) in zip(poly, np.roll(poly, -1, axis=0)):
        if (ya > y) != (yb > y):
            out.append(xa + (xb - xa) * ((y - ya) / (yb - ya)))
    return np.sort(out)


def even_odd_row(crossings, gx):
    """Inside when an odd number of crossings lies strictly left of the point."""
    return (np.searchsorted(crossings, gx, side="left") % 2).astype(np.uint8)


def walk_is_exact(crossings, gx):
    """At most one crossing below gx[0] and per interval [gx[k], gx[k+1]), none within
    1e-9 of a grid point, so the mask is the even-odd interior whatever the rounding."""
    if np.min(np.abs(crossings[:, None] - gx[None, :]), initial=np.inf) < 1e-9:
        return False
    slots = np.searchsorted(gx, crossings, side="right")
    return np.bincount(slots).max(initial=0) <= 1


def test_agrees_with_even_odd_on_random_polygons(rng):
    tested = 0
    for _ in range(60):
        poly = rng.uniform(-5, 5, (int(rng.integers(3, 12)), 2))  # self-intersecting as well
        gx = np.sort(rng.uniform(-6, 6, 120))
        gy = rng.uniform(-6, 6, 40)  # unsorted rows
        crossings = [row_crossings(poly, y) for y in gy]
        keep = [k for k, c in enumerate(crossings) if walk_is_exact(c, gx)]
        expected = np.array([even_odd_row(crossings[k], gx) for k in keep]).reshape(-1, len(gx))
        assert np.array_equal(contains(poly, gx, gy[keep]), expected)
        tested += len(gy)
    assert tested > 1000


def walk_by_the_rules(px, py, gx, gy):
    """The row rules as stated, one row at a time: every edge in ring order,
    each crossing inserted before equal values, one crossing per grid point."""
    n, mask = len(px), np.zeros((len(gy), len(gx)), dtype=np.uint8)
    for i, y in enumerate(gy):
        crossings = []
        for j in range(1, n + 1):
            xa, ya, xb, yb = px[j - 1], py[j - 1], px[j % n], py[j % n]
            if min(ya, yb) < y <= max(ya, yb):
                x = (y - ya) * (xb - xa) / (yb - ya) + xa
                crossings.insert(bisect.bisect_left(crossings, x), x)
        flag, nxt = 0, 0
        for k, g in enumerate(gx):
            if nxt < len(crossings) and g > crossings[nxt]:
                flag, nxt = flag ^ 1, nxt + 1
            mask[i, k] = flag
    return mask


def awkward_polygon(rng, n):
    """A ring of n vertices on a coarse lattice (vertices on rows, horizontal and
    repeated edges), sometimes with far-out or non-finite coordinates."""
    poly = np.round(rng.uniform(-6, 6, (n, 2)) * 2) / 2
    on_row = rng.random(n) < 0.2
    poly[on_row, 1] = np.round(poly[on_row, 1])
    return poly


@pytest.mark.parametrize("special", [None, 1e305, -np.inf, np.nan],
                         ids=["finite", "far_vertex", "infinite_vertex", "nan_vertex"])
def test_mask_equals_the_row_rules_bit_for_bit(special, rng):
    for _ in range(15):
        poly = awkward_polygon(rng, int(rng.integers(1, 40)))
        if special is not None and len(poly) > 2:
            poly[int(rng.integers(len(poly))), int(rng.integers(2))] = special
        gx = np.sort(np.round(rng.uniform(-7, 7, 50) * 4) / 4)  # repeats and crowding
        if rng.random() < 0.2:
            rng.shuffle(gx)  # unsorted: the walk runs all the same
        gy = np.concatenate([np.round(rng.uniform(-7, 7, 30) * 2) / 2, [np.nan, -0.0, 0.0]])
        rng.shuffle(gy)
        px, py = poly[:, 0].copy(), poly[:, 1].copy()
        expected = walk_by_the_rules(px.tolist(), py.tolist(), gx.tolist(), gy.tolist())
        assert np.array_equal(contains(poly, gx, gy), expected)
