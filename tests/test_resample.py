"""Corner footprints and resampling: every output pixel against exact
rational overlaps, on curved, mirrored and non-convex maps and all three
kinds of pixel set; tiling, where corner footprints conserve and tangent
parallelograms do not; round trips, accumulation, threads; the sky plane
and reproject."""
import importlib
import math
from fractions import Fraction

import numpy as np
import pytest

import trovel
from helpers import clip_polygon, polygon_area, same_bits
from trovel import Disc, Pixels, Polygon, render, resample

astropy_wcs = pytest.importorskip("astropy.wcs")


def curved(u, v):
    """A rotated, sheared map with a quadratic distortion."""
    return (0.9 * u - 0.35 * v + 0.03 * u * u - 0.02 * u * v + 0.4,
            0.3 * u + 0.8 * v + 0.025 * v * v - 0.5)


def gentle(u, v):
    """A rotation with a mild quadratic distortion, over hundreds of pixels."""
    return 0.9 * u - 0.35 * v + 5e-4 * u * u + 0.3, 0.3 * u + 0.8 * v + 4e-4 * v * v - 0.2


def mirrored(u, v):
    return -1.1 * u + 0.1 * v * v + 7.0, 0.7 * v + 0.05 * u * u - 1.0


def with_a_dart(shape):
    """Corners of a mildly curved map with one corner pushed so that one
    pixel's footprint turns right there (a dart) and its neighbours stay
    simple."""
    p = Pixels.from_mapping(curved, shape)
    x, y = (a.copy() for a in p.corners())
    # the corner shared by pixels [1, 1], [1, 2], [2, 1], [2, 2] moved into [1, 1]'s side
    x[2, 2] -= 0.45 * (x[2, 2] - x[1, 1])
    y[2, 2] -= 0.45 * (y[2, 2] - y[1, 1])
    return Pixels.from_corners(x, y)


def quads(pixels):
    """Each source footprint as a list of four exact (x, y) corners."""
    corners = pixels.corners()
    if corners is not None:
        x, y = corners
        ny, nx = pixels.shape
        return [[(Fraction(x[i + a, k + b]), Fraction(y[i + a, k + b]))
                 for a, b in ((0, 0), (0, 1), (1, 1), (1, 0))]
                for i in range(ny) for k in range(nx)]
    p = pixels.materialize()
    out = []
    for n in range(p.size):
        qx, qy, a, b, c, d = (float(f[n]) for f in p.footprints())
        # the corners as the kernels form them, q -/+ a/2 -/+ b/2, in floats
        hax, hay, hbx, hby = 0.5 * a, 0.5 * c, 0.5 * b, 0.5 * d
        out.append([(Fraction(qx + sx * hax + sy * hbx), Fraction(qy + sx * hay + sy * hby))
                    for sx, sy in ((-1, -1), (1, -1), (1, 1), (-1, 1))])
    return out


def overlap(quad, affine, k, i):
    """The exact area of a quadrilateral inside target pixel (k, i) of the
    grid ((x0, y0), M): the points whose M^-1 (p - origin) lies in the unit
    square about (k, i)."""
    (x0, y0), ((a, b), (c, d)) = affine
    a, b, c, d, x0, y0 = map(Fraction, (a, b, c, d, x0, y0))
    det = a * d - b * c
    inv = (d / det, -b / det, -c / det, a / det)

    def u(p):
        return inv[0] * (p[0] - x0) + inv[1] * (p[1] - y0)

    def v(p):
        return inv[2] * (p[0] - x0) + inv[3] * (p[1] - y0)

    half = Fraction(1, 2)
    poly = list(quad)
    for side in (lambda p: (k - half) - u(p), lambda p: u(p) - (k + half),
                 lambda p: (i - half) - v(p), lambda p: v(p) - (i + half)):
        poly = clip_polygon(poly, side)
    return polygon_area(poly)


SOURCES = {
    "curved_corners": lambda: Pixels.from_mapping(curved, (5, 6)),
    "mirrored_corners": lambda: Pixels.from_mapping(mirrored, (4, 5)),
    "a_dart": lambda: with_a_dart((4, 4)),
    "jacobians": lambda: Pixels.from_arrays(
        np.dstack(np.mgrid[0:3, 0:4][::-1]).reshape(-1, 2),
        np.array([(0.3 + 0.9 * k - 0.4 * i, 0.2 * k + 1.1 * i - 0.3) for i in range(3)
                  for k in range(4)]), [[0.9, -0.4], [0.2, 1.1]]),
    "grid": lambda: Pixels.grid((3, 4), origin=(-0.1, 0.35), scale=(1.3, 0.7), rotation=0.4),
}
TARGET = ((-1.2, -1.7), ((0.8, 0.15), (-0.1, 0.7)))


