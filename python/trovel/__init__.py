"""trovel: exact planar geometry on numpy arrays.

Cut triangle meshes by circles and struts, deposit triangles onto images by
their exact pixel overlap, give each pixel's exact fractional coverage by an
edge, a circle or a strut, mark the grid points inside a polygon, and render
apertures built from discs, ellipses, polygons and rectangles, annuli and
stadiums, and shapes from astropy regions (`trovel.regions`); resample
images by exact overlap, conserving flux (`trovel.resample`), on detectors
whose pixels are the quadrilaterals through their mapped corners
(`Pixels.from_corners`, `Pixels.from_wcs`), and reproject between sky
frames (`trovel.reproject`).  Every function checks
and converts its arguments (in ``trovel._checks``), then makes one call of
the native module ``_trovel`` or of the package's own drivers,
``trovel._kernels``.

Real telescopes' pupils (the ELT, the GMT, JWST, Hubble and others), built
from their published figures, are in ``trovel.telescopes``.
"""
from .area import Deposit, deposit_triangles, overlap_area, triangle_areas, triangulate
from .clip import ClipResult, clip_to_circle, clip_to_strut
from .coverage import circle_coverage, edge_coverage, strut_coverage
from .grid import Pixels
from .mask import polygon_mask
from .photometry import Photometry, photometry
from .regions import from_region
from .render import render
from .resample import Resampled, resample
from .sky import reproject, sky_to_plane
from .shapes import (Disc, Ellipse, Polygon, Rectangle, Shape, Strut, annulus,
                     elliptical_annulus, hexagonal_segments, pupil, rectangular_annulus, stadium)

__all__ = [
    "ClipResult", "Deposit", "Disc", "Ellipse", "Photometry", "Pixels", "Polygon", "Rectangle",
    "Resampled", "Shape", "Strut", "annulus", "circle_coverage", "clip_to_circle", "clip_to_strut",
    "deposit_triangles", "edge_coverage", "elliptical_annulus", "from_region",
    "hexagonal_segments", "overlap_area", "photometry", "polygon_mask", "pupil",
    "rectangular_annulus", "render", "reproject", "resample", "sky_to_plane", "stadium", "strut_coverage", "triangle_areas",
    "triangulate",
]
__version__ = "0.1.0"
