"""The telescope pupils: every preset under every combination of its flags,
its segments adding up to the whole, the monolithic pupils against their
areas in closed form, rendered totals against the exact areas, and which
way is up."""
import inspect
import itertools
import math

import numpy as np
import pytest

from trovel import Pixels, render, telescopes

EXACT = 1e-12

# Each preset's circumscribed diameter (the published one, or the reach of
# its documented outline where the array's corners stick out) and its
# number of segments.
PRESETS = {
    "elt": (40.18, 798), "tmt": (30.23, 492), "gmt": (25.43, 7), "luvoir_a": (15.01, 120),
    "keck": (10.97, 36), "jwst": (6.604, 18), "vlt": (8.0, None), "subaru": (7.95, None),
    "magellan": (6.5, None), "hale": (5.08, None), "habex": (4.0, None), "hst": (2.4, None),
}


def flags(name):
    return list(inspect.signature(getattr(telescopes, name)).parameters)


def grid(name, n):
    """An n x n grid about the origin that holds the preset."""
    return Pixels.grid((n, n), center=(0.0, 0.0), scale=1.02 * PRESETS[name][0] / n)


@pytest.mark.parametrize("name", PRESETS)
def test_every_combination_of_flags(name):
    build = getattr(telescopes, name)
    diameter, count = PRESETS[name]
    areas = {}
    for values in itertools.product((True, False), repeat=len(flags(name))):
        kwargs = dict(zip(flags(name), values))
        if kwargs.get("segments"):
            continue
        areas[values] = area = telescopes.collecting_area(build(**kwargs))
        assert 0.0 < area <= math.pi * diameter ** 2 / 4 * (1 + EXACT)   # HabEx fills it
        if count is not None:
            pieces = build(**{**kwargs, "segments": True})
            assert len(pieces) == count
            total = telescopes.collecting_area(pieces)
            assert total == pytest.approx(area, rel=EXACT)
    # spiders and gaps only ever take area away (HabEx has no spiders, the
    # GMT's round mirrors no gap to close)
    for k, flag in enumerate(flags(name)[:2]):
        for values in areas:
            if values[k]:
                other = values[:k] + (False,) + values[k + 1:]
                if (name, flag) in (("habex", "spiders"), ("gmt", "gaps")):
                    assert areas[values] == areas[other]
                else:
                    assert areas[values] < areas[other]


@pytest.mark.parametrize("name", PRESETS)
def test_rendered_total_is_the_exact_area_and_lies_in_the_circumscribed_disc(name):
    shape = getattr(telescopes, name)()
    pixels = grid(name, 256)
    image = render(shape, pixels)
    assert (image * pixels.areas()).sum() == pytest.approx(telescopes.collecting_area(shape),
                                                           rel=EXACT)
    x, y = (c.reshape(image.shape) for c in pixels.footprints()[:2])   # pixel centres
    outside = np.hypot(x, y) > PRESETS[name][0] / 2 + math.sqrt(pixels.areas())
    assert np.count_nonzero(image[outside]) == 0


@pytest.mark.parametrize("name", ["jwst", "keck", "gmt"])
def test_segments_render_to_the_whole_pixel_by_pixel(name):
    pixels = grid(name, 128)
    whole = render(getattr(telescopes, name)(), pixels)
    parts = sum(render(s, pixels) for s in getattr(telescopes, name)(segments=True))
    np.testing.assert_allclose(parts, whole, rtol=0, atol=EXACT)


# --- monolithic pupils in closed form ------------------------------------------------

def chord_band(radius, lo, hi):
    """The area of a disc about the origin between two parallel lines at
    signed distances lo < hi from its centre."""
    def below(t):
        t = min(max(t, -radius), radius)
        return t * math.sqrt(radius * radius - t * t) + radius * radius * math.asin(t / radius)
    return below(hi) - below(lo)


def vane(outer, inner, offset, width):
    """A spider whose axis passes ``offset`` from the centre, from a foot
    inside the obscuration out past the rim: half of the band across the
    annulus, which the perpendicular from the centre cuts in two mirror
    halves."""
    lo, hi = offset - width / 2, offset + width / 2
    return 0.5 * (chord_band(outer, lo, hi) - chord_band(inner, lo, hi))


def annulus(outer, inner):
    return math.pi * (outer * outer - inner * inner)


def hale_arm(outer, inner, block, block_width, width):
    """One arm of the Hale's cross: the block beside the obscuration, then
    the spider beyond it."""
    h = block_width / 2
    return (2 * h * block - 0.5 * chord_band(inner, -h, h)
            + 0.5 * chord_band(outer, -width / 2, width / 2) - width * block)


def closed_forms():
    pad = 0.065 * 1.2
    yield "habex", math.pi * 4.0
    yield "hst", (annulus(1.2, 0.396) - 4 * vane(1.2, 0.396, 0.0, 0.0264)
                  - 3 * math.pi * pad * pad + chord_band(pad, -0.0132, 0.0132))
    yield "vlt", annulus(4.0, 0.558) - 4 * vane(4.0, 0.558, 0.4045, 0.040)
    yield "subaru", (annulus(3.975, 0.307 * 3.975)
                     - 4 * vane(3.975, 0.307 * 3.975, 0.659 * math.sin(math.radians(51.75)), 0.184))
    d = 0.34 * math.sqrt(0.5)
    yield "magellan", (annulus(3.25, 0.29 * 3.25) - 2 * vane(3.25, 0.29 * 3.25, d, 0.01905)
                       - 2 * vane(3.25, 0.29 * 3.25, d, 0.0381))
    yield "hale", annulus(2.54, 0.93) - 4 * hale_arm(2.54, 0.93, 0.93 + 0.0932, 0.12, 0.048)


@pytest.mark.parametrize("name, expected", list(closed_forms()), ids=lambda v: str(v)[:8])
def test_monolithic_area_in_closed_form(name, expected):
    assert telescopes.collecting_area(getattr(telescopes, name)()) == pytest.approx(
        expected, rel=EXACT)


# --- orientation and refusals -----------------------------------------------------

def value_at(shape, point):
    """The rendered fraction of a 1 cm pixel about the point."""
    return float(render(shape, Pixels.grid((1, 1), center=point, scale=0.01))[0, 0])


@pytest.mark.parametrize("name, up, down", [("jwst", (0.0, 2.9), (0.0, -2.9)),
                                            ("luvoir_a", (0.0, 6.0), (0.0, -6.0))])
def test_the_single_strut_points_up(name, up, down):
    shape = getattr(telescopes, name)()
    assert value_at(shape, up) == 0.0 and value_at(shape, down) == 1.0
