# Measured at build time: the relative area bias of circle_coverage against
# pi R^2, averaged over random sub-pixel centres, for radii R in pixels.
import math

import matplotlib.pyplot as plt
import numpy as np

import trovel

rng = np.random.default_rng(1)
radii = np.array([2, 3, 5, 10, 20, 50, 100])
bias = []
for R in radii:
    n = int(2 * R + 6) | 1
    pixels = trovel.Pixels.grid((n, n), origin=(-(n - 1) / 2,) * 2)
    totals = [trovel.circle_coverage(pixels, rng.uniform(-0.5, 0.5, 2), float(R)).sum()
              for _ in range(10)]
    bias.append(np.mean(totals) / (math.pi * R * R) - 1)
bias = np.array(bias)

fig, ax = plt.subplots(figsize=(5, 3.4))
ax.loglog(radii, bias, "o", label="measured")
ax.loglog(radii, 0.08 / radii**2.0, "-", lw=0.8, label="0.08 / R²")
ax.set(xlabel="radius R (pixels)", ylabel="relative area excess",
       title=f"circle_coverage: excess × R² = {np.median(bias * radii**2):.3f}")
ax.legend()
fig.tight_layout()
