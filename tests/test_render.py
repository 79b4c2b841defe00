"""The exact aperture renderer: analytic areas, geometric properties, an
independent scan-line integration, tiles and threads, refused shapes."""
import functools
import importlib
import math
import operator
from fractions import Fraction

import numpy as np
import pytest

import trovel
from trovel import Disc, Pixels, Polygon, Rectangle, hexagonal_segments, pupil, render

from helpers import box_overlap, convex_overlap, same_bits

render_grid_tile = importlib.import_module("trovel.render").render_grid_tile

EXACT = 1e-12   # the renderer's promise per pixel


def one(shape, centre, jac):
    """The rendered fraction of a single footprint."""
    return float(render(shape, Pixels.from_arrays([(0, 0)], [centre], jac))[0])


def grid(n, matrix=((1.0, 0.0), (0.0, 1.0))):
    """An n x n grid about the origin and |det| of its map."""
    m = np.array(matrix, dtype=float)
    return Pixels.grid((n, n), origin=tuple(-m @ ((n - 1) / 2, (n - 1) / 2)), matrix=m), \
        abs(np.linalg.det(m))


def band_in_disc(radius, half):
    h = min(half, radius)
    return 2.0 * (h * math.sqrt(radius * radius - h * h) + radius * radius * math.asin(h / radius))


# --- an independent reference: scan lines integrated with tanh-sinh ---------

def _members(prims, program, x, y):
    stack = []
    for code in program:
        if code >= 0:
            kind, geo = prims[code]
            if kind == "disc":
                stack.append((x - geo[0]) ** 2 + (y - geo[1]) ** 2 < geo[2] ** 2)
            elif kind == "ellipse":
                u = np.linalg.solve(geo[2:].reshape(2, 2), (x - geo[0], y - geo[1]))
                stack.append(u @ u < 1.0)
            else:
                v, w = geo, np.roll(geo, -1, axis=0)
                hit = (v[:, 1] > y) != (w[:, 1] > y)
                xc = v[hit, 0] + (y - v[hit, 1]) / (w[hit, 1] - v[hit, 1]) * (w[hit, 0] - v[hit, 0])
                stack.append(bool(np.count_nonzero(xc > x) % 2))
        else:
            b, a = stack.pop(), stack.pop()
            stack.append({-1: a or b, -2: a and b, -3: a and not b, -5: a != b}[int(code)])
    return stack[0]


def _tanh_sinh(f, a, b, h=1 / 12, kmax=40):
    k = np.arange(-kmax, kmax + 1) * h
    u = 0.5 * math.pi * np.sinh(k)
    x, w = np.tanh(u), 0.5 * math.pi * np.cosh(k) / np.cosh(u) ** 2 * h
    keep = np.abs(x) < 1.0
    mid, half = 0.5 * (a + b), 0.5 * (b - a)
    return half * sum(wi * f(mid + half * xi) for xi, wi in zip(x[keep], w[keep]))


def _line_hits(p, d, q, e):
    """Parameters (t, u) where p + t d meets q + u e, or None if parallel."""
    den = d[0] * e[1] - d[1] * e[0]
    if den == 0:
        return None
    w = q - p
    return (w[0] * e[1] - w[1] * e[0]) / den, (w[0] * d[1] - w[1] * d[0]) / den


def _circle_hits(p, d, c, r):
    """Parameters t where p + t d meets the circle (r a radius) or the
    ellipse c + r (unit circle) (r a 2x2 matrix): the circle's in the
    ellipse's frame."""
    if np.ndim(r) == 2:
        inv = np.linalg.inv(r)
        p, d, c, r = inv @ (p - c), inv @ d, np.zeros(2), 1.0
    w = p - c
    A, B, C = d @ d, 2 * d @ w, w @ w - r * r
    disc = B * B - 4 * A * C
    if disc < 0:
        return []
    s = math.sqrt(disc)
    return [(-B - s) / (2 * A), (-B + s) / (2 * A)]


def _conic_hits(c1, m1, c2, m2, samples=20000):
    """Points where two ellipses c + M (unit circle) cross: sign changes of
    |M2^-1 (P(t) - c2)|^2 - 1 along the first, sampled densely, each refined
    by bisection (near tangencies the samples may miss a pair: the scenes
    avoid them)."""
    inv = np.linalg.inv(m2)

    def f(t):
        u = inv @ (c1 + m1 @ np.array([np.cos(t), np.sin(t)]) - c2)
        return u @ u - 1.0
    ts = np.linspace(0.0, 2 * np.pi, samples + 1)
    u = np.einsum("ij,jk->ik", inv, c1[:, None] + m1 @ np.stack([np.cos(ts), np.sin(ts)]) - c2[:, None])
    v = np.einsum("ik,ik->k", u, u) - 1.0
    points = []
    for k in np.nonzero(np.sign(v[:-1]) != np.sign(v[1:]))[0]:
        lo, hi = ts[k], ts[k + 1]
        for _ in range(60):
            mid = 0.5 * (lo + hi)
            lo, hi = (mid, hi) if np.sign(f(mid)) == np.sign(f(lo)) else (lo, mid)
        points.append(c1 + m1 @ np.array([np.cos(lo), np.sin(lo)]))
    return points


