"""Triangle lists cut by a circle (clip_triangles_to_circle) and by a strut
(clip_triangles_to_strut)."""
import math

import numpy as np
import pytest

import _trovel
from helpers import clip_polygon, f64, polygon_area, run_clipper

# Default strut: the rectangle -1 <= x <= 1, -0.1 <= y <= 0.1.
STRUT = (0, -0.1, 0, 1, 0, 0.1, 0, 1, 0, 0, 2)
Y_STRUT = (-0.1, 0, 1, 0, 0.1, 0, 1, 0, 0, 0, 2)  # -0.1 <= x <= 0.1, -1 <= y <= 1
# Points to six decimals.
SIX = 5e-7


def circle(tris, keep_inside, margin=0.0, cx=0.0, cy=0.0, r=1.0, **kw):
    return run_clipper(_trovel.clip_triangles_to_circle, tris, (cx, cy, r, keep_inside, margin),
                       **kw)


def strut(tris, margin=0.0, shape=STRUT, **kw):
    return run_clipper(_trovel.clip_triangles_to_strut, tris, (*shape, margin), **kw)


def signed_areas(recs):
    x0, y0, x1, y1, x2, y2 = np.asarray(recs, float).reshape(-1, 6).T
    return 0.5 * ((x1 - x0) * (y2 - y0) - (y1 - y0) * (x2 - x0))


def area(recs):
    return float(np.abs(signed_areas(recs)).sum())


def area_inside_halfplanes(tri, planes):
    """Area of a triangle inside the convex set {p : n . p <= c for (n, c) in planes}."""
    poly = [tuple(tri[k:k + 2]) for k in (0, 2, 4)]
    for (nx, ny), c in planes:
        poly = clip_polygon(poly, lambda p, nx=nx, ny=ny, c=c: nx * p[0] + ny * p[1] - c)
    return float(polygon_area(poly))


def same_triangle_set(a, b, tol):
    rest = [tuple(r) for r in b]
    for r in a:
        match = next((s for s in rest if np.allclose(r, s, rtol=0, atol=tol)), None)
        assert match is not None, r
        rest.remove(match)
    assert not rest


# --- circle: centre (0, 0), radius 1 ------------------------------------------

CIRCLE_CASES = {
    "inside_copied": ((0.1, 0.1, 0.3, 0.1, 0.1, 0.3), 1, 0, [(0.1, 0.1, 0.3, 0.1, 0.1, 0.3)], 0, 0),
    "inside_dropped_keep_outside": ((0.1, 0.1, 0.3, 0.1, 0.1, 0.3), 0, 0, [], 1, 0),
    "outside_dropped": ((2, 2, 2.5, 2, 2, 2.5), 1, 0, [], 1, 0),
    "outside_copied_keep_outside": ((2, 2, 2.5, 2, 2, 2.5), 0, 0, [(2, 2, 2.5, 2, 2, 2.5)], 0, 0),
    "one_vertex_inside": ((0.5, 0, 1.5, 0, 1.5, 0.5), 1, 0, [(0.5, 0, 1, 0, 0.971780, 0.235890)], 0, 1),
    "one_vertex_inside_keep_outside": ((0.5, 0, 1.5, 0, 1.5, 0.5), 0, 0, [
        (1, 0, 1.5, 0, 1.5, 0.5), (1, 0, 1.5, 0.5, 0.971780, 0.235890)], 0, 1),
    "two_vertices_inside": ((0, 0, 0.9, 0, 1.5, 0.5), 1, 0, [
        (0, 0, 0.9, 0, 0.996745, 0.080621), (0, 0, 0.996745, 0.080621, 0.948683, 0.316228)], 0, 1),
    "two_vertices_inside_keep_outside": ((0, 0, 0.9, 0, 1.5, 0.5), 0, 0, [
        (0.996745, 0.080621, 1.5, 0.5, 0.948683, 0.316228)], 0, 1),
    "edge_through_circle_rejected": ((-1.5, 0.5, 1.5, 0.5, 0, 2), 1, 0, [], 1, 0),
    "edge_through_circle_copied": ((-1.5, 0.5, 1.5, 0.5, 0, 2), 0, 0, [(-1.5, 0.5, 1.5, 0.5, 0, 2)], 0, 0),
    "covers_circle_dropped": ((-5, -5, 5, -5, 0, 5), 1, 0, [], 1, 0),
    "covers_circle_copied": ((-5, -5, 5, -5, 0, 5), 0, 0, [(-5, -5, 5, -5, 0, 5)], 0, 0),
    "vertices_on_circle": ((1, 0, 0, 1, -1, 0), 1, 0, [(1, 0, 0, 1, -1, 0)], 0, 0),
    "vertices_on_circle_keep_outside": ((1, 0, 0, 1, -1, 0), 0, 0, [(1, 0, 0, 1, -1, 0)], 0, 0),
    "margin_band_copied": ((0.95, 0, 1.04, 0, 0.95, 0.05), 1, 0.1, [(0.95, 0, 1.04, 0, 0.95, 0.05)], 0, 0),
    "margin_band_copied_keep_outside": ((0.95, 0, 1.04, 0, 0.95, 0.05), 0, 0.1, [
        (0.95, 0, 1.04, 0, 0.95, 0.05)], 0, 0),
    "no_margin_clipped": ((0.95, 0, 1.04, 0, 0.95, 0.05), 1, 0, [
        (0.95, 0, 1, 0, 0.999750, 0.022361), (0.95, 0, 0.999750, 0.022361, 0.95, 0.05)], 0, 1),
    "no_margin_clipped_keep_outside": ((0.95, 0, 1.04, 0, 0.95, 0.05), 0, 0, [
        (1, 0, 1.04, 0, 0.999750, 0.022361)], 0, 1),
    "tangent_edge": ((-1, 1, 1, 1, 0, 0.5), 1, 0, [(0.6, 0.8, 0, 0.5, -0.6, 0.8)], 0, 1),
    "tangent_edge_keep_outside": ((-1, 1, 1, 1, 0, 0.5), 0, 0, [
        (-1, 1, 1, 1, 0.6, 0.8), (-1, 1, 0.6, 0.8, -0.6, 0.8)], 0, 1),
    "negative_margin_sliver_counts_as_clipped": ((1, 0, 1.05, 0.01, 1.05, -0.01), 1, -0.1, [], 0, 1),
}


