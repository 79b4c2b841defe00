"""Exact area of a triangle inside one pixel (clip_area)."""
import itertools
import math

import numpy as np
import pytest

import _trovel
from helpers import addr, f64, same_bits, triangle_area


def area(tri, i, j):
    return _trovel.clip_area(addr(f64(*tri)), i, j)


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


# --- accumulate_triangles -----------------------------------------------------

def accumulate(image, tris, values, divisors, size=None, image_address=None):
    tris, values, divisors = f64(*tris), f64(*values), f64(*divisors)
    size = image.shape[0] if size is None else size
    _trovel.accumulate_triangles(addr(tris), addr(values), addr(divisors),
                                 addr(image) if image_address is None else image_address,
                                 len(values), size)


def test_single_pixel_deposit_lands_on_row_y_column_x():
    image = np.zeros((5, 5))
    accumulate(image, (0.8, -1.2, 1.2, -1.2, 0.8, -0.9), [3.0], [0.06])
    flat = image.ravel()
    assert flat[8] == pytest.approx(3.0, rel=1e-12)  # rounded area over a rounded divisor
    assert np.count_nonzero(flat) == 1


# Legs on pixel borders, hypotenuse far out: covers every pixel up to 5 x 5 exactly.
COVER_ALL = (-2.5, -2.5, 12.5, -2.5, -2.5, 12.5)


@pytest.mark.parametrize("size,window", [(4, 3), (5, 5), (1, 1), (2, 1)],
                         ids=["even_drops_last_row_and_column", "odd_whole_image",
                              "single_pixel", "two_only_first_pixel"])
def test_window_of_the_image(size, window):
    image = np.full((size, size), 7.0)
    accumulate(image, COVER_ALL, [2.0], [4.0])
    expected = np.full((size, size), 7.0)
    expected[:window, :window] += 0.5
    assert np.array_equal(image, expected)


@pytest.mark.parametrize("size", [0, -1, -4], ids=["empty", "minus_one", "minus_four"])
def test_empty_or_negative_size_writes_nothing(size):
    guard = np.full(4, 9.0)
    accumulate(guard, COVER_ALL, [1.0], [1.0], size=size)
    assert np.array_equal(guard, np.full(4, 9.0))


@pytest.mark.parametrize("divisor", [0.0, -0.0, -1.0, -np.inf], ids=["zero", "minus_zero",
                                                                      "negative", "minus_inf"])
def test_non_positive_divisor_skips_the_triangle(divisor):
    image = np.zeros((3, 3))
    accumulate(image, COVER_ALL + (-0.4, -0.4, 0.4, -0.4, 0, 0.4), [1.0, 2.0], [divisor, 1.0])
    assert image[1, 1] == pytest.approx(0.64, rel=1e-12) and np.count_nonzero(image) == 1


def test_nan_divisor_makes_overlapped_pixels_nan_only():
    image = np.zeros((5, 5))
    accumulate(image, (-1.5, -0.5, 1.5, -0.5, -1.5, 0.5), [1.0], [np.nan])
    covered = np.zeros((5, 5), bool)
    covered[2, 1:4] = True  # x = -1, 0, 1 on row y = 0; pixels touched at a vertex get no area
    assert np.array_equal(np.isnan(image), covered)
    assert np.all(image[~covered] == 0.0)


def test_pixels_the_triangle_misses_are_not_written():
    # -0.0 + 0 * q would give +0.0: a pixel with zero overlap must keep its sign bit.
    image = np.full((5, 5), -0.0)
    accumulate(image, (0.5, 0.5, 2.0, 0.5, 0.5, 2.0), [1.0], [1.0])
    touched = image != 0.0
    assert np.array_equal(np.argwhere(touched), [[3, 3], [3, 4], [4, 3]])
    assert np.all(np.signbit(image[~touched]))


def test_calls_add_up():
    args = ((-0.7, -1.3, 1.9, 0.2, -0.2, 1.6), [1.5], [0.75])
    once, twice = np.zeros((5, 5)), np.zeros((5, 5))
    accumulate(once, *args)
    accumulate(twice, *args)
    accumulate(twice, *args)
    assert np.count_nonzero(once) > 4
    assert np.array_equal(twice, 2 * once)


