"""Ellipses, transformed shapes, the symmetric difference, annuli and the
stadium: exact totals, the independent scan-line reference of
test_render.py, the affine property (a shape carried by a map renders as the
shape on the grid carried back); tiles and threads with ellipses are in
test_render.py."""
import math
import pickle

import numpy as np
import pytest

import trovel
from trovel import Disc, Ellipse, Pixels, Polygon, Rectangle, render
from test_render import EXACT, grid, one, random_composite, reference


SHEAR = ((1.0, 0.35), (-0.2, 0.9))
MIRROR = ((0.0, 0.9), (1.1, 0.0))
GRIDS = {"unit": ((1.0, 0.0), (0.0, 1.0)), "sheared": SHEAR, "mirrored": MIRROR}
AXES = {"large": (20.3, 7.1), "sub_pixel": (0.3, 0.1), "eccentric": (10.0, 0.01),
        "nearly_round": (15.0, 15.0 * (1 - 1e-9))}


def total(shape, matrix, n=64):
    pixels, det = grid(n, matrix)
    image = render(shape, pixels)
    assert image.min() >= 0.0 and image.max() <= 1.0
    return image.sum() * det, np.count_nonzero((image > 0) & (image < 1))


# --- totals against pi a b ----------------------------------------------------

@pytest.mark.parametrize("gname", GRIDS)
@pytest.mark.parametrize("axes", AXES)
def test_ellipse_and_elliptical_annulus_totals(axes, gname):
    # every rotation of a turn: the image's total is the area to rounding,
    # each crossed pixel within the promise
    a, b = AXES[axes]
    for angle in np.linspace(0.0, math.pi, 9):
        for shape, area in ((Ellipse((0.37, -0.21), a, b, angle), math.pi * a * b),
                            (trovel.elliptical_annulus((0.37, -0.21), 0.5 * a, a, b, angle),
                             0.75 * math.pi * a * b)):
            got, crossed = total(shape, GRIDS[gname])
            assert abs(got - area) <= 1e-15 * area + crossed * EXACT, (angle, got - area)


ANNULI = {
    "annulus": (trovel.annulus((0.2, 0.1), 8.1, 20.3), math.pi * (20.3**2 - 8.1**2)),
    "rectangular_annulus": (trovel.rectangular_annulus((0.2, 0.1), 14.0, 30.0, 20.0, 0.3),
                            30.0 * 20.0 - 14.0 * 20.0 * 14.0 / 30.0),
    "stadium": (trovel.stadium((0.4, 0.1), 0.7, 6.0, 21.0), 6.0 * 15.0 + math.pi * 9.0),
    # tangencies: a rectangle about an ellipse, ellipses touching outside and inside
    "rectangle_about_ellipse": (Rectangle((1.0, 2.0), 0.6, 10.0, 24.0)
                                - Ellipse((1.0, 2.0), 12.0, 5.0, 0.6), 240.0 - 60.0 * math.pi),
    "ellipses_touching": (Ellipse((-4.0, 0.0), 12.0, 5.0) | Ellipse((11.0, 0.0), 3.0, 1.0),
                          63.0 * math.pi),
    "ellipse_touching_inside": (Ellipse((0.0, 0.0), 12.0, 5.0) - Ellipse((4.0, 0.0), 8.0, 3.0),
                                36.0 * math.pi),
}


@pytest.mark.parametrize("gname", GRIDS)
@pytest.mark.parametrize("name", ANNULI)
def test_annuli_stadium_and_tangencies_totals(name, gname):
    shape, area = ANNULI[name]
    got, crossed = total(shape, GRIDS[gname])
    assert abs(got - area) <= 1e-15 * area + crossed * EXACT
    assert shape.area() == pytest.approx(area, rel=1e-13)


# --- single footprints against the scan-line reference ---------------------

E = Ellipse((0.3, -0.2), 2.5, 1.2, 0.5)
FOOTPRINT_CASES = {
    # name: (shape, centre, jacobian)
    "rim_unit_pixel": (E, (2.1, 1.0), np.eye(2)),
    "rim_and_edge": (E - Rectangle((2.0, 0.8), 0.2, 0.5, 4.0), (2.1, 0.9), np.eye(2)),
    "rim_and_edge_sheared": (E & Polygon([(0, -3), (4, -1), (1, 3)]), (2.0, 0.6), SHEAR),
    "two_ellipses_cross": (E | Ellipse((2.6, 1.4), 1.0, 0.4, -0.3), (2.2, 1.0), SHEAR),
    "ellipse_and_circle_cross": (E - Disc((2.3, 1.5), 0.8), (2.0, 0.9), np.eye(2)),
    "nearly_round_and_circle": (Ellipse((0.0, 0.0), 1.0, 1.0 - 1e-9, 0.2) ^ Disc((1.3, 0.2), 0.9),
                                (0.7, 0.3), np.eye(2)),
    "eccentric_tip": (Ellipse((0.0, 0.0), 4.0, 0.004, 0.3), (3.6, 1.1), np.eye(2)),
    "sub_pixel_ellipses": (Ellipse((0.1, 0.1), 0.2, 0.05, 1.0) | Ellipse((-0.2, 0.0), 0.15, 0.1),
                           (0.0, 0.0), SHEAR),
    "three_boundaries_mirrored": (trovel.elliptical_annulus((0, 0), 1.8, 2.6, 1.5, 0.4)
                                  - Rectangle((2.2, 0.5), 1.0, 0.3, 3.0),
                                  (2.1, 0.9), ((0.4, 1.3), (1.1, -0.2))),
    "stadium_corner": (trovel.stadium((0, 0), 0.3, 1.0, 4.0), (1.4, 0.9), np.eye(2)),
}


