"""Fuzzing of every callable: for any input that respects the sizes, no write
outside the documented output extent, counts and counters within their
bounds, and values within their documented ranges.  Each output lies between
two guard zones of sentinel bytes; inputs are exactly sized copies, so the
sanitized build (`make sanitize`) also catches a read past their ends.
Regression cases for the faults found sit beside the property of their
callable.

TROVEL_HYPOTHESIS_PROFILE=heavy runs many more examples per property (also
under `make sanitize`); with CI set, the examples are the same on every run.
"""
import math
import os
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _trovel
import trovel
from helpers import CIRCLE_FAN, STRUT_FAN, Guarded, columns, exact, run_clipper, same_bits
from test_edge_coverage import exact_clipped_fraction

# CI runs the same examples every time (no database, a fixed seed), so that a
# submission does not fail on a case drawn for the first time.
_quick = dict(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("default", **_quick)
settings.register_profile("ci", **_quick, derandomize=True, database=None, print_blob=True)
settings.register_profile("heavy", max_examples=3000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("TROVEL_HYPOTHESIS_PROFILE")
                      or ("ci" if os.environ.get("CI") else "default"))

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
IDENTITY = (1.0, 0.0, 0.0, 1.0)


def addresses(*arrays):
    return [a.ctypes.data for a in arrays]


# --- value strategies ---------------------------------------------------------------

# Values that make degenerate geometry likely: pixel sides, centres, a unit rim.
NICE = st.sampled_from([0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 1.5, -1.5, 0.25, 2.0, -2.0, 3.0])
SMALL = st.floats(-4, 4, allow_nan=False)  # subnormals and -0.0 included
WIDE = st.floats(-1e3, 1e3, allow_nan=False)
EXTREME = st.sampled_from([5e-324, -1e-310, 1e-160, -1e-200, 2.0**52, -9e15, 1e100, -1e100,
                           1e154, -1e200, 1e300, -1.7e308, 1.7e308])
NONFINITE = st.sampled_from([math.nan, math.inf, -math.inf])
MODES = ("moderate", "extreme", "nonfinite")


def reals(mode):
    """Moderate: finite and at most 1e3 in size.  Extreme adds the ends of the
    double range; nonfinite adds NaN and infinities."""
    parts = [NICE, SMALL, WIDE]
    if mode != "moderate":
        parts.append(EXTREME)
    if mode == "nonfinite":
        parts.append(NONFINITE)
    return st.one_of(parts)


def all_finite(*values):
    return bool(np.isfinite(np.asarray(values, dtype=np.float64)).all())


@st.composite
def triangle(draw, mode):
    """Six coordinates: free, or with coincident or collinear vertices, or a sliver."""
    c = reals(mode)
    p0 = np.array([draw(c), draw(c)])
    p1 = np.array([draw(c), draw(c)])
    kind = draw(st.sampled_from(["free", "coincident", "collinear", "sliver"]))
    with np.errstate(all="ignore"):
        if kind == "free":
            p2 = np.array([draw(c), draw(c)])
        elif kind == "coincident":
            p2 = draw(st.sampled_from([p0, p1])).copy()
        elif kind == "collinear":
            p2 = p0 + draw(st.sampled_from([-1.0, 0.5, 2.0, 1 / 3])) * (p1 - p0)
        else:
            d = p1 - p0
            p2 = (p0 + p1) * 0.5 + draw(st.sampled_from([1e-15, 1e-300, 5e-324])) * d[::-1]
    pts = draw(st.permutations([p0, p1, p2]))
    return [float(v) for p in pts for v in p]


def triangle_list(mode, max_size=5):
    return st.lists(triangle(mode), max_size=max_size)


def doubled_area(t):
    x0, y0, x1, y1, x2, y2 = t
    return abs((x1 - x0) * (y2 - y0) - (y1 - y0) * (x2 - x0))


# --- poly_grid_contains -------------------------------------------------------------

@given(mode=st.sampled_from(MODES), data=st.data())
def test_poly_grid_contains_writes_each_mask_byte_once_as_0_or_1(mode, data):
    c = reals(mode)
    n = data.draw(st.integers(0, 7), "n")
    vertices = data.draw(st.lists(st.sampled_from(["fresh", "repeat"]), min_size=n, max_size=n))
    poly = []
    for kind in vertices:  # repeated vertices give zero-length edges and closed rings
        poly.append(data.draw(st.sampled_from(poly)) if kind == "repeat" and poly
                    else (data.draw(c), data.draw(c)))
    gx = data.draw(st.lists(c, max_size=6), "grid_x")
    if data.draw(st.booleans(), "sorted"):
        gx.sort(key=lambda v: (math.isnan(v), v))
    gy = data.draw(st.lists(c, max_size=5), "grid_y")
    px, py = exact([v[0] for v in poly]), exact([v[1] for v in poly])
    gxa, gya = exact(gx), exact(gy)
    inputs = [a.copy() for a in (px, py, gxa, gya)]
    mask = Guarded(len(gx) * len(gy), np.uint8)
    _trovel.poly_grid_contains(px.ctypes.data, py.ctypes.data, n, gxa.ctypes.data,
                               gya.ctypes.data, mask.address, len(gx), len(gy))
    mask.check_guards()
    assert all(same_bits(a, b) for a, b in zip((px, py, gxa, gya), inputs))
    assert set(np.unique(mask.inner)) <= {0, 1}  # every byte written
    rows = mask.inner.reshape(len(gy), len(gx))
    if n and all_finite(py):
        outside = (gya < py.min()) | (gya > py.max())
        assert not rows[outside].any()


# --- pixels for the three coverage functions -----------------------------------------

@st.composite
def jacobian(draw, mode):
    kind = draw(st.sampled_from(["identity", "turned", "general", "near_singular", "singular",
                                 "free"]))
    if kind == "identity":
        return IDENTITY
    if kind == "turned":
        return draw(st.sampled_from([(0.0, -1.0, 1.0, 0.0), (-1.0, 0.0, 0.0, 1.0),
                                     (2.0, 0.0, 0.0, 0.5), (1.0, 0.5, 0.0, 1.0)]))
    if kind == "general":
        th = draw(st.floats(0, 2 * math.pi))
        sx, sy = (draw(st.sampled_from([1e-3, 0.1, 0.7, 1.0, 3.0, 1e3])) for _ in range(2))
        shear = draw(st.floats(-2, 2))
        c, s = math.cos(th), math.sin(th)
        return (c * sx, c * shear * sx - s * sy, s * sx, s * shear * sx + c * sy)
    if kind == "near_singular":
        eps = draw(st.sampled_from([1e-9, 1e-15, 1e-100, 1e-300]))
        a, b = draw(NICE.filter(bool)), draw(NICE)
        return (a, b, a, b + eps)
    if kind == "singular":
        a, b, k = draw(reals(mode)), draw(reals(mode)), draw(NICE)
        return (a, b, k * a, k * b)
    return tuple(draw(reals(mode)) for _ in range(4))


def non_singular(jac):
    j00, j01, j10, j11 = jac
    with np.errstate(all="ignore"):
        det = np.float64(j00) * j11 - np.float64(j01) * j10
    return det != 0.0 and np.isfinite(det)


def well_conditioned(jac, limit=1e3):
    with np.errstate(all="ignore"):
        return bool(np.linalg.cond(np.reshape(jac, (2, 2))) <= limit)


@st.composite
def pixel_list(draw, mode, max_size=4):
    """Per-pixel rows (px, py, qx, qy, j00, j01, j10, j11)."""
    n = draw(st.integers(0, max_size))
    c = reals(mode)
    return [(draw(c), draw(c), draw(c), draw(c), *draw(jacobian(mode))) for _ in range(n)]


def run_pixels(fn, arrays, scalars, rows, place):
    """Calls a coverage function over guarded `out`; `place` lays the argument
    list out from (pixel addresses, scalars) for that function.  Checks that
    only out[0:n] was written and no input was; returns the results."""
    n = len(rows)
    out = Guarded(n)
    before = [a.copy() for a in arrays]
    fn(*place(addresses(*arrays), scalars), out.address, n)
    out.check_guards()
    assert all(same_bits(a, b) for a, b in zip(arrays, before)), "an input was written"
    assert out.all_written()
    return out.inner.copy()


# --- pixel_frac ---------------------------------------------------------------------

def pixel_frac_one(edge, q=(0.0, 0.0), p=(0.0, 0.0), jac=IDENTITY):
    """pixel_frac for one pixel with the shared-edge form."""
    arrays = [np.array([v], dtype=np.float64) for v in (*q, *p, *jac)]
    out = np.full(1, np.nan)
    _trovel.pixel_frac(*map(float, edge), *(a.ctypes.data for a in arrays), out.ctypes.data, 1)
    return float(out[0])


@st.composite
def edge_near(draw, mode, row):
    """An edge line for one pixel: its point often on the footprint's corners,
    sides or centre, its pair often axis-aligned, zero, tiny or huge."""
    c = reals(mode)
    px, py, qx, qy, j00, j01, j10, j11 = row
    if draw(st.booleans()):
        s, t = draw(st.sampled_from([-0.5, 0.0, 0.5])), draw(st.sampled_from([-0.5, 0.0, 0.5]))
        with np.errstate(all="ignore"):
            x0, y0 = float(qx + j00 * s + j01 * t), float(qy + j10 * s + j11 * t)
    else:
        x0, y0 = draw(c), draw(c)
    a, b = draw(st.sampled_from([
        (0.0, 1.0), (1.0, 0.0), (0.0, -1.0), (-1.0, 0.0), (0.6, 0.8), (1.0, 1.0), (0.0, 0.0),
        (1e-310, 1.0), (1.0, -1e-310), (1e-170, 0.0), (1e200, 3e199)]) | st.tuples(c, c))
    return (x0, y0, a, b)


def shared_edge(a, e):
    qx, qy, px, py = a[2], a[3], a[0], a[1]
    return (*map(float, e), qx, qy, px, py, *a[4:8])


@given(mode=st.sampled_from(MODES), data=st.data())
def test_pixel_frac_shared_edge(mode, data):
    rows = data.draw(pixel_list(mode), "pixels")
    edge = data.draw(edge_near(mode, rows[0] if rows else (0.0,) * 4 + IDENTITY), "edge")
    got = run_pixels(_trovel.pixel_frac, columns(rows, 8), edge, rows, shared_edge)
    for row, value in zip(rows, got):
        if all_finite(*row, *edge) and non_singular(row[4:]):
            assert 0.0 <= value <= 1.0, (row, edge, value)


@given(mode=st.sampled_from(MODES), data=st.data())
def test_pixel_frac_per_pixel_edge(mode, data):
    rows = data.draw(pixel_list(mode), "pixels")
    edges = [data.draw(edge_near(mode, r)) for r in rows]
    arrays = columns(edges, 4) + columns(rows, 8)

    def place(a, _):
        return (*a[:4], a[6], a[7], a[4], a[5], *a[8:12])
    got = run_pixels(_trovel.pixel_frac, arrays, (), rows, place)
    for row, edge, value in zip(rows, edges, got):
        if all_finite(*row, *edge) and non_singular(row[4:]):
            assert 0.0 <= value <= 1.0, (row, edge, value)


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


@given(offset=st.floats(1e3, 9e15), tilt=st.floats(1e-40, 1e-14),
       height=st.sampled_from([0.5, -0.5]) | st.floats(-0.6, 0.6), sign=st.sampled_from([1, -1]),
       transposed=st.booleans())
def test_pixel_frac_far_edge_point_nearly_parallel_to_a_side(offset, tilt, height, sign,
                                                             transposed):
    # the line passes near the height `height` at the square, from far away
    edge = (-sign * offset, height - offset * tilt, tilt, 1.0)
    if transposed:
        edge = (edge[1], edge[0], edge[3], edge[2])
    # the crossings are sums of terms as large as the line's rise over `offset`
    tol = 8 * math.ulp(1.0 + abs(height - offset * tilt))
    assert abs(pixel_frac_one(edge) - exact_clipped_fraction(edge, (0, 0), IDENTITY)) <= tol


# A pair component far below the other (down to subnormal) makes B/A
# overflow in the corner-triangle formulas; through a corner of the square the
# line is a side to within 1e-310, and the result is that side's 0 or 1.
@pytest.mark.parametrize("tiny", [1e-310, 5e-324, 1e-200], ids=["subnormal", "least", "tiny"])
@pytest.mark.parametrize("corner", [(0.5, 0.5), (-0.5, 0.5), (0.5, -0.5), (-0.5, -0.5)])
def test_pixel_frac_nearly_axis_pair_through_a_corner(corner, tiny):
    for sign in (1.0, -1.0):
        for a, b in ((tiny, 1.0), (1.0, tiny)):
            along_side = (sign * float(a == 1.0), sign * float(b == 1.0))
            on_side = pixel_frac_one((*corner, *along_side))
            assert on_side in (0.0, 1.0)
            assert pixel_frac_one((*corner, sign * a, sign * b)) == on_side


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


# --- enclosed_circle ----------------------------------------------------------------

@given(mode=st.sampled_from(MODES), data=st.data())
def test_enclosed_circle(mode, data):
    rows = data.draw(pixel_list(mode), "pixels")
    c = reals(mode)
    circle = (data.draw(c), data.draw(c), data.draw(NICE | c))  # radii 0 and negative too
    got = run_pixels(_trovel.enclosed_circle, columns(rows, 8), circle, rows,
                     lambda a, sc: (*a[:4], *sc, *a[4:8]))
    for row, value in zip(rows, got):
        if all_finite(*row, *circle) and non_singular(row[4:]):
            assert 0.0 <= value <= 1.0, (row, circle, value)
        # a nearly singular footprint (a sliver) is measured through its
        # inverse, which rounding leaves meaningless: only its bounds hold
        if mode != "moderate" or not well_conditioned(row[4:]):
            continue
        rho = float(np.linalg.norm(np.reshape(row[4:], (2, 2)), 2))  # footprint radius
        if circle[2] >= rho:
            # a footprint wholly inside or wholly outside a circle larger than
            # its bound (smaller circles count as inside when within the bound)
            d, r = math.hypot(row[2] - circle[0], row[3] - circle[1]), circle[2]
            reach = rho * math.sqrt(0.5)  # every footprint point is this near its centre
            if d + reach < r * (1 - 1e-9) - 1e-9:
                assert value == 1.0, (row, circle)
            elif d - reach > r * (1 + 1e-9) + 1e-9:
                assert value == 0.0, (row, circle)


# --- enclosed_strut -----------------------------------------------------------------

@st.composite
def oriented_strut(draw, mode):
    """Parallel edges with the inside right of edge 1 and left of edge 2, as
    the contract orients them: (length, x1, y1, a1, b1, x2, y2, a2, b2)."""
    c = reals(mode)
    phi = draw(st.sampled_from([0.0, math.pi / 2, math.pi / 4, -2.0]) | st.floats(-4, 4))
    k = draw(st.sampled_from([1.0, 1e-3, 10.0, 2.0**-40]))
    a, b = k * math.sin(phi), k * math.cos(phi)
    width = draw(st.sampled_from([1e-6, 0.3, 1.0, 5.0]) | st.floats(1e-6, 10))
    x1, y1 = draw(c), draw(c)
    x2, y2 = x1 + width * math.sin(phi), y1 - width * math.cos(phi)  # right of edge 1
    scale2 = draw(st.sampled_from([1.0, 0.5, 4.0]))  # a power of two keeps the pairs parallel
    length = draw(st.sampled_from([0.0, 1.0, 100.0, math.inf]) | st.floats(0, 1e3))
    return (length, x1, y1, a, b, x2, y2, a * scale2, b * scale2)


@given(mode=st.sampled_from(MODES), oriented=st.booleans(), data=st.data())
def test_enclosed_strut(mode, oriented, data):
    rows = data.draw(pixel_list(mode), "pixels")
    if oriented:
        strut = data.draw(oriented_strut("moderate" if mode == "moderate" else "extreme"))
    else:
        strut = tuple(data.draw(reals(mode)) for _ in range(9))
    got = run_pixels(_trovel.enclosed_strut, columns(rows, 8), strut, rows,
                     lambda a, sc: (*a[:4], *sc, *a[4:8]))
    for row, value in zip(rows, got):
        if all_finite(*row, *strut[1:]) and non_singular(row[4:]):
            # Oriented, each kernel value is accurate only for a Jacobian that is
            # well-conditioned (a nearly flat footprint can come out on either
            # side), and the edge points are rounded to the grid position's ulp.
            grid_ulps = 4 * (math.ulp(row[0]) + math.ulp(row[1]))
            low = -grid_ulps if oriented and well_conditioned(row[4:]) else -1.0
            assert low <= value <= 1.0, (row, strut, value)


# --- clip_triangles_to_circle and clip_triangles_to_strut --------------------------

COUNTER_STARTS = st.sampled_from([0, 7, -1, INT32_MAX, INT32_MIN])


def check_clip_counts(tris, count, written, d_drop, d_clip, fan, each_clipped_writes):
    """Copies are the triangles counted nowhere; each comes out unchanged."""
    if count <= 0:
        assert len(written) == 0 and d_drop == d_clip == 0
        return
    copies = count - d_drop - d_clip
    assert copies + each_clipped_writes * d_clip <= len(written) <= copies + fan * d_clip
    inputs = {np.array(t).tobytes() for t in tris}
    assert sum(r.tobytes() in inputs for r in written) >= copies


def clipped_area_bound_holds(tris, written):
    """What is kept of a triangle lies inside it: the output area is no more
    than the input area, up to rounding."""
    total_in = sum(doubled_area(t) for t in tris)
    total_out = sum(doubled_area(r) for r in written)
    return total_out <= total_in * (1 + 1e-9) + 1e-9


@st.composite
def count_for(draw, tris):
    """Usually the list's length; sometimes zero or negative (then nothing is read)."""
    return draw(st.sampled_from([len(tris)] * 4 + [0, -1, INT32_MIN]))


@given(mode=st.sampled_from(MODES), data=st.data())
def test_clip_triangles_to_circle(mode, data):
    tris = data.draw(triangle_list(mode), "triangles")
    count = data.draw(count_for(tris), "count")
    c = reals(mode)
    keep_inside = data.draw(st.sampled_from([1, 0, -3]))
    margin = data.draw(st.sampled_from([0.0, 0.1, -0.1, 1e300, -1e300]) | c)
    shape = (data.draw(c), data.draw(c), data.draw(NICE | c), keep_inside, margin)
    written, d_drop, d_clip = run_clipper(_trovel.clip_triangles_to_circle, tris, shape, count,
                                          (data.draw(COUNTER_STARTS), data.draw(COUNTER_STARTS)))
    check_clip_counts(tris, count, written, d_drop, d_clip, CIRCLE_FAN, 0)
    if mode == "moderate" and count > 0:
        assert clipped_area_bound_holds(tris, written)


@st.composite
def strut_shape(draw, mode):
    """x1, y1, a1, b1, x2, y2, a2, b2, cx, cy, length, margin: a rectangle,
    pairs of either orientation, cancelling or zero pairs, or anything."""
    c = reals(mode)
    if draw(st.booleans()):
        x1, y1, a1, b1, x2, y2, a2, b2 = (draw(c) for _ in range(8))
    else:
        phi = draw(st.sampled_from([0.0, math.pi / 2, math.pi / 4]) | st.floats(-4, 4))
        a, b = math.sin(phi), math.cos(phi)
        half = draw(st.sampled_from([0.0, 1e-9, 0.1, 1.0]) | st.floats(0, 5))
        x1, y1, x2, y2 = -half * a, half * b, half * a, -half * b
        s1, s2 = (draw(st.sampled_from([1.0, -1.0, 0.0])) for _ in range(2))
        a1, b1, a2, b2 = s1 * a, s1 * b, s2 * a, s2 * b
    length = draw(st.sampled_from([0.0, 2.0, -1.0, 1e300]) | c)
    margin = draw(st.sampled_from([0.0, 0.05, -0.05, 1e300, -1e300]) | c)
    return (x1, y1, a1, b1, x2, y2, a2, b2, draw(c), draw(c), length, margin)


@given(mode=st.sampled_from(MODES), data=st.data())
def test_clip_triangles_to_strut(mode, data):
    tris = data.draw(triangle_list(mode), "triangles")
    count = data.draw(count_for(tris), "count")
    shape = data.draw(strut_shape(mode), "strut")
    written, d_drop, d_clip = run_clipper(_trovel.clip_triangles_to_strut, tris, shape, count,
                                          (data.draw(COUNTER_STARTS), data.draw(COUNTER_STARTS)))
    check_clip_counts(tris, count, written, d_drop, d_clip, STRUT_FAN, 1)
    if mode == "moderate" and count > 0:
        assert clipped_area_bound_holds(tris, written)


@given(tris=triangle_list("moderate"), centre=st.tuples(NICE, NICE), r=NICE | WIDE,
       keep_inside=st.sampled_from([1, 0]), margin=st.sampled_from([0.0, -0.1, -1.0]))
def test_circle_clipper_keeps_to_the_kept_side(tris, centre, r, keep_inside, margin):
    assume(r >= 0)
    written, _, _ = run_clipper(_trovel.clip_triangles_to_circle, tris,
                                (*centre, r, keep_inside, margin))
    # Without widening, every point written is on the kept side (crossings on
    # the circle up to rounding), and so are the chords between them.
    dist = np.hypot(written[:, 0::2] - centre[0], written[:, 1::2] - centre[1])
    tol = 1e-9 * (1 + r)
    assert (dist <= r + tol).all() if keep_inside else (dist >= r - tol).all()


@given(tris=triangle_list("moderate"), phi=st.sampled_from([0.0, math.pi / 4]) | st.floats(-4, 4),
       half=st.sampled_from([0.0, 0.1, 1.0]) | st.floats(0, 5), flip=st.sampled_from([1.0, -1.0]),
       centre=st.tuples(NICE, NICE), length=st.sampled_from([0.0, 2.0]) | st.floats(0, 20))
def test_strut_clipper_keeps_outside_the_rectangle(tris, phi, half, flip, centre, length):
    a, b = flip * math.sin(phi), flip * math.cos(phi)
    shape = (-half * a, half * b, a, b, half * a, -half * b, a, b, *centre, length, 0.0)
    written, _, _ = run_clipper(_trovel.clip_triangles_to_strut, tris, shape)
    # Every triangle written lies beyond one of the four lines, so none has its
    # centroid inside the band |(-a, b) . p| <= half, `length` long about the centre.
    gx, gy = written[:, 0::2].mean(axis=1), written[:, 1::2].mean(axis=1)
    across = -a * gx + b * gy
    along = b * (gx - centre[0]) + a * (gy - centre[1])
    tol = 1e-9 * (1 + length)
    assert not ((np.abs(across) < half - tol) & (np.abs(along) < 0.5 * length - tol)).any()


# An edge line with a zero pair has every point on it, so a triangle was the
# whole of both pieces there: taken as outside, and passed on inside too, to be
# taken again at a later line (two copies of the same triangle).
ZERO_PAIRS = {  # x1, y1, a1, b1, x2, y2, a2, b2, cx, cy, length
    "zero_pair_2_no_length": (0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0),
    "zero_pair_1": (0.0, -0.1, 0.0, 0.0, 0.0, 0.1, 0.0, 1.0, 0.0, 0.0, 2.0),
    "both_pairs_zero": (0.0, -0.1, 0.0, 0.0, 0.0, 0.1, 0.0, 0.0, 0.0, 0.0, 2.0),
}


@pytest.mark.parametrize("shape", ZERO_PAIRS.values(), ids=ZERO_PAIRS.keys())
def test_strut_with_a_zero_pair_keeps_each_triangle_once(shape):
    tri = [0.0, 0.0, 0.0, 0.5, 0.5, 0.0]
    # with margin 0 every vertex lies beyond the line without direction: a copy;
    # a positive margin sends it to the cut, which must keep it once, as it is
    for margin, counts in ((0.0, (0, 0)), (0.05, (0, 1))):
        recs, *got = run_clipper(_trovel.clip_triangles_to_strut, [tri], (*shape, margin))
        assert recs.tolist() == [tri] and tuple(got) == counts


# --- accumulate_triangles -----------------------------------------------------------

@given(mode=st.sampled_from(MODES), data=st.data())
def test_accumulate_triangles(mode, data):
    size = data.draw(st.sampled_from([-3, 0, 1, 2, 3, 4, 5, 8]), "size")
    scale = data.draw(st.sampled_from([1.0, 3.0, 0.01]), "scale")
    tris = [[v * scale for v in t] for t in data.draw(triangle_list(mode), "triangles")]
    count = data.draw(count_for(tris), "count")
    k = len(tris)
    weights = NICE | reals(mode)  # 0, negative, NaN and infinite divisors too
    values = exact(data.draw(st.lists(weights, min_size=k, max_size=k), "values"))
    divisors = exact(data.draw(st.lists(weights, min_size=k, max_size=k), "divisors"))
    flat = exact(tris) if tris else np.empty(0)
    inputs = [a.copy() for a in (flat, values, divisors)]
    side = max(size, 0)
    image = Guarded(side * side, fill=data.draw(st.sampled_from([0.0, 1.0, -2.5])))
    with np.errstate(all="ignore"):
        _trovel.accumulate_triangles(flat.ctypes.data, values.ctypes.data, divisors.ctypes.data,
                                     image.address, count, size)
    image.check_guards()
    assert all(same_bits(a, b) for a, b in zip((flat, values, divisors), inputs))
    if count <= 0 or size <= 0:
        assert image.unchanged()
        return
    grid, before = image.inner.reshape(side, side), image.before.reshape(side, side)
    if size % 2 == 0:  # the last row and column lie outside the pixel window
        assert same_bits(grid[-1], before[-1]) and same_bits(grid[:, -1], before[:, -1])
    with np.errstate(all="ignore"):
        live = [(t, v / d) for t, v, d in zip(tris[:count], values, divisors)
                if all_finite(*t) and d > 0]
        if mode == "moderate" and all(np.isfinite(q) for _, q in live):
            # each triangle gives at most its own area times its factor, in
            # total; a degenerate one may keep a rounding-sized area per pixel
            bound = sum(abs(q) * (doubled_area(t) * 0.5 + 1e-10) for t, q in live)
            assert np.abs(grid - before).sum() <= bound * (1 + 1e-9)


# --- clip_area ----------------------------------------------------------------------

PIXEL_INDEX = st.sampled_from([0, 1, -1, 2, INT32_MAX, INT32_MIN]) | st.integers(-3, 3)


@given(mode=st.sampled_from(MODES), data=st.data())
def test_clip_area(mode, data):
    tri = data.draw(triangle(mode), "triangle")
    i, j = data.draw(PIXEL_INDEX, "i"), data.draw(PIXEL_INDEX, "j")
    flat = exact(tri)
    got = _trovel.clip_area(flat.ctypes.data, i, j)
    assert same_bits(flat, exact(tri))
    assert got >= 0.0 or math.isnan(got)  # never negative
    if mode == "moderate":
        assert got <= 1.0 + 1e-12
        assert got <= doubled_area(tri) * 0.5 * (1 + 1e-9) + 1e-12


# --- the checked layer: bad arguments are refused, never passed on ------------------

DTYPES = st.sampled_from(["f8", ">f8", "f4", "i8", "u1", "?", "c16", "O", "U2", "M8[s]"])
JUNK_ARRAYS = hnp.arrays(DTYPES, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3))
JUNK = st.one_of(
    st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(), st.text(max_size=3),
    st.just([(0, 0), (1,)]), st.just({"x": 1}), st.just(object()), st.just(["1", "2"]),
    JUNK_ARRAYS, JUNK_ARRAYS.map(lambda a: a.T),
    JUNK_ARRAYS.map(lambda a: a[..., ::-1] if a.ndim else a),  # strided
    st.lists(st.floats(), max_size=4), st.lists(st.tuples(st.floats(), st.floats()), max_size=4),
)