def test_triangle_beyond_the_window_keeps_only_the_window_part():
    # Covers x, y >= -1 in the window; nothing is wrapped or piled onto the border.
    image = np.zeros((4, 4))
    accumulate(image, (-1, -1, 9, -1, -1, 9), [1.0], [50.0])
    widths = np.array([0.5, 1.0, 1.0, 0.0])
    assert np.array_equal(image, np.outer(widths, widths) * (1.0 / 50.0))


def test_value_is_conserved_inside_the_window(rng):
    # With its own area as divisor a triangle spreads its value exactly once,
    # whatever the number of pixels.  Each pixel's shoelace sums products of
    # coordinates up to 10 in size, so its area is off by ~1e-14 however small
    # it is: relative to the smallest triangles that is up to ~1e-11.
    for _ in range(150):
        scale = rng.choice([0.3, 2.0, 9.0])
        centre = rng.uniform(-10 + scale, 10 - scale, 2)
        t = (rng.uniform(-scale, scale, (3, 2)) + centre).ravel()
        value = rng.uniform(-5, 5)
        image = np.zeros((21, 21))
        accumulate(image, t, [value], [triangle_area(t)])
        assert image.sum() == pytest.approx(value, rel=1e-10, abs=1e-12)


@pytest.mark.parametrize("far", [3e9, -3e9], ids=["right", "left"])
def test_box_beyond_int_range_is_clamped_to_the_window(far):
    # The far vertex makes a strip 0 <= y <= 0.5 (up to a slope of 1/far) along
    # row y = 0 from x = -0.5 (or 0.5) outwards, past the window's edge.
    s = 1.0 if far > 0 else -1.0
    image = np.zeros((5, 5))
    accumulate(image, (-0.5 * s, -0.5, far, -0.5, -0.5 * s, 0.5), [1.0], [1.0])
    expected = np.zeros((5, 5))
    expected[2, 2:] = 1.0
    if s < 0:
        expected = expected[:, ::-1]
    assert np.array_equal(image != 0, expected != 0)
    # The cuts interpolate from the far vertex: rounding of about far * 1e-16.
    assert image == pytest.approx(expected, abs=1e-6)


def test_huge_vertices_write_only_inside_the_window():
    # Cuts of edges 1e300 long lose all precision, so only where the writes
    # go is certain: the 3 x 3 window of a 4 x 4 image, nothing around it.
    buffer = np.zeros(16 + 40)
    image = buffer[20:36].reshape(4, 4)
    tris = (0, 0, 1e300, 0, 0, 1e300, 0, 0, -1e300, 0, 0, -1e300,
            -1e300, -1e300, 1e300, -1e300, 0, 1e300)
    accumulate(image, tris, [1.0] * 3, [1.0] * 3)
    assert np.all(np.isfinite(buffer))
    image[:3, :3] = 0.0
    assert not buffer.any()


@pytest.mark.parametrize("tri", [
    (0, 0, np.nan, 0, 0, 1), (0, 0, 1, 0, 0, np.nan), (0, 0, np.inf, 0, 0, 1),
    (-np.inf, 0, 1, 0, 0, 1), (0, -np.inf, 1, np.inf, 0, 1), (1e300, 1e300, 2e300, 1e300, 1e300, 2e300),
    (-3e9, 0, -2e9, 0, -3e9, 1), (0, 3e9, 1, 3e9, 0, 4e9),
], ids=["nan_x", "nan_y", "inf_x", "minus_inf_x", "infinite_y_span", "huge_outside",
        "beyond_int_left", "beyond_int_above"])
def test_non_finite_or_far_triangles_write_nothing(tri):
    buffer = np.full(5 * 5 + 20, 3.0)
    # The second, ordinary triangle still lands: half of pixel (0, 0).
    accumulate(buffer[10:35].reshape(5, 5), tri + (-0.5, -0.5, 0.5, -0.5, -0.5, 0.5),
               [1.0, 1.0], [1.0, 1.0])
    expected = np.full_like(buffer, 3.0)
    expected[10 + 12] = 3.5
    assert np.array_equal(buffer, expected)


