"""Deposit onto an image in its own frame: pixels and the value beyond the
border against exact rational clipping, the same bits on any thread count,
and arguments refused by name."""
import math
from fractions import Fraction

import numpy as np
import pytest

import _trovel
import trovel
from helpers import addr, box_overlap, polygon_area, same_bits

class Frame:
    """The exact rectangles of an (ny, nx) frame's pixels and of its image."""

    def __init__(self, shape, origin, scale):
        self.shape = shape
        self.origin, self.scale = origin, np.broadcast_to(np.asarray(scale, float), (2,))
        self.x0, self.y0 = map(Fraction, origin)
        self.sx, self.sy = map(Fraction, self.scale)

    def rect(self, rows, cols):
        """Rows [i0, i1) and columns [k0, k1) as one exact rectangle."""
        h = Fraction(1, 2)
        return (self.x0 + self.sx * (cols[0] - h), self.x0 + self.sx * (cols[1] - h),
                self.y0 + self.sy * (rows[0] - h), self.y0 + self.sy * (rows[1] - h))

    def pixel_error(self, image, tris, q, pixels):
        """The largest |image - exact overlap sum| over `pixels` (row, column),
        in units of a pixel's area times max |q|."""
        worst = 0.0
        lo, hi = tris.min(axis=1), tris.max(axis=1)
        for i, k in pixels:
            r = self.rect((i, i + 1), (k, k + 1))
            near = ((lo[:, 0] <= float(r[1])) & (hi[:, 0] >= float(r[0]))
                    & (lo[:, 1] <= float(r[3])) & (hi[:, 1] >= float(r[2])))
            exact = sum(box_overlap(t, *r) * Fraction(w) for t, w in zip(tris[near], q[near]))
            err = abs(Fraction(float(image[i, k])) - exact) / (self.sx * self.sy)
            worst = max(worst, float(err) / max(np.abs(q).max(), 1e-300))
        return worst

    def beyond(self, tris, q):
        """The exact value of the triangles' parts beyond the image's border."""
        box = self.rect((0, self.shape[0]), (0, self.shape[1]))
        return sum(Fraction(w) * (polygon_area([tuple(map(Fraction, v)) for v in t])
                                  - box_overlap(t, *box))
                   for t, w in zip(tris, q))


def scene(shape, origin, scale, n, rng, size=1.5):
    """n triangles up to 2 * size pixels across, spread over twice the image's
    extent (inside, across its border and wholly outside)."""
    (ny, nx), s = shape, np.broadcast_to(np.asarray(scale, float), (2,))
    centre = np.asarray(origin) + rng.uniform(-0.5, 1.5, (n, 1, 2)) * s * (nx, ny)
    tris = centre + rng.uniform(-size, size, (n, 3, 2)) * s
    return tris, rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)


# odd, even, rectangular, narrow and wide images, in unit and non-unit,
# square and rectangular pixels, about whole and fractional origins
FRAMES = {
    "odd_square": ((7, 7), (0.0, 0.0), 1.0),
    "even_square": ((6, 6), (0.25, -7.5), 1.0),
    "rectangle_scaled": ((5, 9), (-3.3, 2.1), 0.7),
    "tall_rect_pixels": ((11, 4), (1.5, -2.0), (0.7, 1.3)),
    "one_pixel": ((1, 1), (0.2, 0.1), 2.5),
    "wide": ((3, 70), (0.0, 0.0), 1.0),
    "tall": ((70, 3), (1e4, -3e5), (0.5, 2.0)),
    "extreme_sides": ((4, 5), (3.3e180, -1.7e-181), (0.7 * 2.0**600, 1.3 * 2.0**-600)),
}


@pytest.mark.parametrize("frame", FRAMES.values(), ids=FRAMES.keys())
def test_pixels_and_outside_are_exact(frame, rng):
    shape, origin, scale = frame
    tris, vals, divs = scene(shape, origin, scale, 150, rng)
    prior = rng.uniform(-1.0, 1.0, shape)
    out = prior.copy()
    got = trovel.deposit_triangles(tris, vals, divs, shape=shape, origin=origin, scale=scale,
                                   out=out)
    assert got.image is out
    image, outside = trovel.deposit_triangles(tris, vals, divs, shape=shape, origin=origin,
                                              scale=scale)
    np.testing.assert_allclose(out - prior, image, rtol=0, atol=1e-15 * np.abs(image).max())
    assert got.outside == outside
    f, q = Frame(shape, origin, scale), vals / divs
    pixels = [(i, k) for i in range(shape[0]) for k in range(shape[1])]
    assert f.pixel_error(image, tris, q, pixels) <= 1e-14
    total = Fraction(0)
    for t, w in zip(tris, q):
        total += Fraction(w) * polygon_area([tuple(map(Fraction, v)) for v in t])
    assert 0.0 < outside < float(total)  # value on both sides of the border
    assert abs(Fraction(outside) - f.beyond(tris, q)) <= 1e-14 * total
    assert abs(Fraction(float(image.sum()) + outside) - total) <= 1e-12 * total


