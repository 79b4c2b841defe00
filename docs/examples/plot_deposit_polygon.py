"""
Depositing a triangulated polygon by flux
=========================================

A polygon carries a flux, given per triangle of its triangulation. Each
triangle's flux is spread evenly over it (its area is its divisor) and
deposited onto an image by exact pixel overlap. Nothing is lost: what falls
outside the image is reported, and image plus outside equal the total flux.
"""
import matplotlib.pyplot as plt
import numpy as np

import trovel

# %%
# An L-shaped polygon, triangulated, with a random flux per triangle.
polygon = np.array([(-3.0, -2.0), (5.0, -2.0), (5.0, 0.5), (-0.5, 0.5), (-0.5, 3.0), (-3.0, 3.0)])
triangles = trovel.triangulate(polygon)
areas = trovel.triangle_areas(triangles)
flux = np.random.default_rng(0).uniform(1.0, 2.0, len(triangles))

# %%
# An image of 40 rows by 64 columns of 0.125-unit pixels, which cuts off the
# polygon's right end.
result = trovel.deposit_triangles(triangles, flux, areas, shape=(40, 64),
                                  origin=(-3.9375, -2.4375), scale=0.125)
image = getattr(result, "image", result)
outside = float(getattr(result, "outside", 0.0))
print(f"{len(triangles)} triangles, polygon area {areas.sum():.12f}")
print(f"flux: image {image.sum():.12f} + outside {outside:.12f} "
      f"= {image.sum() + outside:.12f}, deposited {flux.sum():.12f}")

fig, ax = plt.subplots(figsize=(7, 4.4))
im = ax.imshow(image, origin="lower", extent=(-4.0, 4.0, -2.5, 2.5), cmap="viridis")
for t in triangles:
    ax.add_patch(plt.Polygon(t, fill=False, ec="w", lw=0.6))
ax.set_title("flux per pixel")
fig.colorbar(im, ax=ax, shrink=0.8)
plt.show()
