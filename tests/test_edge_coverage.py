"""Pixel coverage by an edge line, a circle and a strut (pixel_frac,
enclosed_circle, enclosed_strut)."""
import math
from fractions import Fraction

import numpy as np
import pytest

import _trovel
from helpers import Index, addr, bits, clip_polygon, columns, f64, polygon_area

IDENTITY, ROTATED = (1.0, 0.0, 0.0, 1.0), (0.0, -1.0, 1.0, 0.0)
R = 1e-15  # pulling an edge into the pixel grid costs a few roundings near 1
S2 = math.sqrt(0.5)


def frac(edge, q=(0, 0), p=(0, 0), jac=IDENTITY):
    out, arrays = f64(np.nan), columns([(*q, *p, *jac)])  # kept alive through the call
    _trovel.pixel_frac(*map(float, edge), *map(addr, arrays), addr(out), 1)
    return out[0]


def circle(q, r=10.0, c=(0, 0), jac=IDENTITY):
    out, arrays = f64(np.nan), columns([(0, 0, *q, *jac)])
    _trovel.enclosed_circle(*map(addr, arrays[:4]), *c, r, *map(addr, arrays[4:]), addr(out), 1)
    return out[0]


def strut(q, h, length=100.0, pair=(0, 1), jac=IDENTITY, swap=False, edges=None):
    e1, e2 = edges or ((0, h, *pair), (0, -h, *pair))
    e1, e2 = (e2, e1) if swap else (e1, e2)
    out, arrays = f64(np.nan), columns([(0, 0, *q, *jac)])
    _trovel.enclosed_strut(*map(addr, arrays[:4]), length, *e1, *e2, *map(addr, arrays[4:]),
                           addr(out), 1)
    return out[0]


def check(got, expected, tol):
    """Exact when tol is 0, else within tol."""
    assert got == expected if tol == 0 else abs(got - expected) <= tol, (got, expected)


# --- single pixels (identity Jacobian, footprint [-0.5, 0.5]^2 unless said) -----

FRAC_CASES = {  # edge (x0, y0, a, b), keywords, expected, tolerance
    "on_right_side_up": ((0.5, 0, 1, 0), {}, 0.0, 0),
    "on_right_side_down": ((0.5, 0, -1, 0), {}, 1.0, 0),
    "on_left_side": ((-0.5, 0, 1, 0), {}, 1.0, 0), "on_top_side": ((0, 0.5, 0, 1), {}, 1.0, 0),
    "on_bottom_side": ((0, -0.5, 0, 1), {}, 0.0, 0), "far_right": ((5, 0, 1, 0), {}, 0.0, 0),
    "far_left": ((-5, 0, 1, 0), {}, 1.0, 0), "through_centre": ((0, 0, -1, 0), {}, 0.5, 0),
    "quarter": ((0.25, 0, 1, 0), {}, 0.25, 0), "quarter_reversed": ((0.25, 0, -1, 0), {}, 0.75, 0),
    "horizontal": ((0, 0.25, 0, 1), {}, 0.75, 0), "zero_pair": ((0.3, 0.1, 0, 0), {}, 0.0, 0),
    "corner_at_45deg": ((0.25, 0, 1, 1), {}, 0.28125, 0),
    "general": ((0.3, 0.1, 0.6, 0.8), {}, 0.375, R),
    "short_pair": ((0.3, 0.1, 0.06, 0.08), {}, 0.375, R),
    "corner": ((0.4, 0.4, 1, -1), {}, 0.02, R),
    "corner_complement": ((-0.4, -0.4, 1, -1), {}, 0.98, R),
    "scaled": ((0.5, 0, 1, 0), {"jac": (2, 0, 0, 2)}, 0.25, 0),
    "mirrored": ((0.25, 0, 1, 0), {"jac": (-1, 0, 0, 1)}, 0.25, 0),
    "rotated": ((0.25, 0, 1, 0), {"jac": ROTATED}, 0.25, 0),
    "sheared": ((0.2, 0.1, 1, 0), {"jac": (1, 0.5, 0, 1)}, 0.3, R),
    "moved_footprint": ((10.3, 20.1, 0.6, 0.8), {"q": (10, 20)}, 0.375, 10 * R),
    "far_grid_position": ((0.3, 0.1, 0.6, 0.8), {"p": (40.3, 70.7)}, 0.375, 10 * R),
}

