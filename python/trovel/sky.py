"""The sky as a plane: footprints from a WCS, and reprojection.

The plane is the gnomonic (tangent-plane) projection about a sky position
``center``, in arcseconds, x toward increasing longitude and y toward
increasing latitude.  The gnomonic projection maps great circles to
straight lines, so a pixel whose sides are great-circle arcs (a pixel of
any gnomonic WCS without distortion) is exactly a planar quadrilateral
there, and `Pixels.from_wcs` gives it exactly.

`sky_to_plane` is plain arithmetic, done natively; `Pixels.from_wcs` and
`reproject` read a WCS through its ``pixel_to_world_values`` method
(astropy's WCS and anything that follows its shared interface): the
optional extra ``astro`` installs astropy.
"""
from __future__ import annotations

import copy
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from . import _kernels
from ._checks import FloatArray

__all__ = ["from_wcs", "reproject", "sky_to_plane"]


def sky_to_plane(lon: npt.ArrayLike, lat: npt.ArrayLike,
                 center: tuple[float, float]) -> tuple[FloatArray, FloatArray]:
    """Sky positions in the tangent plane about ``center``.

    The gnomonic projection: a point at angular distance ``c`` from the
    centre lies ``tan c`` from the origin (in arcseconds: radians times
    206264.806...), x toward increasing longitude, y toward increasing
    latitude at the centre.  Points 90 degrees or more from the centre
    have no image: they come out NaN.

    Parameters
    ----------
    lon, lat : array_like
        Longitudes and latitudes in degrees, broadcast together.
    center : (float, float)
        The tangent point ``(lon, lat)`` in degrees.

    Returns
    -------
    x, y : ndarray of float64
        Plane positions in arcseconds.

    Examples
    --------
    >>> x, y = sky_to_plane([10.0, 10.0], [20.0, 20.0 + 1 / 3600], (10.0, 20.0))
    >>> np.round(x, 9).tolist(), np.round(y, 9).tolist()
    ([0.0, 0.0], [0.0, 1.0])
    """
    return _to_plane(lon, lat, center, 1)


def _to_plane(lon: npt.ArrayLike, lat: npt.ArrayLike, center: tuple[float, float],
              threads: int) -> tuple[FloatArray, FloatArray]:
    """`sky_to_plane` on `threads` threads (the same bits for any count)."""
    lon0, lat0 = chk.pair("center", center)
    if not -90.0 <= lat0 <= 90.0:
        raise ValueError(f"center's latitude must lie in [-90, 90] degrees, got {lat0}")
    lo = chk.contiguous("lon", chk.base("lon", chk.array("lon", lon)))
    la = chk.contiguous("lat", chk.base("lat", chk.array("lat", lat)))
    try:
        lo, la = np.broadcast_arrays(lo, la)
    except ValueError:
        raise ValueError(f"lon and lat must broadcast together, got shapes {lo.shape} and "
                         f"{la.shape}") from None
    # natively, in pieces: the differences of the angles first, then the
    # projection in forms without cancellation, so that an offset of a
    # milliarcsecond keeps its digits
    shape = lo.shape
    lon_flat, lat_flat = (np.ascontiguousarray(a, dtype=np.float64).reshape(-1) for a in (lo, la))
    x = chk.new_array("x", shape, np.float64, given_by="lon and lat")
    y = chk.new_array("y", shape, np.float64, given_by="lon and lat")
    _kernels.sky_to_plane(lon_flat, lat_flat, lon0, lat0, x.reshape(-1), y.reshape(-1), threads)
    if not shape:
        return x[()], y[()]
    return x, y


# Rows of grid positions that one thread's share of a WCS evaluation holds
# at least (fewer are not worth a thread), and the most threads, as the
# native drivers take.
_WORLD_ROWS, _MOST_THREADS = 64, 64


def _world_of(wcs: Any, name: str, u: FloatArray, v: FloatArray) -> tuple[FloatArray, FloatArray]:
    method = getattr(wcs, "pixel_to_world_values", None)
    if not callable(method):
        raise TypeError(f"{name} must be a WCS with pixel_to_world_values (an astropy WCS), "
                        f"got {type(wcs).__name__}")
    out = method(u, v)
    if not (isinstance(out, (tuple, list)) and len(out) == 2):
        raise ValueError(f"{name} must be a celestial WCS of two pixel and two world axes")
    lon, lat = (np.asarray(a, dtype=np.float64) for a in out)
    return lon, lat


