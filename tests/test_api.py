"""The checked numpy layer: same bits as the raw calls, clear errors for bad input."""
import math

import numpy as np
import pytest

import _trovel
import trovel
from helpers import addr, f64, run_clipper, same_bits
from trovel import Pixels, Strut


@pytest.fixture
def tris(rng):
    return rng.uniform(-6, 6, (200, 3, 2))


# --- same values as the raw module ------------------------------------------

def test_overlap_area_matches_raw(tris):
    for t in tris[:50]:
        assert trovel.overlap_area(t, (1, -2)) == _trovel.clip_area(addr(f64(t)), 1, -2)


def test_deposit_matches_raw(tris, rng):
    vals, divs = rng.uniform(0, 2, 200), rng.uniform(0.5, 2, 200)
    raw = np.zeros((15, 15))
    flat = f64(tris)
    _trovel.accumulate_triangles(addr(flat), addr(vals), addr(divs), addr(raw), 200, 15)
    assert same_bits(trovel.deposit_triangles(tris, vals, divs, size=15), raw)


@pytest.mark.parametrize("keep", ["inside", "outside"])
def test_clip_to_circle_matches_raw(tris, keep):
    got = trovel.clip_to_circle(tris, (0.5, -0.25), 3.0, keep=keep, margin=0.1)
    want = run_clipper(_trovel.clip_triangles_to_circle, tris,
                       (0.5, -0.25, 3.0, int(keep == "inside"), 0.1))
    assert same_bits(got.triangles.reshape(-1, 6), want[0])
    assert (got.dropped, got.clipped) == want[1:]


def test_clip_to_strut_matches_raw(tris):
    s = Strut.across((0.5, 0.0), 0.3, 1.5, 8.0)
    got = trovel.clip_to_strut(tris, s, margin=0.05)
    want = run_clipper(_trovel.clip_triangles_to_strut, tris,
                       (*s.native_edges(), 0.5, 0.0, 8.0, 0.05))
    assert same_bits(got.triangles.reshape(-1, 6), want[0])
    assert (got.dropped, got.clipped) == want[1:]
    assert got.dropped + got.clipped > 0


def test_clip_keeps_the_flat_layout(tris):
    assert trovel.clip_to_circle(tris.reshape(-1, 6), (0, 0), 3.0).triangles.shape[1:] == (6,)


@pytest.fixture
def pixels(rng):
    pos = rng.uniform(-50, 50, (7, 9, 2))
    jac = rng.uniform(-1, 1, (7, 9, 2, 2)) + 2 * np.eye(2)
    return Pixels.from_arrays(pos, pos * 0.8 + 1.0, jac), pos, jac


def raw_pixel_arrays(p):
    return [p.px, p.py, p.qx, p.qy, p.j00, p.j01, p.j10, p.j11]


def test_edge_coverage_matches_raw(pixels):
    p, _, _ = pixels
    out = np.empty(p.size)
    _trovel.pixel_frac(3.0, -2.0, 0.6, 0.8, *map(addr, [p.qx, p.qy, p.px, p.py, p.j00, p.j01,
                                                       p.j10, p.j11]), addr(out), p.size)
    # direction (dx, dy) = (0.8, 0.6) is the native pair (0.6, 0.8)
    assert same_bits(trovel.edge_coverage(p, (3.0, -2.0), (0.8, 0.6)).ravel(), out)
    assert 0 < out.mean() < 1


def test_per_pixel_edge_coverage_matches_raw(pixels, rng):
    p, _, _ = pixels
    pts, dirs = rng.uniform(-40, 40, p.shape + (2,)), rng.normal(size=p.shape + (2,))
    out = np.empty(p.size)
    x0, y0 = f64(pts[..., 0]), f64(pts[..., 1])
    a, b = f64(dirs[..., 1]), f64(dirs[..., 0])
    _trovel.pixel_frac(*map(addr, [x0, y0, a, b, p.qx, p.qy, p.px, p.py, p.j00, p.j01, p.j10,
                                   p.j11, out]), p.size)
    assert same_bits(trovel.edge_coverage(p, pts, dirs).ravel(), out)


def test_circle_and_strut_coverage_match_raw(pixels):
    p, _, _ = pixels
    raw = list(map(addr, raw_pixel_arrays(p)))
    out = np.empty(p.size)
    _trovel.enclosed_circle(*raw[:4], 2.0, -1.0, 30.0, *raw[4:], addr(out), p.size)
    assert same_bits(trovel.circle_coverage(p, (2.0, -1.0), 30.0).ravel(), out)
    s = Strut.across((1.0, 1.0), 0.7, 12.0, 80.0)
    _trovel.enclosed_strut(*raw[:4], 80.0, *s.native_edges(), *raw[4:], addr(out), p.size)
    assert same_bits(trovel.strut_coverage(p, s).ravel(), out)