CIRCLE_CASES = {  # footprint centre, keywords (r = 10 about (0, 0) unless said), expected, tol
    "deep_inside": ((0, 0), {}, 1.0, 0), "on_inner_bound": ((9, 0), {}, 1.0, 0),
    "kernel_inside": ((9.1, 0), {}, 1.0, 0), "tangent_through_centre": ((10, 0), {}, 0.5, 0),
    "kernel_outside": ((10.6, 0), {}, 0.0, 0), "on_outer_bound": ((11, 0), {}, 0.0, 0),
    "outside": ((11.1, 0), {}, 0.0, 0), "tangent_on_footprint_side": ((10, 0), {"r": 10.5}, 1.0, 0),
    "footprint_encloses_circle": ((5, 0), {"r": 1, "jac": (10, 0, 0, 10)}, 1.0, 0),
    "large_footprint_kernel": ((9.5, 0), {"r": 1, "jac": (10, 0, 0, 10)}, 0.0, 0),
    "zero_radius": ((0.5, 0), {"r": 0}, 1.0, 0),
    "radius_is_footprint_radius_at_centre": ((0, 0), {"r": 1}, 1.0, 0),
    "same_rotated": ((0, 0), {"r": 1, "jac": ROTATED}, 1.0, 0),
    "same_moved_scaled": ((3, 4), {"r": 2, "c": (3, 4), "jac": (2, 0, 0, 2)}, 1.0, 0),
    "edge_right": ((10.4, 0), {}, 0.1, 10 * R), "edge_top": ((0, 10.4), {}, 0.1, 10 * R),
    "edge_left": ((-10.4, 0), {}, 0.1, 10 * R),
    "edge_rotated": ((10.4, 0), {"jac": ROTATED}, 0.1, 10 * R),
    "moved_circle": ((110.4, 50), {"c": (100, 50)}, 0.1, 10 * R),
    "small_footprint": ((10.1, 0), {"jac": (0.5, 0, 0, 0.5)}, 0.3, 10 * R),
}

STRUT_CASES = {  # footprint centre, half-width, keywords, expected, tol
    "edges_on_footprint_sides": ((0, 0), 0.5, {}, 1.0, 0),
    "touching_top": ((0, 1), 0.5, {}, 0.0, 0),
    "near_edge_outside": ((0, 2.4), 0.5, {}, 0.0, 0), "far_outside": ((0, 2.6), 0.5, {}, 0.0, 0),
    "long_pairs_narrow_near_band": ((0, 0.8), 0.5, {"pair": (0, 10)}, 0.0, 0),
    "beyond_rim": ((60, 0), 0.5, {}, 0.0, 0), "on_rim": ((50, 0), 0.5, {}, 0.0, 0),
    "inside_rim": ((49.9, 0), 0.5, {}, 1.0, 0),
    "on_short_rim": ((0.5, 0), 0.3, {"length": 1}, 0.0, 0),
    "deep_inside_swapped": ((0, 0), 5, {"swap": True}, 1.0, 0),
    "outside_swapped": ((0, 7.5), 5, {"swap": True}, 0.0, 0),
    "large_footprint": ((0, 0), 0.5, {"jac": (2, 0, 0, 2)}, 0.5, 0),
    "narrow": ((0, 0), 0.3, {}, 0.6, R), "narrow_swapped": ((0, 0), 0.3, {"swap": True}, -0.6, R),
    "top_edge": ((0, 0.7), 0.5, {}, 0.3, R), "bottom_edge": ((0, -0.7), 0.5, {}, 0.3, R),
    "inside_short_rim": ((0.49, 0), 0.3, {"length": 1}, 0.6, R),
    "wide_top": ((0, 4.8), 5, {}, 0.7, R),
    "wide_top_swapped": ((0, 4.8), 5, {"swap": True}, -0.7, R),
    "diagonal": ((0, 0), 0, {"edges": ((-0.2, 0.2, S2, S2), (0.2, -0.2, S2, S2))}, 0.64, R),
}


