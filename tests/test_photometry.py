"""Photometry of many sources against the full-grid render of each aperture:
the same sums, areas and partial flags, on any detector, with masks, NaNs,
per-source shapes, threads and Dask."""
import math

import numpy as np
import pytest

import trovel
from helpers import same_bits
from trovel import Disc, Ellipse, Pixels, Rectangle, elliptical_annulus, photometry


def reference(image, shape, pixels, usable):
    """Sum, area and partial of one aperture from its render over all pixels."""
    f = trovel.render(shape, pixels)
    areas = pixels.areas()
    covered = (f * areas).sum()
    total = (np.where(usable, image, 0.0) * f).sum()
    scale = (np.abs(np.where(usable, image, 0.0)) * f).sum()
    partial = bool((f[~usable] > 0).any()) or covered < shape.area() * (1 - 1e-9)
    return total, scale, (np.where(usable, f, 0.0) * areas).sum(), partial


APERTURES = {
    "disc": Disc((0.0, 0.0), 4.3),
    "annulus": Disc((0.0, 0.0), 6.0) - Disc((0.0, 0.0), 3.5),
    "ellipse": Ellipse((0.0, 0.0), 5.2, 2.7, 0.5),
    "elliptical_annulus": elliptical_annulus((0.0, 0.0), 3.1, 6.3, 3.6, angle=-0.7, b_in=2.2),
    # too thin and tilted for the closed form's rounding: the general renderer
    "thin_ellipse": Ellipse((0.0, 0.0), 14.0, 0.3, 0.9),
    "annulus_less_neighbour": Disc((0, 0), 6.0) - Disc((0, 0), 3.5) - Disc((4.5, 1.0), 1.5),
    "pill_box": Rectangle((0, 0), 0.4, 3.0, 8.0) | Disc((3.68, 1.56), 1.5) | Disc((-3.68, -1.56), 1.5),
}
IMAGE_SHAPE = (40, 50)


def detectors():
    """The default grid, a rotated and sheared grid, and distorted per-pixel
    footprints, each of IMAGE_SHAPE."""
    ny, nx = IMAGE_SHAPE
    k, i = np.meshgrid(np.arange(nx, dtype=float), np.arange(ny, dtype=float))
    g = np.stack([k, i], -1)
    kappa = 2e-4
    u = g - (nx / 2, ny / 2)
    factor = 1 + kappa * (u ** 2).sum(-1)[..., None]
    centres = u * factor + (nx / 2, ny / 2)
    jac = factor[..., None] * np.eye(2) + 2 * kappa * u[..., :, None] * u[..., None, :]
    return {"grid": Pixels.grid(IMAGE_SHAPE),
            # axis-aligned but mirrored and unequal sides: the discs' closed form still
            "mirrored": Pixels.grid(IMAGE_SHAPE, origin=(49.0, 0.0), matrix=[[-1.0, 0.0], [0.0, 0.9]]),
            "sheared": Pixels.grid(IMAGE_SHAPE, matrix=[[0.9, 0.2], [-0.1, 1.05]]),
            "distorted": Pixels.from_arrays(g, centres, jac)}


@pytest.mark.parametrize("detector", ["grid", "mirrored", "sheared", "distorted"])
@pytest.mark.parametrize("name", APERTURES)
def test_sums_equal_the_full_grid_render(name, detector, rng):
    pixels = detectors()[detector]
    image = rng.normal(size=IMAGE_SHAPE)
    mask = rng.uniform(size=IMAGE_SHAPE) < 0.02
    image[rng.uniform(size=IMAGE_SHAPE) < 0.01] = np.nan
    usable = ~mask & np.isfinite(image)
    # inside, a hair off a pixel boundary (where a closed form's angles are
    # worst conditioned), across the border, wholly off the image
    inside = rng.uniform(5, 45, (12, 2))
    near = np.round(inside[:4] * 2) / 2 + rng.choice([1e-6, -1e-7, 3e-9], (4, 2))
    positions = np.vstack([inside, near, [(0.5, 20.0), (-3.0, -2.0), (80.0, 5.0)]])
    got = photometry(image, APERTURES[name], positions, pixels=pixels, mask=mask, threads=2)
    for s, pos in enumerate(positions):
        total, scale, area, partial = reference(image, APERTURES[name].shifted(pos), pixels, usable)
        assert abs(got.sum[s] - total) <= 1e-12 * max(scale, 1e-300), s
        assert got.area[s] == pytest.approx(area, rel=1e-12, abs=1e-12), s
        assert got.partial[s] == partial, s
    assert got.sum_error is None