@pytest.mark.parametrize("name", SOURCES)
def test_every_output_pixel_is_the_exact_overlap(name, rng):
    pixels = SOURCES[name]()
    (x0, y0), m = TARGET
    target = Pixels.grid((9, 8), origin=(x0, y0), matrix=m)
    image = rng.uniform(0.5, 2.0, pixels.shape)
    var = rng.uniform(0.1, 1.0, pixels.shape)
    r = resample(image, pixels, target, variance=var)
    cell = abs(Fraction(m[0][0]) * Fraction(m[1][1]) - Fraction(m[0][1]) * Fraction(m[1][0]))
    want = np.zeros((3,) + target.shape)
    for q, value, s2 in zip(quads(pixels), image.ravel(), var.ravel()):
        area = polygon_area(q)
        for i in range(9):
            for k in range(8):
                a = overlap(q, TARGET, k, i)
                if a:
                    f = float(a / area)
                    want[:, i, k] += (value * f, float(a / cell), s2 * f * f)
    scale = image.max()
    assert np.abs(r.image - want[0]).max() <= 1e-12 * scale
    assert np.abs(r.weight - want[1]).max() <= 1e-12
    assert np.abs(r.variance - want[2]).max() <= 1e-12 * var.max()
    assert abs(r.image.sum() + r.outside - image.sum()) <= 1e-12 * image.sum()
    assert r.outside > 0.0   # every source reaches beyond the target
    again = resample(image, pixels, target, variance=var, threads=3)
    assert all(same_bits(a, b) for a, b in zip(r[:3], again[:3])) and r.outside == again.outside


def test_corner_footprints_tile_where_tangent_parallelograms_do_not(rng):
    """A strongly curved map: the corners' quadrilaterals tile, so a flat
    image resamples to weight 1 over the covered area, and a disc renders
    to its area; the tangent parallelograms at the pixel centres overlap and
    leave gaps."""
    def f(u, v):
        return u + 3.0 * np.sin(v / 8.0), v + 2.0 * np.sin(u / 7.0)

    def jacobian(u, v):
        one = np.ones_like(u)
        j = [[one, 3.0 / 8.0 * np.cos(v / 8.0)], [2.0 / 7.0 * np.cos(u / 7.0), one]]
        return np.moveaxis(np.array(j), (0, 1), (-2, -1))

    n = 40
    corners = Pixels.from_mapping(f, (n, n))
    v, u = np.mgrid[0:n, 0:n].astype(float)
    tangent = Pixels.from_arrays(np.dstack([u, v]), np.dstack(f(u, v)), jacobian(u, v))
    disc = Disc((22.0, 21.0), 9.5)
    exact = math.pi * 9.5**2
    on_corners = (render(disc, corners) * corners.areas()).sum()
    on_tangent = (render(disc, tangent) * tangent.areas()).sum()
    assert abs(on_corners - exact) <= 1e-11 * exact
    assert abs(on_tangent - exact) > 1e-5 * exact
    box = Polygon([(14, 14), (22, 14), (22, 22), (14, 22)])
    assert abs((render(box, corners) * corners.areas()).sum() - 64.0) <= 1e-11 * 64
    target = Pixels.grid((60, 60), origin=(-5.0, -5.0))
    flat = resample(corners.areas(), corners, target)
    inner = render(box, target) == 1.0   # pixels well inside the detector
    assert np.abs(flat.weight[inner] - 1.0).max() <= 1e-13
    assert np.abs(flat.image[inner] - 1.0).max() <= 1e-13
    gappy = resample(tangent.areas(), tangent, target)
    assert np.abs(gappy.weight[inner] - 1.0).max() > 1e-4


