"""Even-odd mask of a polygon over a grid of points (poly_grid_contains)."""
import bisect

import numpy as np
import pytest

import _trovel
from helpers import addr, f64

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
    "top_edge_row_inside_after_its_left_end": (SQUARE, [-1, 0, 0.5, 2, 3], [2], "0 0 1 1 0"),
    "bottom_edge_row_is_outside": (SQUARE, [0, 0.5, 2, 3], [0], "0 0 0 0"),
    "right_of_grid_marks_nothing": ([(5, 0), (7, 0), (7, 2), (5, 2), (5, 0)], G4, [1], "0 0 0 0"),
    "below_and_above_rows_rejected": (SQUARE, [1], [-1, 5, np.inf, -np.inf], "0 / 0 / 0 / 0"),
    "no_vertex": ([], G4, [0, 1], "0 0 0 0 / 0 0 0 0"),
    "one_vertex_on_the_row": ([(1, 1)], G4, [1], "0 0 0 0"),
    # grid_x out of order: each point answers for the largest x up to it
    # (NaN columns skipped), crossings at 0 and 2 here.
    "unsorted_columns_answer_for_the_largest_x_so_far": (SQUARE, [1, 0.5, -1, 2.5, 1.5], [1],
                                                         "1 1 1 0 0"),
    "nan_columns_repeat_the_answer_before": (SQUARE, [np.nan, 1, np.nan, 3, 0.5], [1],
                                             "0 1 1 0 0"),
}

# Rows where several crossings fall between two neighbouring columns, or
# before the first one: every crossing below a point counts, so nothing lags.
NOTCHED = [(1.1, 0), (3.5, 0), (3.5, 2), (1.3, 2), (1.3, 0.5), (1.2, 0.5), (1.2, 2), (1.1, 2)]
CROSSINGS_BETWEEN_GRID_POINTS = {
    "crossings_between_grid_points": ([(1.1, 0), (1.3, 0), (1.3, 2), (1.1, 2)], [1.0, 1.5, 2.0],
                                      [1], "0 0 0"),
    "three_crossings_between_grid_points": (NOTCHED, [1, 2, 3, 4], [1], "0 1 1 0"),
    "apex_row_crossed_twice_at_one_x": ([(0, 0), (2, 0), (1, 2), (0, 0)], [0.5, 1, 1.5, 2], [2],
                                        "0 0 0 0"),
    "triangle_mid_row": ([(0, 0), (2, 0), (1, 2), (0, 0)], [0, 0.5, 1, 1.5, 2], [1], "0 0 1 1 0"),
    "crossings_before_first_column": ([(-5, 0), (-3, 0), (-3, 2), (-5, 2), (-5, 0)], G4, [1],
                                      "0 0 0 0"),
    "notch_before_first_column": ([(x - 5, y) for x, y in NOTCHED], G4, [1], "0 0 0 0"),
}


ALL_CASES = CASES | CROSSINGS_BETWEEN_GRID_POINTS


@pytest.mark.parametrize("poly,gx,gy,expected", ALL_CASES.values(), ids=ALL_CASES.keys())
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


def even_odd_reference(poly, gx, gy):
    """Point by point, with no walk and no sorting: a point is inside when an
    odd number of edges cross its row strictly to its left.  An edge crosses
    the row y when min < y <= max, at (y - ya) * (xb - xa) / (yb - ya) + xa."""
    xa, ya = poly[:, 0], poly[:, 1]
    xb, yb = np.roll(xa, -1), np.roll(ya, -1)
    y = np.asarray(gy, dtype=np.float64)[:, None]
    crosses = (np.minimum(ya, yb) < y) & (y <= np.maximum(ya, yb))
    with np.errstate(divide="ignore", invalid="ignore"):
        x = (y - ya) * (xb - xa) / (yb - ya) + xa
    left = crosses[:, :, None] & (x[:, :, None] < np.asarray(gx)[None, None, :])
    return (left.sum(axis=1) % 2).astype(np.uint8)


def jagged_star(rng, n, centre, radius):
    """A star with a rim jagged by more than a column's width, so that many
    vertices and crossings share each interval between columns."""
    theta = np.arange(n) * (2 * np.pi / n)
    r = radius * (0.7 + 0.25 * np.cos(7 * theta)) + rng.uniform(-2, 2, n)
    return np.column_stack([centre + r * np.cos(theta), centre + r * np.sin(theta)])


def random_grid_x(rng, kind):
    if kind == "integers":  # evenly spaced: the column search starts right
        return np.arange(-2.0, 30.0)
    if kind == "uneven":  # repeats and gaps: the search gallops
        return np.sort(np.round(rng.uniform(-2, 30, 40) * 2) / 2)
    return np.concatenate([[-1e3], np.geomspace(1e-3, 40, 30)])  # far from even


@pytest.mark.parametrize("grid", ["integers", "uneven", "geometric"])
def test_agrees_with_even_odd_on_random_polygons(grid, rng):
    for trial in range(30):
        if trial % 3 == 0:
            poly = jagged_star(rng, int(rng.integers(100, 2000)), 14, 14)
        elif trial % 3 == 1:  # self-intersecting, vertices on rows and columns
            poly = np.round(rng.uniform(-2, 30, (int(rng.integers(3, 60)), 2)))
        else:
            poly = rng.uniform(-2, 30, (int(rng.integers(3, 60)), 2))
        gx = random_grid_x(rng, grid)
        gy = np.concatenate([np.arange(-2.0, 30.0), rng.uniform(-2, 30, 8)])
        rng.shuffle(gy)
        assert np.array_equal(contains(poly, gx, gy), even_odd_reference(poly, gx, gy))


def walk_by_the_rules(px, py, gx, gy):
    """The row rules as stated, one row at a time: every edge in ring order,
    each crossing inserted before equal values, and each grid point consumes
    every crossing it exceeds before the first it does not."""
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
            while nxt < len(crossings) and g > crossings[nxt]:
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


@pytest.mark.parametrize("special", [None, (1e300, -1e300), 1e305, -np.inf, np.nan],
                         ids=["finite", "crossings_overflow_to_infinity", "far_vertex",
                              "infinite_vertex", "nan_vertex"])
def test_mask_equals_the_row_rules_bit_for_bit(special, rng):
    for _ in range(15):
        poly = awkward_polygon(rng, int(rng.integers(1, 40)))
        if isinstance(special, tuple) and len(poly) > 2:  # a whole vertex far out
            poly[int(rng.integers(len(poly)))] = special
        elif special is not None and len(poly) > 2:
            poly[int(rng.integers(len(poly))), int(rng.integers(2))] = special
        gx = np.sort(np.round(rng.uniform(-7, 7, 50) * 4) / 4)  # repeats and crowding
        if rng.random() < 0.3:
            rng.shuffle(gx)  # unsorted: the walk runs all the same
            gx[rng.random(gx.size) < 0.1] = np.nan
        gy = np.concatenate([np.round(rng.uniform(-7, 7, 30) * 2) / 2, [np.nan, -0.0, 0.0]])
        rng.shuffle(gy)
        px, py = poly[:, 0].copy(), poly[:, 1].copy()
        expected = walk_by_the_rules(px.tolist(), py.tolist(), gx.tolist(), gy.tolist())
        assert np.array_equal(contains(poly, gx, gy), expected)