def random_conic(rng):
    """An ellipse of random size (up to the closed form's 32 px and beyond),
    axis ratio and angle, a disc, or the annulus between one and a smaller
    copy or a disc inside it."""
    a = rng.uniform(0.2, 36.0)
    outer = (Disc((0, 0), a) if rng.uniform() < 0.3 else
             Ellipse((0, 0), a, a * rng.uniform(0.02, 1.0), rng.uniform(-4, 4)))
    kind = rng.integers(3)
    if kind == 0:
        return outer
    least = outer.radius if isinstance(outer, Disc) else outer.b
    inner = (Disc((0, 0), least * rng.uniform(0.01, 0.99)) if kind == 1 else
             outer.scaled(rng.uniform(0.2, 0.95)))
    return outer - inner


@pytest.mark.parametrize("detector", ["grid", "mirrored"])
def test_ellipses_of_every_size_and_slant_equal_the_render(detector, rng):
    # one aperture per source, placed as it stands: the closed form where it
    # takes the shape (and its rounding stays below the bound), the general
    # renderer where it declines, each against the full-grid render
    shape = (90, 100)
    pixels = (Pixels.grid(shape) if detector == "grid" else
              Pixels.grid(shape, origin=(99.0, 0.0), matrix=[[-1.0, 0.0], [0.0, 0.8]]))
    image = rng.normal(3.0, 1.0, shape)
    shapes = [random_conic(rng).shifted(rng.uniform(10, 80, 2)) for _ in range(60)]
    got = photometry(image, shapes, pixels=pixels)
    usable = np.ones(shape, bool)
    for s, shp in enumerate(shapes):
        total, scale, area, partial = reference(image, shp, pixels, usable)
        assert abs(got.sum[s] - total) <= 1e-12 * scale, (s, shp)
        assert got.area[s] == pytest.approx(area, rel=1e-12, abs=1e-12), s
        assert got.partial[s] == partial, s


def test_errors_masks_and_per_source_shapes(rng):
    image = rng.normal(size=IMAGE_SHAPE)
    error = rng.uniform(0.5, 2.0, IMAGE_SHAPE)
    error[10, 10] = np.inf                       # left out like a masked pixel
    shapes = [APERTURES["disc"].shifted((10.0, 10.0)), APERTURES["pill_box"].shifted((30, 20))]
    got = photometry(image, shapes, error=error)
    f = trovel.render(shapes[0], Pixels.grid(IMAGE_SHAPE))
    keep = np.isfinite(error)
    assert got.sum_error[0] == pytest.approx(math.sqrt(((error * f)[keep] ** 2).sum()), rel=1e-12)
    assert got.partial.tolist() == [True, False]  # the infinite error is inside the first
    as_one = photometry(image, APERTURES["pill_box"], [(30.0, 20.0)], error=error)
    # the shape moved, or placed by an offset: the same sums up to rounding
    np.testing.assert_allclose(as_one.sum, got.sum[1:], rtol=1e-12)
    np.testing.assert_allclose(as_one.area, got.area[1:], rtol=1e-12)


@pytest.mark.parametrize("name", ["annulus_less_neighbour", "elliptical_annulus"])
def test_float32_images_and_thread_counts_keep_the_bits(name, rng):
    image = rng.normal(size=(300, 300)).astype(np.float32)
    positions = rng.uniform(-10, 310, (500, 2))
    shape = APERTURES[name]
    runs = [photometry(image, shape, positions, threads=t) for t in (1, 2, 3)]
    assert all(same_bits(r.sum, runs[0].sum) and same_bits(r.area, runs[0].area) for r in runs)
    as64 = photometry(image.astype(np.float64), shape, positions)
    assert same_bits(as64.sum, runs[0].sum)


def test_dask_photometry_of_a_chunked_mosaic(rng):
    pytest.importorskip("dask")
    import dask
    import dask.array as da
    import trovel.dask as td

    image = rng.normal(size=(300, 420))
    positions = rng.uniform(-15, 435, (800, 2))
    shape = APERTURES["annulus_less_neighbour"]
    want = photometry(image, shape, positions, error=np.abs(image))
    got = td.photometry(da.from_array(image, chunks=(64, 100)), shape, positions,
                        error=np.abs(image))
    total, err, area, partial = dask.compute(*got)
    np.testing.assert_allclose(total, want.sum, rtol=0, atol=1e-12 * np.abs(image).max() * 120)
    np.testing.assert_allclose(err, want.sum_error, rtol=1e-12)
    np.testing.assert_allclose(area, want.area, rtol=1e-12)
    assert (partial == want.partial).all()
