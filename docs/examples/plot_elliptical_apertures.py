"""
Elliptical apertures, annuli and regions
========================================

Aperture photometry of an inclined galaxy: elliptical annuli rendered
exactly, each pixel weighted by the fraction of it inside the annulus, and a
compound region from astropy regions (an ellipse joined with a circle, less
a rectangle, symmetric difference included), whose fractional mask regions
itself does not give.
"""
import math

import astropy.units as u
import matplotlib.pyplot as plt
import numpy as np
from regions import CirclePixelRegion, EllipsePixelRegion, PixCoord, RectanglePixelRegion

import trovel

# %%
# A 160 x 200 image of an exponential disc of scale length 12 px, inclined to
# an axis ratio of 0.45 and turned by 30 degrees.  regions' pixel coordinates
# (pixel centres on whole numbers, x along the columns) are trovel's plane
# under the default grid ``Pixels.grid(image.shape)``.
ny, nx = 160, 200
centre, q, angle = (101.3, 78.6), 0.45, math.radians(30)
pixels = trovel.Pixels.grid((ny, nx))
x, y = np.meshgrid(np.arange(nx), np.arange(ny))
c, s = math.cos(angle), math.sin(angle)
u_ = (x - centre[0]) * c + (y - centre[1]) * s
v_ = -(x - centre[0]) * s + (y - centre[1]) * c
image = np.exp(-np.hypot(u_, v_ / q) / 12.0)

# %%
# Annuli of semi-major axes 0, 6, 12, ... 60 px, the inner ellipse of each a
# scaled copy of the outer (``b_in`` omitted, as photutils does).  On an
# image of ones each annulus sums to its exact area, pi (a_out b_out - a_in
# b_in), to rounding.
edges = np.arange(0.0, 61.0, 6.0)
sums, areas, errors = [], [], []
for a_in, a_out in zip(edges[:-1], edges[1:]):
    shape = (trovel.Ellipse(centre, a_out, q * a_out, angle) if a_in == 0 else
             trovel.elliptical_annulus(centre, a_in, a_out, q * a_out, angle))
    fractions = trovel.render(shape, pixels)
    area = math.pi * q * (a_out**2 - a_in**2)
    sums.append(float(np.sum(fractions * image)))
    areas.append(area)
    errors.append(abs(fractions.sum() / area - 1))
print(f"largest relative error of an annulus's area: {max(errors):.1e}")

# %%
# A compound region: the galaxy's ellipse joined with a circle about a
# companion, a symmetric difference with a second circle, and a rectangular
# bleed trail taken out (regions has no difference: A less B is A ^ (A & B)).
# ``trovel.from_region`` converts it to any depth; its rendered total is its
# exact area.
galaxy = EllipsePixelRegion(PixCoord(*centre), width=90, height=40, angle=30 * u.deg)
companion = CirclePixelRegion(PixCoord(150.0, 120.0), 16)
trail = RectanglePixelRegion(PixCoord(110.0, 80.0), width=180, height=5, angle=-8 * u.deg)
star = CirclePixelRegion(PixCoord(60.0, 60.0), 14)
kept = (galaxy | companion) ^ star
region = kept ^ (kept & trail)
shape = trovel.from_region(region)
mask = trovel.render(shape, pixels)
print(f"compound: rendered {mask.sum():.10f} px^2, exact area {shape.area():.10f} px^2")

# %%
fig, (a, b, d) = plt.subplots(1, 3, figsize=(11, 3.6))
a.imshow(np.log10(image), origin="lower", cmap="magma", vmin=-3)
for a_out in edges[1::2]:
    EllipsePixelRegion(PixCoord(*centre), width=2 * a_out, height=2 * q * a_out,
                       angle=30 * u.deg).plot(ax=a, color="w", lw=0.6)
a.set_title("galaxy and elliptical annuli")
b.plot(0.5 * (edges[:-1] + edges[1:]), np.array(sums) / np.array(areas), "o-")
b.set(yscale="log", xlabel="semi-major axis (px)", ylabel="mean surface brightness",
      title="profile from exact annuli")
d.imshow(mask, origin="lower", cmap="gray")
for r in (galaxy, companion, star, trail):
    r.plot(ax=d, color="C1", lw=0.6)
d.set_title("((ellipse | circle) ^ circle) - rectangle")
fig.tight_layout()
plt.show()
