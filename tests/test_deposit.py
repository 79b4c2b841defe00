"""Deposit onto an image in its own frame: values kept, pixels exact, the
native frame bit for bit, and arguments refused by name."""
import math

import numpy as np
import pytest

import _trovel
import trovel
from conftest import addr

# (shape, origin, scale): odd, even, rectangular, narrow and wide images, in
# unit and non-unit, square and rectangular pixels; between them they take
# every route: in place in bands (with the rows below them, an even width's
# last column, or padded to one band) and through scratch windows alone.
FRAMES = {
    "odd_square": ((7, 7), (0.0, 0.0), 1.0),
    "even_square": ((6, 6), (0.0, 0.0), 1.0),
    "rectangle_scaled": ((5, 9), (-3.3, 2.1), 0.7),
    "tall_rect_pixels": ((11, 4), (1.5, -2.0), (0.7, 1.3)),
    "short_padded_band": ((4, 5), (0.5, 0.5), 1.0),
    "one_pixel": ((1, 1), (0.2, 0.1), 2.5),
    "wide_tiled": ((3, 700), (0.0, 0.0), 1.0),
    "tall_tiled": ((700, 3), (0.0, 0.0), (0.5, 2.0)),
    "even_wide_band": ((301, 302), (-10.0, 5.0), 1.0),
}


def scene(shape, origin, scale, n, rng):
    """n triangles up to 3 pixels across, spread over twice the image's extent
    (inside, straddling its border and wholly outside), with values and
    divisors."""
    (ny, nx), s = shape, np.broadcast_to(np.asarray(scale, float), (2,))
    extent = s * (nx, ny)
    centre = np.asarray(origin) + rng.uniform(-0.5, 1.5, (n, 1, 2)) * extent
    tris = centre + rng.uniform(-1.5, 1.5, (n, 3, 2)) * s
    return tris, rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)


def reference(tris, vals, divs, shape, origin, scale):
    """Each pixel's exact overlap sum from overlap_area, pixel by pixel."""
    s = np.broadcast_to(np.asarray(scale, float), (2,))
    p = (tris - np.asarray(origin)) / s
    ref = np.zeros(shape)
    for i in range(shape[0]):
        for k in range(shape[1]):
            ref[i, k] = sum(trovel.overlap_area(t, (k, i)) * v / d
                            for t, v, d in zip(p, vals, divs))
    return ref * s[0] * s[1]


@pytest.mark.parametrize("frame", FRAMES.values(), ids=FRAMES.keys())
def test_image_plus_outside_is_the_deposited_total(frame, rng):
    shape, origin, scale = frame
    tris, vals, divs = scene(shape, origin, scale, 400, rng)
    image, outside = trovel.deposit_triangles(tris, vals, divs, shape=shape, origin=origin,
                                              scale=scale)
    total = np.sum(vals / divs * trovel.triangle_areas(tris))
    assert image.shape == shape and image.flags.c_contiguous
    assert 0.0 < outside < total  # the scene puts value on both sides of the border
    assert image.sum() + outside == pytest.approx(total, rel=1e-12)


@pytest.mark.parametrize("frame", list(FRAMES.values())[:5], ids=list(FRAMES)[:5])
def test_pixels_are_the_exact_overlap(frame, rng):
    shape, origin, scale = frame
    tris, vals, divs = scene(shape, origin, scale, 60, rng)
    ref = reference(tris, vals, divs, shape, origin, scale)
    prior = rng.uniform(-1.0, 1.0, shape)
    out = prior.copy()
    got = trovel.deposit_triangles(tris, vals, divs, shape=shape, origin=origin, scale=scale,
                                   out=out)
    assert got.image is out
    fresh = trovel.deposit_triangles(tris, vals, divs, shape=shape, origin=origin, scale=scale)
    np.testing.assert_allclose(fresh.image, ref, rtol=1e-12, atol=1e-12 * ref.max())
    np.testing.assert_allclose(out - prior, ref, rtol=1e-12, atol=1e-12 * ref.max())
    assert got.outside == pytest.approx(fresh.outside, rel=1e-12)


def test_large_images_tile_without_seams():
    # 3000 a side is covered by several scratch windows: a triangle pair over
    # the whole plane gives every pixel its area, none missed or written twice.
    # The native area routine works in window coordinates, and its rounding
    # grows with the square of the distance from the window's centre: about
    # 1e-10 of a pixel at 1500 pixels.  Seams would be off by a whole 0.25.
    big = [[(-10, -10), (4000, -10), (-10, 4000)]]
    image, outside = trovel.deposit_triangles(big, 1.0, shape=(3000, 2999), scale=0.5)
    np.testing.assert_allclose(image, 0.25, rtol=1e-9)
    assert outside == pytest.approx(4010**2 / 2 - 3000 * 2999 * 0.25, rel=1e-12)