def test_round_trips_between_grids_keep_the_bits(rng):
    image = rng.normal(size=(7, 9))
    g = Pixels.grid((7, 9), origin=(2.0, -1.0), scale=0.5)
    same = resample(image, g, g)
    assert same_bits(same.image, image) and (same.weight == 1.0).all() and same.outside == 0.0
    # a whole-pixel shift and a quarter turn move the pixels exactly
    shifted = resample(image, g, Pixels.grid((7, 9), origin=(3.0, -2.0), scale=0.5))
    assert same_bits(shifted.image[2:, :-2], image[:-2, 2:])
    turned = resample(image, g, Pixels.grid((9, 7), origin=(2.0, 2.0), scale=0.5,
                                            rotation=-math.pi / 2))
    assert np.abs(turned.image - image[::-1].T).max() <= 1e-14
    # there and back by half a pixel: flux kept, the image smoothed only
    half = Pixels.grid((8, 10), origin=(1.75, -1.25), scale=0.5)
    there = resample(image, g, half)
    back = resample(there.image, half, g)
    assert abs(back.image.sum() + back.outside - image.sum()) <= 1e-12 * np.abs(image).sum()


def test_into_combines_dithered_exposures(rng):
    pixels = Pixels.from_mapping(curved, (12, 12))
    target = Pixels.grid((20, 20), origin=(-8.0, -3.0), scale=0.8)
    a, b = rng.uniform(1, 2, (2, 12, 12))
    dither = Pixels.from_mapping(lambda u, v: (curved(u, v)[0] + 0.37, curved(u, v)[1] - 0.61),
                                 (12, 12))
    first = resample(a, pixels, target, variance=a)
    both = resample(b, dither, target, variance=b, into=first)
    assert both.image is first.image and both.weight is first.weight
    alone = [resample(a, pixels, target, variance=a), resample(b, dither, target, variance=b)]
    for k in range(3):
        assert np.allclose(both[k], alone[0][k] + alone[1][k], rtol=1e-15, atol=1e-15)
    assert both.outside == alone[0].outside + alone[1].outside
    assert abs(both.image.sum() + both.outside - a.sum() - b.sum()) <= 1e-12 * (a.sum() + b.sum())
    assert both.weight.max() == pytest.approx(2.0, abs=1e-12)


@pytest.mark.parametrize("shape", [(64, 300), (300, 64)])
def test_threads_split_bands_with_the_same_bits(shape, rng):
    pixels = Pixels.from_mapping(gentle, shape)
    image = rng.normal(size=shape)
    target = Pixels.grid((150, 140), origin=(-60.0, -20.0), scale=1.7, rotation=0.3)
    results = [resample(image, pixels, target, variance=image**2, threads=t) for t in (1, 2, 5)]
    for r in results[1:]:
        assert all(same_bits(a, b) for a, b in zip(results[0][:3], r[:3]))
        assert r.outside == results[0].outside


def test_folded_maps_are_refused_naming_the_first_bad_pixel():
    v, u = np.mgrid[-0.5:4, -0.5:5]
    x, y = u.copy(), v.copy()
    x[2, 3], x[2, 2] = x[2, 2], x[2, 3]   # two corners swapped: pixel [1, 2]'s sides cross
    with pytest.raises(ValueError, match=r"pixel \[1, 2\]'s footprint is not a simple"):
        Pixels.from_corners(x, y)
    x, y = u.copy(), v.copy()
    x[:, 3:] = 6.0 - x[:, 3:]             # the map turns back on itself at column 3
    with pytest.raises(ValueError, match=r"pixel \[0, 3\]'s footprint runs against"):
        Pixels.from_corners(x, y)
    assert Pixels.from_corners(-u, v).shape == (4, 5)   # mirrored is fine


def first_fold(x, y):
    """The first pixel (row-major) whose footprint is not simple or turns
    against pixel [0, 0]'s, by the rule in exact rationals: a non-zero area,
    no corner where the sides turn back, at most one turn against the
    orientation."""
    first = 0
    for i, k in np.ndindex(x.shape[0] - 1, x.shape[1] - 1):
        quad = [(Fraction(x[i + a, k + b]), Fraction(y[i + a, k + b]))
                for a, b in ((0, 0), (0, 1), (1, 1), (1, 0))]
        area = sum(p[0] * q[1] - p[1] * q[0] for p, q in zip(quad, quad[1:] + quad[:1]))
        sign = (area > 0) - (area < 0)
        against, back = 0, False
        for h, j, m in ((3, 0, 1), (0, 1, 2), (1, 2, 3), (2, 3, 0)):
            (ax, ay), (bx, by), (cx, cy) = quad[h], quad[j], quad[m]
            t = (bx - ax) * (cy - by) - (by - ay) * (cx - bx)
            against += t * sign < 0
            back |= t == 0 and (bx - ax) * (cx - bx) + (by - ay) * (cy - by) <= 0
        simple = sign != 0 and not back and against <= 1
        first = first or (sign if simple else 0)
        if not simple or sign != first:
            return (i, k), "is not a simple" if not simple else "runs against"
    return None