def reference(shape, centre, jac):
    """Fraction of the footprint inside the shape: the covered length of each
    scan line t -> centre + J (s, t), integrated over s between the s of every
    vertex, circle extreme and crossing of two boundaries (where the length
    has kinks), each piece by tanh-sinh, which takes the square-root ends at
    circle tangents in its stride."""
    kinds, starts, counts, coords, program = shape.description()
    prims = [("disc", coords[s:s + 3]) if k == 0 else ("ellipse", coords[s:s + 6]) if k == 2
             else ("poly", coords[s:s + 2 * n].reshape(-1, 2))
             for k, s, n in zip(kinds, starts, counts)]
    c, J = np.asarray(centre, float), np.asarray(jac, float)
    a, b, Jinv = J[:, 0], J[:, 1], np.linalg.inv(J)
    corners = [c + J @ st for st in ((-.5, -.5), (.5, -.5), (.5, .5), (-.5, .5))]
    segs = [(corners[i], corners[(i + 1) % 4] - corners[i]) for i in range(4)]
    circles, ellipses = [], []
    for kind, geo in prims:
        if kind == "disc":
            circles.append((geo[:2], geo[2]))
        elif kind == "ellipse":
            ellipses.append((geo[:2], geo[2:].reshape(2, 2)))
        else:
            segs += [(geo[i], geo[(i + 1) % len(geo)] - geo[i]) for i in range(len(geo))]
    points = [p for p, _ in segs]
    g = Jinv[0] / np.linalg.norm(Jinv[0])
    for ctr, r in circles:
        points += [ctr + r * g, ctr - r * g]
        for ctr2, r2 in circles:
            d = np.linalg.norm(ctr2 - ctr)
            if 0 < d < r + r2 and d > abs(r - r2):
                al = (d * d + r * r - r2 * r2) / (2 * d)
                hh = math.sqrt(max(r * r - al * al, 0.0))
                u = (ctr2 - ctr) / d
                points += [ctr + al * u + s * hh * np.array([-u[1], u[0]]) for s in (-1, 1)]
        for p, d in segs:
            points += [p + t * d for t in _circle_hits(p, d, ctr, r) if 0 <= t <= 1]
    # an ellipse's extremes across the scan lines (where its normal is g),
    # its crossings with the segments, circles and other ellipses
    conics = [(ctr, r * np.eye(2)) for ctr, r in circles] + ellipses
    for ctr, m in ellipses:
        n = m @ (m.T @ g) / np.linalg.norm(m.T @ g)
        points += [ctr + n, ctr - n]
        for p, d in segs:
            points += [p + t * d for t in _circle_hits(p, d, ctr, m) if 0 <= t <= 1]
    for i, (ctr, m) in enumerate(ellipses):
        for ctr2, m2 in conics[:len(circles) + i]:
            points += _conic_hits(ctr, m, ctr2, m2)
    for i, (p, d) in enumerate(segs):
        for q, e in segs[i + 1:]:
            hit = _line_hits(p, d, q, e)
            if hit and 0 <= hit[0] <= 1 and 0 <= hit[1] <= 1:
                points.append(p + hit[0] * d)
    cuts = sorted({float(np.clip((Jinv @ (p - c))[0], -.5, .5)) for p in points} | {-.5, .5})

    def covered(s):
        p = c + a * s
        ts = [-.5, .5]
        for ctr, r in circles + ellipses:
            ts += _circle_hits(p, b, ctr, r)
        for q, e in segs[4:]:
            hit = _line_hits(p, b, q, e)
            if hit and 0 <= hit[1] <= 1:
                ts.append(hit[0])
        ts = sorted(t for t in ts if -.5 <= t <= .5)
        return sum(t1 - t0 for t0, t1 in zip(ts, ts[1:])
                   if t1 > t0 and _members(prims, program, *(p + b * (0.5 * (t0 + t1)))))

    return sum(_tanh_sinh(covered, s0, s1) for s0, s1 in zip(cuts, cuts[1:]) if s1 > s0)


# --- exact fractions, one footprint at a time --------------------------------

def jagged_star(n, centre, radius, arms=7):
    """A simple star-shaped ring of n vertices with a jagged rim: enough edges
    that the renderer sorts them into bands."""
    t = np.arange(n) * (2 * np.pi / n)
    r = radius * (1 + 0.3 * np.cos(arms * t) + np.random.default_rng(n).uniform(-0.05, 0.05, n))
    return np.column_stack([centre[0] + r * np.cos(t), centre[1] + r * np.sin(t)])