@pytest.mark.parametrize("side", [1, 5, 31])
@pytest.mark.parametrize("prior", [0.0, 0.3])
def test_native_frame_keeps_the_native_bits(side, prior, rng):
    c = (side - 1) // 2
    tris, vals, divs = scene((side, side), (-c, -c), 1.0, 300, rng)
    flat = np.ascontiguousarray(tris.reshape(-1, 6))
    raw = np.full((side, side), prior)
    _trovel.accumulate_triangles(addr(flat), addr(vals), addr(divs), addr(raw), len(flat), side)
    out = np.full((side, side), prior)
    trovel.deposit_triangles(tris, vals, divs, shape=(side, side), origin=(-c, -c), out=out)
    assert out.tobytes() == raw.tobytes()
    if prior == 0.0:
        new = trovel.deposit_triangles(tris, vals, divs, shape=(side, side), origin=(-c, -c),
                                       scale=(1, 1))
        assert new.image.tobytes() == raw.tobytes()


def test_skipped_and_nan_triangles():
    tri = [[(0, 0), (2, 0), (0, 2)]]
    for divisor in (0.0, -1.0):
        image, outside = trovel.deposit_triangles(tri, 1.0, divisor, shape=(2, 2))
        assert not image.any() and outside == 0.0
    with pytest.raises(ValueError, match=r"triangle 0 \(triangles\[0, 1, 0\]\) is inf"):
        trovel.deposit_triangles([[(0, 0), (math.inf, 0), (0, 2)]], 1.0, shape=(2, 2))
    image, outside = trovel.deposit_triangles(tri, 1.0, math.nan, shape=(2, 2))
    assert np.isnan(image[0, 0]) and math.isnan(outside)


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
SHARED = np.zeros((4, 6))
REFUSED = {
    "pixel_not_a_pair": (TypeError, "pixel", lambda: trovel.overlap_area(T1[0], 0)),
    "pixel_three": (ValueError, "pixel", lambda: trovel.overlap_area(T1[0], (0, 0, 0))),
    "values_count": (ValueError, "triangles holds 1",
                     lambda: trovel.deposit_triangles(T1, [1.0, 2.0], shape=(2, 2))),
    "size_and_shape": (TypeError, "size", lambda: trovel.deposit_triangles(T1, 1.0, size=3,
                                                                           shape=(3, 3))),
    "origin_alone": (TypeError, "shape", lambda: trovel.deposit_triangles(T1, 1.0, size=3,
                                                                          origin=(0, 0))),
    "scale_zero": (ValueError, "scale", lambda: trovel.deposit_triangles(T1, 1.0, shape=(2, 2),
                                                                         scale=(1.0, 0.0))),
    "scale_huge_int": (ValueError, "scale", lambda: trovel.deposit_triangles(
        T1, 1.0, shape=(2, 2), scale=10**400)),
    "pixels_overflow": (ValueError, "overflow", lambda: trovel.deposit_triangles(
        [[(1e308, 0), (1e308, 1), (-1e308, 0)]], 1.0, shape=(2, 2), scale=0.5)),
    "shape_int": (TypeError, "shape", lambda: trovel.deposit_triangles(T1, 1.0, shape=3)),
    "shape_zero": (ValueError, "shape", lambda: trovel.deposit_triangles(T1, 1.0, shape=(0, 3))),
    "out_shape": (ValueError, "out", lambda: trovel.deposit_triangles(T1, 1.0, shape=(2, 2),
                                                                      out=np.zeros((3, 2)))),
    "out_masked": (TypeError, "masked", lambda: trovel.deposit_triangles(
        T1, 1.0, shape=(2, 2), out=np.ma.zeros((2, 2)))),
    "out_masked_centred": (TypeError, "masked", lambda: trovel.deposit_triangles(
        T1, 1.0, out=np.ma.zeros((3, 3)))),
    "values_masked": (TypeError, "masked", lambda: trovel.deposit_triangles(
        T1, np.ma.array([1.0], mask=[True]), size=3)),
    "out_over_triangles": (ValueError, "share", lambda: trovel.deposit_triangles(
        SHARED[:1], 1.0, shape=(2, 4), out=SHARED.reshape(6, 4)[:2])),
}


@pytest.mark.parametrize("case", REFUSED.values(), ids=REFUSED.keys())
def test_bad_arguments_are_refused_by_name(case):
    error, word, call = case
    with pytest.raises(error, match=word):
        call()


@pytest.mark.parametrize("kw", [{}, {"shape": (3, 3), "origin": (-1, -1)}], ids=["centred", "frame"])
def test_an_image_subclass_is_written_through_its_own_buffer(kw):
    out = np.zeros((3, 3)).view(LyingImage)  # claims 50 x 50
    plain = np.zeros((3, 3))
    trovel.deposit_triangles(T1, 1.0, out=out, **kw)
    trovel.deposit_triangles(T1, 1.0, out=plain, **kw)
    assert (np.ndarray.view(out, np.ndarray) == plain).all() and plain.sum() == 1.75
