"""
Combining dithered exposures of a distorted detector
====================================================

Two exposures of one sky, each through a detector with a curved geometric
distortion, the second dithered by a fraction of a pixel and turned
slightly, are resampled onto one output grid and added together with
``into=``.  Every detector pixel's footprint is the quadrilateral through
its four mapped corners (`Pixels.from_mapping`), so the footprints tile the
sky: each exposure's flux lands on the output exactly, and what falls
beyond the grid is counted in ``outside``.  The weight map counts the
exposures covering each output pixel; the image over it is the surface
brightness.
"""
import matplotlib.pyplot as plt
import numpy as np

import trovel
from trovel import Pixels

# %%
# The sky: a few Gaussian sources on a gradient, sampled by each detector at
# its pixel centres (the flux of a pixel is its brightness times its area).
ny, nx = 96, 128
rng = np.random.default_rng(3)
sources = rng.uniform((10, 10), (120, 90), (12, 2))


def sky(x, y):
    b = 1.0 + 0.004 * x
    for sx, sy in sources:
        b = b + 40.0 * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / 6.0)
    return b


def detector(dx, dy, turn):
    """Detector grid positions to sky coordinates: a barrel distortion about
    the detector's centre, then the pointing."""
    c, s = np.cos(turn), np.sin(turn)

    def f(u, v):
        a, b = (u - nx / 2) / nx, (v - ny / 2) / ny
        k = 1.0 + 0.06 * (a * a + b * b)
        x, y = (u - nx / 2) * k, (v - ny / 2) * k
        return nx / 2 + dx + c * x - s * y, ny / 2 + dy + s * x + c * y
    return f


exposures = []
for dx, dy, turn in [(0.0, 0.0, 0.0), (3.37, -2.61, 0.02)]:
    f = detector(dx, dy, turn)
    pixels = Pixels.from_mapping(f, (ny, nx))
    v, u = np.mgrid[0:ny, 0:nx].astype(float)
    flux = sky(*f(u, v)) * pixels.areas()
    exposures.append((flux, pixels))

# %%
# One output grid of square pixels 0.8 of a detector pixel, and the two
# exposures added onto it.
out = Pixels.grid((125, 160), origin=(0.0, -4.0), scale=0.8)
first = trovel.resample(*exposures[0], out)
both = trovel.resample(*exposures[1], out, into=first)
total_in = sum(flux.sum() for flux, _ in exposures)
print(f"flux in {total_in:.6f}, on the grid {both.image.sum():.6f}, "
      f"beyond it {both.outside:.6f}")
print(f"relative difference {(both.image.sum() + both.outside) / total_in - 1:.1e}")

# %%
# The combined surface brightness (flux over covered area) and the weight:
# 2 where both exposures overlap, 1 where one does, fractions at the edges.
area = out.areas()
with np.errstate(invalid="ignore", divide="ignore"):
    brightness = np.where(both.weight > 0, both.image / (both.weight * area), np.nan)
fig, axes = plt.subplots(1, 2, figsize=(9, 3.4), layout="constrained")
im = axes[0].imshow(brightness, origin="lower", cmap="magma")
axes[0].set_title("combined surface brightness")
fig.colorbar(im, ax=axes[0], shrink=0.8)
im = axes[1].imshow(both.weight, origin="lower", cmap="viridis", vmin=0, vmax=2)
axes[1].set_title("weight: exposures covering each pixel")
fig.colorbar(im, ax=axes[1], shrink=0.8)
for ax in axes:
    ax.set_xlabel("column")
    ax.set_ylabel("row")
plt.show()