TRIS = [[(0.0, 0.0), (2.0, 0.0), (0.0, 2.0)]]
STRUT = trovel.Strut.across((0.0, 0.0), 0.3, 0.5, 4.0)
GRID = trovel.Pixels.grid((2, 3), origin=(-1.0, -1.0), scale=0.7)
GRID_FIELDS = {f: getattr(GRID, f) for f in ("px", "py", "qx", "qy", "j00", "j01", "j10", "j11",
                                            "shape")}
CHECKED_CALLS = {
    "overlap_area": (trovel.overlap_area, {"triangle": TRIS[0], "pixel": (0, 0)}),
    "deposit_triangles": (trovel.deposit_triangles, {"triangles": TRIS, "values": 1.0,
                                                     "divisors": 1.0, "size": 5, "out": None,
                                                     "threads": 1}),
    "deposit_frame": (trovel.deposit_triangles, {"triangles": TRIS, "values": 1.0,
                                                 "divisors": 1.0, "shape": (3, 4),
                                                 "origin": (0.5, -1.0), "scale": 0.7,
                                                 "out": None, "threads": 2}),
    "clip_to_circle": (trovel.clip_to_circle, {"triangles": TRIS, "center": (0, 0), "radius": 1.0,
                                               "keep": "inside", "margin": 0.0, "out": None}),
    "clip_to_strut": (trovel.clip_to_strut, {"triangles": TRIS, "strut": STRUT, "margin": 0.0,
                                             "out": None}),
    "edge_coverage": (trovel.edge_coverage, {"pixels": GRID, "point": (0, 0),
                                             "direction": (1, 0), "out": None}),
    "circle_coverage": (trovel.circle_coverage, {"pixels": GRID, "center": (0, 0),
                                                 "radius": 1.0, "out": None}),
    "strut_coverage": (trovel.strut_coverage, {"pixels": GRID, "strut": STRUT, "out": None}),
    "polygon_mask": (trovel.polygon_mask, {"polygon": [(0, 0), (2, 0), (0, 2)],
                                           "grid_x": [0.0, 1.0], "grid_y": [1.0], "out": None}),
    "pixels_grid": (trovel.Pixels.grid, {"shape": (2, 3), "origin": (0, 0), "scale": 1.0,
                                         "rotation": 0.0, "matrix": None}),
    "pixels_from_arrays": (trovel.Pixels.from_arrays, {"positions": [(0, 0)],
                                                       "centres": [(0.5, 0.5)],
                                                       "jacobians": np.eye(2)}),
    "pixels_made_directly": (lambda **kw: trovel.circle_coverage(trovel.Pixels(**kw), (0, 0), 1.0),
                             GRID_FIELDS),
    "strut": (trovel.Strut, {"point1": (0, 1), "direction1": (1, 0), "point2": (0, -1),
                             "direction2": (1, 0), "center": (0, 0), "length": 3.0}),
    "strut_across": (trovel.Strut.across, {"center": (0, 0), "angle": 0.0, "width": 1.0,
                                           "length": 2.0}),
}