def ring_area(v):
    x, y = v[:, 0], v[:, 1]
    return 0.5 * abs(float(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y)))


STAR = jagged_star(300, (0.4, -0.3), 18.0)

SHEAR = ((1.0, 0.35), (-0.2, 0.9))
MIRROR = ((0.0, 1.0), (1.0, 0.0))


def segments_at_a_corner(point, gap):
    """Three triangles around `point`, `gap` apart, as three segments of a
    mirror meet at a corner."""
    p, out = np.asarray(point, float), []
    for k in range(3):
        a, b = np.radians([120 * k + 10, 120 * k + 110])
        mid = np.array([np.cos((a + b) / 2), np.sin((a + b) / 2)])
        out.append(Polygon([p + gap * mid, p + 2 * np.array([np.cos(a), np.sin(a)]),
                            p + 2 * np.array([np.cos(b), np.sin(b)])]))
    return out[0] | out[1] | out[2]

ring = Disc((0.1, 0.0), 3.0) - Disc((0.0, 0.05), 2.2)
FOOTPRINT_CASES = {
    # name: (shape, centre, jacobian)
    "rim_crossing_unit_pixel": (Disc((0.3, -0.2), 2.5), (2.4, 0.6), np.eye(2)),
    # the rim enters through both sides and bulges out through the top between
    "rim_bulging_through_a_side": (Disc((0.0, -0.95), 1.5), (0.0, 0.0), np.eye(2)),
    "two_circles_cross_inside": (Disc((0, 0), 1.0) | Disc((1.2, 0.1), 0.9), (0.6, 0.55), np.eye(2)),
    "two_circles_intersection": (Disc((0, 0), 1.0) & Disc((1.2, 0.1), 0.9), (0.6, 0.55), SHEAR),
    "rim_and_vane_cross": (Disc((0, 0), 3.0) - Rectangle((2.5, 0.0), 0.3, 0.4, 3.0),
                           (2.9, 0.9), SHEAR),
    "three_boundaries": (ring - Rectangle((2.6, 0.3), 1.1, 0.5, 3.0), (2.3, 1.2), SHEAR),
    "disc_smaller_than_footprint": (Disc((0.1, 0.2), 0.15) | Disc((-0.3, 0.0), 0.1),
                                    (0.0, 0.0), SHEAR),
    "disc_tangent_outside_footprint_edge": (Disc((0.0, 1.0), 0.5), (0.0, 0.0), np.eye(2)),
    "disc_tangent_inside_two_edges": (Disc((0.2, 0.2), 0.3) | Disc((-0.7, 0.0), 0.4),
                                      (0.0, 0.0), np.eye(2)),
    "circles_tangent_inside_footprint": (Disc((-0.3, 0.0), 0.3) | Disc((0.2, 0.0), 0.2),
                                         (0.0, 0.1), np.eye(2)),
    "mirrored_distorted": (ring - Polygon([(2, -1), (3.5, 0.5), (1.8, 2.0), (2.6, 0.4)]),
                           (2.4, 0.7), ((0.4, 1.3), (1.1, -0.2))),
    "mirrored_axes": (Disc((0.3, 0.2), 0.45), (0.0, 0.0), MIRROR),
    "concave_polygon": (Polygon([(0, 0), (1, 0), (0.2, 0.3), (1, 1), (0, 1)]),
                        (0.5, 0.5), ((0.8, 0.1), (0.2, 0.9))),
    "many_edges_and_a_disc": (Polygon(jagged_star(64, (0, 0), 2.0)) - Disc((2.2, 0.3), 0.5),
                              (1.9, 0.6), SHEAR),
    "segments_meet_at_a_corner": (segments_at_a_corner((0.1, 0.05), 0.02), (0.0, 0.0), SHEAR),
    "vane_across_a_corner": (segments_at_a_corner((0.1, 0.05), 0.02)
                             - Rectangle((0.0, 0.1), 0.7, 0.08, 3.0), (0.0, 0.0), SHEAR),
}


@pytest.mark.parametrize("name", FOOTPRINT_CASES)
def test_footprint_against_scan_line_reference(name):
    # The reference is accurate to about 1e-14; both must agree within the promise.
    shape, centre, jac = FOOTPRINT_CASES[name]
    got, want = one(shape, centre, jac), reference(shape, centre, jac)
    assert abs(got - want) <= EXACT


