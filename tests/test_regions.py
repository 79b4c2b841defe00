"""Shapes from astropy regions: every pixel region kind converted and rendered
against its analytic area and against regions' own exact masks (which fixes
the pixel convention), compounds against inclusion-exclusion."""
import math
import operator

import numpy as np
import pytest

from trovel import Pixels, from_region, render

regions = pytest.importorskip("regions")
u = pytest.importorskip("astropy.units")
PixCoord = regions.PixCoord

SHAPE = (48, 64)   # rows, columns: x runs to 63, y to 47
C = PixCoord(31.3, 22.6)
REGIONS = {
    "circle": regions.CirclePixelRegion(C, 9.2),
    "ellipse": regions.EllipsePixelRegion(C, width=30.0, height=11.0, angle=35 * u.deg),
    "rectangle": regions.RectanglePixelRegion(C, width=25.0, height=9.0, angle=-20 * u.deg),
    "polygon": regions.PolygonPixelRegion(PixCoord([10.2, 50.7, 40.1, 20.4], [5.5, 9.3, 40.8, 30.2])),
    "circle_annulus": regions.CircleAnnulusPixelRegion(C, 4.5, 12.1),
    "ellipse_annulus": regions.EllipseAnnulusPixelRegion(C, 10.0, 30.0, 5.0, 16.0, angle=70 * u.deg),
    "rectangle_annulus": regions.RectangleAnnulusPixelRegion(C, 8.0, 26.0, 4.0, 15.0,
                                                             angle=10 * u.deg),
}


def exact_mask(region):
    """regions' exact fractional mask; an annulus (which has none) as its
    outer shape's less its inner one's."""
    r = region
    if isinstance(r, regions.CircleAnnulusPixelRegion):
        parts = [regions.CirclePixelRegion(r.center, q) for q in (r.outer_radius, r.inner_radius)]
    elif isinstance(r, (regions.EllipseAnnulusPixelRegion, regions.RectangleAnnulusPixelRegion)):
        kind = (regions.EllipsePixelRegion if isinstance(r, regions.EllipseAnnulusPixelRegion)
                else regions.RectanglePixelRegion)
        parts = [kind(r.center, r.outer_width, r.outer_height, angle=r.angle),
                 kind(r.center, r.inner_width, r.inner_height, angle=r.angle)]
    else:
        return r.to_mask(mode="exact").to_image(SHAPE)
    outer, inner = (exact_mask(p) for p in parts)
    return outer - inner


@pytest.mark.parametrize("name", REGIONS)
def test_regions_convert_to_their_area_and_their_exact_masks(name):
    region = REGIONS[name]
    shape = from_region(region)
    assert shape.area() == pytest.approx(region.area, rel=1e-12)
    image = render(shape, Pixels.grid(SHAPE))
    assert image.sum() == pytest.approx(region.area, rel=1e-12)
    # regions' exact mode places the region as trovel's default grid does
    np.testing.assert_allclose(image, exact_mask(region), rtol=0, atol=1e-6)


def test_compound_regions_of_any_depth_follow_inclusion_exclusion():
    a, b, c = REGIONS["ellipse"], REGIONS["rectangle"], REGIONS["circle_annulus"]
    pixels = Pixels.grid(SHAPE)

    def r(reg):
        return render(from_region(reg), pixels)
    both = r(a & b)
    np.testing.assert_allclose(r(a | b), r(a) + r(b) - both, rtol=0, atol=3e-12)
    np.testing.assert_allclose(r(a ^ b), r(a) + r(b) - 2 * both, rtol=0, atol=4e-12)
    deep = (a ^ b) | c
    np.testing.assert_allclose(r(deep), r(a ^ b) + r(c) - r((a ^ b) & c), rtol=0, atol=6e-12)
    for _ in range(200):   # a compound far deeper than recursion would take
        deep = deep & a
    np.testing.assert_allclose(r(deep), render(from_region((a ^ b) | c) & from_region(a), pixels),
                               rtol=0, atol=1e-12)


def test_unrenderable_regions_are_refused():
    with pytest.raises(TypeError, match="no area"):
        from_region(regions.PointPixelRegion(C))
    with pytest.raises(TypeError, match="operator"):
        from_region(regions.CompoundPixelRegion(REGIONS["circle"], REGIONS["ellipse"], operator.sub))
    sky = regions.CircleSkyRegion(pytest.importorskip("astropy.coordinates").SkyCoord(
        1 * u.deg, 2 * u.deg), 1 * u.arcsec)
    with pytest.raises(TypeError, match="to_pixel"):
        from_region(sky)
    assert math.isfinite(from_region(REGIONS["ellipse"]).area())
