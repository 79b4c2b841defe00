"""trovel: exact planar geometry on numpy arrays.

Cut triangle meshes by circles and struts, deposit triangles onto images by
their exact pixel overlap, give each pixel's exact fractional coverage by an
edge, a circle or a strut, and mark the grid points inside a polygon.  Every
function checks and converts its arguments, then calls the native module
``_trovel``.
"""
from .area import Deposit, deposit_triangles, overlap_area, triangle_areas, triangulate
from .clip import ClipResult, clip_to_circle, clip_to_strut
from .coverage import circle_coverage, edge_coverage, strut_coverage
from .grid import Pixels
from .mask import polygon_mask
from .shapes import Strut

__all__ = [
    "ClipResult", "Deposit", "Pixels", "Strut",
    "circle_coverage", "clip_to_circle", "clip_to_strut", "deposit_triangles",
    "edge_coverage", "overlap_area", "polygon_mask", "strut_coverage", "triangle_areas",
    "triangulate",
]
__version__ = "0.1.0"