@pytest.mark.parametrize("seed", range(3))
def test_rim_pixels_of_large_discs_against_scan_line_reference(seed):
    # Discs of one to eight times a sheared footprint's size, the footprint
    # anywhere across the rim, so that one arc enters and leaves through any
    # two of its sides (det J stays above 0.2).
    rng = np.random.default_rng(seed)
    for _ in range(30):
        jac = np.eye(2) + rng.uniform(-0.4, 0.4, (2, 2))
        size = np.abs(jac).sum(axis=0).max()
        r = size * rng.uniform(1.0, 8.0)
        turn = rng.uniform(0.0, 2.0 * math.pi)
        reach = r + size * rng.uniform(-0.8, 0.8)
        centre = (reach * math.cos(turn), reach * math.sin(turn))
        disc = Disc((0.0, 0.0), r)
        assert abs(one(disc, centre, jac) - reference(disc, centre, jac)) <= EXACT


def random_composite(rng, depth):
    """Discs, rotated rectangles and star-shaped polygons, combined at random."""
    def primitive():
        kind = rng.integers(3)
        if kind == 0:
            return Disc(rng.uniform(-1.5, 1.5, 2), rng.uniform(0.05, 2.0))
        if kind == 1:
            return Rectangle(rng.uniform(-1, 1, 2), rng.uniform(0, 6.3), rng.uniform(0.05, 1.5),
                             rng.uniform(0.2, 4))
        # a ring star-shaped about a centre inside it (every angular gap
        # below pi: beyond it an edge can cross another), so simple
        n = rng.integers(3, 8)
        ang = 2 * np.pi * (np.arange(n) + rng.uniform(0.1, 0.9, n)) / n
        r = rng.uniform(0.3, 2.0, n)
        return Polygon(rng.uniform(-1, 1, 2) + np.stack([r * np.cos(ang), r * np.sin(ang)], 1))
    shape = primitive()
    for _ in range(depth):
        op = rng.integers(3)
        shape = shape | primitive() if op == 0 else (shape & primitive() if op == 1
                                                     else shape - primitive())
    return shape


@pytest.mark.parametrize("seed", range(4))
def test_random_composites_against_scan_line_reference(seed):
    rng = np.random.default_rng(seed)
    shape = random_composite(rng, depth=2)
    jac = rng.uniform(-1.2, 1.2, (2, 2)) + np.diag([1.5, 1.5]) * rng.choice([-1, 1])
    centre = rng.uniform(-1, 1, 2)
    assert abs(one(shape, centre, jac) - reference(shape, centre, jac)) <= EXACT


# --- image totals against analytic areas ----------------------------------

R, H = 20.3, 1.7
TOTAL_CASES = {
    "disc": (Disc((0.3, -0.7), R), math.pi * R * R),
    "annulus": (Disc((0.3, -0.7), R) - Disc((0.3, -0.7), 8.1), math.pi * (R * R - 8.1 ** 2)),
    "disc_less_band_through_centre": (Disc((0, 0), R) - Rectangle((0, 0), 0.4, 2 * H, 3 * R),
                                      math.pi * R * R - band_in_disc(R, H)),
    "concave_polygon": (Polygon([(-10, -10), (12, -9), (0, 0), (11, 12), (-9, 10)]),
                        0.5 * abs(sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(
                            [(-10, -10), (12, -9), (0, 0), (11, 12), (-9, 10)],
                            [(12, -9), (0, 0), (11, 12), (-9, 10), (-10, -10)])))),
    "pupil": (pupil(2 * R, obscuration=0.3, struts=4, strut_width=1.3, strut_angle=0.2),
              math.pi * R * R * (1 - 0.09) - 2 * (band_in_disc(R, 0.65) - band_in_disc(0.3 * R, 0.65))),
    "touching_hexagons": (hexagonal_segments(2, 6.0, 0.0), 19 * math.sqrt(3) / 2 * 36.0),
    "hexagons_with_gaps": (hexagonal_segments(2, 6.0, 0.35), 19 * math.sqrt(3) / 2 * 36.0),
    "star_of_300_edges": (Polygon(STAR), ring_area(STAR)),
    "elliptical_annulus": (trovel.elliptical_annulus((0.3, -0.7), 8.1, R, 9.0, 0.4),
                           math.pi * (R * 9.0 - 8.1 * 9.0 * 8.1 / R)),
}


@pytest.mark.parametrize("matrix", [((1.0, 0.0), (0.0, 1.0)), SHEAR, ((0.0, 0.9), (1.1, 0.0))],
                         ids=["unit", "sheared", "mirrored"])
@pytest.mark.parametrize("name", TOTAL_CASES)
def test_image_total_is_the_area(name, matrix):
    shape, area = TOTAL_CASES[name]
    pixels, det = grid(64, matrix)
    image = render(shape, pixels)
    assert image.min() >= 0.0 and image.max() <= 1.0
    assert image.sum() * det == pytest.approx(area, rel=1e-12)