@pytest.mark.parametrize("jitter", [0.2, 0.4, 0.6])
@pytest.mark.parametrize("mirror", [1.0, -1.0])
def test_the_fold_check_finds_the_first_fold_of_jittered_maps(jitter, mirror):
    """Convex pixels pass two at a time: every kind of fault (crossed sides,
    darts that are fine, turned pixels) at either place in a pair is found
    as the exact rule finds it, whether the corners are checked as they are
    copied (float64, C order) or after (Fortran order)."""
    for seed in range(12):
        r = np.random.default_rng([seed, int(10 * jitter)])
        v, u = np.mgrid[-0.5:6, -0.5:9]
        x = mirror * (u + r.uniform(-jitter, jitter, u.shape))
        y = v + r.uniform(-jitter, jitter, v.shape)
        expected = first_fold(x, y)
        for xy in ((x, y), (np.asfortranarray(x), np.asfortranarray(y))):
            if expected is None:
                assert same_bits(Pixels.from_corners(*xy).corners()[0], x)
                continue
            (i, k), what = expected
            with pytest.raises(ValueError, match=rf"pixel \[{i}, {k}\]'s footprint {what}"):
                Pixels.from_corners(*xy)


@pytest.mark.parametrize("row", [None, 0, 62, 63, 64, 100, 139])
@pytest.mark.parametrize("fault", ["crossed", "turned"])
def test_the_fold_check_on_threads_finds_what_one_thread_finds(row, fault):
    """Tall maps are checked in pieces of rows on several threads: a fault
    inside a piece or in the pixel row astride two is found, and named, as
    the exact rule finds it; a sound map is copied bit for bit."""
    r = np.random.default_rng(29)
    v, u = np.mgrid[-0.5:140, -0.5:6]
    x, y = u + r.uniform(-0.2, 0.2, u.shape), v + r.uniform(-0.2, 0.2, v.shape)
    if row is not None and fault == "crossed":
        x[row + 1, 3], x[row + 1, 4] = x[row + 1, 4], x[row + 1, 3]
    elif row is not None:
        x[row:row + 2, 3] = -x[row:row + 2, 3] + 2 * x[row:row + 2, 2]   # pixel 2 mirrored
    expected = first_fold(x, y)
    assert (expected is None) == (row is None)
    for threads in (1, 2, 5):
        if expected is None:
            p = Pixels.from_corners(x, y, threads=threads)
            assert same_bits(p.corners()[0], x) and same_bits(p.corners()[1], y)
            continue
        (i, k), what = expected
        with pytest.raises(ValueError, match=rf"pixel \[{i}, {k}\]'s footprint {what}"):
            Pixels.from_corners(x, y, threads=threads)


def test_photometry_on_corners_is_the_rendered_sum(rng):
    pixels = with_a_dart((30, 30))
    image = rng.uniform(0.0, 1.0, (30, 30))
    # over the dart at the detector's edge, inside it, and beyond it
    apertures = [Disc((1.0, 0.9), 1.5), Polygon([(8, 18), (14, 19), (10, 25)]),
                 Disc((60, 60), 2.0)]
    p = trovel.photometry(image, apertures, pixels=pixels)
    for n, s in enumerate(apertures):
        f = render(s, pixels)
        assert p.sum[n] == pytest.approx((image * f).sum(), rel=1e-13, abs=1e-13)
        assert p.area[n] == pytest.approx((f * pixels.areas()).sum(), rel=1e-13, abs=1e-13)
    assert p.partial.tolist()[1:] == [False, True]
    # a corner set goes to dask's workers whole, checked once in the client
    lazy = importlib.import_module("trovel.dask").render(apertures[1], pixels)
    assert same_bits(lazy.compute(), render(apertures[1], pixels))


def tan(crval, cdelt, rot, n):
    w = astropy_wcs.WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crval = crval
    w.wcs.crpix = [n / 2 + 0.5, n / 2 + 0.5]
    c, s = math.cos(math.radians(rot)), math.sin(math.radians(rot))
    w.wcs.cd = np.array([[-cdelt * c, cdelt * s], [cdelt * s, cdelt * c]])
    return w