@pytest.mark.parametrize("edge,kw,expected,tol", FRAC_CASES.values(), ids=FRAC_CASES.keys())
def test_pixel_frac_cases(edge, kw, expected, tol):
    check(frac(edge, **kw), expected, tol)


@pytest.mark.parametrize("q,kw,expected,tol", CIRCLE_CASES.values(), ids=CIRCLE_CASES.keys())
def test_circle_cases(q, kw, expected, tol):
    check(circle(q, **kw), expected, tol)


@pytest.mark.parametrize("q,h,kw,expected,tol", STRUT_CASES.values(), ids=STRUT_CASES.keys())
def test_strut_cases(q, h, kw, expected, tol):
    check(strut(q, h, **kw), expected, tol)


@pytest.mark.parametrize("jac", [(0, 0, 0, 0), (1, 1, 1, 1), (1, 2, 0.5, 1)])
def test_singular_jacobian_still_returns_a_fraction(jac):
    # No particular value is owed, but a fraction, not NaN or garbage.
    assert 0.0 <= frac((0.3, 0.1, 0.6, 0.8), jac=jac) <= 1.0


# --- geometry: exact clipping, complement, band area ---------------------------

def exact_clipped_fraction(edge, q, jac):
    """Area of the footprint where the side value is negative over its area,
    by clipping the parallelogram in exact rational arithmetic."""
    x0, y0, a, b, qx, qy, j00, j01, j10, j11 = map(Fraction, (*edge, *q, *jac))
    h = Fraction(1, 2)
    poly = [(qx + j00 * s + j01 * t, qy + j10 * s + j11 * t)
            for s, t in ((-h, -h), (h, -h), (h, h), (-h, h))]
    kept = clip_polygon(poly, lambda v: b * (v[1] - y0) - a * (v[0] - x0))
    return float(polygon_area(kept) / polygon_area(poly))


def test_pixel_frac_agrees_with_exact_clipping(rng):
    for _ in range(300):
        th, phi = rng.uniform(0, 2 * np.pi, 2)
        rot = np.array([[np.cos(th), -np.sin(th)], [np.sin(th), np.cos(th)]])
        scale = np.diag(rng.uniform(0.3, 3, 2) * [1, rng.choice([-1, 1])])  # maybe mirrored
        jac = tuple((rot @ scale @ [[1, rng.uniform(-1, 1)], [0, 1]]).ravel())
        q, p = rng.uniform(-20, 20, 2), rng.uniform(-100, 100, 2)
        pair = rng.uniform(0.1, 10) * np.array([np.sin(phi), np.cos(phi)])
        edge = (*(q + rng.uniform(-2, 2, 2)), *pair)
        got = frac(edge, q, p, jac)
        assert abs(got - exact_clipped_fraction(edge, q, jac)) <= 1e-12
        assert abs(frac((*edge[:2], -edge[2], -edge[3]), q, p, jac) - (1 - got)) <= 1e-12


def test_strut_column_holds_the_band_area(rng):
    # A band of half-width h at angle th crosses a pixel column over a height
    # of 2h / cos(th), whatever its offset; the disc holds the whole column.
    n = 41
    arrays = columns([(0, j, 0, j, *IDENTITY) for j in range(-20, 21)])
    for _ in range(50):
        th, h, y = rng.uniform(-0.7, 0.7), rng.uniform(0.05, 3), rng.uniform(-1, 1)
        a, b = math.sin(th), math.cos(th)
        out = np.full(n, np.nan)
        _trovel.enclosed_strut(*map(addr, arrays[:4]), 1e6, -a * h, y + b * h, a, b, a * h,
                               y - b * h, a, b, *map(addr, arrays[4:]), addr(out), n)
        assert abs(out.sum() - 2 * h / b) <= 1e-12


