"""Hostile arguments to the checked layer: a clear error naming the argument,
or the right result; never a crash, a write outside an output or a silent
wrong value.  Each case runs in a forked child, so a crash fails only it."""
import numbers
import re
import tracemalloc
from fractions import Fraction

import numpy as np
import pytest

import trovel
from helpers import in_child, raises, same_bits
from trovel import Pixels, Strut, _kernels

TRIS = np.array([[(0.0, 0.0), (2.0, 0.0), (0.0, 2.0)]])
SQUARE = [(0, 0), (2, 0), (2, 2), (0, 2)]
S = Strut.across((0, 0), 0.3, 0.5, 4.0)


def per_pixel(n=30):
    pos = np.stack(np.meshgrid(np.arange(n, dtype=float), np.arange(n, dtype=float)), -1)
    return Pixels.from_arrays(pos, pos - n / 2, np.eye(2))


@numbers.Real.register
class Resizing:
    """A number whose conversion runs the caller's code first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return self.value


class ArrayResizing:
    """An array-like whose conversion runs the caller's code first."""

    def __init__(self, values, action):
        self.values, self.action = values, action

    def __array__(self, dtype=None, copy=None):
        self.action()
        return np.asarray(self.values, dtype=dtype)


def private(p, k):
    """The private array behind a read-only field of per-pixel footprints."""
    return getattr(p, k).base


def writable(arr):
    """A plain view of a pixel set's private, read-only array made writable
    again, as only code reaching past the pixel set can."""
    arr.flags.writeable = True
    return np.ndarray.view(arr, np.ndarray)


# --- 1. state changed after the checks: every address comes from arrays checked last ------

def lying_subclass(**props):
    base = per_pixel(4)
    cls = type("Lying", (type(base),), {k: property(lambda s, v=v: v) for k, v in props.items()})
    return cls(*(np.array(getattr(base, f)) for f in ("px", "py", "qx", "qy", "j00", "j01",
                                                      "j10", "j11")), base.shape)


def resized_by_radius():
    p = per_pixel(200)
    r = Resizing(3.0, lambda: private(p, "qx").resize(1, refcheck=False))
    trovel.circle_coverage(p, (0, 0), r)


def out_resized_by_radius():
    out = np.empty((30, 30))
    trovel.circle_coverage(per_pixel(), (0, 0), Resizing(3.0, lambda: out.resize(1, refcheck=False)),
                           out=out)


def triangles_resized_by_radius():
    tris = np.repeat(TRIS.reshape(1, 6), 1000, axis=0)
    r = Resizing(1.0, lambda: tris.resize((1, 6), refcheck=False))
    assert same_bits(trovel.clip_to_circle(tris, (0, 0), r).triangles,
                     trovel.clip_to_circle(TRIS.reshape(1, 6), (0, 0), 1.0).triangles)


def triangles_resized_by_values():
    tris = np.repeat(TRIS.reshape(1, 6), 1000, axis=0)
    vals = ArrayResizing([1.0], lambda: tris.resize((1, 6), refcheck=False))
    assert same_bits(trovel.deposit_triangles(tris, vals, shape=(3, 3)).image,
                     trovel.deposit_triangles(TRIS, 1.0, shape=(3, 3)).image)


def grid_x_resized_by_grid_y():
    gx = np.arange(1000.0)
    gy = ArrayResizing([0.5, 1.5], lambda: gx.resize(3, refcheck=False))
    assert (trovel.polygon_mask(SQUARE, gx, gy)
            == trovel.polygon_mask(SQUARE, np.arange(3.0), [0.5, 1.5])).all()


def vars_replaced():
    g = per_pixel()
    with pytest.raises(TypeError):
        vars(g)
    with pytest.raises(AttributeError):
        g.qx = np.zeros(1)


def polygon_vertices_changed_after_construction():
    # A polygon is checked once (simple, counter-clockwise, its area): it
    # must not follow later changes to the caller's array.
    vertices = np.array([(0.0, 0.0), (3.0, 0.0), (0.0, 3.0)])
    polygon = trovel.Polygon(vertices)
    want = trovel.render(polygon, Pixels.grid((4, 4)))
    vertices[1] = (-3.0, 3.0)   # now clockwise, and a different triangle
    assert same_bits(trovel.render(polygon, Pixels.grid((4, 4))), want)