@pytest.mark.parametrize("tri,keep,margin,expected,dropped,clipped", CIRCLE_CASES.values(),
                         ids=CIRCLE_CASES.keys())
def test_circle_cases(tri, keep, margin, expected, dropped, clipped):
    recs, d, c = circle(tri, keep, margin, counters=(5, 9))
    assert (d, c) == (dropped, clipped)
    assert recs.shape == (len(expected), 6)
    if not clipped:  # copies are the input record, bit for bit
        assert np.array_equal(recs, f64(expected).reshape(-1, 6))
    np.testing.assert_allclose(recs, f64(expected).reshape(-1, 6), rtol=0, atol=SIX)


def test_circle_output_follows_input_order():
    tris = [(0.5, 0, 1.5, 0, 1.5, 0.5), (2, 2, 2.5, 2, 2, 2.5), (0.1, 0.1, 0.3, 0.1, 0.1, 0.3)]
    recs, d, c = circle(tris, 0)
    expected = [circle(t, 0)[0] for t in tris]
    assert np.array_equal(recs, np.concatenate(expected)) and len(recs) == 3 and (d, c) == (1, 1)


# --- strut -----------------------------------------------------------------

STRUT_CASES = {
    "beyond_edge_line_copied": ((0, 0.5, 0.5, 0.5, 0, 1), 0, STRUT, [(0, 0.5, 0.5, 0.5, 0, 1)], 0, 0),
    "beyond_end_copied": ((1.5, -0.05, 1.8, -0.05, 1.5, 0.05), 0, STRUT, [
        (1.5, -0.05, 1.8, -0.05, 1.5, 0.05)], 0, 0),
    "inside_dropped": ((-0.5, -0.05, 0.5, -0.05, 0, 0.05), 0, STRUT, [], 1, 0),
    "across_band": ((0, -0.5, 0.5, 0.5, -0.5, 0.5), 0, STRUT, [
        (0, -0.5, 0.2, -0.1, -0.2, -0.1), (0.3, 0.1, 0.5, 0.5, -0.5, 0.5),
        (0.3, 0.1, -0.5, 0.5, -0.3, 0.1)], 0, 1),
    "one_vertex_inside": ((0, 0, 0.3, 0.5, -0.3, 0.5), 0, STRUT, [
        (0.06, 0.1, 0.3, 0.5, -0.3, 0.5), (0.06, 0.1, -0.3, 0.5, -0.06, 0.1)], 0, 1),
    "y_axis_strut": ((-0.5, 0, 0.5, -0.5, 0.5, 0.5), 0, Y_STRUT, [
        (-0.5, 0, -0.1, -0.2, -0.1, 0.2), (0.1, -0.3, 0.5, -0.5, 0.5, 0.5),
        (0.1, -0.3, 0.5, 0.5, 0.1, 0.3)], 0, 1),
    "near_margin_clipped_whole": ((0, 0.12, 0.5, 0.12, 0, 0.5), 0.05, STRUT, [
        (0, 0.12, 0.5, 0.12, 0, 0.5)], 0, 1),
    "no_margin_copied": ((0, 0.12, 0.5, 0.12, 0, 0.5), 0, STRUT, [(0, 0.12, 0.5, 0.12, 0, 0.5)], 0, 0),
    "inside_by_margin_dropped": ((-0.5, -0.04, 0.5, -0.04, 0, 0.04), 0.05, STRUT, [], 1, 0),
    "within_margin_clipped_to_nothing": ((-0.5, -0.04, 0.5, -0.04, 0, 0.08), 0.05, STRUT, [], 1, 0),
}