# --- overload dispatch -----------------------------------------------------------

EDGES = columns([(0.25, 0, 1, 0), (-0.25, 0, 1, 0)])
PIXELS = columns([(0, 0, 0, 0, *IDENTITY), (0, 0, 0, 0, *IDENTITY)])
OUT = f64(np.nan, np.nan)


class FloatOnly:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Address(int):
    pass


def run(*first_four, tail=(), n=2):
    OUT[:] = np.nan
    assert _trovel.pixel_frac(*first_four, *map(addr, PIXELS), addr(OUT), n, *tail) is None
    return OUT.tolist()


@pytest.mark.parametrize("first_four", [
    (0.25, 0.0, 1.0, 0.0), (np.float64(0.25), 0.0, np.float64(1), 0.0), (0.25, 0, 1, 0),
    (0.25, False, True, 0.0), (FloatOnly(0.25), 0.0, 1.0, Index(0)),
], ids=["floats", "float_subclass", "floats_and_ints", "floats_and_bools", "converted_objects"])
def test_shared_edge_form_is_reached(first_four):
    assert run(*first_four) == [0.25, 0.25]


@pytest.mark.parametrize("wrap", [int, Address, Index, np.uint64, np.int64],
                         ids=["ints", "int_subclass", "index_objects", "numpy_uint64", "numpy_int64"])
def test_fourteen_integers_reach_per_pixel_form(wrap):
    assert run(*(wrap(addr(e)) for e in EDGES)) == [0.25, 0.75]


@pytest.mark.parametrize("call", [
    lambda: run(0.25, 0.0, 1.0, 0.0, n=2.0), lambda: run(0.25, 0.0, 1.0, 0.0, n=np.float64(2)),
    lambda: _trovel.pixel_frac(0.25, 0.0, 1.0, 0.0, *map(addr, PIXELS), addr(OUT)),
    lambda: run(0.25, 0.0, 1.0, 0.0, tail=(0,)),
    lambda: _trovel.pixel_frac(0.25, 0.0, 1.0, 0.0, *map(addr, PIXELS), addr(OUT), n=2),
], ids=["float_count", "float_subclass_count", "13_args", "15_args", "keyword"])
def test_pixel_frac_rejects(call):
    OUT[:] = np.nan
    with pytest.raises(TypeError):
        call()
    assert np.isnan(OUT).all()


# --- array forms: one value per pixel, in place, nothing touched at n = 0 --------

def random_pixels(rng, n):
    """Footprints near the unit circle and near the x axis, varied Jacobians."""
    ang = rng.uniform(0, 2 * np.pi, n)
    rad = rng.choice([0.0, 1.0], n) + rng.uniform(-0.6, 0.6, n)
    jac = rng.uniform(-0.15, 0.15, (n, 4)) + [0.5, 0, 0, 0.5]  # |det| >= 0.1
    jac[:, [0, 2]] *= rng.choice([-1.0, 1.0], (n, 1))  # some mirrored
    return [rng.uniform(-50, 50, n), rng.uniform(-50, 50, n), rad * np.cos(ang),
            rad * np.sin(ang), *jac.T.copy()]


def call(kind, arrays, out, n, edge):
    """The array call of `kind`; arrays are px, py, qx, qy, j00, j01, j10, j11."""
    px, py, qx, qy, *j = map(addr, arrays)
    if kind == "circle":
        _trovel.enclosed_circle(px, py, qx, qy, 0.0, 0.0, 1.0, *j, addr(out), n)
    elif kind == "strut":
        _trovel.enclosed_strut(px, py, qx, qy, 3.0, 0.1, 0.2, 0.1, 1.0, -0.1, -0.2, 0.1, 1.0,
                               *j, addr(out), n)
    elif kind == "shared_edge":
        _trovel.pixel_frac(0.1, 0.2, 0.6, 0.8, qx, qy, px, py, *j, addr(out), n)
    else:
        _trovel.pixel_frac(*map(addr, edge), qx, qy, px, py, *j, addr(out), n)