@pytest.mark.parametrize("name", CHECKED_CALLS)
@given(data=st.data())
def test_checked_layer_refuses_or_succeeds(name, data):
    fn, defaults = CHECKED_CALLS[name]
    keys = data.draw(st.sets(st.sampled_from(sorted(defaults)), min_size=1), "replaced")
    kwargs = dict(defaults)
    for key in sorted(keys):
        kwargs[key] = data.draw(JUNK, key)
    try:
        with np.errstate(all="ignore"):
            fn(**kwargs)
    except (TypeError, ValueError):
        pass
    except MemoryError:  # an image or grid of the size asked for does not fit
        assert name in ("deposit_triangles", "deposit_frame", "pixels_grid")


def grid_fields(**changes):
    return {**GRID_FIELDS, **changes}


# Pixels made directly were taken as they came: a short field was read past
# its end, a shape holding more pixels than the fields was written past the
# end of the result, and arrays of another dtype were read as float64.
BAD_PIXELS = {
    "short_field": grid_fields(py=GRID.py[:2].copy()),
    "shape_too_large": grid_fields(shape=(4, 4)),
    "float32_field": grid_fields(j11=GRID.j11.astype(np.float32)),
    "strided_field": grid_fields(qx=np.repeat(GRID.qx, 2)[::2]),
    "list_field": grid_fields(px=GRID.px.tolist()),
    "shape_not_a_tuple": grid_fields(shape=6),
}


@pytest.mark.parametrize("fields", BAD_PIXELS.values(), ids=BAD_PIXELS.keys())
def test_pixels_made_directly_are_checked(fields):
    with pytest.raises((TypeError, ValueError)):
        trovel.Pixels(**fields)