# The checked layer hands the kernel the (x, y) pairs in place, where the raw
# call takes two arrays: every path of the kernel must read them alike.
MASK_POLYGONS = {
    "small": lambda rng: rng.uniform(0, 10, (12, 2)),
    "many_vertices_on_rows": lambda rng: np.round(rng.uniform(-1, 11, (3000, 2)) * 2) / 2,
    "far_vertex": lambda rng: np.vstack([rng.uniform(0, 10, (9, 2)), [(5.0, 1e305)]]),
    "fortran_order": lambda rng: np.asfortranarray(rng.uniform(0, 10, (40, 2))),
}


@pytest.mark.parametrize("make", MASK_POLYGONS.values(), ids=MASK_POLYGONS.keys())
def test_polygon_mask_matches_raw(make, rng):
    poly = make(rng)
    n = poly.shape[0]
    gx, gy = np.linspace(-1, 11, 40), rng.permutation(np.linspace(-1, 11, 30))
    raw = np.full((30, 40), 7, np.uint8)
    xs, ys = f64(poly[:, 0]), f64(poly[:, 1])
    _trovel.poly_grid_contains(addr(xs), addr(ys), n, addr(gx), addr(gy), addr(raw), 40, 30)
    mask = trovel.polygon_mask(poly, gx, gy)
    assert mask.dtype == bool and np.array_equal(mask.view(np.uint8), raw)


# --- conversions that are harmless are made ---------------------------------

def test_non_contiguous_and_other_dtypes_are_converted(tris):
    fortran = np.asfortranarray(tris.reshape(-1, 6))
    strided = np.concatenate([tris.reshape(-1, 6)] * 2, axis=1)[:, ::2]  # every other column
    ref = trovel.clip_to_circle(tris.reshape(-1, 6), (0, 0), 3.0).triangles
    assert same_bits(trovel.clip_to_circle(fortran, (0, 0), 3.0).triangles, ref)
    ints = np.array([[[-3, -3], [3, -3], [-3, 3]]], dtype=np.int16)
    assert trovel.overlap_area(ints[0], (-1, -1)) == 1.0
    assert same_bits(trovel.clip_to_circle(strided, (0, 0), 3.0).triangles,
                     trovel.clip_to_circle(strided.copy(), (0, 0), 3.0).triangles)
    f32 = trovel.polygon_mask(np.array([(0, 0), (2, 0), (2, 2), (0, 2)], np.float32),
                              np.arange(4, dtype=np.int32), [0, 1, 2, 3])
    assert f32.sum() == 4


def test_deposit_adds_into_a_given_image():
    img = np.ones((3, 3))
    trovel.deposit_triangles([[(-0.5, -0.5), (0.5, -0.5), (-0.5, 0.5)]], 2.0, out=img)
    assert img[1, 1] == 2.0 and img.sum() == 10.0


def test_pixel_grid_helper_places_footprints():
    g = Pixels.grid((2, 3), origin=(1.0, 2.0), scale=(2.0, 0.5), rotation=math.pi / 2)
    q = np.stack([g.qx, g.qy], -1).reshape(2, 3, 2)
    assert np.allclose(q[1, 2], (1.0 - 0.5, 2.0 + 4.0))
    assert np.allclose([g.j00[0], g.j01[0], g.j10[0], g.j11[0]], [0, -0.5, 2, 0], atol=1e-15)


def test_strut_orientation_is_normalised():
    a = Strut((0, 1), (1, 0), (0, -1), (1, 0), (0, 0), 10.0)
    b = Strut((0, 1), (-1, 0), (0, -1), (-1, 0), (0, 0), 10.0)
    assert a == b and a.direction1 == (1.0, 0.0) and a.direction2 == (1.0, 0.0)
    # a column of pixels across the band |y| <= 1: outside, half, whole, half, outside
    g = Pixels.grid((5, 1), origin=(0.0, -2.0))
    want = np.array([[0.0], [0.5], [1.0], [0.5], [0.0]])
    assert same_bits(trovel.strut_coverage(g, a), want) and same_bits(trovel.strut_coverage(g, b), want)