@pytest.mark.parametrize("scale", [2.0**-500, 1e-150, 1e-80, 1e80, 1e150, 2.0**500], ids=repr)
@pytest.mark.parametrize("name", ["disc", "pupil", "hexagons_with_gaps", "elliptical_annulus"])
def test_image_total_is_the_area_at_any_scale(name, scale):
    # the shape and the grid scaled alike: footprints of extreme size are
    # measured scaled by a power of two, so nothing overflows or underflows,
    # and a grid of several blocks solves its rows' runs at any scale too
    shape, area = TOTAL_CASES[name]
    pixels = Pixels.grid((96, 96), center=(0.0, 0.0), scale=scale)
    image = render(scale_shape(shape, scale), pixels)
    assert image.sum() == pytest.approx(area, rel=1e-12)
    assert scale_shape(shape, scale).area() / (scale * scale) == pytest.approx(area, rel=1e-12)


NEAR = [0.0, 1e-15, 1e-13, 3e-13, 1e-12, 2e-12, 1e-11, 1e-9, 1e-7]


@pytest.mark.parametrize("kind", ["disc", "ellipse", "elliptical_ring"])
def test_curves_through_pixel_corners_keep_the_area(kind, rng):
    # centres a hair from a pixel corner and whole semi-axes put the curves'
    # extremes within rounding of corners, where one side's crossing lies
    # just past its end and the next side's is within a tangency's tolerance
    pixels = Pixels.grid((40, 40))
    for _ in range(150):
        cx, cy = 19.5 + rng.choice(NEAR, 2) * rng.choice([-1.0, 1.0], 2)
        a, b = rng.integers(1, 15, 2) + rng.choice([0.0, 0.5], 2)
        if kind == "disc":
            shape, area = Disc((cx, cy), a), math.pi * a * a
        else:
            shape, area = trovel.Ellipse((cx, cy), a, b), math.pi * a * b
        if kind == "elliptical_ring":
            r = min(a, b) - 0.5
            shape, area = shape - Disc((cx + rng.choice(NEAR), cy), r), area - math.pi * r * r
        assert render(shape, pixels).sum() == pytest.approx(area, rel=1e-12, abs=1e-11)


@pytest.mark.parametrize("turn", [1e-15, 1e-13, 5e-13, 1e-12, 1e-11, 1e-10])
def test_rectangles_turned_a_hair_from_the_grid_keep_their_area(turn, rng):
    # each edge crosses or passes a pixel side at an angle the footprint
    # cannot resolve, near a corner: pieces within rounding of each other
    # must be taken as one boundary, not judged apart
    pixels = Pixels.grid((40, 40))
    c, s = math.cos(turn), math.sin(turn)
    for _ in range(60):
        w, h = rng.integers(1, 20, 2)
        offset = rng.integers(3, 18, 2) + 0.5 + rng.choice([0.0, 1e-12, 1e-8, 1e-6, 1e-4], 2) \
            * rng.choice([-1.0, 1.0], 2)
        corners = np.array([(0, 0), (w, 0), (w, h), (0, h)], float) @ [[c, s], [-s, c]] + offset
        assert render(Polygon(corners), pixels).sum() == pytest.approx(w * h, rel=1e-12)


def test_triangles_with_corners_near_pixel_corners(rng):
    # a vertex within rounding of a pixel corner: the edges meeting there
    # must agree on which side of each pixel side it lies, or a crossing is
    # counted twice or lost; the pixels about each vertex against exact
    # rational overlaps
    for _ in range(150):
        whole = rng.integers(3, 37, (3, 2)).astype(float)
        if (whole == np.roll(whole, 1, axis=0)).any():
            continue                      # an edge along the grid is another matter
        tri = whole + 0.5 + rng.choice(NEAR, (3, 2)) * rng.choice([-1.0, 1.0], (3, 2))
        for vx, vy in whole:
            block = Pixels.grid((3, 3), origin=(vx - 1.0, vy - 1.0))
            image = render(Polygon(tri), block)
            exact = [[float(box_overlap(tri, vx + c - 1.5, vx + c - 0.5, vy + r - 1.5, vy + r - 0.5))
                      for c in range(3)] for r in range(3)]
            np.testing.assert_allclose(image, exact, rtol=0, atol=EXACT)


def convex_polygon(rng, m, sides):
    """A convex counter-clockwise polygon of a few pixels on the grid of
    Jacobian m: points at rising angles on an ellipse, in grid units mapped
    into the plane."""
    angles = np.sort(rng.uniform(0.0, 2.0 * np.pi, sides))
    centre, radii = rng.uniform(2.5, 5.5, 2), rng.uniform(1.0, 3.0, 2)
    grid_points = centre + radii * np.c_[np.cos(angles), np.sin(angles)]
    points = grid_points @ np.asarray(m).T
    return points if np.linalg.det(m) > 0 else points[::-1]


