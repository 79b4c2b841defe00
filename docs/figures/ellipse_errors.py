# Measured at build time: ellipses of axis ratio b/a from 1 to 1e-3, at 16
# rotations each, on a unit grid.  Totals against pi a b, and each pixel
# against the disc's own paths: an ellipse c + A (unit disc) over a
# footprint is the unit disc over the footprint carried back by A^-1
# (Pixels.grid with matrix A^-1 M and origin A^-1 (origin - c)).
import math

import matplotlib.pyplot as plt
import numpy as np

import trovel

ratios = np.logspace(0, -3, 7)
a, n = 20.3, 48
pixels = trovel.Pixels.grid((n, n), center=(0.0, 0.0))
origin, m = np.array(pixels.affine[0]), np.array(pixels.affine[1])
total_err, pixel_err = [], []
for q in ratios:
    worst_total = worst_pixel = 0.0
    for angle in np.linspace(0.0, math.pi, 16, endpoint=False):
        e = trovel.Ellipse((0.31, -0.17), a, a * q, angle)
        image = trovel.render(e, pixels)
        worst_total = max(worst_total, abs(image.sum() / (math.pi * e.a * e.b) - 1))
        c, s = math.cos(angle), math.sin(angle)
        inv = np.linalg.inv(np.array(((c, -s), (s, c))) @ np.diag((e.a, e.b)))
        back = trovel.Pixels.grid((n, n), origin=tuple(inv @ (origin - e.center)), matrix=inv @ m)
        disc = trovel.render(trovel.Disc((0.0, 0.0), 1.0), back)
        worst_pixel = max(worst_pixel, float(np.abs(image - disc).max()))
    total_err.append(max(worst_total, 1e-17))
    pixel_err.append(max(worst_pixel, 1e-17))

fig, ax = plt.subplots(figsize=(5.4, 3.4))
ax.loglog(ratios, total_err, "o-", label="|total / (pi a b) - 1|")
ax.loglog(ratios, pixel_err, "s-", label="largest per-pixel difference")
ax.axhline(1e-12, color="0.5", lw=0.8, ls="--", label="the promise, 1e-12")
ax.set(xlabel="axis ratio b / a (a = 20.3 px)", ylabel="worst of 16 rotations",
       ylim=(1e-17, 1e-10), title="Ellipses rendered exactly, to rounding")
ax.invert_xaxis()
ax.legend(fontsize=8, loc="upper left")
fig.tight_layout()