KINDS = ["circle", "strut", "shared_edge", "per_pixel_edge"]


@pytest.mark.parametrize("kind", KINDS)
def test_array_call_equals_single_pixel_calls(kind, rng):
    n = 300
    arrays, edge = random_pixels(rng, n), [rng.uniform(-1, 1, n) for _ in range(4)]
    out, singles = np.full(n, np.nan), np.full(n, np.nan)
    call(kind, arrays, out, n, edge)
    for i in range(n):
        call(kind, [a[i:i + 1] for a in arrays], singles[i:], 1, [e[i:i + 1] for e in edge])
    assert np.array_equal(bits(out), bits(singles)) and not np.isnan(out).any()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("slot", [0, 3, 7], ids=["px", "qy", "j11"])
def test_out_may_be_an_input(kind, slot, rng):
    arrays, edge = random_pixels(rng, 100), [rng.uniform(-1, 1, 100) for _ in range(4)]
    expected = np.full(100, np.nan)
    call(kind, arrays, expected, 100, edge)
    call(kind, arrays, arrays[slot], 100, edge)
    assert np.array_equal(bits(arrays[slot]), bits(expected))


@pytest.mark.parametrize("kind", KINDS)
def test_zero_pixels_touch_nothing(kind, rng):
    arrays, edge = random_pixels(rng, 3), [rng.uniform(-1, 1, 3) for _ in range(4)]
    out = np.full(3, -7.0)
    call(kind, arrays, out, 0, edge)
    assert out.tolist() == [-7.0] * 3


# --- grids: runs of one Jacobian, quick-test boundaries, large outputs ------------

H = 0.25  # grid step and footprint radius: the quick-test bounds below are exact


def grid_pixels(rng, reps=2):
    """The grid [-2, 2]^2 with step H, `reps` times, Jacobians in runs of random
    length (so runs start and end inside and across blocks of pixels); some
    runs have -0.0 entries, a mirrored, scaled or sheared Jacobian, or a NaN."""
    g = np.arange(-2, 2 + H / 2, H)
    qx, qy = (np.tile(a.ravel(), reps) for a in np.meshgrid(g, g))
    choices = np.array([(H, 0, 0, H), (H, -0.0, 0, H), (H, 0, -0.0, H), (-H, 0, 0, H),
                        (2 * H, 0, 0, 2 * H), (0.3, 0.1, -0.05, 0.2), (np.nan, 0, 0, H)])
    runs = np.repeat(rng.integers(0, len(choices), 60), rng.integers(1, 150, 60))[:qx.size]
    jac = choices[runs].T
    return [np.round(qx / H), np.round(qy / H), qx, qy, *map(np.ascontiguousarray, jac)]


# A strut whose side values are exact on the grid: the band |y| < 0.5.
BAND = (3.0, 0.0, 0.5, 0.0, 1.0, 0.0, -0.5, 0.0, 1.0)
GRID_CALLS = {
    "circle": lambda p, o, n: _trovel.enclosed_circle(*p[:4], 0.0, 0.0, 1.0, *p[4:], o, n),
    "strut": lambda p, o, n: _trovel.enclosed_strut(*p[:4], *BAND, *p[4:], o, n),
    "shared_edge": lambda p, o, n: _trovel.pixel_frac(0.5, 0.25, 1.0, 0.0, p[2], p[3], p[0],
                                                      p[1], *p[4:], o, n),
}