def test_index_of_images_above_46340_pixels_a_side_is_64_bit():
    # Element (N - 1) * N + c + k needs more than 31 bits.  Only the last row is
    # written, so a buffer for that row stands in for the 17 GB image: the image
    # address given is where the image would start.
    n = 46341
    c = (n - 1) // 2
    row = np.zeros(n + 1)
    accumulate(row, (c - 2.5, c - 0.5, c + 10, c - 0.5, c - 2.5, c + 10), [1.0], [2.0], size=n,
               image_address=addr(row) - 8 * n * (n - 1))
    expected = np.zeros(n + 1)
    expected[n - 3:n] = 0.5
    assert np.array_equal(row, expected)


# --- the deposit against one clip_area call per pixel --------------------------

def deposit_by_clip_area(image, tris, values, divisors):
    """accumulate_triangles rebuilt from clip_area: every pixel of each
    clamped box, rows outer, with the same a * q + pixel update."""
    c = (image.shape[0] - 1) // 2
    for t, v, d in zip(tris.reshape(-1, 6), values, divisors):
        if d <= 0.0 or not np.isfinite(t).all():
            continue
        q = v / d
        box = [np.floor(f(t[s::2]) + 0.5) for s in (0, 1) for f in (np.min, np.max)]
        k_lo, k_hi, j_lo, j_hi = (int(max(box[0], -c)), int(min(box[1], c)),
                                  int(max(box[2], -c)), int(min(box[3], c)))
        rec = addr(np.ascontiguousarray(t))
        for j in range(j_lo, j_hi + 1):
            for k in range(k_lo, k_hi + 1):
                a = _trovel.clip_area(rec, k, j)
                if a > 0.0:
                    image[c + j, c + k] = a * q + image[c + j, c + k]


def snapped_triangles(rng, n, scale, c):
    """Triangles a few pixels across, many vertices on a pixel side or within
    an ulp or two of one, some thin enough to stay inside one row."""
    t = rng.uniform(-c, c, (n, 1, 2)) + rng.uniform(-scale, scale, (n, 3, 2))
    t = t.reshape(n, 6)
    side = np.round(t) + 0.5
    pick = rng.integers(0, 5, t.shape)
    t = np.where(pick == 0, side, t)
    t = np.where(pick == 1, np.nextafter(side, np.where(rng.random(t.shape) < 0.5, -np.inf, np.inf)), t)
    t[: n // 8, 1::2] = np.round(t[: n // 8, 1:2]) + rng.uniform(-0.45, 0.45, (n // 8, 3))
    return np.ascontiguousarray(t)


@pytest.mark.parametrize("scale", [0.4, 2.5, 7.0], ids=["sub_pixel", "few_pixels", "larger"])
def test_deposit_equals_clip_area_per_pixel_bit_for_bit(scale, rng):
    n, size = 250, 17
    tris = snapped_triangles(rng, n, scale, (size - 1) // 2 + 2)
    values, divisors = rng.uniform(-2, 2, n), rng.uniform(0.1, 3, n)
    start = rng.normal(size=(size, size))
    image, expected = start.copy(), start.copy()
    _trovel.accumulate_triangles(addr(tris), addr(values), addr(divisors), addr(image), n, size)
    deposit_by_clip_area(expected, tris, values, divisors)
    assert same_bits(image, expected)


@pytest.mark.parametrize("far_y", [-2.0**40, -2.0**40 - 2**20, -1e15, -3e17, 2.0**40, 1e15],
                         ids=["at_moderate_bound", "past_moderate_bound", "far_below",
                              "beyond_2_53_below", "far_above", "further_above"])
def test_deposit_of_far_reaching_triangles_equals_clip_area(far_y, rng):
    # Edges from far away cross the pixel sides with rounding errors that
    # grow with the distance; the deposit must still match pixel by pixel.
    n, size = 40, 9
    tris = rng.uniform(-4.6, 4.6, (n, 6))
    tris[:, 1] = far_y
    tris[:, 0] = rng.uniform(-3, 3, n)
    tris[n // 2:, 2:4] = np.round(tris[n // 2:, 2:4]) + 0.5
    tris = np.ascontiguousarray(tris)
    values, divisors = np.ones(n), np.ones(n)
    image, expected = np.zeros((size, size)), np.zeros((size, size))
    _trovel.accumulate_triangles(addr(tris), addr(values), addr(divisors), addr(image), n, size)
    deposit_by_clip_area(expected, tris, values, divisors)
    assert same_bits(image, expected)
    assert np.count_nonzero(image) > size