@pytest.mark.parametrize("op", ["|", "-", "&", "^"])
@pytest.mark.parametrize("per_pixel", [False, True], ids=["grid", "footprints"])
def test_two_convex_polygons_against_exact_overlaps_per_pixel(op, per_pixel, rng):
    # edges and corners of one or two convex polygons inside a pixel, on
    # turned, sheared and mirrored grids: every pixel against the exact
    # rational overlaps, combined by inclusion-exclusion.  A grid sweeps
    # polygons row by row; per-pixel footprints take the boundary walk.
    join, combine = {"|": (operator.or_, lambda a, b, ab: a + b - ab),
                     "-": (operator.sub, lambda a, b, ab: a - ab),
                     "&": (operator.and_, lambda a, b, ab: ab),
                     "^": (operator.xor, lambda a, b, ab: a + b - 2 * ab)}[op]
    n = 9
    for case in range(4):
        turn, shear = rng.uniform(0.0, 2.0 * np.pi), rng.uniform(-0.5, 0.5)
        m = np.array([[math.cos(turn), -math.sin(turn)], [math.sin(turn), math.cos(turn)]]) \
            @ [[1.0, shear], [0.0, rng.uniform(0.6, 1.4)]] @ ([[1, 0], [0, -1]] if case % 2 else np.eye(2))
        a = convex_polygon(rng, m, rng.integers(3, 7))
        b = convex_polygon(rng, m, rng.integers(3, 7))
        pixels = Pixels.grid((n, n), origin=(0.0, 0.0), matrix=m)
        image = render(join(Polygon(a), Polygon(b)), pixels.materialize() if per_pixel else pixels)
        corners = np.array([(-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5)])
        corners = corners if np.linalg.det(m) > 0 else corners[::-1]
        for i in range(n):
            for k in range(n):
                foot = (corners + (k, i)) @ m.T
                fa, fb = convex_overlap(foot, a), convex_overlap(foot, b)
                fab = convex_overlap(foot, a, b) if fa and fb else 0
                want = float(combine(fa, fb, fab) / convex_overlap(foot, foot))
                assert abs(image[i, k] - want) <= EXACT, (case, i, k, image[i, k], want)


def scale_shape(shape, s):
    """The shape with every coordinate times s."""
    from trovel.shapes import _Combined
    if isinstance(shape, _Combined):
        return _Combined(shape.op, scale_shape(shape.left, s), scale_shape(shape.right, s))
    if isinstance(shape, Disc):
        return Disc((shape.center[0] * s, shape.center[1] * s), shape.radius * s)
    if isinstance(shape, trovel.Ellipse):
        return trovel.Ellipse((shape.center[0] * s, shape.center[1] * s), shape.a * s,
                              shape.b * s, shape.angle)
    return Polygon(shape.vertices * s)


# --- properties -----------------------------------------------------------

def random_footprints(rng, n=400, spread=6.0):
    centres = rng.uniform(-spread, spread, (n, 2))
    jac = rng.uniform(-1.2, 1.2, (n, 2, 2))
    return Pixels.from_arrays(np.zeros((n, 2)), centres, jac)


SHAPES = {
    "disc": Disc((0.2, 0.1), 4.0),
    "ring_less_vane": ring - Rectangle((2.0, 0.0), 0.7, 0.6, 5.0),
    "polygon": Polygon([(-3, -2), (4, -3), (1, 0.5), (3, 4), (-2, 3)]),
    "hexagons": hexagonal_segments(1, 2.5, 0.2),
    "star_of_200_edges": Polygon(jagged_star(200, (0.3, 0.2), 3.5)),
}


@pytest.mark.parametrize("name", SHAPES)
def test_shape_and_complement_fill_a_large_disc(name, rng):
    pixels = random_footprints(rng)
    big = Disc((0, 0), 50.0)
    total = render(SHAPES[name], pixels) + render(big - SHAPES[name], pixels)
    np.testing.assert_allclose(total, 1.0, rtol=0, atol=EXACT)


@pytest.mark.parametrize("pair", [("disc", "polygon"), ("ring_less_vane", "hexagons"),
                                  ("polygon", "hexagons"), ("star_of_200_edges", "ring_less_vane")])
def test_inclusion_exclusion(pair, rng):
    a, b = (SHAPES[k] for k in pair)
    pixels = random_footprints(rng)
    lhs = render(a | b, pixels) + render(a & b, pixels)
    rhs = render(a, pixels) + render(b, pixels)
    np.testing.assert_allclose(lhs, rhs, rtol=0, atol=2 * EXACT)