def edges_in_runs(size):
    """One edge line per pixel: points near the origin, pairs in runs from a
    few, -0.0 and a zero pair among them (the same arrays for the same size)."""
    rng = np.random.default_rng(size)
    pairs = np.array([(0.0, 1.0), (-0.0, 1.0), (0.6, 0.8), (0.6, -0.8), (0.0, 0.0), (1.0, -0.0)])
    runs = np.repeat(rng.integers(0, len(pairs), size // 20 + 1), 40)[:size]
    return [rng.uniform(-0.5, 0.5, size), rng.uniform(-0.5, 0.5, size),
            *map(np.ascontiguousarray, pairs[runs].T)]


def grid_call(kind, arrays, out, start=0, n=None):
    n = arrays[0].size - start if n is None else n
    if kind == "per_pixel_edge":
        edges = edges_in_runs(arrays[0].size)
        p = [addr(a) + 8 * start for a in edges + arrays]
        _trovel.pixel_frac(*p[:4], p[6], p[7], p[4], p[5], *p[8:], addr(out) + 8 * start, n)
        return
    GRID_CALLS[kind]([addr(a) + 8 * start for a in arrays], addr(out) + 8 * start, n)


@pytest.mark.parametrize("kind", [*GRID_CALLS, "per_pixel_edge"])
def test_grid_with_jacobian_runs_equals_single_pixel_calls(kind, rng):
    arrays = grid_pixels(rng)
    n = arrays[0].size
    out, singles = np.full(n, np.nan), np.full(n, np.nan)
    grid_call(kind, arrays, out)
    for i in range(n):
        grid_call(kind, arrays, singles, start=i, n=1)
    assert np.array_equal(bits(out), bits(singles))


def test_quick_tests_settle_what_a_transcription_settles(rng):
    # Inside when (r - rho)^2 > d2, outside when d2 > (rho + r)^2, both strict.
    # Centres at distance 0.75 and 1.25 (d2 on a bound) go to the kernel,
    # which finds their footprints, at most rho * sqrt(2)/2 across, inside
    # and outside all the same.
    arrays = grid_pixels(rng)
    px, py, qx, qy, j00, j01, j10, j11 = arrays
    out = np.full(qx.size, np.nan)
    grid_call("circle", arrays, out)
    rho = (np.sqrt((j00 + j11) ** 2 + (j01 - j10) ** 2)
           + np.sqrt((j00 - j11) ** 2 + (j01 + j10) ** 2)) * 0.5
    d2 = qx * qx + qy * qy
    inside, outside = (1.0 - rho) ** 2 > d2, d2 > (rho + 1.0) ** 2
    assert np.all(out[inside] == 1.0) and np.all(out[outside] == 0.0)
    assert 0 < inside.sum() and 0 < outside.sum() and (inside | outside).sum() < qx.size - 50
    for bound, expected in ((0.5625, 1.0), (1.5625, 0.0)):
        on_bound = (rho == H) & (d2 == bound)
        assert on_bound.sum() >= 4 and np.all(out[on_bound] == expected)


@pytest.mark.parametrize("kind", GRID_CALLS)
def test_large_output_has_the_bits_of_smaller_calls(kind):
    # Outputs above a million pixels take another store path; an odd start
    # address and a ragged end too.  Chunked calls of fewer pixels must agree.
    side = 1031
    g = np.linspace(-2.1, 2.1, side)
    qx, qy = (np.ascontiguousarray(a.ravel()) for a in np.meshgrid(g, g))
    ones, zeros = np.full(qx.size, 4.2 / side), np.zeros(qx.size)
    arrays = [qx * 100, qy * 100, qx, qy, ones, zeros, zeros, ones]
    whole, chunked = np.empty(qx.size + 1), np.full(qx.size + 1, np.nan)
    grid_call(kind, arrays, whole[1:])
    for start in range(0, qx.size, 300_007):
        GRID_CALLS[kind]([addr(a) + 8 * start for a in arrays], addr(chunked) + 8 * (start + 1),
                         min(300_007, qx.size - start))
    assert np.array_equal(bits(whole[1:]), bits(chunked[1:]))
    grid_call(kind, arrays, whole[:-1])
    assert np.array_equal(bits(whole[:-1]), bits(chunked[1:]))