# Only a line's direction counts, whatever its length: the strut's quick
# tests and the cut's margin compare side values with distances, so the
# checked layer hands native code unit directions.
DIRECTION_LENGTHS = [1e-300, 1e-8, 1.0, 100.0, 1e300]
UNIT = (0.6, 0.8)


def strut_of_length(length):
    d = (UNIT[0] * length, UNIT[1] * length)
    return Strut((0.0, 0.7), d, (0.35, -0.45), d, (0.2, 0.1), 9.0)


@pytest.mark.parametrize("length", DIRECTION_LENGTHS)
def test_direction_length_does_not_matter(length, tris):
    grids = [Pixels.grid((40, 90), center=(0.0, 0.0), scale=0.13, rotation=0.2),
             Pixels.grid((3, 4), origin=(-1.0, 0.0), scale=0.7).materialize()]
    d = (UNIT[0] * length, UNIT[1] * length)
    for g in grids:
        np.testing.assert_allclose(trovel.strut_coverage(g, strut_of_length(length)),
                                   trovel.strut_coverage(g, strut_of_length(1.0)), atol=1e-12)
        np.testing.assert_allclose(trovel.edge_coverage(g, (0.3, -0.2), d),
                                   trovel.edge_coverage(g, (0.3, -0.2), UNIT), atol=1e-12)
    got = trovel.clip_to_strut(tris, strut_of_length(length), margin=0.3)
    want = trovel.clip_to_strut(tris, strut_of_length(1.0), margin=0.3)
    assert (got.dropped, got.clipped) == (want.dropped, want.clipped)
    assert math.isclose(trovel.triangle_areas(got.triangles).sum(),
                        trovel.triangle_areas(want.triangles).sum(), rel_tol=1e-12)


def test_a_long_strut_direction_keeps_its_band():
    g = Pixels.grid((1, 3), origin=(-1.0, 0.0))
    s = Strut((0, 0.1), (100, 0), (0, -0.1), (100, 0), (0, 0), 4.0)
    assert same_bits(trovel.strut_coverage(g, s), np.full((1, 3), trovel.strut_coverage(
        Pixels.grid((1, 1)), Strut.across((0, 0), 0.0, 0.2, 4.0))[0, 0]))


# --- the demo ---------------------------------------------------------------

def test_demo_routes_agree(tmp_path):
    from PIL import Image

    from trovel import demo

    path = tmp_path / "demo.png"
    r = demo.main(["--size", "97", "--struts", "2", "--output", str(path)])
    with Image.open(path) as im:
        im.verify()
    # total areas: both routes within the chord error of the analytic area
    assert abs(r["mesh"] - r["analytic"]) <= r["chord_error"]
    assert abs(r["coverage"] - r["analytic"]) <= r["chord_error"]
    # per pixel, where one edge at most crosses a pixel, only the neglected
    # curvature of the rims separates the routes: a sagitta of about 1/(4 r)
    assert r["max_diff_single_edge"] < 1.0 / 0.25 / 97
    assert r["max_diff_where_edges_meet"] < 0.5


# --- the README's examples run as written -------------------------------------

def readme_examples():
    import pathlib
    import re
    text = (pathlib.Path(__file__).parent.parent / "README.md").read_text()
    return re.findall(r"```python\n(.*?)```", text, re.S)


@pytest.mark.parametrize("code", readme_examples(), ids=lambda c: c.splitlines()[0][:30])
def test_readme_example_runs(code, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    if "to_zarr" in code:   # the same calls, on a grid 64 times smaller
        code = code.replace("16384", "2048").replace("chunks=2048", "chunks=512")
    exec(compile(code, "README.md", "exec"), {})


# --- the examples in the docstrings run as shown -----------------------------

def package_modules():
    import pkgutil
    return ["trovel"] + [f"trovel.{m.name}" for m in pkgutil.iter_modules(trovel.__path__)
                         if not m.name.startswith("_") or m.name == "_checks"]


@pytest.mark.parametrize("module", package_modules())
def test_docstring_examples(module):
    # One sweep over every module of the package, trovel.dask included: the
    # examples run as shown.
    import doctest
    import importlib

    if module == "trovel.regions":
        pytest.importorskip("regions")
    mod = importlib.import_module(module)
    globs = {"np": np, **{name: getattr(trovel, name) for name in trovel.__all__}}
    result = doctest.testmod(mod, extraglobs=globs)
    assert result.failed == 0
    if module not in ("trovel", "trovel.demo", "trovel._checks"):
        assert result.attempted > 0, f"{module} shows no example"
