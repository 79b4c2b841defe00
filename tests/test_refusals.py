"""Arguments every public call refuses: one table per capability, each case
the error, a pattern its message must match (naming the argument), and the
call.  Each runs in a forked child, so a crash fails only its case."""
import math

import numpy as np
import pytest

import trovel
from helpers import in_child, raises
from trovel import Disc, Ellipse, Pixels, Polygon, Rectangle, Strut, telescopes

TRIS = np.array([[(0.0, 0.0), (2.0, 0.0), (0.0, 2.0)]])
NAN_TRIS = np.vstack([np.repeat(TRIS.reshape(1, 6), 2, 0), [(0.0, np.nan, 1, 0, 0, 1)]])
SQUARE = [(0, 0), (2, 0), (2, 2), (0, 2)]
S = Strut.across((0, 0), 0.3, 0.5, 4.0)
GRID = Pixels.grid((2, 2))
BIG = np.broadcast_to(np.zeros(6), (2**31, 6))  # no memory behind it
HUGE_GRID = (2**31 - 1, 2**31 - 1)
SHARED = np.zeros((4, 6))
SQUARE_IMAGE = np.zeros((6, 6))  # its first row read as one triangle


def read_only(shape):
    a = np.zeros(shape)
    a.setflags(write=False)
    return a


GRIDS = {
    "shape_int": (TypeError, "shape", lambda: Pixels.grid(42)),
    "origin_and_center": (TypeError, "center", lambda: Pixels.grid((2, 2), origin=(0, 0),
                                                                   center=(0, 0))),
    "singular_matrix": (ValueError, "matrix", lambda: Pixels.grid((2, 2), matrix=[[1, 2], [2, 4]])),
    "zero_scale": (ValueError, "scale", lambda: Pixels.grid((2, 2), scale=0)),
    "zero_scale_pair": (ValueError, "scale.*singular", lambda: Pixels.grid((2, 2), scale=(1, 0))),
    "singular_jacobian": (ValueError, "jacobians must be non-singular", lambda: Pixels.from_arrays(
        np.zeros((2, 2)), np.zeros((2, 2)), [[1, 2], [2, 4]])),
    "jacobian_nan": (ValueError, r"jacobians\[1, 1\] is nan", lambda: Pixels.from_arrays(
        np.zeros((2, 2)), np.zeros((2, 2)), [[1, 0], [0, math.nan]])),
    "centres_shape": (ValueError, "centres must have the shape of positions", lambda: (
        Pixels.from_arrays(np.zeros((2, 2)), np.zeros((3, 2)), np.eye(2)))),
}

