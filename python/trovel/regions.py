"""Shapes from astropy regions (the optional extra ``regions``).

regions' pixel coordinates are trovel's plane with the default grid
``Pixels.grid(image.shape)``: the pixel in row ``i`` and column ``k`` has its
centre at ``(x, y) = (k, i)``, so a converted region renders onto that grid
where regions places it on the image.  Sizes convert exactly as regions
means them: its widths and heights are full lengths (trovel's semi-axes are
halves), its width lies along ``angle`` (an astropy angle, counter-clockwise
from +x), and an annulus holds what its outer shape holds and its inner
shape does not.

Examples
--------
>>> import astropy.units as u
>>> from regions import EllipsePixelRegion, PixCoord
>>> r = EllipsePixelRegion(PixCoord(5, 4), width=6, height=2, angle=30 * u.deg)
>>> from_region(r)
Ellipse(center=(5.0, 4.0), a=3.0, b=1.0, angle=0.5235987755982988)
"""
from __future__ import annotations

import importlib
import operator
from typing import Any

import numpy as np

from .shapes import Disc, Ellipse, Polygon, Rectangle, Shape

# regions' compound operators, as trovel's.
_OPERATORS = {operator.or_: Shape.__or__, operator.and_: Shape.__and__,
              operator.xor: Shape.__xor__}


def _modules() -> tuple[Any, Any]:
    """astropy regions and astropy.units, imported by name (neither ships
    type information)."""
    try:
        return importlib.import_module("regions"), importlib.import_module("astropy.units")
    except ImportError as e:   # pragma: no cover - the extra is installed in the test runs
        raise ImportError("trovel.from_region needs astropy regions: "
                          "pip install 'trovel[regions]'") from e


def _leaf(region: Any, regions: Any, units: Any) -> Shape:
    """One region that is not a compound, as a trovel shape."""
    def centre() -> tuple[float, float]:
        return float(region.center.x), float(region.center.y)

    def angle() -> float:
        return float(region.angle.to_value(units.rad))

    if isinstance(region, regions.CirclePixelRegion):
        return Disc(centre(), float(region.radius))
    if isinstance(region, regions.EllipsePixelRegion):
        return Ellipse(centre(), 0.5 * float(region.width), 0.5 * float(region.height), angle())
    if isinstance(region, regions.RectanglePixelRegion):
        # trovel's Rectangle takes the side along its angle as `length`
        return Rectangle(centre(), angle(), float(region.height), float(region.width))
    if isinstance(region, regions.PolygonPixelRegion):
        v = region.vertices
        return Polygon(np.column_stack([np.asarray(v.x, float), np.asarray(v.y, float)]))
    if isinstance(region, regions.CircleAnnulusPixelRegion):
        return Disc(centre(), float(region.outer_radius)) - Disc(centre(), float(region.inner_radius))
    if isinstance(region, regions.EllipseAnnulusPixelRegion):
        return (Ellipse(centre(), 0.5 * float(region.outer_width), 0.5 * float(region.outer_height),
                        angle())
                - Ellipse(centre(), 0.5 * float(region.inner_width),
                          0.5 * float(region.inner_height), angle()))
    if isinstance(region, regions.RectangleAnnulusPixelRegion):
        return (Rectangle(centre(), angle(), float(region.outer_height), float(region.outer_width))
                - Rectangle(centre(), angle(), float(region.inner_height),
                            float(region.inner_width)))
    if isinstance(region, regions.SkyRegion):
        raise TypeError(f"{type(region).__name__} is a sky region: convert it to pixels first "
                        "(region.to_pixel(wcs))")
    raise TypeError(f"{type(region).__name__} has no area trovel can render")


def from_region(region: Any) -> Shape:
    """The trovel shape of an astropy regions pixel region.

    Circles, ellipses, rectangles, polygons (regular ones too), the three
    annuli, and compounds of them by ``&``, ``|`` and ``^`` to any depth.
    regions' pixel coordinates are trovel's plane with the default grid
    ``Pixels.grid(image.shape)`` (pixel centres on whole numbers, x along
    the columns), so ``render(from_region(r), Pixels.grid(image.shape))`` is
    each pixel's exact fraction inside ``r``.

    Parameters
    ----------
    region : regions.PixelRegion
        The region, in pixel coordinates.

    Returns
    -------
    Shape
        Its widths and heights halved into semi-axes, its angle in radians,
        an annulus as its outer shape less its inner one.

    Raises
    ------
    ImportError
        When astropy regions is not installed.
    TypeError
        When the region has no area (a point, a line, text), is a sky
        region, or a compound's operator is none of ``&``, ``|``, ``^``.
    ValueError
        When a size is not positive or a polygon crosses itself.

    Examples
    --------
    >>> from regions import CirclePixelRegion, PixCoord
    >>> ring = CirclePixelRegion(PixCoord(3, 3), 2) ^ CirclePixelRegion(PixCoord(3, 3), 1)
    >>> round(from_region(ring).area(), 12)
    9.424777960769
    """
    regions, units = _modules()
    # iterative, so that no depth of compound exhausts the stack
    todo: list[Any] = [region]
    done: list[Shape] = []
    while todo:
        node = todo.pop()
        if isinstance(node, tuple):        # an operator, once its operands are done
            right, left = done.pop(), done.pop()
            done.append(node[0](left, right))
        elif isinstance(node, regions.CompoundPixelRegion):
            combine = _OPERATORS.get(node.operator)
            if combine is None:
                raise TypeError(f"a compound region's operator {node.operator!r} is none of "
                                "&, |, ^")
            todo += [(combine,), node.region2, node.region1]
        else:
            done.append(_leaf(node, regions, units))
    return done[0]