# A large image whose triangles lie thousands of pixels from its origin: in
# unit pixels about an integer origin, and in pixels of non-integer sides
# about an origin far from both.  The old route, in one native window's
# coordinates, was off by about 1e-16 * r**2 of a pixel at r pixels.
FAR = {
    "unit": ((4096, 4096), (-700.0, 1200.0), 1.0, (3900, 3100)),
    "scaled": ((4096, 4096), (1234.5678, -98765.4321), (0.37, 0.61), (3950, 3900)),
}


@pytest.mark.parametrize("case", FAR.values(), ids=FAR.keys())
def test_pixels_far_from_the_origin_are_exact_to_1e_13(case, rng):
    shape, origin, scale, (i, k) = case
    s = np.broadcast_to(np.asarray(scale, float), (2,))
    spots = rng.uniform((k, i), (k + 12, i + 12), (60, 1, 2))
    sizes = np.repeat([0.3, 1.5, 4.0, 30.0], 15)[:, None, None]  # pixels across, halved
    tris = np.asarray(origin) + (spots + rng.uniform(-1, 1, (60, 3, 2)) * sizes) * s
    image, outside = trovel.deposit_triangles(tris, 1.0, shape=shape, origin=origin, scale=scale)
    assert outside == 0.0
    pixels = [(i + a, k + b) for a in range(-2, 15) for b in range(-2, 15)]
    assert Frame(shape, origin, scale).pixel_error(image, tris, np.ones(60), pixels) <= 1e-13


def test_a_triangle_larger_than_the_image_gives_every_pixel_its_area():
    big = [[(-10, -10), (4000, -10), (-10, 4000)]]
    image, outside = trovel.deposit_triangles(big, 1.0, shape=(3000, 2999), scale=0.5)
    np.testing.assert_allclose(image, 0.25, rtol=1e-11)
    assert outside == pytest.approx(4010**2 / 2 - 3000 * 2999 * 0.25, rel=1e-12)


def test_the_bits_do_not_depend_on_the_thread_count(rng):
    # Triangles from a fraction of a pixel to 40 across, many over the borders
    # of the bands of rows that the threads take (90, 16, 8 and 4 rows high
    # for 1, 2, 3 and 7 threads), in many chunks of the survey and in more
    # than two of the batches in which the bands' lists are made.
    shape, origin, scale = (90, 61), (-3.25, 7.5), (0.9, 1.1)
    n = 280_000
    tris, vals, divs = scene(shape, origin, scale, n, rng,
                             size=rng.choice([0.2, 1.0, 5.0, 20.0], (n, 1, 1),
                                             p=[0.4, 0.4, 0.15, 0.05]))
    prior = rng.uniform(-1.0, 1.0, shape)
    runs = []
    for threads in (1, 2, 3, 7):
        out = prior.copy()
        d = trovel.deposit_triangles(tris, vals, divs, shape=shape, origin=origin, scale=scale,
                                     out=out, threads=threads)
        runs.append((out, d.outside))
    assert all(same_bits(out, runs[0][0]) and same_bits(o, runs[0][1]) for out, o in runs)


def test_triangles_far_beyond_the_image_go_to_outside():
    # 1e3 pixels away; 1e27 (beyond int64 and 2**52); and 1e310, a pixel
    # coordinate that overflows a double.  Pixels of 1e-10.
    far = {3e-14: [(1e-7, 0), (4e-7, 0), (1e-7, 2e-7)],
           3e10: [(0, -1e17), (3e5, -1e17), (0, -1e17 + 2e5)],
           1e300: [(1e300, 5), (2e300, 5), (1e300, 7)]}
    for area_, tri in far.items():
        image, outside = trovel.deposit_triangles([tri], 3.0, shape=(8, 8), scale=1e-10)
        assert not image.any() and outside == 3.0 * trovel.triangle_areas([tri])[0]
        assert trovel.triangle_areas([tri])[0] == pytest.approx(area_, rel=1e-6)
    reach = [[(0.0, 0.0), (1e300, 0.0), (0.0, 1.0)]]  # into the image from beyond 2**52 pixels
    out = np.zeros((8, 8))
    with pytest.raises(ValueError, match=r"triangle 0 reaches into the image.*overflow"):
        trovel.deposit_triangles(reach, 1.0, shape=(8, 8), scale=1e-10, out=out)
    assert not out.any()