COINCIDENT = {
    # name: (shape, the same region said simply)
    "union_with_itself": (Disc((0.2, 0.0), 3.3) | Disc((0.2, 0.0), 3.3), Disc((0.2, 0.0), 3.3)),
    "edges_on_pixel_edges": (Rectangle((0.0, 0.0), 0.0, 3.0, 5.0),
                             Polygon([(-2.5, -1.5), (2.5, -1.5), (2.5, 1.5), (-2.5, 1.5)])),
    "halves_sharing_an_edge": (Polygon([(-2.5, -1.5), (0.5, -1.5), (0.5, 1.5), (-2.5, 1.5)])
                               | Polygon([(0.5, -1.5), (2.5, -1.5), (2.5, 1.5), (0.5, 1.5)]),
                               Rectangle((0.0, 0.0), 0.0, 3.0, 5.0)),
    "difference_along_an_edge": (Rectangle((0.0, 0.0), 0.0, 3.0, 5.0)
                                 - Polygon([(0.5, -1.5), (2.5, -1.5), (2.5, 1.5), (0.5, 1.5)]),
                                 Polygon([(-2.5, -1.5), (0.5, -1.5), (0.5, 1.5), (-2.5, 1.5)])),
}


@pytest.mark.parametrize("name", COINCIDENT)
def test_coincident_boundaries(name):
    shape, simple = COINCIDENT[name]
    pixels, _ = grid(9)
    np.testing.assert_allclose(render(shape, pixels), render(simple, pixels), rtol=0, atol=EXACT)


# --- tiles and threads ----------------------------------------------------

TILED_SHAPES = {
    "pupil": pupil(60.0, obscuration=0.25, struts=3, strut_width=1.1, strut_angle=0.4),
    "ellipses": (trovel.elliptical_annulus((1.0, -2.0), 12.0, 30.0, 20.0, 0.4)
                 ^ trovel.Ellipse((8.0, 3.0), 9.0, 2.0, -0.8))
                | trovel.stadium((-10, 5), 2.0, 3.0, 15.0),
    # more discs in a band of rows than its rows are cut by at once: the
    # whole window takes them block by block, its tiles row by row
    "disc_chain": functools.reduce(operator.or_, (Disc((-38.0 + 3.5 * j, -20.0 + 0.4 * j), 1.6)
                                                  for j in range(24))),
    # polygons alone, swept row by row: spiders that overlap one another
    # across the segments' gaps and flats
    "segments_less_spiders": hexagonal_segments(3, 9.0, 0.35)
    - functools.reduce(operator.or_, (Rectangle((0.5, -0.3), a, 80.0, 1.3) for a in (0.3, 1.4, 2.5))),
}


@pytest.mark.parametrize("name", TILED_SHAPES)
@pytest.mark.parametrize("affine", [((-40.3, -35.1), ((0.61, 0.13), (-0.07, 0.58))),
                                    ((-44.13, -37.71), ((0.59, 0.0), (0.0, 0.59)))],
                         ids=["sheared", "upright"])
def test_tiles_and_threads_give_the_same_bits(name, affine):
    shape = TILED_SHAPES[name]
    whole = render_grid_tile(shape, affine, (0, 130), (0, 150))
    tiled = np.empty_like(whole)
    for r0, r1 in ((0, 37), (37, 100), (100, 130)):
        for c0, c1 in ((0, 70), (70, 71), (71, 150)):
            tiled[r0:r1, c0:c1] = render_grid_tile(shape, affine, (r0, r1), (c0, c1))
    threaded = render_grid_tile(shape, affine, (0, 130), (0, 150), threads=2)
    assert np.array_equal(tiled, whole) and np.array_equal(threaded, whole)
    # the per-pixel path agrees with the lazy grid to rounding
    m = np.array(affine[1])
    k, i = np.meshgrid(np.arange(150.0), np.arange(130.0))
    centres = np.stack([m[0, 0] * k + m[0, 1] * i + affine[0][0],
                        m[1, 0] * k + m[1, 1] * i + affine[0][1]], axis=-1)
    listed = render(shape, Pixels.from_arrays(np.stack([k, i], -1), centres, m), threads=2)
    np.testing.assert_allclose(listed, whole, rtol=0, atol=EXACT)


@pytest.mark.parametrize("reach", [3e3, 3e6], ids=["run_past_the_buffer", "edge_past_a_walk"])
def test_shallow_edges_across_thousands_of_columns(reach):
    # A sliver whose long edges cross 5000 columns of a row, and one whose
    # edges reach millions of columns beyond the grid: windows of the row
    # give the bits of the whole, and the per-pixel path agrees.
    shape = Polygon([(-reach, -0.3), (reach, 0.9), (reach, 1.7), (-reach, 0.2)])
    affine = ((-3000.0, -1.5), ((1.0, 0.0), (0.0, 1.0)))
    whole = render_grid_tile(shape, affine, (0, 4), (0, 6000))
    tiled = np.hstack([render_grid_tile(shape, affine, (0, 4), c) for c in ((0, 1234), (1234, 4321),
                                                                          (4321, 6000))])
    assert np.array_equal(tiled, whole) and whole.min() < whole.max()
    k, i = np.meshgrid(np.arange(6000.0), np.arange(4.0))
    centres = np.stack([k + affine[0][0], i + affine[0][1]], axis=-1)
    listed = render(shape, Pixels.from_arrays(np.stack([k, i], -1), centres, np.eye(2)))
    np.testing.assert_allclose(listed, whole, rtol=0, atol=EXACT)


