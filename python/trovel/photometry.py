"""Aperture photometry of many sources: exact, any shape, any detector.

:func:`photometry` sums an image inside apertures placed on many sources in
one native call: each source visits only its own window of pixels, where
each footprint's exact fraction inside the aperture (as :func:`trovel.render`
gives it) weights the pixel's value.  Full-image weights are never built.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from . import _kernels
from ._checks import FloatArray
from .grid import Pixels
from .shapes import Shape

__all__ = ["Photometry", "photometry"]


class Photometry(NamedTuple):
    """What :func:`photometry` gives: one entry per source.

    Attributes
    ----------
    sum : ndarray of float64, shape (n,)
        ``sum(image * f)`` over the usable pixels, ``f`` each footprint's
        exact fraction inside the aperture.
    sum_error : ndarray of float64, shape (n,), or None
        ``sqrt(sum((error * f)**2))`` over the same pixels, when an error
        image was given.
    area : ndarray of float64, shape (n,)
        ``sum(f * footprint area)``: the aperture's area that falls on usable
        pixels, in the plane's units.
    partial : ndarray of bool, shape (n,)
        True where the aperture reaches beyond the image, or over a pixel
        that is masked or whose value is not finite.
    """

    sum: FloatArray
    sum_error: FloatArray | None
    area: FloatArray
    partial: npt.NDArray[np.bool_]


def photometry(image: npt.ArrayLike, apertures: Shape | Sequence[Shape],
               positions: npt.ArrayLike | None = None, *, pixels: Pixels | None = None,
               error: npt.ArrayLike | None = None, mask: npt.ArrayLike | None = None,
               threads: int = 1) -> Photometry:
    """Sums of an image inside apertures placed on many sources.

    Parameters
    ----------
    image : array_like, shape (ny, nx)
        The pixel values; float32 and float64 are read as they are (others
        converted to float64), and sums are formed in float64.  A value that
        is not finite is left out of every sum, like a masked pixel, and
        marks the sources whose apertures cover it as partial.
    apertures : Shape or sequence of Shape
        One shape placed at each of ``positions`` (moved by each), or, with
        ``positions=None``, one shape per source as it stands.
    positions : array_like, shape (n, 2), optional
        The sources' offsets in the plane: the aperture is shifted by each.
        With the default pixels the plane is pixel coordinates, pixel
        ``[i, k]`` centred on ``(k, i)``: a position is ``(x, y)`` =
        ``(column, row)``.
    pixels : Pixels, optional
        The image's pixel set, of ``image.shape``: a lazy grid, per-pixel
        footprints or corner footprints (a distorted detector, as
        `Pixels.from_corners` or `trovel.sky.from_wcs` give it).  Default
        ``Pixels.grid(image.shape)``.
    error : array_like, shape (ny, nx), optional
        Each pixel's error, for ``sum_error``.  A value that is not finite
        leaves its pixel out, like a masked one.
    mask : array_like of bool, shape (ny, nx), optional
        True where a pixel is excluded from ``sum``, ``sum_error`` and ``area``.
    threads : int, optional
        The sources are split over this many threads (at most 64 are used)
        with the interpreter lock released; the results have the same bits
        for any count.

    Returns
    -------
    Photometry
        ``(sum, sum_error, area, partial)``, one entry per source.

    Raises
    ------
    TypeError
        When an argument is of the wrong kind (``apertures`` not shapes,
        ``pixels`` not a `Pixels`, ``mask`` not boolean).
    ValueError
        When shapes do not match, a position is not finite, or ``apertures``
        is a sequence while ``positions`` is given.

    Examples
    --------
    >>> from trovel import Disc
    >>> image = np.ones((20, 20))
    >>> p = photometry(image, Disc((0, 0), 3.0), [(9.5, 9.5), (-0.5, -0.5)])
    >>> np.round(p.sum / np.pi, 12).tolist(), p.partial.tolist()
    ([9.0, 2.25], [False, True])
    """
    img = chk.image_values("image", image)
    n_threads = chk.threads(threads)
    shapes, offsets = chk.apertures(apertures, positions)
    err = None if error is None else chk.image_values("error", error, like=img)
    msk = None if mask is None else chk.image_mask("mask", mask, img.shape)
    pix = chk.pixel_set(Pixels.grid(img.shape) if pixels is None else pixels)
    chk.same_shape("pixels", pix.shape, "image", img.shape)
    natives = [s.native() for s in shapes]
    if pix.affine is not None or pix.corners:
        raw = _kernels.photometry(natives, offsets, pix.native, img, err, msk, n_threads)
    else:
        raw = _kernels.photometry(natives, offsets, pix.native, img.shape[0], img.shape[1], img,
                                  err, msk, n_threads)
    total, error2, area, partial = raw
    return Photometry(total, None if err is None else np.sqrt(error2), area, partial)