@pytest.mark.parametrize("name", FOOTPRINT_CASES)
def test_footprint_against_scan_line_reference(name):
    shape, centre, jac = FOOTPRINT_CASES[name]
    assert abs(one(shape, centre, jac) - reference(shape, centre, jac)) <= EXACT


def random_round_composite(rng, depth):
    """random_composite's shapes with ellipses and symmetric differences among them."""
    shape = Ellipse(rng.uniform(-1, 1, 2), rng.uniform(0.3, 2.0), rng.uniform(0.05, 1.5),
                    rng.uniform(0, 6.3))
    for _ in range(depth):
        other = (random_composite(rng, 0) if rng.integers(2) else
                 Ellipse(rng.uniform(-1, 1, 2), rng.uniform(0.1, 2.0), rng.uniform(0.05, 1.5),
                         rng.uniform(0, 6.3)))
        shape = [shape | other, shape & other, shape - other, shape ^ other][rng.integers(4)]
    return shape


@pytest.mark.parametrize("seed", range(6))
def test_random_composites_with_ellipses_against_scan_line_reference(seed):
    rng = np.random.default_rng(100 + seed)
    shape = random_round_composite(rng, depth=2)
    jac = rng.uniform(-1.2, 1.2, (2, 2)) + np.diag([1.5, 1.5]) * rng.choice([-1, 1])
    centre = rng.uniform(-1, 1, 2)
    assert abs(one(shape, centre, jac) - reference(shape, centre, jac)) <= EXACT


# --- the affine property ----------------------------------------------------

@pytest.mark.parametrize("seed", range(6))
def test_transformed_shape_renders_as_the_shape_on_the_grid_carried_back(seed):
    # T(S) over a footprint F has the area of S over T^-1(F) times |det T|,
    # and T^-1 of the grid (origin o_g, matrix G) is the grid of matrix
    # M^-1 G and origin M^-1 (o_g - o): the same fractions, pixel by pixel
    rng = np.random.default_rng(200 + seed)
    shape = random_round_composite(rng, depth=3) | Disc((1.5, -1.0), 0.8)
    m = rng.uniform(-1.5, 1.5, (2, 2))
    m[0, 0] += 1.0 if seed % 2 else -1.0   # mirrors, among others
    o = rng.uniform(-3, 3, 2)
    # a grid over the image T(S), and the same grid carried back
    gm = m @ np.array(((0.23, 0.04), (-0.03, 0.21)))
    go = m @ np.array((-5.0, -4.5)) + o
    inv = np.linalg.inv(m)
    here = Pixels.grid((48, 48), origin=tuple(go), matrix=gm)
    back = Pixels.grid((48, 48), origin=tuple(inv @ (go - o)), matrix=inv @ gm)
    np.testing.assert_allclose(render(shape.transformed(m, o), here), render(shape, back),
                               rtol=0, atol=EXACT)


def test_shorthands_are_the_maps_they_name():
    s = trovel.stadium((1.0, 2.0), 0.4, 1.0, 3.0) ^ Ellipse((1.5, 2.0), 1.0, 0.5, 0.2)
    pixels, _ = grid(24, ((0.25, 0.0), (0.0, 0.25)))
    c, t = math.cos(0.7), math.sin(0.7)
    pairs = [(s.shifted((0.5, -1.0)), s.transformed(np.eye(2), (0.5, -1.0))),
             (s.rotated(0.7, about=(1.0, 2.0)),
              s.transformed(((c, -t), (t, c)), (1.0 - (c - 2 * t), 2.0 - (t + 2 * c)))),
             (s.scaled((2.0, -0.5), about=(1.0, 2.0)),
              s.transformed(((2.0, 0.0), (0.0, -0.5)), (-1.0, 3.0)))]
    for a, b in pairs:
        np.testing.assert_allclose(render(a, pixels), render(b, pixels), rtol=0, atol=EXACT)
    # discs stay discs under similarities; ellipses' axes are the map's singular values
    assert isinstance(Disc((0, 0), 1.0).rotated(0.3).scaled(2.0), Disc)
    e = Disc((0, 0), 1.0).transformed(((3.0, 1.0), (0.0, 2.0)))
    assert e.a * e.b == pytest.approx(6.0, rel=1e-15)
    assert e.a == pytest.approx(math.sqrt(max(np.linalg.eigvalsh([[10.0, 2.0], [2.0, 4.0]]))))
    mirrored = Polygon([(0, 0), (2, 0), (0, 1)]).scaled((-1.0, 1.0))
    assert mirrored.area() == pytest.approx(1.0)
    assert pickle.loads(pickle.dumps(e)).__repr__() == repr(e)


def test_symmetric_difference_folds_and_weighs():
    a, b = Ellipse((0.2, 0.1), 6.0, 3.0, 0.4), Rectangle((2.0, 0.5), 1.0, 3.0, 9.0)
    pixels, _ = grid(20)
    np.testing.assert_allclose(render(a ^ b, pixels),
                               render(a, pixels) + render(b, pixels) - 2 * render(a & b, pixels),
                               rtol=0, atol=4 * EXACT)
    # a ^ 0 = a and a ^ 1 = not a, where the second operand is known
    big = Disc((0.0, 0.0), 100.0)
    np.testing.assert_array_equal(render(a ^ Disc((50.0, 50.0), 1.0), pixels), render(a, pixels))
    np.testing.assert_array_equal(render(a ^ big, pixels), render(big - a, pixels))
    assert repr(a ^ b).count("^") == 1