@numbers.Integral.register
class ResizingInt:
    """An integer whose conversion runs the caller's code first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __int__(self):
        self.action()
        return self.value

    __index__ = __int__


def render_out_resized():
    out = np.empty((30, 30))
    trovel.render(trovel.Disc((0, 0), 3.0), Pixels.grid((30, 30)), out=out,
                  threads=ResizingInt(1, lambda: out.resize(1, refcheck=False)))


def polygon_from_resizing_vertices():
    # the array the vertices come from shrinks while they are converted:
    # the polygon is built from what the conversion returned
    source = np.array([(0.0, 0.0), (3.0, 0.0), (3.0, 3.0), (0.0, 3.0)])
    square = trovel.Polygon(ArrayResizing(source, lambda: source.resize((3, 2), refcheck=False)))
    assert square.vertices.shape == (3, 2) and square.area_bound() == 4.5


STALE = {
    "resized_field": raises(ValueError, "changed", lambda: (
        private(P := per_pixel(200), "qx").resize(1, refcheck=False),
        trovel.circle_coverage(P, (0, 0), 3.0))),
    "resized_corners": raises(ValueError, "changed", lambda: (
        (P := Pixels.from_corners(*np.meshgrid(np.arange(31.0), np.arange(31.0))))
        .corners()[1].base.resize((2, 2), refcheck=False),
        trovel.render(trovel.Disc((15, 15), 10.0), P))),
    "subclass_lies_about_shape": raises(ValueError, "changed", lambda: trovel.circle_coverage(
        lying_subclass(shape=(1000, 1000)), (0, 0), 1.0)),
    "subclass_lies_about_footprints": lambda: np.testing.assert_array_equal(
        trovel.strut_coverage(lying_subclass(footprints=lambda: (np.zeros(1),) * 6), S),
        trovel.strut_coverage(per_pixel(4), S)),
    "subclass_gives_short_arrays": raises(ValueError, "changed", lambda: trovel.strut_coverage(
        lying_subclass(_native_arrays=lambda: (np.zeros(1),) * 8), S)),
    "radius_resizes_pixels": raises(ValueError, "changed", resized_by_radius),
    "radius_resizes_out": raises(ValueError, "out must have shape", out_resized_by_radius),
    "radius_resizes_triangles": triangles_resized_by_radius,
    "values_resize_triangles": triangles_resized_by_values,
    "grid_y_resizes_grid_x": grid_x_resized_by_grid_y,
    "vars": vars_replaced,
    "polygon_vertices": polygon_vertices_changed_after_construction,
    "render_subclass_lies_about_shape": raises(ValueError, "changed", lambda: trovel.render(
        trovel.Disc((0, 0), 3.0), lying_subclass(shape=(1000, 1000)))),
    "render_subclass_lies_about_footprints": lambda: np.testing.assert_array_equal(
        trovel.render(trovel.Disc((0, 0), 3.0),
                      lying_subclass(footprints=lambda: (np.zeros(1),) * 6)),
        trovel.render(trovel.Disc((0, 0), 3.0), per_pixel(4))),
    "threads_resize_render_out": raises(ValueError, "out must have shape", render_out_resized),
    "vertices_resize_themselves": polygon_from_resizing_vertices,
}


@pytest.mark.parametrize("case", STALE.values(), ids=STALE.keys())
def test_state_changed_after_the_checks(case):
    in_child(case)


# --- 2. outputs that lie, masked arrays -------------------------------------------------

class Liar(np.ndarray):
    """Claims a larger shape, other flags and a fake address."""

    shape = property(lambda self: (1000, 1000))
    size = property(lambda self: 10**12)
    flags = property(lambda self: np.empty(1).flags)
    ctypes = property(lambda self: None)


def liar(n, dtype=np.float64, source=None):
    arr = np.frombuffer(source, dtype) if source is not None else np.empty(n, dtype)
    return arr.view(Liar)


MASKED = np.ma.masked_array(np.zeros((30, 30)), mask=True)
SUBCLASSED = {
    "render": raises(ValueError, "out must have shape", lambda: trovel.render(
        trovel.Disc((0, 0), 3.0), per_pixel(), out=liar(4))),
    "render_masked_out": raises(TypeError, "masked", lambda: trovel.render(
        trovel.Disc((0, 0), 3.0), Pixels.grid((30, 30)), out=MASKED)),
    "coverage": raises(ValueError, "out must have shape", lambda: trovel.circle_coverage(
        per_pixel(), (0, 0), 5.0, out=liar(4))),
    "mask": raises(ValueError, "out must have shape", lambda: trovel.polygon_mask(
        SQUARE, np.arange(100.0), np.arange(100.0), out=liar(4, np.bool_))),
    "clip": raises(ValueError, "out must hold", lambda: trovel.clip_to_circle(
        np.repeat(TRIS, 100, 0), (0, 0), 1.0, out=liar(6))),
    "read_only_bytes": raises(ValueError, "writable", lambda: trovel.circle_coverage(
        per_pixel(1), (0, 0), 5.0, out=liar(1, source=bytes(8)).reshape(1, 1))),
    "deposit": raises(ValueError, "out", lambda: trovel.deposit_triangles(
        TRIS, 1.0, size=3, out=liar(4).reshape(2, 2))),
    "masked_out": raises(TypeError, "masked", lambda: trovel.circle_coverage(
        per_pixel(), (0, 0), 5.0, out=MASKED)),
    "masked_input": raises(TypeError, "masked", lambda: trovel.clip_to_circle(
        np.ma.masked_array(TRIS), (0, 0), 1.0)),
    "masked_grid": raises(TypeError, "grid_x must not be a masked", lambda: trovel.polygon_mask(
        SQUARE, np.ma.masked_array([0.0, 1.0]), [0.0])),
}


@pytest.mark.parametrize("case", SUBCLASSED.values(), ids=SUBCLASSED.keys())
def test_outputs_are_checked_through_the_base_class(case):
    in_child(case)


# --- 3. overlap between an output and an input ------------------------------------------

def edge_out_over_point():
    pt = np.zeros((2, 2, 2))
    trovel.edge_coverage(per_pixel(2), pt, np.ones((2, 2, 2)), out=pt.reshape(-1)[:4].reshape(2, 2))


def mask_over_grid_x():
    gx = np.arange(32.0)
    trovel.polygon_mask(SQUARE, gx, np.arange(8.0), out=gx.view(np.bool_)[:256].reshape(8, 32))


OVERLAPS = {
    "coverage_over_pixels": lambda: trovel.circle_coverage(
        P := per_pixel(), (0, 0), 3.0, out=writable(private(P, "qx")).reshape(30, 30)),
    "edge_over_point": edge_out_over_point,
    "mask_over_grid_x": mask_over_grid_x,
    "clip_over_triangles": lambda: trovel.clip_to_circle(
        (T := np.zeros((40, 6)))[:10], (0, 0), 1.0, out=T),
    "render_over_pixels": lambda: trovel.render(
        trovel.Disc((0, 0), 3.0), P := per_pixel(),
        out=writable(private(P, "qy")).reshape(30, 30)),
}


@pytest.mark.parametrize("call", OVERLAPS.values(), ids=OVERLAPS.keys())
def test_outputs_overlapping_inputs_are_refused(call):
    in_child(raises(ValueError, "share memory", call))


# --- 4. scalars: the checked value is the one used --------------------------------------

G = Pixels.grid((20, 20), center=(0, 0), scale=0.4)
SCALARS = {
    "float32_rotation": lambda: Pixels.grid((3, 3), rotation=np.float32(0.2)).affine
    == Pixels.grid((3, 3), rotation=float(np.float32(0.2))).affine,
    "longdouble_radius": lambda: same_bits(trovel.circle_coverage(G, (0, 0), np.longdouble(2.5)),
                                           trovel.circle_coverage(G, (0, 0), 2.5)),
    "fraction_scale": lambda: Pixels.grid((2, 2), scale=Fraction(1, 4)).affine[1][0][0] == 0.25,
    "fraction_pair": lambda: same_bits(trovel.circle_coverage(G, (Fraction(1, 2), 0), 1.0),
                                       trovel.circle_coverage(G, (0.5, 0), 1.0)),
    "whole_float_struts": lambda: same_bits(
        trovel.render(trovel.pupil(8.0, 0.3, 3.0, 0.2), G),
        trovel.render(trovel.pupil(8.0, 0.3, 3, 0.2), G)),
}


@pytest.mark.parametrize("call", SCALARS.values(), ids=SCALARS.keys())
def test_scalars_are_converted_once(call):
    def check():
        assert call()
    in_child(check)


@pytest.mark.parametrize("name,call", [
    ("radius", lambda: trovel.circle_coverage(G, (0, 0), 10**400)),
    ("radius", lambda: trovel.clip_to_circle(TRIS, (0, 0), Fraction(10**400))),
    ("scale", lambda: Pixels.grid((2, 2), scale=-10**400)),
    ("center", lambda: trovel.circle_coverage(G, (10**400, 0), 1.0)),
])
def test_huge_numbers_are_value_errors(name, call):
    in_child(raises(ValueError, name, call))


# --- 5. derived values that overflow ----------------------------------------------------

def strut_with_long_directions():
    # the side test of these directions overflows to inf - inf
    s = Strut((0, 0), (-1e300, -1e300), (2e9, 1e9), (1e300, 1e300), (1e9, 0.5e9), 1e10)
    assert s.direction1 == (1e300, 1e300) and s.direction2 == (1e300, 1e300)


DERIVED = {
    "huge_matrix": raises(ValueError, "determinant", lambda: Pixels.grid(
        (2, 2), matrix=[[1e200, 1e200], [-1e200, 1e200]])),
    "huge_scale": raises(ValueError, "determinant|overflow", lambda: Pixels.grid((3, 3), scale=1.7e308)),
    "centres_overflow": raises(ValueError, "overflow", lambda: Pixels.grid(
        (3, 3), origin=(1.75e308, 0), scale=(1e307, 1.0))),
    "huge_jacobians": raises(ValueError, "determinant", lambda: Pixels.from_arrays(
        [(0, 0)], [(0, 0)], [[1e200, -1e200], [1e200, 1e200]])),
    "strut_directions": strut_with_long_directions,
    "strut_points_far_apart": raises(ValueError, "too far", lambda: Strut(
        (-1e308, 0), (1, 1), (1e308, 0), (1, 1), (0, 0), 1.0)),
}


@pytest.mark.parametrize("case", DERIVED.values(), ids=DERIVED.keys())
def test_derived_values_are_finite(case):
    in_child(case)


# --- 6. shapes are checked before anything is copied ------------------------------------

HUGE = np.broadcast_to(np.zeros(1), (2 * 10**7, 3, 2))  # 960 MB if materialised
WRONG_SHAPES = {
    "polygon": lambda: trovel.polygon_mask(HUGE, [0.0], [0.0]),
    "positions": lambda: Pixels.from_arrays(HUGE[..., 0], HUGE[..., 0], np.eye(2)),
    "jacobians": lambda: Pixels.from_arrays([(0, 0)], [(0, 0)], HUGE[:, :2, :]),
    "matrix": lambda: Pixels.grid((2, 2), matrix=HUGE[:, :2, :]),
    "point": lambda: trovel.edge_coverage(G, HUGE[:, 0, :], HUGE[:, 0, :]),
    "triangles": lambda: trovel.clip_to_strut(HUGE[:, :2, :], S),
}


@pytest.mark.parametrize("call", WRONG_SHAPES.values(), ids=WRONG_SHAPES.keys())
def test_shapes_are_checked_before_copies(call):
    def check():
        tracemalloc.start()
        with pytest.raises(ValueError, match="shape"):
            call()
        assert tracemalloc.get_traced_memory()[1] < 10**7
    in_child(check)


# --- shapes anywhere in the range of doubles ------------------------------------------

SHAPE_MAKERS = {
    "polygon": lambda s: trovel.Polygon(np.array([(0, 0), (1, 0.2), (0.6, 1), (-0.3, 0.5)]) * s),
    "disc": lambda s: trovel.Disc((s, -s), s),
    "rectangle": lambda s: trovel.Rectangle((0.5 * s, 0), 0.3, s, 1.5 * s),
    "pupil": lambda s: trovel.pupil(s, 0.3, 4, 0.01 * s),
    "segments": lambda s: trovel.hexagonal_segments(1, s, 0.01 * s),
}


@pytest.mark.parametrize("scale", [5e-324, 1e-300, 1e-8, 1e8, 1e200, 1e300, 1.7e308])
@pytest.mark.parametrize("make", SHAPE_MAKERS.values(), ids=SHAPE_MAKERS.keys())
def test_shapes_build_without_warnings_or_are_refused(make, scale):
    def check():
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                shape = make(scale)
            except ValueError as error:
                assert re.search("vertices|rectangle|center|radius|diameter|width|length|flat_to_flat",
                                 str(error)), str(error)
                return
            image = trovel.render(shape, Pixels.grid((4, 4), center=(0.2 * scale, 0.2 * scale)))
        assert ((image >= 0) & (image <= 1)).all()
    in_child(check)


# --- arrays at an odd byte offset (made from a buffer, or unpickled) ---------------------

def unaligned(values, dtype=np.float64):
    values = np.asarray(values, dtype)
    raw = np.frombuffer(bytearray(values.nbytes + 1), np.uint8)[1:]
    arr = raw.view(dtype).reshape(values.shape)
    arr[...] = values
    assert not arr.flags.aligned
    return arr


def test_unaligned_inputs_are_copied_and_unaligned_outputs_refused():
    grid_x = np.arange(6.0) - 0.5
    want = trovel.polygon_mask(SQUARE, grid_x, grid_x)
    assert same_bits(trovel.polygon_mask(unaligned(SQUARE), unaligned(grid_x), grid_x), want)
    cut = trovel.clip_to_circle(unaligned(TRIS), (0, 0), 1.0)
    assert same_bits(cut.triangles, trovel.clip_to_circle(TRIS, (0, 0), 1.0).triangles)
    with pytest.raises(ValueError, match="aligned"):
        trovel.circle_coverage(Pixels.grid((2, 3)), (0, 0), 1.0, out=unaligned(np.zeros((2, 3))))


# --- the private kernels' own guards -------------------------------------------------------

GRID4 = np.arange(4.0)
KERNEL_MISUSE = {
    "polygon_not_float64": (TypeError, lambda: _kernels.polygon_mask(
        np.zeros((3, 2), np.float32), GRID4, GRID4, np.zeros((4, 4), bool))),
    "polygon_strided": (TypeError, lambda: _kernels.polygon_mask(
        np.zeros((3, 4))[:, ::2], GRID4, GRID4, np.zeros((4, 4), bool))),
    "polygon_shape": (ValueError, lambda: _kernels.polygon_mask(
        np.zeros((3, 3)), GRID4, GRID4, np.zeros((4, 4), bool))),
    "mask_shape": (ValueError, lambda: _kernels.polygon_mask(
        np.zeros((3, 2)), GRID4, GRID4, np.zeros((4, 3), bool))),
    "mask_dtype": (ValueError, lambda: _kernels.polygon_mask(
        np.zeros((3, 2)), GRID4, GRID4, np.zeros((4, 4), np.uint8))),
    "mask_read_only": (ValueError, lambda: _kernels.polygon_mask(
        np.zeros((3, 2)), GRID4, GRID4, np.broadcast_to(np.zeros(4, bool), (4, 4)))),
    "address_of_strided": (ValueError, lambda: _kernels.data_address(np.zeros((4, 4))[:, ::2])),
    "finite_of_ints": (TypeError, lambda: _kernels.all_finite(np.zeros(3, np.int64))),
}


@pytest.mark.parametrize("error,call", KERNEL_MISUSE.values(), ids=KERNEL_MISUSE.keys())
def test_private_kernels_refuse_what_they_cannot_read(error, call):
    in_child(raises(error, "", call))


TINY, HUGE_FINITE = np.nextafter(0.0, 1.0), np.finfo(np.float64).max


@pytest.mark.parametrize("values", [
    [], [np.nan], [1.0, np.nan], [np.nan, 1.0], [-0.0, 0.0, TINY], [-np.inf, np.inf],
    [HUGE_FINITE, -HUGE_FINITE], [2.0, 2.0, 1.0], [1.0, 2.0, 3.0, 4.0, 5.0, np.nan],
    [0.0, 1.0, 2.0, 3.0, np.inf, 4.0, 5.0],
], ids=repr)
def test_native_finite_and_order_tests_agree_with_numpy(values):
    arr = np.array(values, np.float64)
    assert _kernels.all_finite(arr) == bool(np.isfinite(arr).all())
    assert _kernels.ascending(arr) == (arr.size < 2 or bool((arr[1:] >= arr[:-1]).all()))


def test_a_shape_description_at_odd_byte_offsets_reads_as_aligned():
    # trovel.dask sends a shape's description to worker processes, where
    # unpickling may leave its arrays at any byte offset
    shape = trovel.Ellipse((0.3, 0.1), 2.0, 1.0, 0.4) ^ trovel.Rectangle((0, 0), 0.2, 1.0, 5.0)
    kinds, starts, counts, coords, program = shape.description()
    odd = _kernels.ShapeDescription(unaligned(kinds, np.int32), unaligned(starts, np.int32),
                                    unaligned(counts, np.int32), unaligned(coords),
                                    unaligned(program, np.int32))
    pixels = Pixels.grid((6, 7), center=(0.0, 0.0))
    assert _kernels.shape_area(odd) == shape.area()
    assert same_bits(trovel.render(shape, pixels), render_native(odd, pixels))


def render_native(native, pixels):
    pix = trovel._checks.pixel_set(pixels)
    res, view = pix.result(None)
    _kernels.render(native, pix.native, view, 1)
    return res