def test_skipped_degenerate_and_nan_triangles():
    tri = [[(0, 0), (2, 0), (0, 2)]]
    for divisor in (0.0, -1.0):
        image, outside = trovel.deposit_triangles(tri, 1.0, divisor, shape=(2, 2))
        assert not image.any() and outside == 0.0
    flat = [[(0, 0), (1, 1), (3, 3)], [(0.5, 0.5), (0.5, 0.5), (0.5, 0.5)]]
    image, outside = trovel.deposit_triangles(flat, 1.0, shape=(2, 2))
    assert not image.any() and outside == 0.0
    with pytest.raises(ValueError, match=r"triangle 0 \(triangles\[0, 1, 0\]\) is inf"):
        trovel.deposit_triangles([[(0, 0), (math.inf, 0), (0, 2)]], 1.0, shape=(2, 2))
    image, outside = trovel.deposit_triangles(tri, 1.0, math.nan, shape=(2, 2))
    assert np.isnan(image[0, 0]) and math.isnan(outside)  # it reaches past the border
    inside = [[(0, 0), (0.4, 0), (0, 0.4)]]
    image, outside = trovel.deposit_triangles(inside, math.nan, shape=(2, 2))
    assert np.isnan(image[0, 0]) and not np.isnan(image[1:, 1:]).any() and outside == 0.0


@pytest.mark.parametrize("side", [1, 5, 31])
def test_the_frame_form_agrees_with_the_centred_native_call(side, rng):
    # Two routes to one image: the native window about its middle pixel and
    # the frame about pixel (c, c).  They round differently (the frame
    # measures each piece about its own pixel), by far less than 1e-13.
    c = (side - 1) // 2
    tris, vals, divs = scene((side, side), (-c, -c), 1.0, 300, rng)
    flat = np.ascontiguousarray(tris.reshape(-1, 6))
    raw = np.full((side, side), 0.3)
    _trovel.accumulate_triangles(addr(flat), addr(vals), addr(divs), addr(raw), len(flat), side)
    out = np.full((side, side), 0.3)
    trovel.deposit_triangles(tris, vals, divs, shape=(side, side), origin=(-c, -c), out=out)
    np.testing.assert_allclose(out, raw, rtol=0, atol=1e-13)


@pytest.mark.parametrize("holes", [[], [[(3, 3), (5, 3), (5, 5), (3, 5)]]], ids=["plain", "hole"])
def test_triangulated_polygon_deposits_its_area(holes):
    pytest.importorskip("mapbox_earcut")
    theta = np.linspace(0, 2 * np.pi, 40, endpoint=False)
    ring = np.column_stack([4 + 3.7 * np.cos(theta), 4 + 3.7 * np.sin(theta) * (1 + 0.3 *
                                                                              np.cos(3 * theta))])
    x, y = ring.T
    area = 0.5 * abs(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y)) - 4.0 * len(holes)
    tris = trovel.triangulate(ring, holes)
    image, outside = trovel.deposit_triangles(tris, 1.0, shape=(9, 9))
    assert outside == 0.0 and image.max() <= 1.0 + 1e-12
    assert image.sum() == pytest.approx(area, rel=1e-12)
    if holes:
        assert image[4, 4] == 0.0


def test_triangulate_refuses_crossing_rings():
    pytest.importorskip("mapbox_earcut")
    with pytest.raises(ValueError, match="triangulated"):
        trovel.triangulate([(0, 0), (2, 2), (2, 0), (0, 2)])  # a bow tie


class LyingImage(np.ndarray):
    @property
    def shape(self):
        return (50, 50)


T1 = np.array([[(0.0, 0.0), (2.0, 0.0), (0.0, 2.0)]])


@pytest.mark.parametrize("kw", [{}, {"shape": (3, 3), "origin": (-1, -1)}], ids=["centred", "frame"])
def test_an_image_subclass_is_written_through_its_own_buffer(kw):
    out = np.zeros((3, 3)).view(LyingImage)  # claims 50 x 50
    plain = np.zeros((3, 3))
    trovel.deposit_triangles(T1, 1.0, out=out, **kw)
    trovel.deposit_triangles(T1, 1.0, out=plain, **kw)
    assert (np.ndarray.view(out, np.ndarray) == plain).all() and plain.sum() == 1.75