CLIPPING = {
    "complex_triangles": (TypeError, "triangles must hold real numbers", lambda: trovel.clip_to_circle(
        np.zeros((2, 6), complex), (0, 0), 1)),
    "string_triangles": (TypeError, "triangles must hold real numbers", lambda: trovel.clip_to_circle(
        [["a"] * 6], (0, 0), 1)),
    "triangles_shape": (ValueError, r"triangles must have shape \(n, 3, 2\)", lambda: (
        trovel.clip_to_circle(np.zeros((2, 5)), (0, 0), 1))),
    "triangles_ragged": (TypeError, "triangles must be an array", lambda: trovel.clip_to_strut(
        [[1, 2], [3]], S)),
    "too_many_triangles": (ValueError, "at most 536870911 fit", lambda: trovel.clip_to_circle(
        BIG, (0, 0), 1)),
    "too_many_to_cut": (ValueError, "at most 306783378 fit", lambda: trovel.clip_to_strut(
        BIG[: 2**31 // 7 + 1], S)),
    "center_shape": (ValueError, "center must be a pair", lambda: trovel.clip_to_circle(
        np.zeros((1, 6)), (0, 0, 0), 1)),
    "radius_nan": (ValueError, "radius must be finite", lambda: trovel.clip_to_circle(
        np.zeros((1, 6)), (0, 0), math.nan)),
    "radius_negative": (ValueError, "radius", lambda: trovel.clip_to_circle(TRIS, (0, 0), -1.0)),
    "keep_mode": (ValueError, "keep must be one of", lambda: trovel.clip_to_circle(
        np.zeros((1, 6)), (0, 0), 1, keep="in")),
    "keep_array": (TypeError, "keep", lambda: trovel.clip_to_circle(
        TRIS, (0, 0), 1.0, keep=np.array(["inside"]))),
    "margin_inf": (ValueError, "margin must be finite", lambda: trovel.clip_to_strut(
        np.zeros((1, 6)), S, margin=math.inf)),
    "strut_type": (TypeError, "strut must be a trovel.Strut", lambda: trovel.clip_to_strut(
        np.zeros((1, 6)), (0, 0, 1, 0))),
    "out_small": (ValueError, "out must hold at least 8 records", lambda: trovel.clip_to_circle(
        np.zeros((2, 6)), (0, 0), 1, out=np.empty((7, 6)))),
    "nan_vertex_by_circle": (ValueError, r"triangle 2 \(triangles\[2, 1\]\) is nan",
                             lambda: trovel.clip_to_circle(NAN_TRIS, (0, 0), 1.0)),
    "nan_vertex_by_strut": (ValueError, "triangle 2 ", lambda: trovel.clip_to_strut(NAN_TRIS, S)),
}

AREAS_AND_DEPOSITS = {
    "too_many_to_deposit": (ValueError, "at most 2147483647 fit", lambda: trovel.deposit_triangles(
        BIG, 1.0, size=3)),
    "values_length": (ValueError, "values must be a number or one per item", lambda: (
        trovel.deposit_triangles(np.zeros((2, 6)), [1, 2, 3], size=3))),
    "values_count_frame": (ValueError, "triangles holds 1", lambda: trovel.deposit_triangles(
        TRIS, [1.0, 2.0], shape=(2, 2))),
    "values_masked": (TypeError, "masked", lambda: trovel.deposit_triangles(
        TRIS, np.ma.array([1.0], mask=[True]), size=3)),
    "no_size": (TypeError, "give the image size", lambda: trovel.deposit_triangles(
        np.zeros((2, 6)), 1.0)),
    "size_zero": (ValueError, "size must lie in 1 ..", lambda: trovel.deposit_triangles(
        np.zeros((2, 6)), 1.0, size=0)),
    "size_float": (TypeError, "size must be an integer", lambda: trovel.deposit_triangles(
        np.zeros((2, 6)), 1.0, size=3.0)),
    "size_huge": (ValueError, "size", lambda: trovel.deposit_triangles(TRIS, 1.0, size=2**31 - 1)),
    "size_and_shape": (TypeError, "size", lambda: trovel.deposit_triangles(
        TRIS, 1.0, size=3, shape=(3, 3))),
    "origin_without_shape": (TypeError, "shape", lambda: trovel.deposit_triangles(
        TRIS, 1.0, size=3, origin=(0, 0))),
    "shape_int": (TypeError, "shape", lambda: trovel.deposit_triangles(TRIS, 1.0, shape=3)),
    "shape_zero": (ValueError, "shape", lambda: trovel.deposit_triangles(TRIS, 1.0, shape=(0, 3))),
    "shape_huge": (ValueError, "shape", lambda: trovel.deposit_triangles(
        TRIS, 1.0, shape=HUGE_GRID)),
    "scale_zero": (ValueError, "scale", lambda: trovel.deposit_triangles(
        TRIS, 1.0, shape=(2, 2), scale=(1.0, 0.0))),
    "scale_huge_int": (ValueError, "scale", lambda: trovel.deposit_triangles(
        TRIS, 1.0, shape=(2, 2), scale=10**400)),
    "pixels_overflow": (ValueError, "overflow", lambda: trovel.deposit_triangles(
        [[(1e308, 0), (1e308, 1), (-1e308, 0)]], 1.0, shape=(2, 2), scale=0.5)),
    "threads_centred": (ValueError, "threads", lambda: trovel.deposit_triangles(
        TRIS, 1.0, size=3, threads=2)),
    "threads_zero": (ValueError, "threads", lambda: trovel.deposit_triangles(
        TRIS, 1.0, shape=(2, 2), threads=0)),
    "threads_float": (TypeError, "threads", lambda: trovel.deposit_triangles(
        TRIS, 1.0, shape=(2, 2), threads=2.0)),
    "image_not_square": (ValueError, "out must be a square 2-d image", lambda: (
        trovel.deposit_triangles(np.zeros((1, 6)), 1.0, out=np.zeros((3, 4))))),
    "image_read_only": (ValueError, "out must be writable", lambda: trovel.deposit_triangles(
        np.zeros((1, 6)), 1.0, out=read_only((3, 3)))),
    "image_dtype": (TypeError, "out must have dtype float64", lambda: trovel.deposit_triangles(
        np.zeros((1, 6)), 1.0, out=np.zeros((3, 3), np.float32))),
    "image_strided": (ValueError, "out must be C-contiguous", lambda: trovel.deposit_triangles(
        np.zeros((1, 6)), 1.0, out=np.zeros((6, 6))[::2, ::2])),
    "image_is_input": (ValueError, "out must not share memory", lambda: (
        trovel.deposit_triangles(SQUARE_IMAGE[:1], 1.0, out=SQUARE_IMAGE))),
    "frame_out_shape": (ValueError, "out", lambda: trovel.deposit_triangles(
        TRIS, 1.0, shape=(2, 2), out=np.zeros((3, 2)))),
    "frame_out_masked": (TypeError, "masked", lambda: trovel.deposit_triangles(
        TRIS, 1.0, shape=(2, 2), out=np.ma.zeros((2, 2)))),
    "centred_out_masked": (TypeError, "masked", lambda: trovel.deposit_triangles(
        TRIS, 1.0, out=np.ma.zeros((3, 3)))),
    "frame_out_over_triangles": (ValueError, "share", lambda: trovel.deposit_triangles(
        SHARED[:1], 1.0, shape=(2, 4), out=SHARED.reshape(6, 4)[:2])),
    "nan_vertex_frame": (ValueError, "triangle 2 ", lambda: trovel.deposit_triangles(
        NAN_TRIS, 1.0, shape=(3, 3))),
    "nan_vertex_centred": (ValueError, "triangle 2 ", lambda: trovel.deposit_triangles(
        NAN_TRIS, 1.0, size=3)),
    "nan_vertex_area": (ValueError, "triangle 2 ", lambda: trovel.triangle_areas(NAN_TRIS)),
    "inf_vertex_overlap": (ValueError, r"triangle\[1, 0\] is inf", lambda: trovel.overlap_area(
        [(0, 0), (np.inf, 0), (0, 1)], (0, 0))),
    "pixel_not_a_pair": (TypeError, "pixel", lambda: trovel.overlap_area(TRIS[0], 0)),
    "pixel_three": (ValueError, "pixel", lambda: trovel.overlap_area(TRIS[0], (0, 0, 0))),
    "pixel_index_range": (ValueError, r"pixel\[0\] must lie in", lambda: trovel.overlap_area(
        np.zeros(6), (2**31, 0))),
    "pixel_index_float": (TypeError, r"pixel\[0\] must be an integer", lambda: (
        trovel.overlap_area(np.zeros(6), (0.5, 0)))),
    "triangle_shape": (ValueError, r"triangle must have shape \(3, 2\)", lambda: (
        trovel.overlap_area(np.zeros(5), (0, 0)))),
}


COVERAGES = {
    "radius_string": (TypeError, "radius must be a real number", lambda: trovel.circle_coverage(
        GRID, (0, 0), "1")),
    "radius_negative": (ValueError, "radius", lambda: trovel.circle_coverage(GRID, (0, 0), -1.0)),
    "out_shape": (ValueError, r"out must have shape \(2, 2\)", lambda: trovel.circle_coverage(
        GRID, (0, 0), 1, out=np.empty(4))),
    "out_read_only": (ValueError, "out must be writable", lambda: trovel.edge_coverage(
        GRID, (0, 0), (1, 0), out=read_only((2, 2)))),
    "pixels_type": (TypeError, "pixels must be a trovel.Pixels", lambda: trovel.circle_coverage(
        np.zeros((2, 2)), (0, 0), 1)),
    "zero_direction": (ValueError, "direction must not be the zero vector", lambda: (
        trovel.edge_coverage(GRID, (0, 0), (0, 0)))),
    "per_pixel_edge_shape": (ValueError, "point and direction must be pairs or arrays", lambda: (
        trovel.edge_coverage(GRID, np.zeros((3, 2)), np.ones((3, 2))))),
    "huge_result": (ValueError, "result.*pixels", lambda: trovel.circle_coverage(
        Pixels.grid(HUGE_GRID), (0, 0), 1.0)),
    "strut_through_its_own_point": (ValueError, "point2 lies on edge line 1", lambda: Strut(
        (0, 0), (1, 0), (1, 0), (1, 0), (0, 0), 1.0)),
    "strut_line_1_through_point_2": (ValueError, "point2.*point1, direction1", lambda: Strut(
        (0, 0), (1, 0), (3, 0), (1, 1), (0, 0), 1.0)),
    "strut_line_2_through_point_1": (ValueError, "point1.*point2, direction2", lambda: Strut(
        (0, 0), (1, 1), (3, 0), (1, 0), (0, 0), 1.0)),
    "strut_negative_length": (ValueError, "length must not be negative", lambda: Strut.across(
        (0, 0), 0.0, 1.0, -1.0)),
    "strut_across_overflow": (ValueError, "center", lambda: Strut.across(
        (1e308, -1e308), 0.7, 1.0, 1.0)),
}

MASKS = {
    "grid_x_unsorted": (ValueError, "grid_x must be ascending", lambda: trovel.polygon_mask(
        np.zeros((3, 2)), [1, 0], [0])),
    "grid_x_2d": (ValueError, "grid_x must be a 1-d array", lambda: trovel.polygon_mask(
        np.zeros((3, 2)), np.zeros((2, 2)), [0])),
    "grid_x_scalar": (ValueError, "grid_x", lambda: trovel.polygon_mask(SQUARE, 1.0, [0.0, 1.0])),
    "grid_y_scalar": (ValueError, "grid_y", lambda: trovel.polygon_mask(SQUARE, [0.0, 1.0], 1.0)),
    "grid_y_nan": (ValueError, r"grid_y\[1\] is nan", lambda: trovel.polygon_mask(
        SQUARE, [0.0, 1.0], [0.0, np.nan, 1.0])),
    "grid_x_nan": (ValueError, r"grid_x\[2\] is nan", lambda: trovel.polygon_mask(
        SQUARE, [0.0, 1.0, np.nan], [0.0])),
    "polygon_shape": (ValueError, r"polygon must have shape \(n, 2\)", lambda: trovel.polygon_mask(
        np.zeros((3, 3)), [0, 1], [0])),
    "polygon_nan_vertex": (ValueError, r"polygon\[0, 1\] is nan", lambda: trovel.polygon_mask(
        [(0, np.nan), (2, 0), (2, 2)], [0, 1], [0])),
    "out_dtype": (TypeError, "out must have dtype bool", lambda: trovel.polygon_mask(
        np.zeros((3, 2)), [0, 1], [0], out=np.zeros((1, 2), np.uint8))),
}

SHAPES = {
    "radius_zero": (ValueError, "radius", lambda: Disc((0, 0), 0.0)),
    "radius_nan": (ValueError, "radius", lambda: Disc((0, 0), math.nan)),
    "center_inf": (ValueError, "center", lambda: Disc((math.inf, 0), 1.0)),
    "two_vertices": (ValueError, "vertices", lambda: Polygon([(0, 0), (1, 1)])),
    "bow_tie": (ValueError, "simple", lambda: Polygon([(0, 0), (1, 1), (1, 0), (0, 1)])),
    "folds_back": (ValueError, "simple", lambda: Polygon([(0, 0), (2, 0), (1, 0), (1, 1)])),
    "vertex_nan": (ValueError, "vertices", lambda: Polygon([(0, 0), (1, math.nan), (1, 1)])),
    "flat": (ValueError, "vertices", lambda: Polygon([(0, 0), (1, 1), (2, 2)])),
    "width_negative": (ValueError, "width", lambda: Rectangle((0, 0), 0.0, -1.0, 2.0)),
    "union_with_a_number": (TypeError, "other", lambda: Disc((0, 0), 1.0) | 3),
    "xor_with_a_number": (TypeError, "other", lambda: Ellipse((0, 0), 1.0, 1.0) ^ 3),
    "render_a_string": (TypeError, "shape", lambda: trovel.render("disc", Pixels.grid((2, 2)))),
    "render_huge": (ValueError, "pixels", lambda: trovel.render(Disc((0, 0), 1.0),
                                                                Pixels.grid(HUGE_GRID))),
    "pupil_without_strut_width": (ValueError, "strut_width", lambda: trovel.pupil(2.0, struts=3)),
    "pupil_struts_not_whole": (ValueError, "struts must be a whole number", lambda: trovel.pupil(
        8.0, 0.3, 3.5, 0.2)),
    "ellipse_a_zero": (ValueError, "a must be positive", lambda: Ellipse((0, 0), 0.0, 1.0)),
    "ellipse_b_nan": (ValueError, "b", lambda: Ellipse((0, 0), 1.0, math.nan)),
    "ellipse_axes_too_far_apart": (ValueError, "too far apart", lambda: Ellipse(
        (0, 0), 1.0, 1e-200)),
    "singular_map": (ValueError, "non-singular", lambda: Disc((0, 0), 1.0).transformed(
        ((1.0, 2.0), (2.0, 4.0)))),
    "map_not_2x2": (ValueError, "2x2", lambda: Disc((0, 0), 1.0).transformed(np.eye(3))),
    "scale_zero": (ValueError, "factor", lambda: Disc((0, 0), 1.0).scaled((1.0, 0.0))),
    "annulus_inner_not_inside": (ValueError, "less than", lambda: trovel.annulus((0, 0), 2.0, 1.0)),
    "annulus_inner_b_too_wide": (ValueError, "b_in", lambda: trovel.elliptical_annulus(
        (0, 0), 1.0, 2.0, 1.0, b_in=1.5)),
    "stadium_too_short": (ValueError, "at least", lambda: trovel.stadium((0, 0), 0.0, 2.0, 1.0)),
}

PHOTOMETRY = {
    "positions_with_shapes": (ValueError, "apertures", lambda: trovel.photometry(
        np.ones((4, 4)), [Disc((0, 0), 1.0)], [(1.0, 1.0)])),
    "mask_not_bool": (TypeError, "mask", lambda: trovel.photometry(
        np.ones((4, 4)), Disc((0, 0), 1.0), [(1.0, 1.0)], mask=np.zeros((4, 4)))),
    "pixels_shape": (ValueError, "pixels", lambda: trovel.photometry(
        np.ones((4, 4)), Disc((0, 0), 1.0), [(1.0, 1.0)], pixels=Pixels.grid((4, 5)))),
    "nan_position": (ValueError, r"positions\[0, 1\]", lambda: trovel.photometry(
        np.ones((4, 4)), Disc((0, 0), 1.0), [(1.0, np.nan)])),
    "error_shape": (ValueError, "error", lambda: trovel.photometry(
        np.ones((4, 4)), Disc((0, 0), 1.0), [(1.0, 1.0)], error=np.ones((3, 4)))),
}

TELESCOPES = {
    "spiders_not_a_bool": (TypeError, "spiders must be True or False", lambda: telescopes.hst(
        spiders="no")),
    "segments_not_a_bool": (TypeError, "segments must be True or False", lambda: telescopes.elt(
        segments=1)),
    "area_of_a_number_in_a_list": (TypeError, r"shape\[1\] must be a Shape", lambda: (
        telescopes.collecting_area([telescopes.habex(), 2.0]))),
    "area_of_a_number": (TypeError, "must be a Shape or an iterable", lambda: (
        telescopes.collecting_area(3.0))),
}

CORNERS = Pixels.from_corners(*np.meshgrid(np.arange(4.0), np.arange(3.0)))
FOLDED_X = np.array([[0.0, 2.0, 1.0], [0.0, 2.0, 1.0]])
NAN_X = np.zeros((3, 4))
NAN_X[1, 2] = math.nan


class NoSky:
    """Not a WCS."""


RESAMPLING = {
    "corners_shapes": (ValueError, r"y must have the shape of x \(3, 4\)", lambda: (
        Pixels.from_corners(np.zeros((3, 4)), np.zeros((3, 5))))),
    "corners_1d": (ValueError, "x must be a 2-d array of corners", lambda: Pixels.from_corners(
        np.zeros(4), np.zeros(4))),
    "corners_nan": (ValueError, r"x must be finite: x\[1, 2\] is nan", lambda: (
        Pixels.from_corners(NAN_X, np.zeros((3, 4))))),
    "corners_strings": (TypeError, "x must hold real numbers", lambda: Pixels.from_corners(
        [["a", "b"], ["c", "d"]], np.zeros((2, 2)))),
    "corners_fold": (ValueError, r"fold the map: pixel \[0, 1\]'s footprint runs against", lambda: (
        Pixels.from_corners(FOLDED_X, [[0.0, 0.0, 0.0], [1.0, 1.0, 1.0]]))),
    "corners_collapsed": (ValueError, r"pixel \[0, 0\]'s footprint is not a simple", lambda: (
        Pixels.from_corners(np.zeros((2, 2)), [[0.0, 0.0], [1.0, 1.0]]))),
    "mapping_not_callable": (TypeError, "f must be callable", lambda: Pixels.from_mapping(
        3, (2, 2))),
    "mapping_not_a_pair": (TypeError, r"f\(u, v\) must return a pair", lambda: (
        Pixels.from_mapping(lambda u, v: u, (2, 2)))),
    "mapping_shape": (ValueError, r"must have the corners' shape \(3, 3\)", lambda: (
        Pixels.from_mapping(lambda u, v: (u[:2], v[:2]), (2, 2)))),
    "coverage_of_corners": (TypeError, "edge_coverage takes parallelogram footprints.*render",
                            lambda: trovel.edge_coverage(CORNERS, (0, 0), (0, 1))),
    "circle_coverage_of_corners": (TypeError, "circle_coverage takes parallelogram", lambda: (
        trovel.circle_coverage(CORNERS, (0, 0), 1.0))),
    "target_not_a_grid": (TypeError, "target must be a lazy affine grid", lambda: (
        trovel.resample(np.ones((2, 3)), CORNERS, CORNERS))),
    "image_shape": (ValueError, r"image must have the shape of pixels \(2, 3\)", lambda: (
        trovel.resample(np.ones((3, 3)), CORNERS, GRID))),
    "variance_shape": (ValueError, "variance must have the shape of pixels", lambda: (
        trovel.resample(np.ones((2, 3)), CORNERS, GRID, variance=np.ones(6)))),
    "image_complex": (TypeError, "image must hold real numbers", lambda: trovel.resample(
        np.ones((2, 3), complex), CORNERS, GRID)),
    "into_type": (TypeError, "into must be a trovel.Resampled", lambda: trovel.resample(
        np.ones((2, 3)), CORNERS, GRID, into=(np.zeros((2, 2)),) * 4)),
    "into_shape": (ValueError, r"into.image must have shape \(3, 3\)", lambda: trovel.resample(
        np.ones((2, 3)), CORNERS, Pixels.grid((3, 3)),
        into=trovel.resample(np.ones((2, 3)), CORNERS, GRID))),
    "into_without_variance": (ValueError, "into holds a variance", lambda: trovel.resample(
        np.ones((2, 3)), CORNERS, GRID,
        into=trovel.resample(np.ones((2, 3)), CORNERS, GRID, variance=np.ones((2, 3))))),
    "into_read_only": (ValueError, "into.weight must be writable", lambda: trovel.resample(
        np.ones((2, 3)), CORNERS, GRID, into=trovel.Resampled(
            np.zeros((2, 2)), read_only((2, 2)), None, 0.0))),
    "into_shared": (ValueError, "must not share memory", lambda: trovel.resample(
        np.ones((2, 3)), CORNERS, GRID, into=trovel.Resampled(*(np.zeros((2, 2)),) * 2, None,
                                                              0.0))),
    "resample_threads": (ValueError, "threads", lambda: trovel.resample(
        np.ones((2, 3)), CORNERS, GRID, threads=0)),
    "wcs_type": (TypeError, "wcs must be a WCS with pixel_to_world_values", lambda: (
        Pixels.from_wcs(NoSky(), (2, 2)))),
    "sky_center": (ValueError, "latitude must lie in", lambda: trovel.sky_to_plane(
        [0.0], [0.0], (0.0, 91.0))),
    "reproject_image": (ValueError, "image must be a 2-d image", lambda: trovel.reproject(
        np.ones(4), NoSky(), NoSky(), (2, 2))),
}

TABLES = {"grid": GRIDS, "clip": CLIPPING, "deposit": AREAS_AND_DEPOSITS, "coverage": COVERAGES,
          "mask": MASKS, "shapes": SHAPES, "photometry": PHOTOMETRY, "telescopes": TELESCOPES,
          "resampling": RESAMPLING}
CASES = {f"{table}-{name}": case for table, cases in TABLES.items() for name, case in cases.items()}


@pytest.mark.parametrize("error,pattern,call", CASES.values(), ids=CASES.keys())
def test_refused_with_a_message_naming_the_argument(error, pattern, call):
    in_child(raises(error, pattern, call))