def test_kept_run_bounds_give_the_bits_of_bounds_found_per_call(rng):
    # Footprints made by from_arrays keep the renderer's bounds of their
    # runs; a subclass of them is read afresh at each call, its bounds found
    # again.  Jittered footprints, and a count that ends in a partial run.
    n, m = 97, 131
    k, i = np.meshgrid(np.arange(m, dtype=float), np.arange(n, dtype=float))
    pos = np.stack([k, i], -1)
    centres = pos - (m / 2, n / 2) + rng.uniform(-0.2, 0.2, pos.shape)
    jac = np.eye(2) + rng.uniform(-0.1, 0.1, (n, m, 2, 2))
    kept = Pixels.from_arrays(pos, centres, jac)
    fields = ("px", "py", "qx", "qy", "j00", "j01", "j10", "j11")
    fresh = type("Fresh", (type(kept),), {})(*(np.array(getattr(kept, f)) for f in fields),
                                               kept.shape)
    for shape in TILED_SHAPES.values():
        assert same_bits(render(shape, kept), render(shape, fresh))


# --- refused shapes -------------------------------------------------------

def first_fault_by_brute_force(v):
    """What makes the ring `v` not a simple polygon, every pair of edges
    tested in exact rationals: a repeated vertex, the first pair of edges
    (i, j) that are not neighbours and share a point, a fold back; None."""
    p = [(Fraction(x), Fraction(y)) for x, y in v]
    n = len(p)
    if any(p[i] == p[(i + 1) % n] for i in range(n)):
        return "must not repeat a vertex consecutively"

    def turn(a, b, c):
        t = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])
        return (t > 0) - (t < 0)

    def on(a, b, c):
        return min(a[0], b[0]) <= c[0] <= max(a[0], b[0]) and min(a[1], b[1]) <= c[1] <= max(a[1], b[1])

    def meet(a, b, c, d):
        o = turn(a, b, c), turn(a, b, d), turn(c, d, a), turn(c, d, b)
        return (o[0] * o[1] < 0 and o[2] * o[3] < 0) or any(
            t == 0 and on(*s) for t, s in zip(o, ((a, b, c), (a, b, d), (c, d, a), (c, d, b))))
    for i in range(n):
        for j in range(i + 2, n if i > 0 else n - 1):
            if meet(p[i], p[(i + 1) % n], p[j], p[(j + 1) % n]):
                return rf"must be a simple polygon: edges {i} and {j} meet"
    for i in range(n):
        a, b, c = p[i], p[(i + 1) % n], p[(i + 2) % n]
        d1, d2 = (b[0] - a[0], b[1] - a[1]), (c[0] - b[0], c[1] - b[1])
        if d1[0] * d2[1] - d1[1] * d2[0] == 0 and d1[0] * d2[0] + d1[1] * d2[1] < 0:
            return rf"must be a simple polygon: it folds back at vertex {(i + 1) % n}"
    return None


@pytest.mark.parametrize("scale", [1.0, 2.0 ** -600, 2.0 ** 600])
def test_polygon_faults_are_found_as_by_testing_every_pair(rng, scale):
    """Rings on a coarse lattice (vertices on edges, collinear overlaps,
    crossings, folds, and many simple rings), at any magnitude: the first
    fault the sweep over boxes finds is the one testing every pair finds."""
    for trial in range(300):
        n = int(rng.integers(3, 14))
        v = np.round(rng.uniform(-3, 3, (n, 2)))
        if trial % 3 == 0:   # star-shaped, so often simple
            ang = np.sort(rng.uniform(0, 2 * np.pi, n))
            v = np.round(np.stack([np.cos(ang), np.sin(ang)], 1) * rng.uniform(1, 4, (n, 1)) * 2) / 2
        expected = first_fault_by_brute_force(v)
        if expected is None:
            Polygon(v * scale)   # refuses nothing
            continue
        with pytest.raises(ValueError, match=expected):
            Polygon(np.asfortranarray(v * scale) if trial % 2 else v * scale)


def test_deep_combinations_do_not_exhaust_the_stack():
    shape = Disc((0, 0), 1.0)
    for k in range(3000):
        shape = shape | Disc((0.001 * k, 0), 1.0)
    assert render(shape, Pixels.grid((1, 1)))[0, 0] == 1.0
