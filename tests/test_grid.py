"""Lazy pixel grids evaluated by the native drivers, and cuts gathered chunk by
chunk: the same bits as the materialised grid, as `_trovel`'s callables and
as one native call."""
import math

import numpy as np
import pytest

import _trovel
import trovel
from helpers import run_clipper, same_bits
from trovel import Pixels, Strut, clip


def random_map(rng, kind):
    angle = rng.uniform(-math.pi, math.pi)
    rot = np.array([[math.cos(angle), -math.sin(angle)], [math.sin(angle), math.cos(angle)]])
    m = {"rotation": rot, "shear": np.array([[1.0, rng.uniform(-2, 2)], [0.0, 1.0]]) @ rot,
         "mirror": rot @ np.diag([-1.0, 1.0]),
         "axes": np.array([[-1.0, -0.0], [0.0, 0.5]]),
         "swapped": np.array([[0.0, -1.0], [0.5, -0.0]])}[kind]
    return m * rng.uniform(0.05, 3.0)


# Odd and even sizes, a single pixel, an empty grid, rows longer than a
# thread's piece of work.
SHAPES = [(7, 9), (8, 8), (5, 13), (3, 70), (1, 1), (0, 5), (2, 20000)]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("kind", ["rotation", "shear", "mirror", "axes", "swapped"])
def test_grids_give_the_bits_of_the_materialised_grid(shape, kind, rng):
    lazy = Pixels.grid(shape, origin=tuple(rng.uniform(-9, 9, 2)), matrix=random_map(rng, kind))
    full = lazy.materialize()
    assert full.affine is None and full.shape == lazy.shape
    strut = Strut.across(tuple(rng.uniform(-3, 3, 2)), rng.uniform(0, 3), 2.0, 30.0)
    points, dirs = rng.uniform(-9, 9, shape + (2,)), rng.normal(size=shape + (2,))
    calls = [
        lambda p, **kw: trovel.circle_coverage(p, tuple(rng.uniform(-3, 3, 2)), 6.0, **kw),
        lambda p, **kw: trovel.strut_coverage(p, strut, **kw),
        lambda p, **kw: trovel.edge_coverage(p, (0.5, -0.25), (0.6, 0.8), **kw),
        lambda p, **kw: trovel.edge_coverage(p, points, dirs, **kw),
    ]
    for call in calls:
        state = rng.bit_generator.state
        want = call(full)
        rng.bit_generator.state = state
        got = call(lazy, threads=3)
        rng.bit_generator.state = state
        out = np.full(shape, np.nan)
        assert call(lazy, out=out) is out
        assert same_bits(got, want) and same_bits(out, want)


# Circles of every size, edge lines along the rows, the columns, the diagonal
# and at random; struts thin and wide, a wedge (edges not parallel), along
# the rows, and lengths that cut the band short or run past the grid.  Each
# case gives (coverage, arguments) from a random point and direction.
ROW_FILLED = {f"circle_{r}": (lambda c, d, r=r: ("circle", (c, r)))
              for r in (0.0, 0.3, 2.5, 17.0, 60.0, 400.0)}
ROW_FILLED |= {f"edge_{name}": (lambda c, d, way=way: ("edge", (c, d if way is None else way)))
               for name, way in (("along_x", (1.0, 0.0)), ("along_y", (0.0, -3.0)),
                                 ("diagonal", (1.0, 1.0)), ("random", None))}
ROW_FILLED |= {f"strut_{name}": (lambda c, d, make=make: ("strut", (make(c, d),)))
               for name, make in (
                   ("thin", lambda c, d: Strut.across(c, math.atan2(d[1], d[0]), 0.3, 80.0)),
                   ("wide", lambda c, d: Strut.across(c, 0.7, 14.0, 60.0)),
                   ("short", lambda c, d: Strut.across(c, 2.0, 5.0, 9.0)),
                   ("along_x", lambda c, d: Strut.across(c, 0.0, 3.0, 500.0)),
                   ("wedge", lambda c, d: Strut((c[0], c[1] + 2.0), (1.0, 0.2), (c[0], c[1] - 3.0),
                                                d, ((c[0] + c[0]) * 0.5, (c[1] + 2.0 + c[1] - 3.0)
                                                    * 0.5), 70.0)))}