@pytest.mark.parametrize("tri,margin,shape,expected,dropped,clipped", STRUT_CASES.values(),
                         ids=STRUT_CASES.keys())
def test_strut_cases(tri, margin, shape, expected, dropped, clipped):
    recs, d, c = strut(tri, margin, shape, counters=(3, 11))
    assert (d, c) == (dropped, clipped)
    assert recs.shape == (len(expected), 6)
    np.testing.assert_allclose(recs, f64(expected).reshape(-1, 6), rtol=0, atol=SIX)


@pytest.mark.parametrize("tri,shape,n,total", [
    ((-10, -10, 10, -10, 0, 10), STRUT, 7, 199.6),
    ((0.5, 0.9, 0.5, 1.5, -0.5, 1.2), Y_STRUT, 5, 0.3),
], ids=["covers_strut", "crosses_band_beyond_end"])
def test_strut_fans_keep_the_outside_area(tri, shape, n, total):
    recs, d, c = strut(tri, 0, shape)
    assert (len(recs), d, c) == (n, 0, 1)
    assert area(recs) == pytest.approx(total, rel=1e-14)
    assert np.all(signed_areas(recs) > 0)  # orientation of the input
    if n == 7:
        np.testing.assert_allclose(recs[0], (-10, -10, 10, -10, 5.05, -0.1), rtol=0, atol=SIX)


@pytest.mark.parametrize("clipper", [circle, strut])
@pytest.mark.parametrize("count", [0, -1])
def test_no_count_touches_nothing(clipper, count):
    # run_clipper checks that neither `out` nor a counter was written.
    recs, d, c = clipper((0, 0, 0.3, 0.5, -0.3, 0.5), 0, count=count, counters=(4, 6))
    assert (len(recs), d, c) == (0, 0, 0)


PAIRS = [((0, 1), (0, 1)), ((0, 1), (0, -1)), ((0, -1), (0, 1)), ((0, -1), (0, -1))]


@pytest.mark.parametrize("p1,p2", PAIRS,
                         ids=["same", "opposite", "opposite_reversed", "both_reversed"])
def test_pair_orientation_does_not_matter(p1, p2, rng):
    # A reversed axis takes the end lines in the other order, so the same
    # pieces can come out in another order, with other rounding.
    tris = [c[0] for c in STRUT_CASES.values() if c[2] == STRUT] + [(-10, -10, 10, -10, 0, 10)]
    tris += list(rng.uniform(-1.5, 1.5, (40, 6)))
    for tri in tris:
        base = strut(tri)
        got = strut(tri, shape=(0, -0.1, *p1, 0, 0.1, *p2, 0, 0, 2))
        assert got[1:] == base[1:]
        same_triangle_set(got[0], base[0], 1e-12)
        if p1 == (0, 1):
            assert np.array_equal(got[0], base[0])


def test_opposite_pairs_of_slanted_edge_lines_give_the_same_cut(rng):
    same = (0, -0.2, 0.1, 1, 0, 0.2, -0.1, 1, 0.1, 0, 1.6)
    opposite = (0, -0.2, 0.1, 1, 0, 0.2, 0.1, -1, 0.1, 0, 1.6)
    tris = rng.uniform(-1.5, 1.5, (200, 6))
    a, b = strut(tris, shape=same), strut(tris, shape=opposite)
    assert np.array_equal(a[0], b[0]) and a[1:] == b[1:] and a[2] > 0


