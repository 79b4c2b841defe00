"""Flux-conserving resampling by exact overlap.

:func:`resample` spreads the flux of each source pixel over the pixels of a
target grid in proportion to the exact area of their overlap, as the
square kernel of drizzling does, with each source footprint the
quadrilateral through its pixel's mapped corners (`Pixels.from_corners`), a
parallelogram (per-pixel Jacobians) or a grid's pixel.  One native call,
the interpreter lock released; dithered exposures combine through
``into=``.
"""
from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _checks as chk
from . import _kernels
from ._checks import FloatArray
from .grid import Pixels

__all__ = ["Resampled", "resample"]


class Resampled(NamedTuple):
    """What :func:`resample` gives, on the target grid.

    Attributes
    ----------
    image : ndarray of float64, shape ``target.shape``
        Each output pixel's flux: ``sum_i image[i] * area(F_i & T_j) /
        area(F_i)`` over the source footprints ``F_i``.
    weight : ndarray of float64, shape ``target.shape``
        The covered fraction of each output pixel, ``sum_i area(F_i & T_j)
        / area(T_j)``: 1 where the source tiles it, 0 where it does not
        reach, and the number of exposures where ``into=`` stacked them.
        ``image / (weight * area(T_j))`` is the surface brightness where the
        weight is positive.
    variance : ndarray of float64, shape ``target.shape``, or None
        ``sum_i variance[i] * (area(F_i & T_j) / area(F_i))**2``, when a
        variance was given.
    outside : float
        The flux that fell beyond the target grid: ``image.sum() +
        outside`` is the input's total to rounding.
    """

    image: FloatArray
    weight: FloatArray
    variance: FloatArray | None
    outside: float


def _outputs(into: Any, shape: tuple[int, int], with_variance: bool, threads: int,
             inputs: tuple[FloatArray, ...]) -> tuple[FloatArray, FloatArray, FloatArray | None,
                                                      float, bool]:
    """Fresh outputs, or those of a previous result checked to take this
    one's additions: the target's shape, float64, writable, apart from the
    inputs and from each other, a variance exactly when one is given; its
    outside so far; and whether the native call must zero them first.  On
    one thread fresh outputs come zeroed (their pages are cleared as they
    are first written); on more they are left for the threads to zero, each
    its own rows, so that the clearing runs in parallel."""
    if into is None:
        def new(name: str) -> FloatArray:
            out: FloatArray = chk.new_array(name, shape, np.float64, zero=threads == 1,
                                            given_by="target")
            return out
        variance = new("the variance") if with_variance else None
        return new("the resampled image"), new("the weight"), variance, 0.0, threads > 1
    into = chk.instance("into", into, Resampled)
    image = chk.output("into.image", into.image, shape, np.float64)
    weight = chk.output("into.weight", into.weight, shape, np.float64)
    if (into.variance is None) == with_variance:
        raise ValueError("into must hold a variance exactly when variance is given"
                         if with_variance else
                         "into holds a variance: give this image's variance too")
    variance = (chk.output("into.variance", into.variance, shape, np.float64)
                if with_variance else None)
    outside = chk.finite("into.outside", into.outside)
    outs = [a for a in (image, weight, variance) if a is not None]
    for n, out in enumerate(outs):
        chk.disjoint("into's arrays", out, *inputs, *outs[n + 1:])
    return image, weight, variance, outside, False


def resample(image: npt.ArrayLike, pixels: Pixels, target: Pixels, *,
             variance: npt.ArrayLike | None = None, into: Resampled | None = None,
             threads: int = 1) -> Resampled:
    """Resample an image onto a target grid by exact overlap, conserving flux.

    Each source pixel's flux is shared among the target pixels its
    footprint overlaps, in proportion to the overlap's exact area (to
    rounding, within 1e-12 of each pixel's flux): the square kernel of
    drizzling with ``pixfrac=1``.  With corner footprints
    (`Pixels.from_corners`, `Pixels.from_mapping`, `trovel.sky.from_wcs`)
    the footprints tile the plane under any mapping, so nothing is lost or
    counted twice: ``result.image.sum() + result.outside`` equals
    ``image.sum()`` within 1e-12 relative.

    Parameters
    ----------
    image : array_like, shape ``pixels.shape``
        The flux of each source pixel (not a surface brightness).  A value
        that is not finite spreads to the output pixels its footprint
        overlaps.
    pixels : Pixels
        The source's pixel set in the target's plane: corner footprints,
        per-pixel Jacobians or a lazy grid.
    target : Pixels
        The output grid, a lazy affine grid (`Pixels.grid`).
    variance : array_like, shape ``pixels.shape``, optional
        Each source pixel's variance, resampled with squared weights (as
        drizzling's second data array is).
    into : Resampled, optional
        A previous result on the same target: this image's flux, weight and
        variance are added to its arrays in place and ``outside`` to its
        own, so that dithered exposures combine.
    threads : int, optional
        Bands of target rows are split over this many threads (at most 64)
        with the interpreter lock released; the result has the same bits for
        any count.

    Returns
    -------
    Resampled
        ``(image, weight, variance, outside)`` on the target grid.

    Raises
    ------
    TypeError
        When ``pixels`` is not a `Pixels`, ``target`` is not a lazy grid,
        ``into`` is not a `Resampled`, or an array holds no real numbers.
    ValueError
        When ``image`` or ``variance`` does not have the pixels' shape, or
        ``into`` does not fit the target.

    Examples
    --------
    >>> src = Pixels.grid((2, 2), origin=(0.25, 0.0))
    >>> r = resample(np.ones((2, 2)), src, Pixels.grid((2, 3)))
    >>> r.image.tolist(), r.outside
    ([[0.75, 1.0, 0.25], [0.75, 1.0, 0.25]], 0.0)
    """
    values = chk.base("image", chk.array("image", image))
    var = None if variance is None else chk.base("variance", chk.array("variance", variance))
    n = chk.threads(threads)
    pix = chk.pixel_set(pixels)
    tgt = chk.pixel_set(target)
    if tgt.affine is None or len(tgt.shape) != 2:
        raise TypeError("target must be a lazy affine grid (Pixels.grid)")
    chk.same_shape("image", values.shape, "pixels", pix.shape)
    if var is not None:
        chk.same_shape("variance", var.shape, "pixels", pix.shape)
    flat = chk.contiguous("image", values).reshape(-1)
    flat_var = None if var is None else chk.contiguous("variance", var).reshape(-1)
    shape = (tgt.shape[0], tgt.shape[1])
    inputs = tuple(a for a in (flat, flat_var, *pix.arrays) if a is not None)
    out_image, weight, out_var, before, fresh = _outputs(into, shape, var is not None, n,
                                                         inputs)
    outside = _kernels.resample(pix.native, tgt.native, flat, flat_var, out_image, weight,
                                out_var, fresh, n)
    if into is not None:   # the caller's own arrays, added to in place
        return Resampled(into.image, into.weight, into.variance, before + outside)
    return Resampled(out_image, weight, out_var, before + outside)