def test_sky_plane_and_footprints_from_a_wcs():
    # an arcsecond north is (0, tan(1") in arcseconds), to the last digits; east is +x
    north = -60.0 + 1.0 / 3600
    x, y = trovel.sky_to_plane([30.0, 30.0 + 2.0 / 3600, 210.0], [north, -60.0, 60.0],
                               (30.0, -60.0))
    exact = math.tan(math.radians(north + 60.0)) * 180 * 3600 / math.pi
    assert x[0] == 0.0 and y[0] == pytest.approx(exact, rel=1e-14)
    assert x[1] > 0.0 and math.isnan(x[2])
    w = tan([30.0, -60.0], 0.1 / 3600, 20.0, 40)
    pixels = Pixels.from_wcs(w, (40, 40))
    areas = pixels.areas()
    # mirrored (RA grows to the left), 0.1" pixels, tiling the image's outline
    cx, cy = pixels.corners()
    rim = [(cx[0, k], cy[0, k]) for k in range(41)] + [(cx[i, 40], cy[i, 40]) for i in range(1, 41)]
    rim += [(cx[40, k], cy[40, k]) for k in range(39, -1, -1)]
    rim += [(cx[i, 0], cy[i, 0]) for i in range(39, 0, -1)]
    assert areas.sum() == pytest.approx(float(polygon_area(rim)), rel=1e-12)
    assert areas.mean() == pytest.approx(0.01, rel=1e-6)


def test_a_distorted_wcs_on_threads_gives_the_corners_of_one_call():
    # SIP terms: astropy's distortion pipeline, with scratch space of its own,
    # evaluated in stretches of rows on each thread's copy of the WCS
    w = tan([150.0, 2.0], 0.2 / 3600, 10.0, 200)
    w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"]
    a, b = np.zeros((4, 4)), np.zeros((4, 4))
    a[2, 0], a[1, 1], a[3, 0], b[0, 2], b[1, 2] = 2e-5, -1e-5, 3e-8, 1.5e-5, -2e-8
    w.sip = astropy_wcs.Sip(a, b, None, None, w.wcs.crpix)
    one = Pixels.from_wcs(w, (230, 190)).corners()
    for threads in (2, 3):
        many = Pixels.from_wcs(w, (230, 190), threads=threads).corners()
        assert same_bits(many[0], one[0]) and same_bits(many[1], one[1])
    u = np.arange(191.0) - 0.5   # and the distortion is there: rows of corners bend
    lon, lat = w.pixel_to_world_values(u, np.full_like(u, -0.5))
    assert np.ptp(np.diff(lat) / np.diff(lon)) > 1e-6


def test_reproject_between_tangent_planes():
    n = 32
    rng = np.random.default_rng(5)
    image = rng.uniform(1.0, 2.0, (n, n))
    w = tan([150.0, 2.0], 0.2 / 3600, 10.0, n)
    same, foot = trovel.reproject(image, w, w, (n, n))
    assert np.abs(same - image).max() <= 1e-9 and np.abs(foot - 1.0).max() <= 1e-9
    # the output's pixels are the input's shifted by (3, 5): values move exactly there
    out = tan([150.0, 2.0], 0.2 / 3600, 10.0, n)
    out.wcs.crpix = [n / 2 + 0.5 - 3, n / 2 + 0.5 - 5]
    moved, foot = trovel.reproject(image, w, out, (n, n))
    assert np.abs(moved[:-5, :-3] - image[5:, 3:]).max() <= 1e-8
    assert np.abs(foot[:-5, :-3] - 1.0).max() <= 1e-9 and foot[-5:].max() <= 1e-9
    # flux in arcsec^2 units is conserved onto a coarser, turned frame
    coarse = tan([150.0, 2.0], 0.3 / 3600, -25.0, n)
    sb, foot = trovel.reproject(image, w, coarse, (n, n))
    assert np.nansum(sb * foot) * 0.09 == pytest.approx((image * 0.04).sum(), rel=1e-6)
    # threads split the corners' projection and the resampling: the same bits
    big = rng.uniform(1.0, 2.0, (160, 170))
    w_big = tan([150.0, 2.0], 0.2 / 3600, 10.0, 170)
    out_big = tan([150.0, 2.0], 0.3 / 3600, 4.0, 120)
    one, two = (trovel.reproject(big, w_big, out_big, (120, 120), threads=t) for t in (1, 2))
    assert same_bits(one[0], two[0]) and same_bits(one[1], two[1])