def raw_coverage(pixels, kind, args):
    """The same coverage by `_trovel`'s own callables, on the materialised arrays."""
    p = pixels.materialize()
    a = [np.ascontiguousarray(getattr(p, f)).ctypes.data
         for f in ("px", "py", "qx", "qy", "j00", "j01", "j10", "j11")]
    out = np.empty(p.size)
    if kind == "circle":
        (cx, cy), r = args
        _trovel.enclosed_circle(*a[:4], float(cx), float(cy), float(r), *a[4:], out.ctypes.data,
                                p.size)
    elif kind == "strut":
        (s,) = args
        # the raw callable centres the strut's disc on the midpoint of its points
        mid = ((s.point1[0] + s.point2[0]) * 0.5, (s.point1[1] + s.point2[1]) * 0.5)
        if mid != s.center:
            pytest.skip("the raw strut's disc is about the midpoint of its points")
        _trovel.enclosed_strut(*a[:4], s.length, *s.native_edges(), *a[4:], out.ctypes.data,
                               p.size)
    else:
        (x, y), (dx, dy) = args
        _trovel.pixel_frac(float(x), float(y), float(dy), float(dx), a[2], a[3], a[0], a[1],
                           *a[4:], out.ctypes.data, p.size)
    return out.reshape(p.shape)


COVERAGE = {"circle": trovel.circle_coverage, "strut": trovel.strut_coverage,
            "edge": trovel.edge_coverage}


@pytest.mark.parametrize("case", ROW_FILLED.values(), ids=ROW_FILLED.keys())
@pytest.mark.parametrize("kind", ["rotation", "shear", "mirror", "axes", "swapped"])
def test_rows_settled_without_measuring_keep_their_bits(case, kind, rng):
    # A lazy grid's rows are filled with 1 and 0 where the per-pixel routines
    # would give them, and only the pixels near the rim or the line are
    # measured: the bits of the materialised grid and of _trovel's callables.
    lazy = Pixels.grid((43, 67), origin=tuple(rng.uniform(-30, 0, 2)),
                       matrix=random_map(rng, kind))
    coverage, args = case(tuple(rng.uniform(-20, 20, 2)), tuple(rng.normal(size=2)))
    got = COVERAGE[coverage](lazy, *args)
    assert same_bits(got, COVERAGE[coverage](lazy.materialize(), *args))
    assert same_bits(got, raw_coverage(lazy, coverage, args))


def test_a_tile_is_computed_on_its_own(rng):
    g = Pixels.grid((40, 50), origin=(3.0, -1.0), matrix=random_map(rng, "shear"))
    full = trovel.circle_coverage(g, (4.0, 2.0), 11.0)
    tile = trovel.coverage.grid_tile("circle", (4.0, 2.0, 11.0), g.affine, (11, 19), (7, 31))
    assert same_bits(tile, full[11:19, 7:31])


LARGE = {"circle": lambda g, **kw: trovel.circle_coverage(g, (3.0, -4.0), 400.0, **kw),
         "strut": lambda g, **kw: trovel.strut_coverage(
             g, Strut.across((1.0, 2.0), 0.4, 9.0, 900.0), **kw),
         "edge": lambda g, **kw: trovel.edge_coverage(g, (0.5, 0.25), (0.6, 0.8), **kw),
         "render": lambda g, **kw: trovel.render(
             trovel.pupil(900.0, obscuration=0.3, struts=4, strut_width=9.0), g, **kw),
         # polygons alone are swept by rows, a new output's zeros left unwritten
         "render_polygons": lambda g, **kw: trovel.render(
             trovel.hexagonal_segments(3, 120.0, 5.0) - trovel.Rectangle((0, 0), 0.4, 1200, 15), g,
             **kw)}


@pytest.mark.parametrize("what", LARGE)
def test_large_outputs_new_or_reused_have_the_same_bits(what):
    """From 2^20 pixels outputs are written with streaming stores, a new one
    once its pages are faulted in (with plain stores where the system cannot
    fault them in ahead): the same values either way, and those of a
    grid of its first rows, too small to stream.  The rows are of odd length
    and the output starts off a 16-byte boundary, so streamed pieces begin
    and end at every parity, and nothing beyond the output is touched."""
    g = Pixels.grid((1030, 1021), origin=(-500.3, -511.7), rotation=0.2)
    new = LARGE[what](g)
    padded = np.full(g.size + 3, np.nan)
    start = 1 if padded.ctypes.data % 16 == 0 else 2
    out = padded[start:start + g.size].reshape(g.shape)
    for threads in (1, 2):
        assert LARGE[what](g, out=out, threads=threads) is out and same_bits(out, new)
        assert np.isnan(padded[:start]).all() and np.isnan(padded[start + g.size:]).all()
    first_rows = Pixels.grid((20, 1021), origin=(-500.3, -511.7), rotation=0.2)
    assert same_bits(LARGE[what](first_rows), new[:20])
    assert 0 < np.count_nonzero((new > 0) & (new < 1)) < new.size // 10