@pytest.mark.parametrize("tri,length", [
    ((-1, -0.5, 1, 0, 0, 1), 0.0),
    ((-1, -0.5, 1, 0, 0, 1), 1e-16),
    # Eight pieces, one of them debris collected before a larger one.
    ((-1, -0.5, 1.723284576488516, -1.810976981836459, 0.1, 0.5037194227184925), 0.0),
], ids=["zero_length", "length_1e-16", "debris_collected_early"])
def test_more_than_seven_pieces_keep_the_triangle_whole(tri, length):
    # End lines that coincide to rounding cut a triangle into more pieces
    # than the output has room for; the strut removes next to no area there.
    recs, d, c = strut(tri, shape=STRUT[:-1] + (length,))
    assert (d, c) == (0, 1)
    assert np.array_equal(recs, f64(tri).reshape(1, 6))


@pytest.mark.parametrize("degrees,kept", [
    (91, 191.476), (134, 192.961), (180, 199.6),
], ids=["right_angle_keeps_the_mean", "just_below_135", "opposite_takes_the_difference"])
def test_strut_axis_from_pairs_apart(degrees, kept):
    # Edge line 2 turned against edge line 1: only pairs at least 135 degrees
    # apart are taken as one axis passed the opposite way round.
    t = math.radians(degrees)
    shape = (0, -0.1, 0, 1, 0, 0.1, math.sin(t), math.cos(t), 0, 0, 2)
    recs, d, c = strut((-10, -10, 10, -10, 0, 10), shape=shape)
    assert (d, c) == (0, 1)
    assert area(recs) == pytest.approx(kept, abs=1e-3)


# --- properties ---------------------------------------------------------------

@pytest.mark.parametrize("shape,corners", [
    (STRUT, [(-1, -0.1), (1, -0.1), (1, 0.1), (-1, 0.1)]),
    ((0, -0.5, 0, 1, 0, 0.5, 0, -1, 0, 0, 1), [(-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5)]),
    # Axis along (0.6, 0.8), pairs of other lengths and orientations, width 0.4, length 1.
    ((-0.16, 0.12, 0.8, 0.6, 0.16, -0.12, -1.6, -1.2, 0, 0, 1),
     [(-0.46, -0.28), (-0.14, -0.52), (0.46, 0.28), (0.14, 0.52)]),
], ids=["default", "unit_pixel", "slanted_scaled_pairs"])
def test_strut_keeps_exactly_the_area_outside_the_rectangle(shape, corners, rng):
    cs = np.array(corners, float)
    # Rectangle as half-planes n . p <= c, with outward normals of the corner ring.
    planes = []
    for p, q in zip(cs, np.roll(cs, -1, axis=0)):
        n = (q[1] - p[1], p[0] - q[0])
        planes.append((n, n[0] * p[0] + n[1] * p[1]))
    for tri in rng.uniform(-1.2, 1.2, (300, 6)):
        recs, _, _ = strut(tri, shape=shape)
        expected = area(tri) - area_inside_halfplanes(tri, planes)
        assert area(recs) == pytest.approx(expected, rel=1e-12, abs=1e-13)


def dips_through_circle(tri, r=1.0):
    """Whether an edge with both ends outside the circle passes through it."""
    pts = np.asarray(tri, float).reshape(3, 2)
    for a, b in zip(pts, np.roll(pts, -1, axis=0)):
        e = b - a
        t = np.clip(-(a @ e) / (e @ e), 0, 1)
        if min(np.hypot(*a), np.hypot(*b)) > r and np.hypot(*(a + t * e)) < r:
            return True
    return False


def test_circle_modes_split_the_triangle(rng):
    # The two modes share every chord, so their areas add up to the triangle's;
    # an edge whose ends are both outside stays straight when the outside is
    # kept, so the cap it cuts from the disc is then kept by both modes.  That
    # overlap lies in the disc, bounded here by a circumscribed 64-gon.
    k = np.arange(64) * (2 * math.pi / 64)
    disc = [((math.cos(a), math.sin(a)), 1 / math.cos(math.pi / 64)) for a in k]
    dips = 0
    for tri in rng.uniform(-2.5, 2.5, (600, 6)):
        inside, outside = circle(tri, 1)[0], circle(tri, 0)[0]
        excess = area(inside) + area(outside) - area(tri)
        in_disc = area_inside_halfplanes(tri, disc)
        assert area(inside) <= in_disc + 1e-12
        if dips_through_circle(tri):
            dips += 1
            assert -1e-13 <= excess <= in_disc
        else:
            assert excess == pytest.approx(0, abs=1e-13)
    assert dips > 20