def _world(wcs: Any, name: str, u: FloatArray, v: FloatArray,
           threads: int = 1) -> tuple[FloatArray, FloatArray]:
    """A WCS's sky positions of grid positions (u along the columns, v along
    the rows), in degrees.  A 2-d lattice of many rows is evaluated in
    stretches of rows on up to `threads` threads, each with its own copy of
    the WCS (astropy's releases the lock while it computes, and keeps
    scratch space of its own): every position is computed by itself, so the
    values are those of one call."""
    pieces = min(threads, _MOST_THREADS, u.shape[0] // _WORLD_ROWS) if u.ndim == 2 else 1
    if pieces <= 1:
        return _world_of(wcs, name, u, v)
    try:
        copies = [wcs] + [copy.deepcopy(wcs) for _ in range(pieces - 1)]
    except Exception:   # a WCS that cannot be copied is evaluated on one thread
        return _world_of(wcs, name, u, v)
    cuts = np.linspace(0, u.shape[0], pieces + 1).astype(int)
    with ThreadPoolExecutor(pieces) as pool:
        parts = list(pool.map(lambda k: _world_of(copies[k], name, u[cuts[k]:cuts[k + 1]],
                                                  v[cuts[k]:cuts[k + 1]]), range(pieces)))
    lon, lat = (np.concatenate([part[axis] for part in parts]) for axis in (0, 1))
    return lon, lat


def _sky_center(wcs: Any, name: str, shape: tuple[int, int],
                center: Any) -> tuple[float, float]:
    """The tangent point: `center` when given, else the sky position of the
    image's middle ((nx - 1) / 2, (ny - 1) / 2)."""
    if center is not None:
        return chk.pair("center", center)
    ny, nx = shape
    lon, lat = _world(wcs, name, np.array([(nx - 1) / 2.0]), np.array([(ny - 1) / 2.0]))
    return chk.pair(f"the sky position of {name}'s centre", (float(lon[0]), float(lat[0])))


def from_wcs(wcs: Any, shape: tuple[int, int], *, center: Any = None, threads: int = 1) -> Any:
    """Corner footprints of an image's pixels in the tangent plane about
    ``center``: see `Pixels.from_wcs`."""
    return _corners_from_wcs(wcs, shape, center, chk.threads(threads))


def _corners_from_wcs(wcs: Any, shape: tuple[int, int], center: Any, threads: int) -> Any:
    """`from_wcs`, the corners projected on `threads` threads."""
    from .grid import Pixels

    ny, nx = chk.int_pair("shape", shape, minimum=0)
    c = _sky_center(wcs, "wcs", (ny, nx), center)
    v, u = np.mgrid[0:ny + 1, 0:nx + 1].astype(np.float64) - 0.5
    lon, lat = _world(wcs, "wcs", u, v, threads)
    x, y = _to_plane(lon, lat, c, threads)
    if not (np.isfinite(x).all() and np.isfinite(y).all()):
        raise ValueError("wcs puts pixel corners 90 degrees or more from center (or none on "
                         "the sky): they have no place in its tangent plane")
    return Pixels.from_corners(x, y, threads=threads)


# The largest distance, in output pixels, by which the output's pixel
# centres may lie from an affine grid in the tangent plane: far below what
# 1e-6 of a surface brightness can notice.
_AFFINE_SLACK = 1e-7


def _affine_target(wcs_out: Any, shape: tuple[int, int]) -> tuple[Any, tuple[float, float]]:
    """The output grid as a lazy affine grid in a tangent plane, and that
    plane's centre: the output's reference point when it has one (a
    gnomonic WCS's pixels are an affine grid exactly in its own tangent
    plane), else the output's centre.  The grid is fitted to a lattice of
    pixel centres, and refused when they stray from it."""
    from .grid import Pixels

    ny, nx = shape
    candidates = [_sky_center(wcs_out, "wcs_out", shape, None)]
    crval = getattr(getattr(wcs_out, "wcs", None), "crval", None)
    if crval is not None and len(crval) == 2:
        candidates.insert(0, chk.pair("wcs_out's reference point", (float(crval[0]),
                                                                      float(crval[1]))))
    ks = np.linspace(0.0, max(nx - 1, 0), 9)
    is_ = np.linspace(0.0, max(ny - 1, 0), 9)
    kk, ii = np.meshgrid(ks, is_)
    lon, lat = _world(wcs_out, "wcs_out", kk.ravel(), ii.ravel())
    design = np.column_stack([np.ones(kk.size), kk.ravel(), ii.ravel()])
    best = None
    for c in candidates:
        x, y = sky_to_plane(lon, lat, c)
        if not (np.isfinite(x).all() and np.isfinite(y).all()):
            continue
        coef, *_ = np.linalg.lstsq(design, np.column_stack([x, y]), rcond=None)
        fit = design @ coef
        m = coef[1:].T   # ((dx/dk, dx/di), (dy/dk, dy/di))
        miss = np.abs(np.linalg.solve(m, (fit - np.column_stack([x, y])).T)).max()
        if best is None or miss < best[0]:
            best = (float(miss), coef, c)
    if best is None:
        raise ValueError("wcs_out has pixels 90 degrees or more from its centre")
    miss, coef, c = best
    if miss > _AFFINE_SLACK:
        raise ValueError(f"wcs_out's pixels are not an affine grid in a tangent plane (off by "
                         f"{miss:.3g} pixels): reproject onto a gnomonic WCS, or resample onto "
                         "a Pixels.grid of your own")
    origin = (float(coef[0, 0]), float(coef[0, 1]))
    matrix = ((float(coef[1, 0]), float(coef[2, 0])), (float(coef[1, 1]), float(coef[2, 1])))
    return Pixels.grid(shape, origin=origin, matrix=matrix), c


def reproject(image: npt.ArrayLike, wcs_in: Any, wcs_out: Any, shape_out: tuple[int, int], *,
              threads: int = 1) -> tuple[FloatArray, FloatArray]:
    """Reproject an image of surface brightness onto another WCS, exactly.

    Each output pixel's value is the mean of the input pixels over it,
    weighted by the exact area of their overlap, as astropy reproject's
    exact method gives it; ``footprint`` is the fraction of each output
    pixel that the input covers (NaN values where it covers nothing).  The
    input pixels are the quadrilaterals through their corners in the
    tangent plane of the output (`Pixels.from_wcs`), resampled by
    `trovel.resample` onto the output's pixels, an affine grid there: that
    of a gnomonic output WCS exactly, taken about its reference point.

    Parameters
    ----------
    image : array_like, shape (ny, nx)
        Surface brightness per pixel of the input; values that are not
        finite spread to the output pixels they overlap.
    wcs_in, wcs_out : WCS
        Celestial WCS of the input and of the output (astropy's).
    shape_out : (int, int)
        The output's ``(ny, nx)``.
    threads : int, optional
        As for `trovel.resample`: the same bits for any count.

    Returns
    -------
    array, footprint : ndarray of float64, shape ``shape_out``

    Raises
    ------
    TypeError
        When a WCS has no ``pixel_to_world_values``.
    ValueError
        When the output's pixels are not an affine grid in a tangent plane
        (a distorted or non-gnomonic output WCS), or the input lies 90
        degrees or more from the output.
    """
    from .resample import resample

    values = chk.base("image", chk.array("image", image))
    if values.ndim != 2:
        raise ValueError(f"image must be a 2-d image, got shape {values.shape}")
    shape = chk.int_pair("shape_out", shape_out, minimum=0)
    n = chk.threads(threads)
    target, c = _affine_target(wcs_out, shape)
    pixels = _corners_from_wcs(wcs_in, values.shape, c, n)
    flux = chk.contiguous("image", values) * pixels._areas(n)
    r = resample(flux, pixels, target, threads=n)
    cell = target.areas()
    with np.errstate(invalid="ignore", divide="ignore"):
        array: FloatArray = np.where(r.weight > 0.0, r.image / (r.weight * cell), np.nan)
    return array, r.weight
