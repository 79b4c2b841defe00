"""
A polygon mask against its exact coverage
=========================================

:func:`trovel.polygon_mask` answers, for each pixel centre, whether it lies
inside a polygon. The exact fraction of each pixel inside the polygon comes
from triangulating the polygon and depositing the triangles by their exact
pixel overlap. Along the boundary the mask is 0 or 1 where the truth lies in
between; in total the two agree only on average.

Near the star's tips both of its sides can cross one row between two
neighbouring pixel centres; the mask still counts every crossing below each
centre, so it is exactly the even-odd interior sampled at the centres.
"""
import math

import matplotlib.pyplot as plt
import numpy as np

import trovel

# %%
# A five-pointed star, 12 pixels in outer radius, about a point off the
# pixel grid. It is star-shaped about its centre, so the fan from the centre
# to each side is a triangulation.
centre = np.array([0.3, -0.2])
angles = math.pi / 2 + np.arange(10) * math.pi / 5
radii = np.where(np.arange(10) % 2 == 0, 12.0, 5.0)
star = centre + np.stack([radii * np.cos(angles), radii * np.sin(angles)], -1)
fan = np.stack([np.broadcast_to(centre, star.shape), star, np.roll(star, -1, 0)], 1)

# %%
# The image is 31 x 31 unit pixels, pixel centres at -15 ... 15 along both
# axes; the deposit puts pixel (x, y) at element [15 + y, 15 + x].
n = 31
c = (n - 1) // 2
centres = np.arange(n, dtype=float) - c
mask = trovel.polygon_mask(star, centres, centres)
coverage = trovel.deposit_triangles(fan, values=1.0, size=n)

x, y = star[:, 0], star[:, 1]
area = 0.5 * abs(np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1)))
print(f"polygon area {area:.12f}")
print(f"exact coverage total {coverage.sum():.12f}")
print(f"mask count {mask.sum()}, largest per-pixel error "
      f"{np.abs(mask - coverage).max():.3f}")

# %%
fig, axes = plt.subplots(1, 3, figsize=(11, 3.8))
ext = (-c - 0.5, c + 0.5, -c - 0.5, c + 0.5)
for ax, img, title, cmap in ((axes[0], mask, "polygon_mask", "gray"),
                             (axes[1], coverage, "exact coverage", "gray"),
                             (axes[2], mask - coverage, "mask − coverage", "RdBu")):
    im = ax.imshow(img, origin="lower", extent=ext, cmap=cmap,
                   **({"vmin": -1, "vmax": 1} if cmap == "RdBu" else {}))
    ax.plot(*np.vstack([star, star[:1]]).T, color="C1", lw=0.8)
    ax.set_title(title)
fig.colorbar(im, ax=axes[2], shrink=0.8)
fig.tight_layout()
plt.show()