def test_chained_clippers_accept_each_others_output(rng):
    tris = rng.uniform(-2, 2, (60, 6))
    steps = [lambda t, **kw: circle(t, 0, 0.01, **kw), lambda t, **kw: strut(t, 0.01, **kw),
             lambda t, **kw: circle(t, 1, 0, 0.3, 0.2, 1.8, **kw),
             lambda t, **kw: strut(t, 0, Y_STRUT, **kw), lambda t, **kw: strut(t, 0, Y_STRUT, **kw)]
    counters = (0, 0)
    for step in steps:
        before = area(tris)
        recs, d, c = step(tris, counters=counters)
        assert d >= 0 and c >= 0 and d + c <= len(tris)
        assert np.all(np.isfinite(recs))
        counters = (counters[0] + d, counters[1] + c)
        tris = recs
    # The last two cuts are the same strut: the second one removes nothing.
    assert area(recs) == pytest.approx(before, rel=1e-12)
    assert counters[1] > 0


ODD_VALUES = [np.nan, np.inf, -np.inf, 1e300, -1e300, 0.0, 1.0, -1.0, 0.1, -0.1, 5e-324]


def test_nothing_is_written_past_the_extent(rng):
    """Random, huge, infinite and NaN coordinates and shapes, vertices on and next
    to the lines: every call is checked against its guards by run_clipper()."""
    for _ in range(300):
        tris = rng.uniform(-1.2, 1.2, (8, 6))
        snap = rng.random(tris.shape) < 0.4
        on_lines = rng.choice([-1.0, -0.1, 0.0, 0.1, 1.0], snap.sum())
        tris[snap] = on_lines + rng.normal(0, 1e-16, snap.sum())
        tris[rng.random(tris.shape) < 0.05] = rng.choice(ODD_VALUES)
        shape = list(STRUT)
        shape[-1] = rng.choice([2.0, 0.0])  # end lines that coincide leave debris
        if rng.random() < 0.3:
            shape[rng.integers(len(shape))] = rng.choice(ODD_VALUES)
        margin = rng.choice([0.0, 0.02, -0.02, np.nan])
        strut(tris, margin, tuple(shape))
        for tri in tris:  # seven records for each triangle alone
            strut(tri, margin, tuple(shape))
        circle(tris, int(rng.integers(2)), rng.choice([0.0, 0.05, -0.05, np.nan]),
               r=rng.choice([1.0, 0.0, -1.0, np.nan, np.inf, 1e300]))


@pytest.mark.parametrize("r,margin", [(2.0, 0.0), (2.0, 0.1), (1e-3, -1e-4), (3.7, 0.5)],
                         ids=["no_margin", "margin", "small_negative_margin", "wide_margin"])
@pytest.mark.parametrize("keep_inside", [1, 0], ids=["inside", "outside"])
def test_copy_or_drop_follows_the_rounded_distances(r, margin, keep_inside, rng):
    # Vertices within a few ulps of r, r - margin and r + margin: each triangle
    # is copied or dropped exactly when the rounded distances sqrt(dx*dx + dy*dy)
    # of all three vertices pass the bound, as a transcription decides.
    n, cx, cy = 300, 0.1, -0.2
    rad = rng.choice([r, r - margin, r + margin], (n, 1)).repeat(3, 1)
    rad[::5, 0] = rng.choice([r, r - margin, r + margin], len(rad[::5]))
    rad *= 1 + rng.integers(-4, 5, (n, 3)) * 2.0**-52
    ang = rng.uniform(0, 2 * np.pi, (n, 3))
    tris = np.stack([cx + rad * np.cos(ang), cy + rad * np.sin(ang)], -1).reshape(n, 6)
    dx, dy = tris[:, 0::2] - cx, tris[:, 1::2] - cy
    dist = np.sqrt(dx * dx + dy * dy)
    lo, hi = r - margin, r + margin
    copy = (dist <= hi).all(1) if keep_inside else (dist >= lo).all(1)
    drop = ~copy & ((dist >= lo).all(1) if keep_inside else (dist <= hi).all(1))
    assert 10 < copy.sum() < n - 10 and drop.sum() > 10
    for t, c, d in zip(tris, copy, drop):
        recs, dropped, clipped = circle(t, keep_inside, margin, cx, cy, r)
        if c:
            assert (dropped, clipped) == (0, 0) and np.array_equal(recs[0], t)
        elif d:
            assert (dropped, clipped) == (1, 0) and len(recs) == 0
        else:
            assert dropped + clipped == 1