@pytest.mark.parametrize("kind", ["shear", "axes", "swapped"])
def test_the_pixel_set_interface(kind, rng):
    m = random_map(rng, kind)
    g = Pixels.grid((3, 4), origin=(-0.0, 0.0), matrix=m)
    (x0, y0), ((m00, m01), (m10, m11)) = g.affine
    assert isinstance(g, Pixels) and g.shape == (3, 4) and g.size == 12
    assert same_bits(g.affine[1], m) and same_bits(g.affine[0], (-0.0, 0.0))
    qx, qy, j00, j01, j10, j11 = g.footprints()
    formula = [((m00 * k + m01 * i) + x0, (m10 * k + m11 * i) + y0)
               for i in range(3) for k in range(4)]
    assert same_bits(np.stack([qx, qy], -1), formula)
    assert (j00 == m00).all() and (j11 == m11).all()
    p = Pixels.from_arrays(np.zeros((2, 2)), np.ones((2, 2)), np.eye(2))
    assert isinstance(p, Pixels) and p.affine is None and p.size == 2
    for arrays in (g.footprints(), p.footprints()):
        assert len(arrays) == 6 and all(a.flags.c_contiguous and a.dtype == np.float64
                                        for a in arrays)


@pytest.mark.parametrize("fault", [None, "nan_position", "inf_centre", "singular", "overflow",
                                   "one_singular"])
def test_footprint_arrays_split_on_threads_as_on_one(rng, fault):
    """Float64 C-ordered arrays are split into columns and checked in
    pieces on threads: the columns and the refusals are those of the
    checked path that any other layout takes, a fault in any piece."""
    shape = (7, 6000)   # a few pieces
    pos, cen = rng.uniform(-5, 5, shape + (2,)), rng.uniform(-5, 5, shape + (2,))
    jac = rng.uniform(0.5, 1.5, shape + (2, 2))
    at = (int(rng.integers(7)), int(rng.integers(6000)))
    if fault == "nan_position":
        pos[at + (1,)] = np.nan
    elif fault == "inf_centre":
        cen[at + (0,)] = np.inf
    elif fault == "singular":
        jac[at] = [[1.0, 2.0], [2.0, 4.0]]
    elif fault == "overflow":
        jac[at] = [[1e200, 0.0], [0.0, 1e200]]
    elif fault == "one_singular":
        jac = np.array([[1.0, 2.0], [0.5, 1.0]])

    def outcome(layout, threads):
        try:
            p = Pixels.from_arrays(*(layout(a) for a in (pos, cen, jac)), threads=threads)
        except ValueError as e:
            return str(e)
        return [a.tobytes() for a in p._arrays]
    checked = outcome(np.asfortranarray, 1)
    assert isinstance(checked, str) == (fault is not None)
    for threads in (1, 3):
        assert outcome(np.ascontiguousarray, threads) == checked


@pytest.mark.parametrize("shape", [(5, 7), (4, 6)])
def test_center_places_the_middle_of_the_grid(shape):
    g = Pixels.grid(shape, center=(10.0, -4.0), scale=0.5, rotation=0.3)
    q = np.stack([g.qx, g.qy], -1).reshape(shape + (2,))
    ny, nx = shape
    middle = q[(ny - 1) // 2: ny // 2 + 1, (nx - 1) // 2: nx // 2 + 1].reshape(-1, 2).mean(0)
    assert np.allclose(middle, (10.0, -4.0), atol=1e-12)
    disc = trovel.circle_coverage(Pixels.grid(shape, center=(0, 0)), (0, 0), 1.7)
    assert np.allclose(disc, disc[::-1, ::-1], atol=1e-12)  # centred: symmetric under a half turn


@pytest.mark.parametrize("n", [0, 7, 8, 9, 17, 40])
def test_chunked_cuts_equal_one_native_call(n, rng, monkeypatch):
    monkeypatch.setattr(clip, "CHUNK", 8)
    tris = rng.uniform(-3, 3, (n, 3, 2))
    s = Strut.across((0.2, 0.1), 0.4, 1.0, 4.0)
    cases = [
        (trovel.clip_to_circle(tris, (0, 0), 2.0, keep="outside"),
         run_clipper(_trovel.clip_triangles_to_circle, tris, (0.0, 0.0, 2.0, 0, 0.0))),
        (trovel.clip_to_strut(tris, s),
         run_clipper(_trovel.clip_triangles_to_strut, tris,
                     (*s.native_edges(), *s.center, s.length, 0.0))),
    ]
    for got, (records, dropped, clipped) in cases:
        assert same_bits(got.triangles.reshape(-1, 6), records)
        assert (got.dropped, got.clipped) == (dropped, clipped)
